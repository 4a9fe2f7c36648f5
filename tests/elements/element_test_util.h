// Helpers shared by the element-type tests: the numpy model, hex bytes,
// values built from text, a fake element-cache pool and the test fixture.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "elements/element_type.h"
#include "elements/geometry.h"
#include "elements/pool.h"
#include "elements/value.h"
#include "store/recordlist.h"
#include "support/bytes.h"
#include "support/child.h"
#include "zu/gc.h"

// The pool of a fake element cache: plain heap blocks, counted.
struct MX_CACHE {
  std::set<void*> live;
  int allocs = 0;
};

// Lower-case hexadecimal without separators, as the model prints bytes.
inline std::string to_hex(const void* p, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    uint8_t b = static_cast<const uint8_t*>(p)[i];
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}
inline std::string to_hex(const Bytes& b) { return to_hex(b.data(), b.size()); }

inline std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::stringstream in(s);
  for (std::string part; std::getline(in, part, sep);) out.push_back(part);
  if (!s.empty() && s.back() == sep) out.emplace_back();
  return out;
}

// Output lines of the numpy script run with `args`; the test fails when it
// cannot run (python3-numpy missing), never skips.
inline std::vector<std::string> run_numpy_script(const std::string& script, const std::string& args) {
  std::string cmd = std::string(QNMX_NUMPY_PYTHON " ") + script + " " + args;
  int status = 0;
  std::vector<std::string> lines = command_lines(cmd, &status);
  EXPECT_EQ(status, 0) << cmd << " failed: is python3-numpy installed (scripts/setup.sh)?";
  EXPECT_FALSE(lines.empty()) << cmd;
  return lines;
}

// Output lines of the element model run with `args`.
inline std::vector<std::string> run_model(const std::string& args) {
  return run_numpy_script(QNMX_ELEMENT_MODEL, args);
}

// The stored form of d: convert_to_net joined into one block.
inline Bytes to_net(const MATRIX_DATA_TYPE* tp, const void* d) {
  RECORD_LIST64* rl = new_recordlist64(0, 0);
  Bytes out;
  if (tp->convert_to_net(tp, rl, d) == 0) {
    int64_t n = setup_recordlist64(rl);
    if (n > 0) out.assign(static_cast<uint8_t*>(rl->data), static_cast<uint8_t*>(rl->data) + n);
  } else {
    out = {0xDE, 0xAD};  // never a valid stored value of the tests
  }
  free_recordlist64(rl);
  return out;
}

// Stores the element text (decimal, hexadecimal float, "nan", "inf") of a
// numeric or bit type code at p.
void store_element_text(int code, void* p, const std::string& text);

// A tagged value of code built from the model's value list (see
// element_model.py golden); freed with the type's free_data.
void* value_from_text(int code, const std::string& extents, const std::string& values);

// A tagged vector of code with extents "e0,e1,..." and its elements in
// host order as hexadecimal bytes.
void* vector_from_hex(int code, const std::string& extents, const std::string& hex);

// The geometry of the model's "geometry dim hem dd.. bs.. levels rows.."
// line (fields f).
struct FakeGeometry {
  MATRIX_GEOMETRY g{};
  std::vector<uint8_t> dd, bs;
  std::vector<std::vector<int64_t>> rows;
  std::vector<const int64_t*> row_ptrs;
  void parse(const std::vector<std::string>& f);
};

extern MX_CACHE_POOL_OPS fake_pool_ops;

class ElementsTest : public ::testing::Test {
 protected:
  ElementsTest() : scope_("elements test") {}
  ZuThreadScope scope_;
};
