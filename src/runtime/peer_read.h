// Where a peer's reads of files named by a path may reach. A built-in that
// reads a file by its path (a matrix by its file name, a picture's header)
// asks here first; while the calling task evaluates for a peer
// (zu/peer.h), the file is judged by its real path, every symlink
// resolved, so that a link placed in a tree leads nowhere outside it:
// - under one of the agent's document or system trees (docpath.h), the
//   access files of its document path decide, as for a read of that
//   document path (auth_filepath_passive, operation "Get");
// - else under the agent's working folder, the peer may read it;
// - anywhere else, and a path that does not resolve, is refused
//   (0x80040d10, "not this peer's own, refused").
//
// No lock of its own: the trees are read under the document paths' lock,
// the working folder from the process.
#pragma once

#include "zu/value.h"

// The refusal of the read of the file at path (narrow text) by built-in
// func, positioned at form; null when the calling task is the agent's or
// the peer may read there.
ZU_SEXP* peer_read_refusal(ZU_SEXP* form, const char* path, const char* func);
