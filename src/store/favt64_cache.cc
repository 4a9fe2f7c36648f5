// The tree node cache: loading, writing back, evicting and pinning tree
// records, and the index of cached roots.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "base/alloc.h"
#include "base/checked.h"
#include "base/endian.h"
#include "base/panic.h"
#include "store/favt64.h"
#include "store/pdb64_io_impl.h"

FAVT64_HEADER favt64_h{&favt64_h, &favt64_h, nullptr, 0, 0, 0, 0, nullptr, nullptr, 0};
int favt64_count = 0;
uint64_t favt64_walk_steps = 0;

namespace {

// ---- the index of cached roots

struct RootKey {
  PDB64* p;
  uint64_t fofs;
  bool operator==(const RootKey&) const = default;
};
struct RootKeyHash {
  size_t operator()(const RootKey& k) const {
    return std::hash<uint64_t>()(k.fofs * 0x9E3779B97F4A7C15ull ^ reinterpret_cast<uintptr_t>(k.p));
  }
};
// Cached roots by file and offset.
std::unordered_map<RootKey, FAVT64_ROOT*, RootKeyHash>* fr64_tree = nullptr;

auto& root_index() {
  if (!fr64_tree) fr64_tree = new std::unordered_map<RootKey, FAVT64_ROOT*, RootKeyHash>;
  return *fr64_tree;
}

// ---- the eviction list and the ring of cached records

// The eviction list (sentinel) and the use clock.
FAVT64_HEADER lru_h{nullptr, nullptr, nullptr, 0, 0, 0, 0, &lru_h, &lru_h, 0};
uint64_t use_clock = 0;

bool on_lru(const FAVT64_HEADER* h) { return h->lru_next != nullptr; }

// Set on a record used since it was put on the eviction list.
constexpr uint16_t kFavtUsedAgain = 0x8000;

void lru_unlink(FAVT64_HEADER* h) {
  if (!on_lru(h)) return;
  h->lru_prev->lru_next = h->lru_next;
  h->lru_next->lru_prev = h->lru_prev;
  h->lru_next = h->lru_prev = nullptr;
}

void lru_insert_after(FAVT64_HEADER* at, FAVT64_HEADER* h) {
  h->flags &= static_cast<uint16_t>(~kFavtUsedAgain);
  h->lru_prev = at;
  h->lru_next = at->lru_next;
  at->lru_next->lru_prev = h;
  at->lru_next = h;
}

// How far a record is walked along the list to find its place by use
// stamp; past that it goes where the walk stopped (only the order of
// eviction suffers, never correctness).
constexpr int kLruPlaceSteps = 16;

// Puts h on the eviction list in order of use. A record that has just
// become free to leave was mostly used either a moment ago (unpinned after
// an operation: near the front) or long ago (a parent whose last cached
// child left, used just before that child: near the back), so the walk
// starts from the nearer end.
void lru_place(FAVT64_HEADER* h) {
  if (on_lru(h)) return;
  FAVT64_HEADER* front = lru_h.lru_next;
  if (front == &lru_h || h->used >= front->used) {
    lru_insert_after(&lru_h, h);
    return;
  }
  FAVT64_HEADER* back = lru_h.lru_prev;
  FAVT64_HEADER* at;
  if (use_clock - h->used < h->used - back->used) {
    at = front;
    for (int i = 0; i < kLruPlaceSteps && at->lru_next != &lru_h && at->lru_next->used > h->used; ++i)
      at = at->lru_next;
  } else {
    at = back;
    for (int i = 0; i < kLruPlaceSteps && at != &lru_h && at->used < h->used; ++i) at = at->lru_prev;
  }
  lru_insert_after(at, h);
}

// A use of a cached record. It is only marked: when it reaches the back of
// the eviction list it gets another round at the front instead of leaving,
// so a use does not touch the list.
void touch(FAVT64_HEADER* h) {
  h->used = ++use_clock;
  h->flags |= kFavtUsedAgain;
}

void ring_unlink(FAVT64_HEADER* h) {
  h->prev->next = h->next;
  h->next->prev = h->prev;
  h->next = h->prev = h;
  lru_unlink(h);
  --favt64_count;
}

void ring_push_front(FAVT64_HEADER* h) {
  h->next = favt64_h.next;
  h->prev = &favt64_h;
  favt64_h.next->prev = h;
  favt64_h.next = h;
  h->lru_next = h->lru_prev = nullptr;
  h->used = ++use_clock;
  ++favt64_count;
}

// ---- error results and byte order

void set_err(int* errp, int e) {
  if (errp) *errp = e;
}

void swap_at32(uint8_t* b) {
  uint32_t v;
  std::memcpy(&v, b, 4);
  v = swap_if32(v);
  std::memcpy(b, &v, 4);
}
void swap_at64(uint8_t* b) {
  uint64_t v;
  std::memcpy(&v, b, 8);
  v = swap_if64(v);
  std::memcpy(b, &v, 8);
}

// ---- what may leave, and the memory of records that left

bool has_cached_children(const FAVT64_HEADER* h) {
  if (h->type == kPn64AvtRootType) return reinterpret_cast<const FAVT64_ROOT*>(h)->node.ptr != nullptr;
  const auto* n = reinterpret_cast<const FAVT64_NODE*>(h);
  return n->small.ptr || n->large.ptr;
}

// A record may leave memory when nobody pins it, nothing of it is cached
// below it, and (for a node) it is linked into its tree: an unlinked node
// is known only to the caller that holds it.
bool evictable(const FAVT64_HEADER* h) {
  if (h->pins > 0 || has_cached_children(h)) return false;
  return h->type == kPn64AvtRootType || reinterpret_cast<const FAVT64_NODE*>(h)->parent != nullptr;
}

// Memory of records that left, kept for the next ones: a record usually
// comes in as another leaves, and the records of one tree are of one size.
struct SpareBlock {
  void* block;
  size_t size;
};
constexpr size_t kSpareBlocks = 64;

std::vector<SpareBlock>& spare_blocks() {
  static auto* spare = new std::vector<SpareBlock>;  // lives to the end
  return *spare;
}

void* alloc_memory(size_t size) {
  auto& spare = spare_blocks();
  // Only the last few are looked at: most often the one just given back.
  for (size_t i = spare.size(), seen = 0; i > 0 && seen < 4; --i, ++seen) {
    if (spare[i - 1].size == size) {
      void* b = spare[i - 1].block;
      spare[i - 1] = spare.back();
      spare.pop_back();
      return b;
    }
  }
  return d_alloc(size);
}

void free_memory(FAVT64_HEADER* h) {
  auto& spare = spare_blocks();
  if (spare.size() < kSpareBlocks) {
    spare.push_back(SpareBlock{h, d_alloc_size(h)});
    return;
  }
  d_f_ree(h);
}

// ---- leaving memory and writing back

// Takes an evictable record out of memory; its parent may now leave too.
void free_favt64_cache(FAVT64_HEADER* h) {
  ring_unlink(h);
  if (h->type == kPn64AvtRootType) {
    root_index().erase(RootKey{h->p, h->fofs});
  } else {
    auto* n = reinterpret_cast<FAVT64_NODE*>(h);
    if (FAVT64_PTR* up = n->parent) {
      up->ptr = nullptr;
      if (up->owner && evictable(up->owner)) lru_place(up->owner);
    }
  }
  free_memory(h);
}

// Writes h when it needs it and clears its dirty marks. 0, or -1.
int write_if_dirty(FAVT64_HEADER* h) {
  if (!check_dirty64(h, 0)) return 0;
  if (favt64_write(h) < 0) return -1;
  h->flags &= static_cast<uint16_t>(~kFavtDirty);
  if (h->type == kPn64AvtRootType) {
    reinterpret_cast<FAVT64_ROOT*>(h)->node.flags = 0;
  } else {
    auto* n = reinterpret_cast<FAVT64_NODE*>(h);
    n->small.flags = n->large.flags = 0;
  }
  return 0;
}

// Puts every record that may leave on the eviction list; false when there
// is none.
bool find_evictable() {
  bool any = false;
  for (FAVT64_HEADER* h = favt64_h.prev; h != &favt64_h; h = h->prev) {
    ++favt64_walk_steps;
    if (evictable(h)) {
      lru_place(h);
      any = true;
    }
  }
  return any;
}

// Writes every changed record (of p, or of every file when p is null), in
// ring order. 0, or -1 when some write failed.
int write_all_dirty(PDB64* p) {
  int rc = 0;
  for (FAVT64_HEADER* h = favt64_h.next; h != &favt64_h; h = h->next)
    if ((!p || h->p == p) && write_if_dirty(h) < 0) rc = -1;
  return rc;
}

// ---- loaders of the two record types

// Record header of a loaded record, with the record put at the ring front.
void load_header(FAVT64_HEADER* h, uint16_t type, uint64_t fofs, PDB64* p) {
  h->type = type;
  h->fofs = fofs;
  h->flags = 0;
  h->pins = 0;
  h->p = p;
  ring_push_front(h);
}

int favt64_load_root(FAVT64_LOAD_WORK* lw, PN64_HEADER* rec, PDB64* p, FAVT64_ROOT*) {
  if (rec->size != kFavtRootSize) return lw->err = kFavtCorrupt;
  const auto* b = reinterpret_cast<const uint8_t*>(rec);
  auto* r = static_cast<FAVT64_ROOT*>(alloc_memory(sizeof(FAVT64_ROOT)));
  std::memcpy(&r->type, b + 16, 4);
  r->endian_func = nullptr;
  r->node = FAVT64_PTR{0, kPn64AvtNodeType, nullptr, 0, &r->h};
  std::memcpy(&r->node.fofs, b + 20, 8);
  r->loose = 0;
  r->key_len = 0;
  r->key_check = nullptr;
  r->key_check_w = nullptr;
  load_header(&r->h, kPn64AvtRootType, lw->fofs, p);
  lw->ret = &r->h;
  return 0;
}

int favt64_load_node(FAVT64_LOAD_WORK* lw, PN64_HEADER* rec, PDB64* p, FAVT64_ROOT* rt) {
  if (!rt) return lw->err = kFavtBadArgument;
  if (rec->size < kFavtNodeFixed) return lw->err = kFavtCorrupt;
  const auto* b = reinterpret_cast<const uint8_t*>(rec);
  int64_t len = static_cast<int64_t>(rec->size - kFavtNodeFixed);
  // The key's layout and the height come from the file: a key its owner
  // cannot read, or a height no tree reaches, makes the node unusable.
  int32_t level;
  std::memcpy(&level, b + 32, 4);
  if ((rt->key_len && len != rt->key_len) || level < 1 || level > kFavtMaxDepth) return lw->err = kFavtCorrupt;
  auto* n = static_cast<FAVT64_NODE*>(alloc_memory(sizeof(FAVT64_NODE) + static_cast<size_t>(len)));
  n->small = FAVT64_PTR{0, kPn64AvtNodeType, nullptr, 0, &n->h};
  n->large = n->small;
  std::memcpy(&n->small.fofs, b + 16, 8);
  std::memcpy(&n->large.fofs, b + 24, 8);
  std::memcpy(&n->level, b + 32, 4);
  n->parent = lw->parent;
  n->root = rt;
  n->data_len = len;
  n->data = n + 1;
  std::memcpy(n->data, b + kFavtNodeFixed, static_cast<size_t>(len));
  if (rt->endian_func) rt->endian_func(n->data, len);
  if (rt->key_check && rt->key_check(n->data, len, rt->key_check_w) != 0) {
    free_memory(&n->h);
    return lw->err = kFavtCorrupt;
  }
  load_header(&n->h, kPn64AvtNodeType, lw->fofs, p);
  lw->ret = &n->h;
  return 0;
}

}  // namespace

