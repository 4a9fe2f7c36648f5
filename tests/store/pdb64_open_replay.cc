// Replays the record-file fuzz target over the committed seed corpus and
// deterministic mutations of valid files: nothing may crash, stop the
// process or leak.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "store/pdb64.h"
#include "store_test_util.h"
#include "support/fuzz_replay.h"
#include "support/test_paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

// Valid files of several shapes: free segments, medium records, no free list.
std::vector<Bytes> make_valid_files(const std::string& dir) {
  std::vector<Bytes> out;
  for (int shape = 0; shape < 3; ++shape) {
    std::string path = dir + "/seed" + std::to_string(shape) + ".db";
    PDB64* p = open_filespace64(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, shape == 2 ? 0 : kPdb64WithFreeList,
                                31, nullptr);
    if (!p) return out;
    std::vector<int64_t> at;
    for (int i = 0; i < 9; ++i) {
      uint64_t m = shape == 1 && i == 4 ? 66000 : 24 + static_cast<uint64_t>(i) * 37;
      Bytes rec = make_record(static_cast<uint16_t>(0x0600 + i), m, static_cast<uint32_t>(i));
      if (shape == 2) {
        at.push_back(fs_raw_write64(p, as_header(rec), 0));
      } else {
        at.push_back(put_record(p, rec));
      }
    }
    if (shape != 2)
      for (int i : {1, 3, 4, 6}) free_filespace64(p, static_cast<uint64_t>(at[static_cast<size_t>(i)]));
    close_filespace64(p);
    out.push_back(read_bytes(path));
  }
  return out;
}

// The plain mutations, and the record file's own weak spots.
Bytes mutate(const Bytes& in, std::mt19937& rng) {
  Bytes b = in;
  switch (rng() % 4) {
    case 0:  // a length field of the long or medium form somewhere
      if (b.size() > 4) {
        size_t at = rng() % (b.size() - 3);
        b[at + 2] = 0xFF;
        b[at + 3] = rng() % 2 ? 0xFF : 0xFE;
      }
      break;
    case 1:  // an offset in the free chain pointed elsewhere
      if (b.size() >= 44) store_be64(&b[36], rng() % (b.size() + 64));
      break;
    default:
      return fuzz_mutate(in, rng, {});
  }
  return b;
}

}  // namespace

using StoreFuzzReplay = StoreTest;

TEST_F(StoreFuzzReplay, SeedsAndMutationsNeverCrash) {
  set_pdb64_debug_check(0);
  FuzzReplay r;
  r.seeds = make_valid_files(dir_.string());
  ASSERT_EQ(r.seeds.size(), 3u);
  for (Bytes& b : read_corpus(test_path("seeds"))) r.seeds.push_back(std::move(b));
  r.rounds = QNMX_REPLAY_ROUNDS;
  r.rng_seed = 12345;
  r.mutate = mutate;
  fuzz_replay(LLVMFuzzerTestOneInput, r);
  // The global cache is left as it was found.
  EXPECT_EQ(fac_general_info.entries_nos, 0);
  EXPECT_EQ(fac_general_info.dirty_nos, 0);
}
