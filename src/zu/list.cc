// List utilities and the structural order of values.
#include <cmath>
#include <cstring>
#include <tuple>
#include <vector>

#include "zu/value.h"

namespace {

ZU_SEXP* type_error(const char* func) {
  GcFrame frame("type_error");
  ZU_SEXP* data = list(get_string_ascii("type missmatch"));
  return frame.keep(get_error_ascii(nullptr, 0, ZU_ER_TYPE, func, data), gc_qn_sexp);
}

bool head_is_symbol(ZU_SEXP* s) {
  return get_type(s) == ZU_TYPE_LIST && get_type(s->pair.car) == ZU_TYPE_SYMBOL;
}

bool name_equals(const L_CHAR* a, const L_CHAR* b, size_t blen) {
  for (size_t i = 0; i < blen; ++i) {
    if (a[i] != b[i]) return false;
  }
  return a[blen] == 0;
}

}  // namespace

ZU_SEXP* car(ZU_SEXP* s) {
  switch (get_type(s)) {
    case ZU_TYPE_LIST:
      return s->pair.car;
    case ZU_TYPE_ERROR:
      return s;
    default:
      return type_error("car");
  }
}

ZU_SEXP* cdr(ZU_SEXP* s) {
  switch (get_type(s)) {
    case ZU_TYPE_LIST:
      return s->pair.cdr;
    case ZU_TYPE_ERROR:
      return s;
    default:
      return type_error("cdr");
  }
}

ZU_SEXP* get_el(ZU_SEXP* s, int64_t n) {
  if (n < 0) return nullptr;
  for (; get_type(s) == ZU_TYPE_LIST; s = s->pair.cdr) {
    if (n-- == 0) return s->pair.car;
  }
  return nullptr;
}

ZU_SEXP* get_el_by_symbol(ZU_SEXP* s, const L_CHAR* name, int flags) {
  (void)flags;
  if (!name) return nullptr;
  for (; get_type(s) == ZU_TYPE_LIST; s = s->pair.cdr) {
    ZU_SEXP* m = s->pair.car;
    if (head_is_symbol(m) && l_strcmp(sym_name(m->pair.car), name) == 0) return m;
  }
  return nullptr;
}

int list_length(ZU_SEXP* s) {
  // Floyd's check: a cyclic chain (possible after in-place rewrites) is not
  // a proper list.
  int n = 0;
  ZU_SEXP* slow = s;
  while (get_type(s) == ZU_TYPE_LIST) {
    s = s->pair.cdr;
    if (++n % 2 == 0) {
      slow = slow->pair.cdr;
      if (slow == s && get_type(s) == ZU_TYPE_LIST) return -1;
    }
    if (n == INT32_MAX) return -1;
  }
  return get_type(s) == ZU_TYPE_NULL ? n : -1;
}

ZU_SEXP* list_error(ZU_SEXP* s) {
  int t = get_type(s);
  if (t == ZU_TYPE_NULL) return nullptr;
  if (t != ZU_TYPE_LIST) return s;
  // Depth first over members; chains still to finish wait on a stack with
  // a flag telling whether they are the top-level chain.
  std::vector<std::pair<ZU_SEXP*, bool>> pending;
  ZU_SEXP* tail = nullptr;  // the improper tail of the top-level chain
  ZU_SEXP* p = s;
  bool top = true;
  for (;;) {
    while (get_type(p) == ZU_TYPE_LIST) {
      ZU_SEXP* m = p->pair.car;
      int mt = get_type(m);
      if (mt == ZU_TYPE_ERROR) return m;
      p = p->pair.cdr;
      if (mt == ZU_TYPE_LIST) {
        pending.emplace_back(p, top);
        p = m;
        top = false;
      }
    }
    int pt = get_type(p);
    if (pt == ZU_TYPE_ERROR) return p;
    if (top && pt != ZU_TYPE_NULL) tail = p;
    if (pending.empty()) break;
    std::tie(p, top) = pending.back();
    pending.pop_back();
  }
  return tail;
}

ZU_SEXP* append(ZU_SEXP* a, ZU_SEXP* b) {
  if (list_length(a) < 0 || list_length(b) < 0) return nullptr;
  GcFrame frame("append");
  ZU_SEXP* head = nullptr;
  ZU_SEXP* last = nullptr;
  for (ZU_SEXP* src : {a, b}) {
    for (ZU_SEXP* p = src; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
      ZU_SEXP* c = cons(p->pair.car, nullptr);
      if (last) last->pair.cdr = c;
      else head = c;
      last = c;
    }
  }
  return frame.keep(head, gc_qn_sexp);
}

ZU_SEXP* reverse(ZU_SEXP* s) {
  GcFrame frame("reverse");
  ZU_SEXP* r = nullptr;
  for (; get_type(s) == ZU_TYPE_LIST; s = s->pair.cdr) {
    // The growing result is the newest block of the frame, so it is pinned.
    r = cons(s->pair.car, r);
  }
  return frame.keep(r, gc_qn_sexp);
}

