// Connections waiting for their first line: from its accept until its
// first line is in (a line link's opening line end, an HTTP request's
// header), a connection holds a thread and a descriptor while its peer
// decides how fast to send. Three bounds keep slow peers from holding them:
// - a first line that brings no byte for first_line_idle() seconds ends its
//   connection, and one that is not all in after first_line_total();
// - every waiting connection holds one of a fixed number of slots;
// - while slots are free any address takes them; once all are taken, a
//   newcomer whose address holds less than a quarter of them takes the slot
//   of the longest-waiting connection of the address that holds most (that
//   connection is closed), and anyone else is refused: the give-way rule of
//   the accounts of peer addresses (zu/peer_account.h), where what each
//   address holds of the slots is counted.
// A request body still arriving (the HTTP agent's) waits on its peer the
// same way and holds a slot of its own.
//
// What stays true: a slot's stream is referenced (s_hold) while it is in
// the table, so closing it from here never touches a freed record. One leaf
// mutex guards the table (the accounts' is taken under it); a connection
// that gives way is closed after it has been let go.
#pragma once

#include "stream/stream.h"

// Seconds a first line may go without a byte (QNMX_FIRST_LINE_IDLE, 10) and
// may take in all (QNMX_FIRST_LINE_TOTAL, 30); read once.
int first_line_idle();
int first_line_total();

// The slot of one waiting connection, let go by release() or at the end of
// its scope. The caller keeps its own reference to the stream while it
// uses it: a connection that gives way is closed under it.
class FirstLineSlot {
 public:
  // Takes a slot for s, whose peer is ip; taken() tells whether it got one.
  FirstLineSlot(STREAM* s, int ip);
  ~FirstLineSlot() { release(); }
  FirstLineSlot(const FirstLineSlot&) = delete;
  FirstLineSlot& operator=(const FirstLineSlot&) = delete;
  bool taken() const { return id_ != 0; }
  void release();

 private:
  long id_ = 0;
};

// The number of slots: QNMX_FIRST_LINE_SLOTS, else a quarter of the
// descriptor limit, at most 1,024; read once. With the links and the
// queued session requests of all peers (runtime/peer_tasks.h,
// netsvc/zuohttp_impl.h) they leave the descriptors that connections are
// refused under (40/64 of the limit) for the agent's own.
int first_line_slots();

// When no task can be had to serve a newcomer from ip (the process ran out
// of threads before the slots ran out): the longest-waiting connection of
// the address that holds most gives way (closed), under the same rule as
// when the slots are all taken, so that its task may serve the newcomer.
// True when one did.
bool first_line_give_way(int ip);
