// The ZUoHTTP server's rules that a peer cannot time from outside: a guard
// that fires once a request has been read, and which sequence numbers a
// session takes.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "netsvc/zuohttp_impl.h"
#include "base/task.h"
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

// A session whose next body due is `due`, its next answer `answer`, with
// requests queued in order (their bodies read when before `due`); the
// last one is a close with `close_last`.
struct Queue {
  ZoH_ENTRY e{};
  Queue(int16_t answer, int16_t due, std::initializer_list<int> queued, bool close_last = false) {
    e.send_seq = answer;
    e.recv_seq = due;
    ZoH_LIST** at = &e.list;
    for (int seq : queued) {
      *at = new ZoH_LIST{};
      (*at)->h.seq = static_cast<int16_t>(seq);
      (*at)->h.type = ZOH_DATA;
      if (close_last && seq == *(queued.end() - 1)) (*at)->h.type = ZOH_CLOSE;
      at = &(*at)->next;
      ++e.pending;
    }
  }
  ~Queue() {
    while (ZoH_LIST* i = e.list) {
      e.list = i->next;
      delete i;
    }
  }
  int insert(int16_t seq) {
    auto* i = new ZoH_LIST{};
    i->h.seq = seq;
    lock_task(zoh_lock);
    int r = _insert_list(&e, i);
    unlock_task(zoh_lock, "test");
    if (r != 0) delete i;
    return r;
  }
  // The seq the empty-reply pass answers, or 0.
  int empty_reply() {
    ZoH_LIST* taken = nullptr;
    lock_task(zoh_lock);
    int r = _empty_reply(&e, 100, 2, &taken);
    unlock_task(zoh_lock, "test");
    int seq = r ? taken->h.seq : 0;
    delete taken;
    return seq;
  }
};

TEST(ZohQueue, NumbersReadAlreadyAreRefused) {
  zoh_init_server();
  struct Case {
    int16_t due;
    int16_t seq;
    int want;
  } const cases[] = {
      {5, 5, 0},    {5, 9, 0},          {5, 4, -1},     {5, 1, -1},
      // Serial order across the wrap of the 16-bit numbers.
      {-32768, 32767, -1}, {-32768, -32767, 0}, {32767, -32768, 0}, {5, -32763, -1},
  };
  for (const Case& c : cases) {
    Queue q(c.due, c.due, {});
    EXPECT_EQ(q.insert(c.seq), c.want) << "due " << c.due << " seq " << c.seq;
  }
  Queue queued(5, 5, {7});
  EXPECT_EQ(queued.insert(7), -1);
  Queue full(1, 1, {});
  for (int i = 0; i < kZoHMaxPending; ++i) ASSERT_EQ(full.insert(static_cast<int16_t>(i + 1)), 0);
  EXPECT_EQ(full.insert(kZoHMaxPending + 1), -2);
}

TEST(ZohQueue, EmptyRepliesAnswerOnlyTheRequestDue) {
  zoh_init_server();
  EXPECT_EQ(Queue(3, 5, {3, 4}).empty_reply(), 3);
  EXPECT_EQ(Queue(3, 3, {3}).empty_reply(), 0);   // its body is not read yet
  EXPECT_EQ(Queue(3, 5, {4}).empty_reply(), 0);   // 3 is not answered yet
  EXPECT_EQ(Queue(3, 4, {3}, true).empty_reply(), 0);  // a close waits for the interpreter's end
}

}  // namespace
