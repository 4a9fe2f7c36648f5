// Nodes in the matrix file: channel chains, child lists, node records and
// the node tree, the stored-node ring, the standard hooks and the walks
// over the tree.
#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"
#include "base/signals.h"
#include "elements/pool.h"
#include "elements/stored.h"
#include "matrix/dim_code.h"
#include "matrix/matrix_impl.h"
#include "matrix/mx_file_impl.h"
#include "store/l_favt64.h"
#include "store/recordlist.h"
#include "stream/stream.h"
#include "text/convert.h"

namespace {

MX_FILE_WORK* work_of(const MATRIX* m) { return static_cast<MX_FILE_WORK*>(m->file_work); }

using Code = std::vector<int64_t>;

Code code_of(const MATRIX* m, const int64_t* dc) { return Code(dc, dc + 1 + m->p.dim); }

int read_ring(PDB64* p, int64_t at, PN64_MX_CACHE_RING* r) {
  MxRecord rec;
  if (mx_read_record(p, at, kMxCacheRingType, kMxCacheRingBody, kMxCacheRingBody, &rec) != 0) return -1;
  return mx_cache_ring_decode(rec.body(), r);
}

int write_ring(PDB64* p, int64_t at, const PN64_MX_CACHE_RING& r) {
  uint8_t rec[sizeof(PN64_MX_CACHE_RING)];
  if (mx_cache_ring_encode(rec, &r) < 0) return -1;
  return mx_write_record(p, at, rec);
}

// The access for a function that the caller may call with the access held.
struct Access {
  explicit Access(MATRIX* m) : m(m), r(start_file_access(m)) {}
  ~Access() {
    if (r == 0) finish_file_access(m, 0);
  }
  MATRIX* m;
  int r;
};

// The child codes of a 0x605 body; false when one is malformed.
bool read_children(const MATRIX* m, std::span<const uint8_t> body, std::vector<Code>* out) {
  size_t pos = 0;
  int64_t dc[1 + kMxMaxDim];
  for (;;) {
    int step = mx_dim_addr_next(&m->geometry, body, &pos, dc);
    if (step == 0) return true;
    if (step < 0) return false;
    out->push_back(code_of(m, dc));
  }
}

// One stored channel read back (not yet in the node).
struct Loaded {
  int id;
  void* data;
  int64_t fofs;
};

void free_loaded(MATRIX* m, std::vector<Loaded>& v) {
  for (Loaded& l : v) {
    MATRIX_DATA_TYPE* tp = m->channel_info[l.id].data_type;
    if (l.data && tp) tp->free_data(tp, l.data);
  }
  v.clear();
}

// The node of m in memory at dc: its file places are forgotten (its
// records left the file).
void forget_places(MATRIX* m, const int64_t* dc) {
  lock_task(matrix_lock);
  for (MATRIX_NODE* x = m->node_hash[_get_node_hash(m, dc)]; x; x = x->nh_next) {
    if (x->dim_code[0] != dc[0] || _cmp_dim_code(m, x->dim_code, dc) != 0) continue;
    x->fofs = x->ring_fofs = x->dim_addr_fofs = x->dim_addr_size = 0;
    for (int c = 0; x->channel && c < m->p.channel_nos; ++c) x->channel[c].data_fofs = 0;
  }
  unlock_task(matrix_lock, "mx_cache_purge");
}

int first_key(FAVT64_NODE* n, void* work) {
  auto* out = static_cast<std::vector<uint8_t>*>(work);
  const auto* b = static_cast<const uint8_t*>(n->data);
  out->assign(b, b + n->data_len);
  return 1;
}

// The decoded code of a stored key into dc; false when it does not decode.
bool key_code(const MATRIX* m, const void* key, int64_t len, int64_t* dc) {
  const auto* b = static_cast<const uint8_t*>(key);
  return len > 8 && mx_read_dim_code(&m->geometry, dc, b + 8, b + len) == b + len;
}

}  // namespace

// ---------------------------------------------------------------------------
// Records of one node

namespace {

// One buffer per saving task, kept from node to node, for the stored form
// of a vector datum: made in memory already in place, and still in the
// processor's cache when the system copies it to the file, so that the
// byte swap and the write are one pass over fresh bytes.
struct NetScratch {
  uint8_t* bytes = nullptr;
  size_t size = 0;
  ~NetScratch() { d_f_ree(bytes); }
  uint8_t* at_least(size_t n) {
    if (n > size) {
      d_f_ree(bytes);
      bytes = static_cast<uint8_t*>(d_alloc(n));
      size = n;
    }
    return bytes;
  }
};

}  // namespace

