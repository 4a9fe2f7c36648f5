// Replays the tree fuzz target over valid files holding integer and string
// indexes and plain trees with keys of several lengths, and over damaged
// forms of them: tree records with other heights, children and key
// lengths, and the plain mutations.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "store/assoc64.h"
#include "store/favt64.h"
#include "store/l_favt64.h"
#include "store_test_util.h"
#include "support/fuzz_replay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void no_endian(void*, int64_t) {}
int cmp8(void* node_data, void* key, void*) {
  uint64_t a, b;
  std::memcpy(&a, node_data, 8);
  std::memcpy(&b, key, 8);
  return b < a ? 1 : b > a ? -1 : 0;
}

std::vector<Bytes> make_valid_files(const std::string& dir) {
  std::vector<Bytes> out;
  for (int shape = 0; shape < 2; ++shape) {
    std::string path = dir + "/tree" + std::to_string(shape) + ".db";
    int key = l_open_associate64(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, kPdb64WithFreeList, 40, "UTF-8");
    if (key < 0) return out;
    l_new_index64(key, kAssocIntegerIndex, 1);
    l_new_index64(key, kAssocStringIndex, 2);
    for (int32_t i = 0; i < 12 + shape * 20; ++i) {
      l_insert_associate64_text(key, 0, &i, "(x)");
      std::u32string s(1 + static_cast<size_t>(i) % 3, static_cast<char32_t>('a' + i % 5));
      l_insert_associate64_text(key, 1, reinterpret_cast<const L_CHAR*>(s.c_str()), "(y)");
    }
    lock_task(l_favt64_lock);
    PDB64* p = as_key64[key].p;
    FAVT64_ROOT* r = favt64_alloc_root(p, 0x401, no_endian);
    favt64_lock(r);
    int err = 0;
    for (uint64_t k = 0; k < 20; ++k) {
      std::vector<uint8_t> b(8 + k % 5 * 7, static_cast<uint8_t>(k));
      std::memcpy(b.data(), &k, 8);
      FAVT64_NODE* a = favt64_alloc_node(r, b.data(), static_cast<int64_t>(b.size()));
      favt64_insert(&err, r, &r->node, a, cmp8, nullptr);
    }
    favt64_unlock(r);
    unlock_task(l_favt64_lock, "replay");
    l_close_associate64(key);
    out.push_back(read_bytes(path));
  }
  return out;
}

// Damage aimed at tree records, or the plain mutations.
Bytes mutate(const Bytes& in, std::mt19937& rng) {
  std::vector<size_t> nodes = records_of(in, 0x0102), roots = records_of(in, 0x0101);
  nodes.insert(nodes.end(), roots.begin(), roots.end());
  std::sort(nodes.begin(), nodes.end());
  if (nodes.empty() || rng() % 3 == 0) return fuzz_mutate(in, rng, {});
  Bytes b = in;
  size_t at = nodes[rng() % nodes.size()];
  switch (rng() % 5) {
    case 0:  // height
      store_be32(b.data() + at + 20, rng() % 3 == 0 ? 0x7FFFFFFF : static_cast<uint32_t>(rng() % 140));
      break;
    case 1:  // a child somewhere else: another node, the root, a record's middle
      store_be64(b.data() + at + 4 + 8 * (rng() % 2), nodes[rng() % nodes.size()] + (rng() % 4 == 0 ? 3 : 0));
      break;
    case 2:  // a shorter or longer record: the key's length changes
      store_be16(b.data() + at + 2, static_cast<uint16_t>(load_be16(b.data() + at + 2) + (rng() % 9) - 4));
      break;
    case 3:  // a node where a root was, or the other way round
      store_be16(b.data() + at, rng() % 2 ? 0x0101 : 0x0102);
      break;
    default:  // a key byte
      if (b.size() > at + 24) b[at + 24 + rng() % std::min<size_t>(8, b.size() - at - 24)] ^= 0x55;
  }
  return b;
}

}  // namespace

using TreeFuzzReplay = StoreTest;

TEST_F(TreeFuzzReplay, SeedsAndMutationsNeverCrash) {
  set_pdb64_debug_check(0);
  init_l_favt64();
  FuzzReplay r;
  r.seeds = make_valid_files(dir_.string());
  ASSERT_EQ(r.seeds.size(), 2u);
  for (Bytes& b : read_corpus(QNMX_FUZZ_SEEDS)) r.seeds.push_back(std::move(b));
  r.rounds = QNMX_REPLAY_ROUNDS;
  r.rng_seed = 777;
  r.mutate = mutate;
  fuzz_replay(LLVMFuzzerTestOneInput, r);
  EXPECT_EQ(fac_general_info.dirty_nos, 0);
  EXPECT_EQ(favt64_count, 0);
}
