// A counter that tasks bump and a test waits on, built on the lock and
// sleep/wake primitives under test.
#pragma once

#include "base/lock.h"
#include "base/task.h"
#include "base/tick.h"

class Counter {
 public:
  Counter() : lock_(new_lock(LOCK_TEST)) {}
  ~Counter() { _i_free_lock(lock_); }
  Counter(const Counter&) = delete;
  Counter& operator=(const Counter&) = delete;

  void add(int n = 1) {
    lock_task(lock_);
    value_ += n;
    wakeup_task(this);
    unlock_task(lock_, "add");
  }
  int get() {
    lock_task(lock_);
    int v = value_;
    unlock_task(lock_, "get");
    return v;
  }
  // Sleeps until the value is at least n.
  void wait_for(int n) {
    lock_task(lock_);
    while (value_ < n) {
      sleep_task(this, lock_);
      lock_task(lock_);
    }
    unlock_task(lock_, "wait_for");
  }

 private:
  SEM lock_;
  int value_ = 0;
};

// Waits until every task has ended. The timer threads are stopped first
// (they are long-lived tasks); they start again on next use.
inline void wait_all_tasks() {
  shutdown_ticks();
  shutdown_tasks();
}
