// Interned names and symbol attributes.
#include <cstring>
#include <mutex>
#include <vector>

#include "zu/gc_core_impl.h"
#include "zu/value.h"

namespace {

// The intern table is weak: an atom that nothing marked is forgotten before
// the sweep frees it. It is sharded to keep readers of different names apart.
constexpr int kShards = 64;

struct Shard {
  std::mutex m;
  std::vector<ZU_ATOM*> slots;  // open addressing, size a power of two
  size_t count = 0;
};

struct Interns {
  Shard shards[kShards];
};

Interns& I() {
  static Interns* t = new Interns;
  return *t;
}

uint32_t hash_name(const L_CHAR* s, size_t len) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < len; ++i) {
    uint32_t c = s[i];
    for (int k = 0; k < 4; ++k) {
      h ^= (c >> (8 * k)) & 0xFF;
      h *= 16777619u;
    }
  }
  return h;
}

bool same(const ZU_ATOM* a, uint32_t h, const L_CHAR* s, size_t len) {
  return a->hash == h && a->len == len && std::memcmp(a->name, s, len * sizeof(L_CHAR)) == 0;
}

ZU_ATOM* probe(Shard& sh, uint32_t h, const L_CHAR* s, size_t len) {
  if (sh.slots.empty()) return nullptr;
  size_t mask = sh.slots.size() - 1;
  for (size_t i = (h >> 6) & mask;; i = (i + 1) & mask) {
    ZU_ATOM* a = sh.slots[i];
    if (!a) return nullptr;
    if (same(a, h, s, len)) return a;
  }
}

void insert(Shard& sh, ZU_ATOM* a) {
  if ((sh.count + 1) * 2 > sh.slots.size()) {
    std::vector<ZU_ATOM*> old;
    old.swap(sh.slots);
    sh.slots.assign(old.empty() ? 64 : old.size() * 2, nullptr);
    sh.count = 0;
    for (ZU_ATOM* o : old) {
      if (o) insert(sh, o);
    }
  }
  size_t mask = sh.slots.size() - 1;
  size_t i = (a->hash >> 6) & mask;
  while (sh.slots[i]) i = (i + 1) & mask;
  sh.slots[i] = a;
  ++sh.count;
}

}  // namespace

ZU_ATOM* intern_atom(const L_CHAR* name, size_t len) {
  uint32_t h = hash_name(name, len);
  Shard& sh = I().shards[h & (kShards - 1)];
  {
    std::lock_guard<std::mutex> l(sh.m);
    if (ZU_ATOM* a = probe(sh, h, name, len)) return a;
  }
  // Allocated outside the shard lock: an allocation may stop this thread
  // for a collection, which purges the shards.
  auto* a = static_cast<ZU_ATOM*>(mmalloc(sizeof(ZU_ATOM) + len * sizeof(L_CHAR), gc_text));
  a->hash = h;
  a->len = static_cast<uint32_t>(len);
  std::memcpy(a->name, name, len * sizeof(L_CHAR));
  a->name[len] = 0;
  std::lock_guard<std::mutex> l(sh.m);
  if (ZU_ATOM* o = probe(sh, h, name, len)) return o;
  insert(sh, a);
  return a;
}

ZU_ATOM* find_atom(const L_CHAR* name) {
  if (!name) return nullptr;
  size_t len = l_strlen(name);
  uint32_t h = hash_name(name, len);
  Shard& sh = I().shards[h & (kShards - 1)];
  std::lock_guard<std::mutex> l(sh.m);
  return probe(sh, h, name, len);
}

void gc_core_purge_atoms() {
  for (Shard& sh : I().shards) {
    std::lock_guard<std::mutex> l(sh.m);
    if (sh.count == 0) continue;
    std::vector<ZU_ATOM*> old;
    old.swap(sh.slots);
    sh.count = 0;
    size_t live = 0;
    for (ZU_ATOM* a : old) live += a && gc_is_marked(a);
    if (live == 0) continue;
    size_t n = 64;
    while (n < live * 2 + 2) n *= 2;
    sh.slots.assign(n, nullptr);
    for (ZU_ATOM* a : old) {
      if (a && gc_is_marked(a)) insert(sh, a);
    }
  }
}

