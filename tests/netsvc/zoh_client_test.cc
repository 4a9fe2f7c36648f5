// The ZUoHTTP clients against a scripted server on the far end of socket
// pairs (every connection the client makes is one pair): how each kind of
// broken reply ends a stream, what a connect reports, what the probe's
// answer makes of a server, how polls back off; and the masking of
// passwords in the traces.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "netsvc/trace_impl.h"
#include "netsvc/zuohttp.h"
#include "netsvc/zuohttp_client.h"
#include "stream/stream.h"
#include "support/child.h"

namespace {

using Clock = std::chrono::steady_clock;

// The server ends of the connections the client has made, in order.
std::mutex net_mu;
std::condition_variable net_cv;
std::deque<int> server_ends;

STREAM* pair_connector(int* cerr, const char*, int, int) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
    *cerr = errno;
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> g(net_mu);
    server_ends.push_back(sv[1]);
  }
  net_cv.notify_all();
  return s_open_descripter(sv[0], nullptr);
}

int next_connection(int ms = 10000) {
  std::unique_lock<std::mutex> g(net_mu);
  if (!net_cv.wait_for(g, std::chrono::milliseconds(ms), [] { return !server_ends.empty(); })) return -1;
  int fd = server_ends.front();
  server_ends.pop_front();
  return fd;
}

std::string header(uint8_t type, int16_t seq, uint32_t c0 = 0, uint32_t c1 = 0, bool good = true) {
  ZUoHTTP_HEADER h{type, 0, seq, {c0, c1}};
  unsigned char wire[kZoHHeaderSize];
  zoh_header_to_wire(&h, wire);
  if (!good) wire[1] ^= 1;
  return std::string(reinterpret_cast<char*>(wire), kZoHHeaderSize);
}

std::string reply(const std::string& body, const std::string& lines = "") {
  return "HTTP/1.0 200 OK\r\nConnection: close\r\n" + lines + "Content-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

std::string chunked(const std::string& body, std::vector<size_t> cuts) {
  std::string out = "HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  size_t at = 0;
  cuts.push_back(body.size());
  for (size_t n : cuts) {
    std::string piece = body.substr(at, n);
    at += piece.size();
    if (piece.empty()) continue;
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
    out += size + piece + "\r\n";
  }
  return out + "0\r\n\r\n";
}

// One request read from fd: its body (empty when the peer ended first).
struct REQUEST {
  bool read = false;
  ZUoHTTP_HEADER h{};
  std::string payload;
};

REQUEST read_request(int fd) {
  std::string buf;
  char c[4096];
  REQUEST r;
  size_t length = 0, end = std::string::npos;
  while (end == std::string::npos || buf.size() < end + 4 + length) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) return r;
    ssize_t n = read(fd, c, sizeof c);
    if (n <= 0) return r;
    buf.append(c, static_cast<size_t>(n));
    if (end == std::string::npos && (end = buf.find("\r\n\r\n")) != std::string::npos) {
      size_t at = buf.find("Content-Length: ");
      length = at < end ? std::stoul(buf.substr(at + 16)) : 0;
    }
  }
  std::string body = buf.substr(end + 4, length);
  r.read = body.size() >= kZoHHeaderSize &&
           zoh_header_from_wire(reinterpret_cast<const unsigned char*>(body.data()), &r.h) == 0;
  r.payload = body.substr(std::min<size_t>(body.size(), kZoHHeaderSize));
  return r;
}

void send_all(int fd, const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    ssize_t n = write(fd, text.data() + at, text.size() - at);
    if (n <= 0) return;
    at += static_cast<size_t>(n);
  }
}

// A server that answers each connection's request with answer(request)
// and closes it, until `stop`, in a thread of its own.
class FakeServer {
 public:
  explicit FakeServer(std::function<std::string(const REQUEST&)> answer) : answer_(std::move(answer)) {
    thread_ = std::thread([this] {
      while (!stop_) {
        int fd = next_connection(200);
        if (fd < 0) continue;
        REQUEST r = read_request(fd);
        if (r.read) {
          std::lock_guard<std::mutex> g(mu_);
          seen_.push_back({r, Clock::now()});
        }
        send_all(fd, answer_(r));
        close(fd);
      }
    });
  }
  ~FakeServer() {
    stop_ = true;
    thread_.join();
  }
  std::vector<std::pair<REQUEST, Clock::time_point>> seen() {
    std::lock_guard<std::mutex> g(mu_);
    return seen_;
  }

