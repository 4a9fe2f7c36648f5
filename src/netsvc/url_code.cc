#include "netsvc/url_code.h"

namespace {

bool escaped(unsigned char b) {
  switch (b) {
    case ' ':
    case '#':
    case '%':
    case '*':
    case '/':
    case ':':
    case '?':
      return true;
    default:
      return b < 0x20 || b >= 0x80;
  }
}

int hex_value(L_CHAR c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return 0;
}

}  // namespace

void url_string_code(std::string_view bytes, std::string* out) {
  static const char kHex[] = "0123456789ABCDEF";
  out->reserve(out->size() + bytes.size() * 3);
  for (char ch : bytes) {
    auto b = static_cast<unsigned char>(ch);
    if (!escaped(b)) {
      out->push_back(ch);
      continue;
    }
    out->push_back('%');
    out->push_back(kHex[b >> 4]);
    out->push_back(kHex[b & 15]);
  }
}

std::string decode_url_string(const L_CHAR* text, size_t len) {
  std::string out;
  out.reserve(len);
  for (size_t i = 0; i < len; ++i) {
    unsigned char b;
    if (text[i] == '%' && len - i > 2) {
      b = static_cast<unsigned char>(hex_value(text[i + 1]) << 4 | hex_value(text[i + 2]));
      i += 2;
    } else {
      b = static_cast<unsigned char>(text[i] & 0xFF);
    }
    if (b == 0) break;
    out.push_back(static_cast<char>(b));
  }
  return out;
}
