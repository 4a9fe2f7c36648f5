// The server side's sessions, their queues and the stock of kept-alive
// connections, shared by the files of the ZUoHTTP server.
//
// Ownership of connections: a connection belongs to the request queued on
// it until its reply is written, then it is closed, unless the session is
// kept alive; a kept-alive connection belongs to the stock (STREAM_STOCK)
// from the moment its request body has been read, and only the stock closes
// it. Whoever uses a connection or a pipe outside the ZoH lock that another
// party may close takes a hold on it first.
#pragma once

#include <cstdint>
#include <vector>

#include "base/lock.h"
#include "netsvc/http_header.h"
#include "netsvc/zuohttp.h"
#include "stream/net.h"

// Entry flags.
constexpr int ZOH_E_CLOSING = 0x1;        // set by the session check
constexpr int ZOH_E_STARTING = 0x2;       // not joined to its pipe yet
constexpr int ZOH_E_USED = 0x4;           // a request has been queued
constexpr int ZOH_E_RECV_RUNNING = 0x10;  // a receive task runs
constexpr int ZOH_E_SEND_RUNNING = 0x20;  // a send task runs
constexpr int ZOH_E_OUTPUT = 0x40;        // a flush mark was taken before its request was due
constexpr int ZOH_E_KEEP_ALIVE = 0x1000;
constexpr int ZOH_E_SEND_DONE = 0x40000000;
constexpr int ZOH_E_RECV_DONE = static_cast<int>(0x80000000u);

// At most this many requests wait in one session, and a request is taken
// only while its seq is fewer than kZoHSeqWindow past the one whose body is
// due: a peer's client sends its messages in order, a few ahead at most,
// and a request that waits for ever holds a descriptor.
constexpr int kZoHMaxPending = 16;
constexpr int kZoHSeqWindow = 16;
// A version-1 request body may hold at most this much.
constexpr long long kZoHMaxBody = 64LL << 20;
// What the interpreter's end of a pipe holds unread before the request
// bodies wait.
constexpr size_t kZoHPipeLimit = 1 << 20;
constexpr int kZoHChains = 13;

// One queued request.
struct ZoH_LIST {
  ZoH_LIST* next;
  STREAM* con;        // the connection it arrived on
  ZUoHTTP_HEADER h;   // host order
  HTTP_INFO info;
  uint32_t tim;       // arrival (get_zutime)
  int in_stock;       // its connection went to the stock after the body: not its to close
  // Queued: its connection counts against this address's queued requests
  // (zu/peer_account.h) until the request is freed.
  int queued_ip;
  bool queued;
};

// One session. Every field is guarded by the ZoH lock.
struct ZoH_ENTRY {
  ZoH_ENTRY* next;  // hash chain
  int flags;
  uint32_t cockie[2];
  ZoH_LIST* list;       // pending requests by ascending seq (16-bit serial order)
  int pending;          // their number
  STREAM* pipe;         // this side of the pipe pair, null once closed
  int16_t recv_seq;     // the next request whose body is read
  int16_t send_seq;     // the next request answered
  int ip;               // the peer's address
  int zui_id;           // the accepting interpreter, by iid (it may close first)
  PERMISSION_LIST* pl;  // its entry that admitted the peer
  uint32_t last_polling;  // the last request received (or the creation)
  STREAM* recv_target;    // the connection whose body is being read
  bool counted;           // it counts against its address's sessions
};

// A kept-alive connection waiting for its next request.
struct STREAM_STOCK {
  STREAM_STOCK* next;
  ACCESS_KEY key;
  int zui_id;  // the accepting interpreter, by iid
  PERMISSION_LIST* pl;
  int64_t since_ms;  // when it was put in the stock (stock_clock_ms)
  int ready;       // its next request has begun to arrive
};

extern SEM zoh_lock;
extern ZoH_ENTRY* ZoH_hash[kZoHChains];

// The settings in force (ZOH_TIMES).
ZOH_TIMES zoh_times();

