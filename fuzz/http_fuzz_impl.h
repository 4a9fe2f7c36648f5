// Pieces shared by the HTTP fuzz targets: a stream over the input bytes
// whose writes are counted and dropped.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "stream/stream.h"

struct FUZZ_MEM_STREAM : STREAM {
  std::string in;
  size_t at = 0;
  size_t written = 0;
};

inline int fuzz_mem_read(STREAM* s, void* data, int len) {
  auto* m = static_cast<FUZZ_MEM_STREAM*>(s);
  size_t n = std::min(static_cast<size_t>(len), m->in.size() - m->at);
  std::memcpy(data, m->in.data() + m->at, n);
  m->at += n;
  return static_cast<int>(n);
}
inline int fuzz_mem_write(STREAM* s, const void*, int len) {
  static_cast<FUZZ_MEM_STREAM*>(s)->written += static_cast<size_t>(len);
  return len;
}
inline int fuzz_mem_close(STREAM*) { return 0; }
inline int fuzz_mem_ip(STREAM*) { return 0x7f000002; }

inline const S_TABLE fuzz_mem_table = {'M',     fuzz_mem_close, fuzz_mem_write, fuzz_mem_read, nullptr,
                                       fuzz_mem_ip, nullptr,    nullptr,        nullptr,       nullptr,
                                       nullptr,     nullptr,    nullptr};

// A live stream reading the bytes (and taking every write).
inline STREAM* fuzz_mem_stream(const uint8_t* data, size_t size) {
  init_stream();
  auto* m = s_new_record<FUZZ_MEM_STREAM>(__FILE__, __LINE__);
  m->h.tbl = &fuzz_mem_table;
  m->in.assign(reinterpret_cast<const char*>(data), size);
  s_register(m, S_MODE_RW, S_CAT_STRING);
  return m;
}
