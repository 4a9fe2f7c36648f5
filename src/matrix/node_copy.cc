// Copies between matrices node by node, the check-sum trace, and the
// store's minimal start-up (node_copy.h).
#include "matrix/node_copy.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "base/alloc.h"
#include "base/signals.h"
#include "matrix/dim_code.h"
#include "matrix/matrix_impl.h"
#include "matrix/mx_file.h"
#include "matrix/node.h"
#include "runtime/zu_init.h"
#include "store/l_favt64.h"
#include "stream/stream.h"

namespace {

constexpr int kCopyBatch = 100;

using Code = std::vector<int64_t>;

// The node at dc waited for and locked, refused (-102) when it is in an
// edit-error status: its data are not what its scripts meant to leave.
MATRIX_NODE* ready_node(int* errp, MATRIX* m, const int64_t* dc, int access) {
  int err = 0;
  MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, access);
  if (err || !n) {
    *errp = err ? err : kMxNoMatrix;
    return nullptr;
  }
  lock_task(matrix_lock);
  bool failed = n->status == kMsEditErr1 || n->status == kMsEditErr2;
  if (failed) _unlock_node(n, nullptr);
  unlock_task(matrix_lock, "matrix_copy_node");
  if (failed) *errp = kMxNodeFailed;
  return failed ? nullptr : n;
}

// The channels to copy, in order (a channel may come twice).
std::vector<int> channels_to_copy(MATRIX* src, MATRIX_NODE* sn, const int64_t* dc, const int* ch_list,
                                  int copy_flags) {
  std::vector<int> out;
  lock_task(matrix_lock);
  const int nos = src->p.channel_nos;
  auto has = [&](int ch) { return ch >= 0 && ch < nos && src->channel_info[ch].data_type && sn->channel && sn->channel[ch].data; };
  bool all = std::any_of(dc + 1, dc + 1 + src->p.dim, [](int64_t c) { return c < 0; });
  for (int ch = 0; all && ch < nos; ++ch)
    if (has(ch)) out.push_back(ch);
  for (const int* p = ch_list; !all && p && *p >= 0; ++p)
    if (has(*p)) out.push_back(*p);
  for (int ch = 0; !all && ch < nos; ++ch)
    if ((src->channel_info[ch].flags & copy_flags) && has(ch)) out.push_back(ch);
  unlock_task(matrix_lock, "matrix_copy_node");
  return out;
}

// Copies channel ch of sn into dn; both channel locks are held. A channel
// dest does not have, or of another type, is left alone.
void copy_channel(MATRIX* dest, MATRIX* src, MATRIX_NODE* dn, MATRIX_NODE* sn, int ch) {
  MATRIX_DATA_TYPE* tp = src->channel_info[ch].data_type;
  if (ch >= dest->p.channel_nos || dest->channel_info[ch].data_type != tp) return;
  void* copy = tp->alloc_copy(tp, sn->channel[ch].data, MX_ATYPE::tagged, nullptr, __FILE__, __LINE__);
  if (!copy) return;
  MATRIX_CHANNEL& c = dn->channel[ch];
  if (c.data) tp->free_data(tp, c.data);
  c.data = copy;
}

// Registers every child of sn in dn (matrix_lock held).
void merge_children(MATRIX* src, MATRIX_NODE* dn, MATRIX_NODE* sn) {
  if (sn->dim_code[0] == 0) return;
  if (sn->nlist_dim_bit_field && sn->nlist_dim_bit_field_len > 0) {
    for (int64_t ix = 0; ix < int64_t{8} * sn->nlist_dim_bit_field_len; ++ix)
      if (sn->nlist_dim_bit_field[ix / 8] & (1u << (ix % 8))) {
        _insert_dim_code_index(dn, get_dim_code_from_index(src, sn->dim_code, ix).get(), 1);
      }
    return;
  }
  for (int i = 0; i < sn->nlist_dim_addr_len; ++i) _insert_dim_code_index(dn, sn->nlist_dim_addr[i], 1);
}

// True when a node of src, copied whole into the node of dest with the
// same dim code, would not hold the same elements there: another dim, node
// size, divide or vector shape (one holds the next node's first elements
// too), or a channel to copy (every typed one with `all`) whose element
// type dest does not share.
bool _copy_differs(const MATRIX* dest, const MATRIX* src, const int* ch_list, int copy_flags, bool all) {
  assert_lock_held(matrix_lock);
  const int dim = src->p.dim;
  if (dest->p.dim != dim || dest->geometry.index_hem != src->geometry.index_hem) return true;
  for (int d = 0; d < dim; ++d)
    if (dest->block_size[d] != src->block_size[d] || dest->dim_divide[d] != src->dim_divide[d]) return true;
  auto differs = [&](int ch) {
    if (ch < 0 || ch >= src->p.channel_nos || !src->channel_info[ch].data_type) return false;  // nothing to copy
    return ch >= dest->p.channel_nos || dest->channel_info[ch].data_type != src->channel_info[ch].data_type;
  };
  for (const int* p = ch_list; !all && p && *p >= 0; ++p)
    if (differs(*p)) return true;
  for (int ch = 0; ch < src->p.channel_nos; ++ch)
    if ((all || (src->channel_info[ch].flags & copy_flags)) && differs(ch)) return true;
  return false;
}

// As _copy_differs for a copy of the node at dc (null: of stored nodes,
// whose codes are never negative).
bool copy_differs(MATRIX* dest, MATRIX* src, const int64_t* dc, const int* ch_list, int copy_flags) {
  lock_task(matrix_lock);
  const bool all = dc && std::any_of(dc + 1, dc + 1 + src->p.dim, [](int64_t c) { return c < 0; });
  bool r = _copy_differs(dest, src, ch_list, copy_flags, all);
  unlock_task(matrix_lock, "matrix_copy");
  return r;
}

