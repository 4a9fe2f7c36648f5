// Traces of the network services (trace_impl.h): whether QNMX_TRACE is set,
// peer text made printable, and byte dumps of protocol traffic in which the
// value after every "passwd=" is masked, also across the pieces of one
// direction of a stream.
#include "netsvc/trace_impl.h"

#include <cctype>
#include <cstdio>

#include "base/paths.h"

bool net_trace_on() {
  static const bool on = u_getenv("QNMX_TRACE") != nullptr;
  return on;
}

std::string net_printable(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = '?';
  }
  return out;
}

namespace {

constexpr char kSecretKey[] = "passwd=";
constexpr int kSecretKeyLen = sizeof kSecretKey - 1;

// Ends a bare value: what separates words in forms, attributes and URLs.
bool ends_bare(unsigned char c) {
  return c <= ' ' || c == '&' || c == '"' || c == '\'' || c == ')' || c == '(' || c == '<' || c == '>' || c == ';' ||
         c == ',';
}

void dump_byte(std::string* out, unsigned char c) {
  if (c < 32 || c >= 128) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "$%x$", c);
    *out += hex;
  } else {
    out->push_back(static_cast<char>(c));
  }
}

}  // namespace

std::string net_masked_dump(SECRET_MASK* m, const unsigned char* p, size_t n) {
  std::string out;
  out.reserve(n + 16);
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = p[i];
    switch (m->mode) {
      case 1:  // the first byte of the value
        if (c == '"') {
          out += "\"****";
          m->mode = 2;
        } else if (ends_bare(c)) {
          dump_byte(&out, c);
          m->mode = 0;
        } else {
          out += "****";
          m->mode = 3;
        }
        continue;
      case 2:
        if (c == '\\') m->mode = 4;
        else if (c == '"') out.push_back('"'), m->mode = 0;
        continue;
      case 4:
        m->mode = 2;
        continue;
      case 3:
        if (!ends_bare(c)) continue;
        m->mode = 0;
        break;
      default:
        break;
    }
    dump_byte(&out, c);
    int lower = std::tolower(c);
    if (lower == kSecretKey[m->matched]) ++m->matched;
    else m->matched = lower == kSecretKey[0] ? 1 : 0;
    if (m->matched == kSecretKeyLen) {
      m->matched = 0;
      m->mode = 1;
    }
  }
  return out;
}
