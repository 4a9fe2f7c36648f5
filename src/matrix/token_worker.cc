// Tokens and the worker. An access fired on a node becomes a script slot
// of the node's class, appended to the node's one process token; the
// token waits on the priority queue, and the worker of its key runs the
// slot's forms one by one in the token's environment, following the jumps
// and node statuses the script chose. Every slot that ends, fails or is
// skipped reports through its completion byte. A slot runs with the origin
// of whoever caused its access (zu/peer.h), kept on the pending id and then
// on the token, and the jumps it makes keep it: the scripts a peer's read
// causes never run with the agent's powers.
#include "base/alloc.h"
#include "base/panic.h"
#include "matrix/matrix_impl.h"
#include "matrix/node.h"
#include "runtime/delayed.h"
#include "runtime/interp.h"
#include "stream/stream.h"
#include "text/codemethod.h"
#include "text/convert.h"
#include "zu/eval.h"

namespace {

constexpr int kPriAtOnce = 32767;

thread_local bool on_worker = false;
// The matrix whose open method the calling thread is running.
thread_local MATRIX* opening = nullptr;

int slot_of(const MATRIX_NODE* n, int id) { return id - id % 3 + mx_node_class(n); }

bool is_list(ZU_SEXP* s) { return get_type(s) == ZU_TYPE_LIST; }

// The slot a script of t jumps to runs with the origin of the slot that
// jumped.
void jump_to(MATRIX_TOKEN* t, int slot) { _xx_insert_access_list(t, slot, t->origin, __FILE__, __LINE__); }

// What the runner does next; every step but kSuspend holds matrix_lock.
enum class Step { kRun, kSlotEnd, kQueue, kFinish, kLeave, kSuspend };

// Reports the slot being run and every pending one as failed.
void fail_slots(MATRIX_TOKEN* t) {
  MATRIX_NODE* n = t->process_node;
  if (t->access_target_id >= 0) _set_scan_call(n, t->access_target_id, kMxCallError);
  for (int id; (id = _delete_access_list(t)) >= 0;) _set_scan_call(n, slot_of(n, id), kMxCallError);
}

// A status chosen by a jump: the delayed result is filled and the waiting
// tokens go on.
void settle(MATRIX_TOKEN* t, int status) {
  MATRIX_NODE* n = t->process_node;
  n->status = status;
  if (status == kMsOk) {
    n->load_fault = 0;  // a script that settled it ready overcame the fault
    // Ready without a load that compared them: the children entered meanwhile
    // are changes.
    if (n->kids_entered) _set_dirty_file(n);
    n->kids_entered = 0;
  }
  if (status == kMsOk && n->matrix->p.trigger) n->matrix->p.trigger(2, t);
  _matrix_send_result(t);
  _requeue_node_tokens(n);
}

// The end of a script that jumps to no other slot: the status it chose
// (-1: none), else ready when the script loaded its node.
void settle_end(MATRIX_TOKEN* t, int status) {
  if (status < 0 && t->loaded) status = kMsOk;
  t->loaded = 0;
  if (status >= 0) settle(t, status);
}

// The environment the token's scripts run in, made when it first runs: a
// close or a flush queues a token for every node it saves, and tokens that
// only wait their turn hold nothing the collector has to mark.
void give_env(MATRIX_TOKEN* t) {
  if (t->env) return;
  const MATRIX_NODE* n = t->process_node;
  ZuThreadScope scope("matrix token env");
  ZUISP_ENV* env = new_env(static_cast<ZUISP_ENV*>(n->matrix->mx_env->data));
  set_env_work(env, t);
  t->env = xx_new_held_value(env, gc_qnlisp_env, __FILE__, __LINE__);
  t->cal_hold = xx_new_held_value(nullptr, gc_qn_sexp, __FILE__, __LINE__);
  bind_agent(env, "mxThisLevel", get_integer(n->dim_code[0], nullptr));
}

// Steps 1 to 3: the matrix's mode, then the slot to run.
Step begin(MATRIX_TOKEN* t) {
  MATRIX_NODE* n = t->process_node;
  MATRIX* m = n->matrix;
  switch (m->mode) {
    case kMxModeOpening:
      t->wait_matrix = m;
      t->next = m->wait_token;
      m->wait_token = t;
      return Step::kLeave;
    case kMxModeActive:
    case kMxModeClosed:
      break;
    case kMxModeFailed:
      fail_slots(t);
      return Step::kFinish;
    default:
      er_panic("matrix_exec_cal");
  }
  if (m->flags & kMxBroken) {
    fail_slots(t);
    return Step::kFinish;
  }
  give_env(t);
  if (t->access_target_id >= 0) return is_list(t->cal_target) ? Step::kRun : Step::kSlotEnd;
  for (;;) {
    t->err_jump = t->normal_jump = t->err_jump_status = t->normal_jump_status = -1;
    if (t->access_list) t->origin = t->access_list->origin;
    int id = _delete_access_list(t);
    if (id < 0) return Step::kFinish;
    int slot = slot_of(n, id);
    t->access_target_id = slot;
    ZU_SEXP* script = m->cal[slot] ? static_cast<ZU_SEXP*>(m->cal[slot]->data) : nullptr;
    t->cal_target = script;
    t->cal_hold->data = script;
    if (is_list(script)) return Step::kRun;
    _set_scan_call(n, slot, kMxCallDone);  // a slot without a script is done at once
    settle_end(t, -1);
  }
}

// Step 4: the forms, evaluated without matrix_lock.
Step run_forms(MATRIX_TOKEN* t) {
  MATRIX_NODE* n = t->process_node;
  MATRIX* m = n->matrix;
  auto* env = static_cast<ZUISP_ENV*>(t->env->data);
  EVAL_ORIGIN o = t->origin;
  // A save is what a close or a hand-over waits for: no stop of whoever
  // caused it cuts it short.
  if (t->access_target_id >= kMxSaveSlot) o.cause_iid = 0;
  EvalOriginScope origin(o);
  unlock_task(matrix_lock, "matrix_exec_cal");
  while (is_list(t->cal_target)) {
    lock_task(matrix_lock);
    if (_token_waits(t)) _unchain_token(t);  // the script went on past a wait
    if (m->flags & kMxBroken) {
      fail_slots(t);
      return Step::kFinish;
    }
    unlock_task(matrix_lock, "matrix_exec_cal");
    gc_push(nullptr, nullptr, "matrix_exec_cal");
    ZU_SEXP* r = eval(env, car(t->cal_target));
    if (sexp_type(r) != ZU_TYPE_ERROR) {
      t->cal_target = cdr(t->cal_target);
      gc_pop(nullptr, nullptr);
      continue;
    }
    uint32_t code = r->error->code;
    if (code == ZU_ER_EXIT) {
      gc_pop(nullptr, nullptr);
      lock_task(matrix_lock);
      if (_token_waits(t)) _unchain_token(t);
      _set_scan_call(n, t->access_target_id, kMxCallBreak);
      // Nothing queues a stopped token again; a closing matrix ends it now.
      if (m->mode == kMxModeClosed) {
        t->access_target_id = -1;
        fail_slots(t);
        return Step::kFinish;
      }
      t->stopped = 1;
      unlock_task(matrix_lock, "matrix_exec_cal");
      return Step::kSuspend;
    }
    ZU_SEXP* detail = code == ZU_ER_MATRIX_WAIT ? get_el(r->error->data, 1) : nullptr;
    if (get_type(detail) == ZU_TYPE_INTEGER) {
      // Whoever made the token wait queues it again.
      if (detail->integer.num == 2) t->cal_target = cdr(t->cal_target);
      gc_pop(nullptr, nullptr);
      return Step::kSuspend;
    }
    gc_pop(nullptr, nullptr);
    lock_task(matrix_lock);
    if (_token_waits(t)) _unchain_token(t);
    _set_scan_call(n, t->access_target_id, kMxCallError);
    // A loaded node stays loading into the slot an error jumps to.
    if (t->err_jump < 0 || t->err_jump_status >= 0) settle_end(t, t->err_jump_status);
    if (t->err_jump >= 0) {
      t->cal_target = nullptr;
      t->access_target_id = -1;
      jump_to(t, t->err_jump);
      return Step::kQueue;
    }
    if (t->access_list) {
      t->access_target_id = -1;
      return Step::kQueue;
    }
    return Step::kFinish;
  }
  lock_task(matrix_lock);
  if (_token_waits(t)) _unchain_token(t);
  return Step::kSlotEnd;
}

// Step 5: the slot ended without error.
Step end_slot(MATRIX_TOKEN* t) {
  _set_scan_call(t->process_node, t->access_target_id, kMxCallDone);
  if (t->normal_jump >= 0) {  // the script goes on there
    t->access_target_id = -1;
    jump_to(t, t->normal_jump);
    return Step::kQueue;
  }
  settle_end(t, t->normal_jump_status);
  t->cal_target = nullptr;
  if (t->access_list) {
    t->access_target_id = -1;
    return Step::kQueue;
  }
  return Step::kFinish;
}

// An open token: its method runs unless the matrix closed meanwhile; then
// the token goes.
void run_open_token(MATRIX_TOKEN* t) {
  lock_task(matrix_lock);
  MATRIX* m = t->wait_matrix;
  bool run = m && m->mode != kMxModeClosed;
  unlock_task(matrix_lock, "run_open_token");
  if (run) {
    opening = m;
    t->func(t);
    opening = nullptr;
  }
  lock_task(matrix_lock);
  m = t->wait_matrix;  // cleared when the method closed its own matrix
  if (m) {
    if (m->open_token == t) m->open_token = nullptr;
    if (m->p.free_token) m->p.free_token(t, 0);
    wakeup_task(m);
    _wake_close_key();
  }
  _free_matrix_token(t);
  unlock_task(matrix_lock, "run_open_token");
}

}  // namespace

