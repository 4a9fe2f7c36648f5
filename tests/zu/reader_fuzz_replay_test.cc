// Replays the reader's fuzz target over the committed seed corpus and
// deterministic mutations of it: nothing may crash, stop the process or
// leak.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "zu/file.h"
#include "zu/gc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Bytes = std::vector<uint8_t>;

Bytes mutate(const Bytes& in, std::mt19937& rng) {
  Bytes b = in;
  static const char* const kBits[] = {"(", ")", "<", ">", "</", "/>", "\"", "\\", "&cx", ";", "#", "#ff#",
                                      "]", "[", ".", "=\"", "<?zu ", "?>", "&#x", "<!--", "\xa4", "\xff", "\x1b$B"};
  switch (rng() % 5) {
    case 0:
      for (int i = 0, n = 1 + static_cast<int>(rng() % 4); i < n && !b.empty(); ++i) b[rng() % b.size()] ^= 1u << (rng() % 8);
      break;
    case 1:
      b.resize(rng() % (b.size() + 1));
      break;
    case 2: {  // a syntax fragment dropped in somewhere
      const char* t = kBits[rng() % (sizeof kBits / sizeof *kBits)];
      b.insert(b.begin() + static_cast<long>(b.empty() ? 0 : rng() % b.size()), t, t + std::strlen(t));
      break;
    }
    case 3:  // a slice repeated
      if (b.size() > 4) {
        size_t from = rng() % b.size(), len = std::min<size_t>(rng() % 32, b.size() - from);
        b.insert(b.begin() + static_cast<long>(rng() % b.size()), b.begin() + static_cast<long>(from),
                 b.begin() + static_cast<long>(from + len));
      }
      break;
    default:
      if (!b.empty()) b[0] = static_cast<uint8_t>(rng());  // other encoding and flags
  }
  return b;
}

}  // namespace

TEST(ReaderFuzzReplay, SeedsAndMutationsNeverCrash) {
  std::vector<Bytes> seeds;
  for (const auto& e : std::filesystem::directory_iterator(QNMX_TEST_DATA "/reader_seeds")) {
    std::ifstream in(e.path(), std::ios::binary);
    seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  ASSERT_GE(seeds.size(), 8u);
  for (const auto& s : seeds) LLVMFuzzerTestOneInput(s.data(), s.size());
  std::mt19937 rng(4242);
  for (int i = 0; i < 2000; ++i) {
    Bytes m = mutate(seeds[static_cast<size_t>(i) % seeds.size()], rng);
    LLVMFuzzerTestOneInput(m.data(), m.size());
  }
  gc_collect_now();
  gc_collect_now();
  EXPECT_EQ(zu_file_count(), 0);  // every reader ran to its end and closed
}
