#include "runtime/first_line.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "base/leaf_mutex.h"
#include "base/paths.h"
#include "zu/peer_account.h"

namespace {

struct WAITING {
  STREAM* s;  // referenced while here
  int ip;
};

// Guarded by mu: the waiting connections by slot id (ids grow, so the
// smallest of an address is its longest-waiting). What each address holds
// of them is counted in its account (kWaiting).
struct TABLE {
  LeafMutex mu;
  std::map<long, WAITING> by_id;
  long next_id = 1;
};

TABLE& table() {
  static TABLE* t = new TABLE;  // never destroyed: accept tasks may outlive exit
  return *t;
}

// The longest-waiting slot of the address that gives way to a newcomer
// from newcomer_ip (account_gives_way), or 0 (mu held).
long _victim(TABLE& t, int newcomer_ip) {
  assert_leaf_held(t.mu);
  int top_ip = account_gives_way(PEER_HOLD::kWaiting, newcomer_ip, first_line_slots() / kAddressShareParts);
  if (!top_ip) return 0;
  for (const auto& [id, w] : t.by_id) {
    if (w.ip == top_ip) return id;
  }
  return 0;
}

// Takes slot `id` out of the table: its stream, still referenced (mu held).
STREAM* _take(TABLE& t, long id) {
  assert_leaf_held(t.mu);
  auto it = t.by_id.find(id);
  if (it == t.by_id.end()) return nullptr;
  STREAM* s = it->second.s;
  account_give(it->second.ip, PEER_HOLD::kWaiting, 1);
  t.by_id.erase(it);
  return s;
}

int env_seconds(const char* name, int fallback) { return static_cast<int>(u_getenv_count(name, fallback, 86400)); }

}  // namespace

int first_line_idle() {
  static const int seconds = env_seconds("QNMX_FIRST_LINE_IDLE", 10);
  return seconds;
}

int first_line_total() {
  static const int seconds = env_seconds("QNMX_FIRST_LINE_TOTAL", 30);
  return seconds;
}

int first_line_slots() {
  static const int slots = [] {
    int limit = 0;
    s_descriptors_in_use(&limit);
    int fallback = std::clamp(limit / 4, 8, 1024);
    return static_cast<int>(u_getenv_count("QNMX_FIRST_LINE_SLOTS", fallback, 1 << 20));
  }();
  return slots;
}

FirstLineSlot::FirstLineSlot(STREAM* s, int ip) {
  TABLE& t = table();
  const int slots = first_line_slots();
  STREAM* gives_way = nullptr;
  {
    std::lock_guard<LeafMutex> l(t.mu);
    if (static_cast<int>(t.by_id.size()) >= slots) {
      long victim = _victim(t, ip);
      if (!victim) return;
      gives_way = _take(t, victim);
    }
    id_ = t.next_id++;
    s_hold(s);
    t.by_id.emplace(id_, WAITING{s, ip});
    account_take(ip, PEER_HOLD::kWaiting, 1, kNoCap);
  }
  // Its reader sees the end of its input and lets its slot go, finding it
  // taken already.
  if (gives_way) s_close_queue(gives_way);
  s_drop(gives_way);
}

bool first_line_give_way(int ip) {
  TABLE& t = table();
  STREAM* gives_way = nullptr;
  {
    std::lock_guard<LeafMutex> l(t.mu);
    if (long victim = _victim(t, ip)) gives_way = _take(t, victim);
  }
  if (!gives_way) return false;
  s_close_queue(gives_way);
  s_drop(gives_way);
  return true;
}

void FirstLineSlot::release() {
  if (!id_) return;
  TABLE& t = table();
  STREAM* s;
  {
    std::lock_guard<LeafMutex> l(t.mu);
    s = _take(t, id_);
  }
  id_ = 0;
  s_drop(s);
}
