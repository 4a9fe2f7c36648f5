// Association files: named integer and string indexes over value records.
#include "store/assoc64.h"

#include <cstring>

#include "base/alloc.h"
#include "base/endian.h"
#include "store/l_locked_impl.h"

ASSOC64_KEY as_key64[kAssocSlots];

namespace {

const ASSOC64_VALUE_OPS* value_ops = nullptr;

constexpr int kBadKey = -1;
constexpr int kDamaged = -2;

ASSOC64_KEY* slot(int key) { return key >= 1 && key < kAssocSlots && as_key64[key].p ? &as_key64[key] : nullptr; }

bool entry(const ASSOC64_KEY* k, int index, ASSOC64_INDEX* out) {
  if (!k || !k->assoc || index < 0 || index >= k->assoc_len) return false;
  const auto* b = reinterpret_cast<const uint8_t*>(k->assoc) + 16 + 16 * index;
  out->fofs = static_cast<int64_t>(load_be64(b));
  out->type = static_cast<int16_t>(load_be16(b + 8));
  out->name = static_cast<int16_t>(load_be16(b + 10));
  return true;
}

// The tree of an index (pinned for the caller), or null.
FAVT64_ROOT* index_root(const ASSOC64_KEY* k, int index, int* type) {
  ASSOC64_INDEX e;
  if (!entry(k, index, &e) || e.fofs <= 0) return nullptr;
  *type = e.type;
  int err = 0;
  bool integer = e.type == kAssocIntegerIndex;
  FAVT64_ROOT* r = get_typed_root64(&err, k->p, static_cast<uint64_t>(e.fofs),
                                    integer ? integer_endian64 : dtree64_endian,
                                    integer ? kAssocIntegerKeyType : kDtreeTopKeyType,
                                    integer ? sizeof(ASSOC64_INTEGER) : sizeof(DTREE64_NODE));
  if (r) favt64_lock(&r->h);
  return r;
}

// The body of the value record at fofs; false when it is no value record.
bool read_value(PDB64* p, uint64_t fofs, std::string* out) {
  PN64_HEADER* rec = read_filespace64f(p, fofs);
  if (!rec) return false;
  bool ok = swap_if16(rec->type) == kPn64AssocDataType;
  if (ok) out->assign(reinterpret_cast<const char*>(rec) + 16, swap_if64(rec->size) - 16);
  d_f_ree(rec);
  return ok;
}

bool value_of(const PN64_HEADER* rec, std::string* out) {
  if (swap_if16(rec->type) != kPn64AssocDataType) return false;
  out->assign(reinterpret_cast<const char*>(rec) + 16, swap_if64(rec->size) - 16);
  return true;
}

int insert_integer(PDB64* p, FAVT64_ROOT* r, int32_t key, uint64_t value) {
  ASSOC64_INTEGER k{key, static_cast<int64_t>(value)};
  int err = 0;
  FAVT64_NODE* top = root_node64(&err, r);
  if (!top && r->node.fofs) return -1;
  FAVT64_NODE* n = top ? favt64_search(&err, r, top, &k, integer_cmp64, nullptr) : nullptr;
  if (n) {
    auto* d = static_cast<ASSOC64_INTEGER*>(n->data);
    uint64_t old = static_cast<uint64_t>(d->fofs);
    d->fofs = static_cast<int64_t>(value);
    n->h.flags |= kFavtDirty;
    if (old) free_filespace64(p, old);
    return 0;
  }
  if (top && err != kFavtNotFound) return -1;
  FAVT64_NODE* a = favt64_alloc_node(r, &k, sizeof k);
  if (!a) return -1;
  FAVT64_NODE* got = favt64_insert(&err, r, &r->node, a, integer_cmp64, nullptr);
  if (got != a) {
    favt64_free_node(a);
    return -1;
  }
  return 0;
}

int insert_string(PDB64* p, FAVT64_ROOT* r, const L_CHAR* str, uint64_t value) {
  int err = 0;
  uint64_t cur = search_dtree64(&err, nullptr, r, str, 1);
  std::vector<uint64_t> old;
  if (!dtree64_values(p, cur, &old)) return -1;
  if (old.size() == 1) {
    // One value: replaced in place, its record freed.
    if (insert_dtree64(&err, r, str, cur, value) < 0) return -1;
    free_filespace64(p, cur);
    return 0;
  }
  if (old.size() > 1) {
    if (delete_dtree64(&err, r, str, 0) < 0) return -1;
    for (uint64_t f : old) free_filespace64(p, f);
  }
  return insert_dtree64(&err, r, str, 0, value);
}

struct AllWork {
  PDB64* p;
  std::vector<std::string>* out;
};

int all_integer(FAVT64_NODE* n, void* w) {
  auto* aw = static_cast<AllWork*>(w);
  auto* d = static_cast<ASSOC64_INTEGER*>(n->data);
  std::string s;
  if (d->fofs <= 0 || !read_value(aw->p, static_cast<uint64_t>(d->fofs), &s)) return kDamaged;
  aw->out->push_back(std::move(s));
  return 0;
}

int all_string(uint64_t fofs, PN64_HEADER* rec, void* w) {
  auto* aw = static_cast<AllWork*>(w);
  std::string s;
  if (rec ? !value_of(rec, &s) : !read_value(aw->p, fofs, &s)) return kDamaged;
  aw->out->push_back(std::move(s));
  return 0;
}

const char* const kAssocLabel = "associate";

}  // namespace

