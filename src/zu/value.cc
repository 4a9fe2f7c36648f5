#include "zu/value.h"

#include <cstdarg>
#include <cstring>
#include <vector>

#include "base/panic.h"
#include "text/convert.h"
#include "zu/env.h"
#include "zu/file.h"
#include "zu/gc_core_impl.h"

namespace {

void gc_qn_error(void* p) {
  if (gc_mark_block(p)) return;
  auto* e = static_cast<ZU_ERROR*>(p);
  gc_mark(e->file, gc_qn_file);
  gc_mark(e->func, gc_text);
  gc_mark(e->data, gc_qn_sexp);
}

void gc_qn_func(void* p) {
  if (gc_mark_block(p)) return;
  auto* f = static_cast<ZU_FUNC*>(p);
  gc_mark(f->args_env, gc_qnlisp_env);
  gc_mark(f->sp_env, gc_qnlisp_env);
  gc_mark(f->l_params, gc_qn_sexp);
  gc_mark(f->l_body, gc_qn_sexp);
}

inline void mark_text(void* t) {
  if (t && !gc_is_marked(t)) gc_mark_block(t);
}

}  // namespace

const char* zu_type_name(int type) {
  static const char* const names[ZU_TYPE_COUNT] = {"null",     "error", "list",    "symbol",
                                                   "string",   "integer", "floating", "function",
                                                   "delay",    "pointer", "raw",      "environment"};
  return type >= 0 && type < ZU_TYPE_COUNT ? names[type] : nullptr;
}

namespace {

void mark_file(ZU_SEXP* s) {
  if (s->h.file && !gc_is_marked(s->h.file)) gc_mark(s->h.file, gc_qn_file);
}

// What a value other than a pair references.
void mark_fields(ZU_SEXP* s) {
  switch (s->h.type) {
    case ZU_TYPE_SYMBOL:
      mark_text(s->symbol.atom);
      gc_mark(s->symbol.sf, gc_sym_field);
      break;
    case ZU_TYPE_STRING:
      mark_text(s->string.str);
      break;
    case ZU_TYPE_INTEGER:
      mark_text(s->integer.unit);
      break;
    case ZU_TYPE_FLOATING:
      mark_text(s->floating.unit);
      break;
    case ZU_TYPE_ERROR:
      gc_mark(s->error, gc_qn_error);
      break;
    case ZU_TYPE_FUNCTION:
      gc_mark(s->func, gc_qn_func);
      break;
    case ZU_TYPE_DELAY:
      mark_delay_work(s);
      break;
    case ZU_TYPE_POINTER:
      gc_mark(s->ptr.ptr, s->ptr.mark);
      break;
    case ZU_TYPE_RAW:
      mark_text(s->raw.data);
      break;
    case ZU_TYPE_ENV:
      gc_mark(s->env, gc_qnlisp_env);
      break;
    default:
      break;
  }
}

}  // namespace

void gc_qn_sexp(void* p) {
  // Walks a list's spine in this loop and descends into members that are
  // lists, leaving the rest on the mark stack: the stack grows with the
  // nesting depth of members, never with a list's length.
  auto* s = static_cast<ZU_SEXP*>(p);
  while (s) {
    if (gc_mark_block(s)) return;
    mark_file(s);
    if (s->h.type != ZU_TYPE_LIST) {
      mark_fields(s);
      return;
    }
    ZU_SEXP* a = s->pair.car;
    ZU_SEXP* d = s->pair.cdr;
    if (a && !gc_is_marked(a)) {
      if (a->h.type == ZU_TYPE_LIST) {
        if (d && !gc_is_marked(d)) gc_mark(d, gc_qn_sexp);
        s = a;
        continue;
      }
      gc_mark_block(a);
      mark_file(a);
      mark_fields(a);
    }
    s = d;
  }
}

void gc_sym_field(void* p) {
  auto* f = static_cast<ZU_SYM_FIELD*>(p);
  for (; f; f = f->next) {
    if (gc_mark_block(f)) return;
    mark_text(f->name);
    mark_text(f->value);
  }
}

ZU_SEXP* list(ZU_SEXP* v) { return cons(v, nullptr); }

ZU_SEXP* List(ZU_SEXP* first, ...) {
  if (first == ZU_LIST_END) return nullptr;
  ZU_SEXP* head = cons(first, nullptr);
  ZU_SEXP* tail = head;
  va_list ap;
  va_start(ap, first);
  for (;;) {
    ZU_SEXP* v = va_arg(ap, ZU_SEXP*);
    if (v == ZU_LIST_END) break;
    ZU_SEXP* c = cons(v, nullptr);
    tail->pair.cdr = c;
    tail = c;
  }
  va_end(ap);
  return head;
}

char* copy_mstr(const char* text) {
  if (!text) return nullptr;
  size_t n = std::strlen(text) + 1;
  auto* r = static_cast<char*>(mmalloc(n, gc_text));
  std::memcpy(r, text, n);
  return r;
}

