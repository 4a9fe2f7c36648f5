#include "text/convert.h"

#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "base/alloc.h"
#include "base/panic.h"
#include "base/tempbuf.h"

namespace {

CODE_METHOD* method(CODE_METHOD* cm) {
  init_longchar();
  return cm ? cm : std_cm;
}

// Length in bytes of a narrow text up to its first zero unit.
size_t narrow_length(const CODE_METHOD* cm, const char* text) {
  if (cm->unit <= 1) return std::strlen(text);
  size_t n = 0;
  for (;;) {
    bool zero = true;
    for (int k = 0; k < cm->unit; ++k) zero = zero && text[n + k] == 0;
    if (zero) return n;
    n += static_cast<size_t>(cm->unit);
  }
}

// Decodes n bytes into a new tagged buffer. A decoder never produces more
// codes than it consumes bytes, so n + 1 codes always suffice; the margin
// lets the bulk decoder run to the end without stopping early.
L_CHAR* decode_all(CODE_METHOD* cm, const void* bytes, size_t n, size_t* len, const char* file,
                   int line) {
  size_t cap = n + CM_MAX_DECODE + 1;
  auto* out = static_cast<L_CHAR*>(xx_d_alloc(cap * sizeof(L_CHAR), file, line));
  CM_WORK w;
  cm_work_init(&w, cm);
  size_t used = 0;
  size_t o = cm_decode(&w, static_cast<const unsigned char*>(bytes), n, out, cap - 1, &used);
  if (used != n) er_panic("decode_all");  // a decoder wrote more codes than bytes
  o += static_cast<size_t>(cm->end_internal(&w, out + o));
  out[o] = 0;
  if (len) *len = o;
  return out;
}

// Encodes a wide text into a new tagged buffer ending with a zero unit.
char* encode_all(CODE_METHOD* cm, const L_CHAR* s, size_t* len, const char* file, int line) {
  size_t n = l_strlen(s);
  size_t cap = n * (cm->unit == 1 ? 3 : cm->unit) + CM_MAX_PUT + 8;
  auto* out = static_cast<unsigned char*>(xx_d_alloc(cap, file, line));
  CM_WORK w;
  cm_work_init(&w, cm);
  size_t o = 0, i = 0;
  auto room = [&](size_t need) {
    if (cap - o >= need) return;
    cap = cap * 2 + need;
    out = static_cast<unsigned char*>(d_re_alloc(out, cap));
    if (!out) er_panic("encode_all");
  };
  while (i < n) {
    room(CM_MAX_PUT);
    size_t used = 0;
    o += cm_encode(&w, s + i, n - i, out + o, cap - o, &used);
    i += used;
    if (i < n && cap - o >= static_cast<size_t>(CM_MAX_PUT)) {
      // Stopped with room to spare: the code cannot be expressed.
      o += static_cast<size_t>(cm_put_code(&w, s[i], 'C', out + o));
      ++i;
    }
  }
  room(CM_MAX_BYTES + 4);
  o += static_cast<size_t>(cm->flush_external(&w, out + o));
  if (len) *len = o;
  std::memset(out + o, 0, static_cast<size_t>(cm->unit));
  return reinterpret_cast<char*>(out);
}

struct InternTable {
  std::mutex mu;
  std::unordered_map<std::string, const L_CHAR*> map;
};

InternTable& interned() {
  static auto* t = new InternTable;  // never destroyed: interned texts live for ever
  return *t;
}

}  // namespace

L_CHAR* _l_string_1(CODE_METHOD* cm, const char* text) {
  if (!text) return nullptr;
  cm = method(cm);
  L_CHAR* r = decode_all(cm, text, narrow_length(cm, text), nullptr, __FILE__, __LINE__);
  set_buffer(r);
  return r;
}

const L_CHAR* _l_string_2(CODE_METHOD* cm, const char* text) {
  if (!text) return nullptr;
  cm = method(cm);
  size_t n = narrow_length(cm, text);
  std::string key(reinterpret_cast<const char*>(&cm), sizeof cm);
  key.append(text, n);
  InternTable& t = interned();
  std::lock_guard<std::mutex> g(t.mu);
  auto [it, fresh] = t.map.try_emplace(std::move(key), nullptr);
  if (fresh) it->second = decode_all(cm, text, n, nullptr, __FILE__, __LINE__);
  return it->second;
}

L_CHAR* _xx_nl_copy_str_1(CODE_METHOD* cm, const char* text, const char* file, int line) {
  if (!text) return nullptr;
  cm = method(cm);
  return decode_all(cm, text, narrow_length(cm, text), nullptr, file, line);
}

L_CHAR* xx_nl_copy_bytes(CODE_METHOD* cm, const void* bytes, size_t n, size_t* len,
                         const char* file, int line) {
  if (!bytes && n) return nullptr;
  return decode_all(method(cm), bytes, n, len, file, line);
}

char* xx_ln_copy_str(CODE_METHOD* cm, const L_CHAR* s, const char* file, int line) {
  if (!s) return nullptr;
  return encode_all(method(cm), s, nullptr, file, line);
}

char* xx_ln_copy_bytes(CODE_METHOD* cm, const L_CHAR* s, size_t* len, const char* file,
                       int line) {
  if (!s) return nullptr;
  return encode_all(method(cm), s, len, file, line);
}

char* n_string(CODE_METHOD* cm, const L_CHAR* s) {
  if (!s) return nullptr;
  char* r = encode_all(method(cm), s, nullptr, __FILE__, __LINE__);
  set_buffer(r);
  return r;
}