// What peers may hold, from the environment (read once): sessions of one
// peer address (QNMX_ZOH_PEER_SESSIONS, 64) and of all peers
// (QNMX_ZOH_SESSIONS, 1024); seconds a session that has never carried a
// request lives idle (QNMX_ZOH_UNUSED_IDLE, 30; never longer than the idle
// time of sessions in use).
struct ZOH_LIMITS {
  int peer_sessions;
  int sessions;
  int unused_idle;
};
ZOH_LIMITS zoh_limits();
// A positive count from the environment variable `name`, else `fallback`.
int zoh_env_count(const char* name, int fallback);

// 16-bit serial order of sequence numbers: a before b.
inline bool zoh_seq_before(int16_t a, int16_t b) {
  return static_cast<int16_t>(static_cast<uint16_t>(a) - static_cast<uint16_t>(b)) < 0;
}

// Whether a session quiet since `since` has been idle for `idle` seconds
// by `now`. Times are whole seconds and `since` may have been taken late in
// its second, so one more must have begun: a session that sends a little
// more often than its idle time is never ended in between.
inline bool zoh_idle_over(uint32_t now, uint32_t since, uint32_t idle) { return now - since > idle; }

// Writes a reply: the lines of output_server_header (Content-Length
// 12 + payload, Connection keep-alive when `keep`) and the header of
// type/seq/cookie; the payload is the caller's to write after it. Flushes
// when there is none; a payload < 0 streams (no Content-Length, flushed).
// 0 or -1.
int zoh_reply(STREAM* con, uint8_t type, int16_t seq, const uint32_t cockie[2], int payload, bool keep);

// Ends a connection at once, both ways, for its owner to close: a blocked
// reader or writer is woken and the peer sees the end.
void zoh_cut_connection(STREAM* s);

// ---- sessions (zuohttp_session.cc)
// A new session for the peer at ip, in the table with its cookie drawn
// into `cockie`, its tasks not started yet; null when there is no room for
// it (_zoh_room_for).
ZoH_ENTRY* zoh_new_entry(uint32_t cockie[2], int ip, ZU_INTERPRETER* zui, PERMISSION_LIST* pl, bool keep);
// Joins a new session to its end of the pipe pair: 0, or -1 when pipe is
// null (the session is then closed). Its tasks start as its requests come.
int zoh_start_entry(ZoH_ENTRY* e, STREAM* pipe);
// The session with this cookie, or null (lock held).
ZoH_ENTRY* _zoh_search(const uint32_t cockie[2]);
// Starts the tasks the session has work for that do not run: the receive
// task for a request whose body is due, the send task for a request to
// answer or for the session's end. Without a thread, the session check
// tries again (lock held).
void _zoh_start_due(ZoH_ENTRY* e);
// Queues a request; -1 for a seq already queued, before the next one due
// (read already) or too far past it, -2 for a full queue or an address
// that holds its share of queued requests (zoh_queued_share) (lock held).
// The receive task is started when it does not run. When all peers hold
// what they may queue (zoh_queued_all), the address holding most gives way
// to one below its share: its request furthest ahead is taken out and
// pushed on *gave_way, for the caller to refuse once the lock is released.
int _insert_list(ZoH_ENTRY* e, ZoH_LIST* item, ZoH_LIST** gave_way);
// What one address may have queued in all its sessions: a share of the
// connections the process lets wait (runtime/first_line.h), each holding a
// descriptor; and what all addresses may, half of those connections.
int zoh_queued_share();
int zoh_queued_all();
// Frees a request; its connection is closed unless `keep_con` (or it is
// the stock's).
void zoh_free_request(ZoH_LIST* item, bool keep_con);
// Lets go of a request's connection after its last reply: closed when the
// request owns it, else shut down for its owner, the stock, to close.
void zoh_end_connection(ZoH_LIST* item);
// Marks a session closing, wakes a reader of its body and starts a task to
// end it when none runs; its pipe is handed to the caller to close once the
// lock is released (lock held).
STREAM* _zoh_close_entry(ZoH_ENTRY* e);
// Takes off the head request when it is the one due, its body has been
// read and it has waited `delay` seconds without output (a close is never
// taken): 1 with it in *taken (the caller answers it empty with
// zoh_empty_reply once the lock is released), else 0 (lock held).
int _empty_reply(ZoH_ENTRY* e, uint32_t now, uint32_t delay, ZoH_LIST** taken);
void zoh_empty_reply(ZoH_LIST* item, const uint32_t cockie[2], bool keep);
// New cookie words, never zero, not in use by another session (lock held).
void _new_cockie(uint32_t cockie[2]);

