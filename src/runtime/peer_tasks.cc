#include "runtime/peer_tasks.h"

#include "base/paths.h"
#include "zu/peer_account.h"

int peer_task_cap() {
  static const int n = static_cast<int>(u_getenv_count("QNMX_PEER_THREADS", 32, 1 << 20));
  return n;
}

bool take_address_tasks(int ip, int n) { return !ip || account_take(ip, PEER_HOLD::kTasks, n, peer_task_cap()); }

void give_address_tasks(int ip, int n) {
  if (ip) account_give(ip, PEER_HOLD::kTasks, n);
}

// By origin as by address: a peer whose address is not known counts
// nothing, so that what a record gives back by address matches its take.
bool take_peer_tasks(const EVAL_ORIGIN& origin, int n) {
  return !origin.for_peer || n <= 0 || take_address_tasks(origin.peer_ip, n);
}

void give_peer_tasks(const EVAL_ORIGIN& origin, int n) {
  if (origin.for_peer) give_address_tasks(origin.peer_ip, n);
}