// ---- the loader and converter tables, start-up

const FAVT64_LOADER favt64_func_table[3] = {nullptr, favt64_load_root, favt64_load_node};
const FAVT64_LOADER* const func_table64[2] = {nullptr, favt64_func_table};
const FAVT64_CONVERTER change_endian_favt64_table_to_host[3] = {nullptr, change_endian_favt64_root,
                                                                change_endian_favt64_node};

void change_endian_favt64_root(PN64_HEADER* rec) {
  change_endian_header64(rec);
  auto* b = reinterpret_cast<uint8_t*>(rec);
  swap_at32(b + 16);
  swap_at64(b + 20);
}

void change_endian_favt64_node(PN64_HEADER* rec) {
  change_endian_header64(rec);
  auto* b = reinterpret_cast<uint8_t*>(rec);
  swap_at64(b + 16);
  swap_at64(b + 24);
  swap_at32(b + 32);
}

void init_favt64() {
  while (favt64_h.next != &favt64_h) {
    FAVT64_HEADER* h = favt64_h.next;
    ring_unlink(h);
    free_memory(h);
  }
  favt64_count = 0;
  lru_h.lru_next = lru_h.lru_prev = &lru_h;
  root_index().clear();
  fac_init_general();
  set_pdb64_flush_hook(flush_favt64_cache);
  set_pdb64_drop_hook(drop_favt64_cache);
}

