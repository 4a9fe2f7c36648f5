// Fuzz target: any bytes as a URL and as text for the URL coders. The URL
// is parsed (bytes taken as characters) and, when it parses, written back
// and parsed again to the same fields; the bytes are percent-coded and
// decoded back to themselves (up to a zero byte), and decoding the raw text
// never reads past its end.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "netsvc/url_code.h"
#include "stream/url.h"

namespace {

bool same(const L_CHAR* a, const L_CHAR* b) {
  if (!a || !b) return a == b;
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<L_CHAR> text(data, data + size);
  text.push_back(0);
  URL u;
  if (get_url2(&u, text.data()) == 0 && u.proto && !u.user && !u.query && !u.name) {
    if (const L_CHAR* again = get_url_str2(&u)) {
      URL v;
      std::vector<L_CHAR> copy(again, again + std::char_traits<char32_t>::length(reinterpret_cast<const char32_t*>(again)) + 1);
      if (get_url2(&v, copy.data()) != 0 || !same(u.server, v.server) || u.port != v.port) __builtin_trap();
      free_url(&v);
    }
  }
  free_url(&u);
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::string coded;
  url_string_code(bytes, &coded);
  for (char c : coded)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x80 || std::strchr(" #*/:?", c))
      __builtin_trap();
  std::vector<L_CHAR> wide(coded.begin(), coded.end());
  std::string back = decode_url_string(wide.data(), wide.size());
  if (back != bytes.substr(0, bytes.find('\0'))) __builtin_trap();
  decode_url_string(text.data(), size);
  return 0;
}
