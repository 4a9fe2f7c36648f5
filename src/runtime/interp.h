// Interpreter instances: one reader-evaluator-writer bound to an input, an
// output and an error stream and an environment. Every script, connection,
// pipe and internal worker runs inside one. This module keeps the table of
// live interpreters (ids, threads, the main interpreter), their closing, the
// recursive output lock and the permission lists of listeners. It starts
// and stops the threads that serve a record through a table of operations
// (below), since they live in the files above it: the front thread and the
// reply writer in front.cc, relay mode in relay.cc, listeners in accept.cc;
// zui_threads.cc fills the table. The stream set-up by kind is setup_i.cc.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "base/lock.h"
#include "stream/net.h"
#include "stream/stream.h"
#include "text/lchar.h"
#include "zu/env.h"
#include "zu/file.h"
#include "zu/peer.h"
#include "zu/value.h"

struct ZU_FIFO;              // a form waiting for the relay thread
struct ZU_RESULT;            // a pending remote query
struct AUTH_CONNECTION_SET;  // peer authentication state
struct OUT_WAITER;           // a task waiting for an output lock
struct LINK_METER;           // a link's share of the link memory budget

// Kinds (a_type).
constexpr char ZUI_STDIO = 1;
constexpr char ZUI_FILE = 2;
constexpr char ZUI_IPC = 3;
constexpr char ZUI_ACCEPT = 4;
constexpr char ZUI_CONNECT = 5;
constexpr char ZUI_DESCRIPTER = 6;
constexpr char ZUI_SELF = 7;
constexpr char ZUI_PIPE = 8;

// Life states (mode).
constexpr int ZUI_MODE_OPEN = 0;
constexpr int ZUI_MODE_RELAY_ENDED = 1;
constexpr int ZUI_MODE_FRONT_ENDING = 2;
constexpr int ZUI_MODE_FRONT_ENDED = 3;
constexpr int ZUI_MODE_CLOSED = 4;

// Flag bits.
constexpr int ZUI_F_BREAK = 0x1;
constexpr int ZUI_F_CANCEL = 0x2;
constexpr int ZUI_F_TERMINAL = 0x10000;
constexpr int ZUI_F_WAIT_PERMISSION = 0x40000;
// An accepted link whose front thread writes the admission before it reads.
constexpr int ZUI_F_ADMIT = 0x80000;
constexpr int ZUI_F_ANSWER_MASK = 0x700000;
constexpr int ZUI_F_ANSWER_ALLOW = 0x100000;
constexpr int ZUI_F_ANSWER_DENIED = 0x200000;
constexpr int ZUI_F_ANSWER_BUSY = 0x300000;
constexpr int ZUI_F_ANSWER_OTHER = 0x400000;
constexpr int ZUI_F_ANSWER_CLOSED = 0x500000;
constexpr int ZUI_F_NO_CODE_SWITCH = 0x1000000;
constexpr int ZUI_F_CODE_SYNC = 0x2000000;
constexpr int ZUI_F_REPLYING = 0x4000000;
constexpr int ZUI_F_LOCKF_PENDING = 0x8000000;
constexpr int ZUI_F_LOCKF_TIMEOUT = 0x10000000;
constexpr int ZUI_F_DELAY_NO_MORE = 0x20000000;
constexpr int ZUI_F_DELAY_HOLD = 0x40000000;

// One mode string of a permission-list entry.
struct PERMISSION_MODE {
  PERMISSION_MODE* next;
  L_CHAR* str;
};

// One entry of a listener's permission list.
struct PERMISSION_LIST {
  PERMISSION_LIST* next;
  ACCESS_PERMISSION ap;
  PERMISSION_MODE* mode;  // copies of the given strings, last given first
};

