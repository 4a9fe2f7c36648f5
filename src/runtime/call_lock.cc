#include "runtime/call_lock.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/lock.h"
#include "base/panic.h"
#include "base/paths.h"
#include "base/task.h"
#include "base/tick.h"
#include "base/zutime.h"
#include "runtime/interp.h"
#include "runtime/log.h"
#include "runtime/remote.h"
#include "text/convert.h"
#include "zu/core_init.h"
#include "zu/errcodes.h"
#include "zu/eval.h"
#include "zu/gc.h"

struct CALL_LOCK_THREAD {
  CALL_LOCK_THREAD* next;
  int tid;
};

// Every field of both records is guarded by call_lock_lock.
struct CALL_LOCK_INTERPRETER {
  CALL_LOCK_INTERPRETER* next;
  int zui;
  int ref;     // locks granted through it and requests under way on it
  int status;  // CLI_*
  unsigned call_time;
  int lost;    // its link has ended: never used again, freed once unreferenced
};

// A link to the service being opened by a task of its own, so that the
// asker waits for it on its own deadline and stop, holding no lock
// (call_lock_lock guards every field). Whoever comes last frees it: the
// opener once it is done and the asker gone, or the asker.
struct CALL_LOCK_CONNECTING {
  int permission_wait;  // seconds the opening waits for the admission
  int iid;              // the set-up's result, once done
  int err;              // errno of a failed set-up
  bool done;
  bool abandoned;       // the asker gave up: a link made is closed again
};

struct CALL_LOCK_TABLE {
  CALL_LOCK_TABLE* next;
  L_CHAR* name;
  int tid;  // the writer; 0 for a read lock
  CALL_LOCK_THREAD* threads;
  CALL_LOCK_INTERPRETER* cli;  // null while the request is under way
  CALL_LOCK_INTERPRETER* asking;  // the link the request is under way on
  int seq;
  void* event_data;
  CALL_LOCK_EVENT_FUNC event_func;
  uint64_t serial;  // told apart from a later table at the same address
  // The service called back before the grant was taken in here (its reply
  // and its event travel one after the other): the event is delivered once
  // the grant is.
  int early_event;
};

