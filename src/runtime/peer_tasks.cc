#include "runtime/peer_tasks.h"

#include <map>
#include <mutex>

#include "base/leaf_mutex.h"
#include "base/paths.h"

namespace {

LeafMutex counts_mu;
std::map<int, int> counts;  // counts_mu: tasks held, by address; no entry for none

int cap() {
  static const int n = static_cast<int>(u_getenv_count("QNMX_PEER_THREADS", 32, 1 << 20));
  return n;
}

}  // namespace

bool take_peer_tasks(const EVAL_ORIGIN& origin, int n) {
  if (!origin.for_peer || n <= 0) return true;
  std::lock_guard<LeafMutex> l(counts_mu);
  auto it = counts.find(origin.peer_ip);
  int held = it == counts.end() ? 0 : it->second;
  if (held + n > cap()) return false;
  counts[origin.peer_ip] = held + n;
  return true;
}

void give_peer_tasks(const EVAL_ORIGIN& origin, int n) {
  if (!origin.for_peer || n <= 0) return;
  std::lock_guard<LeafMutex> l(counts_mu);
  auto it = counts.find(origin.peer_ip);
  if (it != counts.end() && (it->second -= n) <= 0) counts.erase(it);
}
