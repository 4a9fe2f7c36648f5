// The reader's fuzz input: the first byte picks the encoding (its value
// modulo 5), HTML mode (0x10), no numbers between tags (0x20) and, for the
// caller, an encoding header search (0x40); the rest is the source text.
#pragma once

#include <cstddef>
#include <cstdint>

#include "stream/stream.h"
#include "text/codemethod.h"
#include "zu/reader.h"

// The lazy list of the input's forms (size > 0; the caller holds the memory
// lock).
inline ZU_SEXP* open_fuzz_input(const uint8_t* data, size_t size) {
  static CODE_METHOD* const kCms[] = {utf8_cm, eucjp_cm, ascii_cm, search_cm("ISO-2022-JP"), search_cm("UTF-16")};
  uint8_t sel = data[0];
  uint32_t flags = 0;
  if (sel & 0x10) flags |= ZU_FILE_HTML;
  if (sel & 0x20) flags |= ZU_FILE_NO_NUMBER;
  STREAM* st = s_open_string_read(reinterpret_cast<const char*>(data + 1), kCms[sel % 5], static_cast<int>(size - 1), 1);
  ZU_SEXP* l = init_parse(st, nullptr, nullptr);
  if (ZU_FILE* f = l ? l->h.file : nullptr) f->flags |= flags;
  return l;
}
