// Unit environments, unit expressions and conversions.
#include "zu/unit.h"

#include <atomic>
#include <cmath>
#include <mutex>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "base/lock.h"
#include "base/panic.h"
#include "zu/env.h"
#include "zu/peer.h"

namespace {

struct SYS_UNIT {
  SYS_UNIT* next;
  L_CHAR* name;
  double ratio;
  int no;  // 1.. in descending order of ratio
};

struct ALIAS_DIM {
  SYS_UNIT* su;  // null when the power is 0
  int power;
};

struct UNIT_ALIAS {
  UNIT_ALIAS* next;
  L_CHAR* name;
  ALIAS_DIM dim[kUnitDims];
};

struct NAMED_UENV {
  NAMED_UENV* next;
  L_CHAR* name;
  UNIT_ENV* u;
};

}  // namespace

struct UNIT_ENV {
  SYS_UNIT* su[kUnitDims];
  UNIT_ALIAS* alias;
  // The default unit environment lives outside the collected heap, so it
  // stays valid whatever the application's collector hooks mark.
  bool permanent;
};

namespace {

SEM g_unit_lock = nullptr;
NAMED_UENV* g_named = nullptr;  // under g_unit_lock; read unlocked only by the collector
std::atomic<UNIT_ENV*> g_default{nullptr};
// Not a leaf: held once, while the default system is built, which makes
// values and takes the environment lock. It is waited for at a safe point,
// the collector never takes it, and the builder takes no lock that a waiter
// could hold (the environment lock is a leaf).
std::mutex g_init_mu;

void mark_su(void* p) {
  auto* s = static_cast<SYS_UNIT*>(p);
  if (!s || gc_mark_block(s)) return;
  gc_mark(s->name, gc_text);
  gc_mark(s->next, mark_su);
}

void mark_alias(void* p) {
  auto* a = static_cast<UNIT_ALIAS*>(p);
  if (!a || gc_mark_block(a)) return;
  gc_mark(a->name, gc_text);
  for (const ALIAS_DIM& d : a->dim) gc_mark(d.su, mark_su);
  gc_mark(a->next, mark_alias);
}

void mark_named(void* p) {
  auto* n = static_cast<NAMED_UENV*>(p);
  if (!n || gc_mark_block(n)) return;
  gc_mark(n->name, gc_text);
  gc_mark(n->u, gc_unit_env);
  gc_mark(n->next, mark_named);
}

// Records of a unit environment come from its own heap.
void* ualloc(const UNIT_ENV* u, size_t size, GC_MARK_FUNC mark) {
  if (!u->permanent) return mmalloc(size, mark);
  void* p = std::calloc(1, size);
  if (!p) er_panic("unit: out of memory");
  return p;
}

L_CHAR* ucopy(const UNIT_ENV* u, const L_CHAR* s) {
  if (!u->permanent) return ll_copy_mstr(s);
  size_t n = l_strlen(s) + 1;
  auto* d = static_cast<L_CHAR*>(ualloc(u, n * sizeof(L_CHAR), nullptr));
  std::copy(s, s + n, d);
  return d;
}

bool same_name(const L_CHAR* a, const L_CHAR* b, size_t blen) {
  size_t i = 0;
  for (; i < blen; ++i)
    if (a[i] != b[i]) return false;
  return a[i] == 0;
}

SYS_UNIT* su_by_no(UNIT_ENV* u, int dim, int no) {
  for (SYS_UNIT* s = u->su[dim]; s; s = s->next)
    if (s->no == no) return s;
  return nullptr;
}

SYS_UNIT* su_by_name(UNIT_ENV* u, int dim, const L_CHAR* name) {
  for (SYS_UNIT* s = u->su[dim]; s; s = s->next)
    if (l_strcmp(s->name, name) == 0) return s;
  return nullptr;
}

UNIT_ALIAS* alias_by_name(UNIT_ENV* u, const L_CHAR* name, size_t len) {
  for (UNIT_ALIAS* a = u->alias; a; a = a->next)
    if (same_name(a->name, name, len)) return a;
  return nullptr;
}

bool same_vector(const ALIAS_DIM* a, const ALIAS_DIM* b) {
  for (int c = 0; c < kUnitDims; ++c) {
    if (a[c].power != b[c].power) return false;
    if (a[c].power != 0 && a[c].su != b[c].su) return false;
  }
  return true;
}

// Adds an alias of a resolved vector; -1 when its name or vector is taken.
int add_alias(UNIT_ENV* u, const ALIAS_DIM* dim, const L_CHAR* name) {
  if (!u || !name || !*name) return -1;
  for (UNIT_ALIAS* a = u->alias; a; a = a->next)
    if (l_strcmp(a->name, name) == 0 || same_vector(a->dim, dim)) return -1;
  auto* a = static_cast<UNIT_ALIAS*>(ualloc(u, sizeof(UNIT_ALIAS), mark_alias));
  a->name = ucopy(u, name);
  for (int c = 0; c < kUnitDims; ++c) a->dim[c] = dim[c].power ? dim[c] : ALIAS_DIM{nullptr, 0};
  // Appended, so that aliases keep the order they were defined in.
  UNIT_ALIAS** tail = &u->alias;
  while (*tail) tail = &(*tail)->next;
  *tail = a;
  return 0;
}

// ---- unit expressions

bool is_blank(L_CHAR c) { return c == ' ' || c == '\t'; }
bool is_op(L_CHAR c) { return c == '*' || c == '/' || c == '^'; }

// Terms in one unit expression: more is not a unit but an attack, and the
// bound keeps every sum of powers far from overflowing.
constexpr size_t kMaxTerms = 256;

struct Term {
  const L_CHAR* name;
  size_t len;
  int power;
};

// Splits an expression into terms; false when it is malformed. The empty
// (or blank) expression has no terms.
bool parse_terms(const L_CHAR* expr, std::vector<Term>& out) {
  out.clear();
  if (!expr) return true;
  const L_CHAR* p = expr;
  while (is_blank(*p)) ++p;
  if (!*p) return true;
  int sign = 1;
  for (;;) {
    while (is_blank(*p)) ++p;
    const L_CHAR* start = p;
    while (*p && !is_blank(*p) && !is_op(*p)) ++p;
    if (p == start) return false;
    Term t{start, static_cast<size_t>(p - start), sign};
    while (is_blank(*p)) ++p;
    if (*p == '^') {
      ++p;
      while (is_blank(*p)) ++p;
      int psign = 1;
      if (*p == '+' || *p == '-') psign = *p++ == '-' ? -1 : 1;
      if (*p < '0' || *p > '9') return false;
      int n = 0;
      while (*p >= '0' && *p <= '9') {
        n = n * 10 + static_cast<int>(*p++ - '0');
        if (n > kUnitMaxPower) return false;
      }
      t.power = sign * psign * n;
      while (is_blank(*p)) ++p;
    }
    if (out.size() == kMaxTerms) return false;
    out.push_back(t);
    if (!*p) return true;
    if (*p != '*' && *p != '/') return false;
    sign = *p++ == '/' ? -1 : 1;
  }
}

// An expression resolved against a unit environment: per class the total
// power and the first system unit met, and the size of one unit of the
// expression in base units.
struct Resolved {
  int power[kUnitDims] = {};
  SYS_UNIT* first[kUnitDims] = {};
  double scale = 1.0;
};

bool resolve(UNIT_ENV* u, const L_CHAR* expr, Resolved& r) {
  std::vector<Term> terms;
  if (!parse_terms(expr, terms)) return false;
  if (terms.empty()) return true;
  if (!u) return false;
  for (const Term& t : terms) {
    UNIT_ALIAS* a = alias_by_name(u, t.name, t.len);
    if (!a) return false;
    for (int c = 0; c < kUnitDims; ++c) {
      if (a->dim[c].power == 0) continue;
      int q = a->dim[c].power * t.power;
      r.power[c] += q;
      if (!r.first[c]) r.first[c] = a->dim[c].su;
      r.scale *= std::pow(a->dim[c].su->ratio, q);
    }
  }
  return std::isfinite(r.scale) && r.scale > 0;
}

bool texts_equal(const L_CHAR* a, const L_CHAR* b) {
  static const L_CHAR kEmpty[1] = {0};
  return l_strcmp(a ? a : kEmpty, b ? b : kEmpty) == 0;
}

void ensure_lock() {
  if (!lock_up_test(g_unit_lock)) init_unit();
}

NAMED_UENV** _find_named(const L_CHAR* name) {
  assert_lock_held(g_unit_lock);
  NAMED_UENV** p = &g_named;
  while (*p && l_strcmp((*p)->name, name) != 0) p = &(*p)->next;
  return p;
}

UNIT_ENV* _search_uenv_name(const L_CHAR* name) {
  assert_lock_held(g_unit_lock);
  NAMED_UENV* n = *_find_named(name);
  return n ? n->u : nullptr;
}

int _del_uenv_name(const L_CHAR* name) {
  assert_lock_held(g_unit_lock);
  NAMED_UENV** p = _find_named(name);
  if (!*p) return -1;
  *p = (*p)->next;
  return 0;
}

void add_default_units(UNIT_ENV* u) {
  struct Def {
    int dim;
    const char* name;
    double num, den;
  };
  static const Def kDefs[] = {
      {0, "km", 1000, 1}, {0, "m", 1, 1},     {0, "cm", 1, 100},    {0, "mm", 1, 1000},
      {1, "day", 86400, 1}, {1, "hour", 3600, 1}, {1, "min", 60, 1}, {1, "sec", 1, 1},
      {2, "kg", 1000, 1}, {2, "g", 1, 1},
  };
  for (const Def& d : kDefs) {
    L_CHAR name[8] = {};
    for (size_t i = 0; d.name[i]; ++i) name[i] = static_cast<unsigned char>(d.name[i]);
    new_su(u, d.dim, name, d.num, d.den);
  }
  system_unit_alias(u);
}

}  // namespace

