// Replays one fuzz target over its seed corpus and deterministic damage
// of every seed: every prefix length in a spread, single bit flips, bytes
// set to extremes and a repeated slice. Linked with the target's source;
// the first argument is the corpus folder. Nothing may crash, stop the
// process or leak (the sanitizers judge).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Bytes = std::vector<uint8_t>;

void run(const Bytes& b) { LLVMFuzzerTestOneInput(b.data(), b.size()); }

void damage(const Bytes& seed, std::mt19937& rng, int rounds) {
  for (size_t n = 0; n < seed.size(); n += 1 + seed.size() / 64) run(Bytes(seed.begin(), seed.begin() + long(n)));
  for (int i = 0; i < rounds && !seed.empty(); ++i) {
    Bytes b = seed;
    switch (i % 3) {
      case 0:
        b[rng() % b.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
        break;
      case 1:
        for (int k = 0; k < 3; ++k) b[rng() % b.size()] = rng() % 2 ? 0xFF : 0x00;
        break;
      default: {
        size_t from = rng() % b.size(), len = std::min<size_t>(rng() % 48, b.size() - from);
        Bytes slice(b.begin() + long(from), b.begin() + long(from + len));
        b.insert(b.begin() + long(rng() % b.size()), slice.begin(), slice.end());
      }
    }
    run(b);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS-DIR\n", argv[0]);
    return 2;
  }
  std::vector<std::filesystem::path> seeds;
  for (const auto& e : std::filesystem::directory_iterator(argv[1])) seeds.push_back(e.path());
  std::sort(seeds.begin(), seeds.end());
  if (seeds.empty()) {
    std::fprintf(stderr, "no seeds in %s\n", argv[1]);
    return 1;
  }
  std::mt19937 rng(20240601);
  run({});
  for (const auto& path : seeds) {
    std::ifstream f(path, std::ios::binary);
    Bytes seed{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    run(seed);
    damage(seed, rng, 1000);
  }
  std::printf("%zu seeds replayed\n", seeds.size());
  return 0;
}