int mx_node_class(const MATRIX_NODE* n) {
  int64_t level = n->dim_code[0];
  if (level == n->matrix->total_levels - 1) return 0;
  return level == 0 ? 2 : 1;
}

void _mx_node_loaded(MATRIX_NODE* n) {
  assert_lock_held(matrix_lock);
  MATRIX_TOKEN* t = n->process_token;
  if (t && t->access_target_id >= 0 && n->status != kMsOk) {
    t->loaded = 1;
    return;
  }
  n->status = kMsOk;
  wakeup_task(n);
}

void _set_scan_call(MATRIX_NODE* n, int slot, signed char value) {
  assert_lock_held(matrix_lock);
  if (slot < 0 || slot >= kMxScriptSlots) return;
  n->scan_call[slot / 3] = value;
  wakeup_task(&n->scan_call[slot / 3]);
}

bool mx_open_method_running(const MATRIX* m) { return opening == m; }

// ---- tokens

MATRIX_TOKEN* _new_matrix_token(MATRIX_NODE* n) {
  assert_lock_held(matrix_lock);
  if (n->process_token) er_panic("_new_matrix_token");
  MATRIX* m = n->matrix;
  auto* t = reinterpret_cast<MATRIX_TOKEN*>(new_queue_node(sizeof(MATRIX_TOKEN)));
  ++m->token_cnt;
  t->process_node = n;
  t->access_target_id = -1;
  t->err_jump = t->normal_jump = t->err_jump_status = t->normal_jump_status = -1;
  n->process_token = t;
  if (m->p.new_token) m->p.new_token(t, 1);
  return t;
}