// Registers the path from dest's root down to the node at dc in the child
// lists, as a write through the element cache does, so that a node copied
// below the levels src has (dest has more) is reached from dest's root, and
// closing and scans build dest's coarser levels over it. A node outside
// dest is left to the copy, which refuses it.
void register_path(MATRIX* dest, const int64_t* dc) {
  lock_task(matrix_lock);
  int32_t extent[kMxMaxDim];
  if (mx_node_shape(&dest->geometry, dc, nullptr, extent) == 0) {
    Code code(dc, dc + 1 + dest->p.dim);
    int err = 0;
    if (MATRIX_NODE* n = _get_matrix_tree(&err, dest, code.data(), 2, 0)) _unlock_node(n, nullptr);
  }
  unlock_task(matrix_lock, "matrix_copy_node");
}

bool code_after(const Code& a, const Code& b) { return std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end()); }

std::atomic<MX_LIBRARY_INIT> library_init{nullptr};

}  // namespace

int matrix_copy_node(MATRIX* dest, MATRIX* src, const int64_t* dc, const int* ch_list, int copy_flags) {
  if (mx_trace()) ss_printf("NODE %s\n", pt_dc(src, dc, 1));
  if (copy_differs(dest, src, dc, ch_list, copy_flags)) return kMxCopyDiffers;
  int err = 0;
  MATRIX_NODE* sn = ready_node(&err, src, dc, kMxFetchSlot);
  if (!sn) return err == kMxNoMatrix ? 0 : err;
  register_path(dest, dc);
  MATRIX_NODE* dn = ready_node(&err, dest, dc, 0);
  if (!dn) {
    unlock_node(sn, nullptr);
    return err;
  }
  matrix_node_channel_lock(sn);
  matrix_node_channel_lock(dn);
  lock_task(matrix_lock);
  _mx_node_channels(dn);
  unlock_task(matrix_lock, "matrix_copy_node");
  std::vector<int> channels = channels_to_copy(src, sn, dc, ch_list, copy_flags);
  for (int ch : channels) copy_channel(dest, src, dn, sn, ch);
  lock_task(matrix_lock);
  for (int ch : channels)
    if (ch < dest->p.channel_nos) _get_matrix_update_time(dn, ch, 0);
  merge_children(src, dn, sn);
  unlock_task(matrix_lock, "matrix_copy_node");
  matrix_node_channel_unlock(sn, 0);
  matrix_node_channel_unlock(dn, 1);
  unlock_node(dn, nullptr);
  unlock_node(sn, nullptr);
  return 0;
}

int matrix_copy(MATRIX* dest, MATRIX* src, const int* ch_list, int copy_flags, int64_t* failed_at) {
  // Refused before anything is copied: a node copied whole into another
  // shape, or a channel skipped for its type, would still answer success.
  if (copy_differs(dest, src, nullptr, ch_list, copy_flags)) return kMxCopyDiffers;
  lock_task(matrix_lock);
  const int dim = src->p.dim;
  unlock_task(matrix_lock, "matrix_copy");
  Code cur(1 + dim), last(1 + dim);
  // A source that stores no node has nothing to copy.
  if (int r = mx_scale_of_dim_code(cur.data(), last.data(), src); r < 0) return r == kMxNoneStored ? 0 : r;
  bool first = true;
  while (!code_after(cur, last)) {
    int err = 0;
    MX_DIM_CODE_LIST* lst = mx_search_level_node(src, cur.data(), kCopyBatch, &err);
    if (err) return err;
    MX_DIM_CODE_LIST* e = lst;
    // Each batch after a level's first begins with the last node copied.
    if (e && !first && std::equal(cur.begin(), cur.end(), e->dc)) e = e->next;
    if (!e) {
      // A level without (more) stored nodes: the next level may have some.
      free_mx_dim_code_list(lst);
      const int64_t next = cur[0] + 1;
      std::fill(cur.begin(), cur.end(), 0);
      cur[0] = next;
      first = true;
      continue;
    }
    for (; e; e = e->next) {
      std::copy(e->dc, e->dc + 1 + dim, cur.begin());
      if (int r = matrix_copy_node(dest, src, e->dc, ch_list, copy_flags); r < 0) {
        if (failed_at) std::copy(e->dc, e->dc + 1 + dim, failed_at);
        free_mx_dim_code_list(lst);
        return r;
      }
    }
    first = false;
    free_mx_dim_code_list(lst);
  }
  return 0;
}

void block_check_sum(const char* msg, const MATRIX_ALLOC_BLOCK_PARAM* p) {
  uint32_t sum = 0;
  int size = p && p->block && p->size > 0 ? p->size : 0;
  const auto* b = static_cast<const uint8_t*>(size ? p->block : nullptr);
  for (int i = 0; i < size; ++i) sum += b[i];
  ss_printf("CHK %s %i - %i\n", msg ? msg : "", static_cast<int>(sum), size);
}

void set_minimum_library_init(MX_LIBRARY_INIT f) { library_init.store(f); }

void minimum_matrix_init(int argc, char** argv) {
  init_zu();
  init_l_favt64();
  if (MX_LIBRARY_INIT f = library_init.load()) {
    ZuThreadScope scope("minimum_matrix_init");
    f(qnlisp_top_env0, qnlisp_top_env1, argc, argv);
  }
  int_handler.store(nullptr);
  init_matrix();
}
