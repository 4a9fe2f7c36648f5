// Checked record access of the matrix file, the node tree, and the
// validation of a whole file before a file left open by a dead process is
// taken over.
#include <fcntl.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"
#include "matrix/dim_code.h"
#include "matrix/matrix_impl.h"
#include "matrix/mx_file_impl.h"
#include "store/l_favt64.h"
#include "stream/stream.h"
#include "text/convert.h"

// ---------------------------------------------------------------------------
// Records

MxRecord::~MxRecord() {
  if (h) d_f_ree(h);
}

std::span<const uint8_t> MxRecord::body() const {
  if (!h) return {};
  return {reinterpret_cast<const uint8_t*>(h) + 16, static_cast<size_t>(swap_if64(h->size) - 16)};
}

int mx_read_record(PDB64* p, int64_t fofs, uint16_t type, int64_t min_body, int64_t max_body, MxRecord* r) {
  if (!p || fofs <= 0) return -1;
  int64_t size = mx_record_size(p, fofs, type);
  if (size < 16 + min_body || (max_body >= 0 && size > 16 + max_body)) return -1;
  PN64_HEADER* h = l_read_filespace64f(p, static_cast<uint64_t>(fofs));
  if (!h) return -1;
  if (swap_if16(h->type) != type || static_cast<int64_t>(swap_if64(h->size)) != size) {
    d_f_ree(h);
    return -1;
  }
  if (r->h) d_f_ree(r->h);
  r->h = h;
  return 0;
}

int mx_read_any_record(PDB64* p, int64_t fofs, MxRecord* r) {
  if (!p || fofs <= 0) return -1;
  PN64_HEADER* h = l_read_filespace64f(p, static_cast<uint64_t>(fofs));
  if (!h) return -1;
  if (r->h) d_f_ree(r->h);
  r->h = h;
  return 0;
}

int64_t mx_record_size(PDB64* p, int64_t fofs, uint16_t type) {
  if (!p || fofs <= 0) return -1;
  PN64_HEADER* h = l_read_filespace64f_header(p, static_cast<uint64_t>(fofs));
  if (!h) return -1;
  uint64_t size = swap_if64(h->size);
  bool ok = swap_if16(h->type) == type && size >= 16 && size <= kPn64MaxMemSize;
  d_f_ree(h);
  return ok ? static_cast<int64_t>(size) : -1;
}

namespace {

const PN64_HEADER* header_of(std::span<const uint8_t> rec) { return reinterpret_cast<const PN64_HEADER*>(rec.data()); }

iovec body_of(std::span<const uint8_t> rec) { return iovec{const_cast<uint8_t*>(rec.data()) + 16, rec.size() - 16}; }

}  // namespace

int mx_write_record(PDB64* p, int64_t fofs, std::span<const uint8_t> rec) {
  if (!p || fofs <= 0 || rec.size() < 16) return -1;
  iovec body = body_of(rec);
  return l_rewrite_filespace64(p, static_cast<uint64_t>(fofs), header_of(rec), {&body, 1}) < 0 ? -1 : 0;
}

int mx_write_subheader(MX_FILE_WORK* w) {
  uint8_t rec[sizeof(PN64_MX_SUBHEADER)];
  if (mx_subheader_encode(rec, &w->subheader) < 0) return -1;
  return mx_write_record(w->pdb_fd, w->subheader_fofs, rec);
}

int64_t mx_new_record(PDB64* p, std::span<const uint8_t> rec) {
  if (!p || rec.size() < 16) return -1;
  iovec body = body_of(rec);
  int64_t at = l_alloc_write_filespace64(p, header_of(rec), {&body, 1});
  return at > 0 ? at : -1;
}

int64_t mx_put_record(PDB64* p, int64_t fofs, std::span<const uint8_t> rec) {
  if (!p || rec.size() < 16) return -1;
  iovec body = body_of(rec);
  return mx_put_record_pieces(p, fofs, header_of(rec), {&body, 1});
}

