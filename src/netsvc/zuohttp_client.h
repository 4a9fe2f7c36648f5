// ZUoHTTP clients: an outgoing interpreter link carried over HTTP, directly
// or through an HTTP proxy.
//
// zoh_connect_ZUoHTTP_2 is the one opener (the runtime reaches it as
// s_connect_ZUoHTTP_2 through its table of network operations). Before the
// first session with a server it probes the server's version and remembers
// it (the version cache, ZUoHTTP_SERVER_INFO); a version-2 server gets a
// version-2 stream (one long download GET that streams what the remote
// interpreter writes, and successive long upload POSTs that stream what the
// local side writes), a version-1 server the version-1 stream of
// s_connect_ZUoHTTP (one POST per flush, a poll task fetching what the
// remote side writes on its own).
//
// Both streams are stream back-ends of type 'x' that an interpreter uses
// like a socket. Each has one task that owns the stream's connections and
// its info record: it closes the connections and frees the record once the
// stream has been closed. Closing a stream only asks the task to end (the
// stream layer's close runs under its own lock, where no other stream may
// be used). The ZUoHTTP lock guards every client info and the version
// cache; nothing reads, writes or waits on a stream under it.
//
// Error numbers handed back in *cerr are the system's: ECONNREFUSED when the
// server answered wrongly, ETIMEDOUT when no reply header could be read (the
// runtime's host blacklist counts these), or what new_connection set.
#pragma once

#include <cstdint>

struct STREAM;

// Request flags of the version-1 connect.
constexpr int ZOH_F_SERVER_CLOSED = 0x1;   // the server ended the session (a type-3 reply)
constexpr int ZOH_F_ERROR = 0x2;
constexpr int ZOH_F_PROXY = 0x10;          // through an HTTP proxy
constexpr int ZOH_F_KEEP_ALIVE = 0x20;     // keep one connection for every message
constexpr int ZOH_F_CHUNKED = 0x40;        // a reply came chunked
constexpr int ZOH_F_FLUSHING = 0x100;      // a message is being sent
constexpr int ZOH_F_CLOSE = 0x10000;       // the stream has been closed
constexpr int ZOH_F_TASK_DONE = 0x20000;

// A version-2 stream to target_server (or target_ip when no name is given)
// on target_port, through the HTTP proxy proxy_server:proxy_port (or
// proxy_ip) when one is given, else directly; a version-1 stream for a
// server that speaks only version 1. flags passes to the version-1 connect
// (ZOH_F_KEEP_ALIVE asks for keep-alive). Null with *cerr on failure.
STREAM* zoh_connect_ZUoHTTP_2(int* cerr, const char* target_server, int target_ip, int target_port,
                            const char* proxy_server, int proxy_ip, int proxy_port, int flags);
// The version-1 stream, with the same arguments.
STREAM* s_connect_ZUoHTTP(int* cerr, const char* target_server, int target_ip, int target_port,
                          const char* proxy_server, int proxy_ip, int proxy_port, int flags);
// A TCP connection to the proxy when a proxy name or address is given, else
// to the server.
STREAM* proxy_new_connection(int* cerr, const char* server, int ip, int port, const char* proxy_server,
                             int proxy_ip, int proxy_port);

// The request lines of one version-1 message with a body of `length`
// payload bytes: the absolute target (numbered "zusv%i.cgi" through a proxy,
// so that no proxy answers from its cache), the keep-alive line, the fixed
// lines, Host and Content-Length. 0 or -1.
int output_client_header(STREAM* con, int flags, const char* server, int port, int length);

// Creates the ZUoHTTP lock and registers the version-1 stream table; run by
// the stream layer's start-up (installed by init_zuohttp_ops).
void init_ZUoHTTP_stream();

// ---- the version cache
struct ZUoHTTP_SERVER_INFO {
  ZUoHTTP_SERVER_INFO* next;
  char* server;  // owned, or null
  int ip;
  int port;
  int version;  // 0 a probe is running, 1 or 2, -1 the last probe failed
};
// The server's record, found by name and port (by address and port without
// a name, or when the name finds none); made with version 0 when missing.
// Waits while another caller's probe runs; a record whose last probe failed
// is set to 0 again, for this caller to probe.
ZUoHTTP_SERVER_INFO* begin_ZUoHTTP_server_info(const char* server, int ip, int port);
// Stores a probe's outcome and wakes the callers waiting for it.
void end_ZUoHTTP_server_info(ZUoHTTP_SERVER_INFO* si, int version);

// ---- settings and hooks, for tests
// Seconds a client waits for a reply's header (QNMX_ZOH_REPLY_GUARD, 30).
int zoh_reply_guard();
// While it lives, cuts con both ways once `seconds` have passed (none when
// 0): a reader blocked in it sees the end, and the owner closes it. Holds
// a reference on con while armed.
class ZohReplyGuard {
 public:
  ZohReplyGuard(STREAM* con, int seconds);
  ~ZohReplyGuard();
  ZohReplyGuard(const ZohReplyGuard&) = delete;
  ZohReplyGuard& operator=(const ZohReplyGuard&) = delete;

 private:
  STREAM* con_;  // null when unarmed
};
// Bytes announced for one version-2 upload body (QNMX_ZOH_UPLOAD_BODY,
// 100000000).
int zoh_upload_body();
// Replaces the way connections are made (null restores new_connection).
using ZOH_CONNECTOR = STREAM* (*)(int* cerr, const char* host, int ip, int port);
void zoh_set_connector(ZOH_CONNECTOR f);
// Client streams whose task has not freed them yet.
int zoh_client_streams();
// Forgets every server's version.
void zoh_forget_versions();