// ---- pins and writing one record

void favt64_lock(FAVT64_HEADER* h) {
  ++h->pins;
  h->flags |= kFavtLocked;
}

void favt64_unlock(FAVT64_HEADER* h) {
  if (h->pins <= 0) er_panic("favt64_unlock");
  if (--h->pins > 0) return;
  h->flags &= static_cast<uint16_t>(~kFavtLocked);
  if (!(h->flags & kFavtDead)) {
    if (evictable(h)) lru_place(h);
    return;
  }
  if (h->type == kPn64AvtNodeType) {
    auto* n = reinterpret_cast<FAVT64_NODE*>(h);
    FAVT64_ROOT* rt = n->root;
    free_memory(h);
    --rt->loose;
    favt64_unlock(&rt->h);
  } else {
    free_memory(h);
  }
}

int check_dirty64(FAVT64_HEADER* h, int reset) {
  uint16_t* flag = nullptr;
  if (h->flags & kFavtDirty) {
    flag = &h->flags;
  } else if (h->type == kPn64AvtRootType) {
    auto* r = reinterpret_cast<FAVT64_ROOT*>(h);
    if (r->node.flags & kFavtDirty) flag = &r->node.flags;
  } else if (h->type == kPn64AvtNodeType) {
    auto* n = reinterpret_cast<FAVT64_NODE*>(h);
    if (n->small.flags & kFavtDirty)
      flag = &n->small.flags;
    else if (n->large.flags & kFavtDirty)
      flag = &n->large.flags;
  } else {
    er_panic("check_dirty");
  }
  if (!flag) return 0;
  if (reset) *flag &= static_cast<uint16_t>(~kFavtDirty);
  return 1;
}

