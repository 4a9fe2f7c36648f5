// Sessions inside one process: the switch's ids and errors, the zup
// protocol's reading of peers' answers, the tick's choice of servers, and
// requests to a listener of this process (a pending reply of a closed
// session, the version cache, the log's relay).
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/alloc.h"
#include "base/log_hook.h"
#include "base/tick.h"
#include "netsvc/netsvc.h"
#include "stream/stream.h"
#include "netsvc/session.h"
#include "netsvc/session_zup_impl.h"
#include "runtime/interp.h"
#include "runtime/later_services.h"
#include "runtime/services.h"
#include "runtime/zu_init.h"
#include "support/child.h"
#include "text/convert.h"
#include "zu/eval.h"
#include "zu/gc.h"
#include "zu/printer.h"
#include "zulib/library.h"

namespace {

class Session : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    init_netsvc();
    init_zu();
    static char prog[] = "prog";
    static char* argv[] = {prog, nullptr};
    init_function(qnlisp_top_env0, qnlisp_top_env1, 1, argv);
  }
  // Requests and evaluation need an interpreter of the calling task.
  void SetUp() override {
    ZU_INTERPRETER* z = new_zu_interpreter();
    z->a_type = ZUI_SELF;
    z->env = qnlisp_top_env1;
    ASSERT_GT(setup_i(z), 0);
  }
  void TearDown() override { close_self_interpreter(); }

  // The printed value of the text's forms, evaluated in env1.
  static std::string run(const std::string& text) {
    ZuThreadScope scope("session test");
    ZU_SEXP* v = eval_body(qnlisp_top_env1, sexp_commands(utf8_cm, text.c_str(), nullptr));
    return print_text(v);
  }
  static std::string print_text(ZU_SEXP* v) {
    STREAM* s = s_open_string_write(utf8_cm);
    print_sexp(s, v, 0);
    std::string r = s_get_string(s);
    d_s_close(s);
    return r;
  }
  // A listener of this process, the main interpreter, that answers SetAgent
  // (and whatever the test defines in env1): its port, tried from a place
  // that depends on the process until one is free.
  static int listen(const std::string& options = "") {
    run("(Define SetAgent () (h a m) ())");
    for (int i = 0; i < 100; ++i) {
      int port = 20000 + (getpid() * 37 + i * 101) % 40000;
      std::string iid = run("(Define L (OpenInterpreter \"accept\" Env1 (Port " + std::to_string(port) + ") " + options +
                            " (Permission () (Allow \"ip\" \"127.0.0.1\" \"255.255.255.255\")))) L");
      if (iid.find_first_not_of("0123456789") != std::string::npos) continue;
      run("(SetMainInterpreter L)");
      return port;
    }
    ADD_FAILURE() << "no port to listen on";
    return 0;
  }
  static URL url(const std::string& text) {
    URL u;
    get_url2(&u, l_string(std_cm, text.c_str()));
    return u;
  }
};

TEST_F(Session, IdsGrowByOneAndPassOverOpenOnesAfterTheLargest) {
  int a = open_session(1);
  int b = open_session(1);
  EXPECT_EQ(b, a + 1);
  sw_set_last_session_id(INT_MAX - 1);
  EXPECT_EQ(open_session(1), INT_MAX);
  // 1 is the log's; a and b are still open.
  int next = open_session(1);
  EXPECT_EQ(next, b + 1);
  close_session(a);
  sw_set_last_session_id(a - 1);
  EXPECT_EQ(open_session(1), a);
  close_session(12345678);  // unknown: nothing
}

