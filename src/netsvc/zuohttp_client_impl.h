// Pieces shared by the ZUoHTTP clients: the ZUoHTTP lock, reading a reply
// (its HTTP header, the 12-byte header, the payload), the reply guard and
// the traces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/lock.h"
#include "netsvc/http_header.h"
#include "netsvc/zuohttp.h"
#include "netsvc/zuohttp_client.h"
#include "stream/sbuf.h"
#include "stream/stream.h"

// Guards every client info (both versions) and the version cache.
extern SEM zuohttp_lock;

// A reply payload (and a chunked body) may hold at most this much.
constexpr long long kZoHMaxReply = 256LL << 20;

// One reply as read so far.
struct ZOH_REPLY {
  HTTP_INFO info;     // the HTTP header (its texts already freed)
  ZUoHTTP_HEADER h;   // host order
  bool chunked;       // the body comes through the chunked reader (registered on the connection)
  bool keep;          // the connection stays open after the reply
};

// Results of zoh_read_reply_head.
constexpr int ZOH_R_HTTP = -1;    // no HTTP header (the peer left, or the guard fired)
constexpr int ZOH_R_STATUS = -2;  // a status other than 200
constexpr int ZOH_R_SHORT = -3;   // no 12-byte header (or a Content-Length below 12)
constexpr int ZOH_R_SUM = -4;     // a header whose bytes do not sum to 0

// Reads a reply's HTTP header (under the reply guard when `guarded`) and its
// 12-byte header. 0, or a ZOH_R_* result (the chunked reader is then ended).
int zoh_read_reply_head(STREAM* con, ZOH_REPLY* r, bool guarded);
// Appends the payload that follows the 12-byte header to buf (its lock
// taken per piece): Content-Length - 12 bytes, else the rest of a chunked
// body, else everything up to the end of the connection (which is then not
// kept). Ends the chunked reader. The bytes appended, -1 when the
// connection failed or ended early (errno kept), -2 past kZoHMaxReply.
long long zoh_read_reply_payload(STREAM* con, ZOH_REPLY* r, STREAM_BUF* buf, SEM lock);
// Ends the chunked reader of a reply whose payload is not read.
void zoh_reply_done(STREAM* con, ZOH_REPLY* r);

// Exactly n bytes through the chunked reader (plain reads on a stream not
// registered with it): 0, or -1.
int zoh_read_exact(STREAM* con, void* data, int n);
// Writes the wire form of a header (host order in h) and flushes when
// `flush`. 0 or -1.
int zoh_write_header(STREAM* con, uint8_t type, int16_t seq, const uint32_t cockie[2], bool flush);
// The request lines of a version-2 upload (length: its Content-Length) or,
// with length < 0, of the download.
int zoh_output_v2_request(STREAM* con, const char* server, int port, int length);

// A connection through the installed connector (new_connection by
// default), to host or ip.
STREAM* zoh_connect(int* cerr, const char* host, int ip, int port);
// Closes a connection through the close task: a reader still in it sees
// the end at once and the caller never waits.
void s_safe_close(STREAM* s);
// Ends a connection's reading side only: a reader blocked in it sees the
// end, writes go on (a stream with no descriptor is left as it is).
void zoh_cut_reading(STREAM* s);

// A host as the request lines name it: its name, else its address dotted.
std::string zoh_host_text(const char* host, int ip);
// Hands out up to len bytes of a client stream's read window.
int zoh_take_window(S_HEADER* h, void* data, int len);

// Counts client infos alive (made, not yet freed).
void zoh_client_made();
void zoh_client_freed();
