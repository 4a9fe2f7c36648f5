// Data trees: one tree per character position, value records and value
// lists.
#include <algorithm>
#include <cstring>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"
#include "store/assoc64.h"
#include "store/pdb64_io_impl.h"

namespace {

void set_err(int* errp, int e) {
  if (errp) *errp = e;
}

size_t wide_len(const L_CHAR* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

// Type of the record at fofs, or 0 when there is none.
uint16_t record_type(PDB64* p, uint64_t fofs) {
  PHYS_PN64_HEADER ph;
  return fofs && pdb64_read_phys(p, fofs, &ph) == 0 ? ph.type : 0;
}

// Writes a whole record (type, body) into fresh space; its offset or -1.
int64_t put_record(PDB64* p, uint16_t type, const void* body, size_t len) {
  uint64_t m = 16 + len;
  PN64_HEADER h{type, {0, 0, 0}, m};
  int64_t at = alloc_filespace64(p, &h);
  if (at <= 0) return -1;
  std::vector<uint8_t> rec(m);
  store_be16(rec.data(), type);
  store_be64(rec.data() + 8, m);
  if (len) std::memcpy(rec.data() + 16, body, len);
  if (write_filespace64f(p, static_cast<uint64_t>(at), reinterpret_cast<PN64_HEADER*>(rec.data())) < 0) {
    free_filespace64(p, static_cast<uint64_t>(at));
    return -1;
  }
  return at;
}

// The entries of the value list at fofs; false when it is no value list.
bool read_list(PDB64* p, uint64_t fofs, std::vector<uint64_t>* out) {
  PN64_HEADER* rec = read_filespace64f(p, fofs);
  if (!rec) return false;
  uint64_t m = swap_if64(rec->size);
  bool ok = swap_if16(rec->type) == kPn64DtreeDataType && (m - 16) % 8 == 0 && m >= 32;
  if (ok) {
    const auto* b = reinterpret_cast<const uint8_t*>(rec) + 16;
    out->clear();
    for (uint64_t i = 0; i < (m - 16) / 8; ++i) out->push_back(load_be64(b + 8 * i));
  }
  d_f_ree(rec);
  return ok;
}

int64_t write_list(PDB64* p, const std::vector<uint64_t>& v) {
  std::vector<uint8_t> body(v.size() * 8);
  for (size_t i = 0; i < v.size(); ++i) store_be64(body.data() + 8 * i, v[i]);
  return put_record(p, kPn64DtreeDataType, body.data(), body.size());
}

// Rewrites the list at fofs in place (same number of entries).
int rewrite_list(PDB64* p, uint64_t fofs, const std::vector<uint64_t>& v) {
  std::vector<uint8_t> rec(16 + v.size() * 8);
  store_be16(rec.data(), kPn64DtreeDataType);
  store_be64(rec.data() + 8, rec.size());
  for (size_t i = 0; i < v.size(); ++i) store_be64(rec.data() + 16 + 8 * i, v[i]);
  return write_filespace64f(p, fofs, reinterpret_cast<PN64_HEADER*>(rec.data())) < 0 ? -1 : 0;
}

// The tree of the next character, at fofs.
FAVT64_ROOT* sub_tree(int* errp, PDB64* p, uint64_t fofs) {
  return get_typed_root64(errp, p, fofs, dtree64_endian, kDtreeKeyType, sizeof(DTREE64_NODE));
}

DTREE64_NODE* key_of(FAVT64_NODE* n) { return static_cast<DTREE64_NODE*>(n->data); }

// The node of character ch in tree t, or null (*errp kFavtNotFound when it
// is simply absent).
FAVT64_NODE* find_char(int* errp, FAVT64_ROOT* t, L_CHAR ch) {
  int err = kFavtNotFound;
  FAVT64_NODE* top = root_node64(&err, t);
  if (!top) {
    set_err(errp, t->node.fofs ? err : kFavtNotFound);
    return nullptr;
  }
  DTREE64_NODE key{ch, 0, 0};
  FAVT64_NODE* n = favt64_search(&err, t, top, &key, dtree64_cmp, nullptr);
  if (!n) set_err(errp, err);
  return n;
}

// Pins held along a path; given back at the end in reverse order.
class Holds {
 public:
  ~Holds() {
    for (auto it = held_.rbegin(); it != held_.rend(); ++it)
      if (*it) favt64_unlock(*it);
  }
  void add(FAVT64_HEADER* h) {
    favt64_lock(h);
    held_.push_back(h);
  }
  // Gives back the pin of h early.
  void drop(FAVT64_HEADER* h) {
    for (auto& x : held_)
      if (x == h) {
        favt64_unlock(x);
        x = nullptr;
        return;
      }
  }

 private:
  std::vector<FAVT64_HEADER*> held_;
};

struct DTREE64_TRACE_WORK {
  PDB64* p;
  DTREE64_FUNC func;
  void* w;
  bool ascending;
  int* errp;
  size_t depth;
};

int trace_values(DTREE64_TRACE_WORK* tw, uint64_t slot) {
  if (!slot) return 0;
  if (record_type(tw->p, slot) == kPn64DtreeDataType) {
    std::vector<uint64_t> v;
    if (!read_list(tw->p, slot, &v)) {
      set_err(tw->errp, kFavtCorrupt);
      return kFavtCorrupt;
    }
    for (size_t i = 0; i < v.size(); ++i)
      if (int r = tw->func(tw->ascending ? v[i] : v[v.size() - 1 - i], nullptr, tw->w)) return r;
    return 0;
  }
  PN64_HEADER* rec = read_filespace64f(tw->p, slot);
  if (!rec || swap_if16(rec->type) != kPn64AssocDataType) {
    d_f_ree(rec);
    set_err(tw->errp, kFavtCorrupt);
    return kFavtCorrupt;
  }
  int r = tw->func(slot, rec, tw->w);
  d_f_ree(rec);
  return r;
}

int trace_tree(DTREE64_TRACE_WORK* tw, FAVT64_ROOT* t);

int trace_node(FAVT64_NODE* n, void* work) {
  auto* tw = static_cast<DTREE64_TRACE_WORK*>(work);
  DTREE64_NODE k = *key_of(n);
  // Ascending: a key before the longer keys it begins; descending after.
  if (tw->ascending)
    if (int r = trace_values(tw, k.data)) return r;
  if (k.tree) {
    int err = kFavtUnreadable;
    FAVT64_ROOT* sub = sub_tree(&err, tw->p, k.tree);
    if (!sub) {
      set_err(tw->errp, err);
      return err;
    }
    if (int r = trace_tree(tw, sub)) return r;
  }
  if (!tw->ascending)
    if (int r = trace_values(tw, k.data)) return r;
  return 0;
}

int trace_tree(DTREE64_TRACE_WORK* tw, FAVT64_ROOT* t) {
  if (++tw->depth > kDtreeMaxKey) {
    set_err(tw->errp, kFavtCorrupt);
    return kFavtCorrupt;
  }
  favt64_lock(&t->h);
  int err = kFavtUnreadable;
  int r = 0;
  FAVT64_NODE* top = root_node64(&err, t);
  if (!top && t->node.fofs) {
    set_err(tw->errp, err);
    r = err;
  } else if (top) {
    r = tw->ascending ? favt64_trace_from_small(tw->errp, t, top, trace_node, tw)
                      : favt64_trace_from_large(tw->errp, t, top, trace_node, tw);
  }
  favt64_unlock(&t->h);
  --tw->depth;
  return r;
}

}  // namespace

void integer_endian64(void* data, int64_t len) {
  if (len != 12) return;
  auto* b = static_cast<uint8_t*>(data);
  uint32_t k;
  uint64_t f;
  std::memcpy(&k, b, 4);
  std::memcpy(&f, b + 4, 8);
  k = swap_if32(k);
  f = swap_if64(f);
  std::memcpy(b, &k, 4);
  std::memcpy(b + 4, &f, 8);
}

void dtree64_endian(void* data, int64_t len) {
  if (len != 20) return;
  auto* b = static_cast<uint8_t*>(data);
  uint32_t c;
  uint64_t t, d;
  std::memcpy(&c, b, 4);
  std::memcpy(&t, b + 4, 8);
  std::memcpy(&d, b + 12, 8);
  c = swap_if32(c);
  t = swap_if64(t);
  d = swap_if64(d);
  std::memcpy(b, &c, 4);
  std::memcpy(b + 4, &t, 8);
  std::memcpy(b + 12, &d, 8);
}

int integer_cmp64(void* node_data, void* key, void*) {
  int32_t a = static_cast<ASSOC64_INTEGER*>(node_data)->data;
  int32_t b = static_cast<ASSOC64_INTEGER*>(key)->data;
  return b < a ? 1 : b > a ? -1 : 0;
}

int dtree64_cmp(void* node_data, void* key, void*) {
  L_CHAR a = static_cast<DTREE64_NODE*>(node_data)->ch;
  L_CHAR b = static_cast<DTREE64_NODE*>(key)->ch;
  return b < a ? 1 : b > a ? -1 : 0;
}

FAVT64_ROOT* alloc64_dtree(PDB64* p, int type) {
  FAVT64_ROOT* r = favt64_alloc_root(p, type, dtree64_endian);
  if (r) r->key_len = sizeof(DTREE64_NODE);
  return r;
}

int64_t alloc64_data(PDB64* p, std::string_view text) {
  std::string body(text);
  if (body.empty() || body.back() != '\0') body.push_back('\0');
  if (body.size() < 8) body.resize(8, '\0');
  return put_record(p, kPn64AssocDataType, body.data(), body.size());
}

bool dtree64_values(PDB64* p, uint64_t slot, std::vector<uint64_t>* out) {
  out->clear();
  if (!slot) return true;
  uint16_t t = record_type(p, slot);
  if (t == kPn64DtreeDataType) return read_list(p, slot, out);
  if (t != kPn64AssocDataType) return false;
  out->push_back(slot);
  return true;
}

int data_segment64(PDB64* p, uint64_t* datap, uint64_t old, uint64_t data) {
  if (!data) return -1;
  if (!*datap) {
    if (old) return -1;
    *datap = data;
    return 0;
  }
  uint16_t t = record_type(p, *datap);
  if (t == kPn64AssocDataType) {
    if (old) {
      if (old != *datap) return -1;
      *datap = data;
      return 0;
    }
    int64_t at = write_list(p, {*datap, data});
    if (at < 0) return -1;
    *datap = static_cast<uint64_t>(at);
    return 0;
  }
  std::vector<uint64_t> v;
  if (t != kPn64DtreeDataType || !read_list(p, *datap, &v)) return -1;
  if (old) {
    for (auto& e : v)
      if (e == old) {
        e = data;
        return rewrite_list(p, *datap, v);
      }
    return -1;
  }
  v.push_back(data);
  int64_t at = write_list(p, v);
  if (at < 0) return -1;
  free_filespace64(p, *datap);
  *datap = static_cast<uint64_t>(at);
  return 0;
}

int delete_data_segment64(PDB64* p, uint64_t* datap, uint64_t old) {
  if (!*datap) return -1;
  uint16_t t = record_type(p, *datap);
  if (t == kPn64AssocDataType) {
    if (old && old != *datap) return -1;
    *datap = 0;
    return 0;
  }
  std::vector<uint64_t> v;
  if (t != kPn64DtreeDataType || !read_list(p, *datap, &v)) return -1;
  uint64_t list = *datap;
  if (!old) {
    *datap = 0;
    return free_filespace64(p, list) < 0 ? -1 : 0;
  }
  auto it = std::find(v.begin(), v.end(), old);
  if (it == v.end()) return -1;
  v.erase(it);
  if (v.size() == 1) {
    *datap = v[0];
  } else {
    int64_t at = write_list(p, v);
    if (at < 0) return -1;
    *datap = static_cast<uint64_t>(at);
  }
  return free_filespace64(p, list) < 0 ? -1 : 0;
}

int insert_dtree64(int* errp, FAVT64_ROOT* r, const L_CHAR* str, uint64_t old, uint64_t data) {
  if (!r || !str || !str[0] || wide_len(str) > kDtreeMaxKey) {
    set_err(errp, kFavtBadArgument);
    return -1;
  }
  PDB64* p = r->h.p;
  size_t len = wide_len(str);
  Holds holds;
  holds.add(&r->h);
  FAVT64_ROOT* t = r;
  for (size_t i = 0; i < len; ++i) {
    int err = 0;
    FAVT64_NODE* n = find_char(&err, t, str[i]);
    if (!n) {
      if (err != kFavtNotFound) {
        set_err(errp, err);
        return -1;
      }
      DTREE64_NODE key{str[i], 0, 0};
      FAVT64_NODE* a = favt64_alloc_node(t, &key, sizeof key);
      if (!a) {
        set_err(errp, kFavtNoSpace);
        return -1;
      }
      n = favt64_insert(&err, t, &t->node, a, dtree64_cmp, nullptr);
      if (n != a) {
        favt64_free_node(a);
        if (!n) {
          set_err(errp, err);
          return -1;
        }
      }
    }
    holds.add(&n->h);
    DTREE64_NODE* k = key_of(n);
    if (i + 1 == len) {
      uint64_t slot = k->data;  // the key is packed: no pointer into it
      if (data_segment64(p, &slot, old, data) < 0) {
        set_err(errp, kFavtCorrupt);
        return -1;
      }
      k->data = slot;
      n->h.flags |= kFavtDirty;
      return 0;
    }
    FAVT64_ROOT* sub;
    if (!k->tree) {
      sub = alloc64_dtree(p, kDtreeKeyType);
      if (!sub) {
        set_err(errp, kFavtNoSpace);
        return -1;
      }
      k->tree = sub->h.fofs;
      n->h.flags |= kFavtDirty;
    } else {
      sub = sub_tree(&err, p, k->tree);
      if (!sub) {
        set_err(errp, err);
        return -1;
      }
    }
    holds.add(&sub->h);
    t = sub;
  }
  return -1;
}

int delete_dtree64(int* errp, FAVT64_ROOT* r, const L_CHAR* str, uint64_t old) {
  if (!r || !str || !str[0]) {
    set_err(errp, kFavtBadArgument);
    return -1;
  }
  PDB64* p = r->h.p;
  size_t len = wide_len(str);
  Holds holds;
  std::vector<FAVT64_ROOT*> trees;
  std::vector<FAVT64_NODE*> nodes;
  FAVT64_ROOT* t = r;
  for (size_t i = 0; i < len; ++i) {
    holds.add(&t->h);
    trees.push_back(t);
    int err = 0;
    FAVT64_NODE* n = find_char(&err, t, str[i]);
    if (!n) {
      set_err(errp, err);
      return -1;
    }
    holds.add(&n->h);
    nodes.push_back(n);
    if (i + 1 == len) break;
    uint64_t sub = key_of(n)->tree;
    if (!sub) {
      set_err(errp, kFavtNotFound);
      return -1;
    }
    t = sub_tree(&err, p, sub);
    if (!t) {
      set_err(errp, err);
      return -1;
    }
  }
  FAVT64_NODE* last = nodes.back();
  uint64_t slot = key_of(last)->data;
  if (!slot || delete_data_segment64(p, &slot, old) < 0) {
    set_err(errp, kFavtNotFound);
    return -1;
  }
  key_of(last)->data = slot;
  last->h.flags |= kFavtDirty;
  // Upwards: a node left with neither value nor deeper tree leaves its
  // tree; a tree left empty goes too, and its offset leaves the node above.
  for (size_t i = len; i-- > 0;) {
    FAVT64_NODE* n = nodes[i];
    DTREE64_NODE k = *key_of(n);
    if (k.data || k.tree) break;
    FAVT64_ROOT* tr = trees[i];
    holds.drop(&n->h);
    int err = 0;
    FAVT64_NODE* d = favt64_delete(&err, tr, &tr->node, &k, dtree64_cmp, nullptr);
    if (!d) {
      set_err(errp, err);
      return -1;
    }
    favt64_free_node(d);
    if (i == 0 || tr->node.fofs) break;
    FAVT64_NODE* above = nodes[i - 1];
    key_of(above)->tree = 0;
    above->h.flags |= kFavtDirty;
    holds.drop(&tr->h);
    favt64_free_root(tr);
  }
  return 0;
}

uint64_t search_dtree64(int* errp, int* sizep, FAVT64_ROOT* r, const L_CHAR* str, int perfect_flag) {
  if (sizep) *sizep = 0;
  if (!r || !str || !str[0]) {
    set_err(errp, kFavtBadArgument);
    return 0;
  }
  size_t len = wide_len(str);
  uint64_t best = 0, exact = 0;
  size_t best_len = 0;
  FAVT64_ROOT* t = r;
  favt64_lock(&t->h);
  for (size_t i = 0; i < len; ++i) {
    int err = 0;
    FAVT64_NODE* n = find_char(&err, t, str[i]);
    if (!n) {
      if (err != kFavtNotFound) set_err(errp, err);
      break;
    }
    DTREE64_NODE k = *key_of(n);
    if (k.data) {
      best = k.data;
      best_len = i + 1;
    }
    if (i + 1 == len) {
      exact = k.data;
      break;
    }
    if (!k.tree) break;
    FAVT64_ROOT* sub = sub_tree(&err, t->h.p, k.tree);
    if (!sub) {
      set_err(errp, err);
      break;
    }
    favt64_lock(&sub->h);
    favt64_unlock(&t->h);
    t = sub;
  }
  favt64_unlock(&t->h);
  if (perfect_flag) {
    if (sizep && exact) *sizep = static_cast<int>(len);
    return exact;
  }
  if (sizep) *sizep = static_cast<int>(best_len);
  return best;
}

int dtree64_trace_from_small(int* errp, FAVT64_ROOT* r, DTREE64_FUNC func, void* work) {
  if (!r || !func) return 0;
  DTREE64_TRACE_WORK tw{r->h.p, func, work, true, errp, 0};
  return trace_tree(&tw, r);
}

int dtree64_trace_from_large(int* errp, FAVT64_ROOT* r, DTREE64_FUNC func, void* work) {
  if (!r || !func) return 0;
  DTREE64_TRACE_WORK tw{r->h.p, func, work, false, errp, 0};
  return trace_tree(&tw, r);
}
