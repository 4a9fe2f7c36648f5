#include "text/codemethod.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "base/alloc.h"
#include "text/enc_impl.h"

CODE_METHOD* stream_cm = &cm_eucjp;
CODE_METHOD* std_cm = &cm_eucjp;
CODE_METHOD* const utf8_cm = &cm_utf8;
CODE_METHOD* const int_cm = &cm_internal;
CODE_METHOD* const ascii_cm = &cm_ascii;
CODE_METHOD* const eucjp_cm = &cm_eucjp;

namespace {

constexpr int kMaxMethods = 32;

// Entries are written before the count is published, so readers need no
// lock; insert_cm writers take reg_mutex.
CODE_METHOD* registry[kMaxMethods];
std::atomic<int> registered{0};
std::mutex reg_mutex;
std::once_flag init_once;

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool same_name(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if (upper(*a) != upper(*b)) return false;
  return *a == *b;
}

bool has_name(const CODE_METHOD* cm, const char* name) {
  if (same_name(cm->name, name)) return true;
  for (const char* const* a = cm->aliases; a && *a; ++a)
    if (same_name(*a, name)) return true;
  return false;
}

int add_method(CODE_METHOD* cm) {
  int n = registered.load(std::memory_order_relaxed);
  if (n >= kMaxMethods) return -1;
  for (int i = 0; i < n; ++i) {
    if (registry[i]->lccode == cm->lccode || has_name(registry[i], cm->name)) return -1;
  }
  registry[n] = cm;
  registered.store(n + 1, std::memory_order_release);
  return 0;
}

void start() {
  std::lock_guard<std::mutex> g(reg_mutex);
  for (CODE_METHOD* cm : {&cm_ascii, &cm_latin1, &cm_eucjp, &cm_sjis, &cm_iso2022jp, &cm_utf8,
                          &cm_utf16, &cm_extucs4, &cm_internal})
    add_method(cm);
  const char* env = std::getenv("STD_CODE");
  CODE_METHOD* chosen = nullptr;
  if (env && *env) {
    for (int i = 0, n = registered.load(); i < n && !chosen; ++i)
      if (has_name(registry[i], env)) chosen = registry[i];
  }
  stream_cm = chosen ? chosen : &cm_eucjp;
  // Narrow text never takes a wide encoding: its zero byte would not end a
  // 2- or 4-byte unit, and every C string would be read past its end.
  std_cm = stream_cm->unit == 1 ? stream_cm : &cm_eucjp;
}

inline void ready() { std::call_once(init_once, start); }

}  // namespace

void init_longchar() { ready(); }

int insert_cm(CODE_METHOD* cm) {
  if (!cm || !cm->name) return -1;
  ready();
  std::lock_guard<std::mutex> g(reg_mutex);
  return add_method(cm);
}

CODE_METHOD* get_cm_by_index(int i) {
  ready();
  return i >= 0 && i < registered.load(std::memory_order_acquire) ? registry[i] : nullptr;
}

CODE_METHOD* search_cm(const char* name) {
  if (!name) return nullptr;
  ready();
  for (int i = 0, n = registered.load(std::memory_order_acquire); i < n; ++i)
    if (has_name(registry[i], name)) return registry[i];
  return nullptr;
}

CODE_METHOD* get_encoding(const L_CHAR* name) {
  if (!name) return nullptr;
  char buf[64];
  size_t k = 0;
  for (; name[k]; ++k) {
    // Encoding names are short ASCII words; anything else names nothing.
    if (name[k] >= 0x80 || k + 1 >= sizeof buf) return nullptr;
    buf[k] = static_cast<char>(name[k]);
  }
  buf[k] = 0;
  return search_cm(buf);
}

CODE_METHOD* search_cm_by_lccode(L_CHAR code) {
  ready();
  for (int i = 0, n = registered.load(std::memory_order_acquire); i < n; ++i)
    if (registry[i]->lccode == code) return registry[i];
  return nullptr;
}

CODE_METHOD* search_cm_by_main_code(L_CHAR code) {
  ready();
  if ((code & 0xFFFF0000u) == LC_ENCODING) {
    if (CODE_METHOD* cm = search_cm_by_lccode(code)) return cm;
  }
  for (int i = 0, n = registered.load(std::memory_order_acquire); i < n; ++i)
    if (registry[i]->can_express(code)) return registry[i];
  return nullptr;
}

L_CHAR search_lccode(const char* name) {
  CODE_METHOD* cm = search_cm(name);
  return cm ? cm->lccode : LC_UNKNOWN_ENCODING;
}

void cm_work_init(CM_WORK* w, CODE_METHOD* cm) {
  ready();
  *w = CM_WORK{cm, 0, 0, 0, 0};
}

int cm_put_code(CM_WORK* w, L_CHAR code, char ref, unsigned char* out) {
  int k = w->cm->to_external(w, code, out);
  if (k >= 0) return k;
  char text[24];
  std::snprintf(text, sizeof text, "&%cx%x;", ref, static_cast<unsigned>(code));
  k = 0;
  for (const char* p = text; *p; ++p) {
    int m = w->cm->to_external(w, static_cast<unsigned char>(*p), out + k);
    if (m > 0) k += m;
  }
  return k;
}

namespace enc {

CM_WORK* open_work(CODE_METHOD* cm) {
  auto* w = static_cast<CM_WORK*>(d_alloc(sizeof(CM_WORK)));
  cm_work_init(w, cm);
  return w;
}

void close_work(CM_WORK* w) { d_f_ree(w); }

int end_one(CM_WORK* w, L_CHAR* out) {
  int k = 0;
  if (w->dst != 0) out[k++] = LC_REPLACEMENT;
  w->dst = w->dacc = w->daux = 0;
  return k;
}

int flush_none(CM_WORK*, unsigned char*) { return 0; }

}  // namespace enc