int64_t save_matrix_data_2(MATRIX* m, int64_t fofs, const void* target, int64_t next_fofs, int id,
                           MATRIX_DATA_TYPE* tp) {
  if (!tp || !tp->convert_to_net) return -1;
  Access a(m);
  if (a.r) return -1;
  RECORD_LIST64* rl = new_recordlist64(kMxData2Type, 16 + kMxData2Head);
  auto* b = static_cast<uint8_t*>(rl->data) + 16;
  store_be64(b, static_cast<uint64_t>(next_fofs));
  store_be32(b + 8, static_cast<uint32_t>(id));
  int64_t at = -1;
  // The stored form goes to the file in its pieces, not joined first: for
  // a node's vector that is one copy less of the whole node.
  iovec body[kFacMaxPieces - 1];
  size_t n = 0;
  uint64_t size = 16 + kMxData2Head;
  static thread_local NetScratch scratch;
  if (const int64_t net = mxt_vector_net_size(tp, target); net > 0) {
    uint8_t* out = scratch.at_least(static_cast<size_t>(net));
    if (mxt_vector_to_net_into(tp, target, out) == 0) {
      body[n++] = iovec{b, kMxData2Head};
      body[n++] = iovec{out, static_cast<size_t>(net)};
      size += static_cast<uint64_t>(net);
    }
  } else if (tp->convert_to_net(tp, rl, target) == 0) {
    size_t pieces = 0;
    for (const CHAIN_LIST64* c = rl->chain_head; c; c = c->next)
      pieces += c->len > 0 ? 1 : c->len < 0 ? std::size(body) : 0;  // a bad length fails the join below
    if (pieces < std::size(body)) {
      body[n++] = iovec{b, kMxData2Head};
      for (const CHAIN_LIST64* c = rl->chain_head; c; c = c->next)
        if (c->len > 0) {
          body[n++] = iovec{c->ptr, static_cast<size_t>(c->len)};
          size += static_cast<uint64_t>(c->len);
        }
    } else if (setup_recordlist64(rl) >= 0) {
      size = rl->header.size;
      body[n++] = iovec{static_cast<uint8_t*>(rl->data) + 16, static_cast<size_t>(size - 16)};
    }
  }
  if (n > 0) {
    auto* h = static_cast<PN64_HEADER*>(rl->data);
    h->size = size;
    change_endian_header64(h);
    at = mx_put_record_pieces(work_of(m)->pdb_fd, fofs, h, std::span<const iovec>(body, n));
  }
  free_recordlist64(rl);
  // A node's data are written once and then left alone: their way to the
  // disk starts now, beside the work still to come, instead of all at the
  // sync of the close. A refusal leaves it to that sync, which is checked.
  if (at > 0 && size >= kMxNodeBlockMin) l_start_writeback64(work_of(m)->pdb_fd, static_cast<uint64_t>(at), size);
  return at;
}

int load_raw_matrix_node(PN64_MX_NODE* ret, PN64_HEADER** org, int64_t* dim_code, uint8_t* bit_field, MATRIX* m,
                         int64_t fofs) {
  Access a(m);
  PDB64* p = a.r ? nullptr : work_of(m)->pdb_fd;
  MxRecord rec;
  if (!p || mx_read_record(p, fofs, kMxNodeType, 8, -1, &rec) != 0) {
    PN64_HEADER* h = p && fofs > 0 ? l_read_filespace64f_header(p, static_cast<uint64_t>(fofs)) : nullptr;
    int type = h ? swap_if16(h->type) : -1;
    if (h) d_f_ree(h);
    if (mx_trace()) {
      if (type >= 0 && type != kMxNodeType) ss_printf("load_raw_matrix_node2 = %i\n", type);
      else ss_printf("load_raw_matrix_node1\n");
    }
    return type >= 0 && type != kMxNodeType ? -2 : -1;
  }
  PN64_MX_NODE n{};
  if (mx_node_decode(rec.body(), &m->geometry, m->p.flags, m->dim_bit_field, &n) != 0) return kMxInvalidFile;
  *ret = n;
  ret->bit_field = nullptr;
  if (dim_code) std::memcpy(dim_code, n.dim_code, sizeof(int64_t) * (1 + m->p.dim));
  if (bit_field && m->dim_bit_field > 0) std::memcpy(bit_field, n.bit_field, static_cast<size_t>(m->dim_bit_field));
  if (org) {
    *org = rec.h;
    rec.h = nullptr;
  }
  return 0;
}

int load_matrix_dim_addr(MATRIX_NODE* n, int64_t addr_fofs) {
  MATRIX* m = n->matrix;
  Access a(m);
  if (a.r) return -1;
  MxRecord rec;
  std::vector<Code> kids;
  if (mx_read_record(work_of(m)->pdb_fd, addr_fofs, kMxDimAddrType, kMxMinFilledBody, -1, &rec) != 0 ||
      !read_children(m, rec.body(), &kids))
    return -1;
  lock_task(matrix_lock);
  for (Code& c : kids) _insert_dim_code_index(n, c.data(), 0);
  n->dim_addr_fofs = addr_fofs;
  n->dim_addr_size = static_cast<int64_t>(swap_if64(rec.h->size));
  unlock_task(matrix_lock, "load_matrix_dim_addr");
  return 0;
}

