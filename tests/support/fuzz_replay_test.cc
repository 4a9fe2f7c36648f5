// The replay test of a fuzz target that needs nothing beyond its seeds and
// dictionary: nothing may crash, stop the process or leak.
#include <gtest/gtest.h>

#include "support/fuzz_replay.h"
#include "support/test_paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

TEST(FuzzReplay, SeedsAndMutationsNeverCrash) {
  FuzzReplay r;
  r.seeds = read_corpus(test_path("seeds"));
  std::string refused;
  r.dict = read_fuzz_dict(test_path("dict"), &refused);
  EXPECT_EQ(refused, "");
  r.rounds = QNMX_REPLAY_ROUNDS;
  ASSERT_FALSE(r.seeds.empty()) << "no seeds in " << test_path("seeds");
  EXPECT_GT(fuzz_replay(LLVMFuzzerTestOneInput, r), 0);
}
