#include <gtest/gtest.h>

#include <vector>

#include "base/lock.h"
#include "base/task.h"
#include "sync_util.h"

namespace {

// Tasks take turns on one shared word: each sleeps on the word's address
// until the turn is its own. Every hand-over wakes all sleepers, and a single
// lost wake-up leaves every task asleep for good.
struct Ring {
  SEM lock = new_lock(1);
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
        SEM s = new_lock(1);
        lock_task(s);
        lock_task(s);
      },
      testing::ExitedWithCode(1), "\n\\*{12}\n_i_lock_task\\(1\\) \\([0-9]+\\)\n\\*{12}\n");
}

}  // namespace
