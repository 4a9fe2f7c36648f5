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