// ---------------------------------------------------------------------------
// Saving and loading nodes

namespace {

// What a save reads of the matrix and the node under matrix_lock: the
// matrix's kind, the node's code, child list and the offsets of its
// records (0: none yet).
struct SavedNode {
  int dim = 0, flags = 0, dbf = 0, nos = 0;
  Code dc;
  std::vector<uint8_t> bits;   // the bit-field child list (dim_bit_field > 0)
  std::vector<Code> kid_codes;  // the array child list (dim_bit_field 0)
  int64_t fofs = 0, ring = 0, addr = 0;
  bool stored = false;  // the channel data are what their records hold
};

SavedNode _saved_node(MATRIX* m, MATRIX_NODE* n) {
  assert_lock_held(matrix_lock);
  SavedNode v;
  v.dim = m->p.dim;
  v.flags = m->p.flags;
  v.dbf = m->dim_bit_field;
  v.nos = m->p.channel_nos;
  v.dc = code_of(m, n->dim_code);
  v.bits.assign(static_cast<size_t>(v.dbf), 0);
  if (v.dbf > 0 && n->nlist_dim_bit_field)
    std::memcpy(v.bits.data(), n->nlist_dim_bit_field, static_cast<size_t>(std::min(v.dbf, n->nlist_dim_bit_field_len)));
  if (v.dbf == 0)
    for (int i = 0; i < n->nlist_dim_addr_len; ++i) v.kid_codes.push_back(code_of(m, n->nlist_dim_addr[i]));
  v.fofs = n->fofs;
  v.ring = n->ring_fofs;
  v.addr = n->dim_addr_fofs;
  v.stored = n->data_stored;
  return v;
}

// The head of the node's channel chain as it is stored, when writing it
// again would write the same bytes: the data are what their records hold,
// every datum a save writes has its record and no other channel has one.
// 0 otherwise (the chain is written).
int64_t stored_chain(MATRIX* m, const MATRIX_NODE* n, const SavedNode& v) {
  if (!v.stored) return 0;
  int64_t first = 0;
  for (int ch = 0; ch < v.nos; ++ch) {
    const MATRIX_CHANNEL& c = n->channel[ch];
    const bool saved = datum_kept_in_file(m->channel_info[ch], c);
    if (saved != (c.data_fofs != 0)) return 0;
    if (saved && !first) first = c.data_fofs;
  }
  return first;
}

// The channel records, highest first, so the chain starts at the lowest:
// the offset of the first (0: none), or -1.
int64_t save_node_channels(MATRIX* m, MATRIX_NODE* n, const SavedNode& v) {
  int64_t next = 0;
  for (int ch = v.nos - 1; ch >= 0; --ch) {
    const MATRIX_CHANNEL_INFO& inf = m->channel_info[ch];
    MATRIX_CHANNEL& c = n->channel[ch];
    if (!datum_kept_in_file(inf, c)) continue;
    int64_t at = save_matrix_data_2(m, c.data_fofs, c.data, next, ch, inf.data_type);
    if (at < 0) return -1;
    c.data_fofs = at;
    next = at;
  }
  return next;
}

// The node's entry on the stored-node ring of a cache file, made at its
// first save (*ring 0): 0, or the failure.
int save_node_ring(MATRIX* m, MATRIX_NODE* n, const SavedNode& v, int64_t* ring) {
  if (!(v.flags & kMxCacheFile) || *ring != 0) return 0;
  PN64_MX_CACHE_RING r{{}, v.fofs, 0, 0};
  uint8_t rec[sizeof r];
  mx_cache_ring_encode(rec, &r);
  *ring = mx_new_record(work_of(m)->pdb_fd, rec);
  if (*ring < 0) return -1;
  lock_task(matrix_lock);
  n->ring_fofs = *ring;
  unlock_task(matrix_lock, "save_matrix_node");
  return insert_mx_cache_ring(m, *ring);
}

// The array child list written over its record at addr (0: a new one): its
// offset, or -1; *size the record's size.
int64_t save_node_children(MATRIX* m, const SavedNode& v, int64_t addr, int64_t* size) {
  const int dim = v.dim;
  std::vector<const int64_t*> kids;
  for (const Code& c : v.kid_codes) kids.push_back(c.data());
  int64_t code_bytes = 0;
  uint8_t scratch[kMxDimCodeMaxBytes];
  for (const int64_t* k : kids) code_bytes += get_compressed_dim_code(scratch, k, dim) - scratch;
  std::vector<uint8_t> rec(static_cast<size_t>(mx_dim_addr_size(code_bytes)));
  *size = mx_dim_addr_encode(rec, kids.data(), static_cast<int>(kids.size()), dim);
  return *size > 0 ? mx_put_record(work_of(m)->pdb_fd, addr, rec) : -1;
}

// A new node's key put into the node tree: 0, or the failure.
int insert_node_key(MATRIX* m, MxKey& key, int64_t fofs) {
  MX_FILE_WORK* w = work_of(m);
  key.k.fofs = fofs;
  int err = 0;
  FAVT64_ROOT* root = mx_node_root(m, w, &err);
  if (!root) return mx_file_fault(m, "node tree", w->subheader.node_root);
  FAVT64_NODE* t = l_favt64_alloc_node(root, &key.k, key.len);
  if (!t) {
    l_favt64_release(root);
    w->favt64_err = -1;
    return -1;
  }
  FAVT64_NODE* got = l_favt64_insert(&err, root, &root->node, t, mx_dim_code_cmp, m);
  l_favt64_release(root);
  if (got) l_favt64_release(got);  // the insert's own pin
  if (got != t) {
    l_favt64_free_node(t);
    return mx_file_fault(m, "node tree insert", fofs);
  }
  l_favt64_release(t);
  return 0;
}

// The node record: a new one (*fofs 0) with its ring entry tied to it and
// its key in the tree, or written over the old one of the same size. 0,
// or the failure.
int save_node_record(MATRIX* m, const SavedNode& v, const PN64_MX_NODE& nr, MxKey& key, int64_t* fofs) {
  const int dim = v.dim, flags = v.flags, dbf = v.dbf;
  PDB64* p = work_of(m)->pdb_fd;
  std::vector<uint8_t> rec(static_cast<size_t>(mx_node_size(flags, dbf, nr.dim_code, dim)));
  if (mx_node_encode(rec, flags, dbf, &nr, dim, v.bits.data()) < 0) return -1;
  if (*fofs != 0) {
    if (mx_record_size(p, *fofs, kMxNodeType) != static_cast<int64_t>(rec.size()))
      return mx_file_fault(m, "node record of another size", *fofs);
    return mx_write_record(p, *fofs, rec) != 0 ? -1 : 0;
  }
  *fofs = mx_new_record(p, rec);
  if (*fofs < 0) return -1;
  if (nr.ring_fofs && setup_mx_cache_ring(m, nr.ring_fofs, *fofs) != 0) return kMxInvalidFile;
  return insert_node_key(m, key, *fofs);
}

}  // namespace

