// The memory that peers can make the agent hold through its links, under
// one budget for the whole process. Each link (a relay-mode interpreter) has
// a meter charged with three shares: what its reader holds for the form it
// is reading, the forms queued for its relay, and the reply its relay is
// writing.
//
// Input that peers send outside the links (the HTTP agent's request
// bodies) is charged to the same total as its bytes arrive, without a
// meter, and counted by the peer's address as well.
//
// What stays true:
// - The process total is the sum of every meter's shares and of the input
//   charged outside the links. Shares let go still count, as garbage, until
//   a collection has freed them.
// - Past the budget, a link's reader waits before it takes more bytes,
//   except the one link holding the most unfinished input: it reads on, so
//   that its form can be finished and handed on (links midway through large
//   forms would otherwise wait for each other for ever). The total passes
//   the budget by at most what that one link adds, and it can add no more
//   than a quarter of the budget (next rule).
// - A link that alone holds more than a quarter of the budget is ended with
//   an error: its input ends with one, or its reply is replaced by one.
// - One peer address holds at most a quarter of the budget with input
//   charged outside the links, however many connections it opens: what it
//   holds is counted in its account (zu/peer_account.h).
// - A relay waits before it evaluates another form while the replies being
//   written and the evaluations in progress, over every link, exceed the
//   budget. An evaluation counts what it has allocated since the last
//   collection (one that makes garbage over a long time does not hold the
//   others back) and, for its first half second, at least a sixteenth of
//   the budget (what it will allocate shows only once it has, and a burst
//   of requests would otherwise all be let in on the same room).
// - Every share let go is reported to the collector (gc_note_released),
//   which collects once enough has been let go and then hands freed memory
//   back to the system; when a burst is over, a collection is asked for.
//
// - The evaluations of a peer's link count against the link's share of the
//   collected heap (zu/gc.h): what they hold at once may not pass a quarter
//   of the heap budget, past which their allocations are refused.
//
// The budget is 256 MiB unless the environment variable QNMX_LINK_BUDGET_MIB
// sets another; QNMX_GC_TRIM_MIB sets the collector's trim threshold (64).
//
// Locking: one leaf mutex guards the registry of meters and every sum; no
// one holding it takes another lock or waits for the collector, and waits
// release the memory lock first.
#pragma once

#include <atomic>
#include <cstdint>

#include "zu/file.h"
#include "zu/gc.h"
#include "zu/value.h"

struct LINK_METER;


// Reads the environment (once; init_interpreter calls it).
void init_link_budget();
int64_t link_budget_bytes();

// A registered meter with nothing charged, and its end (whatever it still
// holds is let go).
LINK_METER* new_link_meter();
void free_link_meter(LINK_METER* m);

// ---- the reader (front thread)
// Starts the first form of the reading thread's input.
void link_input_begin(LINK_METER* m);
// The admit hook's work: recharges the form being read and waits while the
// process is past the budget (unless this link holds the most unfinished
// input, or its stream has closed). -1 when the link alone holds more than
// a quarter of the budget.
int link_admit_input(LINK_METER* m, ZU_FILE* f);
// A top-level form has been read: the reading share falls back to the
// reader's buffer, the form's charge (an estimate of the memory the form
// holds) is returned, for link_queue or link_release, and the rest of what
// reading it cost is let go. The next form starts here.
int64_t link_form_read(LINK_METER* m, ZU_FILE* f, ZU_SEXP* form);
// The input has ended: the reading share is let go.
void link_input_end(LINK_METER* m);

// ---- the relay queue and the replies
// Adds a form's charge to the queue share as the form is queued; takes it
// off and lets it go when the relay takes the form (or the queue is freed).
void link_queue(LINK_METER* m, int64_t charge);
void link_unqueue(LINK_METER* m, int64_t charge);
// Lets go of the charge of a form that was never queued (a control form,
// an error, a form the closed queue refused).
void link_release(LINK_METER* m, int64_t charge);
// What link_eval_begin replaced on the calling thread, for link_eval_end.
struct LINK_EVAL_SAVE {
  std::atomic<int64_t>* meter;
  GC_SHARE* share;  // with `shared`: the share attached before
  bool shared;
  uint64_t refusals;  // gc_thread_refusals() at the start
};
// Before m's relay evaluates a form: with `wait`, waits while the replies
// being written and the evaluations in progress (what each allocated since
// the last collection) exceed the budget. Then counts what the calling
// thread allocates as m's evaluation in progress, and with for_peer in m's
// heap share (*before: what link_eval_end restores), and answers true;
// false, with nothing begun, when gone(arg) said meanwhile that the link is
// ending. The memory lock is held. An evaluation whose memory was refused
// asks for a collection as it ends: what it made is garbage from then on.
bool link_eval_begin(LINK_METER* m, bool wait, bool for_peer, bool (*gone)(void* arg), void* arg,
                     LINK_EVAL_SAVE* before);
void link_eval_end(LINK_METER* m, const LINK_EVAL_SAVE& before);
// Charges the reply value (an estimate of the memory it holds) to the link:
// *charge is what link_reply_end gives back. False, with nothing charged,
// when the link would then hold more than a quarter of the budget.
bool link_reply_begin(LINK_METER* m, ZU_SEXP* value, int64_t* charge);
void link_reply_end(LINK_METER* m, int64_t charge);

// ---- input outside the links (request bodies of the HTTP agent)
// Charges bytes that the peer at address `peer` (s_get_socketip) has sent:
// true once charged. The room must be free of live charges: when the
// charges of other requests and links leave too little, or the peer's own
// would pass a quarter of the budget, false at once, with nothing charged.
// When only garbage of input let go stands in the way, a collection is
// asked for and waited for. Such charges belong to no link: past the
// budget, the link holding the most unfinished input still reads on.
bool link_budget_charge(int64_t bytes, int peer);
// Lets go of bytes that link_budget_charge charged for peer.
void link_budget_release(int64_t bytes, int peer);
