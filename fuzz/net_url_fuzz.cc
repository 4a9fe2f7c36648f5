// Fuzz target: any bytes as a URL and as text for the URL coders. The URL
// is parsed (bytes taken as characters) and, when it parses with a
// protocol, written back, parsed again to the same fields (all but user
// and password, which are not written) and written again to the same text;
// the bytes are percent-coded and decoded back to themselves (up to a zero
// byte), and decoding the raw text never reads past its end.
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

bool same_written_fields(const URL& u, const URL& v) {
  return same(u.proto, v.proto) && same(u.server, v.server) && u.port == v.port && same(u.agent, v.agent) &&
         same(u.db, v.db) && same(u.resource, v.resource) && same(u.query, v.query) && same(u.name, v.name) &&
         !v.user && !v.passwd;
}

// A copy of the thread-temporary text the writer hands out.
std::vector<L_CHAR> written(const URL& u) {
  const L_CHAR* t = get_url_str2(&u);
  if (!t) __builtin_trap();  // every URL the parser makes can be written
  std::vector<L_CHAR> copy;
  for (; *t; ++t) copy.push_back(*t);
  copy.push_back(0);
  return copy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<L_CHAR> text(data, data + size);
  text.push_back(0);
  URL u;
  if (get_url2(&u, text.data()) == 0 && u.proto) {
    std::vector<L_CHAR> once = written(u);
    URL v;
    if (get_url2(&v, once.data()) != 0 || !same_written_fields(u, v) || written(v) != once) __builtin_trap();
    free_url(&v);
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