int save_matrix_node(MATRIX_NODE* n) {
  MATRIX* m = n->matrix;
  Access a(m);
  if (a.r) return a.r;
  MX_FILE_WORK* w = work_of(m);
  // Steady while the access is held: only an opening changes them.
  const uint32_t gen = m->file_gen.load(std::memory_order_acquire);
  const uint32_t handovers = m->file_handovers.load(std::memory_order_acquire);
  lock_task(matrix_lock);
  // Changes made to data read before another process wrote the file would
  // undo what that process wrote: they are refused for good, said and
  // counted lost once, and the node no longer waits for a save.
  if (n->file_gen != gen) {
    _give_up_save(n, "changed here after another process wrote the file");
    unlock_task(matrix_lock, "save_matrix_node");
    return kMxNoAccess;
  }
  // What the node holds now (its data are the caller's under the channel lock).
  SavedNode v = _saved_node(m, n);
  _mx_node_channels(n);
  unlock_task(matrix_lock, "save_matrix_node");

  MxKey key = mx_key_of(m, 0, v.dc.data());
  if (v.fofs == 0) {
    // A node the tree holds already is not stored twice.
    int64_t there = 0;
    int found = mx_tree_find(m, w, &key, &there);
    if (found != 0) return mx_file_fault(m, found > 0 ? "node stored twice" : "node tree", there);
  }
  // A node saved or loaded and not changed since is not written again:
  // only its node record is.
  int64_t first = stored_chain(m, n, v);
  if (!first) first = save_node_channels(m, n, v);
  if (first < 0) return -1;
  int64_t ring = v.ring, addr = v.addr, fofs = v.fofs;
  if (int r = save_node_ring(m, n, v, &ring)) return r;
  int64_t addr_size = 0;
  if (v.dbf == 0) {
    addr = save_node_children(m, v, addr, &addr_size);
    if (addr < 0) return -1;
  }
  PN64_MX_NODE nr{};
  nr.channel_fofs = first;
  nr.ring_fofs = ring;
  nr.nlist_dim_addr = addr;
  std::memcpy(nr.dim_code, v.dc.data(), sizeof(int64_t) * v.dc.size());
  if (int r = save_node_record(m, v, nr, key, &fofs)) return r;
  lock_task(matrix_lock);
  n->fofs = fofs;
  n->ring_fofs = ring;
  n->dim_addr_fofs = v.dbf == 0 ? addr : 0;
  n->dim_addr_size = addr_size > 0 ? addr_size : 0;
  n->data_stored = 1;  // the caller's channel lock kept the data as written
  n->file_gen = gen;
  n->file_handovers = handovers;
  wakeup_task(n);
  unlock_task(matrix_lock, "save_matrix_node");
  note_end_progress();  // a close that writes is never cut for want of progress
  // Between two saves the file holds together: room is made here.
  mx_write_back_if_pressed(m);
  return 0;
}

