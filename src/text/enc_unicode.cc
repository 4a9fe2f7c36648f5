// The byte-oriented and Unicode code methods: ASCII, ISO-8859-1, UTF-8,
// UTF-16, EXTUCS-4 and the internal one.
#include <cstring>

#include "text/enc_impl.h"

namespace {

using enc::decode_loop;
using enc::encode_loop;

bool is_scalar(L_CHAR c) { return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF); }

// ---- ASCII and ISO-8859-1 -------------------------------------------------

int ascii_dec(CM_WORK*, unsigned char b, L_CHAR* out) {
  out[0] = b < 0x80 ? b : LC_REPLACEMENT;
  return 1;
}
int ascii_enc(CM_WORK*, L_CHAR c, unsigned char* out) {
  if (c >= 0x80) return -1;
  out[0] = static_cast<unsigned char>(c);
  return 1;
}
bool ascii_can(L_CHAR c) { return c < 0x80; }

int latin1_dec(CM_WORK*, unsigned char b, L_CHAR* out) {
  out[0] = b;
  return 1;
}
int latin1_enc(CM_WORK*, L_CHAR c, unsigned char* out) {
  if (c >= 0x100) return -1;
  out[0] = static_cast<unsigned char>(c);
  return 1;
}
bool latin1_can(L_CHAR c) { return c < 0x100; }

// ---- UTF-8 ------------------------------------------------------------------
// dst: continuation bytes still needed; dacc: the code so far; daux: the
// range allowed for the next byte (low | high << 8), which rules out
// overlong forms, surrogates and codes above U+10FFFF at the first
// continuation byte already.

int utf8_dec(CM_WORK* w, unsigned char b, L_CHAR* out) {
  if (w->dst == 0) {
    if (b < 0x80) {
      out[0] = b;
      return 1;
    }
    if (b >= 0xC2 && b <= 0xDF) {
      w->dst = 1;
      w->dacc = b & 0x1F;
      w->daux = 0x80 | (0xBF << 8);
      return 0;
    }
    if (b >= 0xE0 && b <= 0xEF) {
      w->dst = 2;
      w->dacc = b & 0x0F;
      w->daux = (b == 0xE0 ? 0xA0 : 0x80) | ((b == 0xED ? 0x9F : 0xBF) << 8);
      return 0;
    }
    if (b >= 0xF0 && b <= 0xF4) {
      w->dst = 3;
      w->dacc = b & 0x07;
      w->daux = (b == 0xF0 ? 0x90 : 0x80) | ((b == 0xF4 ? 0x8F : 0xBF) << 8);
      return 0;
    }
    out[0] = LC_REPLACEMENT;
    return 1;
  }
  if (b < (w->daux & 0xFF) || b > (w->daux >> 8)) {
    // The sequence so far is one broken character; b starts afresh.
    w->dst = 0;
    out[0] = LC_REPLACEMENT;
    return 1 + utf8_dec(w, b, out + 1);
  }
  w->dacc = (w->dacc << 6) | (b & 0x3F);
  w->daux = 0x80 | (0xBF << 8);
  if (--w->dst == 0) {
    out[0] = w->dacc;
    return 1;
  }
  return 0;
}