// Which lock guards what: Z = zui_lock, F = fifo_lock, O = the record's
// output lock (out_lock under Z). "set-up" fields are written before the
// record is registered, by the one thread that sets it up (OpenInterpreter's
// options under Z), and only read afterwards. The two counters that the
// tick reads while their owner writes them (silent_cnt, and the reader
// state's last-input time) are read and written atomically (zui_atomic).
struct ZU_INTERPRETER {
  ZU_INTERPRETER* next;  // Z: bucket chain
  uint32_t id;           // Z
  ZU_FIFO* fifo_head;    // F
  ZU_FIFO* fifo_tail;    // F
  ZU_RESULT* result_head;  // Z
  int mode;              // Z
  int front_thread;      // Z
  int relay_thread;      // Z
  int silent_cnt;        // atomic: written by the interpreter's threads, read by the tick
  int connection_cnt;    // Z
  int flags;             // Z
  // Z: the forms begun (each one's number is its EVAL_ORIGIN::cause_form),
  // and the numbers of the last forms a cancel reached (a ring): what they
  // caused stops.
  uint32_t forms;
  uint32_t cancelled[8];
  uint32_t cancelled_next;
  uint32_t open_timeout;  // Z
  ZU_RESULT* result_list;  // Z
  ZU_INTERPRETER* inp_interpreter;  // Z
  int inp_line;          // Z
  int out_lock;          // Z
  int out_lock_task;     // Z
  OUT_WAITER* out_waiters;  // Z: tasks waiting for the output lock, first first
  int connect_ip;        // set-up
  char accept_lock;      // Z
  uint32_t accept_last_dec;  // Z
  int ps_flags;          // set-up
  char a_type;           // set-up
  char thread_mode;      // set-up
  // set-up: 1 for a link a peer opened to one of this agent's listeners
  // (its a_type is ZUI_CONNECT as for the links this agent opens).
  char accepted;
  char proxy_type;       // set-up
  char result_flag;      // set-up
  L_CHAR* msg;           // set-up; freed by the final close
  // Z. A field is cleared (never re-pointed) once the record is registered;
  // the record holds a reference on each stream it was registered with, so
  // a pointer read under Z stays valid memory until the final close.
  // Writing to one outside Z also needs the output lock.
  STREAM* inp;
  STREAM* out;
  STREAM* err;
  ZUISP_ENV* env;        // set-up
  ZU_FILE* acc_file;     // Z
  int port;              // set-up (a listener's bound port)
  int port_limit;        // set-up
  int ip;                // set-up
  L_CHAR* hostname;      // set-up
  int max_connection;    // set-up
  L_CHAR* input_file_name;   // set-up
  L_CHAR* output_file_name;  // set-up
  L_CHAR* error_file_name;   // set-up
  int connection_timeout;  // Z
  int silent_timeout;    // set-up
  int environment;       // set-up
  PERMISSION_LIST* pl_head;  // Z
  PERMISSION_LIST* pl_tail;  // Z
  PERMISSION_LIST* pl_accept;  // set-up (the listener's entry; not owned)
  int inp_desc;          // set-up
  int out_desc;          // set-up
  int err_desc;          // set-up
  int desc_type;         // set-up
  uint32_t accept_interval;  // Z
  int delay_que_cnt;     // Z
  AUTH_CONNECTION_SET* auth_c_set;  // Z
  int accept_threads;    // Z: accept threads of a listener; the last one closes it
  // Relay queue (F): forms and source bytes queued, and its state.
  int fifo_cnt;
  int64_t fifo_bytes;
  char fifo_eof;     // the front thread queues no more: the relay drains and ends
  char fifo_closed;  // the relay has ended: nothing more is queued
  STREAM* held[3];   // Z: the streams referenced since registration
  // set-up: a relay-mode interpreter's share of the link memory budget
  // (link_budget.h), freed by the final close.
  LINK_METER* meter;
  // set-up: whom the record was made for. A record made while a task
  // evaluates for a peer is that peer's (new_zu_interpreter takes the
  // task's origin), a connection to one of the listeners is its peer's,
  // any other the agent's. Questions sent on the link are asked for it
  // when their asker evaluates for nobody in particular.
  EVAL_ORIGIN origin;
  // Z (set at registration, read-only then): the number that tells this
  // record's peer from every other (EVAL_ORIGIN::peer_id); unlike the iid,
  // never given to another record.
  uint32_t peer_id;
  // set-up: the tasks of a link a peer has the agent open, or of a peer's
  // session's interpreter, counted against the peer's address
  // peer_tasks_ip (peer_tasks.h) until the record is freed; a connection a
  // peer opened counts its relay once its input has ended (relay.cc).
  // peer_links: 1 for a line link a peer opened to a listening port,
  // counted among the links of peer_tasks_ip from its first line until the
  // record is freed. Once registered, both change only under zui_lock.
  int peer_tasks;
  int peer_tasks_ip;
  int peer_links;
  // set-up, for an outgoing connection whose opener bounds the wait itself
  // (the lock service's): the longest wait for the peer's permission
  // answer in seconds (0: get_permission_wait()), and whether the
  // connection is tried whatever the list of hosts that timed out says
  // (the opener asks again on its own deadline).
  int permission_wait;
  char unlisted;
  const char* __file;
  int __line;
};

// Which interpreter a task works for.
struct ZU_THREAD {
  ZU_THREAD* next;
  int tid;
  ZU_INTERPRETER* zui;
};