namespace {

// The array child list of a node at addr: false when it is damaged; *size
// the record's size.
bool load_node_children(MATRIX* m, int64_t addr, std::vector<Code>* kids, int64_t* size) {
  MxRecord rec;
  if (mx_read_record(work_of(m)->pdb_fd, addr, kMxDimAddrType, kMxMinFilledBody, -1, &rec) != 0 ||
      !read_children(m, rec.body(), kids))
    return false;
  *size = static_cast<int64_t>(swap_if64(rec.h->size));
  return true;
}

// The channel chain from `at`, each channel once and in rising order: 0,
// or the fault (nothing kept).
int load_node_channels(MATRIX* m, int64_t at, int nos, std::vector<Loaded>* loaded) {
  int last = -1;
  while (at) {
    int64_t nx = 0;
    int id = -1;
    void* d = load_matrix_data(&nx, &id, m, at, nullptr);
    if (!d || id <= last || id >= nos) {
      if (d) loaded->push_back({id, d, at});
      free_loaded(m, *loaded);
      return mx_file_fault(m, "channel record", at);
    }
    loaded->push_back({id, d, at});
    last = id;
    at = nx;
  }
  return 0;
}

// The node's ring entry of a cache file, checked against the node and
// moved to the ring's head: false when it is damaged.
bool load_node_ring(MATRIX* m, int64_t ring, int64_t fofs) {
  if (!(m->p.flags & kMxCacheFile)) return true;
  PN64_MX_CACHE_RING r{};
  return read_ring(work_of(m)->pdb_fd, ring, &r) == 0 && r.node == fofs && delete_mx_cache_ring(nullptr, m, ring) == 0 &&
         insert_mx_cache_ring(m, ring) == 0;
}

// Whether the child list of n (matrix_lock) names a child that the stored
// bits or kids do not: what was entered while it loaded is then a change.
bool kids_beyond_stored(const MATRIX_NODE* n, const std::vector<uint8_t>& bits, const std::vector<Code>& kids) {
  const MATRIX* m = n->matrix;
  for (int i = 0; n->nlist_dim_bit_field && i < n->nlist_dim_bit_field_len; ++i)
    if (n->nlist_dim_bit_field[i] & ~(static_cast<size_t>(i) < bits.size() ? bits[static_cast<size_t>(i)] : 0)) return true;
  for (int i = 0; i < n->nlist_dim_addr_len; ++i) {
    const int64_t* c = n->nlist_dim_addr[i];
    auto same = [m, c](const Code& k) { return std::equal(k.begin(), k.end(), c, c + 1 + m->p.dim); };
    if (std::none_of(kids.begin(), kids.end(), same)) return true;
  }
  return false;
}

// The cause of a failed access for a node load: a reader's file that changed
// since it was first read is told apart from one busy now, which may be
// read later.
int access_fault(MATRIX* m, int r) { return r == kMxFileBusy && mx_file_changed(m) ? kMxNoAccess : r; }

// The file's generation a load read: what the node's data are worth.
struct LoadedAt {
  uint32_t gen = 0, handovers = 0;
  bool known = false;
};

int load_node(MATRIX_NODE* n, LoadedAt* at) {
  MATRIX* m = n->matrix;
  Access a(m);
  if (a.r) return access_fault(m, a.r);
  at->gen = m->file_gen.load(std::memory_order_acquire);
  at->handovers = m->file_handovers.load(std::memory_order_acquire);
  at->known = true;
  MX_FILE_WORK* w = work_of(m);
  lock_task(matrix_lock);
  Code dc = code_of(m, n->dim_code);
  const int dbf = m->dim_bit_field, nos = m->p.channel_nos;
  unlock_task(matrix_lock, "load_matrix_node");
  MxKey key = mx_key_of(m, 0, dc.data());
  int64_t fofs = 0;
  int found = mx_tree_find(m, w, &key, &fofs);
  if (found < 0) return mx_file_fault(m, "node tree", w->subheader.node_root);
  if (found == 0) return kMxNotStored;
  PN64_MX_NODE raw{};
  Code stored(dc.size());
  std::vector<uint8_t> bits(static_cast<size_t>(dbf));
  if (load_raw_matrix_node(&raw, nullptr, stored.data(), bits.data(), m, fofs) != 0)
    return mx_file_fault(m, "node record", fofs);
  if (stored[0] != dc[0] || cmp_dim_code(m, stored.data(), dc.data()) != 0)
    return mx_file_fault(m, "node record of another code", fofs);
  // Everything is read and checked before the node or the file changes.
  std::vector<Code> kids;
  int64_t addr_size = 0;
  if (dbf == 0 && raw.nlist_dim_addr && !load_node_children(m, raw.nlist_dim_addr, &kids, &addr_size))
    return mx_file_fault(m, "child list", raw.nlist_dim_addr);
  std::vector<Loaded> loaded;
  if (int r = load_node_channels(m, raw.channel_fofs, nos, &loaded)) return r;
  if (!load_node_ring(m, raw.ring_fofs, fofs)) {
    free_loaded(m, loaded);
    return mx_file_fault(m, "ring entry", raw.ring_fofs);
  }
  lock_task(matrix_lock);
  _matrix_node_channel_lock(n);
  _mx_node_channels(n);
  const bool entered = n->kids_entered && kids_beyond_stored(n, bits, kids);
  n->kids_entered = 0;
  for (Loaded& l : loaded) {
    MATRIX_CHANNEL& c = n->channel[l.id];
    MATRIX_DATA_TYPE* tp = m->channel_info[l.id].data_type;
    if (c.data) tp->free_data(tp, c.data);
    c.data = l.data;
    c.data_fofs = l.fofs;
  }
  if (dbf > 0) _vecset_dim_code_index(n, bits.data(), 0);
  for (Code& k : kids) _insert_dim_code_index(n, k.data(), 0);
  n->fofs = fofs;
  n->ring_fofs = raw.ring_fofs;
  n->dim_addr_fofs = raw.nlist_dim_addr;
  n->dim_addr_size = addr_size;
  n->data_stored = 1;
  if (entered) _set_dirty_file(n);
  _mx_node_loaded(n);
  _matrix_node_channel_unlock(n, 0);
  unlock_task(matrix_lock, "load_matrix_node");
  return 0;
}

}  // namespace

