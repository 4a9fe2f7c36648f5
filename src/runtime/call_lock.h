// Named locks shared by agents through a lock service.
//
// A task that works on a named resource (a matrix file, a log file) takes a
// read or a write lock on its name first and gives it back afterwards. The
// locks this process holds are kept in a table: tasks of the process share
// a lock they are compatible with, and only the first take of a lock and the
// last release are sent to the lock service, one request per lock, as
// remote queries on interpreter links to the address that the ZU symbols
// `LockHostName` and `LockPort` give. Names are related when one is a prefix
// of the other; a request waits while any related lock of another task is
// held where either side writes (the service cannot tell the tasks of one
// process apart, so this table alone keeps them apart).
//
// The lock service may call back into the holder of a lock with
// (call-lock-event seq): the event function given with the lock is then
// called with that seq and its data, from a task of its own (never with
// the module lock held). A call that comes while the grant is still on its
// way is kept, and delivered once the grant is in.
//
// Waits are bounded: a task waits for a lock (for this process's other
// tasks and for the service: opening a link, the service's admission and
// Busy answers, the request) at most kNamedLockWaitSeconds in all, and
// less when its break check says it was stopped; the request is then
// withdrawn and the lock refused. The module lock is never held while the
// network is waited for. A lock whose link to the service ended is
// forgotten at once: the service no longer holds it, so it keeps nobody
// waiting, and the next request asks the service anew. Giving a lock back
// waits for the service's answer at most kLockGiveBackSeconds, and only
// the first give-back after the service fell silent waits at all: the
// others close their links, which gives their locks back as well.
// A link that ends under a request (the service restarting) refuses
// nothing: the request is asked again on another link within the wait.
//
// Lock order: a caller holds no lock that another task may need while it
// waits (the matrix store gives back its file lock first); giving a lock
// back without waiting (call_unlock_nowait) may be done under any lock
// the order puts above call_lock_lock.
#pragma once

#include <cstdint>
#include <string>

#include "text/lchar.h"
#include "zu/value.h"

struct CALL_LOCK_TABLE;

constexpr int CALL_LOCK_READ = 1;
constexpr int CALL_LOCK_WRITE = 2;

// Seconds a request for a named lock may wait before it is refused.
// QNMX_LOCK_WAIT sets fewer, for tests.
constexpr int kNamedLockWaitSeconds = 60;
double named_lock_wait_seconds();
// Seconds a give-back waits for the service's answer.
constexpr double kLockGiveBackSeconds = 2;

// Called on (call-lock-event seq) for the lock that was given this seq.
using CALL_LOCK_EVENT_FUNC = void (*)(int seq, void* data);

// The handle of a lock, passed by value: d is null when no lock is held.
struct CALL_LOCK_DESCRIPTER {
  CALL_LOCK_TABLE* d;
  int tid;          // the task that took it
  uint64_t serial;  // the table's, so that a handle outliving its table never names another
};

// Creates the module lock, schedules the hourly close of idle connections,
// makes the environment of the links to the service (it binds
// `call-lock-event` and nothing else: what the service sends of its own
// accord reaches no other power of the agent) and lends the log its path
// locks. Once, at library start-up.
void init_call_lock();

// Takes the lock named lock_dir for the calling task (type CALL_LOCK_READ or
// CALL_LOCK_WRITE; func may be null). Blocks until the lock is granted or
// refused; an invalid descriptor means refused, no lock service, a wait
// that ran out or was stopped, or a write asked by a task that holds a
// related read lock (it would wait for itself).
CALL_LOCK_DESCRIPTER xx_call_lock(const L_CHAR* lock_dir, int type, CALL_LOCK_EVENT_FUNC func,
                                  void* data, const char* file, int line);
#define call_lock(dir, type, func, data) xx_call_lock((dir), (type), (func), (data), __FILE__, __LINE__)
// 1 when a lock service is configured (`LockPort` and `LockHostName`
// bound), else 0: an invalid descriptor from xx_call_lock then means "no
// service" rather than "refused".
int call_lock_configured();
// Gives back one take of the lock: 0, or -1 when d is not a lock of this
// process, its task does not share it, or the lock was lost (the take is
// given back all the same). The last take tells the service, waiting for
// its answer at most kLockGiveBackSeconds.
int call_unlock(CALL_LOCK_DESCRIPTER d);
// The same, with the service told by a task of its own: waits for nothing.
int call_unlock_nowait(CALL_LOCK_DESCRIPTER d);
// Waits until the give-backs on their way are answered or given up, at
// most kLockGiveBackSeconds in all: whether they all were.
bool call_lock_give_back_wait();
// What the service did when the last refused request could not be had of
// it, naming it: "the lock service HOST:PORT cannot be reached: Connection
// refused", "... closed the connection", "... did not admit within 5 s";
// empty when the service was asked and did not grant (the name is held
// elsewhere), and once a lock was granted. What a refused lock is told as,
// when it is that.
std::string call_lock_refusal_cause();
// 0 while d holds a lock; -1 when it is invalid, given back, or lost: a lock
// is lost when the link it was granted over ends (the service no longer
// holds it); it is forgotten and its event function is then called.
int cl_error_check(CALL_LOCK_DESCRIPTER d);
CALL_LOCK_DESCRIPTER cl_invalid();
// The error value callers return for a refused lock: code 0x80040503, data
// "lock operation error", function func, at the source position of ss.
ZU_SEXP* get_cl_error(ZU_SEXP* ss, const L_CHAR* func);
// The seq sent with the lock (0 without an event function or for an
// invalid d).
int get_call_lock_seq(CALL_LOCK_DESCRIPTER d);
// Closes the connections to the lock service that hold nothing and were
// last used an hour ago or earlier.
void call_lock_tick();
// (call-lock-event seq)
ZU_SEXP* zu_call_lock_event(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf,
                            ZUISP_ENV* sp_env);

// Marks the environment of the links to the service for the collector (the
// runtime's marking calls it): it is kept for good, not only while a link
// holds it.
void gc_call_lock();

// ---- test support
// Connections to the lock service: open ones, and those in use.
int call_lock_connections(int* in_use);
// Tasks waiting for a lock that a task of this process holds.
int call_lock_waiting();
// Closes every connection that holds nothing and forgets the service's
// address, so that the next lock reads `LockPort` and `LockHostName` again.
void call_lock_forget_service();
// Treats every connection as last used `seconds` earlier than recorded.
void call_lock_age_connections(unsigned seconds);