TEST_F(Session, RequestsRefusedByTheSwitch) {
  int sid = open_session(1);
  struct Case {
    const char* url;
    int sid;
    const char* data;
  } cases[] = {
      {"zup://127.0.0.1:1/@a/db/x", 999999, "(\"invalid session id(session)\" 999999)"},
      {"/db/x", sid, "(\"undefined proto(session)\")"},
      {"foo://h/db/x", sid, "(\"undefined port(session)\")"},
      {"foo://h:1/db/x", sid, "(\"invalid session protocol\" \"foo\")"},
  };
  ZuThreadScope scope("switch errors");
  for (const Case& c : cases) {
    URL u = url(c.url);
    ZU_SEXP* v = remote_session(qnlisp_top_env1, c.sid, &u, nullptr, nullptr, nullptr, nullptr, nullptr, 7, 0, nullptr);
    free_url(&u);
    ASSERT_EQ(get_type(v), ZU_TYPE_ERROR) << c.url;
    EXPECT_EQ(error_code(v), ZU_ER_PARAM) << c.url;
    EXPECT_EQ(n_string(std_cm, v->error->func), std::string("RemoteSession"));
    EXPECT_EQ(v->error->line, 7);
    EXPECT_EQ(print_text(v->error->data), c.data) << c.url;
  }
  // A server but no protocol name.
  URL u{};
  u.server = ll_copy_str(l_string(std_cm, "h"));
  u.port = 1;
  ZU_SEXP* v = remote_session(qnlisp_top_env1, sid, &u, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, nullptr);
  EXPECT_EQ(print_text(v->error->data), "(\"undefined proto(session)\")");
  u.proto = ll_copy_str(l_string(std_cm, "zup"));
  d_f_ree(u.server);
  u.server = nullptr;
  v = remote_session(qnlisp_top_env1, sid, &u, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, nullptr);
  EXPECT_EQ(print_text(v->error->data), "(\"undefined server(session)\")");
  free_url(&u);
  close_session(sid);
}

TEST_F(Session, UrlTextsInErrorsHideThePassword) {
  ZuThreadScope scope("url text");
  for (auto [in, out] : {std::pair{"zup://me:secret@h:1/@a/db/x.zu", "\"zup://me:****@h:1/@a/db/x.zu\""},
                         std::pair{"zup://me@h:1/db/", "\"zup://me@h:1/db/\""},
                         std::pair{"zup://h:1/db/x", "\"zup://h:1/db/x\""}, std::pair{"../x.zu", "\"/../x.zu\""}}) {
    URL u = url(in);
    EXPECT_EQ(print_text(session_url_string(&u)), out) << in;
    free_url(&u);
  }
}

TEST_F(Session, AgentTimeOutIsThreeTimesThePeersAndFitsTheTickCount) {
  ZuThreadScope scope("time-outs");
  struct Case {
    const char* reply;
    int seconds;
  } cases[] = {
      {"(zui-info (iid 3) (connection-timeout 40) (silent-timeout -1))", 120},
      {"(zui-info (connection-timeout -1))", -1},
      {"(zui-info (connection-timeout 2147483647))", INT_MAX / 5},
      {"(zui-info (connection-timeout 9223372036854775807))", INT_MAX / 5},
      {"(zui-info (connection-timeout 143165577))", INT_MAX / 5},
      {"(zui-info (connection-timeout \"40\"))", 120},
      {"(zui-info (iid 3))", 120},
      {"\"no list\"", 120},
  };
  for (const Case& c : cases) {
    ZU_SEXP* reply = sexp_commands(utf8_cm, c.reply, nullptr)->pair.car;
    EXPECT_EQ(agent_timeout_seconds(reply), c.seconds) << c.reply;
  }
  EXPECT_EQ(agent_timeout_seconds(get_error_ascii(nullptr, 0, ZU_ER_STREAM, "x", nullptr)), 120);
}

