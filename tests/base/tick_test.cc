#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/alloc.h"
#include "base/lock.h"
#include "base/task.h"
#include "base/tick.h"
#include "base/zutime.h"
#include "sync_util.h"

namespace {

// Ticks of 5 ms keep these tests short; nothing here measures time, a few
// extra ticks only give a wrong entry the chance to run again.
class Tick : public testing::Test {
 protected:
  void SetUp() override { set_tick_unit_ms(5); }
  void TearDown() override { set_tick_unit_ms(1000); }
};

struct Runs {
  Counter calls;
  int stop_after = 0;   // cancel itself on this call
  int change_to = 0;    // change_tick argument on the first call
  int tid = 0;
};

void count_and_cancel(void* data) {
  auto* r = static_cast<Runs*>(data);
  r->calls.add();
  if (r->calls.get() == r->stop_after) del_tick_with_data(count_and_cancel, data);
}

void count(void* data) {
  auto* r = static_cast<Runs*>(data);
  r->tid = get_tid();
  r->calls.add();
}

void change_once(void* data) {
  auto* r = static_cast<Runs*>(data);
  if (r->calls.get() == 0) {
    EXPECT_EQ(change_tick(r->change_to), 0);
  }
  r->calls.add();
}

// Every kind of entry runs exactly as often as it should: a periodic one
// that cancels itself from inside, a one-shot, an immediate one (on the
// immediate timer's thread), and entries whose first call changes them to
// run once more (an immediate entry can be sent to the wheel).
TEST_F(Tick, EntriesRunAsOftenAsTheyShould) {
  Runs periodic, later, now, changed, changed_now;
  periodic.stop_after = 3;
  changed.change_to = -3;
  changed_now.change_to = -2;
  ASSERT_EQ(new_tick(count_and_cancel, 1, &periodic), 0);
  ASSERT_EQ(new_tick(count, -2, &later), 0);
  ASSERT_EQ(new_tick(count, 0, &now), 0);
  ASSERT_EQ(new_tick(change_once, 1, &changed), 0);
  ASSERT_EQ(new_tick(change_once, 0, &changed_now), 0);
  for (auto [r, n] : {std::pair{&periodic, 3}, {&later, 1}, {&now, 1}, {&changed, 2}, {&changed_now, 2}})
    r->calls.wait_for(n);
  sleep_sec(10);  // time enough for any of them to run again wrongly
  for (auto [r, n] : {std::pair{&periodic, 3}, {&later, 1}, {&now, 1}, {&changed, 2}, {&changed_now, 2}})
    EXPECT_EQ(r->calls.get(), n);
  EXPECT_NE(now.tid, get_tid());
  del_tick_with_data(count, &later);  // already fired: harmless
  EXPECT_EQ(change_tick(5), -1);      // not inside a timer function
}

struct Slow {
  Counter entered;
  int finished = 0;
};

void slow(void* data) {
  auto* s = static_cast<Slow*>(data);
  s->entered.add();
  sleep_sec(4);
  s->finished = 1;
}

TEST_F(Tick, CancelWaitsForARunningCall) {
  auto* s = new Slow;
  ASSERT_EQ(new_tick(slow, 1, s), 0);
  s->entered.wait_for(1);
  del_tick_with_data(slow, s);
  EXPECT_EQ(s->finished, 1);  // the call is over, so freeing the data is safe
  delete s;
}

TEST_F(Tick, TimeoutWakesASleeperAndCanBeCancelled) {
  static int key;
  SEM lock = new_lock(LOCK_TEST);
  lock_task(lock);
  new_timeout(&key, 1);
  sleep_task(&key, lock);  // returns only when woken
  del_timeout(&key);
  lock_task(lock);
  new_timeout(&key, 1);
  del_timeout(&key);
  // All three wakes would have come within 7 ticks.
  EXPECT_EQ(_i_sleep_task_timeout(&key, lock, 0.2, __FILE__, __LINE__), -1);
  _i_free_lock(lock);
}

TEST(ZuTime, CountsFrom2001) {
  long long unix_now = static_cast<long long>(std::time(nullptr));
  long long zu = get_zutime();
  EXPECT_LE(unix_now - kZuEpochOffset, zu);
  EXPECT_LE(zu - (unix_now - kZuEpochOffset), 1);

  setenv("TZ", "UTC", 1);
  tzset();
  char* day = get_zutime_str(0, 2);
  ASSERT_NE(day, nullptr);
  EXPECT_STREQ(day, "2001-01-01");
  char* text = get_zutime_str(86400 * 31, 1);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "Thu Feb  1 00:00:00 2001\n");
  EXPECT_EQ(get_zutime_str(0, 3), nullptr);
  d_f_ree(day);
  d_f_ree(text);
}

}  // namespace