int open_associate64(const char* filename, int oflags, int mode, uint32_t flags, int type, const char* encoding) {
  int key = 1;
  while (key < kAssocSlots && as_key64[key].p) ++key;
  if (key >= kAssocSlots) return -1;
  PDB64* p = open_filespace64(filename, oflags, mode, flags, type, encoding);
  if (!p) return -1;
  ASSOC64_KEY k{p, read_filespace64(p, 0), nullptr, 0, 0};
  uint64_t ofs = 0;
  k.assoc = get_file_record64(&ofs, p, kPn64AssocHeaderType, 0);
  uint64_t m = k.assoc ? swap_if64(k.assoc->size) : 16;
  if (!k.fheader || (m - 16) % 16 != 0) {
    d_f_ree(k.fheader);
    d_f_ree(k.assoc);
    close_filespace64(p);
    return -1;
  }
  k.assoc_fofs = k.assoc ? ofs : 0;
  k.assoc_len = static_cast<int>((m - 16) / 16);
  as_key64[key] = k;
  return key;
}

int close_associate64(int key) {
  ASSOC64_KEY* k = slot(key);
  if (!k) return -1;
  int rc = close_filespace64(k->p);
  d_f_ree(k->fheader);
  d_f_ree(k->assoc);
  *k = ASSOC64_KEY{};
  return rc < 0 ? -1 : 0;
}

std::string assoc64_encoding(int key) {
  ASSOC64_KEY* k = slot(key);
  if (!k || !k->fheader) return {};
  const char* e = reinterpret_cast<const char*>(&k->fheader->h) + 16 + 12;
  return std::string(e, strnlen(e, 8));
}

int new_index64(int key, int type, int name) {
  ASSOC64_KEY* k = slot(key);
  if (!k || (type != kAssocIntegerIndex && type != kAssocStringIndex) || k->assoc_len >= 0x7FFF) return -1;
  if (get_index64(key, name) >= 0) return -1;
  FAVT64_ROOT* r = type == kAssocIntegerIndex ? favt64_alloc_root(k->p, kAssocIntegerKeyType, integer_endian64)
                                               : alloc64_dtree(k->p, kDtreeTopKeyType);
  if (!r) return -1;
  if (type == kAssocIntegerIndex) r->key_len = sizeof(ASSOC64_INTEGER);
  uint64_t m = 16 + 16 * static_cast<uint64_t>(k->assoc_len + 1);
  auto* rec = static_cast<uint8_t*>(d_calloc(m, 1));
  store_be16(rec, kPn64AssocHeaderType);
  store_be64(rec + 8, m);
  if (k->assoc) std::memcpy(rec + 16, reinterpret_cast<uint8_t*>(k->assoc) + 16, m - 32);
  uint8_t* e = rec + m - 16;
  store_be64(e, r->h.fofs);
  store_be16(e + 8, static_cast<uint16_t>(type));
  store_be16(e + 10, static_cast<uint16_t>(name));
  PN64_HEADER h{kPn64AssocHeaderType, {0, 0, 0}, m};
  int64_t at = alloc_filespace64(k->p, &h);
  if (at <= 0 || write_filespace64f(k->p, static_cast<uint64_t>(at), reinterpret_cast<PN64_HEADER*>(rec)) < 0) {
    if (at > 0) free_filespace64(k->p, static_cast<uint64_t>(at));
    favt64_free_root(r);
    d_f_ree(rec);
    return -1;
  }
  if (k->assoc) {
    free_filespace64(k->p, k->assoc_fofs);
    d_f_ree(k->assoc);
  }
  k->assoc = reinterpret_cast<PN64_HEADER*>(rec);
  k->assoc_fofs = static_cast<uint64_t>(at);
  return k->assoc_len++;
}

