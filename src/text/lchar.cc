#include "text/lchar.h"

#include <cstring>

#include "base/alloc.h"

size_t l_strlen(const L_CHAR* s) {
  const L_CHAR* p = s;
  while (*p) ++p;
  return static_cast<size_t>(p - s);
}

int l_strcmp(const L_CHAR* a, const L_CHAR* b) {
  for (;; ++a, ++b) {
    if (*a == *b) {
      if (*a == 0) return 0;
      continue;
    }
    // The terminator is checked first: tagged codes are negative as signed
    // values and would otherwise sort before the end of a shorter text.
    if (*a == 0) return -1;
    if (*b == 0) return 1;
    return static_cast<int32_t>(*a) < static_cast<int32_t>(*b) ? -1 : 1;
  }
}

L_CHAR* l_strcpy(L_CHAR* dst, const L_CHAR* src) {
  std::memcpy(dst, src, (l_strlen(src) + 1) * sizeof(L_CHAR));
  return dst;
}

L_CHAR* xx_ll_copy_str(const L_CHAR* s, const char* file, int line) {
  if (!s) return nullptr;
  size_t bytes = (l_strlen(s) + 1) * sizeof(L_CHAR);
  auto* r = static_cast<L_CHAR*>(xx_d_alloc(bytes, file, line));
  std::memcpy(r, s, bytes);
  return r;
}

L_CHAR* xx_safety_string(const L_CHAR* s, const char* file, int line) {
  if (!s) return nullptr;
  size_t n = 1;
  for (const L_CHAR* p = s; *p; ++p) {
    switch (*p) {
      case '&': n += 5; break;
      case '<': n += 4; break;
      case '\\': case '\n': case '\r': n += 2; break;
      default: n += 1;
    }
  }
  auto* r = static_cast<L_CHAR*>(xx_d_alloc(n * sizeof(L_CHAR), file, line));
  L_CHAR* o = r;
  auto put = [&o](const char* t) {
    while (*t) *o++ = static_cast<unsigned char>(*t++);
  };
  for (const L_CHAR* p = s; *p; ++p) {
    switch (*p) {
      case '&': put("&amp;"); break;
      case '<': put("&lt;"); break;
      case '\\': put("\\\\"); break;
      case '\n': case '\r': put("\\n"); break;
      default: *o++ = *p;
    }
  }
  *o = 0;
  return r;
}
