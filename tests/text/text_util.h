// Helpers shared by the wide-text tests.
#pragma once

#include <iconv.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "support/test_paths.h"
#include "text/codemethod.h"

namespace text_test {

using Codes = std::vector<L_CHAR>;
using Bytes = std::string;

inline Bytes read_file(const std::string& name) {
  std::ifstream f(std::string(test_path("data")) + "/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline Codes from_ucs4be(const Bytes& b) {
  Codes c;
  for (size_t i = 0; i + 3 < b.size(); i += 4) {
    auto u = [&](size_t k) { return static_cast<L_CHAR>(static_cast<unsigned char>(b[i + k])); };
    c.push_back((u(0) << 24) | (u(1) << 16) | (u(2) << 8) | u(3));
  }
  return c;
}

inline Bytes to_ucs4be(const Codes& c) {
  Bytes b;
  for (L_CHAR u : c)
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<char>(u >> s));
  return b;
}

// Decodes through the bulk decoder in pieces of `chunk` bytes (0: all at
// once) or, with chunk 1, through to_internal one byte at a time.
inline Codes decode(CODE_METHOD* cm, const Bytes& in, size_t chunk = 0) {
  CM_WORK w;
  cm_work_init(&w, cm);
  Codes out;
  L_CHAR buf[256];
  if (chunk == 1) {
    for (unsigned char b : in) {
      int k = cm->to_internal(&w, b, buf);
      out.insert(out.end(), buf, buf + k);
    }
  } else {
    size_t step = chunk ? chunk : in.size();
    for (size_t i = 0; i < in.size();) {
      size_t piece = std::min(step, in.size() - i), pos = 0;
      while (pos < piece) {
        size_t used = 0;
        size_t k = cm_decode(&w, reinterpret_cast<const unsigned char*>(in.data()) + i + pos,
                             piece - pos, buf, sizeof buf / sizeof buf[0], &used);
        out.insert(out.end(), buf, buf + k);
        pos += used;
      }
      i += piece;
    }
  }
  int k = cm->end_internal(&w, buf);
  out.insert(out.end(), buf, buf + k);
  return out;
}

// Encodes with to_external per code, or with the bulk encoder when bulk;
// unexpressible codes become "&<ref>x%x;".
inline Bytes encode(CODE_METHOD* cm, const Codes& in, bool bulk = false, char ref = 'c') {
  CM_WORK w;
  cm_work_init(&w, cm);
  Bytes out;
  unsigned char buf[256];
  for (size_t i = 0; i < in.size();) {
    if (bulk) {
      size_t used = 0;
      size_t k = cm_encode(&w, in.data() + i, in.size() - i, buf, sizeof buf, &used);
      out.append(reinterpret_cast<char*>(buf), k);
      i += used;
      if (used) continue;
    }
    int k = cm_put_code(&w, in[i++], ref, buf);
    out.append(reinterpret_cast<char*>(buf), static_cast<size_t>(k));
  }
  int k = cm->flush_external(&w, buf);
  out.append(reinterpret_cast<char*>(buf), static_cast<size_t>(k));
  return out;
}

// The C library's conversion of in, or nothing when it refuses.
inline std::optional<Bytes> iconv_bytes(const char* from, const char* to, const Bytes& in) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  Bytes out(in.size() * 8 + 16, '\0');
  char* ip = const_cast<char*>(in.data());
  char* op = out.data();
  size_t il = in.size(), ol = out.size();
  bool ok = iconv(cd, &ip, &il, &op, &ol) != static_cast<size_t>(-1) && il == 0 &&
            iconv(cd, nullptr, nullptr, &op, &ol) != static_cast<size_t>(-1);
  iconv_close(cd);
  if (!ok) return std::nullopt;
  out.resize(out.size() - ol);
  return out;
}

}  // namespace text_test