void _free_matrix_token(MATRIX_TOKEN* t) {
  assert_lock_held(matrix_lock);
  while (_delete_access_list(t) >= 0) {
  }
  while (MATRIX_LIST* e = t->locked_node_list) {
    t->locked_node_list = e->next;
    d_f_ree(e);
  }
  d_f_ree(t->h.key);
  d_f_ree(t);
}

void _xx_insert_access_list(MATRIX_TOKEN* t, int acc, const EVAL_ORIGIN& origin, const char* file, int line) {
  assert_lock_held(matrix_lock);
  MATRIX_ACCESS_LIST** pp = &t->access_list;
  for (; *pp; pp = &(*pp)->next) {
    MATRIX_ACCESS_LIST* a = *pp;
    if (a->id != acc) continue;
    // The agent's access joins any pending one, a peer's its own or the
    // agent's (which then runs as the peer's); another peer's runs apart.
    // The joined one runs for the latest cause: whoever asked last still
    // wants it when an earlier asker has been stopped.
    if (!origin.for_peer || same_origin(a->origin, origin)) {
      a->origin.cause_iid = origin.cause_iid;
      a->origin.cause_form = origin.cause_form;
      return;
    }
    if (!a->origin.for_peer) {
      a->origin = origin;
      return;
    }
  }
  auto* a = static_cast<MATRIX_ACCESS_LIST*>(xx_d_alloc(sizeof(MATRIX_ACCESS_LIST), file, line));
  a->next = nullptr;
  a->id = acc;
  a->origin = origin;
  *pp = a;
}

