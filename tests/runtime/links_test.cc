// Interpreter links: the line protocol driven by a raw TCP client, remote
// queries between two interpreters of one process and of two processes,
// and the time-outs of the interpreter tick.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <vector>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "runtime/delayed.h"
#include "runtime/front.h"
#include "runtime/relay.h"
#include "runtime/remote.h"
#include "runtime/zu_init.h"
#include "runtime_test_util.h"
#include "support/child.h"
#include "support/loopback.h"
#include "support/runtime/interpreters.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zu/env.h"
#include "zu/peer.h"
#include "zu/printer.h"
#include "zu/gc.h"


namespace {

// The admission of a line link: a line end, the encoding, then Allow.
bool admitted(const std::string& got) {
  return got.rfind("\n&cx", 0) == 0 && got.find(";\n<Permission>Allow</Permission>\n") != std::string::npos;
}

// ---- built-ins the tests bind (the library's own come later)

D_SEXP* later_value = nullptr;

ZU_SEXP* prim_local_eval(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* n = get_el(form, 1);
  if (get_type(n) != ZU_TYPE_INTEGER) return form_error(form, ZU_ER_TYPE, "LocalEval", "sequence");
  return local_eval(static_cast<int>(n->integer.num), get_el(form, 2));
}
ZU_SEXP* prim_local(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* v = local_query(env, nullptr, get_el(form, 1));
  get_type(v);
  return v;
}
ZU_SEXP* prim_later(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  return new_d_sexp(&later_value);
}
// (while (Running) 1) tells the test that the peer's evaluation has begun.
std::atomic<bool> peer_running{false};
ZU_SEXP* prim_running(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  peer_running = true;
  return get_integer(1, nullptr);
}

// What (PrintChain type raw) calls delivered: "type:text" per call, the
// text decoded from its 4-byte codes. While chain_stall is set, a call
// is not answered (a silent peer).
std::mutex chain_lock;
std::string chain_text;
std::atomic<bool> chain_stall{false};
ZU_SEXP* prim_print_chain(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* type = get_el(form, 1);
  ZU_SEXP* raw = get_el(form, 2);
  if (get_type(type) != ZU_TYPE_STRING || get_type(raw) != ZU_TYPE_RAW)
    return form_error(form, ZU_ER_TYPE, "PrintChain", "type missmatch");
  {
    BlockingRegion region;
    while (chain_stall) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::string t = static_cast<char>(str_text(type)[0]) + std::string(":");
  for (uint32_t i = 0; i + 4 <= raw->raw.size; i += 4) t.push_back(static_cast<char>(raw->raw.data[i + 3]));
  std::lock_guard<std::mutex> g(chain_lock);
  chain_text += t;
  return get_integer(raw->raw.size, nullptr);
}
std::string chain_seen() {
  std::lock_guard<std::mutex> g(chain_lock);
  return chain_text;
}

void bind_test_prims() {
  static bool done = false;
  if (done) return;
  done = true;
  static const QN_PRIM_DEF defs[] = {{"LocalEval", prim_local_eval, 0, 3, 3, 0},
                                     {"Local", prim_local, 0, 2, 2, 0},
                                     {"Later", prim_later, 0, 1, 1, 0},
                                     {"PrintChain", prim_print_chain, 0, 3, 3, 0},
                                     {"Running", prim_running, 0, 1, 1, 0},
                                     {nullptr, nullptr, 0, 0, 0, 0}};
  ZuThreadScope scope("bind");
  bind_prims(qnlisp_top_env0, defs);
  // The agent's table of what a peer may call has no row for the test's
  // own built-ins, so it refuses them to peers; these two the peers call.
  for (const char* name : {"Later", "Running"}) {
    ZU_SEXP* f = get_env_symbol(qnlisp_top_env0, W(name).c_str(), 0);
    ASSERT_TRUE(f && f->func) << name;
    f->func->peer_rule = static_cast<uint8_t>(PEER_RULE::kPeerAny);
  }
}

std::string query(ZU_INTERPRETER* me, int link, const char* text) {
  ZU_SEXP* v = remote_query(link, me->env, W(text).c_str(), nullptr);
  get_type(v);
  return printed(v);
}

// A main interpreter that lives until the process ends (when the main
// interpreter closes, no other may start).
class Links : public ::testing::Test {
 protected:
  void SetUp() override {
    init_zu();
    bind_test_prims();
    if (!ensure_main_interpreter()) GTEST_SKIP() << "the main interpreter has closed in this process";
    set_zui_tick_ms(5000);
  }
};

TEST_F(Links, LineProtocolSequenceNumbersCancelAndHeaders) {
  int port = 0;
  int listener = open_listener(&port);
  ASSERT_GT(listener, 0);
  LineClient c(port);
  ASSERT_TRUE(c.ok());
  c.send("\n");
  ASSERT_TRUE(c.wait_for("</Permission>\n"));
  EXPECT_TRUE(admitted(c.got())) << c.got();
  size_t admission = c.got().size();
  // Forms over several lines, blank (keep-alive) lines between them, and
  // an encoding header: each reply carries the line on which its form
  // began (a symbol in brackets, read back as a symbol inside <Result>).
  c.send("(+ 1 2)\n\n(+\n 3\n 4)\n\n\n(quote x) (quote y)\n<?zu encoding=\"UTF-8\"?>\n"
         "<Permission>Allow</Permission>\n<Permission>Allow</Permission>\n");
  // Only the first answer of a peer is a permission answer.
  ASSERT_TRUE(c.wait_for("<Result> 12 ")) << c.got();
  std::string replies = c.got().substr(admission);
  EXPECT_EQ(replies.substr(0, replies.find("<Result> 12 ") + 12),
            "<Result> 2 3</Result>\n<Result> 4 7</Result>\n<Result> 9 [x]</Result>\n<Result> 9 [y]</Result>\n"
            "<Result> 10 ()</Result>\n<Result> 12 ");
  // A cancel stops a long evaluation, which ends the link. It is sent once
  // the evaluation runs: one that comes while the form waits in the queue
  // is forgotten when the relay takes the form.
  peer_running = false;
  c.send("(while (Running) 1)\n");
  ASSERT_TRUE(wait_until([] { return peer_running.load(); }));
  c.send("<Cancel/>\n");
  EXPECT_TRUE(c.wait_close());
  EXPECT_NE(c.got().find("<Result> 13 ()</Result>\n"), std::string::npos);
  EXPECT_EQ(close_interpreter(listener), 0);
}

TEST_F(Links, RefusalsAndTheFirstByte) {
  int port = 0;
  int denied = open_listener(&port, {.allow = false});
  ASSERT_GT(denied, 0);
  {
    LineClient c(port);
    EXPECT_TRUE(c.wait_close());
    EXPECT_EQ(c.got(), "<Permission>Denied</Permission>\n");
  }
  close_interpreter(denied);

  int listener = open_listener(&port, {.accept_interval = 1});
  ASSERT_GT(listener, 0);
  {
    // Nothing arrives: the connection is dropped and the wait doubles.
    LineClient c(port);
    EXPECT_TRUE(c.wait_close());
    EXPECT_EQ(c.got(), "");
    // The time-out closes the connection before the accept thread records
    // the longer wait, so give it a moment.
    ZU_INTERPRETER info;
    for (int i = 0; i < 200; ++i) {
      ASSERT_EQ(get_zui_info(&info, listener), 0);
      if (info.accept_interval != 1u) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(info.accept_interval, 2u);
  }
  {
    // Not a line end: handed to the HTTP services, which decline.
    LineClient c(port);
    c.send("GET / HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(c.wait_close());
    EXPECT_EQ(c.got(), "");
  }
  {
    // Descriptors short: Busy before anything is read.
    rlimit old{};
    getrlimit(RLIMIT_NOFILE, &old);
    int limit = 0;
    int used = s_check_resource2(&limit);
    rlimit low = old;
    low.rlim_cur = static_cast<rlim_t>(used + 4);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    LineClient c(port);
    bool closed = c.wait_close();
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_TRUE(closed);
    EXPECT_EQ(c.got(), "<Permission>Busy</Permission>\n");
  }
  close_interpreter(listener);
}

// Peers at once and one after another are all served, each by the thread
// that accepted it while a successor waits for the next, and closing the
// listener ends its threads, the waiting one among them.
TEST_F(Links, PeersAtOnceAndInTurnAreServedAndClosingTheListenerEndsItsThreads) {
  int port = 0;
  int listener = open_listener(&port);
  ASSERT_GT(listener, 0);
  {
    std::vector<std::unique_ptr<LineClient>> peers;
    for (int i = 0; i < 12; ++i) peers.push_back(std::make_unique<LineClient>(port));
    for (auto& c : peers) c->send("\n(+ 1 2)\n");
    for (auto& c : peers) EXPECT_TRUE(c->wait_for(" 3</Result>\n")) << c->got();
  }
  for (int i = 0; i < 20; ++i) {
    LineClient c(port);
    c.send("\n(+ 1 2)\n");
    EXPECT_TRUE(c.wait_for(" 3</Result>\n")) << c.got();
  }
  auto closed = std::async(std::launch::async, [listener] { return close_interpreter(listener); });
  ASSERT_EQ(closed.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(closed.get(), 0);
  EXPECT_FALSE(LineClient(port).wait_for("Permission"));
}

TEST_F(Links, RemoteQueriesNestedLocalEvalAndPeerErrors) {
  int port = 0;
  int listener = open_listener(&port);
  ASSERT_GT(listener, 0);
  int link = open_link(port);
  ASSERT_GT(link, 0);
  std::string r = as_asker([&](ZU_INTERPRETER* me) {
    std::string out = query(me, link, "(+ 40 2)");
    // The peer asks back while the query waits; the answer is evaluated in
    // the asker's environment.
    EXPECT_EQ(0, set_env(me->env, W("secret").c_str(), get_integer(7, nullptr)));
    out += " " + query(me, link, "(* 6 (Local secret))");
    ZU_SEXP* e = remote_query(link, me->env, W("(car 1)").c_str(), nullptr);
    get_type(e);
    out += " " + std::string(get_type(e) == ZU_TYPE_ERROR && error_code(e) == ZU_ER_TYPE &&
                                     zu_wcmp_ascii(e->error->func, "remote call") == 0
                                 ? "remote-error"
                                 : printed(e));
    // A command the printer refuses is an error here; the link stays.
    ZU_SEXP* deep = nullptr;
    for (int i = 0; i <= ZU_PRINT_MAX_DEPTH; ++i) deep = list(deep);
    ZU_SEXP* refused = remote_query(link, me->env, nullptr, deep);
    out += error_code(refused) == ZU_ER_TYPE ? " refused" : " sent";
    out += " " + query(me, link, "(+ 1 1)");
    out += " " + printed(remote_query(999999, me->env, W("1").c_str(), nullptr));
    // The session layer's wait: under the lock, making no value.
    ZU_SEXP* d = remote_query(link, me->env, W("(+ 1 2)").c_str(), nullptr);
    auto* q = static_cast<ZU_RESULT*>(d->delay.work);
    lock_task(zui_lock);
    int how = _wait_result_inp(q);
    unlock_task(zui_lock, "test");
    out += how == ZU_WAIT_REPLY ? " waited:" + printed(get_el(q->ret, 2)) : " wait-failed";
    return out;
  });
  EXPECT_NE(r.find(" waited:3"), std::string::npos) << r;
  EXPECT_EQ(r.substr(0, r.find(" #error")), "42 42 remote-error refused 2");
  EXPECT_NE(r.find("\"invalid iid 1\""), std::string::npos);
  close_interpreter(link);
  close_interpreter(listener);
}

// The serving side's interpreter for a link (the accepted connection).
int accepted_peer(int listener, int link) {
  ZU_INTERPRETER info;
  for (int iid = get_next_iid(0); iid > 0; iid = get_next_iid(iid))
    if (iid != link && iid != listener && get_zui_info(&info, iid) == 0 && info.a_type == ZUI_CONNECT &&
        info.pl_accept)
      return iid;
  return 0;
}

TEST_F(Links, CancelAndPeerClosingEndTheWait) {
  int port = 0;
  int listener = open_listener(&port);
  ASSERT_GT(listener, 0);
  int link = open_link(port);
  ASSERT_GT(link, 0);
  peer_running = false;
  std::string r = as_asker([&](ZU_INTERPRETER* me) {
    int mine = static_cast<int>(me->id);
    std::thread canceller([&] {
      if (wait_until([] { return peer_running.load(); })) send_cancel(mine);
    });
    ZU_SEXP* v = remote_query(link, me->env, W("(while (Running) 1)").c_str(), nullptr);
    get_type(v);
    canceller.join();
    return std::to_string(error_code(v));
  });
  EXPECT_EQ(r, std::to_string(ZU_ER_CANCEL_WAIT));
  // The cancel reached the peer, whose link then ended: so did ours.
  EXPECT_TRUE(wait_stop_interpreter(link, 60));

  link = open_link(port);
  ASSERT_GT(link, 0);
  peer_running = false;
  r = as_asker([&](ZU_INTERPRETER* me) {
    std::thread closer([&] {
      if (wait_until([] { return peer_running.load(); })) close_interpreter_nowait(accepted_peer(listener, link));
    });
    ZU_SEXP* v = remote_query(link, me->env, W("(while (Running) 1)").c_str(), nullptr);
    get_type(v);
    closer.join();
    return printed(v);
  });
  EXPECT_NE(r.find("\"stream error\""), std::string::npos) << r;
  EXPECT_NE(r.find("\"(while (Running) 1)\""), std::string::npos) << r;
  EXPECT_TRUE(wait_stop_interpreter(link, 60));

  // The asker's own interpreter is closed while it waits: the wait ends with
  // a break, and the server of its query is told to cancel, as above. (The
  // peer closed above may still be in its loop a moment: it goes first, so
  // that only the new peer says it runs.)
  EXPECT_TRUE(wait_until([&] { return accepted_peer(listener, 0) == 0; }));
  link = open_link(port);
  ASSERT_GT(link, 0);
  peer_running = false;
  r = as_asker([&](ZU_INTERPRETER* me) {
    int mine = static_cast<int>(me->id);
    std::thread closer([&] {
      if (wait_until([] { return peer_running.load(); })) close_interpreter_nowait(mine);
    });
    ZU_SEXP* v = remote_query(link, me->env, W("(while (Running) 1)").c_str(), nullptr);
    get_type(v);
    closer.join();
    return std::to_string(error_code(v));
  });
  EXPECT_EQ(r, std::to_string(ZU_ER_EXIT));
  EXPECT_TRUE(wait_until([&] { return check_iid(link) == 0; })) << "the server was told to cancel; its link ended";
  close_interpreter(link);
  close_interpreter(listener);
}

// Text written to a chain stream on a link reaches the peer as PrintChain
// calls, in order; a flush returns once the peer has answered for it, and
// gives up on a peer that does not answer.
TEST_F(Links, ChainStreamTextReachesThePeerAsPrintChain) {
  int port = 0;
  int listener = open_listener(&port);
  ASSERT_GT(listener, 0);
  int link = open_link(port);
  ASSERT_GT(link, 0);
  EXPECT_EQ(s_open_chain(link, 'x'), nullptr);
  STREAM* out = s_open_chain(link, 'o');
  STREAM* err = s_open_chain(link, 'e');
  ASSERT_NE(out, nullptr);
  ASSERT_NE(err, nullptr);
  s_printf(out, "%s", "hello\n");
  EXPECT_EQ(s_flush(out), 0);
  EXPECT_EQ(chain_seen(), "o:hello\n");
  s_printf(err, "%s", "oops");
  EXPECT_EQ(s_flush(err), 0);
  EXPECT_EQ(chain_seen(), "o:hello\ne:oops");
  // A silent peer: the flush fails after the wait, the next one does not
  // wait again, and the close does not wait for the answer either.
  set_chain_flush_wait(200);
  chain_stall = true;
  s_printf(out, "%s", "x");
  EXPECT_EQ(s_flush(out), -1);
  s_printf(out, "%s", "y");
  EXPECT_EQ(s_flush(out), -1);
  d_s_close(out);
  chain_stall = false;
  set_chain_flush_wait(0);
  ASSERT_TRUE(wait_until([] { return chain_seen() == "o:hello\ne:oopso:xo:y"; })) << chain_seen();
  d_s_close(err);
  close_interpreter(link);
  close_interpreter(listener);
}

TEST_F(Links, DelayedRepliesKeepTheirSequenceNumber) {
  int port = 0;
  int listener = open_listener(&port);
  ASSERT_GT(listener, 0);
  LineClient c(port);
  c.send("\n");
  ASSERT_TRUE(c.wait_for("</Permission>\n"));
  c.send("(Later)\n(+ 1 1)\n");
  ASSERT_TRUE(c.wait_for("<Result> 3 2</Result>\n"));
  EXPECT_EQ(c.got().find("<Result> 2 "), std::string::npos);
  {
    ZuThreadScope scope("test");
    set_d_sexp(later_value, get_integer(5, nullptr));
  }
  EXPECT_TRUE(c.wait_for("<Result> 2 5</Result>\n"));
  close_interpreter(listener);
}

TEST_F(Links, ConnectingAnswersAndTimeouts) {
  set_zui_tick_ms(50);
  set_permission_wait(1);
  // A peer that answers with a given line, or never.
  auto serve = [](const char* answer, int* port) {
    int fd = listen_loopback(port, 4);
    return std::thread([fd, answer] {
      int c = accept(fd, nullptr, nullptr);
      char buf[16];
      (void)!read(c, buf, 1);
      if (answer) (void)!::send(c, answer, strlen(answer), MSG_NOSIGNAL);
      (void)!read(c, buf, sizeof buf);  // until the interpreter gives up
      close(c);
      close(fd);
    });
  };
  int port = 0;
  std::thread t = serve("<Permission>Denied</Permission>\n", &port);
  EXPECT_EQ(open_link(port), ZUI_ERR_DENIED);
  t.join();
  t = serve("<Permission>Busy</Permission>\n", &port);
  EXPECT_EQ(open_link(port), ZUI_ERR_BUSY);
  t.join();
  bl_clear();
  t = serve(nullptr, &port);
  EXPECT_EQ(open_link(port), ZUI_ERR_CONNECT);
  t.join();
  bl_clear();

  // Silent and connection time-outs break links off after their ticks.
  int listener = open_listener(&port, {.silent_timeout = 3});
  ASSERT_GT(listener, 0);
  {
    LineClient c(port);
    c.send("\n");
    EXPECT_TRUE(c.wait_close());
    EXPECT_NE(c.got().find("Allow"), std::string::npos);
  }
  close_interpreter(listener);
  listener = open_listener(&port, {.connection_timeout = 20});
  ASSERT_GT(listener, 0);
  {
    LineClient c(port);
    c.send("\n");
    std::thread talker([&c] {
      for (int i = 0; i < 100; ++i) {
        c.send("1\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
      }
    });
    EXPECT_TRUE(c.wait_close());
    talker.join();
    EXPECT_NE(c.got().find("<Result>"), std::string::npos);
  }
  close_interpreter(listener);
  set_permission_wait(120);
}

TEST(RemoteSequence, WrapTolerantOrder) {
  EXPECT_EQ(cmp_round(1, 2), -1);
  EXPECT_EQ(cmp_round(0x7FFFFFFF, static_cast<int>(0x80000000u)), -1);
  EXPECT_EQ(cmp_round(static_cast<int>(0xFFFFFFFFu), 0), -1);
  EXPECT_EQ(cmp_round(5, 5), 0);
  EXPECT_EQ(cmp_round(static_cast<int>(0xBFFFFFFFu), 3), 1);
}

// The peer process of PeerProcessServesQueries and links_outside_test.py:
// listens on the loopback address, writes "port N" on its standard output
// and serves until its standard input ends.
QNMX_CHILD_BODY(LinkPeer) {
  init_zu();
  bind_test_prims();
  if (!ensure_main_interpreter()) return 2;
  int port = 0;
  int listener = open_listener(&port);
  if (listener <= 0) return 3;
  std::printf("port %d\n", port);
  std::fflush(stdout);
  char buf[256];
  while (read(0, buf, sizeof buf) > 0) {
  }
  close_interpreter(listener);
  return child_exit(0);
}

// Two processes: this binary started again as a peer that listens.
TEST_F(Links, PeerProcessServesQueries) {
  Conversation peer = Conversation::body("LinkPeer", {});
  ASSERT_TRUE(peer.read_until("\n")) << peer.output();
  int port = 0;
  ASSERT_EQ(std::sscanf(peer.output().c_str(), "port %d", &port), 1) << peer.output();
  int link = open_link(port);
  ASSERT_GT(link, 0);
  std::string r = as_asker([&](ZU_INTERPRETER* me) {
    EXPECT_EQ(0, set_env(me->env, W("secret").c_str(), get_integer(3, nullptr)));
    std::string out = query(me, link, "(+ 1 2)");
    out += " " + query(me, link, "(* 2 (Local secret))");
    return out;
  });
  EXPECT_EQ(r, "3 6");
  close_interpreter(link);
  EXPECT_EQ(peer.finish(), 0);
}

}  // namespace
