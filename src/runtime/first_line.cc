#include "runtime/first_line.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <unordered_map>

#include "base/leaf_mutex.h"
#include "base/paths.h"

namespace {

struct WAITING {
  STREAM* s;  // referenced while here
  int ip;
};

// Guarded by mu: the waiting connections by slot id (ids grow, so the
// smallest of an address is its longest-waiting) and their count by
// address.
struct TABLE {
  LeafMutex mu;
  std::map<long, WAITING> by_id;
  std::unordered_map<int, int> per_ip;
  long next_id = 1;
};

TABLE& table() {
  static TABLE* t = new TABLE;  // never destroyed: accept tasks may outlive exit
  return *t;
}

// The longest-waiting slot of the address holding most, when it holds more
// than the newcomer's address and that one less than its share (mu held).
long _victim(TABLE& t, int newcomer_ip, int share) {
  assert_leaf_held(t.mu);
  int top_ip = 0, top = 0;
  for (const auto& [ip, n] : t.per_ip) {
    if (n > top) top_ip = ip, top = n;
  }
  auto mine = t.per_ip.find(newcomer_ip);
  int held = mine == t.per_ip.end() ? 0 : mine->second;
  if (held >= share || top <= held) return 0;
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
  if (--t.per_ip[it->second.ip] == 0) t.per_ip.erase(it->second.ip);
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
    int fallback = std::clamp(limit / 2, 8, 1024);
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
      long victim = _victim(t, ip, slots / 4);
      if (!victim) return;
      gives_way = _take(t, victim);
    }
    id_ = t.next_id++;
    s_hold(s);
    t.by_id.emplace(id_, WAITING{s, ip});
    ++t.per_ip[ip];
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
    if (long victim = _victim(t, ip, first_line_slots() / 4)) gives_way = _take(t, victim);
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
