// Turning an accepted connection into a connected interpreter, for the
// services that read a connection's first request before a line link
// starts on it (the network layer's stock of kept-alive connections).
#pragma once

#include "runtime/interp.h"

// Turns an admitted connection into a connected interpreter (kind 5); the
// iid or a negative result (the stream is then closed). `tasks` and
// `links`: what counts against ip already (a session's tasks, a line
// link's place, peer_tasks.h), handed to the record, which gives it back
// when it is freed.
int launch_accept_thread(STREAM* s, int ip, ZU_INTERPRETER* listener, PERMISSION_LIST* entry, int tasks = 0,
                         int links = 0);
// Whether descriptors are left for one more link: fewer than 40/64 of the
// limit are in use. Past it the agent refuses links; what all peers may
// hold of descriptors stays below it, and the rest is the agent's own.
bool link_descriptors_left();
// Whether a link for a peer of ip would be admitted now, asked before
// anyone gives way for it, so that a newcomer refused all the same ends
// nobody's link: descriptors are left, ip may take `tasks` of all peers'
// tasks and, with `link`, a place among the line links (by room or by the
// give-way rule), and threads for the link's two tasks can be had (what
// the address holding most has gives way for them when none are left, the
// only give-way here).
bool link_may_start(int ip, int tasks, bool link);
