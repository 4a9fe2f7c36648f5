// Replays the node decoder's fuzz target over its corpus and mutations:
// nothing may crash, stop the process or leak (the target checks the
// round trip), and what an input makes is freed before the next one, or a
// real fuzz run grows until libFuzzer's memory limit ends it.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/fuzz_replay.h"
#include "support/test_paths.h"
#include "zu/gc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

TEST(FuzzReplay, SeedsAndMutationsNeverCrashNorPileUp) {
  FuzzReplay r;
  r.seeds = read_corpus(test_path("seeds"));
  r.rounds = QNMX_REPLAY_ROUNDS;
  ASSERT_FALSE(r.seeds.empty()) << "no seeds in " << test_path("seeds");
  EXPECT_GT(fuzz_replay(LLVMFuzzerTestOneInput, r), 0);
  const Bytes& largest = *std::max_element(r.seeds.begin(), r.seeds.end(),
                                           [](const Bytes& a, const Bytes& b) { return a.size() < b.size(); });
  const uint64_t before = gc_heap_in_use();
  for (int i = 0; i < 10000; ++i) LLVMFuzzerTestOneInput(largest.data(), largest.size());
  EXPECT_LT(gc_heap_in_use(), before + (uint64_t{512} << 10)) << "the values of 10,000 inputs stay on the heap";
}