TEST_F(Session, PrefixRepliesAddOnlyWellShapedEntriesAndAtMostTenThousand) {
  ZuThreadScope scope("prefix replies");
  URL u = url("zup://prefix.test:1/db/");
  lock_task(session_lock);
  CON_SERVER* sv = _get_server(&u, 0, kAgentOrigin);
  unlock_task(session_lock, "test");
  free_url(&u);
  auto agents = [sv] {
    lock_task(session_lock);
    int n = 0;
    for (CON_AGENT* a = sv->agent; a; a = a->next) ++n;
    unlock_task(session_lock, "test");
    return n;
  };
  const char* shapes =
      "(5 (\".zu\") (\".zu\" 7 \"zu\" 1 (\"Get\")) (\".zu\" \"b\" \"zu\" 1 \"Get\") (\".zu\" \"c\" \"zu\" 1 (7 x))"
      " (\".zu\" \"d\" \"zu\" 1 (\"Get\" 7 \"Put\")) (\".zu\" \"d\" \"zu\" 1 (\"Get\")))";
  EXPECT_EQ(read_prefix_reply(sv, sexp_commands(utf8_cm, shapes, nullptr)->pair.car), 3);
  EXPECT_EQ(agents(), 1);
  lock_task(session_lock);
  CON_AGENT* d = _agent_by_prefix(sv, l_string(std_cm, ".zu"), l_string(std_cm, "Put"));
  EXPECT_TRUE(d && _agent_by_prefix(sv, l_string(std_cm, ".zu"), l_string(std_cm, "Get")) == d);
  unlock_task(session_lock, "test");
  std::string many = "(";
  for (int i = 0; i < 20000; ++i) many += "(\".mx\" \"m" + std::to_string(i) + "\" \"zu\" 1 (\"Get\"))";
  many += ")";
  EXPECT_EQ(read_prefix_reply(sv, sexp_commands(utf8_cm, many.c_str(), nullptr)->pair.car), kPrefixEntries);
  EXPECT_EQ(agents(), 1 + kPrefixEntries);
}

TEST_F(Session, TickTrimsUnattachedServersWithTheSmallestAttachCountsFirst) {
  std::vector<CON_SERVER*> servers;
  auto add_server = [&servers](int port) {
    URL u{};
    u.proto = ll_copy_str(l_string(std_cm, "zup"));
    u.server = ll_copy_str(l_string(std_cm, "tick.test"));
    u.port = port;
    servers.push_back(_get_server(&u, 0, kAgentOrigin));
    free_url(&u);
  };
  auto ports = [] {
    int p[8];
    int n = session_zup_server_ports(p, 8);
    return std::vector<int>(p, p + n);
  };
  // The process's own tick stays out of the way (it would trim and decay
  // between the steps below), and the sessions and servers that earlier
  // tests of this process left go first: the tick counts every one.
  struct TickOff {
    TickOff() { del_tick_with_data(session_tick, nullptr); }
    ~TickOff() { new_tick(session_tick, 10, nullptr); }
  } tick_off;
  std::vector<int> left;
  lock_task(session_lock);
  for (CON_SESSION* s = session_list; s; s = s->next) left.push_back(s->id);
  unlock_task(session_lock, "test");
  for (int id : left) close_session_zup(id);
  session_tick(nullptr);
  ASSERT_EQ(ports(), std::vector<int>{});
  // Five servers of two sessions: one goes, of those no session is attached
  // to and none of whose agents is in use, the one of the smallest attach
  // count, the newest of equals.
  lock_task(session_lock);
  for (int port = 1; port <= 5; ++port) add_server(port);
  _attach_server(_find_con_session(open_session_zup(1, kAgentOrigin)), servers[0]);
  _attach_server(_find_con_session(open_session_zup(1, kAgentOrigin)), servers[4]);
  servers[1]->ac = servers[2]->ac = servers[3]->ac = 9;
  CON_AGENT* busy = _get_agent(servers[3], l_string(std_cm, "busy"));
  busy->lock = 1;
  unlock_task(session_lock, "test");
  session_tick(nullptr);
  // Past a wrong choice the records below may be freed ones.
  ASSERT_EQ(ports(), (std::vector<int>{5, 4, 2, 1}));
  // Counts decay by a third each tick.
  lock_task(session_lock);
  EXPECT_EQ(servers[0]->ac, 11 * 2 / 3);
  EXPECT_EQ(servers[1]->ac, 9 * 2 / 3);
  busy->lock = 0;
  add_server(6);
  unlock_task(session_lock, "test");
  session_tick(nullptr);
  EXPECT_EQ(ports(), (std::vector<int>{6, 5, 2, 1}));
}

