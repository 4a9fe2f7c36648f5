// The opener of ZUoHTTP client streams with its version cache, and the
// version-2 client stream.
//
// A version-2 stream keeps one download connection, a GET whose reply body
// is everything the remote interpreter writes, and an upload task that
// keeps one upload POST going at a time: what the local side writes streams
// straight into its body; while no upload streams (before the first one
// and between two), writes wait in upload_buf and open the next body.
// Only the task closes connections and frees the info, once the stream has
// been closed; a failure elsewhere cuts the connections and marks the
// session ended.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/alloc.h"
#include "base/task.h"
#include "netsvc/http_chunk.h"
#include "netsvc/trace_impl.h"
#include "netsvc/zuohttp_client_impl.h"
#include "stream/stream.h"

namespace {

constexpr int kPiece = 1000;  // buffered bytes are moved in pieces of at most this
constexpr int kReadWindow = 64 * 1024;

// Info flags.
constexpr int V2_BUFFERED = 1;  // writes go to upload_buf: no upload streams
constexpr int V2_ENDED = 2;     // the session has ended
constexpr int V2_CLOSED = 4;    // the stream has been closed

// Guarded by zuohttp_lock, except the fields set before the stream is
// registered and never changed (target_*, proxy_*, cockie, chunked).
struct S_ZUoHTTP_INFO_2 {
  int flags;
  char* proxy_server;  // the HTTP proxy, or null
  int proxy_ip;        // the address connected to (the proxy, else the target)
  int proxy_port;      // the port connected to
  char* target_server;  // the name (or dotted address) in the request lines
  int target_ip;
  int target_port;
  uint32_t cockie[2];
  int remain_size;  // bytes still to go into the current upload body
  STREAM* upload_st;
  STREAM* download_st;
  STREAM_BUF upload_buf;
  bool chunked;  // the download body comes through the chunked reader
};

struct S_ZUoHTTP_2 : STREAM {
  S_ZUoHTTP_INFO_2* info = nullptr;  // null once closed
  SECRET_MASK out_mask{};  // the traces of writes (writer side)
  SECRET_MASK in_mask{};   // and of reads (reader side)
  unsigned char window[kReadWindow];
};

S_ZUoHTTP_2* rec2(STREAM* s) { return static_cast<S_ZUoHTTP_2*>(s); }

// The bytes written or read, under QNMX_TRACE only, passwd= values masked.
void test_print(const char* label, SECRET_MASK* mask, const void* data, int len) {
  if (!net_trace_on() || len <= 0) return;
  std::string dump = net_masked_dump(mask, static_cast<const unsigned char*>(data), static_cast<size_t>(len));
  ss_printf("%s >> %s\n\n", label, dump.c_str());
}

// Cuts both connections, for the task to close (lock held).
void _end_session(S_ZUoHTTP_INFO_2* info) {
  assert_lock_held(zuohttp_lock);
  info->flags = (info->flags | V2_ENDED) & ~V2_BUFFERED;
  for (STREAM* s : {info->upload_st, info->download_st}) {
    int fd = s ? s_get_fd(s) : -1;
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
  }
  wakeup_task(info);
}

void end_session(S_ZUoHTTP_INFO_2* info) {
  lock_task(zuohttp_lock);
  _end_session(info);
  unlock_task(zuohttp_lock, "ZUoHTTP 2");
}

// ---- the upload task

// Opens one upload and moves what waits in upload_buf into it. The
// connection (held twice: its opener's and the task's), or null.
STREAM* begin_upload(S_ZUoHTTP_INFO_2* info) {
  int cerr = 0;
  STREAM* con = zoh_connect(&cerr, nullptr, info->proxy_ip, info->proxy_port);
  if (!con) return nullptr;
  s_hold(con);
  int body = zoh_upload_body();
  bool ok = zoh_output_v2_request(con, info->target_server, info->target_port, body + kZoHHeaderSize) == 0 &&
            zoh_write_header(con, ZOH_UPLOAD, 0, info->cockie, false) == 0;
  unsigned char piece[kPiece];
  lock_task(zuohttp_lock);
  info->upload_st = con;
  info->remain_size = body;
  // A close from here on cuts this upload; one before it is seen here.
  ok = ok && !(info->flags & V2_CLOSED);
  while (ok && info->upload_buf.size > 0 && info->remain_size > 0 && !(info->flags & V2_ENDED)) {
    int n = static_cast<int>(copy_out_sbuf(&info->upload_buf, piece, std::min(kPiece, info->remain_size), nullptr));
    info->remain_size -= n;
    unlock_task(zuohttp_lock, "ZUoHTTP_task_2");
    ok = s_write(con, piece, n) == n;
    lock_task(zuohttp_lock);
  }
  if (ok && !(info->flags & V2_ENDED)) info->flags &= ~V2_BUFFERED;
  unlock_task(zuohttp_lock, "ZUoHTTP_task_2");
  if (ok && s_flush(con) == 0) return con;
  lock_task(zuohttp_lock);
  info->upload_st = nullptr;
  unlock_task(zuohttp_lock, "ZUoHTTP_task_2");
  d_s_close(con);
  s_drop(con);
  return nullptr;
}

// Ends one upload: the server answers once it has read the whole body.
bool end_upload(S_ZUoHTTP_INFO_2* info, STREAM* con) {
  ZOH_REPLY r;
  bool ok = zoh_read_reply_head(con, &r, false) == 0 && r.h.type == ZOH_UPLOAD;
  zoh_reply_done(con, &r);
  lock_task(zuohttp_lock);
  info->upload_st = nullptr;
  if (!(info->flags & V2_ENDED)) info->flags |= V2_BUFFERED;
  unlock_task(zuohttp_lock, "ZUoHTTP_task_2");
  d_s_close(con);  // writes what a writer left behind first
  s_drop(con);
  return ok;
}

void free_info_2(S_ZUoHTTP_INFO_2* info) {
  if (STREAM* s = info->download_st) {
    if (info->chunked) chunk_read_end(s);
    d_s_close(s);
  }
  free_sbuf(&info->upload_buf, nullptr);
  d_f_ree(info->proxy_server);
  d_f_ree(info->target_server);
  d_f_ree(info);
  zoh_client_freed();
}

void ZUoHTTP_task_2(TKEY key) {
  auto* info = static_cast<S_ZUoHTTP_INFO_2*>(key);
  for (;;) {
    lock_task(zuohttp_lock);
    bool over = info->flags & (V2_ENDED | V2_CLOSED);
    unlock_task(zuohttp_lock, "ZUoHTTP_task_2");
    if (over) break;
    STREAM* con = begin_upload(info);
    if (!con || !end_upload(info, con)) break;
  }
  lock_task(zuohttp_lock);
  _end_session(info);
  while (!(info->flags & V2_CLOSED)) {
    sleep_task(info, zuohttp_lock);
    lock_task(zuohttp_lock);
  }
  unlock_task(zuohttp_lock, "ZUoHTTP_task_2");
  free_info_2(info);
}

// ---- stream operations

int s_write_ZUoHTTP_2(STREAM* s, const void* data, int len) {
  S_ZUoHTTP_2* x = rec2(s);
  S_ZUoHTTP_INFO_2* info = x->info;
  if (!info) return -1;
  auto* p = static_cast<const unsigned char*>(data);
  lock_task(zuohttp_lock);
  if (info->flags & V2_ENDED) {
    unlock_task(zuohttp_lock, "s_write_ZUoHTTP_2");
    return -1;
  }
  // Within the stream layer's close no other stream may be used.
  if ((info->flags & V2_BUFFERED) || s->h.state.load() != S_STATE_LIVE) {
    copy_in_sbuf(&info->upload_buf, p, static_cast<size_t>(len), nullptr);
    unlock_task(zuohttp_lock, "s_write_ZUoHTTP_2");
    test_print(">1>", &x->out_mask, p, len);
    return len;
  }
  STREAM* st = info->upload_st;
  int n = std::min(info->remain_size, len);
  info->remain_size -= n;
  bool full = n > 0 && info->remain_size == 0;
  // What does not fit waits for the next body, queued now: that body may
  // begin (and take the queue) as soon as this one is full.
  if (n < len) copy_in_sbuf(&info->upload_buf, p + n, static_cast<size_t>(len - n), nullptr);
  s_hold(st);
  unlock_task(zuohttp_lock, "s_write_ZUoHTTP_2");
  int w = n > 0 ? s_write(st, p, n) : 0;
  // The last bytes of a body go out at once: the server answers when it
  // has them all, and the next body begins.
  if (w == n && full) w = s_flush(st) == 0 ? n : -1;
  s_drop(st);
  if (w != n) {
    end_session(info);
    return -1;
  }
  test_print(">2>", &x->out_mask, p, n);
  test_print(">1>", &x->out_mask, p + n, len - n);
  return len;
}

int s_read_ZUoHTTP_2(STREAM* s, void* data, int len) {
  S_ZUoHTTP_2* x = rec2(s);
  S_HEADER& h = x->h;
  if (h.rwin >= h.rwin_end) {
    S_ZUoHTTP_INFO_2* info = x->info;
    if (!info) return -1;
    lock_task(zuohttp_lock);
    STREAM* st = info->flags & V2_ENDED ? nullptr : info->download_st;
    s_hold(st);
    unlock_task(zuohttp_lock, "s_read_ZUoHTTP_2");
    if (!st) return -1;
    int r = s_chunk_read(st, x->window, sizeof x->window);
    s_drop(st);
    if (r < 0) end_session(info);
    if (r <= 0) return r;
    test_print("<<", &x->in_mask, x->window, r);
    h.rwin = x->window;
    h.rwin_end = x->window + r;
  }
  return zoh_take_window(&h, data, len);
}

// Pushes what the writers left in the upload connection's buffer; bytes
// waiting for the next upload go with it.
int s_flush_ZUoHTTP_2(STREAM* s) {
  S_ZUoHTTP_INFO_2* info = rec2(s)->info;
  if (!info || s->h.state.load() != S_STATE_LIVE) return 0;
  lock_task(zuohttp_lock);
  STREAM* st = info->flags & V2_BUFFERED ? nullptr : info->upload_st;
  bool ended = info->flags & V2_ENDED;
  s_hold(st);
  unlock_task(zuohttp_lock, "s_flush_ZUoHTTP_2");
  int r = ended ? -1 : st ? s_flush(st) : 0;
  if (r < 0 && !ended) {
    // An upload that was full has been answered and closed meanwhile: its
    // bytes went out. (The record is still held: its address names it.)
    lock_task(zuohttp_lock);
    if (info->upload_st == st) _end_session(info);
    else r = 0;
    unlock_task(zuohttp_lock, "s_flush_ZUoHTTP_2");
  }
  s_drop(st);
  return r;
}

int s_get_socketip_ZUoHTTP_2(STREAM* s) {
  S_ZUoHTTP_INFO_2* info = rec2(s)->info;
  return info ? info->proxy_ip : -1;
}

// A close ends the upload's wait for its reply (its writes still go out)
// and leaves the rest to the task.
int s_close_ZUoHTTP_2(STREAM* s) {
  S_ZUoHTTP_2* x = rec2(s);
  S_ZUoHTTP_INFO_2* info = x->info;
  if (!info) return 0;
  lock_task(zuohttp_lock);
  info->flags |= V2_CLOSED;
  if (info->upload_st) zoh_cut_reading(info->upload_st);
  x->info = nullptr;
  wakeup_task(info);
  unlock_task(zuohttp_lock, "s_close_ZUoHTTP_2");
  return 0;
}

void s_interrupt_ZUoHTTP_2(STREAM* s, int) {
  // A reader blocks in the download connection: it sees the end there.
  S_ZUoHTTP_INFO_2* info = rec2(s)->info;
  if (!info) return;
  lock_task(zuohttp_lock);
  if (info->download_st) zoh_cut_reading(info->download_st);
  unlock_task(zuohttp_lock, "s_close_ZUoHTTP_2");
}

// Not registered: a stream of this table is made only by the opener.
const S_TABLE s_ZUoHTTP_2_table = {'x',     s_close_ZUoHTTP_2, s_write_ZUoHTTP_2, s_read_ZUoHTTP_2, s_flush_ZUoHTTP_2,
                                   s_get_socketip_ZUoHTTP_2, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr,         s_interrupt_ZUoHTTP_2};

// ---- opening

struct TARGET {
  const char* server;  // as given, or null
  std::string host;    // the name or the dotted address, for the request lines
  int ip;
  int port;
  const char* proxy_server;
  int proxy_ip;
  int proxy_port;
};

STREAM* open_v2(int* cerr, const TARGET& t) {
  STREAM* con = proxy_new_connection(cerr, t.server, t.ip, t.port, t.proxy_server, t.proxy_ip, t.proxy_port);
  if (!con) return nullptr;
  ZOH_REPLY r;
  int res = -1;
  if (zoh_output_v2_request(con, t.host.c_str(), t.port, -1) == 0 && s_flush(con) == 0)
    res = zoh_read_reply_head(con, &r, true);
  if (res != 0) {
    *cerr = res == ZOH_R_HTTP ? ETIMEDOUT : ECONNREFUSED;
    d_s_close(con);
    return nullptr;
  }
  auto* info = static_cast<S_ZUoHTTP_INFO_2*>(d_calloc(sizeof(S_ZUoHTTP_INFO_2), 1));
  bool proxy = (t.proxy_server && *t.proxy_server) || t.proxy_ip;
  info->flags = V2_BUFFERED;
  info->proxy_server = proxy && t.proxy_server ? copy_str(t.proxy_server) : nullptr;
  info->proxy_ip = s_get_socketip(con);
  info->proxy_port = proxy ? t.proxy_port : t.port;
  info->target_server = copy_str(t.host.c_str());
  info->target_ip = t.ip;
  info->target_port = t.port;
  info->cockie[0] = r.h.cockie[0];
  info->cockie[1] = r.h.cockie[1];
  info->remain_size = zoh_upload_body();
  info->download_st = con;
  info->chunked = r.chunked;
  init_sbuf(&info->upload_buf, nullptr);
  zoh_client_made();
  auto* x = s_new_record<S_ZUoHTTP_2>(__FILE__, __LINE__);
  x->h.tbl = &s_ZUoHTTP_2_table;
  x->h.rwin_direct = 1;
  x->h.layered = 1;
  x->info = info;
  if (create_task(ZUoHTTP_task_2, info, 3) < 0) {
    free_info_2(info);
    s_discard_record(x);
    *cerr = EAGAIN;
    return nullptr;
  }
  s_register(x, S_MODE_RW, S_CAT_NETWORK);
  return x;
}

// Asks the server for its version: 1 or 2, or -1 (reported) with *cerr.
int probe(int* cerr, const TARGET& t) {
  STREAM* con = proxy_new_connection(cerr, t.server, t.ip, t.port, t.proxy_server, t.proxy_ip, t.proxy_port);
  if (!con) {
    ss_printf("   **** ERR 1\n");
    return -1;
  }
  int err = 0;
  ZOH_REPLY r;
  if (zoh_output_v2_request(con, t.host.c_str(), t.port, kZoHHeaderSize) < 0 ||
      zoh_write_header(con, ZOH_VERSION, 0, nullptr, true) < 0) {
    err = 2;
  } else {
    int res = zoh_read_reply_head(con, &r, true);
    err = res == ZOH_R_HTTP ? 3 : res == ZOH_R_STATUS ? 4 : res == ZOH_R_SHORT ? 5 : res == ZOH_R_SUM ? 6 : 0;
  }
  if (err == 0) zoh_reply_done(con, &r);
  d_s_close(con);
  if (err) {
    *cerr = err == 3 ? ETIMEDOUT : ECONNREFUSED;
    ss_printf("   **** ERR %i\n", err);
    return -1;
  }
  // A version-1 server refuses the probe; a server that announces a version
  // beyond 2 speaks version 2 too.
  if (r.h.type != ZOH_VERSION) return 1;
  return std::clamp<int>(r.h.seq, 1, 2);
}

// A host name goes into request lines as it is: no blank or control byte,
// and no longer than a name can be.
bool plain_host(const char* host) {
  if (host && std::strlen(host) > 255) return false;
  for (const char* p = host; p && *p; ++p) {
    auto c = static_cast<unsigned char>(*p);
    if (c <= ' ' || c == 0x7f) return false;
  }
  return true;
}

// ---- the version cache (zuohttp_lock)

ZUoHTTP_SERVER_INFO* server_infos = nullptr;

ZUoHTTP_SERVER_INFO* _find_server(const char* server, int ip, int port) {
  assert_lock_held(zuohttp_lock);
  for (ZUoHTTP_SERVER_INFO* si = server_infos; server && *server && si; si = si->next) {
    if (si->port == port && si->server && std::strcmp(si->server, server) == 0) return si;
  }
  for (ZUoHTTP_SERVER_INFO* si = server_infos; ip && si; si = si->next) {
    if (si->port == port && si->ip == ip) return si;
  }
  return nullptr;
}

int version_of(ZUoHTTP_SERVER_INFO* si) {
  lock_task(zuohttp_lock);
  int v = si->version;
  unlock_task(zuohttp_lock, "version cache");
  return v;
}

}  // namespace