// ---- the stock (zuohttp_stock.cc)
// Puts a kept-alive connection into the stock (insert_ss takes the ZoH
// lock, _insert_ss expects it held).
void insert_ss(STREAM* s, int ip, int zui_id, PERMISSION_LIST* pl);
void _insert_ss(STREAM* s, int ip, int zui_id, PERMISSION_LIST* pl);
// Starts the stock's poll task and its first reader task.
void zoh_start_stock();
// Drops connections that are no longer open (lock held).
void sslist_scan();

// ---- version-2 sessions (zuohttp_v2_server.cc)
struct ZoH_ENTRY_V2;
// A GET of /cgi-bin/download.cgi on key->s: a new session whose reply
// streams the interpreter's output. 1 with *new_st the interpreter's end
// of its pipe pair; 0 when the connection was answered (Busy, past the
// bounds on sessions); -1 when it failed (the connection is closed).
int new_accept_2(STREAM** new_st, ACCESS_KEY* key);
// A type-7 request: its body becomes the session's upload. 0, or -1 when
// refused (an unknown or closed session, an upload already running, no
// Content-Length of 12 or more); the request is freed either way.
int new_upload_session(ZoH_LIST* request);
// The version-2 session with this cookie, or null (lock held).
ZoH_ENTRY_V2* _zoh_v2_search(const uint32_t cockie[2]);

// A session not ending, as the bounds on sessions see it.
struct ZOH_HELD {
  int ip;
  bool idle;        // nothing queued, nothing being read
  bool used;        // it has carried a request, or an upload
  uint32_t since;   // its last request, or upload byte (get_zutime)
  ZoH_ENTRY* v1;    // the session: one of the two
  ZoH_ENTRY_V2* v2;
};
// Whether a newcomer from ip may have a session (lock held): yes while its
// address and all peers hold fewer than their bounds; when only the bound
// of all is reached, yes if an idle session of the address that holds most
// (more than the newcomer's) gives way: one never used first, then the one
// idle longest. The streams of
// that session go into conns and pipes, for zoh_v2_close_streams once the
// lock is released.
bool _zoh_room_for(int ip, std::vector<STREAM*>* conns, std::vector<STREAM*>* pipes);
// A new session counts against its address's sessions (zu/peer_account.h)
// until it starts to end or is freed: *counted says whether it still does
// (lock held for the count; the uncount takes no lock).
void _zoh_count_session(int ip, bool* counted);
void zoh_uncount_session(int ip, bool* counted);
// Adds the version-2 sessions not ending to held (lock held).
void _zoh_v2_held(uint32_t now, std::vector<ZOH_HELD>* held);
// Ends a version-2 session: its streams go into conns and pipes (lock held).
void _zoh_v2_end(ZoH_ENTRY_V2* e, std::vector<STREAM*>* conns, std::vector<STREAM*>* pipes);
// The session check of version-2 sessions: the number of them. The streams
// of those that end are taken out (connections into conns, pipes into
// pipes) for zoh_v2_close_streams to close once the lock is released: all
// of them with `all`, else those whose download connection the client has
// closed or that failed, and those without an upload running for
// unused_idle seconds (lock held).
int _zoh_v2_check(uint32_t now, uint32_t unused_idle, bool all, std::vector<STREAM*>* conns,
                  std::vector<STREAM*>* pipes);
void zoh_v2_close_streams(const std::vector<STREAM*>& conns, const std::vector<STREAM*>& pipes);
