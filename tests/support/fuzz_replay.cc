#include "support/fuzz_replay.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

std::vector<Bytes> read_corpus(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    if (e.is_regular_file()) names.push_back(e.path().string());
  std::sort(names.begin(), names.end());
  std::vector<Bytes> out;
  for (const auto& n : names) out.push_back(read_bytes(n));
  return out;
}

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The token between the first and the last quote of a dictionary line.
bool dict_token(const std::string& line, std::string* out) {
  size_t a = line.find('"'), b = line.rfind('"');
  if (a == std::string::npos || b <= a) return false;
  out->clear();
  for (size_t i = a + 1; i < b; ++i) {
    char c = line[i];
    if (c == '\\' && i + 1 < b) {
      char n = line[++i];
      if (n == 'x' && i + 2 < b && hex_digit(line[i + 1]) >= 0 && hex_digit(line[i + 2]) >= 0) {
        c = static_cast<char>(hex_digit(line[i + 1]) * 16 + hex_digit(line[i + 2]));
        i += 2;
      } else {
        c = n;
      }
    }
    out->push_back(c);
  }
  return !out->empty();
}

long env_number(const char* name, long fallback) {
  const char* v = std::getenv(name);
  if (!v || !*v) return fallback;
  char* end = nullptr;
  long n = std::strtol(v, &end, 10);
  return *end == '\0' && n >= 0 ? n : fallback;
}

}  // namespace

std::vector<std::string> read_fuzz_dict(const std::string& path) {
  std::vector<std::string> out;
  std::ifstream in(path);
  std::string line, tok;
  while (std::getline(in, line)) {
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    if (dict_token(line, &tok)) out.push_back(tok);
  }
  return out;
}

Bytes fuzz_mutate(const Bytes& in, std::mt19937& rng, const std::vector<std::string>& dict) {
  Bytes b = in;
  auto at = [&](size_t n) { return static_cast<long>(n ? rng() % n : 0); };
  switch (rng() % (dict.empty() ? 4 : 5)) {
    case 0:  // flip bits
      for (int i = 0, n = 1 + static_cast<int>(rng() % 4); i < n && !b.empty(); ++i)
        b[rng() % b.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
      break;
    case 1:  // cut short
      b.resize(rng() % (b.size() + 1));
      break;
    case 2:  // a slice repeated somewhere
      if (b.size() > 4) {
        size_t from = rng() % b.size(), len = std::min<size_t>(rng() % 64, b.size() - from);
        Bytes slice(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + len));
        b.insert(b.begin() + at(b.size()), slice.begin(), slice.end());
      }
      break;
    case 3:  // bytes set to extremes
      for (int i = 0; i < 3 && !b.empty(); ++i) b[rng() % b.size()] = rng() % 2 ? 0xFF : 0x00;
      break;
    default: {  // a token of the input's syntax dropped in
      const std::string& t = dict[rng() % dict.size()];
      b.insert(b.begin() + at(b.size()), t.begin(), t.end());
    }
  }
  return b;
}

int fuzz_replay(FuzzEntry entry, const FuzzReplay& r) {
  int ran = 0;
  for (const Bytes& s : r.seeds) {
    entry(s.data(), s.size());
    ++ran;
  }
  if (r.seeds.empty()) return ran;
  long rounds = std::min<long>(r.rounds, env_number("QNMX_FUZZ_ROUNDS", r.rounds));
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(env_number("QNMX_FUZZ_SECONDS", 30));
  std::mt19937 rng(r.rng_seed);
  for (long i = 0; i < rounds && std::chrono::steady_clock::now() < end; ++i) {
    const Bytes& seed = r.seeds[static_cast<size_t>(i) % r.seeds.size()];
    Bytes m = r.mutate ? r.mutate(seed, rng) : fuzz_mutate(seed, rng, r.dict);
    entry(m.data(), m.size());
    ++ran;
  }
  return ran;
}
