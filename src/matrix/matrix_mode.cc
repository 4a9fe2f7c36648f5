// Scripts, mode and environment of a matrix, its object ids, and the
// update stamps, save mark and dirty time of its nodes.
#include <algorithm>

#include "base/panic.h"
#include "matrix/matrix.h"
#include "matrix/matrix_impl.h"
#include "stream/stream.h"
#include "text/codemethod.h"
#include "text/convert.h"
#include "zu/peer.h"
#include "zu/printer.h"

namespace {

constexpr int kSaveSlots[] = {21, 22, 23};

bool valid_slot(int id) { return id >= 0 && id < kMxScriptSlots; }

// The slot's record, made (empty) on first use.
MATRIX_SEXP* slot_record(MATRIX* m, int id) {
  if (!m->cal[id]) m->cal[id] = xx_new_held_value(nullptr, gc_qn_sexp, __FILE__, __LINE__);
  return m->cal[id];
}

}  // namespace

// ---- scripts

int _set_matrix_cal(MATRIX* m, int id, ZU_SEXP* cal) {
  assert_lock_held(matrix_lock);
  if (!valid_slot(id)) return kMxBadIndex;
  if (get_type(cal) == ZU_TYPE_ERROR) {
    print_sexp(s_stderr, cal, 0);
    ss_printf("\n");
    return -1;
  }
  slot_record(m, id)->data = cal;
  return 0;
}

int set_matrix_cal(MATRIX* m, int id, ZU_SEXP* cal) {
  lock_task(matrix_lock);
  int r = _set_matrix_cal(m, id, cal);
  unlock_task(matrix_lock, "set_matrix_cal");
  return r;
}

int _set_matrix_cal_equ(MATRIX* m, int id, int id2) {
  assert_lock_held(matrix_lock);
  if (!valid_slot(id) || !valid_slot(id2)) return kMxBadIndex;
  void* data = m->cal[id2] ? m->cal[id2]->data : nullptr;
  if (data || m->cal[id]) slot_record(m, id)->data = data;
  return 0;
}

int set_matrix_cal_equ(MATRIX* m, int id, int id2) {
  lock_task(matrix_lock);
  int r = _set_matrix_cal_equ(m, id, id2);
  unlock_task(matrix_lock, "set_matrix_cal_equ");
  return r;
}

// ---- mode

void _set_matrix_mode(MATRIX* m, int mode) {
  assert_lock_held(matrix_lock);
  if (mode < kMxModeOpening || mode > kMxModeClosed) er_panic("set_matrix_mode");
  if (m->mode != kMxModeClosed) m->mode = mode;
  if (m->mode == kMxModeOpening) return;
  if (m->mode == kMxModeActive && (m->flags & kMxAskedWhileOpening) && m->p.trigger) m->p.trigger(1, m);
  _requeue_matrix_wait_tokens(m);
  wakeup_task(m);
  _wake_close_key();
}

void set_matrix_mode(MATRIX* m, int mode) {
  lock_task(matrix_lock);
  _set_matrix_mode(m, mode);
  unlock_task(matrix_lock, "set_matrix_mode");
}

void wait_matrix_mode(MATRIX* m) {
  lock_task(matrix_lock);
  while (m->mode == kMxModeOpening) {
    sleep_task(m, matrix_lock);
    lock_task(matrix_lock);
  }
  unlock_task(matrix_lock, "wait_matrix_mode");
}

int set_matrix_env(MATRIX* m, const char* name, const char* data) {
  if (!name || !data) return -1;
  ZuThreadScope scope("set_matrix_env");
  ZU_SEXP* value = get_string(l_string(std_cm, data));
  lock_task(matrix_lock);
  auto* env = static_cast<ZUISP_ENV*>(m->mx_env ? m->mx_env->data : nullptr);
  unlock_task(matrix_lock, "set_matrix_env");
  // The matrix's own state, whoever's command it is set for.
  EnvWriterScope as_agent(false);
  return env ? set_env(env, l_string(std_cm, name), value) : -1;
}

// ---- counters

int64_t _get_matrix_obj_id(MATRIX* m) {
  assert_lock_held(matrix_lock);
  auto next = static_cast<int64_t>(static_cast<uint64_t>(m->obj_id) + 256);
  m->obj_id = next > 0 ? next : 256;
  return m->obj_id;
}

int64_t get_matrix_obj_id(MATRIX* m) {
  lock_task(matrix_lock);
  int64_t r = _get_matrix_obj_id(m);
  unlock_task(matrix_lock, "get_matrix_obj_id");
  return r;
}

int _get_matrix_update_time(MATRIX_NODE* n, int ch, int ix) {
  assert_lock_held(matrix_lock);
  if (!n->channel || ch < 0 || ch >= n->matrix->p.channel_nos || ix < -2 || ix > 1) return kMxBadIndex;
  int64_t* t = n->channel[ch].update_time;
  if (ix >= 0) {
    t[ix] = ++matrix_update_time;
    return 0;
  }
  if (ix == -1) {
    t[0] = t[1] = t[0] > t[1] ? t[0] : t[1];
    return 0;
  }
  return t[0] == t[1] ? -1 : t[1] < t[0] ? 0 : 1;
}

