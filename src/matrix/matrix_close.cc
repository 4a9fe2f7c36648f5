// Closing and syncing matrices, and the abort calls of tokens that wait
// while their matrix closes.
#include "base/task.h"
#include "base/tick.h"
#include "matrix/matrix_impl.h"
#include "matrix/mx_file.h"
#include "matrix/node.h"
#include "stream/stream.h"

namespace {

void schedule_abort(MATRIX_TOKEN* t) {
  aboat_status_countup(t);
  new_tick(close_aboat_func, 0, t);
}

// A token of a closing matrix waiting for another matrix to open goes on
// now: it may wait for a matrix that never opens.
void unchain_from_matrix(MATRIX_TOKEN* t) {
  for (MATRIX_TOKEN** pp = &t->wait_matrix->wait_token; *pp; pp = &(*pp)->next)
    if (*pp == t) {
      *pp = t->next;
      _requeue_matrix_token(t);
      return;
    }
}

// One pass over the nodes of m: pushes on what holds a node, then frees
// what can go. True when a node is left.
bool release_nodes(MATRIX* m) {
  bool left = false;
  for (MATRIX_NODE* head : m->node_hash) {
    for (MATRIX_NODE *n = head, *next; n; n = next) {
      next = n->nh_next;
      if (MATRIX_TOKEN* pt = n->process_token) {
        if (pt->wait_matrix) unchain_from_matrix(pt);
        if (pt->stopped) _end_stopped_token(pt);
        else if (pt->aboat_func) schedule_abort(pt);
      }
      // Nothing else will settle a node without a process token.
      if (!n->process_token && n->wait_token) _requeue_node_tokens(n);
      // A dirty node is saved by the flush of the next pass, in its level's turn.
      if (n->dirty_file_time) _list_dirty(n);  // marked without the list
      int r = _free_matrix_node(n);
      if (r == 0) continue;
      left = true;
      if (mx_trace()) ss_printf("close_matirx ret_id = %i %i\n", r, queue_count(&matrix_que));
    }
  }
  return left;
}

// Closes may run side by side (the end closes every matrix at once): each
// times its own sleep, as a shared time-out of the key one of them took
// back would leave another asleep.
void sleep_on_close_key() {
  int pri = change_pri(0, 1);
  _i_sleep_task_timeout(&mx_close_key, matrix_lock, 1.0, __FILE__, __LINE__);
  change_pri(0, pri);
  lock_task(matrix_lock);
}

}  // namespace

int _close_matrix(MATRIX* m, MX_CLOSE_LOSS* loss) {
  assert_lock_held(matrix_lock);
  if (m->mode == kMxModeClosed && m->mx_next == m) return 0;  // being closed already
  // Saves go level by level from the finest, each level once the one below
  // is written, and every coarser node over what was written is made again
  // (level_rebuild.cc): a coarser node's save may read its children, which
  // the matrix's scripts can still load while it closes (node_cache.cc).
  // The close waits for a named lock its saves need once, as a command does.
  m->commands.fetch_add(1, std::memory_order_acq_rel);
  _flush_dirty_bottom_up(m, true);
  m->mode = kMxModeClosed;
  _unlink_matrix(m);
  ++mx_closing;
  uint64_t moves = m->save_moves;  // as the last turn left them
  bool slept = false;              // the last turn slept without a move
  for (;;) {
    _flush_dirty_bottom_up(m, true);
    while (m->access_lock) {
      sleep_task(m, matrix_lock);
      lock_task(matrix_lock);
      _flush_dirty_bottom_up(m, true);
    }
    // The saves just fired are waited for before the nodes are passed over
    // again, so that closing costs a pass per wake-up and not per node.
    _wait_dirty_saved(m);
    // Tokens waiting for the matrix to open go on, as at a mode change.
    for (MATRIX_TOKEN* t = m->wait_token; t; t = t->next)
      if (t->aboat_func) schedule_abort(t);
    _requeue_matrix_wait_tokens(m);
    bool rebuild = _rebuild_pending(m);
    // A pass over the nodes frees what may go and pushes on what waits
    // elsewhere. While saves and rebuilds move on, the flush needs none: a
    // pass for each batch of nodes rebuilt would cost every node in memory
    // as often. So the nodes are passed over once the flush has nothing
    // left, or has not moved over a sleep (something may wait for the pass).
    if (_first_dirty(m) || rebuild) {
      if (m->save_moves != moves) {
        moves = m->save_moves;
        slept = false;
        continue;
      }
      if (m->token_cnt > 0 && !slept) {
        slept = true;
        sleep_on_close_key();
        continue;
      }
    }
    slept = false;
    bool left = release_nodes(m);
    bool open_pending = m->open_token && !mx_open_method_running(m);
    if (!left && m->token_cnt == 0 && !open_pending && !rebuild) break;
    // With no script running, a node still dirty (or to rebuild) belongs to
    // a coarser level whose saves the next flush fires at once: the saves of
    // the finer one ended, perhaps while _wait_dirty_saved slept, and
    // nothing is left to wake this task. Each such pass fires saves or
    // fetches, or reports lost ones.
    if (m->token_cnt == 0 && (_first_dirty(m) || rebuild)) continue;
    sleep_on_close_key();
  }
  --mx_closing;
  if (m->open_token) m->open_token->wait_matrix = nullptr;  // its method called this close
  if (m->p.close_file) m->p.close_file(m);
  if (m->p.close_net) m->p.close_net(m);
  MX_CLOSE_LOSS here;
  MX_CLOSE_LOSS& l = loss ? *loss : here;
  l.nodes = m->lost_saves;
  l.file_errno = m->p.close_file ? mx_file_write_fault(m, &l.path) : 0;
  _free_matrix(m);
  return l.nodes + (l.file_errno ? 1 : 0);
}