int _delete_access_list(MATRIX_TOKEN* t) {
  assert_lock_held(matrix_lock);
  MATRIX_ACCESS_LIST* a = t->access_list;
  if (!a) return -1;
  t->access_list = a->next;
  int id = a->id;
  d_f_ree(a);
  return id;
}

int _matrix_token_pri(const MATRIX_TOKEN* t) {
  assert_lock_held(matrix_lock);
  int slot = t->access_target_id >= 0 ? t->access_target_id : t->access_list ? t->access_list->id : -1;
  if (slot < 0 || slot >= kMxScriptSlots) return kPriAtOnce;
  const MATRIX_NODE* n = t->process_node;
  const MATRIX* m = n->matrix;
  int word = m->p.pri_area[slot];
  int base = static_cast<int>(static_cast<unsigned>(word) >> 16);
  auto level = static_cast<int32_t>(n->dim_code[0]);
  switch (word & 0xFFFF) {
    case 0: return base + level;                        // coarse nodes first
    case 1: return base - level + 2 * m->total_levels;  // fine nodes first
    case 2: return base;
    case 3: return kPriAtOnce;
    default: er_panic("_matrix_token_pri");
  }
}

void _xx_insert_matrix_access(MATRIX_TOKEN* t, void (*func)(MATRIX_TOKEN*), const char* file, int line) {
  assert_lock_held(matrix_lock);
  d_f_ree(t->h.key);
  t->h.key = nl_copy_str(ascii_cm, "_get_matrix_access");
  t->func = func;
  t->h.pri = _matrix_token_pri(t);
  t->c_file = file;
  t->c_line = line;
  t->stopped = 0;
  xx_insert_queue(&matrix_que, &t->h, 0, file, line);
}

void xx_insert_matrix_access(MATRIX_TOKEN* t, void (*func)(MATRIX_TOKEN*), const char* file, int line) {
  lock_task(matrix_lock);
  _xx_insert_matrix_access(t, func, file, line);
  unlock_task(matrix_lock, "insert_matrix_access");
}

void _set_access_jump(MATRIX_TOKEN* t, int err_jump, int normal_jump, int err_jump_status, int normal_jump_status) {
  assert_lock_held(matrix_lock);
  if (err_jump >= 0) t->err_jump = err_jump;
  if (normal_jump >= 0) t->normal_jump = normal_jump;
  if (err_jump_status >= 0) t->err_jump_status = err_jump_status;
  if (normal_jump_status >= 0) t->normal_jump_status = normal_jump_status;
}