void gc_unit_env(void* p) {
  auto* u = static_cast<UNIT_ENV*>(p);
  if (!u || u->permanent || gc_mark_block(u)) return;
  for (SYS_UNIT* s : u->su) gc_mark(s, mark_su);
  gc_mark(u->alias, mark_alias);
}

UNIT_ENV* new_uenv() { return static_cast<UNIT_ENV*>(mmalloc(sizeof(UNIT_ENV), gc_unit_env)); }

int new_su(UNIT_ENV* u, int dim, const L_CHAR* name, double numerator, double denominator) {
  if (!u || dim < 0 || dim >= kUnitDims || !name || !*name) return -1;
  double ratio = numerator / denominator;
  if (!std::isfinite(ratio) || !(ratio > 0)) return -1;
  if (su_by_name(u, dim, name)) return -1;
  auto* s = static_cast<SYS_UNIT*>(ualloc(u, sizeof(SYS_UNIT), mark_su));
  s->name = ucopy(u, name);
  s->ratio = ratio;
  SYS_UNIT** p = &u->su[dim];
  while (*p && (*p)->ratio >= ratio) p = &(*p)->next;
  s->next = *p;
  *p = s;
  int no = 1;
  for (SYS_UNIT* q = u->su[dim]; q; q = q->next) q->no = no++;
  return 0;
}