// Results of set-up.
constexpr int ZUI_ERR_STREAM = -2;     // terminal or file stream cannot be opened
constexpr int ZUI_ERR_DESC = -3;       // a descriptor cannot be wrapped
constexpr int ZUI_ERR_PORT = -4;       // no port could be bound
constexpr int ZUI_ERR_CONNECT = -5;    // no connection or no valid answer
constexpr int ZUI_ERR_BUSY = -6;
constexpr int ZUI_ERR_DENIED = -7;
constexpr int ZUI_ERR_SHUTDOWN = -8;
// The peer a link is opened for may not have it open: its address holds
// all the tasks it may (peer_tasks.h), or its own link has closed.
constexpr int ZUI_ERR_PEER_LIMIT = -9;

// The table lock, the FIFO lock of relay mode.
extern SEM zui_lock;
extern SEM fifo_lock;

// What the forms a record's input brings of its own accord evaluate for.
// The other end of a network link is a peer, on a connection a peer opened
// to one of the listeners as on one this agent opened (a peer may have
// made the agent open it, to a server of the peer's choosing, and no
// server can prove it is not one): the peer recorded in the record's
// origin, else the address it is connected to. Files, the terminal, pipes,
// descriptors and internal records are the agent's own scripts' inputs,
// unless a peer opened them. A LocalEval answering a question evaluates
// for whom the question was asked (ZU_RESULT::origin), not for this.
EVAL_ORIGIN link_origin(const ZU_INTERPRETER* zui);
// The origin of a form the record begins to evaluate, with the record and
// the form's number as its cause (zui_lock held).
EVAL_ORIGIN _form_origin(ZU_INTERPRETER* zui);
// Sets a stop flag (ZUI_F_BREAK, ZUI_F_CANCEL) on the record: a break
// reaches what all its forms caused, a cancel what the form it was
// evaluating caused (zui_lock held).
void _stop_zui(ZU_INTERPRETER* zui, int flag);
// Whether an evaluation caused by origin has been stopped since: its
// cause was cancelled or broken, or closed while the end had begun or the
// cause was a peer's link. The error code that says so (ZU_ER_CANCEL for a
// cancel, ZU_ER_EXIT for a break), 0 while it may go on (zui_lock held).
uint32_t _cause_stopped(const EVAL_ORIGIN& origin);
// The input of the record numbered peer_id (ZU_INTERPRETER::peer_id) has
// ended: the links its peer had the agent open, at any depth (their origin
// names that record), are closed. zui_lock NOT held.
void close_links_opened_for(uint32_t peer_id);
// Gives way to a newcomer (peer_tasks.h): one interpreter whose tasks
// count against address ip (one of its line links or version-2 sessions
// when line_link, else a session's interpreter or a link it had the agent
// open), the longest open, is closed, and what it counted is given back at
// once; one whose peer has sent its end, still evaluating what it sent
// before, is as open. False when ip has none.
bool give_way_interpreter(int ip, bool line_link);
// Whether the calling task may act on interpreter iid (close it, send on
// it): the agent on any, a peer only on its own link and on what was
// opened for it. True for an unknown iid: acting on it then finds nothing.
bool may_act_on_zui(int iid);

// ---- creation and registration
// A zeroed record with the defaults of every kind, tagged with file/line.
ZU_INTERPRETER* xx_new_zu_interpreter(const char* file, int line);
#define new_zu_interpreter() xx_new_zu_interpreter(__FILE__, __LINE__)
// Frees a record that was never registered (its texts, permission list and
// auth set included; streams are the caller's).
void free_zu_interpreter(ZU_INTERPRETER* zui);
// Registers a record whose streams are open and starts its threads. The iid,
// or ZUI_ERR_SHUTDOWN or ZUI_ERR_PEER_LIMIT (a link opened for a peer whose
// own link has closed; record left with the caller), or ZUI_ERR_STREAM when
// its threads could not start (the record has been closed with its streams,
// or is left to the relay thread that did start: the caller must not touch
// it), or -5/-6/-7 for a refused connection (with -5 errno is ECONNRESET
// when the peer hung up before it answered, else ETIMEDOUT).
int setup_zu_interpreter(ZU_INTERPRETER* zui);
// Opens the kind's streams and registers (setup_i.cc). The iid or a negative
// result; with -2..-5 and -9 the record has been freed, and errno says why
// a stream could not be opened or a connection made.
int setup_i(ZU_INTERPRETER* zui);
// Locks, hooks, the shared tasks; once per process (init_zu calls it, after
// set_zui_thread_ops).
void init_interpreter();
// The longest wait of an outgoing connection for its peer's permission
// answer, in seconds (120), settable for tests.
void set_permission_wait(int seconds);
int get_permission_wait();