namespace {

// A link holds at most one lock, and carries one query at a time.
constexpr int CLI_IDLE = 0;    // free for the next request
constexpr int CLI_IN_USE = 1;  // a request or a give-back travels on it
constexpr int CLI_FAILED = 2;  // closed or closing: never used again
constexpr int CLI_HELD = 3;    // holds the lock granted over it
constexpr unsigned kIdleClose = 3600;
constexpr int kTries = 3;
// A waiting task looks at its break check this often.
constexpr double kStopCheckSeconds = 1.0;
// A service that answers Busy to a new link is asked again after this, and
// one that could not be reached (restarting) after that.
constexpr double kBusyRetrySeconds = 5.0;
constexpr double kConnectRetrySeconds = 0.25;

using Clock = std::chrono::steady_clock;

SEM call_lock_lock = nullptr;
int call_lock_seq = 0;
int lock_port = 0;
L_CHAR* lock_hostname = nullptr;
// The environment of the links to the service (set at start-up, then only
// read).
ZUISP_ENV* service_env = nullptr;
CALL_LOCK_INTERPRETER* li_list = nullptr;
CALL_LOCK_TABLE* lt_list = nullptr;
unsigned age_shift = 0;  // test support: added to the clock
int waiting = 0;         // tasks asleep in xx_call_lock
uint64_t last_serial = 0;
// Give-backs whose query still travels (xx_call_unlock).
int giving_back = 0;
// The service let a give-back's short wait run out and has answered
// nothing since: later give-backs close their links at once instead of
// waiting as well, so that giving every lock back takes one short wait in
// all. Any answer of the service clears it.
bool service_silent = false;
// Why the service failed the last request refused, as the refusal tells
// it ("the lock service HOST:PORT closed the connection"); empty when the
// service was asked and did not grant (the name is held elsewhere), and
// once a lock was granted.
std::string& refusal_cause = *new std::string;

unsigned now() { return get_zutime() + age_shift; }

bool stopped();

// Links to the service, for the interpreters' close hook (which runs under
// zui_lock and so may not take call_lock_lock). A leaf lock. Never
// destroyed: links may still close while the process exits.
std::mutex& links_mu = *new std::mutex;
std::vector<int>& link_iids = *new std::vector<int>;  // links_mu

void note_link(int iid, bool open) {
  std::lock_guard<std::mutex> g(links_mu);
  if (open)
    link_iids.push_back(iid);
  else
    std::erase(link_iids, iid);
}

void lock_cl() { lock_task(call_lock_lock); }
void unlock_cl(const char* label) { unlock_task(call_lock_lock, label); }

// ---- the service's address

// Reads LockPort and LockHostName once both have been found; -1 while the
// service is not configured. Lock held, memory lock held.
int lock_server_info() {
  if (lock_port && lock_hostname) return 0;
  GcFrame frame("lock_server_info");
  // Only the agent's own bindings name the service: a peer that bound them
  // would have this agent connect to a server of its choosing.
  ZU_SEXP* port = agent_setting(qnlisp_top_env1, "LockPort");
  if (get_type(port) != ZU_TYPE_INTEGER) return -1;
  lock_port = static_cast<int>(port->integer.num);
  ZU_SEXP* host = agent_setting(qnlisp_top_env1, "LockHostName");
  if (get_type(host) != ZU_TYPE_STRING) {
    lock_port = 0;
    return -1;
  }
  lock_hostname = ll_copy_str(str_text(host));
  return 0;
}

// ---- connections

void free_cli(CALL_LOCK_INTERPRETER* cli) {
  if (cli->status == CLI_IN_USE || cli->ref) er_panic("free_cli: connection in use");
  CALL_LOCK_INTERPRETER** pp = &li_list;
  while (*pp && *pp != cli) pp = &(*pp)->next;
  if (!*pp) er_panic("free_cli: connection not listed");
  *pp = cli->next;
  note_link(cli->zui, false);
  d_f_ree(cli);
}

void connect_task(TKEY data) {
  auto* c = static_cast<CALL_LOCK_CONNECTING*>(data);
  int iid = -1, err = 0;
  {
    ZuThreadScope scope("call_lock connect");
    ZU_INTERPRETER* zui = new_zu_interpreter();
    zui->a_type = ZUI_CONNECT;
    zui->env = service_env;
    // The service serves the agent, whoever's matrix open asked for it.
    zui->origin = kAgentOrigin;
    lock_cl();
    zui->port = lock_port;
    zui->hostname = ll_copy_str(lock_hostname);
    zui->permission_wait = c->permission_wait;
    unlock_cl("connect_task");
    zui->unlisted = 1;
    iid = setup_i(zui);
    err = errno;
    if (iid == ZUI_ERR_SHUTDOWN) {
      // The one failure after which the record and its stream are ours.
      if (zui->inp) d_s_close(zui->inp);
      free_zu_interpreter(zui);
    }
  }
  lock_cl();
  const bool abandoned = c->abandoned;
  c->iid = iid;
  c->err = err;
  c->done = true;
  wakeup_task(c);
  unlock_cl("connect_task");
  if (!abandoned) return;
  if (iid > 0) close_interpreter_nowait(iid);
  delete c;
}

Clock::duration to_duration(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

double seconds_left(Clock::time_point deadline) {
  return std::chrono::duration<double>(deadline - Clock::now()).count();
}

std::string service_name() {
  char* host = lock_hostname ? ln_copy_str(std_cm, lock_hostname) : nullptr;
  std::string r = "the lock service " + std::string(host ? host : "?") + ":" + std::to_string(lock_port);
  d_f_ree(host);
  return r;
}

// What a service that was reached but did not admit within the seconds
// since `began` did.
std::string not_admitted(Clock::time_point began) {
  const long waited = std::lround(std::chrono::duration<double>(Clock::now() - began).count());
  return "did not admit within " + std::to_string(waited) + " s";
}

// Why a set-up begun at `began` that gave `iid` (errno err) did not make a
// link. A connection that timed out reads as one not admitted in time:
// the set-up tells the two apart by no other errno.
std::string connect_failure(int iid, int err, Clock::time_point began) {
  switch (iid) {
    case ZUI_ERR_BUSY:
      return "answers Busy";
    case ZUI_ERR_DENIED:
      return "refuses this agent";
    case ZUI_ERR_SHUTDOWN:
      return "cannot be asked while the agent ends";
    default:
      break;
  }
  if (iid == ZUI_ERR_CONNECT && err == ECONNRESET) return "closed the connection";
  if (iid == ZUI_ERR_CONNECT && err == ETIMEDOUT) return not_admitted(began);
  return std::string("cannot be reached: ") + std::strerror(err ? err : EIO);
}

// Waits (lock held, released while asleep) until deadline for whatever
// ends the wait of the asker: done() or its stop. False when it ran out
// or the task was stopped.
template <class Done>
bool _wait_stoppable(const void* key, Clock::time_point deadline, Done done) {
  assert_lock_held(call_lock_lock);
  while (!done()) {
    const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    _i_sleep_task_timeout(key, call_lock_lock, std::min(left, kStopCheckSeconds), __FILE__, __LINE__);
    const bool stop = stopped();
    lock_cl();
    if (stop) return false;
  }
  return true;
}

// Waits `seconds` before the service is asked again (lock held, released
// while asleep), at most until deadline: false when the task was stopped.
bool _pause_before_asking(double seconds, Clock::time_point deadline) {
  const Clock::time_point retry = std::min(deadline, Clock::now() + to_duration(seconds));
  return !_wait_stoppable(&refusal_cause, retry, [] { return false; }) && Clock::now() >= retry;
}

// Opens a link to the service by deadline: its iid, or -1 with what the
// service did in *why ("closed the connection", "did not admit within
// 5 s", "cannot be reached: Connection refused"). Connecting, the
// admission, the service's Busy answers and a service away for a moment
// (restarting: it is asked again until the deadline) all count against
// the deadline, and a stop ends the wait; the module lock is held on entry
// and return, not while the link is made.
int _connect_lock_zui(Clock::time_point deadline, std::string* why) {
  assert_lock_held(call_lock_lock);
  for (;;) {
    const double left = seconds_left(deadline);
    if (left <= 0) break;
    const Clock::time_point began = Clock::now();
    auto* c = new CALL_LOCK_CONNECTING{static_cast<int>(std::ceil(left)), 0, 0, false, false};
    if (create_task(connect_task, c, 3) < 0) {
      delete c;
      *why = "cannot be asked: no task";
      break;
    }
    if (!_wait_stoppable(c, deadline, [c] { return c->done; })) {
      c->abandoned = !c->done;
      if (c->done) {
        if (c->iid > 0) close_interpreter_nowait(c->iid);
        delete c;
      }
      // The wait ran out with this attempt under way: what an earlier
      // attempt met says more than one the deadline cut at once.
      const bool waited = Clock::now() - began >= to_duration(kStopCheckSeconds);
      if (why->empty() || waited) *why = not_admitted(began);
      break;
    }
    const int iid = c->iid, err = c->err;
    delete c;
    if (iid > 0) {
      service_silent = false;
      why->clear();
      return iid;
    }
    *why = connect_failure(iid, err, began);
    if (iid == ZUI_ERR_DENIED || iid == ZUI_ERR_SHUTDOWN) break;
    if (!_pause_before_asking(iid == ZUI_ERR_BUSY ? kBusyRetrySeconds : kConnectRetrySeconds, deadline)) break;
  }
  return -1;
}

CALL_LOCK_INTERPRETER* _new_cli(Clock::time_point deadline, std::string* why) {
  assert_lock_held(call_lock_lock);
  int iid = _connect_lock_zui(deadline, why);
  if (iid < 0) return nullptr;
  auto* cli = static_cast<CALL_LOCK_INTERPRETER*>(d_calloc(sizeof(CALL_LOCK_INTERPRETER), 1));
  cli->zui = iid;
  cli->call_time = now();
  cli->next = li_list;
  li_list = cli;
  note_link(iid, true);
  // The link may have ended before it was noted.
  if (!check_iid(iid)) cli->lost = 1;
  return cli;
}

// ---- messages

// The name as it travels between the tags or inside an attribute: markup
// characters and quotes escaped, then in the standard encoding (codes it
// cannot express become references).
std::string escaped(const L_CHAR* name) {
  L_CHAR* safe = safety_string(name);
  std::basic_string<L_CHAR> quoted;
  for (const L_CHAR* p = safe; *p; ++p) {
    if (*p == '"') {
      for (const char* q = "&quot;"; *q; ++q) quoted.push_back(static_cast<L_CHAR>(*q));
    } else {
      quoted.push_back(*p);
    }
  }
  d_f_ree(safe);
  char* narrow = ln_copy_str(std_cm, quoted.c_str());
  std::string r = narrow ? narrow : "";
  d_f_ree(narrow);
  return r;
}

Clock::time_point wait_deadline() { return Clock::now() + to_duration(named_lock_wait_seconds()); }

// Whether the calling task was stopped: its break check answers. Asked
// without call_lock_lock, as the check may make a value.
bool stopped() {
  if (!get_my_zui()) return false;
  GcFrame frame("call_lock stopped");
  return do_break_check_now(nullptr) != nullptr;
}

// How a query to the service ended: the service granted or refused it,
// the link ended before it answered (the service went away), or the wait
// was given up (the deadline, or the asker was stopped).
enum class Reply { kGranted, kRefused, kEnded, kGaveUp };

// Sends text as a remote query on link iid and waits for the answer until
// deadline, and while the task is not stopped when `stoppable`; a wait
// given up withdraws the query (the caller then closes the link, which
// withdraws it at the service too). Memory lock held, call_lock_lock not
// held.
Reply ask_service(int iid, const std::string& text, Clock::time_point deadline, bool stoppable) {
  L_CHAR* wide = nl_copy_str(std_cm, text.c_str());
  ZU_SEXP* v = remote_query(iid, qnlisp_top_env1, wide, nullptr);
  d_f_ree(wide);
  if (!v) return Reply::kEnded;
  for (;;) {
    const bool answered = wait_remote_reply(v, std::min(seconds_left(deadline), kStopCheckSeconds));
    // A stopped asker's query counts as answered (with the stop's error):
    // given up too, not asked again on another link.
    if (stoppable && stopped()) break;
    if (answered) {
      if (get_type(v) != ZU_TYPE_ERROR) return Reply::kGranted;
      // The service's own refusals carry its codes; a link that ended (or
      // had ended before the query went) answers a stream error.
      const uint32_t code = error_code(v);
      return code == ZU_ER_STREAM || code == ZU_ER_INVALID_IID ? Reply::kEnded : Reply::kRefused;
    }
    if (seconds_left(deadline) <= 0) break;
  }
  drop_remote_query(v);
  return Reply::kGaveUp;
}

// ---- tables

bool related(const L_CHAR* a, const L_CHAR* b) {
  for (; *a && *b; ++a, ++b)
    if (*a != *b) return false;
  return true;
}

bool has_thread(const CALL_LOCK_TABLE* t, int tid) {
  for (const CALL_LOCK_THREAD* th = t->threads; th; th = th->next)
    if (th->tid == tid) return true;
  return false;
}

void add_thread(CALL_LOCK_TABLE* t, int tid) {
  auto* th = static_cast<CALL_LOCK_THREAD*>(d_calloc(sizeof(CALL_LOCK_THREAD), 1));
  th->tid = tid;
  th->next = t->threads;
  t->threads = th;
}

// Removes one take of tid; false when tid does not share t.
bool remove_thread(CALL_LOCK_TABLE* t, int tid) {
  for (CALL_LOCK_THREAD** pp = &t->threads; *pp; pp = &(*pp)->next) {
    if ((*pp)->tid == tid) {
      CALL_LOCK_THREAD* th = *pp;
      *pp = th->next;
      d_f_ree(th);
      return true;
    }
  }
  return false;
}

// The listed table that d names, or null: given back, lost, or never had.
CALL_LOCK_TABLE* table_of(CALL_LOCK_DESCRIPTER d) {
  for (CALL_LOCK_TABLE* t = lt_list; t; t = t->next)
    if (t == d.d && t->serial == d.serial) return t;
  return nullptr;
}

void unlist_clt(CALL_LOCK_TABLE* t) {
  CALL_LOCK_TABLE** pp = &lt_list;
  while (*pp && *pp != t) pp = &(*pp)->next;
  if (!*pp) er_panic("free_clt: table not listed");
  *pp = t->next;
  d_f_ree(t->name);
  d_f_ree(t);
}

void free_clt(CALL_LOCK_TABLE* t) {
  if (t->threads) er_panic("free_clt: table still shared");
  unlist_clt(t);
}

// How a request of task me stands against the tables of this process.
enum class Stand { kAsk, kJoin, kWait, kSelf };

// A request conflicts with every related table held by another task where
// either side writes, and with every related table still being requested;
// a task that asks to write a name related to a read lock it holds would
// wait for itself. Otherwise it joins a table of the same name it may share
// (*join), or asks the service. Lock held.
Stand _stand(const L_CHAR* name, int type, int me, CALL_LOCK_TABLE** join) {
  assert_lock_held(call_lock_lock);
  bool wait = false, self = false;
  *join = nullptr;
  for (CALL_LOCK_TABLE* t = lt_list; t; t = t->next) {
    if (!related(t->name, name)) continue;
    if (!t->cli) {
      wait = true;  // being requested
      continue;
    }
    t->cli->call_time = now();
    if (!t->tid && !t->threads) er_panic("xx_call_lock: granted lock without tasks");
    bool same = l_strcmp(t->name, name) == 0;
    bool mine = has_thread(t, me);
    bool others = false;
    for (CALL_LOCK_THREAD* th = t->threads; th; th = th->next) others |= th->tid != me;
    if (t->tid) {  // a write lock: shared only by its writer
      if (t->tid != me) wait = true;
      else if (same) *join = t;
    } else if (type == CALL_LOCK_WRITE) {
      if (mine) self = true;
      if (others) wait = true;
    } else if (same) {
      *join = t;
    }
  }
  if (self) return Stand::kSelf;
  if (wait) return Stand::kWait;
  return *join ? Stand::kJoin : Stand::kAsk;
}

struct Event {
  CALL_LOCK_EVENT_FUNC func;
  int seq;
  void* data;
};

void event_task(TKEY data) {
  auto* e = static_cast<Event*>(data);
  {
    // The event function may give the lock back, a query to the service.
    SelfInterpreterScope self;
    e->func(e->seq, e->data);
  }
  delete e;
}

// Calls func(seq, data) from a task of its own: the caller that took the
// lock still works on what it guards (the event waits for that), and may
// hold locks the event function takes. False when no task could be had.
bool deliver_event(CALL_LOCK_EVENT_FUNC func, int seq, void* data) {
  auto* e = new Event{func, seq, data};
  if (create_task(event_task, e, 3) >= 0) return true;
  delete e;
  return false;
}

// Asks the service for a new lock; the table, or null when it was refused,
// could not be asked, or was not granted by the deadline or before the task
// was stopped, with what the service did in *why (empty when it was asked
// and did not grant). Lock held (released while the request travels). A
// link carries one request or lock at a time, so a request given up closes
// its link and nothing else goes with it. A link that ends under the
// request (the service went away: a restart, or a link idle here that it
// had already dropped) is no refusal: the request is asked again on
// another link, once the service is back, until the deadline.
CALL_LOCK_TABLE* _new_clt(const L_CHAR* lock_dir, int type, CALL_LOCK_EVENT_FUNC func, void* data,
                          const char* file, int line, Clock::time_point deadline, std::string* why) {
  assert_lock_held(call_lock_lock);
  int me = get_tid();
  if (type != CALL_LOCK_READ && type != CALL_LOCK_WRITE) er_panic("_new_clt: lock type");
  auto* t = static_cast<CALL_LOCK_TABLE*>(d_calloc(sizeof(CALL_LOCK_TABLE), 1));
  t->name = ll_copy_str(lock_dir);
  t->tid = type == CALL_LOCK_WRITE ? me : 0;
  t->serial = ++last_serial;
  add_thread(t, me);
  // Listed before the request goes out, so that related requests wait.
  t->next = lt_list;
  lt_list = t;
  std::string name = escaped(lock_dir);
  std::string source = escaped(l_string(std_cm, file ? file : ""));
  for (int refusals = 0; refusals < kTries && seconds_left(deadline) > 0;) {
    CALL_LOCK_INTERPRETER* cli = li_list;
    while (cli && (cli->status != CLI_IDLE || cli->lost)) cli = cli->next;
    bool opened = false;
    if (!cli) {
      cli = _new_cli(deadline, why);
      opened = true;
    }
    if (!cli) break;
    cli->status = CLI_IN_USE;
    int seq = 0;
    if (func) {
      seq = call_lock_seq++;
      if (seq == 0) seq = call_lock_seq++;
    }
    std::string msg = "<Lock type=\"" + std::string(type == CALL_LOCK_WRITE ? "write" : "read") +
                      "\" file=\"" + source + "\" line=\"" + std::to_string(line) + "\" data=\"" +
                      std::to_string(getpid()) + "\" seq=\"" + std::to_string(seq) + "\"> " + name +
                      " </Lock>";
    ++cli->ref;
    int iid = cli->zui;
    t->asking = cli;
    t->seq = seq;
    t->event_func = func;
    t->event_data = data;
    t->early_event = 0;
    unlock_cl("_new_clt");
    Reply reply;
    {
      GcFrame frame("_new_clt");
      reply = ask_service(iid, msg, deadline, true);
    }
    lock_cl();
    t->asking = nullptr;
    // The link may have ended meanwhile, taking a grant with it.
    const bool ended = reply == Reply::kEnded || (reply == Reply::kGranted && cli->lost);
    if (!ended && reply != Reply::kGaveUp) service_silent = false;
    if (reply == Reply::kGranted && !ended) {
      why->clear();
      t->cli = cli;
      cli->status = CLI_HELD;
      cli->call_time = now();
      if (t->early_event && func) deliver_event(func, seq, data);
      wakeup_task(&lt_list);
      return t;
    }
    --cli->ref;
    cli->status = CLI_FAILED;
    if (cli->ref == 0) {
      close_interpreter_nowait(cli->zui);
      if (opened || cli->lost) free_cli(cli);
    }
    if (reply == Reply::kGaveUp) {
      why->clear();  // asked, and held elsewhere (or the asker was stopped)
      break;
    }
    if (ended) {
      *why = "closed the connection";
      // A link just made that ended at once is asked again only after a
      // pause, as a service away for a moment is.
      if (opened && !_pause_before_asking(kConnectRetrySeconds, deadline)) break;
      continue;
    }
    why->clear();
    ++refusals;
  }
  remove_thread(t, me);
  free_clt(t);
  wakeup_task(&lt_list);
  return nullptr;
}

CALL_LOCK_DESCRIPTER make_descripter(CALL_LOCK_TABLE* t, int tid) {
  return {t, t ? tid : 0, t ? t->serial : 0};
}

// Closes and frees the connections that match; lock held.
template <class Pred>
void close_connections(Pred pred) {
  for (CALL_LOCK_INTERPRETER* cli = li_list; cli;) {
    CALL_LOCK_INTERPRETER* next = cli->next;
    if (pred(cli)) {
      close_interpreter_nowait(cli->zui);
      free_cli(cli);
    }
    cli = next;
  }
}

// Timer functions must be short, and the module lock may be held while a
// connection is being opened: the closing runs in a task of its own.
void tick_task(TKEY) { call_lock_tick(); }
void tick_func(void*) { create_task(tick_task, nullptr, 2); }

// The link a lock was granted over has ended: the service has dropped what
// it held for us. Every such lock is forgotten at once, so that no task of
// this process waits for its release, and its holder's event function is
// called; its holders learn it from cl_error_check and call_unlock.
void link_lost_task(TKEY data) {
  int iid = static_cast<int>(reinterpret_cast<intptr_t>(data));
  std::vector<Event> events;
  lock_cl();
  CALL_LOCK_INTERPRETER* cli = li_list;
  while (cli && cli->zui != iid) cli = cli->next;
  if (cli && !cli->lost) {
    cli->lost = 1;
    for (CALL_LOCK_TABLE *t = lt_list, *next; t; t = next) {
      next = t->next;
      if (t->cli != cli) continue;
      --cli->ref;
      if (t->event_func) events.push_back({t->event_func, t->seq, t->event_data});
      while (t->threads) remove_thread(t, t->threads->tid);
      unlist_clt(t);
    }
    // Unless a query still travels on it (whose asker frees it), nothing
    // refers to the entry any more.
    if (cli->ref == 0 && cli->status != CLI_IN_USE) free_cli(cli);
    wakeup_task(&lt_list);
  }
  unlock_cl("link_lost_task");
  for (const Event& e : events) e.func(e.seq, e.data);
}

// The interpreters' close hook (zui_lock held: nothing here may block).
void link_closed(int iid) {
  {
    std::lock_guard<std::mutex> g(links_mu);
    if (std::find(link_iids.begin(), link_iids.end(), iid) == link_iids.end()) return;
  }
  create_task(link_lost_task, reinterpret_cast<TKEY>(static_cast<intptr_t>(iid)), 3);
}

void* log_lock(const L_CHAR* path) {
  CALL_LOCK_DESCRIPTER d = call_lock(path, CALL_LOCK_WRITE, nullptr, nullptr);
  if (cl_error_check(d)) return nullptr;
  auto* held = static_cast<CALL_LOCK_DESCRIPTER*>(d_alloc(sizeof(CALL_LOCK_DESCRIPTER)));
  *held = d;
  return held;
}

void log_unlock(void* id) {
  auto* held = static_cast<CALL_LOCK_DESCRIPTER*>(id);
  call_unlock(*held);
  d_f_ree(held);
}

const LOG_PATH_LOCK_OPS log_lock_ops = {log_lock, log_unlock};

}  // namespace

void init_call_lock() {
  if (call_lock_lock) return;
  call_lock_lock = new_lock(LOCK_CALL_LOCK);
  new_tick(tick_func, static_cast<int>(kIdleClose), nullptr);
  {
    ZuThreadScope scope("init_call_lock");
    static const QN_PRIM_DEF kService[] = {
        {"call-lock-event", zu_call_lock_event, 1, 2, 2, 0},
        {nullptr, nullptr, 0, 0, 0, 0},
    };
    service_env = new_env(nullptr);
    gc_set(service_env, gc_qnlisp_env);
    bind_prims(service_env, kService);
    seal_env(service_env);
  }
  set_log_path_lock_ops(&log_lock_ops);
  zui_closed_hook = link_closed;
}

CALL_LOCK_DESCRIPTER xx_call_lock(const L_CHAR* lock_dir, int type, CALL_LOCK_EVENT_FUNC func,
                                  void* data, const char* file, int line) {
  if (!call_lock_lock || !lock_dir) return cl_invalid();
  ZuThreadScope scope("call_lock");
  // Remote queries are made from a task that owns an interpreter.
  if (!get_my_zui()) {
    if (open_self_interpreter() <= 0) return cl_invalid();
  }
  int me = get_tid();
  const Clock::time_point deadline = wait_deadline();
  lock_cl();
  if (lock_server_info() < 0) {
    unlock_cl("xx_call_lock");
    return cl_invalid();
  }
  for (;;) {
    CALL_LOCK_TABLE* join = nullptr;
    Stand stand = _stand(lock_dir, type, me, &join);
    if (stand == Stand::kJoin) {
      add_thread(join, me);
      unlock_cl("xx_call_lock");
      return make_descripter(join, me);
    }
    if (stand == Stand::kAsk) {
      std::string why;
      CALL_LOCK_TABLE* got = _new_clt(lock_dir, type, func, data, file, line, deadline, &why);
      refusal_cause = got || why.empty() ? std::string() : service_name() + " " + why;
      unlock_cl("xx_call_lock");
      return make_descripter(got, me);
    }
    if (stand == Stand::kSelf) break;
    // Another task of this process holds or asks for a related lock.
    const double left = seconds_left(deadline);
    if (left <= 0) break;
    ++waiting;
    _i_sleep_task_timeout(&lt_list, call_lock_lock, std::min(left, kStopCheckSeconds), __FILE__, __LINE__);
    const bool stop = stopped();
    lock_cl();
    --waiting;
    if (stop) break;
  }
  // Refused here, not by the service.
  refusal_cause.clear();
  unlock_cl("xx_call_lock");
  return cl_invalid();
}

double named_lock_wait_seconds() {
  static const double seconds =
      static_cast<double>(u_getenv_count("QNMX_LOCK_WAIT", kNamedLockWaitSeconds, kNamedLockWaitSeconds));
  return seconds;
}

int call_lock_configured() {
  if (!call_lock_lock) return 0;
  ZuThreadScope scope("call_lock_configured");
  lock_cl();
  int r = lock_server_info() == 0;
  unlock_cl("call_lock_configured");
  return r;
}

namespace {

struct GiveBack {
  CALL_LOCK_INTERPRETER* cli;  // referenced by the lock given back
  std::string name;
};

// Sends the give-back of one lock on its link and waits a short while for
// the answer; a service that does not answer in time gets the lock back
// with the link, which closes. The link stays referenced until then.
void send_give_back(const GiveBack& g, bool close_only = false) {
  lock_cl();
  const int iid = g.cli->zui;
  const bool silent = close_only || service_silent;
  unlock_cl("give_back");
  Reply reply = Reply::kEnded;
  // The release is a remote query, made from a task that owns an
  // interpreter; one that can have none closes the link instead.
  if (!silent) {
    if (SelfInterpreterScope self; self.ready()) {
      GcFrame frame("give_back");
      // Only whether an answer came is read.
      const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(kLockGiveBackSeconds));
      reply = ask_service(iid, "<Unlock> " + g.name + " </Unlock>", until, false);
    }
  }
  lock_cl();
  CALL_LOCK_INTERPRETER* cli = g.cli;
  if (--cli->ref < 0) er_panic("call_unlock: connection reference below zero");
  const bool answered = reply == Reply::kGranted || reply == Reply::kRefused;
  if (answered) service_silent = false;
  else if (reply == Reply::kGaveUp) service_silent = true;
  // A link that was not answered on gives the lock back by closing.
  cli->status = answered ? CLI_IDLE : CLI_FAILED;
  if (!answered) close_interpreter_nowait(cli->zui);
  if ((cli->lost || !answered) && cli->ref == 0) free_cli(cli);
  if (--giving_back == 0) wakeup_task(&giving_back);
  unlock_cl("give_back");
}

void give_back_task(TKEY data) {
  auto* g = static_cast<GiveBack*>(data);
  {
    ZuThreadScope scope("give_back");
    send_give_back(*g);
  }
  delete g;
}

// Gives back one take of d; the last take's query to the service is sent
// by the caller (wait) or by a task of its own. 0 or -1 (call_unlock).
int give_back(CALL_LOCK_DESCRIPTER d, bool wait) {
  if (!call_lock_lock || !d.d) return -1;
  ZuThreadScope scope("call_unlock");
  lock_cl();
  CALL_LOCK_TABLE* t = table_of(d);
  if (!t || !remove_thread(t, d.tid)) {
    unlock_cl("call_unlock");
    return -1;
  }
  CALL_LOCK_INTERPRETER* cli = t->cli;
  if (cli) cli->call_time = now();
  wakeup_task(&lt_list);
  if (t->threads || !cli) {
    if (!t->threads) free_clt(t);
    unlock_cl("call_unlock");
    return 0;
  }
  GiveBack g{cli, escaped(t->name)};
  free_clt(t);
  cli->status = CLI_IN_USE;
  ++giving_back;
  unlock_cl("call_unlock");
  if (!wait) {
    auto* later = new GiveBack(std::move(g));
    if (create_task(give_back_task, later, 3) >= 0) return 0;
    // Without a task the link closes here, which gives the lock back too.
    send_give_back(*later, true);
    delete later;
    return 0;
  }
  send_give_back(g);
  return 0;
}

}  // namespace

