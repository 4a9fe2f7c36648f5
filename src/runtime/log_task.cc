// The log task, the console, relay and wait actions, the built-ins GetLog
// and FetchLog with the fetch task, and the start-up of the log.
#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "base/alloc.h"
#include "base/panic.h"
#include "base/task.h"
#include "base/zutime.h"
#include "runtime/interp.h"
#include "runtime/log_impl.h"
#include "runtime/later_services.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/core_init.h"
#include "zu/gc.h"

SEM lock_log = nullptr;

namespace {

constexpr int kGetLogMax = 2000;
constexpr int kFetchBackoffMax = 60;  // seconds

const L_CHAR* wide(const char* literal) { return _l_string_2(std_cm, literal); }

// Ending at exit: the log task and the fetch tasks are told to stop, so
// that no task of the log still sleeps while the process ends.
SEM stop_lock = nullptr;
bool log_stopping = false;  // under stop_lock
int log_tasks_running = 0;  // under stop_lock
int fetch_sleep_key;
constexpr int kStopRecord = -1;  // wait_action of the record that ends the log task

bool stopping() {
  lock_task(stop_lock);
  bool s = log_stopping;
  unlock_task(stop_lock, "stopping");
  return s;
}

void task_started() {
  lock_task(stop_lock);
  ++log_tasks_running;
  unlock_task(stop_lock, "task_started");
}

void task_ended() {
  lock_task(stop_lock);
  --log_tasks_running;
  wakeup_task(&log_tasks_running);
  unlock_task(stop_lock, "task_ended");
}

// The records queued before it are still handled; a fetch task stuck in a
// request is waited for a few seconds at most.
void stop_log() {
  __log_vprintf.store(nullptr);
  lock_task(stop_lock);
  log_stopping = true;
  wakeup_task(&fetch_sleep_key);
  unlock_task(stop_lock, "stop_log");
  LOG_NODE* last = new_log_node();
  last->wait_action = kStopRecord;
  log_insert_dropping(&log_queue, last);
  unsigned int until = get_zutime() + 5;
  lock_task(stop_lock);
  while (log_tasks_running > 0 && get_zutime() < until) {
    _i_sleep_task_timeout(&log_tasks_running, stop_lock, 1, __FILE__, __LINE__);
    lock_task(stop_lock);
  }
  unlock_task(stop_lock, "stop_log");
}

// Gives the calling task an internal interpreter: the named-lock and
// session calls it makes need one.
void make_self_interpreter() {
  if (get_my_zui()) return;
  open_self_interpreter();
}

void do_log_action_console(LOG_NODE* n) {
  const L_CHAR* m = n->d.data;
  if (!m) return;
  // The standard output may carry replies: the console is the error stream.
  s_printf(s_stderr, "%ls", m);
  size_t len = l_strlen(m);
  if (len == 0 || (m[len - 1] != '\n' && m[len - 1] != '\r')) s_printf(s_stderr, "\n");
  s_flush(s_stderr);
}

ZU_SEXP* session_get(URL* u, ZU_SEXP* command) {
  return remote_session(qnlisp_top_env0, log_session, u, wide("server"), wide("user"), wide("Get"),
                        command, nullptr, 0, 0, nullptr);
}

void do_log_action_relay(LOG_ACTION* a, LOG_NODE* n) {
  if (!a->path) return;
  GcFrame frame("log relay");
  ZU_SEXP* form = get_log_node_sexp(&n->d);
  URL u;
  if (get_url2(&u, a->path) != 0) return;
  session_get(&u, list(form));  // the answer is not used
  free_url(&u);
}

void do_log_action_wait(LOG_ACTION* a, LOG_NODE* n) {
  LOG_NODE* copy = new_log_node();
  copy_log_node_data(&copy->d, &n->d);
  copy->wait_action = 1;
  copy->wait_ip = a->ip;
  copy->wait_mask = a->mask;
  last_log_ins_time = get_zutime();
  log_insert_dropping(&log_wait_queue, copy);
}

void log_loop() {
  ZuThreadScope scope("log task");
  for (;;) {
    llpl_check(0);
    auto* n = reinterpret_cast<LOG_NODE*>(delete_queue(&log_queue, nullptr, nullptr, 0));
    if (!n) {
      llpl_check(1);
      n = reinterpret_cast<LOG_NODE*>(delete_queue(&log_queue, nullptr, nullptr, 1));
      if (!n) continue;
    }
    if (n->wait_action == kStopRecord) {
      free_log_node(n);
      log_record_done();
      llpl_check(1);
      return;
    }
    last_log_del_time = get_zutime();
    {
      GcFrame frame("log record");
      lock_task(lock_log);
      for (LOG_COND* c = condition_list; c; c = c->next)
        if (cmp_log_node_data(&n->d, c) == 0)
          for (LOG_ACTION* a = c->action_list; a; a = a->next) do_log_action(a, n);
      unlock_task(lock_log, "log_queue_task1");
    }
    free_log_node(n);
    log_record_done();
  }
}

void log_queue_task1(TKEY) {
  make_self_interpreter();
  log_loop();
  close_self_interpreter();
  task_ended();
}

// Queues the records of an answer: (Log ...) forms, or lists of them.
bool take_fetched(ZU_SEXP* answer) {
  bool got = false;
  for (ZU_SEXP* p = answer; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* el = p->pair.car;
    if (get_type(el) != ZU_TYPE_LIST) continue;
    ZU_SEXP* head = el->pair.car;
    if (get_type(head) == ZU_TYPE_SYMBOL && zu_wcmp_ascii(sym_name(head), "Log") == 0) {
      log_get_element(el);
      got = true;
    } else if (take_fetched(el)) {
      got = true;
    }
  }
  return got;
}

void fetch_loop(URL* u) {
  ZuThreadScope scope("log fetch task");
  int pause = 0;
  while (!stopping()) {
    bool got;
    {
      GcFrame frame("log fetch");
      ZU_SEXP* command = list(list(get_symbol_ascii("GetLog")));
      ZU_SEXP* answer = session_get(u, command);
      got = get_type(answer) == ZU_TYPE_LIST && take_fetched(answer);
    }
    if (got) {
      pause = 0;
      continue;
    }
    pause = pause ? std::min(pause * 2, kFetchBackoffMax) : 1;
    lock_task(stop_lock);
    if (log_stopping) {
      unlock_task(stop_lock, "fetch_loop");
      return;
    }
    _i_sleep_task_timeout(&fetch_sleep_key, stop_lock, pause, __FILE__, __LINE__);
  }
}

// Pulls records from another agent for ever. A peer that fails or has
// nothing to give is asked again after a pause that doubles up to a minute.
void log_queue_task2(TKEY data) {
  L_CHAR* target = static_cast<L_CHAR*>(data);
  make_self_interpreter();
  URL u;
  if (get_url2(&u, target) != 0) {
    log_printf(LOG_LEVEL_WARNING, LOG_LAYER_ZU, nullptr, "FetchLog: invalid target %s",
               n_string(std_cm, target));
    d_f_ree(target);
    close_self_interpreter();
    task_ended();
    return;
  }
  d_f_ree(target);
  fetch_loop(&u);
  free_url(&u);
  close_self_interpreter();
  task_ended();
}

int admit_waiting(SYS_QUEUE*, Q_HEADER* item, void* work) {
  auto* n = reinterpret_cast<LOG_NODE*>(item);
  uint32_t ip = *static_cast<uint32_t*>(work);
  return n->wait_action && ((n->wait_ip ^ ip) & n->wait_mask) == 0 ? 0 : -1;
}

ZU_SEXP* qn_get_log(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_INTERPRETER* z = get_my_zui();
  uint32_t ip = z ? static_cast<uint32_t>(z->ip) : 0;
  ZU_SEXP* head = nullptr;
  ZU_SEXP* tail = nullptr;
  for (int i = 0; i < kGetLogMax; ++i) {
    auto* n = reinterpret_cast<LOG_NODE*>(delete_queue(&log_wait_queue, admit_waiting, &ip, 0));
    if (!n) break;
    last_log_del_time = get_zutime();
    Owned<LOG_NODE, free_log_node> node(n);
    ZU_SEXP* cell = list(get_log_node_sexp(&node->d));
    if (tail) tail->pair.cdr = cell;
    else head = cell;
    tail = cell;
  }
  return head;
}

ZU_SEXP* qn_fetch_log(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  const L_CHAR* target = get_sf_attribute(sf, wide("target"));
  if (!target) return nullptr;
  L_CHAR* copy = ll_copy_str(target);
  task_started();
  if (create_task(log_queue_task2, copy, 2) < 0) {
    d_f_ree(copy);
    task_ended();
  }
  return nullptr;
}

}  // namespace

