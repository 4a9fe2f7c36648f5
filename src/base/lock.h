// Task locks, the lock order of the process, and sleep/wake on addresses.
//
// A SEM is a binary lock that records its holder: a task taking a lock it
// already holds is a broken invariant and stops the process. Waiting is done
// one way everywhere: with the lock held, test the condition; if it does not
// hold, _i_sleep_task(key, lock) releases the lock and sleeps until
// _wakeup_task(key); then take the lock again and test again. A wake-up
// between the release and the sleep is never lost. A task waiting for a lock
// or asleep is at a collector safe point (the blocking hooks below).
//
// The lock order. Every lock has a level (the table below) and a task takes
// locks in rising level: while it holds a lock of level L it takes none of a
// level below L or equal to it. Locks of one kind (the locks of two streams)
// share a level and are never held together. Debug and sanitizer
// builds check the order on every take, per task, and stop the process with
// the fatal stop naming both locks and their levels; a release build only
// records the level. The collector takes the locks of its hooks (queue,
// held-value ring, interpreter, FIFO, lexer, loader, stream) in this order
// before it stops the world, so a task may make values while it holds any of
// them; a lock that is taken while the world is stopped is a leaf that no
// task holds while it makes values.
//
// Plain std::mutex is for leaves only: held for a few instructions, never
// while the holder sleeps, blocks, takes a SEM or makes ZU values, so it
// cannot take part in a wait cycle. A std::mutex that breaks this says why at
// its declaration: the collector's own locks (zu/gc.cc), the primitives of
// base/task.cc and base/tick.cc, the one-time build of the default units
// (zu/unit.cc), a pipe stream's send lock, and a stream's reader and writer
// locks, which join the order through lock_order_note. One held across a
// blocking call is waited for at a safe point (lock_at_safe_point).
#pragma once

#include <chrono>

#include "base/checked.h"

struct SEM_REC;
using SEM = SEM_REC*;  // handle passed by value; null until created