int get_matrix_update_time(MATRIX_NODE* n, int ch, int ix) {
  lock_task(matrix_lock);
  int r = _get_matrix_update_time(n, ch, ix);
  unlock_task(matrix_lock, "get_matrix_update_time");
  return r;
}

// ---- save mark and dirty time

void _lock_save(MATRIX_NODE* n) {
  assert_lock_held(matrix_lock);
  n->save_lock = 1;
}

void _unlock_save(MATRIX_NODE* n) {
  assert_lock_held(matrix_lock);
  n->save_lock = 0;
  n->save_fired = 0;
  n->dirty_file_time = 0;
  n->lost_said = 0;  // saved: a later loss counts again
  ++n->matrix->save_moves;
  wakeup_task(n);
  wakeup_task(n->matrix);
  _wake_close_key();
}

void lock_save(MATRIX_NODE* n) {
  lock_task(matrix_lock);
  _lock_save(n);
  unlock_task(matrix_lock, "lock_save");
}

void unlock_save(MATRIX_NODE* n) {
  lock_task(matrix_lock);
  _unlock_save(n);
  unlock_task(matrix_lock, "unlock_save");
}

void _set_dirty_file(MATRIX_NODE* n) {
  assert_lock_held(matrix_lock);
  // Whatever changed, a save writes the data again, with or without a
  // save script to be marked for.
  n->data_stored = 0;
  for (int slot : kSaveSlots) {
    MATRIX_SEXP* s = n->matrix->cal[slot];
    if (s && s->data) {
      n->dirty_file_time = static_cast<unsigned int>(mx_now());
      _list_dirty(n);
      return;
    }
  }
}

// ---- the dirty list

namespace {

// The level of n as an index of dirty_level_tail (dim codes of nodes are
// checked against the matrix's levels, which are fewer).
int level_slot(const MATRIX_NODE* n) {
  return static_cast<int>(std::clamp<int64_t>(n->dim_code[0], 0, kMxMaxLevels - 1));
}

}  // namespace

void _list_dirty(MATRIX_NODE* n) {
  assert_lock_held(matrix_lock);
  if (n->dirty_listed) return;
  MATRIX* m = n->matrix;
  const int level = level_slot(n);
  // After the last node of its level, or of the nearest finer level on it.
  MATRIX_NODE* after = nullptr;
  for (int l = level; l >= 0 && !after; --l) after = m->dirty_level_tail[l];
  MATRIX_NODE* before = after ? after->dirty_next : m->dirty_list;
  n->dirty_listed = 1;
  n->dirty_prev = after;
  n->dirty_next = before;
  if (after) after->dirty_next = n;
  else m->dirty_list = n;
  if (before) before->dirty_prev = n;
  else m->dirty_tail = n;
  m->dirty_level_tail[level] = n;
}

void _unlist_dirty(MATRIX_NODE* n) {
  assert_lock_held(matrix_lock);
  if (!n->dirty_listed) return;
  MATRIX* m = n->matrix;
  MATRIX_NODE*& tail = m->dirty_level_tail[level_slot(n)];
  if (tail == n) tail = n->dirty_prev && level_slot(n->dirty_prev) == level_slot(n) ? n->dirty_prev : nullptr;
  if (n->dirty_prev) n->dirty_prev->dirty_next = n->dirty_next;
  else m->dirty_list = n->dirty_next;
  if (n->dirty_next) n->dirty_next->dirty_prev = n->dirty_prev;
  else m->dirty_tail = n->dirty_prev;
  n->dirty_next = n->dirty_prev = nullptr;
  n->dirty_listed = 0;
}

MATRIX_NODE* _first_dirty(MATRIX* m) {
  assert_lock_held(matrix_lock);
  while (MATRIX_NODE* n = m->dirty_list) {
    if (n->dirty_file_time) return n;
    _unlist_dirty(n);
  }
  return nullptr;
}

void _wait_dirty_saved(MATRIX* m) {
  assert_lock_held(matrix_lock);
  for (;;) {
    MATRIX_NODE* n = _first_dirty(m);
    if (!n) return;
    const MATRIX_TOKEN* t = n->process_token;
    if (!n->save_lock && !t) return;  // the next flush saves or reports it
    // A token that is stopped or waits elsewhere may need the caller's
    // help (closing pushes such tokens on): one second at most then.
    bool moving = n->save_lock || (!t->stopped && !_token_waits(t));
    int woken = _i_sleep_task_timeout(n, matrix_lock, 1.0, __FILE__, __LINE__) == 0;
    lock_task(matrix_lock);
    if (!woken || !moving) return;
  }
}

void set_dirty_file(MATRIX_NODE* n) {
  lock_task(matrix_lock);
  _set_dirty_file(n);
  unlock_task(matrix_lock, "set_dirty_file");
}
