// http sessions inside one process: replies read from prepared bytes, the
// reply keys against a server of this test that can hold a reply back, the
// method word, and the native proxy's refusals.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "netsvc_test_util.h"
#include "netsvc/session.h"
#include "runtime/delayed.h"
#include "runtime/interp.h"
#include "support/child.h"
#include "zu/errcodes.h"
#include "zu/gc.h"

namespace {

class HttpSession : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { start_netsvc_once(); }
  void SetUp() override {
    ZU_INTERPRETER* z = new_zu_interpreter();
    z->a_type = ZUI_SELF;
    z->env = qnlisp_top_env1;
    ASSERT_GT(setup_i(z), 0);
  }
  void TearDown() override {
    set_http_reply_cap(0);
    close_self_interpreter();
  }
};

// A reply read from bytes, shown; raw bytes are shown as their text.
std::string reply_of(const std::string& bytes, const REMOTE_SESSION_OPT* opt = nullptr) {
  STREAM* st = s_open_string_read(bytes.data(), ascii_cm, static_cast<int>(bytes.size()), 1);
  ZU_SEXP* v = read_reply(st, opt, nullptr, 3);
  if (get_type(v) == ZU_TYPE_LIST && get_type(get_el(v, 1)) == ZU_TYPE_RAW) {
    ZU_SEXP* raw = get_el(v, 1);
    return shown(v->pair.car) + " raw:" + std::string(reinterpret_cast<char*>(raw->raw.data), raw->raw.size);
  }
  return shown(v);
}

TEST_F(HttpSession, RepliesTakeTheRoadOfTheirContentType) {
  const std::string ok = "HTTP/1.0 200 OK\r\n";
  const std::string euc = "\xc6\xfc\xcb\xdc";  // "日本" in EUC-JP
  struct Case {
    std::string bytes, want;
  } cases[] = {
      {ok + "Content-Type: text/plain\r\n\r\nabc", "text/plain raw:abc"},
      {ok + "Content-Length: 3\r\n\r\nabc", "application/octet-stream raw:abc"},
      {ok + "Content-Type: image/png\r\nContent-Length: 2\r\n\r\nabcdef", "image/png raw:ab"},
      {ok + "Content-Type: image/png\r\n\r\n", "image/png raw:"},
      {ok + "Content-Type: image/png\r\nContent-Length: 5\r\n\r\nabc",
       "error 80040a12 RemoteSession (\"http connection error\")"},
      {"HTTP/1.0 500 Oops\r\nContent-Type: text/plain\r\n\r\nx", "error 80040a12 RemoteSession (\"http error\" 500)"},
      {"HTTP/1.0 200 OK\r\nContent-Length: -5\r\n\r\n", "error 80040a12 RemoteSession (\"http connection error\")"},
      {"", "error 80040a12 RemoteSession (\"http connection error\")"},
      {ok + "Content-Type: text/xml; charset=EUC-JP\r\n\r\n<r a=\"1\">" + euc + "</r>",
       "(text/xml (([r a=\"1\"] \"日本\")))"},
      // An unknown charset leaves the encoding; the first form may name it.
      {ok + "Content-Type: application/xml; charset=nope\r\n\r\n<?xml version=\"1.0\" encoding=\"EUC-JP\"?><r>" + euc +
           "</r>",
       "(application/xml (([?xml version=\"1.0\" encoding=\"EUC-JP\"]) (r \"日本\")))"},
      {ok + "Content-Type: text/html\r\n\r\n<p class=a>x<br>y</p>", "(text/html (([P CLASS=\"a\"] \"x\" (BR) \"y\")))"},
      {ok + "Content-Type: Text/XML; charset=\"EUC-JP\"\r\n\r\n<r>" + euc + "</r>", "(Text/XML ((r \"日本\")))"},
  };
  ZuThreadScope scope("replies");
  for (const Case& c : cases) EXPECT_EQ(reply_of(c.bytes), c.want) << c.bytes;
  REMOTE_SESSION_OPT unwrapped{};
  unwrapped.return_format = 2;
  EXPECT_EQ(reply_of(ok + "Content-Type: text/xml\r\n\r\n<r>x</r>", &unwrapped), "((r \"x\"))");
}

TEST_F(HttpSession, BodiesPastTheCapAreRefused) {
  set_http_reply_cap(8);
  const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n";
  ZuThreadScope scope("cap");
  EXPECT_EQ(reply_of(head + "\r\n12345678"), "text/plain raw:12345678");
  EXPECT_EQ(reply_of(head + "\r\n123456789"), "error 80040a12 RemoteSession (\"http connection error\")");
  EXPECT_EQ(reply_of(head + "Content-Length: 9\r\n\r\n123456789"),
            "error 80040a12 RemoteSession (\"http connection error\")");
  // A parsed body ends with the reader's refusal.
  std::string xml = "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n<r>" + std::string(100000, 'x') + "</r>";
  set_http_reply_cap(1000);
  EXPECT_NE(reply_of(xml).find("input over its memory budget"), std::string::npos);
}