int64_t mx_put_record_pieces(PDB64* p, int64_t fofs, const PN64_HEADER* h, std::span<const iovec> body) {
  if (!p || !h) return -1;
  uint16_t type = swap_if16(h->type);
  auto size = static_cast<int64_t>(swap_if64(h->size));
  if (fofs > 0) {
    int64_t there = mx_record_size(p, fofs, type);
    if (there == size) return l_rewrite_filespace64(p, static_cast<uint64_t>(fofs), h, body) < 0 ? -1 : fofs;
    if (there > 0) l_free_filespace64(p, static_cast<uint64_t>(fofs));
  }
  int64_t at = l_alloc_write_filespace64(p, h, body);
  return at > 0 ? at : -1;
}

// ---------------------------------------------------------------------------
// The node tree

namespace {

int check_key(const void* key, int64_t len, const void* w) {
  return mx_dim_code_key_check(static_cast<const MATRIX_GEOMETRY*>(w), key, len);
}

}  // namespace

FAVT64_ROOT* mx_node_root(MATRIX* m, MX_FILE_WORK* w, int* errp) {
  FAVT64_ROOT* r = l_get_root64(errp, w->pdb_fd, static_cast<uint64_t>(w->subheader.node_root), mx_dim_code_endian);
  if (!r) return nullptr;
  if (r->type != kMxDimCodeKeyType) {
    l_favt64_release(r);
    *errp = kFavtCorrupt;
    return nullptr;
  }
  r->key_check = check_key;
  r->key_check_w = &m->geometry;
  return r;
}

MxKey mx_key_of(const MATRIX* m, int64_t fofs, const int64_t* dc) {
  MxKey k{};
  k.len = mx_dim_code_key(&k.k, fofs, dc, m->p.dim);
  return k;
}

int mx_tree_find(MATRIX* m, MX_FILE_WORK* w, MxKey* key, int64_t* fofs) {
  int err = 0;
  FAVT64_ROOT* root = mx_node_root(m, w, &err);
  if (!root) return -1;
  int r = 0;
  FAVT64_NODE* top = l_root_node64(&err, root);
  if (top) {
    err = 0;
    FAVT64_NODE* n = l_favt64_search(&err, root, top, &key->k, mx_dim_code_cmp, m);
    if (n) {
      std::memcpy(fofs, n->data, 8);
      r = 1;
      l_favt64_release(n);
    } else if (err != kFavtNotFound && err != 0) {
      r = -1;
    }
    l_favt64_release(top);
  } else if (err != 0 && err != kFavtNotFound) {
    r = -1;
  }
  l_favt64_release(root);
  return r;
}

int mx_file_fault(const MATRIX* m, const char* what, int64_t fofs) {
  const char* name = m && m->filename ? n_string(std_cm, m->filename) : "(unnamed)";
  mx_say_error("matrix %s: invalid matrix file: %s at %lli", name, what, static_cast<long long>(fofs));
  return kMxInvalidFile;
}

// ---------------------------------------------------------------------------
// Header and scratch matrices

MxScratchMatrix::~MxScratchMatrix() {
  d_f_ree(m.channel_info);
  d_f_ree(m.pixel_size_list);
  d_f_ree(m.dim_divide);
  d_f_ree(m.block_size);
  d_f_ree(m.pixel_size);
}

int mx_apply_header(MATRIX* m, const PN64_MX_HEADER& h) {
  MATRIX_PARAM p{};
  p.channel_nos = h.channel_nos;
  p.dim = h.dim;
  p.flags = h.flags;
  p.total_levels = h.total_levels;
  p.modify_time = h.modify_time;
  if (_set_matrix_param(m, &p) != 0) return -1;
  for (int d = 0; d < h.dim; ++d)
    if (_set_matrix_dim_divide(m, d, h.dim_divide[d]) != 0) return -1;
  for (int d = 0; d < h.dim; ++d)
    if (_set_matrix_block_size(m, d, h.block_size[d]) != 0) return -1;
  for (int d = 0; d < h.dim; ++d)
    if (_set_matrix_pixel_size(m, d, h.pixel_size[d]) != 0) return -1;
  return 0;
}

int mx_find_header(PDB64* p, int64_t* fofs, PN64_MX_HEADER* h, MxRecord* body_rec) {
  uint64_t at = 0;
  lock_task(l_favt64_lock);
  PN64_HEADER* rec = get_file_record64(&at, p, kMxHeaderType, 0);
  unlock_task(l_favt64_lock, "mx_find_header");
  if (!rec) return -1;
  if (body_rec->h) d_f_ree(body_rec->h);
  body_rec->h = rec;
  *fofs = static_cast<int64_t>(at);
  return mx_header_decode(body_rec->body(), h) == 0 ? 0 : -2;
}

