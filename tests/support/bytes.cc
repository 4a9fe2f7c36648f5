#include "support/bytes.h"

#include <cstdio>
#include <fstream>
#include <iterator>

// Read at once: an iterator over the stream costs a call per byte, which
// tests that read whole files many times feel under the sanitizers.
Bytes read_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  const std::streamoff size = f ? static_cast<std::streamoff>(f.tellg()) : -1;
  if (size < 0) return {};
  Bytes b(static_cast<size_t>(size));
  f.seekg(0);
  f.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(b.size()));
  b.resize(static_cast<size_t>(f.gcount()));
  return b;
}

std::string read_text(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

bool write_bytes(const std::string& path, std::span<const uint8_t> b) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  return static_cast<bool>(f.flush());
}

bool write_text(const std::string& path, const std::string& text) {
  return write_bytes(path, {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

Bytes unhex(const std::string& text) {
  std::string digits;
  for (char ch : text)
    if (ch != ' ') digits += ch;
  Bytes b;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    b.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return b;
}

std::string hex(std::span<const uint8_t> b, size_t limit) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < b.size() && i < limit; ++i) {
    std::snprintf(buf, sizeof buf, "%02x", b[i]);
    if (i) out += ' ';
    out += buf;
  }
  if (b.size() > limit) out += " ... (" + std::to_string(b.size()) + " bytes)";
  return out;
}

int count_of(const std::string& text, const std::string& what) {
  if (what.empty()) return 0;
  int n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}