// Whole well-formed sequences are decoded in one go between characters;
// anything unusual goes through the byte-at-a-time path.
size_t utf8_decode(CM_WORK* w, const unsigned char* in, size_t n, L_CHAR* out, size_t cap,
                   size_t* used) {
  size_t i = 0, o = 0;
  while (i < n && cap - o >= static_cast<size_t>(CM_MAX_DECODE)) {
    if (w->dst == 0) {
      unsigned char b = in[i];
      if (b < 0x80) {
        enc::ascii_run(in, i, i + std::min(n - i, cap - o), out, o);
        continue;
      }
      if (b >= 0xE0 && b <= 0xEF && n - i >= 3) {
        unsigned char b1 = in[i + 1], b2 = in[i + 2];
        unsigned lo = b == 0xE0 ? 0xA0 : 0x80, hi = b == 0xED ? 0x9F : 0xBF;
        if (b1 >= lo && b1 <= hi && (b2 & 0xC0) == 0x80) {
          out[o++] = (L_CHAR{b & 0x0Fu} << 12) | (L_CHAR{b1 & 0x3Fu} << 6) | (b2 & 0x3F);
          i += 3;
          continue;
        }
      } else if (b >= 0xC2 && b <= 0xDF && n - i >= 2 && (in[i + 1] & 0xC0) == 0x80) {
        out[o++] = (L_CHAR{b & 0x1Fu} << 6) | (in[i + 1] & 0x3F);
        i += 2;
        continue;
      }
    }
    o += static_cast<size_t>(utf8_dec(w, in[i++], out + o));
  }
  *used = i;
  return o;
}

