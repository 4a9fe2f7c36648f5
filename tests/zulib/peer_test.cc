// Local, LocalEval and the cancelling of loops across a plain line link on
// 127.0.0.1: this process asks, through the runtime's C++ interface, with
// the library bound as the agent binds it, and a qnmx process serves the
// other end of the link (handed to it as "+f3").
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <unistd.h>

#include "runtime/delayed.h"
#include "runtime/front.h"
#include "runtime/relay.h"
#include "runtime/remote.h"
#include "runtime/runtime_test_util.h"
#include "runtime/zu_init.h"
#include "support/child.h"
#include "support/temp_dir.h"
#include "zulib_test_util.h"

extern char** environ;

namespace {

// A connected pair of TCP sockets on the loopback interface, neither
// inherited by children (the peer gets its end as descriptor 3).
bool loopback_pair(int* a, int* b) {
  int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  bool ok = bind(l, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(l, 1) == 0 &&
            getsockname(l, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
  *a = ok ? socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
  ok = ok && connect(*a, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  *b = ok ? accept4(l, nullptr, nullptr, SOCK_CLOEXEC) : -1;
  close(l);
  return ok && *b >= 0;
}

// A built-in of this process that LocalEval reaches: counts its calls.
std::atomic<int> g_pings{0};
ZU_SEXP* prim_ping(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ++g_pings;
  return get_string_ascii("pong");
}

// The library and the interpreter runtime, as the agent starts them.
class Runtime : public ::testing::Test {
 protected:
  void SetUp() override {
    init_library_once();
    init_zu();
    set_break_check_hook(_zui_break_check);
    ASSERT_TRUE(ensure_main_interpreter());
    static const QN_PRIM_DEF defs[] = {{"Ping", prim_ping, 1, 1, 1, 0}, {}};
    ZuThreadScope scope("bind");
    bind_prims(qnlisp_top_env0, defs);
  }
  void TearDown() override { set_break_check_hook(nullptr); }
};

// The serving qnmx process and this process's end of the link.
class Peer : public Runtime {
 protected:
  void SetUp() override {
    Runtime::SetUp();
    int mine = -1, theirs = -1, out[2];
    ASSERT_TRUE(loopback_pair(&mine, &theirs));
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, theirs, 3);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    std::string home = "HOME=" + home_.path();
    std::vector<char*> envp{home.data()};
    for (char** e = environ; *e; ++e)
      if (std::strncmp(*e, "HOME=", 5) != 0 && std::strncmp(*e, "ZUPATH=", 7) != 0) envp.push_back(*e);
    envp.push_back(nullptr);
    char bin[] = QNMX_BIN, arg[] = "+f3";
    char* argv[] = {bin, arg, nullptr};
    pid_t pid = -1;
    int r = posix_spawn(&pid, bin, &fa, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(theirs);
    close(out[1]);
    stdout_ = out[0];
    ASSERT_EQ(r, 0);
    child_ = Child(pid);
    ZuThreadScope scope("link");
    ZU_INTERPRETER* z = new_zu_interpreter();
    z->a_type = ZUI_DESCRIPTER;
    z->env = qnlisp_top_env1;
    z->environment = 1;
    z->inp_desc = mine;
    z->out_desc = dup(mine);
    z->err_desc = -1;
    link_ = setup_i(z);
    ASSERT_GT(link_, 0);
  }
  void TearDown() override {
    if (link_ > 0) close_interpreter(link_);
    if (child_.started()) {
      EXPECT_EQ(child_.wait_for(std::chrono::seconds(20)), 0);
    }
    if (stdout_ >= 0) close(stdout_);
    Runtime::TearDown();
  }

  std::string ask(ZU_INTERPRETER* me, const std::string& text) {
    ZU_SEXP* v = remote_query(link_, me->env, W(text).c_str(), nullptr);
    get_type(v);
    return shown(v);
  }

  // True once the peer has written its n-th Test line on its standard output.
  bool peer_printed(int n) {
    return wait_until([&] {
      pollfd p{stdout_, POLLIN, 0};
      char buf[256];
      ssize_t k;
      while (poll(&p, 1, 0) > 0 && (k = read(stdout_, buf, sizeof buf)) > 0) printed_.append(buf, size_t(k));
      int count = 0;
      for (size_t at = 0; (at = printed_.find("chained", at)) != std::string::npos; ++at) ++count;
      return count >= n;
    });
  }

  // Asks `loop` and cancels it once the peer printed its n-th Test line;
  // then asks `next`. *answer: next's answer; the seconds from the cancel
  // to that answer are returned. A peer whose loop never saw the cancel
  // would never answer: it is killed after a while instead.
  double cancel_then_ask(ZU_INTERPRETER* me, const std::string& loop, int n, const std::string& next,
                         std::string* cancelled, std::string* answer) {
    int iid = static_cast<int>(me->id);
    auto at = std::chrono::steady_clock::now();
    std::thread canceller([&] {
      if (!peer_printed(n)) return;
      at = std::chrono::steady_clock::now();
      send_cancel(iid);
    });
    *cancelled = ask(me, loop);
    canceller.join();
    std::atomic<bool> answered{false};
    std::thread watchdog([&] {
      if (!wait_until([&] { return answered.load(); }, std::chrono::seconds(30))) child_.kill(SIGKILL);
    });
    *answer = ask(me, next);
    answered = true;
    watchdog.join();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - at).count();
  }

  TempDir home_{"zulib_peer"};
  Child child_;
  int link_ = -1;
  int stdout_ = -1;
  std::string printed_;
};

TEST_F(Peer, LocalEvaluatesOnTheAskingSideWhileItWaits) {
  std::vector<std::string> got;
  as_asker([&](ZU_INTERPRETER* me) {
    EXPECT_EQ(0, set_env(me->env, W("secret").c_str(), get_integer(41, nullptr)));
    got.push_back(ask(me, "(+ 1 (Local (+ secret 0)))"));
    // Forms go one after the other, each into the waiting query's environment.
    got.push_back(ask(me, "(List (Local (Define seen \"by the asker\") (Ping) secret) (Local (Ping)))"));
    got.push_back(shown(eval_text(me->env, "seen")));
    // The first failure ends Local: its later forms are not sent.
    got.push_back(ask(me, "(GE (ErrHandler (Local (car 1) (Define after 1))) 4)"));
    got.push_back(shown(eval_text(me->env, "(IfDef after \"not sent\")")));
    got.push_back(ask(me, "(GE (ErrHandler (LocalEval 5 1)) 6)"));
  });
  EXPECT_EQ(g_pings.load(), 2);
  EXPECT_EQ(got, (std::vector<std::string>{"42", "(41 \"pong\")", "\"by the asker\"", "\"remote call\"",
                                           "\"not sent\"", "(\"local evaluation error\" 1)"}));
}

TEST_F(Peer, CancelStopsLoopsThatCallNothing) {
  const std::string cancel = "error 80011406 \"cancel\" ()";
  const std::string code = std::to_string(static_cast<int32_t>(ZU_ER_CANCEL));
  as_asker([&](ZU_INTERPRETER* me) {
    std::string cancelled, answer;
    // Body and condition call nothing: only the loop's own break check can
    // see the cancel. ErrHandler keeps the link serving.
    double took = cancel_then_ask(me, "(Define r (ErrHandler (Sequence () (Test) (While 1 1))))", 1,
                                  "(List (GE r 4) (GE r 5))", &cancelled, &answer);
    EXPECT_EQ(cancelled, cancel);
    EXPECT_EQ(answer, "(\"cancel\" " + code + ")");
    EXPECT_LT(took, 10.0);
    // A For over a long list, stopped part way.
    ask(me, "(Define l ()) (Define i 0) (While (< i 20000) (Sequence () (Define l (cons i l)) (Define i (+ i 1))))");
    took = cancel_then_ask(
        me, "(Define r (ErrHandler (Sequence () (Test) (For dec=\"l\" (Let (Sub (k 0)) (While (< k 99999) (set k (+ k 1))))))))",
        2, "(List (GE r 4) (GE r 5) (> (ListLength l) 0))", &cancelled, &answer);
    EXPECT_EQ(cancelled, cancel);
    EXPECT_EQ(answer, "(\"cancel\" " + code + " 1)");
    EXPECT_LT(took, 10.0);
    // Without ErrHandler a cancel ends the serving link, and the peer with it.
    cancel_then_ask(me, "(Sequence () (Test) (For 1 1))", 3, "1", &cancelled, &answer);
    EXPECT_EQ(cancelled, cancel);
  });
  EXPECT_EQ(child_.wait_for(std::chrono::seconds(10)), 0);
  EXPECT_TRUE(wait_stop_interpreter(link_, 60));
  link_ = -1;
}

// A value still being computed is looked at without waiting for it.
TEST_F(Runtime, IgnoreDelayDoesNotWait) {
  as_asker([](ZU_INTERPRETER* me) {
    D_SEXP* later = nullptr;
    EXPECT_EQ(0, set_env(me->env, W("pending").c_str(), new_d_sexp(&later)));
    EXPECT_EQ(run(me->env, "(IgnoreDelay pending)"), "()");
    ZU_SEXP* pair = eval_text(me->env, "(IgnoreDelay pending (List 2))");
    ASSERT_EQ(sexp_type(pair), ZU_TYPE_LIST);
    EXPECT_EQ(sexp_type(pair->pair.car), ZU_TYPE_DELAY);
    gc_set_nl(pair, gc_qn_sexp);
    EXPECT_EQ(run(me->env, "(Define ignore.delay=\"\" kept pending)"), "kept");
    set_d_sexp(later, get_integer(7, nullptr));
    EXPECT_EQ(shown(pair), "(7 2)");
    EXPECT_EQ(run(me->env, "kept"), "7");
  });
}

}  // namespace
