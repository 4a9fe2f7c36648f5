#include "zu/peer_account.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <unordered_map>

#include "base/leaf_mutex.h"
#include "zu/gc.h"

namespace {

struct ACCOUNT {
  std::array<int64_t, kPeerHoldKinds> held{};
  int64_t bound_since = 0;  // the part of held[kBound] bound since the last collection
  GC_SHARE threads;         // the heap share of its Threads (account_thread_share)
  bool empty() const {
    return std::all_of(held.begin(), held.end(), [](int64_t n) { return n == 0; }) && bound_since == 0;
  }
};

// The accounts by address (nodes stay where they are while they live, so a
// thread share handed out keeps its address) and the totals by kind.
struct LEDGER {
  LeafMutex mu;
  std::unordered_map<int, ACCOUNT> by_ip;
  std::array<int64_t, kPeerHoldKinds> total{};
  int64_t bound_since = 0;
};

// Never destroyed: tasks may still give back what they held while the
// process exits.
LEDGER& L() {
  static LEDGER* l = new LEDGER;
  return *l;
}

size_t at(PEER_HOLD kind) { return static_cast<size_t>(kind); }

// The account of ip, made when missing (mu held).
ACCOUNT& _account(LEDGER& l, int ip) {
  assert_leaf_held(l.mu);
  return l.by_ip.try_emplace(ip).first->second;
}

int64_t _held(LEDGER& l, int ip, PEER_HOLD kind) {
  assert_leaf_held(l.mu);
  auto it = l.by_ip.find(ip);
  return it == l.by_ip.end() ? 0 : it->second.held[at(kind)];
}

// Forgets the account of ip once it holds nothing (mu held).
void _forget_if_empty(LEDGER& l, std::unordered_map<int, ACCOUNT>::iterator it) {
  assert_leaf_held(l.mu);
  if (it->second.empty()) l.by_ip.erase(it);
}

}  // namespace

bool account_take(int ip, PEER_HOLD kind, int64_t n, int64_t cap, int64_t all_cap) {
  if (n < 0) return true;
  LEDGER& l = L();
  std::lock_guard<LeafMutex> g(l.mu);
  const size_t k = at(kind);
  if (_held(l, ip, kind) > cap - n || l.total[k] > all_cap - n) return false;
  if (n == 0) return true;  // a probe: an address holding nothing keeps no account
  ACCOUNT& a = _account(l, ip);
  a.held[k] += n;
  l.total[k] += n;
  if (kind == PEER_HOLD::kBound) {
    a.bound_since += n;
    l.bound_since += n;
  }
  return true;
}

bool account_take_reserved(int ip, PEER_HOLD kind, int64_t n, int64_t cap, int64_t all_cap, int64_t reserve,
                           int64_t small) {
  return account_take(ip, kind, n, cap, all_cap - reserve) || account_take(ip, kind, n, std::min(cap, small), all_cap);
}

void account_give(int ip, PEER_HOLD kind, int64_t n) {
  if (n <= 0) return;
  LEDGER& l = L();
  std::lock_guard<LeafMutex> g(l.mu);
  auto it = l.by_ip.find(ip);
  if (it == l.by_ip.end()) return;
  const size_t k = at(kind);
  ACCOUNT& a = it->second;
  int64_t gone = std::min(n, a.held[k]);
  a.held[k] -= gone;
  l.total[k] -= gone;
  if (kind == PEER_HOLD::kBound) {
    int64_t since = std::min(gone, a.bound_since);
    a.bound_since -= since;
    l.bound_since -= since;
  }
  _forget_if_empty(l, it);
}

int64_t account_held(int ip, PEER_HOLD kind) {
  LEDGER& l = L();
  std::lock_guard<LeafMutex> g(l.mu);
  return _held(l, ip, kind);
}

int64_t account_total(PEER_HOLD kind) {
  LEDGER& l = L();
  std::lock_guard<LeafMutex> g(l.mu);
  return l.total[at(kind)];
}

namespace {

int _gives_way(LEDGER& l, PEER_HOLD kind, int newcomer, int64_t share) {
  assert_leaf_held(l.mu);
  const size_t k = at(kind);
  int top_ip = 0;
  int64_t top = 0;
  for (const auto& [ip, a] : l.by_ip) {
    int64_t n = a.held[k];
    if (n > top || (n == top && n > 0 && ip < top_ip)) top_ip = ip, top = n;
  }
  int64_t mine = _held(l, newcomer, kind);
  return mine < share && top > mine ? top_ip : 0;
}

}  // namespace

int account_gives_way(PEER_HOLD kind, int newcomer, int64_t share) {
  LEDGER& l = L();
  std::lock_guard<LeafMutex> g(l.mu);
  return _gives_way(l, kind, newcomer, share);
}

bool account_may_take(int ip, PEER_HOLD kind, int64_t n, const PEER_CAPS& caps) {
  if (n <= 0) return true;
  LEDGER& l = L();
  std::lock_guard<LeafMutex> g(l.mu);
  if (_held(l, ip, kind) > caps.cap - n) return false;
  return l.total[at(kind)] <= caps.all - n || _gives_way(l, kind, ip, caps.share) != 0;
}

GC_SHARE* account_thread_share(int ip) {
  LEDGER& l = L();
  std::lock_guard<LeafMutex> g(l.mu);
  return &_account(l, ip).threads;
}

int64_t account_bound_since(int ip) {
  LEDGER& l = L();
  std::lock_guard<LeafMutex> g(l.mu);
  auto it = l.by_ip.find(ip);
  return it == l.by_ip.end() ? 0 : it->second.bound_since;
}

int64_t account_bound_since_all() {
  LEDGER& l = L();
  std::lock_guard<LeafMutex> g(l.mu);
  return l.bound_since;
}

void account_bound_found(std::span<const std::pair<int, int64_t>> found) {
  LEDGER& l = L();
  std::lock_guard<LeafMutex> g(l.mu);
  const size_t k = at(PEER_HOLD::kBound);
  for (auto& [ip, a] : l.by_ip) {
    a.held[k] = 0;
    a.bound_since = 0;
  }
  l.total[k] = 0;
  l.bound_since = 0;
  for (const auto& [ip, bytes] : found) {
    if (bytes <= 0) continue;
    _account(l, ip).held[k] += bytes;
    l.total[k] += bytes;
  }
  for (auto it = l.by_ip.begin(); it != l.by_ip.end();) {
    auto next = std::next(it);
    _forget_if_empty(l, it);
    it = next;
  }
}
