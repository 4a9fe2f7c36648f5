// What both ZUoHTTP clients share: the request lines, the connections, and
// reading a reply under its guard.
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/tick.h"
#include "netsvc/http_chunk.h"
#include "netsvc/zuohttp_client_impl.h"
#include "netsvc/zuohttp_impl.h"
#include "stream/net.h"
#include "stream/stream.h"

SEM zuohttp_lock = nullptr;

namespace {

std::atomic<ZOH_CONNECTOR> connector{nullptr};
std::atomic<int> request_count{0};  // numbers the requests that go through a proxy
std::atomic<int> clients_alive{0};

// The guard's action: ends a reply header that does not come. The reader
// is woken; the connection's owner closes it.
void open_timeout(void* s) { zoh_cut_connection(static_cast<STREAM*>(s)); }

int write_text(STREAM* con, const std::string& t) {
  return s_write(con, t.data(), static_cast<int>(t.size())) == static_cast<int>(t.size()) ? 0 : -1;
}

int read_head(STREAM* con, ZOH_REPLY* r) {
  if (scan_HTTP(&r->info, con, 0) < 0) return ZOH_R_HTTP;
  free_HTTP_info(&r->info);
  if (r->info.err != 200) return ZOH_R_STATUS;
  r->keep = (r->info.flags & HTTP_F_KEEP_ALIVE) != 0;
  if (r->info.flags & HTTP_F_CHUNKED) {
    if (chunk_read_start(con) < 0) return ZOH_R_SHORT;
    r->chunked = true;
  } else if (r->info.content_length >= 0 && r->info.content_length < kZoHHeaderSize) {
    return ZOH_R_SHORT;
  }
  unsigned char wire[kZoHHeaderSize];
  int res = zoh_read_exact(con, wire, kZoHHeaderSize) < 0 ? ZOH_R_SHORT
            : zoh_header_from_wire(wire, &r->h) < 0   ? ZOH_R_SUM
                                                      : 0;
  if (res < 0) zoh_reply_done(con, r);
  return res;
}

}  // namespace

int zoh_reply_guard() {
  static const int seconds = zoh_env_count("QNMX_ZOH_REPLY_GUARD", 30);
  return seconds;
}

int zoh_upload_body() {
  static const int bytes = zoh_env_count("QNMX_ZOH_UPLOAD_BODY", 100000000);
  return bytes;
}

void zoh_set_connector(ZOH_CONNECTOR f) { connector.store(f); }

STREAM* zoh_connect(int* cerr, const char* host, int ip, int port) {
  if (ZOH_CONNECTOR f = connector.load()) return f(cerr, host, ip, port);
  return new_connection(cerr, host, ip, port, nullptr, nullptr);
}

STREAM* proxy_new_connection(int* cerr, const char* server, int ip, int port, const char* proxy_server,
                             int proxy_ip, int proxy_port) {
  if ((proxy_server && *proxy_server) || proxy_ip) return zoh_connect(cerr, proxy_server, proxy_ip, proxy_port);
  return zoh_connect(cerr, server, ip, port);
}

void s_safe_close(STREAM* s) {
  if (s) s_close_queue(s);
}

void zoh_cut_reading(STREAM* s) {
  int fd = s_get_fd(s);
  if (fd >= 0) shutdown(fd, SHUT_RD);
}

std::string zoh_host_text(const char* host, int ip) {
  if (host && *host) return host;
  char dotted[16];
  std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", (ip >> 24) & 255u, (ip >> 16) & 255u, (ip >> 8) & 255u,
                ip & 255u);
  return dotted;
}

int zoh_take_window(S_HEADER* h, void* data, int len) {
  int n = static_cast<int>(std::min<ptrdiff_t>(len, h->rwin_end - h->rwin));
  std::memcpy(data, h->rwin, static_cast<size_t>(n));
  h->rwin += n;
  return n;
}

void zoh_client_made() { clients_alive.fetch_add(1); }
void zoh_client_freed() { clients_alive.fetch_sub(1); }
int zoh_client_streams() { return clients_alive.load(); }