// ---- look-ups (the underscore forms expect zui_lock held)
ZU_INTERPRETER* _search_zui_id(int iid);
ZU_INTERPRETER* search_zui_id(int iid);
int check_iid(int iid);
ZU_INTERPRETER* _get_my_zui();
ZU_INTERPRETER* get_my_zui();
int get_my_iid();
int get_main_interpreter();
// Makes interpreter iid the main one (a negative iid: none, so that no
// interpreter's end closes the others); 0, or -1 when no interpreter has
// that iid.
int set_main_interpreter(int iid);
// Copies the whole record (iid 0: the caller's own); 0, or -1 for none.
int get_zui_info(ZU_INTERPRETER* buffer, int iid);
int get_c_timeout(int iid);
int set_c_timeout(int iid, int ticks);
void send_code_sync(int iid);
ZU_THREAD* _search_zui_thread(int tid);
int get_next_iid(int iid);
int _get_next_iid(int iid);
int get_launch_interpreter_nos();
void a_set_t_msg(const char* msg);
// 0 none yet, 1 set, 2 shut down.
int get_main_interpreter_state();

// Thread registration: the calling task works for zui (removed by
// _delete_zui_thread or close_self_interpreter).
void _register_zui_thread(ZU_INTERPRETER* zui, int tid);
void _delete_zui_thread(int tid);

// ---- output lock (recursive per interpreter)
void lock_zui_out(ZU_INTERPRETER* zui);
void unlock_zui_out(ZU_INTERPRETER* zui);
void lock_zui_out_iid(int iid);
void unlock_zui_out_iid(int iid);
// 0 taken, -2 held by another task, -1 no such interpreter.
int lock_zui_out_no_wait(int iid);
// The same on a record with zui_lock held (the take may sleep, releasing
// it meanwhile; it returns with zui_lock held).
void _lock_zui_out(ZU_INTERPRETER* zui);
void _unlock_zui_out(ZU_INTERPRETER* zui);
void zui_page_feed(int iid);

// ---- the agent's end
// The end begins when the main interpreter closes (or at an interrupt):
// peers' tasks stop (their break checks answer "break"), listeners,
// accepted links and every link a peer had the agent open are closed, and
// no link of a peer opens any more; the agent's own outgoing links (the
// lock service's, its sessions') stay open for the end's last work. A
// program whose runner ends it in steps (agent_end.h, the one list of
// them) asks for that first. Without a runner, the main interpreter's
// close shuts down at once.
// How long the steps wait: the agent's own requests in flight, and the
// interpreters after the shut-down.
constexpr double kEndRequestWaitSeconds = 60;
constexpr double kEndStopWaitSeconds = 10;
void set_end_runner();
// Whether a runner will run the end (set_end_runner was called).
bool end_runner_set();
// Whether the end has begun (zui_lock held).
bool _agent_ending();
// Whether z is a link the agent opened for itself (the lock service's, its
// sessions', its scripts'), which the end's last work may need: what its
// server sends back for the agent's own requests (a Local form) is part of
// those requests, waited for as they are.
bool _own_link(const ZU_INTERPRETER* z);
// Begins the end (peers are stopped again when it has begun); with
// scripts, an interrupt, the agent's own script interpreters stop as well,
// before their next form. It waits for nothing (the signal thread runs it).
void begin_agent_end(bool scripts);
// Waits until the end has begun or only internal interpreters are left.
void wait_agent_end();
// Begins the end when it has not begun, closes every interpreter but the
// internal ones and waits for them, at most kEndStopWaitSeconds.
void shut_down_interpreters();

// ---- closing
int _close_interpreter(int iid);
// The record's input ends (and its output with it when it is the same
// stream): its reader sees the end, which ends its threads (lock held).
void _close_input(ZU_INTERPRETER* zui);
int close_interpreter(int iid);
int close_interpreter_nowait(int iid);
// Gives the calling task an internal interpreter working in the second top
// environment, or (own_env) in an environment of its own below it: its iid,
// <= 0 when none was made (the record is freed then).
int open_self_interpreter(bool own_env = false);
void close_self_interpreter();