ZU_SEXP* get_el_c(ZU_SEXP* s, const L_CHAR* path, const L_CHAR* def) {
  ZU_SEXP* cur = s;
  bool ok = path != nullptr;
  for (const L_CHAR* p = path; ok && p;) {
    const L_CHAR* e = p;
    while (*e && *e != '/') ++e;
    // name['count]
    const L_CHAR* q = p;
    while (q < e && *q != '\'') ++q;
    size_t nlen = static_cast<size_t>(q - p);
    int64_t count = 1;
    if (q < e) {
      count = 0;
      const L_CHAR* d = q + 1;
      if (d == e) ok = false;
      for (; ok && d < e; ++d) {
        if (*d < '0' || *d > '9' || count > (INT64_MAX - 9) / 10) {
          ok = false;
        } else {
          count = count * 10 + (*d - '0');
        }
      }
      if (count < 1) ok = false;
    }
    if (!ok) break;
    // The members of the current list, its tag left out when it is an element.
    ZU_SEXP* m = get_type(cur) == ZU_TYPE_LIST ? cur : nullptr;
    if (m && get_type(m->pair.car) == ZU_TYPE_SYMBOL) m = m->pair.cdr;
    ZU_SEXP* found = nullptr;
    bool hit = false;
    for (; get_type(m) == ZU_TYPE_LIST; m = m->pair.cdr) {
      ZU_SEXP* x = m->pair.car;
      bool match = nlen == 0 || (head_is_symbol(x) && name_equals(sym_name(x->pair.car), p, nlen));
      if (match && --count == 0) {
        found = x;
        hit = true;
        break;
      }
    }
    if (!hit) {
      ok = false;
      break;
    }
    cur = found;
    p = *e ? e + 1 : nullptr;
  }
  if (ok) return cur;
  if (def) {
    if (def[0] == '$') return get_symbol(def + 1);
    if (def[0] == '(') return nullptr;
    return get_string(def);
  }
  return get_error_ascii(nullptr, 0, ZU_ER_UNDEFINED, "get_el_c", get_string_ascii("no object"));
}

namespace {

bool numeric(int t) { return t == ZU_TYPE_INTEGER || t == ZU_TYPE_FLOATING; }

template <class T>
int order(const T& a, const T& b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

int cmp_text(const L_CHAR* a, const L_CHAR* b) {
  if (!a || !b) return order(a != nullptr, b != nullptr);
  return l_strcmp(a, b);
}

// Numbers: by value (integers against floats exactly), a NaN after every
// number; equal values then by type and unit so that only equal values
// compare equal.
int cmp_number(ZU_SEXP* a, int ta, ZU_SEXP* b, int tb) {
  int r;
  if (ta == ZU_TYPE_INTEGER && tb == ZU_TYPE_INTEGER) {
    r = order(a->integer.num, b->integer.num);
  } else {
    long double x = ta == ZU_TYPE_INTEGER ? static_cast<long double>(a->integer.num) : a->floating.num;
    long double y = tb == ZU_TYPE_INTEGER ? static_cast<long double>(b->integer.num) : b->floating.num;
    bool nx = std::isnan(x), ny = std::isnan(y);
    if (nx || ny) r = order(nx, ny);
    else r = order(x, y);
  }
  if (r) return r;
  if ((r = order(ta, tb))) return r;
  return cmp_text(ta == ZU_TYPE_INTEGER ? a->integer.unit : a->floating.unit,
                  tb == ZU_TYPE_INTEGER ? b->integer.unit : b->floating.unit);
}

int cmp_atom(ZU_SEXP* a, int ta, ZU_SEXP* b, int tb) {
  if (numeric(ta) && numeric(tb)) return cmp_number(a, ta, b, tb);
  if (ta != tb) return order(ta, tb);
  switch (ta) {
    case ZU_TYPE_NULL:
      return 0;
    case ZU_TYPE_STRING:
      return cmp_text(a->string.str, b->string.str);
    case ZU_TYPE_SYMBOL: {
      int r = a->symbol.atom == b->symbol.atom ? 0 : l_strcmp(sym_name(a), sym_name(b));
      if (r) return r;
      ZU_SYM_FIELD* fa = a->symbol.sf;
      ZU_SYM_FIELD* fb = b->symbol.sf;
      for (; fa && fb; fa = fa->next, fb = fb->next) {
        if ((r = cmp_text(fa->name, fb->name)) || (r = cmp_text(fa->value, fb->value))) return r;
      }
      return order(fa != nullptr, fb != nullptr);
    }
    case ZU_TYPE_RAW: {
      if (a->raw.size != b->raw.size) return order(a->raw.size, b->raw.size);
      int r = a->raw.size ? std::memcmp(a->raw.data, b->raw.data, a->raw.size) : 0;
      return order(r, 0);
    }
    case ZU_TYPE_ERROR:
      if (a->error->code != b->error->code) return order(a->error->code, b->error->code);
      return order(reinterpret_cast<uintptr_t>(a), reinterpret_cast<uintptr_t>(b));
    case ZU_TYPE_POINTER:
      return order(reinterpret_cast<uintptr_t>(a->ptr.ptr), reinterpret_cast<uintptr_t>(b->ptr.ptr));
    case ZU_TYPE_ENV:
      return order(reinterpret_cast<uintptr_t>(a->env), reinterpret_cast<uintptr_t>(b->env));
    default:
      return order(reinterpret_cast<uintptr_t>(a), reinterpret_cast<uintptr_t>(b));
  }
}

}  // namespace

int cmp_sexp(ZU_SEXP* a, ZU_SEXP* b) {
  // Pairs are compared member first, then rest; the rests wait on a stack so
  // nesting depth costs heap, not call stack. The empty list (type 0) sorts
  // before a pair, so a proper prefix comes first.
  std::vector<std::pair<ZU_SEXP*, ZU_SEXP*>> todo;
  todo.emplace_back(a, b);
  while (!todo.empty()) {
    auto [x, y] = todo.back();
    todo.pop_back();
    if (x == y) continue;
    int tx = get_type(x), ty = get_type(y);
    if (tx == ZU_TYPE_LIST && ty == ZU_TYPE_LIST) {
      todo.emplace_back(x->pair.cdr, y->pair.cdr);
      todo.emplace_back(x->pair.car, y->pair.car);
      continue;
    }
    if (int r = cmp_atom(x, tx, y, ty)) return r;
  }
  return 0;
}