int favt64_write(FAVT64_HEADER* h) {
  if (h->type == kPn64AvtRootType) {
    auto* r = reinterpret_cast<FAVT64_ROOT*>(h);
    alignas(8) uint8_t b[kFavtRootSize];
    auto* rec = reinterpret_cast<PN64_HEADER*>(b);
    *rec = PN64_HEADER{kPn64AvtRootType, {0, 0, 0}, kFavtRootSize};
    std::memcpy(b + 16, &r->type, 4);
    std::memcpy(b + 20, &r->node.fofs, 8);
    change_endian_favt64_root(rec);
    return write_filespace64f(h->p, h->fofs, rec) < 0 ? -1 : 0;
  }
  if (h->type != kPn64AvtNodeType) return -1;
  auto* n = reinterpret_cast<FAVT64_NODE*>(h);
  uint64_t m = kFavtNodeFixed + static_cast<uint64_t>(n->data_len);
  alignas(8) uint8_t local[512];
  uint8_t* b = m <= sizeof local ? local : static_cast<uint8_t*>(d_alloc(m));
  auto* rec = reinterpret_cast<PN64_HEADER*>(b);
  *rec = PN64_HEADER{kPn64AvtNodeType, {0, 0, 0}, m};
  std::memcpy(b + 16, &n->small.fofs, 8);
  std::memcpy(b + 24, &n->large.fofs, 8);
  std::memcpy(b + 32, &n->level, 4);
  std::memcpy(b + kFavtNodeFixed, n->data, static_cast<size_t>(n->data_len));
  if (n->root->endian_func) n->root->endian_func(b + kFavtNodeFixed, n->data_len);
  change_endian_favt64_node(rec);
  int rc = write_filespace64f(h->p, h->fofs, rec) < 0 ? -1 : 0;
  if (b != local) d_f_ree(b);
  return rc;
}