int load_matrix_node(MATRIX_NODE* n) {
  LoadedAt at;
  int r = load_node(n, &at);
  lock_task(matrix_lock);
  if (at.known && (r == 0 || r == kMxNotStored)) {
    n->file_gen = at.gen;
    n->file_handovers = at.handovers;
  }
  n->load_fault = mx_is_load_fault(r) ? r : 0;
  // Children entered into a node the file does not hold are new to it:
  // its fetch writes them when it makes the node. One it cannot make loses
  // nothing yet: a child with data saved under it makes it one to make
  // again, and closing then says that it could not be (level_rebuild.cc);
  // a child of no data is the defaults to it, as one the file does not
  // hold. A node that could not be read keeps them for a later load to
  // compare.
  if (r != 0 && !n->load_fault) n->kids_entered = 0;
  unlock_task(matrix_lock, "load_matrix_node");
  return r;
}

// ---------------------------------------------------------------------------
// The stored-node ring

namespace {

// An entry of the ring as its insert and delete read it: the file, the
// subheader whose offset anchors the ring, and the entry itself.
struct RingEntry {
  MX_FILE_WORK* w = nullptr;
  PDB64* p = nullptr;
  int64_t anchor = 0;
  PN64_MX_CACHE_RING c{};
};

// Entry cr of m's file (the caller holds the access): 0, or the fault.
int read_ring_entry(MATRIX* m, int64_t cr, RingEntry* e) {
  e->w = work_of(m);
  e->p = e->w->pdb_fd;
  e->anchor = e->w->subheader_fofs;
  return read_ring(e->p, cr, &e->c) != 0 ? mx_file_fault(m, "ring entry", cr) : 0;
}

}  // namespace

int insert_mx_cache_ring(MATRIX* m, int64_t cr) {
  Access a(m);
  if (a.r) return a.r;
  RingEntry e;
  if (int r = read_ring_entry(m, cr, &e)) return r;
  MX_FILE_WORK* w = e.w;
  PDB64* p = e.p;
  PN64_MX_SUBHEADER& s = w->subheader;
  const int64_t anchor = e.anchor;
  PN64_MX_CACHE_RING& c = e.c;
  c.prev = anchor;
  if (s.cache_next == anchor) {
    c.next = anchor;
    s.cache_prev = cr;
  } else {
    PN64_MX_CACHE_RING old{};
    if (read_ring(p, s.cache_next, &old) != 0) return mx_file_fault(m, "ring entry", s.cache_next);
    old.prev = cr;
    if (write_ring(p, s.cache_next, old) != 0) return -1;
    c.next = s.cache_next;
  }
  s.cache_next = cr;
  ++s.cache_count;
  if (mx_write_subheader(w) != 0 || write_ring(p, cr, c) != 0) return -1;
  while (s.cache_count > mx_cache_count_max && s.cache_prev != anchor && s.cache_prev != cr)
    if (int r = mx_cache_purge(m, s.cache_prev)) return r;
  return 0;
}

