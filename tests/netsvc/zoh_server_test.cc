// The ZUoHTTP server's rules that a peer cannot time from outside: a guard
// that fires once a request has been read, and which sequence numbers a
// session takes.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>

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
}

// A session that answers `answer` next and reads the body of `due` next,
// with requests queued in order (a close at `close_seq`).
struct Queue {
  ZoH_ENTRY e{};
  Queue(int16_t answer, int16_t due, std::initializer_list<int16_t> queued, int16_t close_seq = 0) {
    // Not joined to a pipe: the queue alone, with no task started on it.
    e.flags = ZOH_E_STARTING;
    e.send_seq = answer;
    e.recv_seq = due;
    for (ZoH_LIST** at = &e.list; int16_t seq : queued) {
      *at = new ZoH_LIST{};
      (*at)->h = ZUoHTTP_HEADER{seq == close_seq ? ZOH_CLOSE : ZOH_DATA, 0, seq, {}};
      at = &(*at)->next;
      ++e.pending;
    }
  }
  Queue(const Queue&) = delete;
  ~Queue() {
    while (ZoH_LIST* i = e.list) {
      e.list = i->next;
      delete i;
    }
  }
  // _insert_list's result for seq (0 inserts nothing), and the seq that
  // the empty-reply pass then answers (0 for none).
  std::pair<int, int> insert_then_empty(int16_t seq) {
    auto* item = new ZoH_LIST{};
    item->h.seq = seq;
    ZoH_LIST *taken = nullptr, *gave_way = nullptr;
    lock_task(zoh_lock);
    int r = seq ? _insert_list(&e, item, &gave_way) : 0;
    int answered = _empty_reply(&e, 100, 2, &taken) ? taken->h.seq : 0;
    unlock_task(zoh_lock, "test");
    if (r != 0 || !seq) delete item;
    delete taken;
    return {r, answered};
  }
};

TEST(ZohQueue, OnlyTheNumbersDueAreTakenAndAnswered) {
  zoh_init_server();
  struct Case {
    Queue q;
    int16_t seq;  // inserted (0: none)
    std::pair<int, int> want;
  } cases[] = {
      {Queue(5, 5, {}), 5, {0, 0}},       // queued, its body not read yet
      {Queue(5, 5, {}), 9, {0, 0}},
      {Queue(5, 5, {}), 4, {-1, 0}},      // answered already
      {Queue(5, 5, {7}), 7, {-1, 0}},
      {Queue(5, 7, {5, 6}), 6, {-1, 5}},  // read, not answered yet
      // Serial order across the wrap of the 16-bit numbers.
      {Queue(-32768, -32768, {}), 32767, {-1, 0}},
      {Queue(32767, -32768, {32767}), -32767, {0, 32767}},
      {Queue(5, 5, {}), -32763, {-1, 0}},
      {Queue(3, 5, {4}), 0, {0, 0}},     // 3 is not answered yet
      {Queue(3, 4, {3}, 3), 0, {0, 0}},  // a close waits for the interpreter's end
  };
  for (Case& c : cases) EXPECT_EQ(c.q.insert_then_empty(c.seq), c.want) << "seq " << c.seq;
  // A session holds a bounded number of requests; one more is refused.
  Queue full(5, 5, {});
  full.e.pending = kZoHMaxPending;
  EXPECT_EQ(full.insert_then_empty(6).first, -2);
}

// Times are whole seconds: a session last heard from late in second 10
// and checked early in second 12 has been quiet for just over one.
TEST(ZohSessionCheck, ASessionIsEndedOnlyOnceItsWholeIdleTimeHasPassed) {
  struct Case {
    uint32_t now, since, idle;
    bool over;
  } cases[] = {
      {12, 10, 2, false}, {13, 10, 2, true}, {10, 10, 1, false},
      {1, 0xFFFFFFFFu, 1, true},  // across the wrap of the clock
      {0, 0xFFFFFFFFu, 1, false},
  };
  for (const Case& c : cases) EXPECT_EQ(zoh_idle_over(c.now, c.since, c.idle), c.over) << c.now << " " << c.since;
}

}  // namespace