L_CHAR* ll_copy_mstr_len(const L_CHAR* text, size_t len) {
  if (!text) return nullptr;
  auto* r = static_cast<L_CHAR*>(mmalloc((len + 1) * sizeof(L_CHAR), gc_text));
  std::memcpy(r, text, len * sizeof(L_CHAR));
  r[len] = 0;
  return r;
}

L_CHAR* ll_copy_mstr(const L_CHAR* text) {
  return text ? ll_copy_mstr_len(text, l_strlen(text)) : nullptr;
}

L_CHAR* ascii_copy_mstr(const char* text) {
  if (!text) return nullptr;
  size_t n = std::strlen(text);
  auto* r = static_cast<L_CHAR*>(mmalloc((n + 1) * sizeof(L_CHAR), gc_text));
  for (size_t i = 0; i < n; ++i) r[i] = static_cast<unsigned char>(text[i]);
  return r;
}

int zu_wcmp_ascii(const L_CHAR* w, const char* a) {
  if (!w || !a) return w == nullptr && a == nullptr ? 0 : 1;
  for (; *w && *a; ++w, ++a) {
    if (*w != static_cast<unsigned char>(*a)) return 1;
  }
  return *w == 0 && *a == 0 ? 0 : 1;
}

ZU_SEXP* get_integer_unit(int64_t num, const L_CHAR* unit) {
  ZU_SEXP* s = new_sexp(ZU_TYPE_INTEGER);
  s->integer.num = num;
  if (unit) s->integer.unit = ll_copy_mstr(unit);
  return s;
}

ZU_SEXP* get_floating(double num, const L_CHAR* unit) {
  ZU_SEXP* s = new_sexp(ZU_TYPE_FLOATING);
  s->floating.num = num;
  if (unit) s->floating.unit = ll_copy_mstr(unit);
  return s;
}

ZU_SEXP* get_string_len(const L_CHAR* text, size_t len) {
  ZU_SEXP* s = new_sexp(ZU_TYPE_STRING);
  static const L_CHAR empty[1] = {0};
  s->string.str = ll_copy_mstr_len(text ? text : empty, text ? len : 0);
  return s;
}

ZU_SEXP* get_string(const L_CHAR* text) { return get_string_len(text, text ? l_strlen(text) : 0); }

ZU_SEXP* get_string_ascii(const char* text) {
  ZU_SEXP* s = new_sexp(ZU_TYPE_STRING);
  s->string.str = ascii_copy_mstr(text ? text : "");
  return s;
}

ZU_SEXP* get_symbol_atom(ZU_ATOM* atom) {
  ZU_SEXP* s = new_sexp(ZU_TYPE_SYMBOL);
  s->symbol.atom = atom;
  return s;
}

ZU_SEXP* get_symbol_len(const L_CHAR* name, size_t len) {
  // The value first: the atom is then stored before any further safe point.
  ZU_SEXP* s = new_sexp(ZU_TYPE_SYMBOL);
  static const L_CHAR empty[1] = {0};
  s->symbol.atom = intern_atom(name ? name : empty, name ? len : 0);
  return s;
}

ZU_SEXP* get_symbol(const L_CHAR* name) { return get_symbol_len(name, name ? l_strlen(name) : 0); }

ZU_SEXP* get_symbol_ascii(const char* name) {
  L_CHAR buf[128];
  size_t n = name ? std::strlen(name) : 0;
  if (n >= sizeof buf / sizeof buf[0]) {
    ZU_SEXP* s = new_sexp(ZU_TYPE_SYMBOL);
    L_CHAR* w = ascii_copy_mstr(name);
    s->symbol.atom = intern_atom(w, n);
    return s;
  }
  for (size_t i = 0; i < n; ++i) buf[i] = static_cast<unsigned char>(name[i]);
  buf[n] = 0;
  return get_symbol_len(buf, n);
}

ZU_SEXP* n_get_string(const char* text) { return get_string(_l_string_1(std_cm, text ? text : "")); }

ZU_SEXP* n_get_symbol(const char* name) { return get_symbol(_l_string_1(std_cm, name ? name : "")); }

ZU_SEXP* get_ptr(void* ptr, GC_MARK_FUNC mark) {
  ZU_SEXP* s = new_sexp(ZU_TYPE_POINTER);
  s->ptr.ptr = ptr;
  s->ptr.mark = mark;
  return s;
}

ZU_SEXP* get_raw(const void* bytes, uint32_t size) {
  ZU_SEXP* s = new_sexp(ZU_TYPE_RAW);
  auto* d = static_cast<uint8_t*>(mmalloc(size, gc_text));
  if (size && bytes) std::memcpy(d, bytes, size);
  s->raw.size = size;
  s->raw.data = d;
  return s;
}

ZU_SEXP* get_raw_set_data(void* block, uint32_t size) {
  ZU_SEXP* s = new_sexp(ZU_TYPE_RAW);
  s->raw.size = size;
  s->raw.data = static_cast<uint8_t*>(block);
  return s;
}