// ---------------------------------------------------------------------------
// The process's locks, outermost first: name, level, where it lives, what it
// guards. A lock of an upper layer may sit below a lock of a lower one; the
// levels say only which may be taken while which is held.
#define QNMX_LOCK_ORDER(X)                                                                      \
  /* tests/, bench/: a lock of their own, taken while no other is held */                       \
  X(LOCK_TEST, 1, "test lock")                                                                   \
  /* netsvc/auth_access.cc: peer authentication; held while access files are read and run */     \
  X(LOCK_AUTH, 5, "auth_lock")                                                                   \
  /* zulib/threads.cc: the table of script threads; waits for a thread's end */                 \
  X(LOCK_SCRIPT_THREADS, 10, "sthread_lock")                                                     \
  /* runtime/log_task.cc: log conditions and paths, held while an action runs */                 \
  X(LOCK_LOG, 20, "lock_log")                                                                    \
  /* agent/mx_entry.cc: one open of a matrix for an entry at a time */                           \
  X(LOCK_MX_OPEN, 30, "mx_open_lock")                                                            \
  /* matrix/matrix_init.cc: every matrix, node and token (matrix/matrix.h) */                    \
  X(LOCK_MATRIX, 40, "matrix_lock")                                                              \
  /* matrix/mx_file.cc: the open matrix files; given back while a named lock is waited for */   \
  X(LOCK_MX_FILE, 50, "mx_file_lock")                                                            \
  /* runtime/call_lock.cc: the named locks' tables; given back while a request travels */       \
  X(LOCK_CALL_LOCK, 60, "call_lock_lock")                                                        \
  /* base/queue.cc: the collector's queue phase, then the items of high queues */                \
  X(LOCK_QUEUE_GC_HIGH, 70, "q_gc_high_lock")                                                    \
  X(LOCK_QUEUE_HIGH, 80, "q_high_lock")                                                          \
  /* elements/held.cc: the ring of values the matrix store keeps alive */                        \
  X(LOCK_MATRIX_GC, 90, "matrix_gc_lock")                                                        \
  /* netsvc/session_zup.cc: sessions, servers, agents; never held across a query */              \
  X(LOCK_SESSION, 95, "session_lock")                                                            \
  /* runtime/interp.cc: interpreters' flags, modes and result lists; then their FIFOs */        \
  X(LOCK_ZUI, 100, "zui_lock")                                                                   \
  X(LOCK_FIFO, 110, "fifo_lock")                                                                 \
  /* zu/parser.cc: the front thread's last step against readers of its output */                \
  X(LOCK_LEX, 120, "lex_lock")                                                                   \
  /* zulib/load_delay.cc: one pending load (a lock per load) */                                  \
  X(LOCK_LOAD, 130, "load lock")                                                                 \
  /* zulib/load.cc: the loader's list of pending loads */                                        \
  X(LOCK_LOADER, 140, "df_lock")                                                                 \
  /* netsvc/zuohttp_session.cc: ZUoHTTP sessions, their queues and the stock */                  \
  X(LOCK_ZOH, 150, "zoh_lock")                                                                   \
  /* stream/stream.cc: the sides of a layered stream, whose back-end uses other streams */      \
  X(LOCK_STREAM_OUTER_READER, 151, "layered stream reader")                                     \
  X(LOCK_STREAM_OUTER_WRITER, 152, "layered stream writer")                                     \
  /* stream/stream.cc: a stream's reader and writer sides (lock_order_note) */                   \
  X(LOCK_STREAM_READER, 154, "stream reader")                                                    \
  X(LOCK_STREAM_WRITER, 156, "stream writer")                                                    \
  /* stream/stream.cc: the stream list and state changes */                                      \
  X(LOCK_STREAM, 160, "stream_lock")                                                             \
  /* netsvc/zuohttp_reply.cc: ZUoHTTP client streams and the servers' versions; a back-end  */  \
  /* operation or a stream's close takes it, no stream is used under it */                      \
  X(LOCK_ZUOHTTP, 165, "ZUoHTTP lock")                                                           \
  /* stream/be_chain.cc, be_fpipe.cc: one back-end record (a lock per stream) */                 \
  X(LOCK_CHAIN, 170, "chain lock")                                                               \
  X(LOCK_FPIPE, 180, "fpipe lock")                                                               \
  /* netsvc/raw_image.cc: the raw image cache; its fetches are queued under it */                 \
  X(LOCK_RAW_IMAGE, 185, "ri_lock")                                                              \
  /* base/queue.cc: the items of queues; then the list of queues */                              \
  X(LOCK_QUEUE, 190, "q_lock")                                                                   \
  X(LOCK_QUEUE_GC, 200, "q_gc_lock")                                                             \
  /* Leaves: nothing is taken while one is held. */                                              \
  X(LOCK_MX_ENTRY, 210, "mx_entry_lock")     /* agent/mx_entry.cc: the entry table */            \
  X(LOCK_PRINT_DESC, 220, "desc_lock")       /* zulib/print_std.cc: PrintStd descriptors */      \
  X(LOCK_HTTP_AGENT, 225, "ha_lock")         /* netsvc/http_agent_list.cc: paths, access */      \
  X(LOCK_DOCPATH, 230, "docpath_lock")       /* runtime/docpath.cc: path rules */                \
  X(LOCK_LOG_STOP, 240, "stop_lock")         /* runtime/log_task.cc: the log tasks' end */       \
  X(LOCK_LOG_SYNC, 250, "sync_lock")         /* runtime/log_record.cc: records done */           \
  X(LOCK_RESOLVER, 260, "resolver lock")     /* stream/resolver.cc: the name cache */            \
  X(LOCK_BLACKLIST, 270, "blacklist lock")   /* stream/resolver.cc: failed hosts */              \
  X(LOCK_ENV, 280, "env lock")               /* zu/env.cc: environments' tables */               \
  X(LOCK_UNIT, 290, "unit lock")             /* zu/unit.cc: named unit systems */                \
  X(LOCK_GIF, 300, "gif lock")               /* codec/gif_encode.cc: the one encoder */          \
  /* store/l_favt64.cc: the record store, after every other lock */                              \
  X(LOCK_FAVT64, 310, "l_favt64_lock")

enum LockLevel : int {
#define QNMX_LOCK_ENUM(id, level, name) id = level,
  QNMX_LOCK_ORDER(QNMX_LOCK_ENUM)
#undef QNMX_LOCK_ENUM
};

// The name of the lock of that level in the table; null for another level.
const char* lock_level_name(int level);

// Checked builds (base/checked.h) check the order and the `_name`
// assertions.
#define QNMX_LOCK_CHECK QNMX_CHECKED

// ---------------------------------------------------------------------------
// Locks

