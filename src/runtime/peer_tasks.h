// The tasks that peers hold, counted in the account of the peer's address
// (zu/peer_account.h): the threads a peer's evaluations start
// (zulib/threads.cc), the front and relay tasks of the links it has the
// agent open (setup_i.cc) and of its sessions' interpreters (the ZUoHTTP
// server). One address holds at most QNMX_PEER_THREADS of them at once (32
// unless the environment says otherwise), so that no peer takes every
// thread the process can have from the others; past it the peer alone is
// refused. What the agent's own evaluations start is not counted.
//
// A task of address X started / ended is one call pair: take_peer_tasks
// and give_peer_tasks (by origin), or take_address_tasks and
// give_address_tasks (by address).
#pragma once

#include "zu/peer.h"

// The tasks of a link: its front thread and its relay.
inline constexpr int kLinkTasks = 2;

// The cap of one address (read once).
int peer_task_cap();
// Counts n more tasks against origin's address: false, counting nothing,
// when the address would hold more than the cap. True for the agent.
bool take_peer_tasks(const EVAL_ORIGIN& origin, int n);
// Gives back n tasks that take_peer_tasks counted for origin.
void give_peer_tasks(const EVAL_ORIGIN& origin, int n);
// The same by the peer's address (ip 0: nothing counted).
bool take_address_tasks(int ip, int n);
void give_address_tasks(int ip, int n);