ZU_SEXP* get_env(ZUISP_ENV* env) {
  ZU_SEXP* s = new_sexp(ZU_TYPE_ENV);
  s->env = env;
  return s;
}

ZU_SEXP* get_func_prim(ZU_PRIM prim, int order, ZUISP_ENV* args_env, int min, int max) {
  ZU_SEXP* s = new_sexp(ZU_TYPE_FUNCTION);
  auto* f = static_cast<ZU_FUNC*>(mmalloc(sizeof(ZU_FUNC), gc_qn_func));
  f->type = ZU_FUNC_BUILTIN;
  f->order = static_cast<uint8_t>(order);
  f->min = static_cast<int8_t>(min);
  f->max = static_cast<int8_t>(max);
  f->peer_made = 0;
  f->peer_rule = 0;
  f->args_env = args_env;
  f->prim = prim;
  s->func = f;
  return s;
}

ZU_SEXP* over_write_sexp(ZU_SEXP* dst, ZU_SEXP* src) {
  if (!dst) return src;
  if (dst == src) return dst;
  if (!src) {
    dst->h.type = ZU_TYPE_NULL;
    dst->h.flags = 0;
    dst->h.aux = 0;
    std::memset(&dst->pair, 0, sizeof(ZU_SEXP) - sizeof(ZU_SEXP_HEADER));
    return dst;
  }
  dst->h.type = src->h.type;
  dst->h.flags = src->h.flags;
  dst->h.aux = src->h.aux;
  std::memcpy(&dst->pair, &src->pair, sizeof(ZU_SEXP) - sizeof(ZU_SEXP_HEADER));
  return dst;
}

ZU_SEXP* set_sexp_inh(ZU_SEXP* ret, int type, ZU_SEXP* s, ZU_SEXP* inh) {
  ZU_SEXP* v = ret ? ret : s;
  if (!v || type < 0 || type >= ZU_TYPE_COUNT) return v;
  if (inh && inh != v) {
    v->h.file = inh->h.file;
    v->h.line = inh->h.line;
  }
  v->h.type = static_cast<uint8_t>(type);
  v->h.flags = 0;
  v->h.aux = 0;
  std::memset(&v->pair, 0, sizeof(ZU_SEXP) - sizeof(ZU_SEXP_HEADER));
  return v;
}

uint32_t error_code(const ZU_SEXP* s) {
  return s && s->h.type == ZU_TYPE_ERROR && s->error ? s->error->code : 0;
}

int zu_to_qn_point(QN_POINT* out, ZU_SEXP* s) {
  if (list_length(s) != 2) return -1;
  double v[2];
  ZU_SEXP* p = s;
  for (double& d : v) {
    ZU_SEXP* e = p->pair.car;
    int t = get_type(e);
    if (t == ZU_TYPE_INTEGER) d = static_cast<double>(e->integer.num);
    else if (t == ZU_TYPE_FLOATING) d = e->floating.num;
    else return -1;
    p = p->pair.cdr;
  }
  out->x = v[0];
  out->y = v[1];
  return 0;
}

int zu_to_qn_rect(QN_RECT* out, ZU_SEXP* s) {
  if (list_length(s) != 2) return -1;
  QN_RECT r;
  if (zu_to_qn_point(&r.tl, s->pair.car) < 0) return -1;
  if (zu_to_qn_point(&r.br, s->pair.cdr->pair.car) < 0) return -1;
  *out = r;
  return 0;
}

// ---- what a value holds

namespace {

// A value cell with its collector header.
constexpr int64_t kCellBytes = 40;

// Bytes a value holds that is neither a list nor an error.
int64_t leaf_bytes(ZU_SEXP* s) {
  switch (sexp_type(s)) {
    case ZU_TYPE_NULL:
      return 0;
    case ZU_TYPE_STRING:
      return kCellBytes + static_cast<int64_t>(sizeof(L_CHAR)) * static_cast<int64_t>(l_strlen(str_text(s)) + 1);
    case ZU_TYPE_RAW:
      return kCellBytes + s->raw.size;
    default:
      return kCellBytes;
  }
}

}  // namespace

int64_t value_footprint(ZU_SEXP* s, int64_t limit) {
  int64_t total = 0;
  std::vector<ZU_SEXP*> nested;
  for (;;) {
    while (total <= limit) {
      int type = sexp_type(s);
      if (type == ZU_TYPE_LIST) {
        total += kCellBytes;
        ZU_SEXP* car = s->pair.car;
        int car_type = sexp_type(car);
        if (car_type == ZU_TYPE_LIST || car_type == ZU_TYPE_ERROR) nested.push_back(car);
        else total += leaf_bytes(car);
        s = s->pair.cdr;
      } else if (type == ZU_TYPE_ERROR) {
        total += kCellBytes;
        s = s->error->data;
      } else {
        total += leaf_bytes(s);
        break;
      }
    }
    if (nested.empty() || total > limit) return total;
    s = nested.back();
    nested.pop_back();
  }
}
