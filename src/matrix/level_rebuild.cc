// The coarser nodes that closing makes again from their children
// (matrix_impl.h): every node written to the file leaves its parent to be
// rebuilt, and closing rebuilds them level by level from the finest,
// loading the ones the node cache let go, so that what it leaves does not
// depend on which nodes the cache still held.
#include <set>
#include <vector>

#include "matrix/dim_code.h"
#include "matrix/matrix_impl.h"
#include "matrix/node.h"

// The parents still to rebuild, as normalised dim codes (the finest level
// first), and the nodes of them that closing holds locked while they load
// (matrix_lock).
struct MX_REBUILD {
  std::set<std::vector<int64_t>> stale;
  std::vector<MATRIX_NODE*> held;
};

namespace {

// Nodes held at once: the save of each loads its children as well.
constexpr size_t kRebuildBatch = 32;

std::vector<int64_t> code_at(const MATRIX* m, const int64_t* dc, int64_t level) {
  std::vector<int64_t> c(dc, dc + 1 + m->p.dim);
  c[0] = level;
  normalize_dim_code(m, c.data());
  return c;
}

// Whether the nodes of `level` have a save script to rebuild them with.
bool has_save_script(const MATRIX* m, int64_t level) {
  const int cls = level == m->total_levels - 1 ? 0 : level == 0 ? 2 : 1;
  const MATRIX_SEXP* s = m->cal[kMxSaveSlot + cls];
  return s && s->data;
}

// Whether n holds a datum in a channel kept in the file.
bool holds_data(const MATRIX* m, const MATRIX_NODE* n) {
  for (int ch = 0; n->channel && ch < m->p.channel_nos; ++ch)
    if (datum_kept_in_file(m->channel_info[ch], n->channel[ch])) return true;
  return false;
}

// A held node that is ready is marked for its save; one that could not be
// made ready is a change lost, and said so.
void settle_held(MX_REBUILD* r) {
  size_t kept = 0;
  for (MATRIX_NODE* n : r->held) {
    if ((n->status == kMsNew || n->status == kMsLoading) && n->process_token) {
      r->held[kept++] = n;
      continue;
    }
    if (n->status == kMsOk) _set_dirty_file(n);
    else _report_lost_save(n);
    ++n->matrix->save_moves;
    _unlock_node(n, nullptr);
  }
  r->held.resize(kept);
}

}  // namespace

void _note_node_saved(MATRIX_NODE* n) {
  assert_lock_held(matrix_lock);
  MATRIX* m = n->matrix;
  if (!m->rebuild) m->rebuild = new MX_REBUILD;
  const int64_t level = n->dim_code[0];
  // Saved from the children it has now: only a later save of one of them
  // makes it stale again. One that holds no data (a point read made it
  // over nothing) is the defaults to its parent, as a node the file does
  // not hold is: the parent stays as it was.
  m->rebuild->stale.erase(code_at(m, n->dim_code, level));
  if (level + 1 < m->total_levels && holds_data(m, n)) m->rebuild->stale.insert(code_at(m, n->dim_code, level + 1));
}

int64_t _rebuild_level(const MATRIX* m) {
  assert_lock_held(matrix_lock);
  const MX_REBUILD* r = m->rebuild;
  if (!r) return -1;
  int64_t level = r->stale.empty() ? -1 : r->stale.begin()->front();
  for (const MATRIX_NODE* n : r->held)
    if (level < 0 || n->dim_code[0] < level) level = n->dim_code[0];
  return level;
}

void _rebuild_step(MATRIX* m, int64_t level) {
  assert_lock_held(matrix_lock);
  MX_REBUILD* r = m->rebuild;
  if (!r) return;
  while (r->held.size() < kRebuildBatch && !r->stale.empty() && r->stale.begin()->front() == level) {
    std::vector<int64_t> c = *r->stale.begin();
    r->stale.erase(r->stale.begin());
    ++m->save_moves;
    if (!has_save_script(m, level)) continue;
    // None for a broken matrix, whose close says so.
    if (MATRIX_NODE* n = _get_node_to_rebuild(m, c.data())) {
      _lock_node(n, nullptr);
      r->held.push_back(n);
    }
  }
  settle_held(r);
}

MATRIX_NODE* _rebuild_loading(const MATRIX* m) {
  assert_lock_held(matrix_lock);
  if (!m->rebuild) return nullptr;
  for (MATRIX_NODE* n : m->rebuild->held)
    if (n->status < kMsOk && n->process_token) return n;
  return nullptr;
}

bool _rebuild_pending(const MATRIX* m) {
  assert_lock_held(matrix_lock);
  return m->rebuild && (!m->rebuild->stale.empty() || !m->rebuild->held.empty());
}

void _free_rebuild(MATRIX* m) {
  assert_lock_held(matrix_lock);
  if (!m->rebuild) return;
  for (MATRIX_NODE* n : m->rebuild->held) _unlock_node(n, nullptr);
  delete m->rebuild;
  m->rebuild = nullptr;
}