int get_index64(int key, int name) {
  ASSOC64_KEY* k = slot(key);
  ASSOC64_INDEX e;
  for (int i = 0; k && entry(k, i, &e); ++i)
    if (e.name == name) return i;
  return -1;
}

int get_index_type64(int key, int index) {
  ASSOC64_INDEX e;
  if (!entry(slot(key), index, &e)) return -1;
  return e.type == kAssocIntegerIndex || e.type == kAssocStringIndex ? e.type : -1;
}

int insert_associate64_text(int key, int index, const void* from, std::string_view text) {
  ASSOC64_KEY* k = slot(key);
  int type = 0;
  if (!from) return -1;
  FAVT64_ROOT* r = index_root(k, index, &type);
  if (!r) return -1;
  int rc = -1;
  int64_t value = alloc64_data(k->p, text);
  if (value > 0) {
    if (type == kAssocIntegerIndex)
      rc = insert_integer(k->p, r, *static_cast<const int32_t*>(from), static_cast<uint64_t>(value));
    else if (type == kAssocStringIndex)
      rc = insert_string(k->p, r, static_cast<const L_CHAR*>(from), static_cast<uint64_t>(value));
    if (rc < 0) free_filespace64(k->p, static_cast<uint64_t>(value));
  }
  favt64_unlock(&r->h);
  return rc;
}

int search_associate64_text(int key, int index, const void* from, ASSOC64_STRING_OPT* opt, std::string* out) {
  ASSOC64_KEY* k = slot(key);
  int type = 0;
  if (!from || !out) return kBadKey;
  FAVT64_ROOT* r = index_root(k, index, &type);
  if (!r) return kBadKey;
  int rc = 0;
  int err = 0;
  uint64_t value = 0;
  if (type == kAssocIntegerIndex) {
    ASSOC64_INTEGER want{*static_cast<const int32_t*>(from), 0};
    FAVT64_NODE* top = root_node64(&err, r);
    FAVT64_NODE* n = top ? favt64_search(&err, r, top, &want, integer_cmp64, nullptr) : nullptr;
    if (n) {
      int64_t f = static_cast<ASSOC64_INTEGER*>(n->data)->fofs;
      if (f <= 0) rc = kDamaged;
      value = static_cast<uint64_t>(f);
    } else if ((top || r->node.fofs) && err != kFavtNotFound) {
      rc = kDamaged;
    }
  } else if (type == kAssocStringIndex) {
    int size = 0;
    value = search_dtree64(&err, &size, r, static_cast<const L_CHAR*>(from), opt ? opt->flags : 1);
    if (opt) opt->size = size;
    std::vector<uint64_t> v;
    if (!dtree64_values(k->p, value, &v))
      rc = kDamaged;
    else
      value = v.empty() ? 0 : v.front();
  } else {
    rc = kBadKey;
  }
  if (rc == 0 && value) rc = read_value(k->p, value, out) ? 1 : kDamaged;
  favt64_unlock(&r->h);
  return rc;
}

int delete_associate64(int key, int index, const void* from) {
  ASSOC64_KEY* k = slot(key);
  int type = 0;
  if (!from) return -1;
  FAVT64_ROOT* r = index_root(k, index, &type);
  if (!r) return -1;
  int rc = -1;
  if (type == kAssocStringIndex) {
    int err = 0;
    const auto* str = static_cast<const L_CHAR*>(from);
    uint64_t cur = search_dtree64(&err, nullptr, r, str, 1);
    std::vector<uint64_t> old;
    if (cur && dtree64_values(k->p, cur, &old) && delete_dtree64(&err, r, str, 0) == 0) {
      for (uint64_t f : old) free_filespace64(k->p, f);
      rc = 0;
    }
  }
  favt64_unlock(&r->h);
  return rc;
}

int get_assoc64_all_text(int key, int index, std::vector<std::string>* out) {
  ASSOC64_KEY* k = slot(key);
  int type = 0;
  if (!out) return -1;
  out->clear();
  FAVT64_ROOT* r = index_root(k, index, &type);
  if (!r) return -1;
  AllWork aw{k->p, out};
  int err = 0, rc = 0;
  if (type == kAssocIntegerIndex) {
    FAVT64_NODE* top = root_node64(&err, r);
    if (!top && r->node.fofs)
      rc = kDamaged;
    else if (top)
      rc = favt64_trace_from_small(&err, r, top, all_integer, &aw);
  } else if (type == kAssocStringIndex) {
    rc = dtree64_trace_from_small(&err, r, all_string, &aw);
  } else {
    rc = kBadKey;
  }
  favt64_unlock(&r->h);
  return rc == 0 ? 0 : -1;
}