int delete_mx_cache_ring(PN64_MX_CACHE_RING* dr, MATRIX* m, int64_t cr) {
  Access a(m);
  if (a.r) return a.r;
  RingEntry e;
  if (int r = read_ring_entry(m, cr, &e)) return r;
  PDB64* p = e.p;
  PN64_MX_SUBHEADER& s = e.w->subheader;
  const int64_t anchor = e.anchor;
  const PN64_MX_CACHE_RING& c = e.c;
  PN64_MX_CACHE_RING prev{}, next{};
  if ((c.prev != anchor && read_ring(p, c.prev, &prev) != 0) || (c.next != anchor && read_ring(p, c.next, &next) != 0))
    return mx_file_fault(m, "ring link", cr);
  if (dr) *dr = c;
  if (c.prev == anchor) {
    s.cache_next = c.next;
  } else {
    prev.next = c.next;
    if (write_ring(p, c.prev, prev) != 0) return -1;
  }
  if (c.next == anchor) {
    s.cache_prev = c.prev;
  } else {
    next.prev = c.prev;
    if (write_ring(p, c.next, next) != 0) return -1;
  }
  --s.cache_count;
  return mx_write_subheader(e.w) != 0 ? -1 : 0;
}

int setup_mx_cache_ring(MATRIX* m, int64_t ring, int64_t node) {
  Access a(m);
  if (a.r) return a.r;
  PDB64* p = work_of(m)->pdb_fd;
  PN64_MX_CACHE_RING c{};
  if (read_ring(p, ring, &c) != 0) return mx_file_fault(m, "ring entry", ring);
  c.node = node;
  return write_ring(p, ring, c) != 0 ? -1 : 0;
}

int mx_cache_purge(MATRIX* m, int64_t cr) {
  Access a(m);
  if (a.r) return a.r;
  MX_FILE_WORK* w = work_of(m);
  PDB64* p = w->pdb_fd;
  // Everything the node has is found and checked first.
  PN64_MX_CACHE_RING c{};
  if (read_ring(p, cr, &c) != 0) return mx_file_fault(m, "ring entry", cr);
  PN64_MX_NODE raw{};
  Code dc(static_cast<size_t>(1 + m->p.dim));
  if (load_raw_matrix_node(&raw, nullptr, dc.data(), nullptr, m, c.node) != 0)
    return mx_file_fault(m, "node record of a ring entry", c.node);
  std::vector<int64_t> chain;
  int last = -1;
  for (int64_t at = raw.channel_fofs; at;) {
    MxRecord d;
    PN64_MX_DATA_2 d2;
    if (mx_read_record(p, at, kMxData2Type, kMxData2Head, -1, &d) != 0 || mx_data_2_decode(d.body(), &d2) != 0 ||
        d2.id <= last || d2.id >= m->p.channel_nos)
      return mx_file_fault(m, "channel record", at);
    chain.push_back(at);
    last = d2.id;
    at = d2.next_fofs;
  }
  if (raw.nlist_dim_addr && mx_record_size(p, raw.nlist_dim_addr, kMxDimAddrType) < 0)
    return mx_file_fault(m, "child list", raw.nlist_dim_addr);
  MxKey key = mx_key_of(m, 0, dc.data());
  int64_t there = 0;
  if (mx_tree_find(m, w, &key, &there) != 1 || there != c.node) return mx_file_fault(m, "tree entry of a node", c.node);

  if (int r = delete_mx_cache_ring(nullptr, m, cr)) return r;
  int err = 0;
  FAVT64_ROOT* root = mx_node_root(m, w, &err);
  FAVT64_NODE* t = root ? l_favt64_delete(&err, root, &root->node, &key.k, mx_dim_code_cmp, m) : nullptr;
  if (root) l_favt64_release(root);
  if (!t) return mx_file_fault(m, "tree entry of a node", c.node);
  l_favt64_free_node(t);
  l_free_filespace64(p, static_cast<uint64_t>(c.node));
  l_free_filespace64(p, static_cast<uint64_t>(cr));
  for (int64_t at : chain) l_free_filespace64(p, static_cast<uint64_t>(at));
  if (raw.nlist_dim_addr) l_free_filespace64(p, static_cast<uint64_t>(raw.nlist_dim_addr));
  forget_places(m, dc.data());
  return 0;
}

// ---------------------------------------------------------------------------
// Hooks

int matrix_standard_read_file(MATRIX_TOKEN* t, const L_CHAR*) { return load_matrix_node(t->process_node); }

int matrix_standard_write_file(MATRIX_TOKEN* t) {
  MATRIX_NODE* n = t->process_node;
  matrix_node_channel_lock(n);
  int r = save_matrix_node(n);
  lock_task(matrix_lock);
  // The save mark goes while the channel lock still keeps changes out: a
  // change made after the data were read marks the node again.
  if (r == 0) {
    _unlock_save(n);
    _note_node_saved(n);
  } else {
    n->save_lock = 0;  // still dirty, unless refused for good: a failed save loses nothing
    wakeup_task(n);
    wakeup_task(n->matrix);
    _wake_close_key();
  }
  _matrix_node_channel_unlock(n, 0);
  unlock_task(matrix_lock, "matrix_standard_write_file");
  return r;
}

// ---------------------------------------------------------------------------
// Walks over the tree