// An internal interpreter for the calling task for the length of a scope
// (remote queries and the evaluator's checks need one): opened only where
// the interpreter table is up and the task has none, and closed at the end
// only when opened here. It ends after every GcFrame of the scope.
class SelfInterpreterScope {
 public:
  SelfInterpreterScope();
  ~SelfInterpreterScope();
  SelfInterpreterScope(const SelfInterpreterScope&) = delete;
  SelfInterpreterScope& operator=(const SelfInterpreterScope&) = delete;
  // Whether the task has an interpreter now.
  bool ready() const { return ready_; }

 private:
  bool own_ = false;
  bool ready_ = false;
};
void _close_all_interpreter();
void close_all_interpreter();
// The final close (lock held), by the interpreter's last thread.
void _close_zu_interpreter(ZU_INTERPRETER* zui);
// Waits at most `seconds` for interpreter iid to close: whether it has
// (or was never there). The caller checks its own stop between waits.
bool wait_stop_interpreter(int iid, double seconds);
void wait_stop_all();

// ---- permission lists
PERMISSION_LIST* new_permission_list(ZU_INTERPRETER* zui, ZU_SEXP* list);
PERMISSION_LIST* check_permission_list(ZU_INTERPRETER* zui, int ip);
// The same with zui_lock held.
PERMISSION_LIST* _check_permission_list(ZU_INTERPRETER* zui, int ip);
void free_permission_list(ZU_INTERPRETER* zui);

// ---- hooks set by the agent (null: nothing)
extern void (*agent_open_zui)(ZU_INTERPRETER* zui);
extern void (*agent_close_zui)(ZU_INTERPRETER* zui);
// Told the iid of every interpreter whose final close has happened, with
// zui_lock held: it must neither block nor take another lock that is held
// while zui_lock is taken (the named-lock client sets it).
extern std::atomic<void (*)(int iid)> zui_closed_hook;

// ---- collector support
// Marks every registered interpreter's environment, reader state and queued
// forms.
void gc_interpreter();
// Writes one line per thread registration to the standard error.
void test_thread();

// ---- the threads' operations
// The threads that serve records (front, relay, accept, the delay and tick
// tasks) and what they keep of a record (its relay queue, its link meter,
// the queries it waits for) live in the files above this one: each of them
// includes this header, and interp.cc includes none of them. This table is
// how the table of records starts them, stops them and marks what they keep.
// zui_threads.cc fills it once, before init_interpreter (init_zu does both);
// it is only read afterwards, so it takes no lock.
struct ZUI_THREAD_OPS {
  // Starts what every record shares: the link budget, the evaluator's break
  // check and interrupt hooks, the delay and tick tasks. Once, from
  // init_interpreter.
  void (*start)();
  // Starts the threads of a record just registered, by its kind (not an
  // internal one), zui_lock held: 0, or ZUI_ERR_STREAM when no thread could
  // be had (the record has then been closed, or is left for its relay to
  // close).
  int (*_start_threads)(ZU_INTERPRETER* zui);
  // Wakes every query the record waits for, and the delay thread: the ids of
  // the queries' servers, each once (zui_lock held).
  std::vector<int> (*_wake_queries)(ZU_INTERPRETER* zui);
  // Writes "<Cancel/>" to interpreter iid (zui_lock NOT held).
  void (*write_cancel)(int iid);
  // The final close gives up what the record's threads keep: the forms
  // queued for its relay, its link meter, the queries on it and those it
  // waits for (zui_lock held).
  void (*_release)(ZU_INTERPRETER* zui);
  // Serves the requests queued on a link without waiting for more
  // (zui_lock NOT held): a task waiting for a remote result does this.
  void (*serve_requests)(ZU_INTERPRETER* zui);
  // Marks what the record's threads keep (its queued forms); world stopped.
  void (*gc_record)(ZU_INTERPRETER* zui);
};
// Takes the table (kept by pointer: it must live to the end).
void set_zui_thread_ops(const ZUI_THREAD_OPS* ops);
// The table's serve_requests.
void serve_link_requests(ZU_INTERPRETER* zui);

// ---- fields read atomically (see the struct)
inline int zui_silent(ZU_INTERPRETER* zui) {
  return std::atomic_ref<int>(zui->silent_cnt).load(std::memory_order_relaxed);
}
inline void zui_set_silent(ZU_INTERPRETER* zui, int v) {
  std::atomic_ref<int>(zui->silent_cnt).store(v, std::memory_order_relaxed);
}
// Takes a reference on one of the record's streams (Z held): the pointer
// stays usable after the lock is released, until s_drop.
STREAM* _zui_stream(STREAM* ZU_INTERPRETER::*field, ZU_INTERPRETER* zui);

// ---- priority ceiling of the table
int zui_push_pri();
void zui_pop_pri(int prev);
