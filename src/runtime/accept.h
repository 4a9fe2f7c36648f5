// Turning an accepted connection into a connected interpreter, for the
// services that read a connection's first request before a line link
// starts on it (the network layer's stock of kept-alive connections).
#pragma once

#include "runtime/interp.h"

// Turns an admitted connection into a connected interpreter (kind 5); the
// iid or a negative result (the stream is then closed).
int launch_accept_thread(STREAM* s, int ip, ZU_INTERPRETER* listener, PERMISSION_LIST* entry);
