// Shared pieces of the built-in code methods (not for other subsystems).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "text/codemethod.h"

namespace enc {

using DecodeStep = int (*)(CM_WORK*, unsigned char, L_CHAR*);
using EncodeStep = int (*)(CM_WORK*, L_CHAR, unsigned char*);

CM_WORK* open_work(CODE_METHOD* cm);
void close_work(CM_WORK* w);
int end_one(CM_WORK* w, L_CHAR* out);  // one pending partial character at most
int flush_none(CM_WORK* w, unsigned char* out);

// Copies the run of bytes below 0x80 that starts at in[i], up to in[lim],
// widening each to a code; advances i and o.
inline void ascii_run(const unsigned char* in, size_t& i, size_t lim, L_CHAR* out, size_t& o) {
  while (lim - i >= 8) {
    uint64_t v;
    std::memcpy(&v, in + i, 8);
    if (v & 0x8080808080808080ull) break;
    for (int k = 0; k < 8; ++k) out[o + k] = in[i + k];
    i += 8;
    o += 8;
  }
  while (i < lim && in[i] < 0x80) out[o++] = in[i++];
}

// The bulk decoder over a step function. With AsciiRun, bytes below 0x80
// met between characters are copied straight through (encodings that are
// ASCII-compatible and keep no shift state).
template <DecodeStep Step, bool AsciiRun>
size_t decode_loop(CM_WORK* w, const unsigned char* in, size_t n, L_CHAR* out, size_t cap,
                   size_t* used) {
  size_t i = 0, o = 0;
  while (i < n && cap - o >= static_cast<size_t>(CM_MAX_DECODE)) {
    if constexpr (AsciiRun) {
      if (w->dst == 0 && in[i] < 0x80) {
        ascii_run(in, i, i + std::min(n - i, cap - o), out, o);
        continue;
      }
    }
    o += static_cast<size_t>(Step(w, in[i++], out + o));
  }
  *used = i;
  return o;
}

// The bulk encoder over a step function; stops at a code the encoding
// cannot express.
template <EncodeStep Step, bool AsciiRun>
size_t encode_loop(CM_WORK* w, const L_CHAR* in, size_t n, unsigned char* out, size_t cap,
                   size_t* used) {
  size_t i = 0, o = 0;
  while (i < n && cap - o >= static_cast<size_t>(CM_MAX_BYTES)) {
    if constexpr (AsciiRun) {
      if (in[i] < 0x80) {
        size_t lim = i + std::min(n - i, cap - o);
        while (i < lim && in[i] < 0x80) out[o++] = static_cast<unsigned char>(in[i++]);
        continue;
      }
    }
    int k = Step(w, in[i], out + o);
    if (k < 0) break;
    o += static_cast<size_t>(k);
    ++i;
  }
  *used = i;
  return o;
}

}  // namespace enc

// The built-in code methods, in registration order.
extern CODE_METHOD cm_ascii, cm_latin1, cm_eucjp, cm_sjis, cm_iso2022jp, cm_utf8, cm_utf16,
    cm_extucs4, cm_internal;