int close_matrix(MATRIX* m, MX_CLOSE_LOSS* loss) {
  lock_task(matrix_lock);
  int lost = _close_matrix(m, loss);
  unlock_task(matrix_lock, "close_matrix");
  return lost;
}

int close_all_matrix() {
  if (!matrix_started()) return 0;
  int lost = 0;
  lock_task(matrix_lock);
  mx_closing_all = true;  // scripts still running must not open new matrices
  for (;;) {
    MATRIX* m = matrices_root.mx_next;
    while (m != &matrices_root && m->holds) m = m->mx_next;
    if (m == &matrices_root) break;
    lost += _close_matrix(m);
  }
  mx_closing_all = false;
  unlock_task(matrix_lock, "close_all_matrix");
  return lost;
}

void _hold_matrix(MATRIX* m) {
  assert_lock_held(matrix_lock);
  ++m->holds;
}

void release_matrix(MATRIX* m) {
  lock_task(matrix_lock);
  if (m->holds > 0) --m->holds;
  unlock_task(matrix_lock, "release_matrix");
}

void _sync_matrix(MATRIX* m) {
  assert_lock_held(matrix_lock);
  while (m->mode == kMxModeOpening) {
    unlock_task(matrix_lock, "sync_matrix");
    sleep_sec(1);
    lock_task(matrix_lock);
  }
  if (m->mode != kMxModeActive) return;
  for (;;) {
    _flush_dirty_bottom_up(m, true);
    while (m->access_lock || m->wait_token) {
      sleep_task(m, matrix_lock);
      lock_task(matrix_lock);
    }
    // Every node is looked at only once none is dirty or to rebuild any
    // more; the nodes held to be rebuilt are waited for while they load.
    _wait_dirty_saved(m);
    if (_first_dirty(m) || _rebuild_pending(m)) {
      if (MATRIX_NODE* loading = _first_loading(m)) {
        _i_sleep_task_timeout(loading, matrix_lock, 1.0, __FILE__, __LINE__);
        lock_task(matrix_lock);
      }
      continue;
    }
    MATRIX_NODE* busy = nullptr;
    for (MATRIX_NODE* head : m->node_hash)
      for (MATRIX_NODE* n = head; n && !busy; n = n->nh_next) {
        int r = _sync_matrix_node(n);
        // A loading node without a token has nothing left to wait for.
        if (r < 0 && !(r == -3 && !n->process_token)) busy = n;
      }
    if (!busy) break;
    _i_sleep_task_timeout(busy, matrix_lock, 1.0, __FILE__, __LINE__);
    lock_task(matrix_lock);
  }
  // What is synced is handed to the operating system before this returns.
  unlock_task(matrix_lock, "sync_matrix");
  mx_file_sync(m);
  lock_task(matrix_lock);
}

void sync_matrix(MATRIX* m) {
  lock_task(matrix_lock);
  _sync_matrix(m);
  unlock_task(matrix_lock, "sync_matrix");
}

void aboat_status_countup(MATRIX_TOKEN* t) {
  if (t->aboat_status >= 0) ++t->aboat_status;
  else --t->aboat_status;
}

void close_aboat_func(void* token) {
  auto* t = static_cast<MATRIX_TOKEN*>(token);
  if (t->aboat_func) t->aboat_func(t);
  lock_task(matrix_lock);
  if (t->aboat_status > 0) --t->aboat_status;
  else if (t->aboat_status < 0 && ++t->aboat_status == 0) _free_matrix_token(t);
  unlock_task(matrix_lock, "close_aboat_func");
}