void do_log_action(LOG_ACTION* a, LOG_NODE* n) {
  switch (a->type) {
    case LOG_ACT_SAVE: do_log_action_save_file(a, n); break;
    case LOG_ACT_CONSOLE: do_log_action_console(n); break;
    case LOG_ACT_RELAY: do_log_action_relay(a, n); break;
    case LOG_ACT_WAIT: do_log_action_wait(a, n); break;
    default: er_panic("do_log_action");
  }
}

void zu_init_log(ZUISP_ENV* env0, ZUISP_ENV* env1) {
  static std::once_flag once;
  std::call_once(once, [env0, env1] {
    lock_log = new_lock(LOCK_LOG);
    stop_lock = new_lock(LOCK_LOG_STOP);
    log_queue.flags = kQueueFifo;
    log_queue.total_limit = 1000;
    setup_queue(&log_queue);
    log_wait_queue.flags = kQueueFifo;
    log_wait_queue.total_limit = 4000;
    setup_queue(&log_wait_queue);
    log_session = open_session(1);
    __log_vprintf.store(zu_log_vprintf);
    {
      ZuThreadScope scope("init_log");
      static const QN_PRIM_DEF kRoot[] = {
          {"GetLog", qn_get_log, 1, 1, 1, 0},
          {nullptr, nullptr, 0, 0, 0, 0},
      };
      static const QN_PRIM_DEF kSecond[] = {
          {"FetchLog", qn_fetch_log, 1, 1, 1, 0},
          {nullptr, nullptr, 0, 0, 0, 0},
      };
      bind_prims(env0, kRoot);
      init_log_cond_prims(env1);
      bind_prims(env1, kSecond);
      for (int i = 0; i <= 5; ++i) bind_agent(env0, log_level_name(i), get_integer(i, nullptr));
      for (int i = 0; i <= 6; ++i) bind_agent(env0, log_layer_name(i), get_integer(i, nullptr));
    }
    task_started();
    if (create_task(log_queue_task1, nullptr, 3) < 0) task_ended();
    std::atexit(stop_log);
  });
}
