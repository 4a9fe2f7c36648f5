// Thread, DelayAppend, KillThread and Sleep.
#include "zulib/threads.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "base/lock.h"
#include "base/task.h"
#include "base/tick.h"
#include "runtime/delayed.h"
#include "runtime/interp.h"
#include "runtime/peer_tasks.h"
#include "runtime/relay.h"
#include "runtime/remote.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zu/gc.h"
#include "zu/peer_account.h"
#include "zu/unit.h"

namespace {

// One running Thread: a collected block, pinned by the caller until it has
// seen ok_flag and by the thread task for the task's life. Every field is
// guarded by sthread_lock.
struct TH_DATA {
  TH_DATA* next;
  int parent_tid;  // task that called Thread
  int child_tid;   // the thread's task
  int child_iid;   // the thread's interpreter
  D_SEXP* delay;   // the current link of the result stream
  unsigned use_DelayAppend : 1;
  unsigned ok_flag : 1;            // the task has started and filled its ids
  unsigned release_base_flag : 1;  // the caller no longer touches the record
  ZUISP_ENV* env;                  // the caller's environment
  ZU_SEXP* args;                   // the Thread form
  EVAL_ORIGIN origin;              // the caller's: the forms run on its behalf
  GC_SHARE* share;                 // a peer's thread: its address's heap share
};

SEM sthread_lock = nullptr;
TH_DATA* sthread_list = nullptr;  // newest first

// Thread t is to start: false when its peer holds all the tasks it may;
// else a peer's thread is counted against its address's tasks, which it
// holds until it ends (it outlives the peer's link), and given the
// address's heap share: a peer's threads together hold at most a quarter
// of the heap budget, as one link's evaluations do (zu/gc.h).
bool count_peer_thread(TH_DATA* t) {
  if (!t->origin.for_peer) return true;
  if (!take_peer_tasks(t->origin, 1)) return false;
  // A peer whose address is not known holds no account, so no share.
  if (t->origin.peer_ip) t->share = account_thread_share(t->origin.peer_ip);
  return true;
}

// A thread for origin has ended (and left its share), or never started.
void uncount_peer_thread(const EVAL_ORIGIN& origin) { give_peer_tasks(origin, 1); }

void gc_th_data(void* block) {
  auto* t = static_cast<TH_DATA*>(block);
  if (gc_mark_block(t)) return;
  gc_mark(t->delay, gc_d_sexp);
  gc_mark(t->env, gc_qnlisp_env);
  gc_mark(t->args, gc_qn_sexp);
}

// sthread_lock held.
void _unlink_thread(TH_DATA* t) {
  assert_lock_held(sthread_lock);
  for (TH_DATA** p = &sthread_list; *p; p = &(*p)->next) {
    if (*p == t) {
      *p = t->next;
      return;
    }
  }
}

// sthread_lock held; waits (releasing it meanwhile) until flag is set.
template <class F>
void _wait_for(TH_DATA* t, F flag_set) {
  assert_lock_held(sthread_lock);
  while (!flag_set()) {
    sleep_task(t, sthread_lock);
    lock_task(sthread_lock);
  }
}

// The task: its own interpreter, the forms in the caller's environment,
// the delivery, then the hand-shake that lets the record go.
void thread_task(TKEY data) {
  auto* t = static_cast<TH_DATA*>(data);
  int iid = open_self_interpreter();
  {
    ZuThreadScope scope("Thread");
    gc_set_nl(t, gc_th_data);
    lock_task(sthread_lock);
    t->child_iid = iid;
    t->child_tid = get_tid();
    t->ok_flag = 1;
    wakeup_task(t);
    unlock_task(sthread_lock, "Thread");

    // A peer's thread holds of the heap what its address's threads may.
    GC_SHARE* share = t->share;
    GC_SHARE* outer = share ? gc_attach_share(share) : nullptr;
    ZU_SEXP* r;
    {
      EvalOriginScope origin(t->origin);
      r = eval_body(t->env, t->args->pair.cdr);
    }
    if (share) gc_attach_share(outer);
    bool error = get_type(r) == ZU_TYPE_ERROR;  // forced here, never under the lock
    lock_task(sthread_lock);
    set_d_sexp(t->delay, t->use_DelayAppend && !error ? nullptr : r);
    _wait_for(t, [t] { return t->release_base_flag; });
    _unlink_thread(t);
    unlock_task(sthread_lock, "Thread");
    uncount_peer_thread(t->origin);
  }
  close_self_interpreter();
}

int thread_pri(const L_CHAR* text) {
  if (!text) return 3;
  long n = std::strtol(n_string(std_cm, text), nullptr, 10);
  return n < kMinPri ? kMinPri : n > kMaxPri ? kMaxPri : static_cast<int>(n);
}

ZU_SEXP* zu_Thread(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  int pri = thread_pri(head_option(sf, "pri"));
  auto* t = static_cast<TH_DATA*>(mmalloc(sizeof(TH_DATA), gc_th_data));
  t->parent_tid = get_tid();
  t->env = env;
  t->args = form;
  t->origin = eval_origin_handed();
  ZU_SEXP* value = new_d_sexp(&t->delay);
  // A peer's threads are bounded by its address, so that no peer takes
  // every thread the process can have from the others.
  if (!count_peer_thread(t)) return error_text_at(form, ZU_ER_LAUNCH, "Thread", "cannot start a thread");
  lock_task(sthread_lock);
  t->next = sthread_list;
  sthread_list = t;
  if (create_task(thread_task, t, pri) < 0) {
    _unlink_thread(t);
    unlock_task(sthread_lock, "Thread");
    uncount_peer_thread(t->origin);
    return error_text_at(form, ZU_ER_LAUNCH, "Thread", "cannot start a thread");
  }
  _wait_for(t, [t] { return t->ok_flag; });
  t->release_base_flag = 1;
  wakeup_task(t);
  unlock_task(sthread_lock, "Thread");
  return value;
}

// A list becomes its members followed by a fresh delayed tail; anything
// else (nil, an atom, an improper list) is delivered as it is.
ZU_SEXP* zu_DelayAppend(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* v = get_el(form, 1);
  D_SEXP* fresh = nullptr;
  if (get_type(v) == ZU_TYPE_LIST && list_length(v) > 0) {
    ListBuilder copy;
    for (ZU_SEXP* p = v; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) copy.add(p->pair.car);
    copy.last->pair.cdr = new_d_sexp(&fresh);
    v = copy.head;
  }
  int me = get_tid();
  lock_task(sthread_lock);
  TH_DATA* t = sthread_list;
  while (t && !(t->ok_flag && t->child_tid == me)) t = t->next;
  if (!t) {
    unlock_task(sthread_lock, "DelayAppend");
    return error_text_at(form, ZU_ER_NOT_AVAILABLE, "DelayAppend", "this command cannot use in this thread");
  }
  set_d_sexp(t->delay, v);
  if (fresh) t->delay = fresh;
  t->use_DelayAppend = 1;
  unlock_task(sthread_lock, "DelayAppend");
  return nullptr;
}

// The argument is evaluated here without waiting for it: a thread's value
// is still pending while the thread runs, and forcing it would wait for
// the very thread to be stopped.
ZU_SEXP* zu_KillThread(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  D_SEXP* link = nullptr;
  bool by_value = list_length(form) == 2;
  if (by_value) {
    ZU_SEXP* v = eval(env, get_el(form, 1));
    if (sexp_type(v) == ZU_TYPE_ERROR) return v;
    link = search_d_sexp(v);
    if (!link) return nullptr;
  }
  int me = get_tid();
  std::vector<int> iids;
  bool others = false;  // a thread that a peer may not stop
  lock_task(sthread_lock);
  for (TH_DATA* t = sthread_list; t; t = t->next) {
    if (!t->ok_flag || !(by_value ? t->delay == link : t->parent_tid == me)) continue;
    if (may_act_for(t->origin)) iids.push_back(t->child_iid);
    else others = true;
  }
  unlock_task(sthread_lock, "KillThread");
  for (int iid : iids) send_cancel(iid);
  return others ? peer_not_own(form, "KillThread") : nullptr;
}

// ---- Sleep

int64_t whole_seconds(ZUISP_ENV* env, ZU_SEXP* d) {
  bool integer = get_type(d) == ZU_TYPE_INTEGER;
  double v = integer ? static_cast<double>(d->integer.num) : d->floating.num;
  int err = 0;
  double s = conv_unit(&err, uenv_in_force(env), v, integer ? d->integer.unit : d->floating.unit,
                       l_string(std_cm, "sec"));
  if (err) s = v;  // no unit, or not a time: the number counts as seconds
  if (!(s >= 1)) return 0;  // NaN too
  return s >= 9.0e18 ? INT64_MAX : static_cast<int64_t>(s);
}

ZU_SEXP* zu_Sleep(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* d = get_el(form, 1);
  int type = get_type(d);
  if (type != ZU_TYPE_INTEGER && type != ZU_TYPE_FLOATING) return error_text_at(form, ZU_ER_TYPE, "Sleep", nullptr);
  for (int64_t n = whole_seconds(env, d); n >= 1; --n) {
    if (ZU_SEXP* stop = do_break_check_now(form)) return stop;
    sleep_sec(1);
  }
  return d;
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kThread[] = {
    {"Thread", zu_Thread, 0, 1, -1, 0},
    {"DelayAppend", zu_DelayAppend, 1, 2, 2, T},
    {"KillThread", zu_KillThread, 0, 1, 2, 0},
    {},
};
const QN_PRIM_DEF kSleep[] = {{"Sleep", zu_Sleep, 1, 2, 2, T}, {}};

}  // namespace

void init_Thread(ZUISP_ENV* env) {
  if (!lock_up_test(sthread_lock)) sthread_lock = new_lock(LOCK_SCRIPT_THREADS);
  bind_prims(env, kThread);
}

void init_Sleep(ZUISP_ENV* env) { bind_prims(env, kSleep); }

int running_script_threads() {
  if (!lock_up_test(sthread_lock)) return 0;
  lock_task(sthread_lock);
  int n = 0;
  for (TH_DATA* t = sthread_list; t; t = t->next) ++n;
  unlock_task(sthread_lock, "running_script_threads");
  return n;
}