 private:
  std::function<std::string(const REQUEST&)> answer_;
  std::mutex mu_;
  std::vector<std::pair<REQUEST, Clock::time_point>> seen_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Traces written while it lives.
class Traces {
 public:
  Traces() : saved_(s_stderr), text_(s_open_string_write(nullptr)) { s_stderr = text_; }
  ~Traces() {
    s_stderr = saved_;
    d_s_close(text_);
  }
  std::string text() { return s_get_string(text_); }

 private:
  STREAM* saved_;
  STREAM* text_;
};

class ZohClient : public ::testing::Test {
 protected:
  void SetUp() override {
    init_stream();
    init_ZUoHTTP_stream();
    zoh_set_connector(pair_connector);
  }
  void TearDown() override {
    for (int i = 0; i < 1000 && zoh_client_streams() > 0; ++i) usleep(10000);
    EXPECT_EQ(zoh_client_streams(), 0) << "a stream's task has not ended";
    zoh_set_connector(nullptr);
    zoh_forget_versions();
    std::lock_guard<std::mutex> g(net_mu);
    for (int fd : server_ends) close(fd);
    server_ends.clear();
  }
};

// What reads give until the stream ends: the bytes, and the last result.
std::pair<std::string, int> read_all(STREAM* s) {
  std::string got;
  char buf[256];
  int r;
  while ((r = s_read(s, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(r));
  return {got, r};
}

TEST_F(ZohClient, EachBrokenReplyEndsTheStreamWithItsReport) {
  const std::string too_large = "HTTP/1.0 200 OK\r\nContent-Length: 300000000\r\n\r\n" + header(2, 1, 1, 2);
  struct {
    const char* what;
    std::function<std::string(int16_t seq)> answer;  // to the first message after the open
    std::string data;                                // what reads give
    int end;                                         // the last read's result
    const char* report;                              // in the traces, "" for none
  } cases[] = {
      {"the server closes", [](int16_t q) { return reply(header(3, q, 1, 2) + "abc"); }, "abc", 0, ""},
      {"in chunks", [](int16_t q) { return chunked(header(3, q, 1, 2) + "chunky", {3, 5, 4}); }, "chunky", 0, ""},
      {"another status", [](int16_t) { return std::string("HTTP/1.0 500 Oops\r\n\r\n"); }, "", -1, " 1\n"},
      {"a short header", [](int16_t q) { return reply(header(2, q, 1, 2).substr(0, 5)); }, "", -1, " 2\n"},
      {"a bad sum", [](int16_t q) { return reply(header(2, q, 1, 2, false)); }, "", -1, " 3\n"},
      {"another seq", [](int16_t q) { return reply(header(2, static_cast<int16_t>(q + 1), 1, 2) + "x"); }, "", -1,
       " 4\n"},
      {"past the cap", [&](int16_t) { return too_large; }, "", -1, " 5 -2 "},
      {"refused", [](int16_t q) { return reply(header(4, q, 1, 2)); }, "", -1, " 6\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Traces traces;
    FakeServer server([&](const REQUEST& r) {
      return r.h.type == ZOH_OPEN ? reply(header(2, 0, 1, 2)) : c.answer(r.h.seq);
    });
    int cerr = 0;
    STREAM* s = s_connect_ZUoHTTP(&cerr, "fake", 0, 80, nullptr, 0, 0, 0);
    ASSERT_NE(s, nullptr) << cerr;
    auto [data, end] = read_all(s);
    EXPECT_EQ(data, c.data);
    EXPECT_EQ(end, c.end);
    d_s_close(s);
    for (int i = 0; i < 500 && zoh_client_streams() > 0; ++i) usleep(10000);
    std::string t = traces.text();
    if (*c.report) {
      EXPECT_NE(t.find(c.report), std::string::npos) << t;
    } else {
      EXPECT_EQ(t.find("ERR ("), std::string::npos) << t;
    }
  }
}

TEST_F(ZohClient, AConnectReportsWhyItFailed) {
  struct {
    const char* what;
    std::string answer;
    int cerr;
  } cases[] = {
      {"no reply", "", ETIMEDOUT},
      {"another status", "HTTP/1.0 404 Not Found\r\n\r\n", ECONNREFUSED},
      {"a refusal", reply(header(4, 0)), ECONNREFUSED},
      {"a short body", "HTTP/1.0 200 OK\r\nContent-Length: 11\r\n\r\n" + header(2, 0).substr(0, 11), ECONNREFUSED},
      {"a chunk size of nine digits", "HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFF\r\n" +
                                          header(2, 0), ECONNREFUSED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeServer server([&](const REQUEST&) { return c.answer; });
    int cerr = 0;
    EXPECT_EQ(s_connect_ZUoHTTP(&cerr, "fake", 0, 80, nullptr, 0, 0, 0), nullptr);
    EXPECT_EQ(cerr, c.cerr);
  }
}

TEST_F(ZohClient, TheProbeDecidesAServersVersion) {
  struct {
    const char* what;
    std::string answer;
    int version;
  } cases[] = {
      {"version 2", reply(header(6, 2)), 2},
      {"a later version", reply(header(6, 9)), 2},
      {"no version", reply(header(6, 0)), 1},
      {"a version-1 server's refusal", reply(header(4, 0)), 1},
      {"no answer", "HTTP/1.0 503 Busy\r\n\r\n", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Traces traces;
    // The probe, then an open that is refused: the version stays known.
    FakeServer server([&](const REQUEST& r) { return r.h.type == ZOH_VERSION ? c.answer : std::string(); });
    int cerr = 0;
    EXPECT_EQ(zoh_connect_ZUoHTTP_2(&cerr, "fake", 0, 80, nullptr, 0, 0, 32), nullptr);
    ZUoHTTP_SERVER_INFO* si = begin_ZUoHTTP_server_info("fake", 0, 80);
    // A failed probe leaves the record to the next caller to probe again.
    EXPECT_EQ(si->version, c.version < 0 ? 0 : c.version);
    if (c.version < 0) end_ZUoHTTP_server_info(si, -1);
    std::string t = traces.text();
    EXPECT_EQ(t.find("   **** RETRY\n") != std::string::npos, c.version > 0) << t;
    if (c.version < 0) {
      EXPECT_NE(t.find("   **** ERR 4\n"), std::string::npos) << t;
    }
    zoh_forget_versions();
  }
}

TEST_F(ZohClient, PollsBackOffWhileNothingComes) {
  FakeServer server([](const REQUEST& r) {
    return reply(header(2, r.h.seq, 1, 2));
  });
  int cerr = 0;
  STREAM* s = s_connect_ZUoHTTP(&cerr, "fake", 0, 80, nullptr, 0, 0, 0);
  ASSERT_NE(s, nullptr);
  // The open, then polls at once, one second later and two after that (in
  // whole seconds of the clock: each pause may end up to a second early,
  // never late, so load can only lengthen them). The pause before the third
  // poll starts when the client has read the second's reply, after the
  // server saw it: it holds more than a second however loaded the machine.
  // The first two only have to come well before the longest pause (15 s)
  // would let them.
  ASSERT_TRUE(wait_until([&] { return server.seen().size() >= 4; }, std::chrono::seconds(60)));
  auto seen = server.seen();
  d_s_close(s);
  auto gap = [&](size_t i) { return std::chrono::duration<double>(seen[i].second - seen[i - 1].second).count(); };
  EXPECT_LT(gap(1) + gap(2), 10.0);
  EXPECT_GE(gap(3), 0.9);
  for (size_t i = 1; i < 4; ++i) EXPECT_EQ(seen[i].first.h.seq, static_cast<int16_t>(i));
}

TEST(SecretMask, PasswordsNeverShowWhereverThePiecesAreCut) {
  struct {
    std::string text;
    std::string dump;
  } cases[] = {
      {"(login passwd=\"s3cret\" user=\"u\")\n", "(login passwd=\"****\" user=\"u\")$a$"},
      {"GET /x?user=u&PASSWD=s3cret&y=1", "GET /x?user=u&PASSWD=****&y=1"},
      {"passwd=\"s3\\\"cret\" and", "passwd=\"****\" and"},
      {"passwd= s3cret", "passwd= s3cret"},  // no value: nothing to hide
      {"pass passwd=s3cret)", "pass passwd=****)"},
      {"\x80 plain \x01", "$80$ plain $1$"},
  };
  for (const auto& c : cases) {
    for (size_t piece : {c.text.size(), size_t{1}, size_t{3}}) {
      SCOPED_TRACE(c.text + " in pieces of " + std::to_string(piece));
      SECRET_MASK mask{};
      std::string dump;
      for (size_t at = 0; at < c.text.size(); at += piece) {
        std::string part = c.text.substr(at, piece);
        dump += net_masked_dump(&mask, reinterpret_cast<const unsigned char*>(part.data()), part.size());
      }
      EXPECT_EQ(dump, c.dump);
    }
  }
}

}  // namespace
