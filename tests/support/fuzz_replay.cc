#include "support/fuzz_replay.h"

#include <algorithm>
#include <cctype>
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

// The token of a dictionary line, read as libFuzzer reads it: the text
// between its first quote and a quote that ends the line (blanks aside),
// with \\, \" and \xNN escapes. False for a line libFuzzer refuses: no
// such quotes, an empty token, another escape, a byte that is neither
// printable nor white space.
bool dict_token(const std::string& line, std::string* out) {
  size_t end = line.find_last_not_of(" \t\r\n\v\f");
  size_t a = line.find('"');
  if (end == std::string::npos || line[end] != '"' || a >= end) return false;
  out->clear();
  for (size_t i = a + 1; i < end; ++i) {
    auto c = static_cast<unsigned char>(line[i]);
    if (!std::isprint(c) && !std::isspace(c)) return false;
    if (c != '\\') {
      out->push_back(static_cast<char>(c));
    } else if (i + 1 < end && (line[i + 1] == '\\' || line[i + 1] == '"')) {
      out->push_back(line[++i]);
    } else if (i + 3 < end && line[i + 1] == 'x' && hex_digit(line[i + 2]) >= 0 && hex_digit(line[i + 3]) >= 0) {
      out->push_back(static_cast<char>(hex_digit(line[i + 2]) * 16 + hex_digit(line[i + 3])));
      i += 3;
    } else {
      return false;
    }
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

std::vector<std::string> read_fuzz_dict(const std::string& path, std::string* error) {
  std::vector<std::string> out;
  std::ifstream in(path);
  std::string line, tok;
  for (int n = 1; std::getline(in, line); ++n) {
    size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') continue;
    if (!dict_token(line, &tok)) {
      if (error) *error = path + ":" + std::to_string(n) + ": libFuzzer refuses " + line;
      return {};
    }
    out.push_back(tok);
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