ZUoHTTP_SERVER_INFO* begin_ZUoHTTP_server_info(const char* server, int ip, int port) {
  init_ZUoHTTP_stream();
  lock_task(zuohttp_lock);
  ZUoHTTP_SERVER_INFO* si = _find_server(server, ip, port);
  if (!si) {
    si = static_cast<ZUoHTTP_SERVER_INFO*>(d_alloc(sizeof(ZUoHTTP_SERVER_INFO)));
    *si = ZUoHTTP_SERVER_INFO{server_infos, server && *server ? copy_str(server) : nullptr, ip, port, 0};
    server_infos = si;
  } else {
    while (si->version == 0) {
      sleep_task(si, zuohttp_lock);
      lock_task(zuohttp_lock);
    }
    if (si->version < 0) si->version = 0;
  }
  unlock_task(zuohttp_lock, "version cache");
  return si;
}

void end_ZUoHTTP_server_info(ZUoHTTP_SERVER_INFO* si, int version) {
  lock_task(zuohttp_lock);
  si->version = version;
  wakeup_task(si);
  unlock_task(zuohttp_lock, "version cache");
}

void zoh_forget_versions() {
  init_ZUoHTTP_stream();
  lock_task(zuohttp_lock);
  ZUoHTTP_SERVER_INFO* all = server_infos;
  server_infos = nullptr;
  unlock_task(zuohttp_lock, "version cache");
  while (all) {
    ZUoHTTP_SERVER_INFO* next = all->next;
    d_f_ree(all->server);
    d_f_ree(all);
    all = next;
  }
}

