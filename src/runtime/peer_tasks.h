// The tasks that peers hold, counted in the account of the peer's address
// (zu/peer_account.h): the threads a peer's evaluations start
// (zulib/threads.cc), the front and relay tasks of the links it has the
// agent open (setup_i.cc) and of its sessions' interpreters (the ZUoHTTP
// server). One address holds at most QNMX_PEER_THREADS of them at once (32
// unless the environment says otherwise), so that no peer takes every
// thread the process can have from the others; past it the peer alone is
// refused. What the agent's own evaluations start is not counted.
//
// All peers together hold at most peer_tasks_all() of them, and at most
// peer_links_all() line links on the listening ports and version-2
// sessions (two tasks each, counted from the link's first line, apart from
// the caps above; each holds a descriptor as long as it lives): both
// below what the process can hold, so that its own script always has
// threads. When either total is all taken, the address holding most gives
// way to a newcomer that holds less than a quarter of it: one of its
// interpreters is closed (give_way_interpreter).
//
// A task of address X started / ended is one call pair: take_peer_tasks
// and give_peer_tasks (by origin), or take_address_tasks and
// give_address_tasks (by address); a line link's is take_address_link and
// give_address_links.
#pragma once

#include "zu/peer.h"

// The tasks of a link: its front thread and its relay.
inline constexpr int kLinkTasks = 2;

// The cap of one address (read once).
int peer_task_cap();
// The totals of all peers (read once): tasks (QNMX_PEER_TASKS_ALL, else a
// quarter of the threads the process can hold, since a session's
// interpreter brings a receive and a send task along while it works), and
// line links (QNMX_PEER_LINKS_ALL, else three sixteenths of the
// descriptor limit, at most a quarter of the threads the process can
// hold).
int peer_tasks_all();
int peer_links_all();
// Counts n more tasks against origin's address: false, counting nothing,
// when the address would hold more than the cap, or all peers more than
// their total. True for the agent.
bool take_peer_tasks(const EVAL_ORIGIN& origin, int n);
// Gives back n tasks that take_peer_tasks counted for origin.
void give_peer_tasks(const EVAL_ORIGIN& origin, int n);
// The same by the peer's address (ip 0: nothing counted).
bool take_address_tasks(int ip, int n);
void give_address_tasks(int ip, int n);
// take_address_tasks where a newcomer may make room: with all peers' tasks
// taken, the address holding most gives way. The caller holds no lock.
bool take_tasks_giving_way(int ip, int n);
// A line link of ip admitted to a listening port, or a version-2 session's
// (which holds its download connection as long): the address holding most
// gives way when all are taken (the caller holds no lock); and n given
// back.
bool take_address_link(int ip);
void give_address_links(int ip, int n);
// Whether take_tasks_giving_way(ip, n) and take_address_link(ip) would
// take now, without taking or ending anything.
bool may_take_address_tasks(int ip, int n);
bool may_take_address_link(int ip);
// When the process has no thread left for a newcomer from ip: a line link
// of the address holding most of them gives way, else an interpreter of
// the address holding most tasks, by the same rule, provided that address
// holds more threads than ip does (the caller holds no lock). True when
// one did; its threads end soon after.
bool threads_give_way(int ip);
