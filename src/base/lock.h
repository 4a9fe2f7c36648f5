// Task locks and sleep/wake on addresses.
//
// A SEM is a binary lock that records its holder: a task taking a lock it
// already holds is a broken invariant and stops the process. Waiting is done
// one way everywhere: with the lock held, test the condition; if it does not
// hold, _i_sleep_task(key, lock) releases the lock and sleeps until
// _wakeup_task(key); then take the lock again and test again. A wake-up
// between the release and the sleep is never lost.
#pragma once

struct SEM_REC;
using SEM = SEM_REC*;  // handle passed by value; null until created

// Makes a lock; level is recorded for diagnostics only.
SEM _i_new_lock(int level, const char* file, int line);
void _i_lock_task(SEM s, const char* file, int line);
// label: the caller's operation name (not stored).
void _i_unlock_task(SEM s, const char* label, const char* file, int line);
// Frees a lock nobody holds or waits for (locks of objects that die).
void _i_free_lock(SEM s);
// Non-zero once the lock has been created.
int lock_up_test(SEM s);
// Non-zero when the calling thread holds s.
int lock_held_by_me(SEM s);

// Releases `lock` (when non-null) and sleeps until _wakeup_task(key).
// Returns without the lock. Spurious returns are possible: callers re-test.
void _i_sleep_task(const void* key, SEM lock, const char* file, int line);
// As _i_sleep_task, but gives up after `seconds`; returns 0 when woken,
// -1 on time-out.
int _i_sleep_task_timeout(const void* key, SEM lock, double seconds, const char* file, int line);
// Wakes every task sleeping on key; with no sleeper the wake-up is lost.
void _wakeup_task(const void* key, const char* file, int line);

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

#define new_lock(level) _i_new_lock((level), __FILE__, __LINE__)
#define lock_task(s) _i_lock_task((s), __FILE__, __LINE__)
#define unlock_task(s, label) _i_unlock_task((s), (label), __FILE__, __LINE__)
#define sleep_task(key, s) _i_sleep_task((key), (s), __FILE__, __LINE__)
#define wakeup_task(key) _wakeup_task((key), __FILE__, __LINE__)