STREAM* zoh_connect_ZUoHTTP_2(int* cerr, const char* target_server, int target_ip, int target_port,
                            const char* proxy_server, int proxy_ip, int proxy_port, int flags) {
  int unused = 0;
  if (!cerr) cerr = &unused;
  *cerr = 0;
  init_stream();
  init_ZUoHTTP_stream();
  if (!plain_host(target_server) || !plain_host(proxy_server)) {
    *cerr = EINVAL;
    return nullptr;
  }
  TARGET t{target_server, zoh_host_text(target_server, target_ip), target_ip, target_port,
           proxy_server, proxy_ip, proxy_port};
  ZUoHTTP_SERVER_INFO* si = begin_ZUoHTTP_server_info(target_server, target_ip, target_port);
  int version = version_of(si);
  for (int retried = 0;; retried = 1) {
    ss_printf("===================VERSION %s(%i):%i -> %i\n", zoh_host_text(target_server, target_ip).c_str(), target_ip,
              target_port, version);
    if (version == 1)
      return s_connect_ZUoHTTP(cerr, target_server, target_ip, target_port, proxy_server, proxy_ip, proxy_port, flags);
    if (version == 2) return open_v2(cerr, t);
    // One probe a connect: the cache holds its answer for the retry.
    if (retried) {
      *cerr = ECONNREFUSED;
      return nullptr;
    }
    version = probe(cerr, t);
    end_ZUoHTTP_server_info(si, version);
    if (version < 0) return nullptr;
    ss_printf("   **** RETRY\n");
  }
}