TEST_F(HttpSession, MethodWordsAreTheNameWithLettersUpperCased) {
  const std::pair<std::string, std::string> cases[] = {
      {"get", "GET"}, {"Post", "POST"}, {"m-search2", "M-SEARCH2"}, {"prüfen", "PRüFEN"}, {"", ""}};
  for (const auto& [in, want] : cases) {
    L_CHAR* m = get_method(wide(in).c_str());
    EXPECT_EQ(narrow(m), want);
    d_f_ree(m);
  }
}

// ---- a server of this test: answers every request with its path as a
// text/plain body; a path "/hold" waits until it is let go.
class Server {
 public:
  Server() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 16);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~Server() {
    release();
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
    for (std::thread& t : answers_) t.join();
  }
  int port() const { return port_; }
  void release() {
    std::lock_guard<std::mutex> g(m_);
    held_ = false;
    cv_.notify_all();
  }

 private:
  void serve() {
    for (;;) {
      int c = accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      answers_.emplace_back([this, c] { answer(c); });
    }
  }
  void answer(int c) {
    std::string req;
    char buf[512];
    while (req.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = read(c, buf, sizeof buf);
      if (n <= 0) break;
      req.append(buf, static_cast<size_t>(n));
    }
    std::string path = req.substr(4, req.find(' ', 4) - 4);
    if (path == "/hold") {
      std::unique_lock<std::mutex> g(m_);
      cv_.wait(g, [this] { return !held_; });
    }
    std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + path;
    (void)!write(c, reply.data(), reply.size());
    close(c);
  }
  int fd_;
  int port_;
  std::thread thread_;
  std::vector<std::thread> answers_;
  std::mutex m_;
  std::condition_variable cv_;
  bool held_ = true;
};

bool ready(ZU_SEXP* delayed) {
  D_SEXP* d = search_d_sexp(delayed);
  lock_task(zui_lock);
  bool r = d && (d->flags & 1);
  unlock_task(zui_lock, "test");
  return r;
}

TEST_F(HttpSession, FiveReplyKeysInTurnAndAHeldReplyHoldsOnlyItsKey) {
  Server server;
  URL u{};
  get_url2(&u, wide("http://127.0.0.1:" + std::to_string(server.port()) + "/").c_str());
  ZuThreadScope scope("keys");
  GcFrame frame("keys");
  std::vector<int> keys;
  std::vector<ZU_SEXP*> pending;
  const char* paths[] = {"/hold", "/2", "/3", "/4", "/5", "/6"};
  for (const char* p : paths) {
    ZU_SEXP* form = forms_of(std::string("(get \"") + p + "\")")->pair.car;
    ZU_SEXP* d = one_session(&u, form, nullptr, nullptr, 0, false);
    ASSERT_EQ(sexp_type(d), ZU_TYPE_DELAY) << p;
    pending.push_back(d);
    keys.push_back(session_http_last_key());
  }
  for (size_t i = 1; i < keys.size(); ++i) EXPECT_EQ(keys[i], keys[i - 1] % 5 + 1);
  EXPECT_EQ(keys[5], keys[0]);  // the sixth shares the held reply's key
  // The four other keys answer while the first is held...
  for (int i = 1; i < 5; ++i) EXPECT_EQ(shown(pending[i]), std::string("(text/plain #2#") + paths[i] + "])");
  EXPECT_FALSE(ready(pending[0]));
  EXPECT_FALSE(ready(pending[5]));
  // ... and the sixth comes after the held one, once it is let go.
  server.release();
  EXPECT_EQ(shown(pending[5]), "(text/plain #2#/6])");
  EXPECT_TRUE(ready(pending[0]));
  EXPECT_EQ(shown(pending[0]), "(text/plain #5#/hold])");
  free_url(&u);
}

TEST_F(HttpSession, ProxySettingsRefuseWhatTheyCannotHold) {
  EXPECT_EQ(set_native_proxy_direct_access("dup.example"), 0);
  EXPECT_EQ(set_native_proxy_direct_access("dup.example"), -1);
  EXPECT_EQ(set_initial_sexp(987654, qnlisp_top_env1, nullptr), -1);
  ZuThreadScope scope("proxy");
  EXPECT_EQ(shown(get_native_proxyinfo()), "(proxyinfo \"NoProxy\")");
  URL u{};
  get_url2(&u, wide("zup://proxy.example:7000/").c_str());
  set_native_proxy(&u);
  EXPECT_EQ(shown(get_native_proxyinfo()),
            "(proxyinfo \"NativeProxy\" \"proxy.example\" 7000 (server \"NoProxy\" \"dup.example\"))");
  // A request of an unknown session is refused before anything is sent.
  int mode = 0;
  ZU_SEXP* r = native_proxy_send_session(&mode, qnlisp_top_env1, 987654, &u, nullptr, nullptr, nullptr,
                                         forms_of("1"), nullptr, 0, 0, nullptr);
  EXPECT_EQ(mode, 2);
  EXPECT_EQ(shown(r), "error 80040503 RemoteSession (\"invalid session id\" 987654)");
  set_native_proxy(nullptr);
  EXPECT_EQ(shown(get_native_proxyinfo()), "(proxyinfo \"NoProxy\")");
  free_url(&u);
}

}  // namespace
