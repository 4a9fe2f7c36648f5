// The lock service's lock table and the connections it serves once their
// first byte is in, apart from the daemon's sockets and doorman
// (qnmx_lockd.cc), so that the request reader runs on any stream.
//
// What a peer address holds past its first byte is counted in its account
// (zu/peer_account.h), as the doorman counts what it holds before: its
// served connections (kTasks, each a thread), its requests waiting
// (kQueued) and the bytes of the requests it has listed, held or waiting
// (kInput). Each has a total for all addresses together (lockd_totals),
// below what the process can hold; the requests have a share per address
// besides (a quarter of the total). When a total is all taken, the address
// that holds most gives way to a newcomer whose address holds less than its
// share (account_gives_way). A lock is never taken from its holder: for a
// place, the connection of that address idle longest among those that hold
// no lock is ended (what it waited for is given up with it), and when it
// has none, nothing gives way; for requests, its connection holding most of
// them that could give them back does so: one that holds no lock is ended,
// one that holds a lock keeps it and its connection, and only its waiting
// requests are given up, each answered with an error value. Anyone else is
// refused: a connection with the Busy answer, a request with an error
// value.
//
// Locking: table_mu (the lock table, every Conn's requests and counts),
// then served_mu (the served connections), then the ledger's leaf mutex.
// A Conn's wmu and fmu are leaves.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "stream/stream.h"
#include "zu/file.h"

struct LOCKD_OPTIONS {
  bool verbose = false;
  long refuse_left = 0;  // lock requests still to refuse; negative: every one
  int idle_seconds = 600;
  uint64_t line_cap = uint64_t{64} << 10;  // longest line a connection may send
};
extern LOCKD_OPTIONS lockd_options;

// A line on the standard error stream, with -v only.
void lockd_log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Takes m without keeping the collector waiting.
void lock_safely(std::mutex& m);

struct LockRequest;

struct LockConn {
  int id = 0;
  STREAM* st = nullptr;  // referenced by the LockConn: the idle watch closes it too
  STREAM* out = nullptr;  // where its answers go, when not to st (the caller's)
  std::string peer;
  int ip = 0;
  // The agent its locks are held for (the reader's own): "conn N", or
  // "pid N" once the system has shown that process holds the other end;
  // `claimed` is the data number it was worked out for.
  std::string agent;
  long claimed = -1;
  std::mutex wmu;     // one message at a time
  bool dead = false;  // under wmu: nothing more is written
  // Seconds (ZU time) of the last input; the reader's own clock once it runs.
  std::atomic<int64_t> last_input{0};
  std::mutex fmu;        // guards f
  ZU_FILE* f = nullptr;  // the reader while it runs
  // Under table_mu: this connection's holds and waiting requests, how many
  // wait, what they all cost and what its holds cost (nonzero while it
  // holds a lock); `ending` once it gave way: it lists nothing more, and
  // what it waited for is given up at once or as its thread ends.
  std::list<LockRequest*> mine;
  size_t waiting = 0;
  int64_t bytes = 0;
  int64_t held_bytes = 0;
  bool ending = false;
  // It holds a served place in its address's account.
  std::atomic<bool> placed{false};
  ~LockConn();
};
using ConnRef = std::shared_ptr<LockConn>;

// Seconds (ZU time) of conn's last input, its reader's clock included.
int64_t lockd_last_input(LockConn& conn);

// The totals for all addresses together, worked out once from the
// process's limits: served connections (at most half the descriptors, less
// a few the service needs, and what the address space holds of their
// threads' stacks), waiting requests, and bytes of listed requests.
struct LOCKD_TOTALS {
  int64_t conns;
  int64_t waits;
  int64_t bytes;
};
const LOCKD_TOTALS& lockd_totals();

// A served place for conn, whose first byte has come: false when there is
// none (the total is taken and nothing gives way for it: the address that
// would give way has only connections that hold a lock).
bool lockd_take_place(const ConnRef& conn);
// Gives back conn's place (once, however often asked).
void lockd_give_place(const ConnRef& conn);

// Serves conn on the calling thread, which holds its place: answers its
// opening line end, reads and answers its requests until its input ends,
// then gives back everything it held, its place included. Short of memory
// the connection ends, never the service.
void lockd_serve(const ConnRef& conn);

// The two halves of lockd_serve, for a caller that serves connections in
// turn on one thread (the fuzz target of the reader): answers conn's
// opening line end and reads and answers its requests until its input
// ends (false, reading nothing, when the first byte is no line end); then
// gives back what it holds (its place apart) and sends the grants that
// frees.
bool lockd_read_requests(const ConnRef& conn);
void lockd_end(const ConnRef& conn);

// Requests still listed (held or waiting) by every connection.
size_t lockd_listed();
