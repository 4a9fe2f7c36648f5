// The tasks that peers hold, counted by the peer's address: the threads a
// peer's evaluations start (zulib/threads.cc) and the front and relay tasks
// of the links it has the agent open (setup_i.cc). One address holds at
// most QNMX_PEER_THREADS of them at once (32 unless the environment says
// otherwise), so that no peer takes every thread the process can have from
// the others; past it the peer alone is refused. What the agent's own
// evaluations start is not counted.
//
// Locking: one leaf mutex guards the counts; it may be taken under any
// task lock.
#pragma once

#include "zu/peer.h"

// Counts n more tasks against origin's address: false, counting nothing,
// when the address would hold more than the cap. True for the agent.
bool take_peer_tasks(const EVAL_ORIGIN& origin, int n);
// Gives back n tasks that take_peer_tasks counted for origin.
void give_peer_tasks(const EVAL_ORIGIN& origin, int n);