// ---- eviction

namespace {

// The ring is walked again only once it has grown this far: records held
// by pins never given back stay, and must not make every load walk them.
int next_walk_at = 0;

// Evicts until at most `limit` records are cached (as far as anything can
// go).
void evict_to(int limit) {
  if (favt64_count <= limit) next_walk_at = 0;
  while (favt64_count > limit) {
    FAVT64_HEADER* v = lru_h.lru_prev;
    if (v == &lru_h) {
      // Records that became free to leave by a way the list does not follow
      // (a subtree unlinked from a record nobody pins) are found by a walk;
      // when there are none, everything is in use and the cache stays above
      // its limit for now. Walks wait until the ring has doubled since the
      // last one, so they cost a constant per record loaded.
      if (favt64_count < next_walk_at) return;
      next_walk_at = 2 * favt64_count;
      if (!find_evictable()) return;
      continue;
    }
    if (!evictable(v)) {
      // In use again; it comes back when it is free to leave.
      lru_unlink(v);
      continue;
    }
    if (v->flags & kFavtUsedAgain) {
      lru_unlink(v);
      lru_insert_after(&lru_h, v);
      continue;
    }
    // A record that cannot be written stays, and so does everything after
    // it until the file can be written again.
    if (write_if_dirty(v) < 0) return;
    free_favt64_cache(v);
  }
}

}  // namespace

void clear_cache64() { evict_to(kFavtCacheLimit); }

// ---- loading, making and freeing roots and nodes

