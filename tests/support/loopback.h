// Test support: TCP on the loopback interface only (127.0.0.1): a socket
// listening on a free port, a connection to a port, and a client of the
// line protocol that gathers what its peer sends. Header-only, so that the
// benchmarks use the same helpers as the tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>

inline sockaddr_in loopback_address(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// A socket listening on a free port of 127.0.0.1, its port in *port; -1
// when none can be opened. type_flags go with SOCK_STREAM (SOCK_CLOEXEC).
inline int listen_loopback(int* port, int backlog = 16, int type_flags = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | type_flags, 0);
  sockaddr_in a = loopback_address(0);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

// A socket connected to port on 127.0.0.1; -1 when the connection fails.
inline int connect_loopback(int port, int type_flags = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | type_flags, 0);
  sockaddr_in a = loopback_address(port);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

// A port that nothing listens on just now, for a server the test starts
// next. Drawn below the kernel's ephemeral range (32768 and up), so that the
// outgoing connections of tests running at the same time cannot take it
// between this check and the server's bind (as tests/support/checks.py).
inline int free_loopback_port() {
  std::random_device seed;
  std::minstd_rand pick(seed());
  for (int tries = 0; tries < 200; ++tries) {
    int port = 20000 + static_cast<int>(pick() % 12700);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback_address(port);
    bool free = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (fd >= 0) close(fd);
    if (free) return port;
  }
  int port = 0;
  int fd = listen_loopback(&port, 1);
  if (fd >= 0) close(fd);
  return port;
}

// A line-protocol client on one connection: everything the peer sends is
// kept in got(), in order.
class LineClient {
 public:
  explicit LineClient(int port) : fd_(connect_loopback(port)) {}
  ~LineClient() {
    if (fd_ >= 0) close(fd_);
  }
  LineClient(const LineClient&) = delete;
  LineClient& operator=(const LineClient&) = delete;

  bool ok() const { return fd_ >= 0; }
  void send(const std::string& s) { (void)!::send(fd_, s.data(), s.size(), MSG_NOSIGNAL); }
  // Reads until `text` stands in got() at or after `from` (true), or the
  // peer closed, or 20 s passed.
  bool wait_for(const std::string& text, size_t from = 0) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (got_.find(text, from) == std::string::npos) {
      if (!read_some(end)) return false;
    }
    return true;
  }
  // True when the peer closes within 20 s (everything it sent is kept).
  bool wait_close() {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (read_some(end)) {
    }
    return closed_;
  }
  // Sends text and waits for `end` in what comes after it: all that came
  // (possibly more than up to `end`), or "" when it did not come.
  std::string ask(const std::string& text, const std::string& end = "</Result>\n") {
    size_t from = got_.size();
    send(text);
    return wait_for(end, from) ? got_.substr(from) : "";
  }
  const std::string& got() const { return got_; }

 private:
  bool read_some(std::chrono::steady_clock::time_point end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (fd_ < 0 || left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buf[4096];
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    got_.append(buf, static_cast<size_t>(n));
    return true;
  }
  int fd_;
  bool closed_ = false;
  std::string got_;
};