void set_assoc64_value_ops(const ASSOC64_VALUE_OPS* ops) { value_ops = ops; }
const ASSOC64_VALUE_OPS* get_assoc64_value_ops() { return value_ops; }

namespace {

ZU_SEXP* value_result(int rc, const std::string& body, const std::string& enc) {
  if (rc == 1) return value_ops->read(body, enc.c_str(), kAssocLabel);
  if (rc == kDamaged) return value_ops->error(kDamaged);
  return value_ops->read_list({}, enc.c_str(), kAssocLabel);
}

}  // namespace

int insert_associate64(int key, int index, const void* from, ZU_SEXP* data) {
  std::string enc = assoc64_encoding(key), text;
  if (!value_ops || enc.empty() || value_ops->print(data, enc.c_str(), &text) < 0) return -1;
  return insert_associate64_text(key, index, from, text);
}

ZU_SEXP* search_associate64(int key, int index, const void* from, ASSOC64_STRING_OPT* opt) {
  if (!value_ops) return nullptr;
  std::string body;
  int rc = search_associate64_text(key, index, from, opt, &body);
  return value_result(rc, body, assoc64_encoding(key));
}

ZU_SEXP* get_assoc64_all(int key, int index) {
  if (!value_ops) return nullptr;
  std::vector<std::string> bodies;
  if (get_assoc64_all_text(key, index, &bodies) < 0 && slot(key)) return value_ops->error(kDamaged);
  return value_ops->read_list(bodies, assoc64_encoding(key).c_str(), kAssocLabel);
}

// Locked forms. Values are printed before the lock is taken and read after
// it is given back: the ZU layer takes locks of its own.
namespace {
constexpr const char* kIUnlock = "iunlock";
}

int l_open_associate64(const char* filename, int oflags, int mode, uint32_t flags, int type, const char* encoding) {
  return locked<open_associate64>(kIUnlock, filename, oflags, mode, flags, type, encoding);
}
int l_close_associate64(int key) { return locked<close_associate64>("close_associate64", key); }
int l_new_index64(int key, int type, int name) { return locked<new_index64>(kIUnlock, key, type, name); }
int l_get_index64(int key, int name) { return locked<get_index64>(kIUnlock, key, name); }
int l_get_index_type64(int key, int index) { return locked<get_index_type64>(kIUnlock, key, index); }
int l_delete_associate64(int key, int index, const void* from) {
  return locked<delete_associate64>(kIUnlock, key, index, from);
}
int l_insert_associate64_text(int key, int index, const void* from, std::string_view text) {
  return locked<insert_associate64_text>(kIUnlock, key, index, from, text);
}
int l_search_associate64_text(int key, int index, const void* from, ASSOC64_STRING_OPT* opt, std::string* out) {
  return locked<search_associate64_text>(kIUnlock, key, index, from, opt, out);
}
int l_get_assoc64_all_text(int key, int index, std::vector<std::string>* out) {
  return locked<get_assoc64_all_text>(kIUnlock, key, index, out);
}

int l_insert_associate64(int key, int index, const void* from, ZU_SEXP* data) {
  std::string enc = locked<assoc64_encoding>(kIUnlock, key), text;
  if (!value_ops || enc.empty() || value_ops->print(data, enc.c_str(), &text) < 0) return -1;
  return l_insert_associate64_text(key, index, from, text);
}

ZU_SEXP* l_search_associate64(int key, int index, const void* from, ASSOC64_STRING_OPT* opt) {
  if (!value_ops) return nullptr;
  std::string body;
  int rc = l_search_associate64_text(key, index, from, opt, &body);
  return value_result(rc, body, locked<assoc64_encoding>(kIUnlock, key));
}

ZU_SEXP* l_get_assoc64_all(int key, int index) {
  if (!value_ops) return nullptr;
  std::vector<std::string> bodies;
  std::string enc = locked<assoc64_encoding>(kIUnlock, key);
  if (l_get_assoc64_all_text(key, index, &bodies) < 0 && !enc.empty()) return value_ops->error(kDamaged);
  return value_ops->read_list(bodies, enc.c_str(), kAssocLabel);
}