// The access is given back while the saves run (they need it).
int mx_file_sync_in_access(MATRIX* m, bool rebuild, bool reopen) {
  const bool worker = matrix_on_worker();
  for (;;) {
    // Bottom-up as closing saves, each level once the finer one is saved.
    // The worker cannot wait for itself.
    lock_task(matrix_lock);
    if (worker) {
      _flush_all_dirty_file(m);
      unlock_task(matrix_lock, "mx_file_sync_create_node");
      return 0;
    }
    _flush_dirty_bottom_up(m, rebuild);
    const MATRIX_NODE* first = _first_dirty(m);
    const int64_t stale = _rebuild_level(m);
    // A dirty node coarser than a node to rebuild is saved after it: here
    // with rebuild, else by a scan's save scripts or the close.
    const bool dirty = first && (stale < 0 || first->dim_code[0] <= stale);
    const bool pending = rebuild && stale >= 0;
    // The saves fired are waited for together; a loading node only once
    // none is dirty, or while nodes to rebuild load.
    MATRIX_NODE* loading = !dirty || pending ? _first_loading(m) : nullptr;
    unlock_task(matrix_lock, "mx_file_sync_create_node");
    if (!dirty && !loading && !pending) return 0;
    // The saves need the file access while this waits.
    finish_file_access_with_wait(m, loading);
    if (dirty) {
      lock_task(matrix_lock);
      _wait_dirty_saved(m);
      unlock_task(matrix_lock, "mx_file_sync_create_node");
    }
    if (int r = reopen ? start_file_access(m) : mx_take_open_file_access(m)) return access_fault(m, r);
  }
}

int mx_file_sync_create_node(MATRIX* m, bool rebuild) {
  if (int r = start_file_access(m)) return access_fault(m, r);
  int r = mx_file_sync_in_access(m, rebuild, true);
  if (r == 0) finish_file_access(m, 0);
  return r;
}

int mx_scale_of_dim_code(int64_t* start, int64_t* last, MATRIX* m) {
  if (int r = start_file_access(m)) return access_fault(m, r);
  if (int r = mx_file_sync_in_access(m, false, true)) return r;
  int err = 0;
  MX_FILE_WORK* w = work_of(m);
  FAVT64_ROOT* root = mx_node_root(m, w, &err);
  std::vector<uint8_t> lo, hi;
  FAVT64_NODE* top = root ? l_root_node64(&err, root) : nullptr;
  if (top) {
    l_favt64_trace_from_small(&err, root, top, first_key, &lo);
    l_favt64_trace_from_large(&err, root, top, first_key, &hi);
    l_favt64_release(top);
  }
  if (root) l_favt64_release(root);
  const int fault = root ? 0 : mx_file_fault(m, "node tree", w->subheader.node_root);
  finish_file_access(m, 0);
  if (fault) return fault;
  if (lo.empty() || hi.empty()) return kMxNoneStored;
  if (!key_code(m, lo.data(), static_cast<int64_t>(lo.size()), start) ||
      !key_code(m, hi.data(), static_cast<int64_t>(hi.size()), last))
    return mx_file_fault(m, "node tree key", w->subheader.node_root);
  return 0;
}

MX_DIM_CODE_LIST* mx_search_level_node(MATRIX* m, const int64_t* last_dc, int limit, int* errp) {
  int r = start_file_access(m);
  r = r ? access_fault(m, r) : mx_file_sync_in_access(m, false, true);
  if (r) {
    *errp = r;
    return nullptr;
  }
  Code upper = code_of(m, last_dc);
  for (size_t d = 1; d < upper.size(); ++d) upper[d] = INT64_MAX;
  MxKey lo = mx_key_of(m, 0, last_dc), hi = mx_key_of(m, 0, upper.data());
  int err = 0;
  MX_FILE_WORK* w = work_of(m);
  FAVT64_ROOT* root = mx_node_root(m, w, &err);
  FAVT64_NODE* top = root ? l_root_node64(&err, root) : nullptr;
  BOUND64_LIST* found = top ? l_favt64_bound_search(&err, root, top, &lo.k, &hi.k, limit, mx_dim_code_cmp, m) : nullptr;
  if (top) l_favt64_release(top);
  if (root) l_favt64_release(root);
  finish_file_access(m, 0);
  MX_DIM_CODE_LIST* head = nullptr;
  MX_DIM_CODE_LIST** tail = &head;
  for (BOUND64_LIST* b = found; b; b = b->next) {
    auto* dc = static_cast<int64_t*>(d_alloc(sizeof(int64_t) * (1 + m->p.dim)));
    if (!key_code(m, b->data, b->data_len, dc)) {
      d_f_ree(dc);
      continue;
    }
    auto* e = static_cast<MX_DIM_CODE_LIST*>(d_alloc(sizeof(MX_DIM_CODE_LIST)));
    *e = MX_DIM_CODE_LIST{nullptr, dc};
    *tail = e;
    tail = &e->next;
  }
  lock_task(l_favt64_lock);
  free_bound_list64(found);
  unlock_task(l_favt64_lock, "mx_search_level_node");
  return head;
}
