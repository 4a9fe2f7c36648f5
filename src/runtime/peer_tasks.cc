#include "runtime/peer_tasks.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

#include "base/paths.h"
#include "base/task.h"
#include "runtime/interp.h"
#include "stream/stream.h"
#include "zu/gc.h"
#include "zu/peer_account.h"

namespace {

// Threads the process holds at most, whatever its limits allow: each
// reserves a stack of kTaskStackSize.
constexpr int64_t kThreadCeiling = 8192;

int64_t kernel_threads_max() {
  long long n = 0;
  if (FILE* f = std::fopen("/proc/sys/kernel/threads-max", "r")) {
    if (std::fscanf(f, "%lld", &n) != 1) n = 0;
    std::fclose(f);
  }
  return n > 0 ? n : kThreadCeiling;
}

// The threads the process can hold: half of what the kernel and the
// user's limit allow (others run too), and what its address space leaves
// for stacks beside twice the heap budget (the heap, and as much again for
// what the process allocates besides).
int64_t find_threads_room() {
  int64_t room = std::min(kThreadCeiling, kernel_threads_max() / 2);
  rlimit lim{};
  if (getrlimit(RLIMIT_NPROC, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
    room = std::min<int64_t>(room, static_cast<int64_t>(lim.rlim_cur / 2));
  room = std::min(room, task_address_room(2 * gc_heap_budget()));
  return std::max<int64_t>(room, 4 * kLinkTasks);
}

int64_t threads_room() {
  static const int64_t n = find_threads_room();
  return n;
}

// The share below which a newcomer may make room: a quarter of the total,
// at most what one address may hold.
PEER_CAPS caps(int64_t cap, int64_t all) { return {cap, all, std::min(cap, all / kAddressShareParts)}; }

}  // namespace

int peer_task_cap() {
  static const int n = static_cast<int>(u_getenv_count("QNMX_PEER_THREADS", 32, 1 << 20));
  return n;
}

int peer_tasks_all() {
  static const int n = static_cast<int>(u_getenv_count("QNMX_PEER_TASKS_ALL", threads_room() / 4, 1 << 20));
  return n;
}

int peer_links_all() {
  static const int n = [] {
    int limit = 0;
    s_descriptors_in_use(&limit);
    const int64_t room = std::max<int64_t>(1, std::min<int64_t>(int64_t{limit} * 3 / 16, threads_room() / 4));
    return static_cast<int>(u_getenv_count("QNMX_PEER_LINKS_ALL", room, 1 << 20));
  }();
  return n;
}

bool take_address_tasks(int ip, int n) {
  return !ip || account_take(ip, PEER_HOLD::kTasks, n, peer_task_cap(), peer_tasks_all());
}

void give_address_tasks(int ip, int n) {
  if (ip) account_give(ip, PEER_HOLD::kTasks, n);
}

bool take_tasks_giving_way(int ip, int n) {
  if (!ip) return true;
  return account_take_or_give_way(ip, PEER_HOLD::kTasks, n, caps(peer_task_cap(), peer_tasks_all()),
                                  [](int top) { return give_way_interpreter(top, false); });
}

namespace {

// Any address takes links while there is room: one address may have many
// honest links open at once.
PEER_CAPS link_caps() { return caps(peer_links_all(), peer_links_all()); }

}  // namespace

bool take_address_link(int ip) {
  if (!ip) return true;
  return account_take_or_give_way(ip, PEER_HOLD::kLinks, 1, link_caps(),
                                  [](int top) { return give_way_interpreter(top, true); });
}

bool may_take_address_tasks(int ip, int n) {
  return !ip || account_may_take(ip, PEER_HOLD::kTasks, n, caps(peer_task_cap(), peer_tasks_all()));
}

bool may_take_address_link(int ip) { return !ip || account_may_take(ip, PEER_HOLD::kLinks, 1, link_caps()); }

void give_address_links(int ip, int n) {
  if (ip) account_give(ip, PEER_HOLD::kLinks, n);
}

bool threads_give_way(int ip) {
  // What each holds is counted in threads: an address whose connections
  // waiting for their first lines hold many is no newcomer to one holding
  // a link or two.
  auto threads = [](int at) {
    return account_held(at, PEER_HOLD::kTasks) + account_held(at, PEER_HOLD::kWaiting) +
           kLinkTasks * account_held(at, PEER_HOLD::kLinks);
  };
  const PEER_CAPS by_kind[] = {link_caps(), caps(peer_task_cap(), peer_tasks_all())};
  for (bool line_links : {true, false}) {
    const PEER_HOLD kind = line_links ? PEER_HOLD::kLinks : PEER_HOLD::kTasks;
    const int top = account_gives_way(kind, ip, by_kind[line_links ? 0 : 1].share);
    if (top && threads(top) > threads(ip) && give_way_interpreter(top, line_links)) return true;
  }
  return false;
}

// By origin as by address: a peer whose address is not known counts
// nothing, so that what a record gives back by address matches its take.
bool take_peer_tasks(const EVAL_ORIGIN& origin, int n) {
  return !origin.for_peer || n <= 0 || take_address_tasks(origin.peer_ip, n);
}

void give_peer_tasks(const EVAL_ORIGIN& origin, int n) {
  if (origin.for_peer) give_address_tasks(origin.peer_ip, n);
}