namespace {

// The record file's own header at offset 0 (PN64_FILE_HEADER on disk):
// its version, an encoding name of 1 to 7 bytes padded with zeros, the
// linear field 0 and no flag but the open mark, as every writer leaves it.
bool file_header_sound(PDB64* p) {
  static constexpr uint8_t kVersion[8] = {'6', '4', '-', '0', '.', '6', 0, 0};
  uint64_t at = 0;
  PN64_HEADER* h = get_file_record64(&at, p, 0, 0);
  if (!h) return false;
  bool ok = at == 0 && swap_if16(h->type) == kPn64FileHeaderType && swap_if64(h->size) == 44;
  if (ok) {
    std::span<const uint8_t> b(reinterpret_cast<const uint8_t*>(h) + 16, 28);
    std::span<const uint8_t> enc = b.subspan(12, 8);
    auto name_end = std::find(enc.begin(), enc.end(), 0);
    ok = std::equal(kVersion, kVersion + 8, b.begin() + 4) && name_end != enc.begin() && name_end != enc.end() &&
         std::all_of(name_end, enc.end(), [](uint8_t c) { return c == 0; }) && load_be32(&b[20]) == 0 &&
         (load_be32(&b[24]) & ~static_cast<uint32_t>(kPn64FlagOpenWrite)) == 0;
  }
  d_f_ree(h);
  return ok;
}

}  // namespace

int mx_record_census(PDB64* p, MxCensus* c) {
  *c = MxCensus{};
  lock_task(l_favt64_lock);
  uint64_t size = static_cast<uint64_t>(pdb64_file_size(p));
  uint64_t at = 0;
  bool whole = file_header_sound(p);
  while (whole && at < size) {
    PN64_HEADER* h = get_file_record64(&at, p, 0, 16);
    if (!h) {
      whole = false;
      break;
    }
    uint16_t type = swap_if16(h->type);
    uint64_t m = swap_if64(h->size);
    d_f_ree(h);
    ++c->count[type];
    at += pn64_disk_size(m);
  }
  unlock_task(l_favt64_lock, "mx_record_census");
  whole = whole && at == size && c->count[kPn64FileHeaderType] == 1;
  return whole ? 0 : -1;
}

bool mx_file_is_new(PDB64* p) {
  MxCensus c;
  if (mx_record_census(p, &c) != 0 || c.count[kPn64FreeListType] != 1) return false;
  for (auto [type, n] : c.count)
    if (type != kPn64FileHeaderType && type != kPn64FreeListType && type != kPn64FreeSegType) return false;
  return true;
}

// ---------------------------------------------------------------------------
// Validation

namespace {

struct TreeKeys {
  const MATRIX* m;
  std::vector<std::vector<uint8_t>> keys;
  bool bad = false;
};

// Collects the keys in order (store lock held: nothing here calls back).
int collect_key(FAVT64_NODE* n, void* work) {
  auto* t = static_cast<TreeKeys*>(work);
  if (mx_dim_code_key_check(&t->m->geometry, n->data, n->data_len) != 0) {
    t->bad = true;
    return 1;
  }
  const auto* b = static_cast<const uint8_t*>(n->data);
  t->keys.emplace_back(b, b + n->data_len);
  return 0;
}

class Validator {
 public:
  Validator(PDB64* p, std::string* why, int64_t* at) : p_(p), why_(why), at_(at) {}