int output_client_header(STREAM* con, int flags, const char* server, int port, int length) {
  std::string host = std::string(server ? server : "") + ":" + std::to_string(port);
  std::string t = "POST http://" + host + "/cgi-bin/zusv";
  if (flags & ZOH_F_PROXY) t += std::to_string(request_count.fetch_add(1) & 255);
  t += ".cgi HTTP/1.0\r\n";
  if (flags & ZOH_F_KEEP_ALIVE)
    t += flags & ZOH_F_PROXY ? "Proxy-Connection: keep-alive\r\n" : "Connection: keep-alive\r\n";
  t += "Pragma: no-cache\r\nContent-Type: application/zuohttp\r\nHost: " + host + "\r\nContent-Length: " +
       std::to_string(length + kZoHHeaderSize) + "\r\n\r\n";
  return write_text(con, t);
}

int zoh_output_v2_request(STREAM* con, const char* server, int port, int length) {
  std::string host = std::string(server ? server : "") + ":" + std::to_string(port);
  std::string t = length < 0 ? "GET http://" + host + "/cgi-bin/download.cgi HTTP/1.0\r\n"
                             : "POST http://" + host + "/cgi-bin/upload.cgi HTTP/1.0\r\n";
  t += "Pragma: no-cache\r\nContent-Type: application/zuohttp2\r\nHost: " + host + "\r\n";
  if (length >= 0) t += "Content-Length: " + std::to_string(length) + "\r\n";
  t += "\r\n";
  return write_text(con, t);
}

int zoh_write_header(STREAM* con, uint8_t type, int16_t seq, const uint32_t cockie[2], bool flush) {
  ZUoHTTP_HEADER h{type, 0, seq, {cockie ? cockie[0] : 0, cockie ? cockie[1] : 0}};
  unsigned char wire[kZoHHeaderSize];
  zoh_header_to_wire(&h, wire);
  if (s_write(con, wire, kZoHHeaderSize) != kZoHHeaderSize) return -1;
  return flush ? s_flush(con) : 0;
}

int zoh_read_exact(STREAM* con, void* data, int n) {
  auto* p = static_cast<unsigned char*>(data);
  for (int got = 0; got < n;) {
    int r = s_chunk_read(con, p + got, n - got);
    if (r <= 0) return -1;
    got += r;
  }
  return 0;
}

ZohReplyGuard::ZohReplyGuard(STREAM* con, int seconds) : con_(seconds > 0 ? con : nullptr) {
  if (!con_) return;
  // The guard holds the record: it may fire while this reader is done.
  s_hold(con_);
  new_tick(open_timeout, -seconds, con_);
}

ZohReplyGuard::~ZohReplyGuard() {
  if (!con_) return;
  del_tick_with_data(open_timeout, con_);
  s_drop(con_);
}

int zoh_read_reply_head(STREAM* con, ZOH_REPLY* r, bool guarded) {
  *r = ZOH_REPLY{};
  ZohReplyGuard guard(con, guarded ? zoh_reply_guard() : 0);
  return read_head(con, r);
}

long long zoh_read_reply_payload(STREAM* con, ZOH_REPLY* r, STREAM_BUF* buf, SEM lock) {
  long long want = -1;
  if (!r->chunked && r->info.content_length >= 0) want = r->info.content_length - kZoHHeaderSize;
  // Without a length or chunks, the body runs to the end of the connection.
  if (!r->chunked && want < 0) r->keep = false;
  long long got = 0;
  long long res = want > kZoHMaxReply ? -2 : 0;
  unsigned char piece[16384];
  while (res == 0 && (want < 0 || got < want)) {
    int n = static_cast<int>(want < 0 ? sizeof piece : std::min<long long>(sizeof piece, want - got));
    int k = s_chunk_read(con, piece, n);
    if (k == 0 && want < 0) break;
    if (k <= 0) {
      res = -1;
      break;
    }
    if (got + k > kZoHMaxReply) {
      res = -2;
      break;
    }
    copy_in_sbuf(buf, piece, static_cast<size_t>(k), lock);
    got += k;
  }
  zoh_reply_done(con, r);
  return res < 0 ? res : got;
}

void zoh_reply_done(STREAM* con, ZOH_REPLY* r) {
  if (r->chunked) chunk_read_end(con);
  r->chunked = false;
}
