#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "base/leaf_mutex.h"
#include "base/lock.h"
#include "base/task.h"
#include "sync_util.h"

namespace {

// Tasks take turns on one shared word: each sleeps on the word's address
// until the turn is its own. Every hand-over wakes all sleepers, and a single
// lost wake-up leaves every task asleep for good.
struct Ring {
  SEM lock = new_lock(LOCK_TEST);
  int turn = 0;
  int tasks = 0;
  int rounds = 0;
  Counter done;
};

struct Seat {
  Ring* ring;
  int index;
};

void take_turns(TKEY data) {
  auto* seat = static_cast<Seat*>(data);
  Ring* r = seat->ring;
  for (int i = 0; i < r->rounds; ++i) {
    lock_task(r->lock);
    while (r->turn % r->tasks != seat->index) {
      sleep_task(&r->turn, r->lock);
      lock_task(r->lock);
    }
    ++r->turn;
    wakeup_task(&r->turn);
    unlock_task(r->lock, "take_turns");
  }
  r->done.add();
}

TEST(SleepWake, TurnTakingUnderContentionLosesNoWakeUp) {
  Ring r;
  r.tasks = 8;
  r.rounds = 300;
  std::vector<Seat> seats;
  for (int i = 0; i < r.tasks; ++i) seats.push_back(Seat{&r, i});
  for (auto& s : seats) ASSERT_GT(create_task(take_turns, &s, 2), 0);
  r.done.wait_for(r.tasks);
  EXPECT_EQ(r.turn, r.tasks * r.rounds);
  _i_free_lock(r.lock);
}

TEST(LockDeathTest, TakingAHeldLockAgainStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        SEM s = new_lock(LOCK_TEST);
        lock_task(s);
        lock_task(s);
      },
      testing::ExitedWithCode(1), "\n\\*{12}\n_i_lock_task\\(1\\) \\([0-9]+\\)\n\\*{12}\n");
}

// The order check compares levels, so a lock must have one the table
// writes down: any other level is a slip of the program, and making the
// lock stops the process, naming the level and where it was asked for.
TEST(LockDeathTest, ALevelOutsideTheTableStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int level : {0, -5, LOCK_MATRIX + 1, LOCK_FAVT64 + 1}) {
    SCOPED_TRACE(level);
    EXPECT_EXIT(
        {
          SEM s = new_lock(level);
          (void)s;
        },
        testing::ExitedWithCode(1),
        "new_lock: level " + std::to_string(level) + " at .*lock_test\\.cc:[0-9]+ is not in the lock table");
  }
  // Every level of the table is accepted.
  for (int level : {LOCK_TEST, LOCK_AUTH, LOCK_ZUI, LOCK_FAVT64}) _i_free_lock(new_lock(level));
}

// Sequences of takes, releases and timed sleeps (which release their lock)
// on locks of the table, and whether the order check lets them through.
enum Op { kTake, kRelease, kSleep };
struct Step {
  Op op;
  int level;
  int twin = 0;  // a second lock of the same level
};
struct OrderCase {
  const char* name;
  std::vector<Step> steps;
  bool allowed;
};

void run_steps(const std::vector<Step>& steps) {
  std::map<std::pair<int, int>, SEM> locks;
  for (const Step& st : steps) {
    SEM& s = locks[{st.level, st.twin}];
    if (!s) s = new_lock(st.level);
    if (st.op == kTake) lock_task(s);
    if (st.op == kRelease) unlock_task(s, "test");
    if (st.op == kSleep) _i_sleep_task_timeout(&locks, s, 0.001, __FILE__, __LINE__);
  }
  for (auto& [key, s] : locks) {
    if (lock_held_by_me(s)) unlock_task(s, "test");
    _i_free_lock(s);
  }
}

const OrderCase kOrderCases[] = {
    {"rising levels", {{kTake, LOCK_MATRIX}, {kTake, LOCK_MX_FILE}, {kTake, LOCK_CALL_LOCK}, {kTake, LOCK_FAVT64}},
     true},
    {"the collector's hooks",
     {{kTake, LOCK_QUEUE_GC_HIGH}, {kTake, LOCK_QUEUE_HIGH}, {kTake, LOCK_MATRIX_GC}, {kTake, LOCK_ZUI},
      {kTake, LOCK_FIFO}, {kTake, LOCK_LEX}, {kTake, LOCK_LOADER}, {kTake, LOCK_STREAM}, {kTake, LOCK_QUEUE},
      {kTake, LOCK_QUEUE_GC}},
     true},
    {"a released lock no longer counts", {{kTake, LOCK_QUEUE}, {kRelease, LOCK_QUEUE}, {kTake, LOCK_MATRIX}}, true},
    {"released out of order",
     {{kTake, LOCK_MATRIX}, {kTake, LOCK_ZUI}, {kRelease, LOCK_MATRIX}, {kTake, LOCK_QUEUE}, {kTake, LOCK_LOG}},
     false},
    {"a sleep releases its lock", {{kTake, LOCK_QUEUE}, {kSleep, LOCK_QUEUE}, {kTake, LOCK_MATRIX}}, true},
    {"a sleep keeps the other locks",
     {{kTake, LOCK_ZUI}, {kTake, LOCK_QUEUE}, {kSleep, LOCK_QUEUE}, {kTake, LOCK_MATRIX}}, false},
    {"lower under higher", {{kTake, LOCK_QUEUE}, {kTake, LOCK_MATRIX}}, false},
    {"the store before the matrix", {{kTake, LOCK_FAVT64}, {kTake, LOCK_MATRIX}}, false},
    {"two locks of one level", {{kTake, LOCK_STREAM}, {kTake, LOCK_STREAM, 1}}, false},
};

