// ZUoHTTP: the text stream of an interpreter link carried inside HTTP/1.0
// exchanges, so that it passes HTTP proxies. Every message is one request
// and one reply whose body begins with a 12-byte header (ZUoHTTP_HEADER)
// followed by the payload.
//
// The server side (zuohttp_*.cc) reads each HTTP request that the accept
// thread of an accepting interpreter hands over, keeps a session per cookie
// joined to a connected interpreter through a pipe pair, answers requests in
// sequence order and keeps kept-alive connections for their next request.
// Its one lock, the ZoH lock, guards the session table, every session's
// queue, flags and counters, the stock of kept connections and the stock
// tasks' counters; nothing reads, writes or waits on a stream under it.
#pragma once

#include <cstdint>

class FirstLineSlot;
struct HTTP_INFO;
struct PERMISSION_LIST;
struct STREAM;
struct ZU_INTERPRETER;

// ---- the 12-byte header; big-endian on the wire
struct ZUoHTTP_HEADER {
  uint8_t type;
  uint8_t sum;  // makes the 12 bytes sum to 0 modulo 256
  int16_t seq;  // the message's sequence number in its session
  uint32_t cockie[2];
};
static_assert(sizeof(ZUoHTTP_HEADER) == 12, "the header is 12 bytes on the wire");
constexpr int kZoHHeaderSize = 12;

// Message types.
constexpr uint8_t ZOH_OPEN = 1;
constexpr uint8_t ZOH_DATA = 2;
constexpr uint8_t ZOH_CLOSE = 3;
constexpr uint8_t ZOH_REFUSED = 4;
constexpr uint8_t ZOH_OPEN_KEEP = 5;
constexpr uint8_t ZOH_VERSION = 6;
constexpr uint8_t ZOH_UPLOAD = 7;
constexpr uint8_t ZOH_DOWNLOAD = 8;

// What the sum byte must be for the header's bytes (in their current
// order) to sum to 0 modulo 256, counting the sum byte as it is now.
uint8_t ZoH_checksum(const ZUoHTTP_HEADER* h);
// Swaps seq and the cookie words between host and wire order.
void change_endian_ZUoHTTP_HEADER(ZUoHTTP_HEADER* h);
// The wire bytes of a header given in host order, with its sum.
void zoh_header_to_wire(const ZUoHTTP_HEADER* h, unsigned char out[kZoHHeaderSize]);
// A received header in host order: 0, or -1 when its sum is wrong (the
// fields are still filled).
int zoh_header_from_wire(const unsigned char in[kZoHHeaderSize], ZUoHTTP_HEADER* h);

// ---- the server side
// Writes the reply lines of a message: status 200, the fixed Date and
// Server lines, Connection by info's keep-alive flag, the content type and
// Content-Length when info's is not negative.
int output_server_header(STREAM* s, const HTTP_INFO* info);
// The action of every one-shot guard on a connection: wakes whoever blocks
// in a read on it (the reading side is shut down; replies can still be
// written, and its owner closes it).
void timeout_stream(void* s);
// Serves one HTTP request on con for the accepting interpreter `zui`,
// admitted by its entry `pl`. 1: a session was opened and *new_st is the
// interpreter's end of its pipe pair (the caller starts a connected
// interpreter on it, with the session's tasks); kAcceptHeldLink
// (runtime/net_ops.h): the same for a version-2 session, which holds a
// line link's place as well; 0: the connection was taken over (queued,
// answered or kept); -1: it failed and the connection has been closed. `waiting` is
// the connection's slot among those waiting for their first line (or
// null), let go once the request's header is in; the header is read under the header
// guard and the idle time of a first line.
int zoh_new_accept(STREAM** new_st, STREAM* con, ZU_INTERPRETER* zui, PERMISSION_LIST* pl, FirstLineSlot* waiting);
// Starts the server side: the ZoH lock, the empty-reply task, the stock's
// poll task and its first reader task. Once; later calls do nothing.
void zoh_init_server();
// Installs the HTTP services into the runtime's table of network operations
// and the chunked reader into the stream layer. Before init_zu.
void init_zuohttp_ops();

// ---- settings, for tests (seconds; 0 keeps the current value)
struct ZOH_TIMES {
  int header_guard;    // reading a request header: first_line_total() (30)
  int body_guard;      // reading a request body: 6000
  int session_idle;    // a session without requests is closed after: 600
  int empty_reply;     // a read request with no output is answered empty after: 2
  int poll_interval;   // fixed interval of the session check (default: from the descriptors in use)
  int stock_idle;      // a kept connection with nothing to read is closed after: 120
};
void zoh_set_times(const ZOH_TIMES* t);
// Runs the empty replies and the session check at once, closing every
// session with `all`: the number of sessions found (those being closed
// included).
int zoh_check_sessions(bool all);