void set_access_jump(MATRIX_TOKEN* t, int err_jump, int normal_jump, int err_jump_status, int normal_jump_status) {
  lock_task(matrix_lock);
  _set_access_jump(t, err_jump, normal_jump, err_jump_status, normal_jump_status);
  unlock_task(matrix_lock, "set_access_jump");
}

// ---- accesses

void _get_matrix_access(MATRIX_NODE* n) {
  assert_lock_held(matrix_lock);
  if (n->status != kMsNew) return;
  n->status = kMsLoading;
  wakeup_task(n);
  int acc = kMxFetchSlot + mx_node_class(n);
  if (MATRIX_TOKEN* t = n->process_token) {
    _insert_access_list(t, acc);
    return;
  }
  MATRIX_TOKEN* t = _new_matrix_token(n);
  _insert_access_list(t, acc);
  _insert_matrix_access(t, matrix_exec_cal);
}

void _matrix_trigger_access(MATRIX_NODE* n, int access, int clear_err) {
  assert_lock_held(matrix_lock);
  if (access < 0 || access >= kMxScriptSlots) return;
  MATRIX_TOKEN* t = n->process_token;
  bool fresh = !t;
  if (fresh) t = _new_matrix_token(n);
  int cls = mx_node_class(n);
  // An error status is left first, with the slot that repairs it.
  int repair = -1;
  switch (n->status) {
    case kMsLoadingErr1:
    case kMsProcessErr1:
      repair = n->status == kMsLoadingErr1 ? kMxFetchSlot : kMxVisuSlot;
      if (repair == kMxFetchSlot) n->load_fault = 0;  // the fetch's load says anew
      n->status = kMsLoading;
      wakeup_task(n);
      break;
    case kMsEditErr1:
    case kMsEditErr2:
      repair = n->status == kMsEditErr1 ? kMxEditSlot1 : kMxEditSlot2;
      if (clear_err) {
        n->status = kMsOk;
        wakeup_task(n);
        _wake_close_key();
      }
      break;
    case kMsNew:
    case kMsLoading:
    case kMsOk:
      break;
    default:
      er_panic("matrix_trigger_access");
  }
  if (repair >= 0 && access != kMxFetchSlot) _insert_access_list(t, repair + cls);
  _insert_access_list(t, access - access % 3 + cls);
  if (fresh) _insert_matrix_access(t, matrix_exec_cal);
}

void matrix_trigger_access(MATRIX_NODE* n, int access, int clear_err) {
  lock_task(matrix_lock);
  _matrix_trigger_access(n, access, clear_err);
  unlock_task(matrix_lock, "matrix_trigger_access");
}

// ---- the worker

int matrix_on_worker() { return on_worker ? 1 : 0; }

void matrix_que_task(void*) {
  L_CHAR* key = touch_qkey(&matrix_que);
  if (!key) return;
  // The evaluator's break checks and thread state need an interpreter
  // (when the interpreter table is up: a store may run without it).
  {
    SelfInterpreterScope self;
    on_worker = true;
    {
      ZuThreadScope scope("matrix worker");
      for (;;) {
        gc_push(nullptr, nullptr, "dm_loading_task");
        auto* t = reinterpret_cast<MATRIX_TOKEN*>(delete_queue(&matrix_que, sq_key_cond, key, 0));
        if (!t) {
          gc_pop(nullptr, nullptr);
          break;
        }
        if (t->process_node) t->func(t);
        else run_open_token(t);
        gc_pop(nullptr, nullptr);
      }
    }
    on_worker = false;
  }
  release_qkey(&matrix_que, key);
  d_f_ree(key);
}

void matrix_exec_cal(MATRIX_TOKEN* t) {
  MATRIX* m = t->process_node->matrix;
  lock_task(matrix_lock);
  Step s = begin(t);
  if (s == Step::kRun) s = run_forms(t);
  if (s == Step::kSuspend) return;
  if (s == Step::kSlotEnd) s = end_slot(t);
  if (s == Step::kQueue) _insert_matrix_access(t, matrix_exec_cal);
  else if (s == Step::kFinish) _finish_matrix_token(t);
  bool idle = m->token_cnt == 0;
  int (*trigger)(int, void*) = m->p.trigger;
  unlock_task(matrix_lock, "matrix_exec_cal");
  if (idle && trigger) trigger(4, nullptr);
}

