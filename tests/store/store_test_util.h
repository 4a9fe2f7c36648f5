// Helpers shared by the record-store tests.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"
#include "store/favt64.h"
#include "store/pdb64.h"
#include "support/bytes.h"
#include "support/test_paths.h"

// Runs the independent Python checker; true when every file is valid.
// byte_keys: keys of trees of other key types are ordered as byte strings.
inline bool validate_files(const std::vector<std::string>& paths, bool closed = true, bool byte_keys = false) {
  if (paths.empty()) return true;
  std::string cmd = std::string("python3 ") + test_path("validator");
  if (closed) cmd += " --closed";
  if (byte_keys) cmd += " --byte-keys";
  for (const auto& p : paths) cmd += " '" + p + "'";
  return std::system(cmd.c_str()) == 0;
}

// Each test gets its own folder. Every *.db file left in it at the end must
// pass the independent checker; damaged inputs use other names.
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::temp_directory_path() /
           (std::string("qnmx_store_") + info->test_suite_name() + "_" + info->name() + "_" +
            std::to_string(getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    fac_set_total_entries(kFacDefaultEntries);
    set_pdb64_debug_check(1);
  }
  void TearDown() override {
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(dir_))
      if (e.path().extension() == ".db") files.push_back(e.path().string());
    EXPECT_TRUE(validate_files(files)) << "left-behind record files fail the checker";
    fac_set_total_entries(kFacDefaultEntries);
    set_pdb64_debug_check(0);
    if (!HasFailure()) std::filesystem::remove_all(dir_);
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  PDB64* create(const std::string& name, uint32_t flags = kPdb64WithFreeList) {
    int rc = 1;
    PDB64* p = open_filespace64(path(name).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, flags, 31, nullptr, &rc);
    EXPECT_NE(p, nullptr);
    EXPECT_EQ(rc, kPdb64Ok);
    return p;
  }

  std::filesystem::path dir_;
};

// A record of memory size m and type t (file byte order) whose body bytes
// are derived from `salt`.
inline Bytes make_record(uint16_t t, uint64_t m, uint32_t salt) {
  Bytes r(m, 0);
  store_be16(r.data(), t);
  store_be64(r.data() + 8, m);
  for (uint64_t i = 16; i < m; ++i) r[i] = static_cast<uint8_t>((i * 131 + salt * 7919) >> 3);
  return r;
}

inline const PN64_HEADER* as_header(const Bytes& b) { return reinterpret_cast<const PN64_HEADER*>(b.data()); }

// Allocates and writes a record; its offset.
inline int64_t put_record(PDB64* p, const Bytes& rec) {
  PN64_HEADER h{load_be16(rec.data()), {0, 0, 0}, load_be64(rec.data() + 8)};
  int64_t at = alloc_filespace64(p, &h);
  if (at < 0) return at;
  if (write_filespace64f(p, static_cast<uint64_t>(at), as_header(rec)) != static_cast<int64_t>(pn64_disk_size(h.size)))
    return -1;
  return at;
}

// The body of rec as two pieces cut at `cut` (clamped to the body).
inline std::array<iovec, 2> body_pieces(const Bytes& rec, size_t cut) {
  auto* b = const_cast<uint8_t*>(rec.data()) + 16;
  size_t n = rec.size() - 16;
  cut = std::min(cut, n);
  return {iovec{b, cut}, iovec{b + cut, n - cut}};
}

// Allocates and writes a record in one step, its body given in two pieces;
// its offset.
inline int64_t alloc_write_record(PDB64* p, const Bytes& rec, size_t cut) {
  std::array<iovec, 2> body = body_pieces(rec, cut);
  return alloc_write_filespace64(p, as_header(rec), body);
}

// Rewrites the record at fofs with rec (same type and size) through the
// comparing rewrite; bytes written or -1.
inline int64_t rewrite_record(PDB64* p, uint64_t fofs, const Bytes& rec, size_t cut) {
  std::array<iovec, 2> body = body_pieces(rec, cut);
  return rewrite_filespace64(p, fofs, as_header(rec), body);
}

// The record at fofs as bytes (file order), empty when it cannot be read.
inline Bytes get_record(PDB64* p, uint64_t fofs) {
  PN64_HEADER* h = read_filespace64f(p, fofs);
  if (!h) return {};
  Bytes b(reinterpret_cast<uint8_t*>(h), reinterpret_cast<uint8_t*>(h) + swap_if64(h->size));
  d_f_ree(h);
  return b;
}

// Offsets of the records of type t in a well-formed file image.
inline std::vector<size_t> records_of(const Bytes& b, uint16_t t) {
  std::vector<size_t> out;
  for (size_t o = 0; o + 4 <= b.size();) {
    PHYS_PN64_HEADER ph;
    if (pn64_decode_phys(b.data() + o, b.size() - o, &ph) < 0) break;
    if (ph.type == t) out.push_back(o);
    o += ph.length;
  }
  return out;
}

// Trees of 64-bit keys stored big-endian.
inline void key64_endian(void* d, int64_t len) {
  if (len != 8) return;
  uint64_t v;
  std::memcpy(&v, d, 8);
  v = swap_if64(v);
  std::memcpy(d, &v, 8);
}

inline uint64_t key_of(const void* d) {
  uint64_t v;
  std::memcpy(&v, d, 8);
  return v;
}

inline int key64_cmp(void* node_data, void* key, void*) {
  uint64_t a = key_of(node_data), b = key_of(key);
  return b < a ? 1 : b > a ? -1 : 0;
}

inline int collect_key(FAVT64_NODE* n, void* w) {
  static_cast<std::vector<uint64_t>*>(w)->push_back(key_of(n->data));
  return 0;
}

// Largest height a balanced tree of n nodes can have.
inline int avl_height_bound(size_t n) {
  return static_cast<int>(std::floor(1.4405 * std::log2(static_cast<double>(n) + 2) - 0.3277));
}