int call_unlock(CALL_LOCK_DESCRIPTER d) { return give_back(d, true); }

int call_unlock_nowait(CALL_LOCK_DESCRIPTER d) { return give_back(d, false); }

bool call_lock_give_back_wait() {
  if (!call_lock_lock) return true;
  lock_cl();
  const bool done = _sleep_task_while(&giving_back, call_lock_lock, kLockGiveBackSeconds, [] { return giving_back > 0; });
  unlock_cl("call_lock_give_back_wait");
  return done;
}

std::string call_lock_refusal_cause() {
  if (!call_lock_lock) return {};
  lock_cl();
  std::string why = refusal_cause;
  unlock_cl("call_lock_refusal_cause");
  return why;
}

int cl_error_check(CALL_LOCK_DESCRIPTER d) {
  if (!d.d || !call_lock_lock) return -1;
  lock_cl();
  const CALL_LOCK_TABLE* t = table_of(d);
  bool held = t && t->cli && has_thread(t, d.tid);
  unlock_cl("cl_error_check");
  return held ? 0 : -1;
}

CALL_LOCK_DESCRIPTER cl_invalid() { return {nullptr, 0, 0}; }

ZU_SEXP* get_cl_error(ZU_SEXP* ss, const L_CHAR* func) {
  return get_error(ss ? ss->h.file : nullptr, ss ? ss->h.line : 0, ZU_ER_PARAM, func,
                   get_string_ascii("lock operation error"));
}