int new_ua(UNIT_ENV* u, const DIMENSION* dim, const L_CHAR* name) {
  if (!u || !dim) return -1;
  ALIAS_DIM v[kUnitDims] = {};
  for (int c = 0; c < kUnitDims; ++c) {
    if (dim[c].power == 0) continue;
    if (dim[c].power > kUnitMaxPower || dim[c].power < -kUnitMaxPower) return -1;
    v[c].su = su_by_no(u, c, dim[c].su);
    if (!v[c].su) return -1;
    v[c].power = dim[c].power;
  }
  return add_alias(u, v, name);
}

void system_unit_alias(UNIT_ENV* u) {
  if (!u) return;
  for (int c = 0; c < kUnitDims; ++c)
    for (SYS_UNIT* s = u->su[c]; s; s = s->next) {
      ALIAS_DIM v[kUnitDims] = {};
      v[c] = {s, 1};
      add_alias(u, v, s->name);
    }
}

int name2dim(UNIT_ENV* u, DIMENSION* out, const L_CHAR* expr, double* factor) {
  Resolved r;
  if (!out || !resolve(u, expr, r)) return -1;
  double vector_scale = 1.0;
  for (int c = 0; c < kUnitDims; ++c) {
    if (r.power[c] == 0) {
      out[c] = {0, 0};
      continue;
    }
    out[c] = {r.first[c]->no, r.power[c]};
    vector_scale *= std::pow(r.first[c]->ratio, r.power[c]);
  }
  if (factor) *factor = r.scale / vector_scale;
  return 0;
}

double conv_unit(int* err, UNIT_ENV* u, double value, const L_CHAR* from, const L_CHAR* to) {
  int dummy;
  if (!err) err = &dummy;
  *err = 0;
  if (texts_equal(from, to)) return value;
  Resolved a, b;
  if (!resolve(u, from, a) || !resolve(u, to, b)) {
    *err = -1;
    return value;
  }
  for (int c = 0; c < kUnitDims; ++c)
    if (a.power[c] != b.power[c]) {
      *err = -1;
      return value;
    }
  return value * (a.scale / b.scale);
}

UNIT_ENV* copy_uenv1(UNIT_ENV* u) {
  // The copy allocates; u may have been reached through something another
  // thread replaces meanwhile, so it is pinned for the caller's frame.
  gc_set_nl(u, gc_unit_env);
  UNIT_ENV* n = new_uenv();
  if (!u) return n;
  for (int c = 0; c < kUnitDims; ++c) {
    SYS_UNIT** tail = &n->su[c];
    for (SYS_UNIT* s = u->su[c]; s; s = s->next) {
      auto* d = static_cast<SYS_UNIT*>(mmalloc(sizeof(SYS_UNIT), mark_su));
      d->name = ll_copy_mstr(s->name);
      d->ratio = s->ratio;
      d->no = s->no;
      *tail = d;
      tail = &d->next;
    }
  }
  return n;
}

