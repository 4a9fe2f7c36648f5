// The ZUoHTTP header on the wire, the reply lines, the connection guard and
// the settings.
#include <sys/socket.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/paths.h"
#include "netsvc/zuohttp_client_impl.h"
#include "netsvc/zuohttp_impl.h"
#include "runtime/first_line.h"
#include "stream/stream.h"

namespace {

// A header guard of 0 is the idle-first-line setting's total.
std::atomic<int> t_header{0}, t_body{6000}, t_idle{600}, t_empty{2}, t_poll{0}, t_stock{120};

void set_if(std::atomic<int>* a, int v) {
  if (v > 0) a->store(v);
}

bool host_is_little() {
  const uint16_t one = 1;
  unsigned char b;
  std::memcpy(&b, &one, 1);
  return b == 1;
}

}  // namespace

uint8_t ZoH_checksum(const ZUoHTTP_HEADER* h) {
  unsigned char b[kZoHHeaderSize];
  std::memcpy(b, h, sizeof b);
  unsigned sum = 0;
  for (unsigned char c : b) sum += c;
  return static_cast<uint8_t>(256 - (sum & 0xff));
}

void change_endian_ZUoHTTP_HEADER(ZUoHTTP_HEADER* h) {
  if (!host_is_little()) return;
  h->seq = static_cast<int16_t>(__builtin_bswap16(static_cast<uint16_t>(h->seq)));
  h->cockie[0] = __builtin_bswap32(h->cockie[0]);
  h->cockie[1] = __builtin_bswap32(h->cockie[1]);
}

void zoh_header_to_wire(const ZUoHTTP_HEADER* h, unsigned char out[kZoHHeaderSize]) {
  ZUoHTTP_HEADER w = *h;
  w.sum = 0;
  change_endian_ZUoHTTP_HEADER(&w);
  w.sum = ZoH_checksum(&w);
  std::memcpy(out, &w, kZoHHeaderSize);
}

int zoh_header_from_wire(const unsigned char in[kZoHHeaderSize], ZUoHTTP_HEADER* h) {
  std::memcpy(h, in, kZoHHeaderSize);
  h->sum = ZoH_checksum(h);
  bool good = h->sum == 0;
  change_endian_ZUoHTTP_HEADER(h);
  return good ? 0 : -1;
}

int output_server_header(STREAM* s, const HTTP_INFO* info) {
  std::string h =
      "HTTP/1.0 200 OK\r\nDate: Fri, 20 Sep 2002 09:36:44 GMT\r\nServer: PELANOR QUARVEN SERVER\r\n";
  h += info->flags & HTTP_F_KEEP_ALIVE ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
  h += "Content-Type: application/zuohttp\r\n";
  if (info->content_length >= 0) {
    char line[64];
    std::snprintf(line, sizeof line, "Content-Length: %i\r\n", info->content_length);
    h += line;
  }
  h += "\r\n";
  return s_write(s, h.data(), static_cast<int>(h.size())) == static_cast<int>(h.size()) ? 0 : -1;
}

int zoh_reply(STREAM* con, uint8_t type, int16_t seq, const uint32_t cockie[2], int payload, bool keep) {
  HTTP_INFO info{};
  info.content_length = payload < 0 ? -1 : kZoHHeaderSize + payload;
  info.flags = keep ? HTTP_F_KEEP_ALIVE : 0;
  if (output_server_header(con, &info) < 0) return -1;
  return zoh_write_header(con, type, seq, cockie, payload <= 0);
}

namespace {

// Closing here would free the record under its reader; shutting the socket
// down wakes the reader, and its owner closes it.
void shut(STREAM* s, int how) {
  int fd = s_get_fd(s);
  if (fd >= 0) shutdown(fd, how);
  else s_close_queue(s);
}

}  // namespace

void timeout_stream(void* data) {
  // A guard may fire just after its reader has taken the last byte of a
  // request: only the reading side ends, so that request is still
  // answered; its owner closes the connection after that reply.
  shut(static_cast<STREAM*>(data), SHUT_RD);
}

void zoh_cut_connection(STREAM* s) { shut(s, SHUT_RDWR); }

int zoh_env_count(const char* name, int fallback) { return static_cast<int>(u_getenv_count(name, fallback, INT_MAX)); }

ZOH_LIMITS zoh_limits() {
  static const ZOH_LIMITS limits{zoh_env_count("QNMX_ZOH_PEER_SESSIONS", 64), zoh_env_count("QNMX_ZOH_SESSIONS", 1024),
                                 zoh_env_count("QNMX_ZOH_UNUSED_IDLE", 30)};
  return limits;
}

void zoh_set_times(const ZOH_TIMES* t) {
  set_if(&t_header, t->header_guard);
  set_if(&t_body, t->body_guard);
  set_if(&t_idle, t->session_idle);
  set_if(&t_empty, t->empty_reply);
  set_if(&t_poll, t->poll_interval);
  set_if(&t_stock, t->stock_idle);
}

ZOH_TIMES zoh_times() {
  int header = t_header.load();
  return ZOH_TIMES{header > 0 ? header : first_line_total(), t_body.load(), t_idle.load(), t_empty.load(), t_poll.load(), t_stock.load()};
}
