// Tasks: every thread of the program is a task. A task runs one function on
// a pooled thread, carries a small positive id and a recorded priority
// (0..5, bookkeeping only) and remembers the source position that made it.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

// The word handed to a task function.
using TKEY = void*;
using TASK_FUNC = void (*)(TKEY data);

// The stack every pooled thread reserves: evaluators recurse deeply, so it
// is the same generous size rather than the platform's default.
constexpr size_t kTaskStackSize = size_t{8} << 20;

constexpr int kMinPri = 0;
constexpr int kMaxPri = 5;

// A thread id with a valid flag.
struct HTID {
  pthread_t id;
  int valid;
};

// A priority ceiling of a shared resource.
struct PRI_CTL {
  int ceiling;
};

// Runs func(data) as a new task on a pooled thread. Returns the task id
// (positive), or -1 when no thread could be had. The id is registered before
// this returns, so thread_exist(id) holds until func has returned.
int xx_create_task(TASK_FUNC func, TKEY data, int pri, const char* file, int line);

// The calling task's id. A thread that was not started as a task (the main
// thread, a library's thread) is given an id on its first call and keeps it
// until it ends.
int get_tid();
// Fills *out with the calling thread's id.
void _get_tid(HTID* out);
// 0 when a task with that id exists, -1 otherwise.
int thread_exist(int tid);

// Releases the calling task's per-task areas (its temporary-buffer ring and
// status text). Done by the pool when a task function returns; a task may
// call it earlier, and calling it again is harmless.
void close_thread_area();

// Stores a short status text for the calling task (truncated when long).
void set_t_msg(const char* text);

// Recorded priority of task tid (0: the calling task); -1 for no such task.
int get_pri(int tid);
// Sets the recorded priority of task tid (0: the calling task), clamped to
// 0..5. Returns the previous priority, -1 for no such task.
int change_pri(int tid, int pri);
// Raises the calling task's priority to the ceiling of ctl (never lowers it)
// and returns the previous priority, for change_pri(0, previous).
int push_pri_pctl(const PRI_CTL* ctl);

// Number of threads the pool keeps waiting for work.
int task_pool_idle();
// Whether n tasks started now would find no thread: fewer than n wait in
// the pool, and a thread started now cannot be had. Once a start has
// failed, each call tries to start the missing ones (kept idle), so that a
// failure long past refuses nothing.
bool task_pool_short(int n);
// The threads whose stacks fit in the process's address-space limit beside
// `reserved` bytes and the allocator's arenas (few under such a limit,
// since each reserves 64 MiB); INT64_MAX without a limit.
int64_t task_address_room(uint64_t reserved);
// Waits until every pooled task has ended, then ends the pooled threads and
// waits for them (nothing is left running at exit). Long-lived tasks must be
// told to stop first; never called from a task. Tasks may be created again
// afterwards.
void shutdown_tasks();

#define create_task(f, d, pri) xx_create_task((f), (d), (pri), __FILE__, __LINE__)