FAVT64_HEADER* favt64_load(int* errp, PDB64* p, FAVT64_ROOT* rt, uint64_t fofs, FAVT64_PTR* parent) {
  if (!p && rt) p = rt->h.p;
  if (!p || fofs == 0) {
    set_err(errp, kFavtBadArgument);
    return nullptr;
  }
  // Room first, so that the memory of the record that leaves is at hand for
  // the one that comes.
  evict_to(kFavtCacheLimit - 1);
  // One read takes the physical header with the start of the body, as far
  // as the page holding the header goes: a whole node record as a rule. A
  // header cut by the page end is read whole across it. The bytes land so
  // that a 4-byte header leaves the body in place after the 16-byte memory
  // header.
  uint64_t size = p->fac.file_size;
  if (fofs >= size) {
    set_err(errp, kFavtUnreadable);
    return nullptr;
  }
  constexpr uint64_t kFirst = 64;
  constexpr uint64_t kLongestHeader = 12;
  uint64_t page_left = kFacPageSize - (fofs & (kFacPageSize - 1));
  uint64_t first = std::min({kFirst, std::max(page_left, kLongestHeader), size - fofs});
  alignas(8) uint8_t local[512];
  uint8_t* raw = local + 12;
  PHYS_PN64_HEADER ph;
  if (pdb64_read_at(p, fofs, raw, first) < 0 || pn64_decode_phys(raw, first, &ph) < 0 || ph.length > size - fofs) {
    set_err(errp, kFavtUnreadable);
    return nullptr;
  }
  // A root is asked for without a tree, a node with one.
  uint16_t want = rt ? kPn64AvtNodeType : kPn64AvtRootType;
  if (ph.type != want) {
    set_err(errp, kFavtCorrupt);
    return nullptr;
  }
  auto width = static_cast<uint64_t>(ph.width);
  uint64_t body = ph.length - width;
  uint64_t m = body + 16;
  uint64_t have = std::min(first, ph.length) - width;  // body bytes read
  uint8_t* b = m <= sizeof local ? local : static_cast<uint8_t*>(d_alloc(m));
  if (b != local || width != 4) std::memmove(b + 16, raw + width, have);
  auto* rec = reinterpret_cast<PN64_HEADER*>(b);
  *rec = PN64_HEADER{ph.type, {0, 0, 0}, m};
  change_endian_header64(rec);  // as stored; the converter turns it all
  FAVT64_LOAD_WORK lw{nullptr, fofs, parent, 0};
  if (body > have && pdb64_read_at(p, fofs + width + have, b + 16 + have, body - have) < 0) {
    lw.err = kFavtUnreadable;
  } else {
    change_endian_favt64_table_to_host[ph.type & 0xFF](rec);
    func_table64[ph.type >> 8][ph.type & 0xFF](&lw, rec, p, rt);
  }
  if (b != local) d_f_ree(b);
  if (!lw.ret) {
    set_err(errp, lw.err);
    return nullptr;
  }
  favt64_lock(lw.ret);
  clear_cache64();
  favt64_unlock(lw.ret);
  return lw.ret;
}

FAVT64_ROOT* favt64_alloc_root(PDB64* p, int type, FAVT64_ENDIAN_FUNC func) {
  if (!p) return nullptr;
  PN64_HEADER h{kPn64AvtRootType, {0, 0, 0}, kFavtRootSize};
  int64_t at = alloc_filespace64(p, &h);
  if (at <= 0) return nullptr;
  auto* r = static_cast<FAVT64_ROOT*>(alloc_memory(sizeof(FAVT64_ROOT)));
  r->type = type;
  r->endian_func = func;
  r->node = FAVT64_PTR{0, kPn64AvtNodeType, nullptr, 0, &r->h};
  r->loose = 0;
  r->key_len = 0;
  r->key_check = nullptr;
  r->key_check_w = nullptr;
  load_header(&r->h, kPn64AvtRootType, static_cast<uint64_t>(at), p);
  r->h.flags = kFavtDirty;
  if (!root_index().emplace(RootKey{p, r->h.fofs}, r).second) er_panic("insert_favt64_tree");
  favt64_lock(&r->h);
  clear_cache64();
  favt64_unlock(&r->h);
  return r;
}

FAVT64_ROOT* get_root64(int* errp, PDB64* p, uint64_t fofs, FAVT64_ENDIAN_FUNC func) {
  if (!p) {
    set_err(errp, kFavtBadArgument);
    return nullptr;
  }
  auto& idx = root_index();
  auto it = idx.find(RootKey{p, fofs});
  if (it != idx.end()) {
    FAVT64_ROOT* r = it->second;
    touch(&r->h);
    return r;
  }
  FAVT64_HEADER* h = favt64_load(errp, p, nullptr, fofs, nullptr);
  if (!h) return nullptr;
  auto* r = reinterpret_cast<FAVT64_ROOT*>(h);
  r->endian_func = func;
  idx.emplace(RootKey{p, fofs}, r);
  return r;
}