int get_call_lock_seq(CALL_LOCK_DESCRIPTER d) {
  if (!d.d || !call_lock_lock) return 0;
  lock_cl();
  const CALL_LOCK_TABLE* t = table_of(d);
  int seq = t ? t->seq : 0;
  unlock_cl("get_call_lock_seq");
  return seq;
}

void call_lock_tick() {
  if (!call_lock_lock) return;
  lock_cl();
  unsigned t = now();
  close_connections([t](CALL_LOCK_INTERPRETER* cli) {
    return cli->status != CLI_IN_USE && cli->ref == 0 && t - cli->call_time >= kIdleClose;
  });
  unlock_cl("call_lock_tick");
}

ZU_SEXP* zu_call_lock_event(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* arg = get_el(form, 1);
  if (get_type(arg) != ZU_TYPE_INTEGER || !call_lock_lock) return nullptr;
  int seq = static_cast<int>(arg->integer.num);
  CALL_LOCK_EVENT_FUNC func = nullptr;
  void* data = nullptr;
  // Only the service that granted the lock, on the link it granted it over,
  // calls its holder back.
  int me = get_my_iid();
  lock_cl();
  for (CALL_LOCK_TABLE* t = lt_list; seq && t; t = t->next) {
    if (t->seq != seq) continue;
    if (t->cli && t->cli->zui == me) {
      func = t->event_func;
      data = t->event_data;
      break;
    }
    if (!t->cli && t->asking && t->asking->zui == me) {
      t->early_event = 1;
      break;
    }
  }
  unlock_cl("zu_call_lock_event");
  // From a task of its own, as every event: a hand-over may wait for the
  // command at work on its file, which must not hold up this link (here
  // only when no task can be had).
  if (func && !deliver_event(func, seq, data)) func(seq, data);
  return nullptr;
}

void gc_call_lock() { gc_mark(service_env, gc_qnlisp_env); }

int call_lock_connections(int* in_use) {
  if (!call_lock_lock) return 0;
  lock_cl();
  int n = 0, used = 0;
  for (CALL_LOCK_INTERPRETER* cli = li_list; cli; cli = cli->next) {
    ++n;
    if (cli->status == CLI_IN_USE || cli->status == CLI_HELD) ++used;
  }
  unlock_cl("call_lock_connections");
  if (in_use) *in_use = used;
  return n;
}

int call_lock_waiting() {
  if (!call_lock_lock) return 0;
  lock_cl();
  int n = waiting;
  unlock_cl("call_lock_waiting");
  return n;
}

void call_lock_forget_service() {
  if (!call_lock_lock) return;
  lock_cl();
  close_connections([](CALL_LOCK_INTERPRETER* cli) { return cli->status != CLI_IN_USE && cli->ref == 0; });
  lock_port = 0;
  d_f_ree(lock_hostname);
  lock_hostname = nullptr;
  unlock_cl("call_lock_forget_service");
}

void call_lock_age_connections(unsigned seconds) {
  if (!call_lock_lock) return;
  lock_cl();
  age_shift += seconds;
  unlock_cl("call_lock_age_connections");
}
