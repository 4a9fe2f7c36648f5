// Replays the stored-value fuzz target over golden files of the numpy model
// (the committed seeds and the model's whole golden set), cut short, with
// bits flipped or read as another type: nothing may crash, stop the process
// or leak.
#include "element_test_util.h"
#include "support/fuzz_replay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

Bytes mutate(const Bytes& in, std::mt19937& rng) {
  Bytes b = in;
  switch (rng() % 4) {
    case 0:  // cut short
      b.resize(rng() % (b.size() + 1));
      break;
    case 1:  // bits flipped after the type byte
      for (int k = 0, n = 1 + static_cast<int>(rng() % 3); k < n && b.size() > 1; ++k)
        b[1 + rng() % (b.size() - 1)] ^= static_cast<uint8_t>(1u << (rng() % 8));
      break;
    case 2:  // read as another type
      if (!b.empty()) b[0] = static_cast<uint8_t>(rng() % 32);
      break;
    default:
      b = fuzz_mutate(in, rng, {});
  }
  return b;
}

}  // namespace

TEST(ElementsFuzzReplay, CutAndFlippedGoldenFilesNeverCrash) {
  FuzzReplay r;
  r.seeds = read_corpus(QNMX_FUZZ_SEEDS);
  ASSERT_GT(r.seeds.size(), 20u);
  for (const std::string& line : run_model("golden")) {
    std::vector<std::string> f = split(line, '|');
    Bytes b = unhex(f[3]);
    b.insert(b.begin(), static_cast<uint8_t>(std::stoi(f[0])));
    r.seeds.push_back(std::move(b));
  }
  r.rounds = QNMX_REPLAY_ROUNDS;
  r.rng_seed = 18;
  r.mutate = mutate;
  EXPECT_GT(fuzz_replay(LLVMFuzzerTestOneInput, r), 200);
  gc_collect_now();
}