FAVT64_ROOT* get_typed_root64(int* errp, PDB64* p, uint64_t fofs, FAVT64_ENDIAN_FUNC func, int type,
                              int64_t key_len) {
  FAVT64_ROOT* r = get_root64(errp, p, fofs, func);
  if (!r) return nullptr;
  // A root met first as the tree of another owner, or of another type.
  if (r->type != type || (r->key_len && r->key_len != key_len) ||
      (!r->key_len && (r->node.ptr || r->loose))) {
    set_err(errp, kFavtCorrupt);
    return nullptr;
  }
  r->key_len = key_len;
  return r;
}

FAVT64_NODE* g_ptr64(int* errp, FAVT64_ROOT* rt, FAVT64_PTR* ptr) {
  if (!ptr || !ptr->fofs) return nullptr;
  if (FAVT64_NODE* n = ptr->ptr) {
    touch(&n->h);
    return n;
  }
  FAVT64_HEADER* h = favt64_load(errp, rt->h.p, rt, ptr->fofs, ptr);
  if (!h) return nullptr;
  ptr->ptr = reinterpret_cast<FAVT64_NODE*>(h);
  return ptr->ptr;
}

FAVT64_NODE* root_node64(int* errp, FAVT64_ROOT* r) { return r ? g_ptr64(errp, r, &r->node) : nullptr; }
FAVT64_NODE* small_node64(int* errp, FAVT64_ROOT* rt, FAVT64_NODE* n) {
  return n ? g_ptr64(errp, rt, &n->small) : nullptr;
}
FAVT64_NODE* large_node64(int* errp, FAVT64_ROOT* rt, FAVT64_NODE* n) {
  return n ? g_ptr64(errp, rt, &n->large) : nullptr;
}

FAVT64_NODE* favt64_alloc_node(FAVT64_ROOT* rt, const void* data, int64_t data_size) {
  if (!rt || data_size < 0 || static_cast<uint64_t>(data_size) > kPn64MaxMemSize - kFavtNodeFixed ||
      (data_size > 0 && !data))
    return nullptr;
  uint64_t m = kFavtNodeFixed + static_cast<uint64_t>(data_size);
  PN64_HEADER h{kPn64AvtNodeType, {0, 0, 0}, m};
  int64_t at = alloc_filespace64(rt->h.p, &h);
  if (at <= 0) return nullptr;
  auto* n = static_cast<FAVT64_NODE*>(alloc_memory(sizeof(FAVT64_NODE) + static_cast<size_t>(data_size)));
  n->small = FAVT64_PTR{0, kPn64AvtNodeType, nullptr, 0, &n->h};
  n->large = n->small;
  n->parent = nullptr;
  n->root = rt;
  n->level = 0;
  n->data_len = data_size;
  n->data = n + 1;
  if (data_size) std::memcpy(n->data, data, static_cast<size_t>(data_size));
  load_header(&n->h, kPn64AvtNodeType, static_cast<uint64_t>(at), rt->h.p);
  n->h.flags = kFavtDirty;
  // An unlinked node keeps its tree's root in memory.
  ++rt->loose;
  favt64_lock(&rt->h);
  clear_cache64();
  return n;
}

int favt64_free_node(FAVT64_NODE* n) {
  if (!n || n->parent || n->small.ptr || n->large.ptr || (n->h.flags & kFavtDead)) return -1;
  int rc = free_filespace64(n->h.p, n->h.fofs) < 0 ? -1 : 0;
  ring_unlink(&n->h);
  if (n->h.pins > 0) {
    n->h.flags |= kFavtDead;
    return rc;
  }
  FAVT64_ROOT* rt = n->root;
  free_memory(&n->h);
  --rt->loose;
  favt64_unlock(&rt->h);
  return rc;
}

