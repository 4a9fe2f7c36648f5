// Fuzz target: a record file of arbitrary bytes is opened as an
// association file and as a file of trees. Every index is walked, searched,
// added to and deleted from; every tree root found by a walk of the file is
// walked, searched, added to and deleted from, through a node
// cache that evicts as it goes. Nothing may crash, stop the process, read
// past a record or leak; errors are expected.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"
#include "base/file.h"
#include "store/assoc64.h"
#include "store/favt64.h"
#include "store/l_favt64.h"
#include "store/pdb64.h"
#include "fuzz_file_impl.h"

namespace {

// Keys of any length, ordered by their first 8 bytes (zeros when shorter).
uint64_t prefix(const void* d, int64_t len) {
  uint64_t v = 0;
  std::memcpy(&v, d, static_cast<size_t>(len < 8 ? (len < 0 ? 0 : len) : 8));
  return v;
}
void key_endian(void*, int64_t) {}
// A node's key is stored right behind the node, which tells its length.
int key_cmp(void* node_data, void* key, void*) {
  const auto* n = static_cast<const FAVT64_NODE*>(node_data) - 1;
  uint64_t a = prefix(n->data, n->data_len), b;
  std::memcpy(&b, key, 8);
  return b < a ? 1 : b > a ? -1 : 0;
}
int count_node(FAVT64_NODE* n, void* w) {
  *static_cast<uint64_t*>(w) += prefix(n->data, n->data_len) & 1;
  return 0;
}

void exercise_associations(const char* path, uint32_t seed) {
  int key = open_associate64(path, O_RDWR, 0, kPdb64WithFreeList | kPdb64RecoverStale, 0, nullptr);
  if (key < 0) return;
  const std::u32string words[] = {U"a", U"ab", U"abc", U"b", U"zz"};
  for (int index = 0; index < as_key64[key].assoc_len && index < 8; ++index) {
    std::vector<std::string> all;
    get_assoc64_all_text(key, index, &all);
    std::string out;
    int type = get_index_type64(key, index);
    for (int i = 0; i < 6; ++i) {
      seed = seed * 1103515245u + 12345u;
      int32_t ik = static_cast<int32_t>(seed >> 20) % 16;
      const auto* sk = reinterpret_cast<const L_CHAR*>(words[(seed >> 8) % 5].c_str());
      const void* from = type == kAssocIntegerIndex ? static_cast<const void*>(&ik) : sk;
      ASSOC64_STRING_OPT opt{static_cast<int>(seed & 1), 0};
      search_associate64_text(key, index, from, &opt, &out);
      if (seed % 3 == 0)
        delete_associate64(key, index, from);
      else
        insert_associate64_text(key, index, from, "(v)");
      flush_filespace64(as_key64[key].p);  // every record is loaded again
    }
    get_assoc64_all_text(key, index, &all);
  }
  new_index64(key, kAssocStringIndex, 77);
  close_associate64(key);
}

void exercise_trees(const char* path, uint32_t seed) {
  PDB64* p = open_filespace64(path, O_RDWR, 0, kPdb64WithFreeList | kPdb64RecoverStale, 0, nullptr);
  if (!p) return;
  std::vector<uint64_t> roots;
  uint64_t ofs = 0;
  for (int n = 0; n < 64; ++n) {
    PN64_HEADER* h = get_file_record64(&ofs, p, kPn64AvtRootType, 0);
    if (!h) break;
    uint64_t m = swap_if64(h->size);
    d_f_ree(h);
    roots.push_back(ofs);
    ofs += pn64_disk_size(m);
  }
  for (uint64_t at : roots) {
    int err = 0;
    FAVT64_ROOT* r = get_root64(&err, p, at, key_endian);
    if (!r) continue;
    favt64_lock(r);
    uint64_t w = 0;
    favt64_trace_from_small(&err, r, root_node64(&err, r), count_node, &w);
    favt64_trace_from_large(&err, r, root_node64(&err, r), count_node, &w);
    for (int i = 0; i < 8; ++i) {
      seed = seed * 1103515245u + 12345u;
      uint64_t k = seed % 64;
      if (FAVT64_NODE* top = root_node64(&err, r)) favt64_search(&err, r, top, &k, key_cmp, nullptr);
      if (seed & 0x100) {
        FAVT64_NODE* a = favt64_alloc_node(r, &k, 8);
        if (a && favt64_insert(&err, r, &r->node, a, key_cmp, nullptr) != a) favt64_free_node(a);
      } else if (FAVT64_NODE* d = favt64_delete(&err, r, &r->node, &k, key_cmp, nullptr)) {
        favt64_free_node(d);
      }
      flush_favt64_cache(p);  // every node is loaded again
    }
    uint64_t lo = 0, hi = 40;
    free_bound_list64(favt64_bound_search(&err, r, root_node64(&err, r), &lo, &hi, 16, key_cmp, nullptr));
    favt64_unlock(r);
  }
  close_filespace64(p);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    init_endian();
    init_l_favt64();
    return true;
  }();
  (void)ready;
  const std::string& path = fuzz_scratch_path("pdb64_tree_fuzz");
  uint32_t seed = 2166136261u;
  for (size_t i = 0; i < size && i < 64; ++i) seed = (seed ^ data[i]) * 16777619u;
  int saved_limit = fac_general_info.total_entries;
  fac_set_total_entries(8);  // a tiny page cache: evictions and write-backs
  if (fuzz_put_file(path, data, size)) exercise_associations(path.c_str(), seed);
  if (fuzz_put_file(path, data, size)) exercise_trees(path.c_str(), seed);
  fac_set_total_entries(saved_limit);
  u_unlink(path.c_str());
  std::string journal = path + "-journal";
  u_unlink(journal.c_str());
  return 0;
}
