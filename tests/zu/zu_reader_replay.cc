// Replays a fuzz target of the reader (zu_reader_fuzz, zu_roundtrip_fuzz)
// over the committed seed corpus and deterministic mutations of it: nothing
// may crash, stop the process or leak, and every reader runs to its end.
#include <gtest/gtest.h>

#include "support/fuzz_replay.h"
#include "support/test_paths.h"
#include "zu/file.h"
#include "zu/gc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

// The plain mutations, and now and then a new first byte (it selects the
// encoding and the reader's flags).
Bytes mutate(const Bytes& in, std::mt19937& rng, const std::vector<std::string>& dict) {
  if (rng() % 5 == 0 && !in.empty()) {
    Bytes b = in;
    b[0] = static_cast<uint8_t>(rng());
    return b;
  }
  return fuzz_mutate(in, rng, dict);
}

}  // namespace

TEST(ReaderFuzzReplay, SeedsAndMutationsNeverCrash) {
  FuzzReplay r;
  r.seeds = read_corpus(test_path("seeds"));
  ASSERT_GE(r.seeds.size(), 8u);
  std::string refused;
  std::vector<std::string> dict = read_fuzz_dict(test_path("dict"), &refused);
  EXPECT_EQ(refused, "");
  ASSERT_FALSE(dict.empty());
  r.rounds = QNMX_REPLAY_ROUNDS;
  r.rng_seed = 4242;
  r.mutate = [&](const Bytes& in, std::mt19937& rng) { return mutate(in, rng, dict); };
  fuzz_replay(LLVMFuzzerTestOneInput, r);
  gc_collect_now();
  gc_collect_now();
  EXPECT_EQ(zu_file_count(), 0);  // every reader ran to its end and closed
}