int utf8_enc(CM_WORK*, L_CHAR c, unsigned char* out) {
  if (c < 0x80) {
    out[0] = static_cast<unsigned char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
    out[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (!is_scalar(c)) return -1;
  if (c < 0x10000) {
    out[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
    out[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
  out[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
  return 4;
}

// ---- UTF-16 -------------------------------------------------------------------
// dst: 1 while the first byte of a unit is held in dacc. daux: bit 0 little
// endian (after a byte-swapped byte-order mark), bit 1 past the first unit,
// bits 16-31 a high surrogate waiting for its partner.

constexpr uint32_t kLittle = 1, kStarted = 2;

int utf16_dec(CM_WORK* w, unsigned char b, L_CHAR* out) {
  if (w->dst == 0) {
    w->dacc = b;
    w->dst = 1;
    return 0;
  }
  w->dst = 0;
  L_CHAR u = (w->daux & kLittle) ? (L_CHAR{b} << 8) | w->dacc : (w->dacc << 8) | b;
  if (!(w->daux & kStarted)) {
    w->daux |= kStarted;
    if (u == 0xFEFF) return 0;
    if (u == 0xFFFE) {
      w->daux |= kLittle;
      return 0;
    }
  }
  int k = 0;
  if (L_CHAR high = w->daux >> 16) {
    w->daux &= 0xFFFF;
    if (u >= 0xDC00 && u <= 0xDFFF) {
      out[0] = 0x10000 + ((high - 0xD800) << 10) + (u - 0xDC00);
      return 1;
    }
    out[k++] = LC_REPLACEMENT;
  }
  if (u >= 0xD800 && u <= 0xDBFF) {
    w->daux |= u << 16;
    return k;
  }
  out[k++] = (u >= 0xDC00 && u <= 0xDFFF) ? LC_REPLACEMENT : u;
  return k;
}

int utf16_end(CM_WORK* w, L_CHAR* out) {
  int k = 0;
  if (w->daux >> 16) out[k++] = LC_REPLACEMENT;
  if (w->dst) out[k++] = LC_REPLACEMENT;
  w->dst = w->dacc = w->daux = 0;
  return k;
}

int utf16_enc(CM_WORK*, L_CHAR c, unsigned char* out) {
  if (!is_scalar(c)) return -1;
  if (c < 0x10000) {
    out[0] = static_cast<unsigned char>(c >> 8);
    out[1] = static_cast<unsigned char>(c);
    return 2;
  }
  L_CHAR v = c - 0x10000, hi = 0xD800 + (v >> 10), lo = 0xDC00 + (v & 0x3FF);
  out[0] = static_cast<unsigned char>(hi >> 8);
  out[1] = static_cast<unsigned char>(hi);
  out[2] = static_cast<unsigned char>(lo >> 8);
  out[3] = static_cast<unsigned char>(lo);
  return 4;
}
bool scalar_can(L_CHAR c) { return is_scalar(c); }

// ---- EXTUCS-4 and the internal encoding -----------------------------------------
// Every L_CHAR, tagged codes included, as four bytes: most significant
// first, or in the host's order.

int ucs4_dec(CM_WORK* w, unsigned char b, L_CHAR* out) {
  w->dacc = (w->dacc << 8) | b;
  if (++w->dst < 4) return 0;
  out[0] = w->dacc;
  w->dst = w->dacc = 0;
  return 1;
}
int ucs4_enc(CM_WORK*, L_CHAR c, unsigned char* out) {
  out[0] = static_cast<unsigned char>(c >> 24);
  out[1] = static_cast<unsigned char>(c >> 16);
  out[2] = static_cast<unsigned char>(c >> 8);
  out[3] = static_cast<unsigned char>(c);
  return 4;
}
bool all_can(L_CHAR) { return true; }

int int_dec(CM_WORK* w, unsigned char b, L_CHAR* out) {
  reinterpret_cast<unsigned char*>(&w->dacc)[w->dst] = b;
  if (++w->dst < 4) return 0;
  out[0] = w->dacc;
  w->dst = w->dacc = 0;
  return 1;
}
int int_enc(CM_WORK*, L_CHAR c, unsigned char* out) {
  std::memcpy(out, &c, 4);
  return 4;
}

const char* const kAsciiAliases[] = {"US-ASCII", "ANSI_X3.4-1968", nullptr};
const char* const kLatin1Aliases[] = {"LATIN1", "ISO8859-1", "ISO_8859-1", nullptr};
const char* const kUtf8Aliases[] = {"UTF8", nullptr};
const char* const kUtf16Aliases[] = {"UTF16", "UTF-16BE", nullptr};
const char* const kUcs4Aliases[] = {"UCS4", "UCS-4", nullptr};
const char* const kInternalAliases[] = {nullptr};

}  // namespace

CODE_METHOD cm_ascii = {"ASCII", LC_ENCODING | 1, kAsciiAliases, 1, enc::open_work, enc::close_work,
                        ascii_dec, enc::end_one, ascii_enc, enc::flush_none, ascii_can,
                        decode_loop<ascii_dec, false>, encode_loop<ascii_enc, true>};
CODE_METHOD cm_latin1 = {"ISO-8859-1", LC_ENCODING | 2, kLatin1Aliases, 1, enc::open_work,
                         enc::close_work, latin1_dec, enc::end_one, latin1_enc, enc::flush_none,
                         latin1_can, decode_loop<latin1_dec, false>,
                         encode_loop<latin1_enc, true>};
CODE_METHOD cm_utf8 = {"UTF-8", LC_ENCODING | 6, kUtf8Aliases, 1, enc::open_work, enc::close_work,
                       utf8_dec, enc::end_one, utf8_enc, enc::flush_none, scalar_can,
                       utf8_decode, encode_loop<utf8_enc, true>};
CODE_METHOD cm_utf16 = {"UTF-16", LC_ENCODING | 7, kUtf16Aliases, 2, enc::open_work,
                        enc::close_work, utf16_dec, utf16_end, utf16_enc, enc::flush_none,
                        scalar_can, decode_loop<utf16_dec, false>,
                        encode_loop<utf16_enc, false>};
CODE_METHOD cm_extucs4 = {"EXTUCS-4", LC_ENCODING | 8, kUcs4Aliases, 4, enc::open_work,
                          enc::close_work, ucs4_dec, enc::end_one, ucs4_enc, enc::flush_none,
                          all_can, decode_loop<ucs4_dec, false>, encode_loop<ucs4_enc, false>};
CODE_METHOD cm_internal = {"INTERNAL", LC_ENCODING | 9, kInternalAliases, 4, enc::open_work,
                           enc::close_work, int_dec, enc::end_one, int_enc, enc::flush_none,
                           all_can, decode_loop<int_dec, false>, encode_loop<int_enc, false>};