  int run() {
    if (mx_record_census(p_, &census_) != 0) return fail("records that do not follow each other", 0);
    if (census_.count[kMxHeaderType] != 1) return fail("not one matrix header", 0);
    MxRecord hrec;
    int64_t header_fofs = 0;
    PN64_MX_HEADER h{};
    if (mx_find_header(p_, &header_fofs, &h, &hrec) != 0) return fail("no matrix header that decodes", header_fofs);
    if (mx_apply_header(&s_.m, h) != 0) return fail("header outside the limits", header_fofs);
    m_ = &s_.m;
    for (int c = 0; c < h.channel_nos; ++c) {
      _PN64_MX_CHANNEL_INFO ci = mx_header_channel(&h, c);
      if (ci.default_data_fofs && mx_record_size(p_, ci.default_data_fofs, kMxData1Type) < 24)
        return fail("default datum", ci.default_data_fofs);
      channel_types_.push_back(get_matrix_data_type(ci.data_type));
    }
    MxRecord srec;
    sub_fofs_ = h.subheader_fofs;
    if (mx_read_record(p_, sub_fofs_, kMxSubheaderType, kMxSubheaderBody, kMxSubheaderBody, &srec) != 0 ||
        mx_subheader_decode(srec.body(), &sub_) != 0)
      return fail("subheader", sub_fofs_);
    for (auto& mode : sub_.mode_cal_fofs)
      for (int64_t at : mode)
        if (at && mx_record_size(p_, at, kMxCalType) < 0) return fail("script", at);
    if (int r = tree()) return r;
    for (size_t i = 0; i < keys_.size(); ++i)
      if (int r = node(keys_[i])) return r;
    return ring();
  }

 private:
  int fail(const char* what, int64_t at) {
    if (why_) *why_ = what;
    if (at_) *at_ = at;
    return -1;
  }

  int tree() {
    int err = 0;
    FAVT64_ROOT* root = l_get_root64(&err, p_, static_cast<uint64_t>(sub_.node_root), mx_dim_code_endian);
    if (!root || root->type != kMxDimCodeKeyType) {
      if (root) l_favt64_release(root);
      return fail("node tree root", sub_.node_root);
    }
    root->key_check = check_key_w;
    root->key_check_w = &m_->geometry;
    TreeKeys t{m_, {}, false};
    FAVT64_NODE* top = l_root_node64(&err, root);
    int walked = top ? l_favt64_trace_from_small(&err, root, top, collect_key, &t) : 0;
    bool broken = (!top && err != 0 && err != kFavtNotFound) || walked != 0 || t.bad;
    if (top) l_favt64_release(top);
    l_favt64_release(root);
    if (broken) return fail("node tree", sub_.node_root);
    for (size_t i = 0; i < t.keys.size(); ++i) {
      auto* k = reinterpret_cast<MX_DIM_CODE*>(t.keys[i].data());
      if (i > 0 && mx_dim_code_cmp(t.keys[i - 1].data(), k, m_) != -1) return fail("node tree order", 0);
      int64_t fofs = 0;
      std::memcpy(&fofs, t.keys[i].data(), 8);  // host order in memory
      keys_.push_back(Key{fofs, t.keys[i]});
      if (!node_fofs_.insert(fofs).second) return fail("node named twice", fofs);
    }
    return 0;
  }

  struct Key {
    int64_t fofs;
    std::vector<uint8_t> bytes;
  };

  int node(const Key& k) {
    MxRecord rec;
    PN64_MX_NODE n{};
    if (mx_read_record(p_, k.fofs, kMxNodeType, 8, -1, &rec) != 0 ||
        mx_node_decode(rec.body(), &m_->geometry, m_->p.flags, m_->dim_bit_field, &n) != 0)
      return fail("node record", k.fofs);
    MxKey mine = mx_key_of(m_, k.fofs, n.dim_code);
    std::vector<uint8_t> kb = k.bytes;
    if (mx_dim_code_cmp(kb.data(), &mine.k, m_) != 0) return fail("node record of another code", k.fofs);
    // The channel chain: ascending channels, each a channel-data record.
    int last = -1;
    for (int64_t at = n.channel_fofs; at;) {
      PN64_MX_DATA_2 d2;
      if (channel_head(at, &d2) != 0 || d2.id <= last || d2.id >= m_->p.channel_nos ||
          !channel_types_[static_cast<size_t>(d2.id)])
        return fail("channel chain", at);
      last = d2.id;
      at = d2.next_fofs;
    }
    if (n.nlist_dim_addr) {
      MxRecord a;
      if (mx_read_record(p_, n.nlist_dim_addr, kMxDimAddrType, kMxMinFilledBody, -1, &a) != 0)
        return fail("child list", n.nlist_dim_addr);
      size_t pos = 0;
      int64_t dc[1 + kMxMaxDim];
      int step;
      while ((step = mx_dim_addr_next(&m_->geometry, a.body(), &pos, dc)) == 1) {
      }
      std::span<const uint8_t> fill = a.body().subspan(std::min(pos, a.body().size()));
      if (step < 0 || std::any_of(fill.begin(), fill.end(), [](uint8_t c) { return c != kMxListFill; }))
        return fail("child list", n.nlist_dim_addr);
    }
    if (m_->p.flags & kMxCacheFile) {
      PN64_MX_CACHE_RING r{};
      MxRecord rr;
      if (mx_read_record(p_, n.ring_fofs, kMxCacheRingType, kMxCacheRingBody, kMxCacheRingBody, &rr) != 0 ||
          mx_cache_ring_decode(rr.body(), &r) != 0 || r.node != k.fofs)
        return fail("ring entry of a node", n.ring_fofs);
    }
    return 0;
  }