const L_CHAR* get_sf_attribute(ZU_SYM_FIELD* sf, const L_CHAR* name) {
  if (!name) return nullptr;
  for (; sf; sf = sf->next) {
    if (sf->name && l_strcmp(sf->name, name) == 0) return sf->value;
  }
  return nullptr;
}

void set_attribute(ZU_SEXP* sym, const L_CHAR* name, const L_CHAR* value) {
  if (get_type(sym) != ZU_TYPE_SYMBOL || !name) return;
  auto* f = static_cast<ZU_SYM_FIELD*>(mmalloc(sizeof(ZU_SYM_FIELD), gc_sym_field));
  f->name = ll_copy_mstr(name);
  f->value = ll_copy_mstr(value);
  f->next = sym->symbol.sf;
  sym->symbol.sf = f;
}

ZU_SYM_FIELD* set_sym_field(ZU_SYM_FIELD* sf, const L_CHAR* name, const L_CHAR* value) {
  if (!name) return sf;
  ZU_SYM_FIELD* match = sf;
  while (match && !(match->name && l_strcmp(match->name, name) == 0)) match = match->next;
  auto node = [](const L_CHAR* n, const L_CHAR* v, ZU_SYM_FIELD* next) {
    auto* f = static_cast<ZU_SYM_FIELD*>(mmalloc(sizeof(ZU_SYM_FIELD), gc_sym_field));
    f->next = next;
    f->name = const_cast<L_CHAR*>(n);
    f->value = const_cast<L_CHAR*>(v);
    return f;
  };
  if (!match) {
    if (!value) return sf;
    ZU_SYM_FIELD* f = node(nullptr, nullptr, sf);
    f->name = ll_copy_mstr(name);
    f->value = ll_copy_mstr(value);
    return f;
  }
  // Copy the nodes before the match (texts are shared: they never change),
  // then the match itself replaced or left out, then the shared rest.
  GcFrame frame("set_sym_field");
  ZU_SYM_FIELD* rest = match->next;
  if (value) {
    ZU_SYM_FIELD* f = node(match->name, nullptr, rest);
    f->value = ll_copy_mstr(value);
    rest = f;
  }
  std::vector<ZU_SYM_FIELD*> before;
  for (ZU_SYM_FIELD* p = sf; p != match; p = p->next) before.push_back(p);
  for (size_t i = before.size(); i-- > 0;) rest = node(before[i]->name, before[i]->value, rest);
  return frame.keep(rest, gc_sym_field);
}

int get_attr_flags(int* err, const L_CHAR* text, const ATTR_FLAG_TBL* tbl) {
  if (err) *err = 0;
  if (!text || !*text) return 0;
  int flags = 0;
  size_t next = 0;  // names must come in table order, each at most once
  const L_CHAR* p = text;
  for (;;) {
    const L_CHAR* e = p;
    while (*e && *e != ':') ++e;
    size_t len = static_cast<size_t>(e - p);
    bool found = false;
    for (size_t i = next; tbl && tbl[i].name; ++i) {
      const char* n = tbl[i].name;
      if (std::strlen(n) != len) continue;
      bool eq = true;
      for (size_t k = 0; k < len && eq; ++k) eq = p[k] == static_cast<unsigned char>(n[k]);
      if (!eq) continue;
      flags |= tbl[i].value;
      next = i + 1;
      found = true;
      break;
    }
    if (!found || len == 0) {
      if (err) *err = -1;
      return 0;
    }
    if (!*e) return flags;
    p = e + 1;
  }
}

ZU_SEXP* cast_symbol2string(ZU_SEXP* sym) {
  if (get_type(sym) != ZU_TYPE_SYMBOL) return nullptr;
  ZU_SYM_FIELD* sf = sym->symbol.sf;
  const L_CHAR* name = sym_name(sym);
  if (!sf) return get_string(name);
  std::vector<L_CHAR> t;
  auto put = [&t](const L_CHAR* s) {
    if (s) t.insert(t.end(), s, s + l_strlen(s));
  };
  t.push_back('[');
  put(name);
  for (; sf; sf = sf->next) {
    t.push_back(' ');
    put(sf->name);
    t.push_back('=');
    t.push_back('"');
    put(sf->value);
    t.push_back('"');
  }
  t.push_back(']');
  return get_string_len(t.data(), t.size());
}