int favt64_free_root(FAVT64_ROOT* r) {
  if (!r || r->node.fofs || r->loose || (r->h.flags & kFavtDead)) return -1;
  int rc = free_filespace64(r->h.p, r->h.fofs) < 0 ? -1 : 0;
  ring_unlink(&r->h);
  root_index().erase(RootKey{r->h.p, r->h.fofs});
  if (r->h.pins > 0)
    r->h.flags |= kFavtDead;
  else
    free_memory(&r->h);
  return rc;
}

// ---- a file's records at flush and close

int flush_favt64_cache(PDB64* p) {
  int rc = write_all_dirty(p);
  // Children go before their parents; a pass from the front meets most
  // children first, so few passes are needed.
  for (bool freed = true; freed;) {
    freed = false;
    for (FAVT64_HEADER *h = favt64_h.next, *nx; h != &favt64_h; h = nx) {
      nx = h->next;
      if (h->p == p && evictable(h) && !check_dirty64(h, 0)) {
        // The next record may be this one's parent; it stays valid.
        free_favt64_cache(h);
        freed = true;
      }
    }
  }
  return rc;
}

int drop_favt64_cache(PDB64* p) {
  int rc = flush_favt64_cache(p);
  int pinned = 0;
  for (FAVT64_HEADER *h = favt64_h.next, *nx; h != &favt64_h; h = nx) {
    nx = h->next;
    if (h->p != p) continue;
    pinned += h->pins > 0;
    ring_unlink(h);
    if (h->type == kPn64AvtRootType) root_index().erase(RootKey{h->p, h->fofs});
    free_memory(h);
  }
  // A record still pinned when its file closes was taken and never given
  // back: its holder keeps a dangling pointer.
  if (QNMX_CHECKED && pinned)
    std::fprintf(stderr, "drop_favt64_cache: %d tree records still pinned at close\n", pinned);
  return rc;
}

// ---- consistency checks

namespace {

int cache_fault(const char* str, const char* what) {
  std::fprintf(stderr, "%s\n%s\n", str ? str : "", what);
  return -1;
}

}  // namespace

int cc_root64(const char* str, FAVT64_ROOT* r) {
  if (FAVT64_NODE* n = r->node.ptr) {
    if (n->parent != &r->node) return cache_fault(str, "cc_root");
    if (n->h.fofs != r->node.fofs) return cache_fault(str, "cc_root(2)");
    if (n->root != r) return cache_fault(str, "cc_root(3)");
  }
  return 0;
}

int cc_node64(const char* str, FAVT64_NODE* n) {
  for (FAVT64_PTR* c : {&n->small, &n->large}) {
    if (!c->ptr) continue;
    if (c->ptr->parent != c) return cache_fault(str, c == &n->small ? "cc_node(1)" : "cc_node(2)");
    if (c->ptr->h.fofs != c->fofs) return cache_fault(str, c == &n->small ? "cc_node(1-1)" : "cc_node(2-1)");
    if (c->ptr->root != n->root) return cache_fault(str, "cc_node(4)");
  }
  if (n->parent && n->parent->ptr != n) return cache_fault(str, "cc_node(3)");
  return 0;
}

int check_cache64(const char* str) {
  int count = 0;
  for (FAVT64_HEADER* h = favt64_h.next; h != &favt64_h; h = h->next) {
    ++count;
    if (h->next->prev != h) return cache_fault(str, "check_cache(2)");
    if (h->type == kPn64AvtRootType) {
      auto* r = reinterpret_cast<FAVT64_ROOT*>(h);
      auto it = root_index().find(RootKey{h->p, h->fofs});
      if (it == root_index().end() || it->second != r) return cache_fault(str, "check_cache(4)");
      if (cc_root64(str, r) < 0) return -1;
    } else if (h->type == kPn64AvtNodeType) {
      if (cc_node64(str, reinterpret_cast<FAVT64_NODE*>(h)) < 0) return -1;
    } else {
      return cache_fault(str, "check_cache(1)");
    }
  }
  if (count != favt64_count) return cache_fault(str, "check_cache(3)");
  return 0;
}