int copy_uenv2(UNIT_ENV* to, UNIT_ENV* from) {
  if (!to || !from) return 0;
  int added = 0;
  for (UNIT_ALIAS* a = from->alias; a; a = a->next) {
    ALIAS_DIM v[kUnitDims] = {};
    bool ok = true;
    for (int c = 0; c < kUnitDims && ok; ++c) {
      if (a->dim[c].power == 0) continue;
      v[c] = {su_by_name(to, c, a->dim[c].su->name), a->dim[c].power};
      ok = v[c].su != nullptr;
    }
    if (ok && add_alias(to, v, a->name) == 0) ++added;
  }
  return added;
}

UNIT_ENV* search_uenv_name(const L_CHAR* name) {
  if (!name) return nullptr;
  ensure_lock();
  lock_task(g_unit_lock);
  UNIT_ENV* u = _search_uenv_name(name);
  unlock_task(g_unit_lock, "search_uenv_name");
  return u;
}

int del_uenv_name(const L_CHAR* name) {
  if (!name) return -1;
  ensure_lock();
  lock_task(g_unit_lock);
  int r = _del_uenv_name(name);
  unlock_task(g_unit_lock, "del_uenv_name");
  return r;
}

int set_uenv_name(UNIT_ENV* u, const L_CHAR* name) {
  if (!u || !name || !*name) return -1;
  ensure_lock();
  // Made before the lock: nothing allocates while it is held.
  auto* n = static_cast<NAMED_UENV*>(mmalloc(sizeof(NAMED_UENV), mark_named));
  n->name = ll_copy_mstr(name);
  n->u = u;
  lock_task(g_unit_lock);
  _del_uenv_name(name);
  n->next = g_named;
  g_named = n;
  unlock_task(g_unit_lock, "set_uenv_name");
  return 0;
}

void init_unit() {
  if (g_default.load(std::memory_order_acquire)) return;
  lock_at_safe_point(g_init_mu);  // another thread may be building it and allocating
  std::lock_guard<std::mutex> l(g_init_mu, std::adopt_lock);
  if (g_default.load()) return;
  if (!lock_up_test(g_unit_lock)) g_unit_lock = new_lock(LOCK_UNIT);
  set_uenv_mark_func(gc_unit_env);
  init_qnlisp_envs();
  auto* u = static_cast<UNIT_ENV*>(std::calloc(1, sizeof(UNIT_ENV)));
  if (!u) er_panic("unit: out of memory");
  u->permanent = true;
  add_default_units(u);
  if (qnlisp_top_env0 && !get_uenv(qnlisp_top_env0)) {
    // The agent's own start-up: nothing refuses it.
    EnvWriterScope as_agent(false);
    if (set_uenv(qnlisp_top_env0, u) != 0) er_panic("unit: the default unit system cannot be set");
  }
  g_default.store(u, std::memory_order_release);
}

UNIT_ENV* get_default_uenv() {
  UNIT_ENV* u = g_default.load(std::memory_order_acquire);
  if (u) return u;
  init_unit();
  return g_default.load();
}

UNIT_ENV* uenv_in_force(ZUISP_ENV* env) {
  UNIT_ENV* u = env ? get_uenv(env) : nullptr;
  return u ? u : get_default_uenv();
}

void gc_unit() {
  gc_mark(g_named, mark_named);
}

std::vector<L_CHAR> unit_text_product(const L_CHAR* a, const L_CHAR* b, int sign) {
  std::vector<Term> ta, tb;
  if (!parse_terms(a, ta) || !parse_terms(b, tb)) return {};
  for (Term& t : tb) t.power *= sign < 0 ? -1 : 1;
  if (ta.size() + tb.size() > kMaxTerms) return {};
  ta.insert(ta.end(), tb.begin(), tb.end());
  // Sum the powers of equal names, keeping the order of first appearance.
  std::vector<Term> sum;
  for (const Term& t : ta) {
    Term* s = nullptr;
    for (Term& x : sum)
      if (x.len == t.len && std::equal(x.name, x.name + x.len, t.name)) s = &x;
    if (s)
      s->power += t.power;
    else
      sum.push_back(t);
  }
  std::vector<L_CHAR> out;
  for (const Term& t : sum) {
    if (t.power == 0) continue;
    if (t.power > kUnitMaxPower || t.power < -kUnitMaxPower) return {};
    if (!out.empty()) out.push_back('*');
    out.insert(out.end(), t.name, t.name + t.len);
    if (t.power != 1) {
      out.push_back('^');
      for (char ch : std::to_string(t.power)) out.push_back(static_cast<unsigned char>(ch));
    }
  }
  out.push_back(0);
  return out;
}