  // The head of the channel-data record at fofs (its datum is not read:
  // a file's data would be read whole otherwise).
  int channel_head(int64_t fofs, PN64_MX_DATA_2* d2) {
    if (fofs <= 0) return -1;
    auto at = static_cast<uint64_t>(fofs);
    lock_task(l_favt64_lock);
    PN64_HEADER* h = get_file_record64(&at, p_, 0, 16 + kMxData2Head);
    unlock_task(l_favt64_lock, "channel_head");
    if (!h) return -1;
    bool ok = swap_if16(h->type) == kMxData2Type && swap_if64(h->size) >= 16 + kMxData2Head &&
              mx_data_2_decode({reinterpret_cast<const uint8_t*>(h) + 16, kMxData2Head}, d2) == 0;
    d_f_ree(h);
    return ok ? 0 : -1;
  }

  int ring() {
    bool on = (m_->p.flags & kMxCacheFile) != 0;
    int64_t anchor = sub_fofs_;
    if (!on && (sub_.cache_count != 0 || sub_.cache_next != anchor || sub_.cache_prev != anchor))
      return fail("ring of a matrix without one", anchor);
    if (sub_.cache_count < 0 || static_cast<size_t>(sub_.cache_count) != (on ? keys_.size() : 0))
      return fail("ring count", anchor);
    int64_t prev = anchor;
    int64_t at = sub_.cache_next;
    std::set<int64_t> seen;
    for (int32_t i = 0; i < sub_.cache_count; ++i) {
      PN64_MX_CACHE_RING r{};
      MxRecord rr;
      if (at == anchor || mx_read_record(p_, at, kMxCacheRingType, kMxCacheRingBody, kMxCacheRingBody, &rr) != 0 ||
          mx_cache_ring_decode(rr.body(), &r) != 0 || r.prev != prev || !node_fofs_.count(r.node) ||
          !seen.insert(r.node).second)
        return fail("ring link", at);
      prev = at;
      at = r.next;
    }
    if (at != anchor || sub_.cache_prev != prev) return fail("ring end", prev);
    return 0;
  }

  static int check_key_w(const void* key, int64_t len, const void* g) {
    return mx_dim_code_key_check(static_cast<const MATRIX_GEOMETRY*>(g), key, len);
  }

  PDB64* p_;
  std::string* why_;
  int64_t* at_;
  MxCensus census_;
  MxScratchMatrix s_;
  MATRIX* m_ = nullptr;
  std::vector<MATRIX_DATA_TYPE*> channel_types_;
  PN64_MX_SUBHEADER sub_{};
  int64_t sub_fofs_ = 0;
  std::vector<Key> keys_;
  std::set<int64_t> node_fofs_;
};

}  // namespace

int mx_validate_file(PDB64* p, std::string* why, int64_t* at) { return Validator(p, why, at).run(); }

int mx_check_stale(const char* path) {
  // Judged as recovery will leave it (a whole journal laid over it, the
  // tail a crash left cut off), read in the cache only: the file itself
  // stays as it is when it fails.
  int res = 0;
  lock_task(l_favt64_lock);
  PDB64* p = open_filespace64(path, O_RDONLY, 0644, kPdb64WithFreeList | kPdb64SharedLock | kPdb64RecoverStale,
                              kMxFileType, "utf8", &res);
  unlock_task(l_favt64_lock, "mx_check_stale");
  int r = p ? mx_validate_file(p, nullptr, nullptr) : -1;
  if (p) l_close_filespace64(p);
  return r;
}
