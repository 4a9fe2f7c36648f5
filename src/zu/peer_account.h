// What each peer address holds of the process, in one account per address.
//
// A peer reaches the agent from an IPv4 address, and whatever it holds is
// counted there, whichever route it took: the tasks it has running (its
// `Thread`s, the two of each link it had the agent open and of each of its
// sessions' interpreters), its connections still waiting for their first
// line or still sending a request body, its session requests queued with
// their connections, its sessions, the request bodies it has sent, and the
// heap its bindings keep. Each route asks the same account, so no route
// holds more than the caps its caller gives, and a newcomer is let in by
// one give-way rule (account_gives_way).
//
// What stays true:
// - Every count goes back to zero: an account holds each kind from its take
//   to its give, and a give never takes more than was held. An address that
//   holds nothing has no account.
// - A take that would pass a cap takes nothing.
// - The heap bindings keep is counted in two parts: what the collector found
//   them to keep at the last collection (account_bound_found), and what was
//   bound since, charged at bind time.
//
// Locking: one leaf mutex, the innermost lock of the process: taken under
// any lock, it takes none and never waits, so the collector may take it
// while the world is stopped.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <utility>

struct GC_SHARE;

enum class PEER_HOLD : uint8_t {
  kTasks = 0,  // tasks (threads) of its evaluations, links and sessions
  kWaiting,    // connections waiting for a first line, or sending a body
  kQueued,     // session requests queued, each holding its connection
  kSessions,   // ZUoHTTP sessions not ending
  kInput,      // bytes of request bodies charged to the link budget
  kBound,      // bytes its bindings keep (found at the last collection, and bound since)
};
inline constexpr int kPeerHoldKinds = 6;

inline constexpr int64_t kNoCap = std::numeric_limits<int64_t>::max();

// A newcomer may make room only while its address holds less than its
// share of what all addresses may hold: the whole divided by this.
inline constexpr int64_t kAddressShareParts = 4;

// Counts n more of `kind` against ip: false, counting nothing, when ip
// would then hold more than cap, or all addresses together more than
// all_cap (n = 0: whether they hold more already).
bool account_take(int ip, PEER_HOLD kind, int64_t n, int64_t cap, int64_t all_cap = kNoCap);
// Gives back n of what account_take counted (never more than ip holds).
void account_give(int ip, PEER_HOLD kind, int64_t n);
// What ip holds of kind; what every address holds of it together.
int64_t account_held(int ip, PEER_HOLD kind);
int64_t account_total(PEER_HOLD kind);

// The one give-way rule. When something every address shares is all taken,
// the address that holds most of it gives way to a newcomer (one of its
// holdings is ended, its caller chooses which), provided the newcomer's own
// address holds less than `share` and less than that address: the address
// that gives way, or 0 when none does. Ties go to the lowest address.
int account_gives_way(PEER_HOLD kind, int newcomer, int64_t share);

// The heap share of ip's threads (zu/gc.h): what they hold together. Valid
// while ip holds tasks; the caller holds one from before it attaches a
// thread until after it detaches it.
GC_SHARE* account_thread_share(int ip);

// ---- the heap bindings keep (kBound)
// What was bound since the last collection: by ip, and by every address.
int64_t account_bound_since(int ip);
int64_t account_bound_since_all();
// The collector's count (the world stopped): what the bindings of each
// address were found to keep. Every address not listed keeps nothing; what
// was bound since counts from zero again.
void account_bound_found(std::span<const std::pair<int, int64_t>> found);
