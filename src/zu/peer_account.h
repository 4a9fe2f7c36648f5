// What each peer address holds of the process, in one account per address.
//
// A peer reaches the agent from an IPv4 address, and whatever it holds is
// counted there, whichever route it took: the tasks it has running (its
// `Thread`s, the two of each link it had the agent open and of each of its
// sessions' interpreters), its connections still waiting for their first
// line or still sending a request body, its session requests queued with
// their connections, its sessions, the request bodies it has sent, and the
// heap its bindings keep, and its line links on the listening ports. Each
// route asks the same account, so no route holds more than the caps its
// caller gives, and a newcomer is let in by one give-way rule
// (account_gives_way, account_take_or_give_way).
//
// What stays true:
// - Every count goes back to zero: an account holds each kind from its take
//   to its give, and a give never takes more than was held. An address that
//   holds nothing has no account.
// - A take that would pass a cap takes nothing: neither the address's nor
//   the one of all addresses together, which the callers keep below what
//   the process can hold.
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
  kLinks,      // line links it opened to a listening port, from their first line
};
inline constexpr int kPeerHoldKinds = 7;

inline constexpr int64_t kNoCap = std::numeric_limits<int64_t>::max();

// A newcomer may make room only while its address holds less than its
// share of what all addresses may hold: the whole divided by this.
inline constexpr int64_t kAddressShareParts = 4;

// Counts n more of `kind` against ip: false, counting nothing, when ip
// would then hold more than cap, or all addresses together more than
// all_cap (n = 0: whether they hold more already).
bool account_take(int ip, PEER_HOLD kind, int64_t n, int64_t cap, int64_t all_cap = kNoCap);
// The same from a total whose last `reserve` is kept for addresses that
// hold almost nothing, where nothing can be taken back to make room: past
// all_cap - reserve, only an address that then holds at most `small`
// takes, up to all_cap.
bool account_take_reserved(int ip, PEER_HOLD kind, int64_t n, int64_t cap, int64_t all_cap, int64_t reserve,
                           int64_t small);
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

// What a shared place allows: one address at most `cap`, all together at
// most `all`; a newcomer below `share` is let in by the give-way rule.
struct PEER_CAPS {
  int64_t cap;
  int64_t all;
  int64_t share;
};

// Whether account_take_or_give_way would take n of kind for ip now, by
// room or by a give-way, without taking or ending anything: so that a
// caller that may still refuse ip for another reason asks before anyone
// gives way for it.
bool account_may_take(int ip, PEER_HOLD kind, int64_t n, const PEER_CAPS& caps);

// Takes n of kind for ip; when that fails because all addresses together
// hold `all`, the address that holds most gives way to ip (by the rule
// above), once for each of the n at most: give_way(top) ends one of top's
// holdings and gives back what it counted, true when it did. False when ip
// is refused. give_way runs outside the ledger's lock, under the caller's.
template <class GiveWay>
bool account_take_or_give_way(int ip, PEER_HOLD kind, int64_t n, const PEER_CAPS& caps, GiveWay give_way) {
  for (int64_t tries = 0;; ++tries) {
    if (account_take(ip, kind, n, caps.cap, caps.all)) return true;
    if (tries >= n || account_held(ip, kind) > caps.cap - n) return false;
    const int top = account_gives_way(kind, ip, caps.share);
    if (!top || !give_way(top)) return false;
  }
}

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
