// The accounts of peer addresses: every kind counted by address and in all,
// a cap that takes nothing when passed, what is given back given back once,
// and the one give-way rule.
#include "zu/peer_account.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "zu/gc.h"

namespace {

// Addresses of their own for each test: the accounts are the process's.
constexpr int kA = 0x0A000001, kB = 0x0A000002, kC = 0x0A000003;

struct KindCase {
  PEER_HOLD kind;
  int64_t n;
};

TEST(PeerAccount, EveryKindIsCountedCappedAndGivenBackOnce) {
  const KindCase cases[] = {{PEER_HOLD::kTasks, 2},  {PEER_HOLD::kWaiting, 1}, {PEER_HOLD::kQueued, 3},
                            {PEER_HOLD::kSessions, 1}, {PEER_HOLD::kInput, 4096}, {PEER_HOLD::kBound, 1 << 20},
                            {PEER_HOLD::kLinks, 1}};
  for (const KindCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.kind));
    const int64_t all = account_total(c.kind);
    ASSERT_TRUE(account_take(kA, c.kind, c.n, 2 * c.n));
    ASSERT_TRUE(account_take(kB, c.kind, c.n, 2 * c.n));
    EXPECT_EQ(account_held(kA, c.kind), c.n);
    EXPECT_EQ(account_total(c.kind), all + 2 * c.n);
    // Past the address's cap, or past what all may hold: nothing taken.
    EXPECT_FALSE(account_take(kA, c.kind, c.n + 1, 2 * c.n));
    EXPECT_FALSE(account_take(kC, c.kind, 1, kNoCap, all + 2 * c.n));
    EXPECT_EQ(account_held(kA, c.kind), c.n);
    EXPECT_EQ(account_held(kC, c.kind), 0);
    // Each other kind of the address is untouched.
    for (const KindCase& o : cases) {
      if (o.kind != c.kind) {
        EXPECT_EQ(account_held(kA, o.kind), 0);
      }
    }
    // Given back once: a second give takes nothing more, nor from another
    // address.
    account_give(kA, c.kind, c.n);
    account_give(kA, c.kind, c.n);
    EXPECT_EQ(account_held(kA, c.kind), 0);
    EXPECT_EQ(account_held(kB, c.kind), c.n);
    EXPECT_EQ(account_total(c.kind), all + c.n);
    account_give(kB, c.kind, 2 * c.n);
    EXPECT_EQ(account_total(c.kind), all);
  }
}

TEST(PeerAccount, BoundBytesCountWhatTheCollectorFoundAndWhatWasBoundSince) {
  const int64_t all = account_total(PEER_HOLD::kBound);
  ASSERT_EQ(all, 0);  // nothing of the process binds as a peer here
  ASSERT_TRUE(account_take(kA, PEER_HOLD::kBound, 10, 100, 15));
  EXPECT_FALSE(account_take(kB, PEER_HOLD::kBound, 10, 100, 15));  // all peers' cap
  EXPECT_EQ(account_bound_since(kA), 10);
  EXPECT_EQ(account_bound_since_all(), 10);
  // A collection found 3 bytes of kA's and 4 of kB's still bound: that is
  // what they hold, and nothing was bound since.
  const std::vector<std::pair<int, int64_t>> found = {{kA, 3}, {kB, 4}};
  account_bound_found(found);
  EXPECT_EQ(account_held(kA, PEER_HOLD::kBound), 3);
  EXPECT_EQ(account_held(kB, PEER_HOLD::kBound), 4);
  EXPECT_EQ(account_bound_since(kA), 0);
  EXPECT_EQ(account_bound_since_all(), 0);
  EXPECT_TRUE(account_take(kB, PEER_HOLD::kBound, 8, 100, 15));
  // A charge of nothing asks whether the address is past its cap already.
  EXPECT_TRUE(account_take(kB, PEER_HOLD::kBound, 0, 12));
  EXPECT_FALSE(account_take(kB, PEER_HOLD::kBound, 0, 11));
  // A collection that found nothing leaves no account behind.
  account_bound_found({});
  EXPECT_EQ(account_total(PEER_HOLD::kBound), 0);
  EXPECT_EQ(account_held(kB, PEER_HOLD::kBound), 0);
}

struct GiveWayCase {
  const char* what;
  std::map<int, int64_t> held;
  int newcomer;
  int64_t share;
  int gives_way;
};