TEST(LockOrderDeathTest, TakesInRisingLevelPassAndOthersStop) {
  if (!QNMX_LOCK_CHECK) GTEST_SKIP() << "the order is checked in debug and sanitizer builds";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const OrderCase& c : kOrderCases) {
    SCOPED_TRACE(c.name);
    if (c.allowed)
      run_steps(c.steps);
    else
      EXPECT_EXIT(run_steps(c.steps), testing::ExitedWithCode(1), "\n\\*{12}\nlock order: ");
  }
}

// The fatal stop names both locks, their levels and where each was taken.
TEST(LockOrderDeathTest, TheStopNamesBothLocks) {
  if (!QNMX_LOCK_CHECK) GTEST_SKIP() << "the order is checked in debug and sanitizer builds";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        SEM matrix = new_lock(LOCK_MATRIX);
        SEM file = new_lock(LOCK_MX_FILE);
        lock_task(file);
        lock_task(matrix);
      },
      testing::ExitedWithCode(1),
      "lock order: matrix_lock \\(level 40\\) taken at .*lock_test\\.cc:[0-9]+ while mx_file_lock \\(level 50\\) "
      "is held, taken at .*lock_test\\.cc:[0-9]+");
}

// A lock that is not a SEM joins the order through a note; a `_name`
// function's assertion stops a caller that does not hold the lock.
TEST(LockOrderDeathTest, NotesAndHeldAssertions) {
  if (!QNMX_LOCK_CHECK) GTEST_SKIP() << "checked in debug and sanitizer builds";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  int reader = 0;
  SEM stream = new_lock(LOCK_STREAM);
  lock_order_note(&reader, LOCK_STREAM_READER);
  lock_task(stream);
  assert_lock_held(stream);
  unlock_task(stream, "test");
  lock_order_drop(&reader);
  EXPECT_EXIT(
      {
        lock_task(stream);
        lock_order_note(&reader, LOCK_STREAM_READER);
      },
      testing::ExitedWithCode(1), "lock order: stream reader \\(level 154\\) taken at .* while stream_lock");
  EXPECT_EXIT(assert_lock_held(stream), testing::ExitedWithCode(1), "stream \\(stream_lock, level 160\\) is not held at ");
  _i_free_lock(stream);
}

// A leaf mutex knows its holder in checked builds: another thread, and the
// holder once it has let go, are not it; a wait on it gives it back to the
// waiter with the record true; a `_name` statement stops a caller without
// it, naming the mutex.
TEST(LockOrderDeathTest, LeafMutexRecordsItsHolder) {
  if (!QNMX_LOCK_CHECK) GTEST_SKIP() << "checked in debug and sanitizer builds";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  LeafMutex mu;
  std::condition_variable_any cv;
  EXPECT_FALSE(mu.held_by_me());
  bool seen_by_other = true;
  bool woken = false;
  {
    std::unique_lock<LeafMutex> l(mu);
    EXPECT_TRUE(mu.held_by_me());
    std::thread other([&] {
      seen_by_other = mu.held_by_me();
      std::lock_guard<LeafMutex> g(mu);  // taken while the first waits
      woken = true;
      cv.notify_one();
    });
    cv.wait(l, [&] { return woken; });
    EXPECT_TRUE(mu.held_by_me());
    assert_leaf_held(mu);
    l.unlock();
    other.join();
  }
  EXPECT_FALSE(seen_by_other);
  EXPECT_FALSE(mu.held_by_me());
  EXPECT_TRUE(mu.try_lock());
  EXPECT_TRUE(mu.held_by_me());
  mu.unlock();
  EXPECT_EXIT(assert_leaf_held(mu), testing::ExitedWithCode(1), "mu \\(a leaf mutex\\) is not held at .*lock_test\\.cc:");
}

TEST(LockOrder, TheTableNamesEveryLevel) {
  EXPECT_STREQ(lock_level_name(LOCK_MATRIX), "matrix_lock");
  EXPECT_STREQ(lock_level_name(LOCK_FAVT64), "l_favt64_lock");
  EXPECT_EQ(lock_level_name(LOCK_MATRIX + 1), nullptr);
}

}  // namespace