TEST_F(Session, AClosedSessionLivesUntilItsPendingReplyArrives) {
  int port = listen();
  int sid = open_session(1);
  URL u = url("zup://127.0.0.1:" + std::to_string(port) + "/@agentA/db/x.zu");
  ZuThreadScope scope("closed session");
  GcFrame frame("closed session");
  ZU_SEXP* forms = sexp_commands(utf8_cm, "(Sequence () (Sleep 1) 5)", nullptr);
  ZU_SEXP* pending = remote_session(qnlisp_top_env1, sid, &u, nullptr, nullptr, nullptr, forms, nullptr, 0, 0, nullptr);
  ASSERT_EQ(sexp_type(pending), ZU_TYPE_DELAY);
  lock_task(session_lock);
  int zid = session_list->id;  // opened by this request, the newest
  unlock_task(session_lock, "test");
  close_session(sid);
  ZU_SEXP* refused = remote_session_zup(qnlisp_top_env1, zid, &u, nullptr, nullptr, nullptr, forms, nullptr, 0, 0, nullptr);
  EXPECT_EQ(print_text(refused->error->data), "(\"invalid session id (closed)\")");
  EXPECT_EQ(print_text(pending), "5");
  lock_task(session_lock);
  EXPECT_EQ(_find_con_session(zid), nullptr);
  unlock_task(session_lock, "test");
  refused = remote_session_zup(qnlisp_top_env1, zid, &u, nullptr, nullptr, nullptr, forms, nullptr, 0, 0, nullptr);
  EXPECT_EQ(print_text(refused->error->data), "(\"invalid session id\" " + std::to_string(zid) + ")");
  free_url(&u);
}

TEST_F(Session, RemoteVersionIsAskedOnceAndKeptPerAgentAndLayer) {
  run("(Define asked 0)"
      "(Define GetVersion () (h) (Sequence () (set asked (+ asked 1))"
      " (List (List layer \"n\" \"p\" \"v1\" \"2001-2-3\"))))");
  int port = listen();
  int sid = open_session(1);
  URL u = url("zup://127.0.0.1:" + std::to_string(port) + "/@agentA/db/");
  VERSION* v = get_remote_version(sid, &u, "LayerA");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(std::string(v->version), "v1");
  EXPECT_EQ(v->year, 2001);
  EXPECT_EQ(v->month, 2);
  URL other_port = url("zup://127.0.0.1:1/@agentA/db/");
  EXPECT_EQ(get_remote_version(sid, &other_port, "LayerA"), v);
  EXPECT_EQ(run("asked"), "1");
  VERSION* w = get_remote_version(sid, &u, "LayerB");
  ASSERT_NE(w, nullptr);
  EXPECT_NE(w, v);
  EXPECT_EQ(run("asked"), "2");
  free_url(&u);
  free_url(&other_port);
  close_session(sid);
}

// The agent link of the request last made to port (0 when none).
int agent_link(int port) {
  lock_task(session_lock);
  int iid = 0;
  for (CON_SERVER* sv = server_list; sv && !iid; sv = sv->next)
    if (sv->url.port == port && sv->agent) iid = sv->agent->iid;
  unlock_task(session_lock, "test");
  return iid;
}

TEST_F(Session, AgentLinksKeepThreeTimesThePeersConnectionTimeOut) {
  int port = listen("(ConnectionTimeout 40)");
  int sid = open_session(1);
  URL u = url("zup://127.0.0.1:" + std::to_string(port) + "/@agentA/db/x.zu");
  {
    ZuThreadScope scope("time-out");
    ZU_SEXP* v = remote_session(qnlisp_top_env1, sid, &u, nullptr, nullptr, nullptr,
                                sexp_commands(utf8_cm, "1", nullptr), nullptr, 0, 0, nullptr);
    EXPECT_EQ(print_text(v), "1");
  }
  int iid = agent_link(port);
  ASSERT_GT(iid, 0);
  EXPECT_TRUE(wait_until([iid] { return get_c_timeout(iid) == 24; })) << get_c_timeout(iid);
  EXPECT_NE(run("(GetZUIinfo " + std::to_string(iid) + ")").find("(connection-timeout 120)"), std::string::npos);
  free_url(&u);
  close_session(sid);
}

