// String back-ends: reading from bytes in memory, writing into a growing
// buffer.
#include <cstring>
#include <string>
#include <vector>

#include "stream/stream_impl.h"

namespace {

struct S_SREAD : STREAM {
  // The unread bytes are the header's read window.
  std::string copy;  // the bytes when the stream keeps its own copy
};

struct S_SWRITE : STREAM {
  std::string buf;
  std::vector<char> text;  // the zero-terminated copy handed out
  std::vector<L_CHAR> wide;
};

int sr_read(STREAM* s, void* data, int len) {
  auto* r = static_cast<S_SREAD*>(s);
  size_t n = std::min(static_cast<size_t>(len), static_cast<size_t>(r->h.rwin_end - r->h.rwin));
  if (n > 0) std::memcpy(data, r->h.rwin, n);
  r->h.rwin += n;
  return static_cast<int>(n);
}

int sr_data_size(STREAM* s) {
  auto* r = static_cast<S_SREAD*>(s);
  return static_cast<int>(std::min<size_t>(static_cast<size_t>(r->h.rwin_end - r->h.rwin), 0x7fffffff));
}

int sr_close(STREAM* s) {
  auto* r = static_cast<S_SREAD*>(s);
  std::string().swap(r->copy);
  r->h.rwin = r->h.rwin_end = nullptr;
  return 0;
}

int sw_write(STREAM* s, const void* data, int len) {
  auto* w = static_cast<S_SWRITE*>(s);
  w->buf.append(static_cast<const char*>(data), static_cast<size_t>(len));
  return len;
}

int sw_close(STREAM* s) {
  auto* w = static_cast<S_SWRITE*>(s);
  std::string().swap(w->buf);
  std::vector<L_CHAR>().swap(w->wide);
  std::vector<char>().swap(w->text);
  return 0;
}

}  // namespace

const S_TABLE s_string_read_table = {'s',     sr_close, nullptr, sr_read, nullptr, nullptr, nullptr,
                                     nullptr, nullptr,  sr_data_size, nullptr, nullptr, nullptr};
const S_TABLE s_string_write_table = {'w',     sw_close, sw_write, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr,  nullptr,  nullptr, nullptr, nullptr};

STREAM* s_open_string_read(const char* text, CODE_METHOD* cm, int size, int flag) {
  init_stream();
  if (size < 0 || (!text && size > 0)) return nullptr;
  auto* r = s_new_record<S_SREAD>(__FILE__, __LINE__);
  r->h.tbl = &s_string_read_table;
  r->h.cm = cm ? cm : std_cm;
  const unsigned char* data = reinterpret_cast<const unsigned char*>(text);
  if (flag == 1) {
    r->copy.assign(text ? text : "", static_cast<size_t>(size));
    data = reinterpret_cast<const unsigned char*>(r->copy.data());
  }
  r->h.rwin = data;
  r->h.rwin_end = data ? data + size : data;
  r->h.rwin_direct = 1;
  s_register(r, S_MODE_READ, S_CAT_STRING);
  return r;
}

STREAM* s_open_string_write(CODE_METHOD* cm) {
  init_stream();
  auto* w = s_new_record<S_SWRITE>(__FILE__, __LINE__);
  w->h.tbl = &s_string_write_table;
  w->h.cm = cm ? cm : std_cm;
  s_register(w, S_MODE_WRITE, S_CAT_STRING);
  return w;
}

char* s_get_string(STREAM* s) {
  S_USE use(s);
  if (!use.s || s->h.tbl != &s_string_write_table) return nullptr;
  auto* w = static_cast<S_SWRITE*>(s);
  // A zero unit ends the text in every encoding (up to 4-byte units).
  w->text.assign(w->buf.begin(), w->buf.end());
  w->text.resize(w->buf.size() + 4, 0);
  return w->text.data();
}

int s_get_string_len(STREAM* s) {
  S_USE use(s);
  if (!use.s || s->h.tbl != &s_string_write_table) return -1;
  return static_cast<int>(static_cast<S_SWRITE*>(s)->buf.size());
}

L_CHAR* s_get_l_string(STREAM* s) {
  S_USE use(s);
  if (!use.s || s->h.tbl != &s_string_write_table || s->h.cm != int_cm) return nullptr;
  auto* w = static_cast<S_SWRITE*>(s);
  size_t n = w->buf.size() / sizeof(L_CHAR);
  w->wide.resize(n + 1);
  std::memcpy(w->wide.data(), w->buf.data(), n * sizeof(L_CHAR));
  w->wide[n] = 0;
  return w->wide.data();
}