void _finish_matrix_token(MATRIX_TOKEN* t) {
  assert_lock_held(matrix_lock);
  MATRIX_NODE* n = t->process_node;
  MATRIX* m = n->matrix;
  while (MATRIX_LIST* e = t->locked_node_list) _unlock_node(e->node, t);
  for (MATRIX_SEXP* s : {t->env, t->cal_hold})
    if (s) s->del.store(1, std::memory_order_release);
  t->env = t->cal_hold = nullptr;
  if (m->p.free_token) m->p.free_token(t, 0);
  // A fetch that ended with no script settling the node (or that was cut
  // short after its load: a broken matrix, a break) leaves it loading
  // with nobody to finish it: its requests are answered at once from now
  // on (node_cache.cc), and a remote reader's delayed result now.
  if (n->status == kMsNew || n->status == kMsLoading) _matrix_send_result(t);
  n->process_token = nullptr;
  t->stopped = 0;
  t->loaded = 0;
  wakeup_task(n);
  _wake_close_key();
  if (t->aboat_status > 0) t->aboat_status = -t->aboat_status;
  else if (t->aboat_status == 0) _free_matrix_token(t);
  if (--m->token_cnt < 0) er_panic("_finish_matrix_token");
  _requeue_node_tokens(n);
}

void _end_stopped_token(MATRIX_TOKEN* t) {
  assert_lock_held(matrix_lock);
  t->access_target_id = -1;  // its slot reported the break already
  fail_slots(t);
  _finish_matrix_token(t);
}

void _matrix_token_error(MATRIX_TOKEN* t) {
  assert_lock_held(matrix_lock);
  MATRIX_NODE* n = t->process_node;
  _set_scan_call(n, t->access_target_id, kMxCallError);
  if (t->err_jump < 0 || t->err_jump_status >= 0) settle_end(t, t->err_jump_status);
  t->cal_target = nullptr;
  t->access_target_id = -1;
  if (t->err_jump >= 0) jump_to(t, t->err_jump);
  _insert_matrix_access(t, matrix_exec_cal);
}

void matrix_token_error(MATRIX_TOKEN* t) {
  lock_task(matrix_lock);
  _matrix_token_error(t);
  unlock_task(matrix_lock, "matrix_token_error");
}

void _matrix_send_result(MATRIX_TOKEN* t) {
  assert_lock_held(matrix_lock);
  MATRIX_NODE* n = t->process_node;
  if (!n->send_data) return;
  {
    ZuThreadScope scope("_matrix_send_result");
    ZU_SEXP* v = n->status == kMsOk ? encode_matrix_node(n) : nullptr;
    if (!v) v = get_error_ascii(nullptr, 0, ZU_ER_NO_OBJECT, "Get", get_string_ascii("get_matrix there is no node"));
    set_d_sexp(static_cast<D_SEXP*>(n->send_data_delay->data), v);
  }
  // The delay lives on with its readers; the store lets go of it.
  n->send_data->del.store(1, std::memory_order_release);
  n->send_data_delay->del.store(1, std::memory_order_release);
  n->send_data = n->send_data_delay = nullptr;
}

// ---- debug helpers

void xx_check_point(MATRIX_TOKEN* t, const char* file, int line) {
  t->c_file = file;
  t->c_line = line;
}

void token_check(const MATRIX_TOKEN* t) {
  if (!t->process_node || t->process_node->process_token != t) er_panic("token_check");
}

void see_access_list(const MATRIX_ACCESS_LIST* a) {
  if (!mx_trace()) return;
  ss_printf("alist(");
  for (; a; a = a->next) ss_printf("%i ", a->id);
  ss_printf(")\n");
}