TEST_F(Session, AnAbortedRequestIsNotSentAgain) {
  int port = listen();
  int sid = open_session(1);
  URL u = url("zup://127.0.0.1:" + std::to_string(port) + "/@agentA/db/x.zu");
  ZuThreadScope scope("abort");
  GcFrame frame("abort");
  ZU_SEXP* forms = sexp_commands(utf8_cm, "(Sequence () (Sleep 30) 1)", nullptr);
  ZU_SEXP* pending = remote_session(qnlisp_top_env1, sid, &u, nullptr, nullptr, nullptr, forms, nullptr, 0, 0, nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(aboat_session(pending), 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(get_type(pending), ZU_TYPE_ERROR);
  EXPECT_EQ(error_code(pending), ZU_ER_STREAM);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("SESSION-1\n"), std::string::npos);
  free_url(&u);
  close_session(sid);
}

// Set-up forms of a session: one list per link.
ZU_SEXP* count_setup(CON_SESSION*, CON_AGENT*, int) { return sexp_commands(utf8_cm, "(count-setup)", nullptr); }

TEST_F(Session, SetUpFormsGoOutOncePerLink) {
  int port = listen();
  int sid = open_session(1);
  URL u = url("zup://127.0.0.1:" + std::to_string(port) + "/@agentA/db/x.zu");
  ZuThreadScope scope("set-up forms");
  auto ask = [&u, sid](const char* form) {
    return print_text(remote_session(qnlisp_top_env1, sid, &u, nullptr, nullptr, nullptr,
                                     sexp_commands(utf8_cm, form, nullptr), nullptr, 0, 0, nullptr));
  };
  EXPECT_EQ(ask("0"), "0");  // opens the zup session
  // Each link is a peer of its own, which changes no binding of the
  // agent's nor of another link's: the counter is the agent's, counted by
  // the agent's own function, which keeps the agent's rights whoever calls
  // it.
  run("(Define setups 0) (Define count-setup () (h) (set setups (+ setups 1)))");
  lock_task(session_lock);
  session_list->pre_func = count_setup;
  // A new set-up goes out again on every link.
  for (CON_SERVER* sv = server_list; sv; sv = sv->next)
    for (CON_AGENT* a = sv->agent; a; a = a->next)
      while (CON_AGENT_INITIAL* i = a->initial_list) {
        a->initial_list = i->next;
        d_f_ree(i);
      }
  unlock_task(session_lock, "test");
  EXPECT_EQ(ask("setups"), "1");
  EXPECT_EQ(ask("setups"), "1");
  // A new link carries them again.
  close_interpreter(agent_link(port));
  EXPECT_EQ(ask("setups"), "2");
  lock_task(session_lock);
  session_list->pre_func = nullptr;
  unlock_task(session_lock, "test");
  free_url(&u);
  close_session(sid);
}

TEST_F(Session, TheLogRelaysItsRecordsToAnotherAgent) {
  run("(Define relayed ())(Define Order=\"Normal\" Log record (Sequence () (set relayed record) ()))");
  int port = listen();
  run("(SetLogCondition (Condition (level = 1) (Action type=\"relay\" path=\"zup://127.0.0.1:" + std::to_string(port) +
      "/\")))");
  log_printf(LOG_LEVEL_DEBUG, LOG_LAYER_ZU, nullptr, "relayed text");
  EXPECT_TRUE(wait_until([] { return run("relayed").find("relayed text") != std::string::npos; }))
      << run("relayed");
  EXPECT_NE(run("relayed").find("(level \"DEBUG\")"), std::string::npos);
}

}  // namespace
