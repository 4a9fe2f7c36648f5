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

// Producers and consumers sharing one lock and two wait addresses.
struct Box {
  SEM lock = new_lock(1);
  int items = 0;
  int taken = 0;
  int capacity = 2;
  int per_producer = 400;
  Counter done;
};

void produce(TKEY data) {
  auto* b = static_cast<Box*>(data);
  for (int i = 0; i < b->per_producer; ++i) {
    lock_task(b->lock);
    while (b->items >= b->capacity) {
      sleep_task(&b->capacity, b->lock);
      lock_task(b->lock);
    }
    ++b->items;
    wakeup_task(&b->items);
    unlock_task(b->lock, "produce");
  }
  b->done.add();
}

void consume(TKEY data) {
  auto* b = static_cast<Box*>(data);
  for (int i = 0; i < b->per_producer; ++i) {
    lock_task(b->lock);
    while (b->items == 0) {
      sleep_task(&b->items, b->lock);
      lock_task(b->lock);
    }
    --b->items;
    ++b->taken;
    wakeup_task(&b->capacity);
    unlock_task(b->lock, "consume");
  }
  b->done.add();
}

TEST(SleepWake, BoundedBufferDrainsCompletely) {
  Box b;
  for (int i = 0; i < 4; ++i) {
    ASSERT_GT(create_task(produce, &b, 2), 0);
    ASSERT_GT(create_task(consume, &b, 2), 0);
  }
  b.done.wait_for(8);
  EXPECT_EQ(b.taken, 4 * b.per_producer);
  EXPECT_EQ(b.items, 0);
  _i_free_lock(b.lock);
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