TEST(PeerAccount, TheAddressHoldingMostGivesWayToANewcomerBelowItsShare) {
  const GiveWayCase cases[] = {
      {"nobody holds any", {}, kC, 4, 0},
      {"a stranger", {{kA, 5}, {kB, 2}}, kC, 4, kA},
      {"an address below its share and the top", {{kA, 5}, {kB, 2}}, kB, 4, kA},
      {"an address at its share", {{kA, 5}, {kB, 2}}, kB, 2, 0},
      {"the top address itself", {{kA, 5}, {kB, 2}}, kA, 8, 0},
      {"an address holding as much as the top", {{kA, 3}, {kB, 3}}, kB, 8, 0},
      {"a tie goes to the lowest address", {{kB, 3}, {kA, 3}}, kC, 8, kA},
  };
  for (const GiveWayCase& c : cases) {
    SCOPED_TRACE(c.what);
    for (const auto& [ip, n] : c.held) ASSERT_TRUE(account_take(ip, PEER_HOLD::kWaiting, n, kNoCap));
    EXPECT_EQ(account_gives_way(PEER_HOLD::kWaiting, c.newcomer, c.share), c.gives_way);
    // The rule looks at one kind only.
    EXPECT_EQ(account_gives_way(PEER_HOLD::kQueued, c.newcomer, c.share), 0);
    for (const auto& [ip, n] : c.held) account_give(ip, PEER_HOLD::kWaiting, n);
  }
}

TEST(PeerAccount, TheLastOfATotalIsLeftForAddressesHoldingAlmostNothing) {
  // A total of 10 whose last 4 only an address then holding 2 at most takes.
  ASSERT_TRUE(account_take_reserved(kA, PEER_HOLD::kQueued, 6, kNoCap, 10, 4, 2));
  EXPECT_FALSE(account_take_reserved(kA, PEER_HOLD::kQueued, 1, kNoCap, 10, 4, 2));
  EXPECT_FALSE(account_take_reserved(kB, PEER_HOLD::kQueued, 3, kNoCap, 10, 4, 2));
  EXPECT_TRUE(account_take_reserved(kB, PEER_HOLD::kQueued, 2, kNoCap, 10, 4, 2));
  EXPECT_FALSE(account_take_reserved(kB, PEER_HOLD::kQueued, 1, kNoCap, 10, 4, 2));
  EXPECT_TRUE(account_take_reserved(kC, PEER_HOLD::kQueued, 2, kNoCap, 10, 4, 2));
  EXPECT_EQ(account_total(PEER_HOLD::kQueued), 10);
  account_give(kA, PEER_HOLD::kQueued, 6);
  account_give(kB, PEER_HOLD::kQueued, 2);
  account_give(kC, PEER_HOLD::kQueued, 2);
}

TEST(PeerAccount, ANewcomerTakesWhatTheAddressHoldingMostGivesBack) {
  const PEER_CAPS caps{8, 8, 2};
  std::vector<int> gave;
  auto give_way = [&gave](int top) {
    gave.push_back(top);
    account_give(top, PEER_HOLD::kSessions, 1);
    return true;
  };
  ASSERT_TRUE(account_take(kA, PEER_HOLD::kSessions, 8, 8));
  // The newcomer needs two: kA gives way twice.
  EXPECT_TRUE(account_take_or_give_way(kB, PEER_HOLD::kSessions, 2, caps, give_way));
  EXPECT_EQ(gave, (std::vector<int>{kA, kA}));
  // At its share it waits for room like kA.
  EXPECT_FALSE(account_take_or_give_way(kB, PEER_HOLD::kSessions, 1, caps, give_way));
  EXPECT_FALSE(account_take_or_give_way(kA, PEER_HOLD::kSessions, 1, caps, give_way));
  // Nothing given back: the newcomer is refused.
  EXPECT_FALSE(account_take_or_give_way(kC, PEER_HOLD::kSessions, 1, caps, [](int) { return false; }));
  EXPECT_EQ(gave.size(), 2u);
  account_give(kA, PEER_HOLD::kSessions, 6);
  account_give(kB, PEER_HOLD::kSessions, 2);
  EXPECT_EQ(account_total(PEER_HOLD::kSessions), 0);
}

TEST(PeerAccount, AThreadShareStaysPutWhileItsAddressHoldsTasks) {
  ASSERT_TRUE(account_take(kA, PEER_HOLD::kTasks, 1, kNoCap));
  GC_SHARE* share = account_thread_share(kA);
  // Many more accounts: the one of kA stays where it is.
  for (int ip = 1; ip <= 5000; ++ip) ASSERT_TRUE(account_take(0x0B000000 + ip, PEER_HOLD::kTasks, 1, kNoCap));
  EXPECT_EQ(account_thread_share(kA), share);
  for (int ip = 1; ip <= 5000; ++ip) account_give(0x0B000000 + ip, PEER_HOLD::kTasks, 1);
  account_give(kA, PEER_HOLD::kTasks, 1);
  EXPECT_EQ(account_held(kA, PEER_HOLD::kTasks), 0);
}

}  // namespace
