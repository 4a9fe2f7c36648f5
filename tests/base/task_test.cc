#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <set>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "base/task.h"
#include "base/tempbuf.h"
#include "base/tick.h"
#include "sync_util.h"

namespace {

// Nothing may be left running when the program ends.
class BaseThreads : public testing::Environment {
 public:
  void TearDown() override {
    wait_all_tasks();
  }
};
testing::Environment* const base_threads = testing::AddGlobalTestEnvironment(new BaseThreads);

struct Probe {
  int tid = 0;
  int exists = -2;
  int pri = -1;
  Counter started;
  Counter release;
};

void report(TKEY data) {
  auto* p = static_cast<Probe*>(data);
  p->tid = get_tid();
  p->exists = thread_exist(p->tid);
  p->pri = get_pri(0);
  // Leave some temporary buffers behind: ending the task must free them.
  for (int i = 0; i < 60; ++i) set_buffer(d_alloc(16));
  p->started.add();
  p->release.wait_for(1);
}

TEST(Task, IdsExistWhileRunningAndVanishAfter) {
  Probe a;
  int ta = create_task(report, &a, 9);
  ASSERT_GT(ta, 0);
  a.started.wait_for(1);
  EXPECT_EQ(a.tid, ta);
  EXPECT_EQ(a.exists, 0);
  EXPECT_EQ(thread_exist(ta), 0);
  EXPECT_EQ(a.pri, kMaxPri);  // clamped
  a.release.add();
  wait_all_tasks();
  EXPECT_EQ(thread_exist(ta), -1);
  EXPECT_EQ(get_pri(ta), -1);
}

void nothing(TKEY data) { static_cast<Counter*>(data)->add(); }

TEST(Task, EndedIdsAreNotHandedOutAgain) {
  Counter c;
  std::set<int> ids;
  for (int i = 0; i < 200; ++i) {
    int id = create_task(nothing, &c, 1);
    ASSERT_GT(id, 0);
    ids.insert(id);
    if (i % 20 == 19) c.wait_for(i + 1);  // let earlier tasks end and pool threads be reused
  }
  c.wait_for(200);
  EXPECT_EQ(ids.size(), 200u);
  EXPECT_GT(task_pool_idle(), 0);
}

TEST(Task, ThreadsNotStartedAsTasksGetTheirOwnIds) {
  int main_id = get_tid();
  EXPECT_GT(main_id, 0);
  EXPECT_EQ(get_tid(), main_id);
  EXPECT_EQ(thread_exist(main_id), 0);
  int other = 0;
  std::thread t([&other] { other = get_tid(); });
  t.join();
  EXPECT_GT(other, 0);
  EXPECT_NE(other, main_id);
  EXPECT_EQ(thread_exist(other), -1);  // gone with its thread
}

struct Burst {
  Counter started;
  Counter release;
};

void hold(TKEY data) {
  auto* b = static_cast<Burst*>(data);
  b->started.add();
  b->release.wait_for(1);
}

// After a burst the pool has more threads waiting than it keeps (32): they
// wait a while, for a next burst to find them, and then those past the
// bound end.
TEST(Task, ThreadsPastTheIdleBoundLingerThenEnd) {
  wait_all_tasks();
  constexpr int kBurst = 48;
  Burst b;
  for (int i = 0; i < kBurst; ++i) ASSERT_GT(create_task(hold, &b, 1), 0);
  b.started.wait_for(kBurst);
  b.release.add();
  int most = 0;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (most < kBurst && std::chrono::steady_clock::now() < end) {
    most = std::max(most, task_pool_idle());
    std::this_thread::yield();
  }
  EXPECT_GT(most, 32);
  end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (task_pool_idle() > 32 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(task_pool_idle(), 32);
}

// What the process's address space holds now, in bytes.
uint64_t address_space_used() {
  std::ifstream status("/proc/self/status");
  for (std::string word; status >> word;) {
    if (word == "VmSize:") {
      uint64_t kib = 0;
      status >> kib;
      return kib << 10;
    }
  }
  return 0;
}

// A thread the pool once failed to start refuses nothing for good: asked
// again once there is room, the pool starts the threads it was short of.
TEST(Task, APoolShortOnceIsNotShortOnceThreadsFitAgain) {
  wait_all_tasks();
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &old), 0);
  const uint64_t used = address_space_used();
  ASSERT_GT(used, 0u);
  if (old.rlim_cur != RLIM_INFINITY && old.rlim_cur < used + kTaskStackSize) GTEST_SKIP() << "already limited";
  // Room for small allocations, none for one more thread's stack: the
  // idle threads and the stacks the C library keeps are used up first.
  rlimit low = old;
  low.rlim_cur = used + kTaskStackSize / 2;
  Burst b;
  int held = 0;
  ASSERT_EQ(setrlimit(RLIMIT_AS, &low), 0);
  while (held < 64 && create_task(hold, &b, 1) > 0) ++held;
  const bool short_then = task_pool_short(task_pool_idle() + 1);
  ASSERT_EQ(setrlimit(RLIMIT_AS, &old), 0);
  b.started.wait_for(held);
  b.release.add();
  ASSERT_LT(held, 64) << "the address-space limit stopped no thread";
  EXPECT_TRUE(short_then);
  wait_all_tasks();
  EXPECT_FALSE(task_pool_short(task_pool_idle() + 1));
  EXPECT_FALSE(task_pool_short(task_pool_idle() + 1));
}

}  // namespace
