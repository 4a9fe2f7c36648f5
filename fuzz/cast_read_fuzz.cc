// Fuzz target: arbitrary text is read as Cast reads numbers (the first
// byte picks zero skipping and whether the rest is UTF-8 or raw 32-bit
// codes). Nothing may crash, and every integer read must agree with the C
// library's strtoll on the same text: the same value ending at the same
// place, or a range error where Cast refuses the number. Only the white
// space that Cast compacts away is skipped: strtoll's wider set is not.
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "text/codemethod.h"
#include "text/convert.h"
#include "zulib/cast.h"

namespace {

std::vector<L_CHAR> codes_of(const uint8_t* data, size_t size, bool raw) {
  std::vector<L_CHAR> t;
  if (raw) {
    for (size_t i = 0; i + 4 <= size; i += 4) {
      L_CHAR c = 0;
      std::memcpy(&c, data + i, 4);
      if (c == 0) break;
      t.push_back(c);
    }
  } else {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    const L_CHAR* w = _l_string_1(utf8_cm, bytes.c_str());
    for (; w && *w; ++w) t.push_back(*w);
  }
  t.push_back(0);
  return t;
}

void check_integer(const CAST_NUMBER& n, int rc) {
  // The number is ASCII: the compacted text up to its first other code.
  std::string narrow;
  for (char32_t c : n.text) {
    if (c == 0 || c > 127) break;
    narrow.push_back(static_cast<char>(c));
  }
  // Compacting removed the blanks (tab, line feed, carriage return, space)
  // and nothing else; strtoll would also skip a vertical tab or form feed
  // left in front, where Cast rightly sees no number at all.
  if (!narrow.empty() && std::isspace(static_cast<unsigned char>(narrow[0]))) {
    if (rc != 0 || n.unit_at != 0) __builtin_trap();
    return;
  }
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(narrow.c_str(), &end, 0);
  size_t used = static_cast<size_t>(end - narrow.c_str());
  bool agrees = rc < 0 ? errno == ERANGE : n.unit_at == 0 ? used == 0 : used == n.unit_at && v == n.integer;
  if (!agrees) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  bool zero_ignore = data[0] & 1;
  std::vector<L_CHAR> text = codes_of(data + 1, size - 1, data[0] & 2);
  CAST_NUMBER n;
  int rc = cast_read_integer(text.data(), zero_ignore, &n);
  if (n.unit_at > n.text.size()) __builtin_trap();
  check_integer(n, rc);
  rc = cast_read_floating(text.data(), zero_ignore, &n);
  if (n.unit_at > n.text.size() || (rc == 0 && n.floating != n.floating)) __builtin_trap();
  return 0;
}