// Makes a lock of the given level, which must be a level of the table (a
// LockLevel): any other is a slip of the program and stops the process.
SEM _i_new_lock(int level, const char* file, int line);
void _i_lock_task(SEM s, const char* file, int line);
// label: the caller's operation name (not stored).
void _i_unlock_task(SEM s, const char* label, const char* file, int line);
// How many task locks the calling thread holds, with the other holds it
// noted (note_task_hold: a lock that is not a SEM but is given back by an
// unlock call, such as an interpreter's output lock). An exception must
// never unwind past an unlock call, so allocations are refused by a throw
// only while this is 0 (base/alloc.h).
int task_holds();
void note_task_hold(int delta);
// Frees a lock nobody holds or waits for (locks of objects that die).
void _i_free_lock(SEM s);
// Non-zero once the lock has been created.
int lock_up_test(SEM s);
// Non-zero when the calling thread holds s.
int lock_held_by_me(SEM s);
// Stops the process when the calling thread does not hold s (checked
// builds; see assert_lock_held).
void _i_assert_lock_held(SEM s, const char* what, const char* file, int line);

// A lock that is not a SEM but is held while its holder blocks (a stream's
// reader or writer lock) joins the order here: note it once it is taken and
// drop the note before it is let go. `id` tells two locks of one kind apart.
void _i_lock_order_note(const void* id, int level, const char* file, int line);
void _i_lock_order_drop(const void* id);

// Releases `lock` (when non-null) and sleeps until _wakeup_task(key).
// Returns without the lock. Spurious returns are possible: callers re-test.
void _i_sleep_task(const void* key, SEM lock, const char* file, int line);
// As _i_sleep_task, but gives up after `seconds`; returns 0 when woken,
// -1 on time-out.
int _i_sleep_task_timeout(const void* key, SEM lock, double seconds, const char* file, int line);
// Wakes every task sleeping on key; with no sleeper the wake-up is lost.
void _wakeup_task(const void* key, const char* file, int line);
// Sleeps on key while waiting() holds, `seconds` at most in all: `lock` is
// held on entry and on return (released while asleep), and waiting() is
// tested under it after every wake-up. Returns whether waiting() cleared.
template <class Pred>
bool _i_sleep_task_while(const void* key, SEM lock, double seconds, Pred waiting, const char* file, int line) {
  using Clock = std::chrono::steady_clock;
  const auto until =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (waiting()) {
    const double left = std::chrono::duration<double>(until - Clock::now()).count();
    if (left <= 0) return false;
    _i_sleep_task_timeout(key, lock, left, file, line);
    _i_lock_task(lock, file, line);
  }
  return true;
}

// Safe points. A layer that must stop all working threads (the collector)
// installs hooks that every blocking wait of this layer calls: `leave`
// before the thread blocks and `enter` after it wakes. Null hooks do nothing.
void set_blocking_hooks(void (*leave)(), void (*enter)());
void blocking_leave();
void blocking_enter();

// RAII form of blocking_leave()/blocking_enter() for other blocking calls.
class BlockingRegion {
 public:
  BlockingRegion() { blocking_leave(); }
  ~BlockingRegion() { blocking_enter(); }
  BlockingRegion(const BlockingRegion&) = delete;
  BlockingRegion& operator=(const BlockingRegion&) = delete;
};

// Takes a plain mutex that is held across blocking calls (not a leaf, see
// above): when another thread has it, waits for it at a safe point.
template <class Mutex>
void lock_at_safe_point(Mutex& m) {
  if (m.try_lock()) return;
  BlockingRegion region;
  m.lock();
}

#define new_lock(level) _i_new_lock((level), __FILE__, __LINE__)
#define lock_task(s) _i_lock_task((s), __FILE__, __LINE__)
#define unlock_task(s, label) _i_unlock_task((s), (label), __FILE__, __LINE__)
#define sleep_task(key, s) _i_sleep_task((key), (s), __FILE__, __LINE__)
#define wakeup_task(key) _wakeup_task((key), __FILE__, __LINE__)
#define _sleep_task_while(key, s, seconds, waiting) \
  _i_sleep_task_while((key), (s), (seconds), (waiting), __FILE__, __LINE__)

// A `_name` function's statement that its caller holds lock s.
#if QNMX_LOCK_CHECK
#define assert_lock_held(s) _i_assert_lock_held((s), #s, __FILE__, __LINE__)
#define lock_order_note(id, level) _i_lock_order_note((id), (level), __FILE__, __LINE__)
#define lock_order_drop(id) _i_lock_order_drop(id)
#else
#define assert_lock_held(s) ((void)(s))
#define lock_order_note(id, level) ((void)(id), (void)(level))
#define lock_order_drop(id) ((void)(id))
#endif
