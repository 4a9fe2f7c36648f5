// TCP listeners and clients.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "base/alloc.h"
#include "stream/net.h"
#include "stream/stream_impl.h"

namespace {

std::atomic<int> connect_timeout_ms{30000};

int make_socket(int flags) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
  if (fd < 0 && s_resource_shortage(errno)) fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
  return fd;
}

}  // namespace

HOST_ADDR getHA_v4(int ip) {
  HOST_ADDR a{};
  a.type = 4;
  a.size = 4;
  uint32_t n = htonl(static_cast<uint32_t>(ip));
  std::memcpy(a.addr, &n, 4);
  return a;
}

STREAM* init_server2(int* port, int base, int count, int bind_ip) {
  init_stream();
  if (base <= 0 || count <= 0 || base > 65535) return nullptr;
  for (int p = base; p < base + count && p <= 65535; ++p) {
    int fd = make_socket(0);
    if (fd < 0) return nullptr;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(p));
    a.sin_addr.s_addr = htonl(static_cast<uint32_t>(bind_ip));
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd, 128) == 0) {
      if (port) *port = p;
      return s_make_fd_stream(fd, &s_listen_table, S_MODE_READ, S_CAT_NETWORK, 1, -1, __FILE__,
                              __LINE__);
    }
    close(fd);
  }
  return nullptr;
}

STREAM* init_server(int* port, int base, int count) {
  return init_server2(port, base, count, INADDR_ANY);
}

ACCESS_KEY* accept_connection(STREAM* ls) {
  S_USE use(ls);
  if (!use.s || ls->h.tbl != &s_listen_table) return nullptr;
  int lfd = s_get_fd(ls);
  bool retried = false;
  for (;;) {
    if (ls->h.state.load() != S_STATE_LIVE) return nullptr;
    sockaddr_in a{};
    socklen_t al = sizeof a;
    int fd;
    {
      S_BLOCKED b(ls, 1);
      if (ls->h.state.load() != S_STATE_LIVE) return nullptr;
      fd = accept4(lfd, reinterpret_cast<sockaddr*>(&a), &al, SOCK_CLOEXEC);
    }
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (!retried && s_resource_shortage(errno)) {
        retried = true;
        continue;
      }
      return nullptr;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int ip = a.sin_family == AF_INET ? static_cast<int>(ntohl(a.sin_addr.s_addr)) : -1;
    STREAM* s = s_make_fd_stream(fd, &s_file_table, S_MODE_RW, S_CAT_NETWORK, 1, ip, __FILE__, __LINE__);
    auto* k = static_cast<ACCESS_KEY*>(d_alloc(sizeof(ACCESS_KEY)));
    k->s = s;
    k->ip = ip;
    k->work = nullptr;
    return k;
  }
}

void net_set_connect_timeout_ms(int ms) { connect_timeout_ms.store(ms > 0 ? ms : 1); }

STREAM* new_connection(int* cerr, const char* host, int ip, int port, void* func, void* work) {
  (void)func;
  (void)work;
  init_stream();
  int dummy;
  if (!cerr) cerr = &dummy;
  *cerr = 0;
  if (port <= 0 || port > 65535) {
    *cerr = EINVAL;
    return nullptr;
  }
  if (host && *host && resolve_host(host, &ip) < 0) {
    *cerr = EHOSTUNREACH;
    return nullptr;
  }
  int fd = make_socket(SOCK_NONBLOCK);
  if (fd < 0) {
    *cerr = errno;
    return nullptr;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(static_cast<uint32_t>(ip));
  int r = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  if (r != 0 && errno != EINPROGRESS) {
    *cerr = errno;
    close(fd);
    return nullptr;
  }
  if (r != 0) {
    int64_t deadline = s_now_us() + static_cast<int64_t>(connect_timeout_ms.load()) * 1000;
    for (;;) {
      int64_t left = (deadline - s_now_us()) / 1000;
      if (left <= 0) {
        *cerr = ETIMEDOUT;
        close(fd);
        return nullptr;
      }
      pollfd p{fd, POLLOUT, 0};
      int pr;
      {
        BlockingRegion region;
        pr = poll(&p, 1, static_cast<int>(left));
      }
      if (pr < 0 && errno == EINTR) continue;
      if (pr < 0) {
        *cerr = errno;
        close(fd);
        return nullptr;
      }
      if (pr > 0) break;
    }
    int err = 0;
    socklen_t el = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &el) != 0) err = errno;
    if (err != 0) {
      *cerr = err;
      close(fd);
      return nullptr;
    }
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return s_make_fd_stream(fd, &s_file_table, S_MODE_RW, S_CAT_NETWORK, 1, ip, __FILE__, __LINE__);
}
