// The ZUoHTTP server's rules that a peer cannot time from outside: a guard
// that fires once a request has been read, and which sequence numbers a
// session takes.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "netsvc/zuohttp_impl.h"
#include "stream/stream.h"

namespace {

// A connection over a socket pair: the server's stream, the peer's end.
struct Wire {
  STREAM* con;
  int peer;
};

Wire open_wire() {
  int sv[2] = {-1, -1};
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  return Wire{s_open_descripter(sv[0], nullptr), sv[1]};
}

// What the peer receives until the server's end closes.
std::string drain(int fd) {
  std::string got;
  char buf[512];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) break;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

TEST(ZohGuard, FiringAfterTheReadStillLetsTheReplyOut) {
  Wire w = open_wire();
  const std::string request = "POST /cgi-bin/zusv.cgi HTTP/1.0\r\nContent-Length: 12\r\n\r\n";
  ASSERT_EQ(write(w.peer, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  HTTP_INFO info;
  ASSERT_EQ(scan_HTTP(&info, w.con, 1), 0);
  free_HTTP_info(&info);
  timeout_stream(w.con);  // the guard's tick, just too late
  char c;
  EXPECT_EQ(s_read(w.con, &c, 1), 0) << "reading has ended";
  const uint32_t cockie[2] = {1, 2};
  EXPECT_EQ(zoh_reply(w.con, ZOH_DATA, 7, cockie, 0, false), 0);
  d_s_close(w.con);
  std::string reply = drain(w.peer);
  close(w.peer);
  ASSERT_GE(reply.size(), 12u);
  EXPECT_EQ(reply.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << reply;
  ZUoHTTP_HEADER h;
  EXPECT_EQ(zoh_header_from_wire(reinterpret_cast<const unsigned char*>(reply.data() + reply.size() - 12), &h), 0);
  EXPECT_EQ(h.type, ZOH_DATA);
  EXPECT_EQ(h.seq, 7);

  // A reader that blocks when the guard fires is woken (in either order).
  w = open_wire();
  int got = -1;
  std::thread reader([&] { got = s_read(w.con, &c, 1); });
  timeout_stream(w.con);
  reader.join();
  EXPECT_EQ(got, 0);
  d_s_close(w.con);
  close(w.peer);
}

}  // namespace
