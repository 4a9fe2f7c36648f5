// The HTTP agent inside one process: requests written into one end of a
// socket pair and served from the other, the registry and its access
// locks, the evaluation task and the percent coders. The driver and the
// outside clients are in http_agent_test.py.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "base/task.h"
#include "netsvc/http_agent.h"
#include "netsvc/netsvc.h"
#include "netsvc_test_util.h"
#include "runtime/interp.h"
#include "runtime/link_budget.h"
#include "runtime/services.h"
#include "runtime/zu_init.h"
#include "support/child.h"
#include "stream/stream.h"
#include "text/codemethod.h"
#include "text/convert.h"
#include "zu/eval.h"
#include "zu/gc.h"
#include "zulib/library.h"

namespace {

void start_once() {
  static bool done = [] {
    start_netsvc_once();
    // The test's own evaluations run under an interpreter of its thread.
    ZU_INTERPRETER* z = new_zu_interpreter();
    z->a_type = ZUI_SELF;
    z->env = qnlisp_top_env1;
    return setup_i(z) > 0;
  }();
  (void)done;
}

// A local entry for path whose environment (a child of env1) holds the
// definitions in text.
HTTP_AGENT_LIST* local_entry(const char* path, const std::string& text) {
  ZuThreadScope scope("test");
  ZUISP_ENV* env = new_env(qnlisp_top_env1);
  gc_set_nl(env, gc_qnlisp_env);
  EXPECT_NE(get_type(eval_body(env, sexp_commands(utf8_cm, text.c_str(), nullptr))), ZU_TYPE_ERROR) << text;
  return insert_http_agent_list(path, env, nullptr, nullptr, nullptr);
}

// Serves one request: request is written (then, with `end`, the writing
// side is shut), the header read and the request handed to exec_url; the
// reply is read to the end. *result gets exec_url's answer.
std::string serve(const std::string& request, bool end = true, int* result = nullptr) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return "socketpair";
  EXPECT_EQ(write(sv[0], request.data(), request.size()), static_cast<ssize_t>(request.size()));
  if (end) shutdown(sv[0], SHUT_WR);
  STREAM* st = s_open_descripter(sv[1], nullptr);
  HTTP_INFO info;
  int r = scan_HTTP(&info, st, 1) == 0 ? exec_url(&info, st) : -9;
  if (r != -9) free_HTTP_info(&info);
  if (r != 0) d_s_close(st);  // declined or refused: still the caller's
  if (result) *result = r;
  std::string reply;
  char buf[4096];
  for (ssize_t n; (n = read(sv[0], buf, sizeof buf)) > 0;) reply.append(buf, static_cast<size_t>(n));
  close(sv[0]);
  return reply;
}

std::string body_of(const std::string& reply) {
  size_t at = reply.find("\r\n\r\n");
  return at == std::string::npos ? "" : reply.substr(at + 4);
}

}  // namespace

TEST(HttpAgent, ResultsBecomeRepliesAndErrorPages) {
  start_once();
  local_entry("/html", "(Define GET () (f) (List (quote text/html) \"<p>ok</p>\"))");
  local_entry("/page", "(Define GET () (f) (List (quote [text/html Cache-Control=\"private\"]) (quote (P \"x\"))))");
  local_entry("/gif", "(Define GET () (f) (List (quote image/gif) \"not raw\"))");
  local_entry("/head", "(Define GET () (f) (List 1 2))");
  local_entry("/num", "(Define GET () (f) 42)");
  local_entry("/err", "(Define GET () (f) (Error () \"<x&y>\"))");
  local_entry("/other", "(Define GET () (f) (List (quote text/plain) \"hidden\"))");
  local_entry("/post", "(Define POST () (f data) (List (quote text/html) (Cast type=\"string\" (GetSize data))))");
  const std::string head = "HTTP/1.1 200 OK\r\nDate: Fri, 20 Sep 2002 09:36:44 GMT\r\nServer: PELANOR QUARVEN SERVER\r\n"
                           "Connection: close\r\n";
  struct Case {
    std::string request, starts, contains;
  };
  const Case cases[] = {
      {"GET /html HTTP/1.1\r\n\r\n", head + "Content-Type: text/html\r\n\r\n<p>ok</p>", ""},
      {"GET /html?x=1&y HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", head, "\r\n\r\n<p>ok</p>"},
      {"GET http://h:1/html HTTP/1.1\r\n\r\n", head, "<p>ok</p>"},
      {"GET /htmlx HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found\r\n", "Message: /htmlx<BR>"},
      {"GET /page HTTP/1.1\r\n\r\n", head + "Content-Type: text/html\r\nExpires: -1\r\nCache-Control: no-cache\r\n"
                                            "Pragma: no-cache\r\n\r\n<P>",
       "x"},
      {"GET /gif HTTP/1.1\r\n\r\n", "HTTP/1.1 500 Internal Server Error\r\n", "Message: ZUT_RAW is required<BR>"},
      {"GET /head HTTP/1.1\r\n\r\n", "HTTP/1.1 500 Internal Server Error\r\n", "Message: symbol required<BR>"},
      {"GET /num HTTP/1.1\r\n\r\n", "HTTP/1.1 500 Internal Server Error\r\n", "ZU Code:42\n\r"},
      {"GET /err HTTP/1.1\r\n\r\n", "HTTP/1.1 503 Service Unavailable\r\n",
       "&quot;Error&quot; &quot;&amp;lt;x&amp;amp;y&amp;gt;&quot;)\n\r<BR>"},
      {"GET /<b>&\"x HTTP/1.1\r\n\r\n", "HTTP/1.1 404", "Message: /&lt;b&gt;&amp;&quot;x<BR>"},
      {"GET /other HTTP/1.1\r\n\r\n", head + "Content-Type: text/plain\r\n\r\n", ""},
      {"POST /post HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcde", head, "\r\n\r\n5"},
      // The body ends before its announced length: what came is the body.
      {"POST /post HTTP/1.1\r\nContent-Length: 10\r\n\r\nabcd", head, "\r\n\r\n4"},
      {"POST /post HTTP/1.1\r\n\r\n", "HTTP/1.1 503", "invalid parameter length"},
  };
  for (const Case& c : cases) {
    int r = -1;
    std::string reply = serve(c.request, true, &r);
    EXPECT_EQ(r, 0) << c.request;
    EXPECT_EQ(reply.substr(0, c.starts.size()), c.starts) << c.request << reply;
    EXPECT_NE(reply.find(c.contains), std::string::npos) << c.request << reply;
    EXPECT_EQ(reply.find("Content-Length"), std::string::npos) << c.request;
  }
  EXPECT_EQ(body_of(serve("GET /other HTTP/1.1\r\n\r\n")), "");
  // Declined and refused requests leave the connection to the caller.
  int r = 0;
  EXPECT_EQ(serve("POST /cgi-bin/zusv.cgi HTTP/1.0\r\n\r\n", true, &r), "");
  EXPECT_EQ(r, 2);
  EXPECT_EQ(serve("GET\r\n\r\n", true, &r), "");
  EXPECT_EQ(r, -1);
}

TEST(HttpAgent, ABodyPastTheCapIsRefusedUnread) {
  start_once();
  local_entry("/post", "(Define POST () (f data) (List (quote text/html) \"read\"))");
  std::string over = "POST /post HTTP/1.1\r\nContent-Length: " + std::to_string(kHttpAgentMaxBody + 1) + "\r\n\r\nab";
  // The peer keeps its side open: a refusal must not wait for the body.
  std::string reply = serve(over, false);
  EXPECT_EQ(reply.substr(0, 35), "HTTP/1.1 500 Internal Server Error\r");
  EXPECT_NE(reply.find("Message: request body too large<BR>"), std::string::npos) << reply;
  EXPECT_EQ(reply.find("read"), std::string::npos);
}

// A link holds all of the budget for peer input but 32 KiB: a body that
// would pass it is refused with 503 before it is read, announced or
// chunked (whose first piece is 64 KiB); once the link has let go and a
// collection has run, the same bodies are served.
TEST(HttpAgent, BodiesCountAgainstThePeerInputBudget) {
  start_once();
  local_entry("/budget", "(Define POST () (f data) (List (quote text/html) (Cast type=\"string\" (GetSize data))))");
  LINK_METER* link = new_link_meter();
  const int64_t held = link_budget_bytes() - (32 << 10);
  link_queue(link, held);
  const std::string announced = "POST /budget HTTP/1.1\r\nContent-Length: 40000\r\n\r\n" + std::string(40000, 'x');
  const std::string chunked =
      "POST /budget HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n9c40\r\n" + std::string(40000, 'x') + "\r\n0\r\n\r\n";
  for (const std::string* request : {&announced, &chunked}) {
    std::string reply = serve(*request);
    EXPECT_EQ(reply.substr(0, 34), "HTTP/1.1 503 Service Unavailable\r\n") << reply;
    EXPECT_NE(reply.find("Message: request bodies over budget<BR>"), std::string::npos) << reply;
  }
  link_unqueue(link, held);
  free_link_meter(link);
  gc_collect_now();
  EXPECT_EQ(body_of(serve(announced)), "40000");
  EXPECT_EQ(body_of(serve(chunked)), "40000");
}

TEST(HttpAgent, XmlEncodingIsSetOnANewTagOrSwitchesTheConnection) {
  start_once();
  local_entry("/plain", "(Define Doc (quote ((?xml version=\"1.0\") (doc \"x\"))))"
                        "(Define GET () (f) (List (quote text/xml) Doc))");
  local_entry("/euc", "(Define GET () (f) (List (quote text/xml) (quote ((?xml encoding=\"EUC-JP\") (doc \"\u3042\")))))");
  local_entry("/text", "(Define GET () (f) (List (quote text/xml) \"<a/>\"))");
  std::string plain = body_of(serve("GET /plain HTTP/1.1\r\n\r\n"));
  // Set last, so that the declaration keeps its version first.
  std::string want = std::string("<?xml version=\"1.0\" encoding=\"") + std_cm->name + "\"?>";
  EXPECT_EQ(plain.substr(0, want.size()), want) << plain;
  EXPECT_NE(plain.find("<doc>\n  \"x\"\n</doc>"), std::string::npos) << plain;
  // The result's own tag is left as it was.
  {
    ZuThreadScope scope("test");
    HTTP_AGENT_LIST* a = search_http_agent_list("/plain");
    ZU_SEXP* doc = eval(a->env, get_symbol_ascii("Doc"));
    ZU_SEXP* tag = get_el(get_el(doc, 0), 0);
    EXPECT_EQ(get_sf_attribute(sym_field(tag), l_string(std_cm, "encoding")), nullptr);
  }
  // A known encoding switches the connection: U+3042 in EUC-JP is A4 A2.
  std::string euc = body_of(serve("GET /euc HTTP/1.1\r\n\r\n"));
  EXPECT_NE(euc.find("\"\xa4\xa2\""), std::string::npos) << euc;
  EXPECT_EQ(body_of(serve("GET /text HTTP/1.1\r\n\r\n")), "<a/>");
}

TEST(HttpAgent, RegistryMatchesPathsAndQueries) {
  start_once();
  ZuThreadScope scope("test");
  HTTP_AGENT_LIST* first = insert_http_agent_list("/a", qnlisp_top_env1, nullptr, nullptr, nullptr);
  HTTP_AGENT_LIST* ab = insert_http_agent_list("/ab", qnlisp_top_env1, nullptr, nullptr, nullptr);
  HTTP_AGENT_LIST* again = insert_http_agent_list("/a", qnlisp_top_env1, nullptr, nullptr, nullptr);
  const std::pair<const char*, HTTP_AGENT_LIST*> cases[] = {
      {"/a", again}, {"/a?x=1", again}, {"/a?", again}, {"/ab", ab},
      {"/ab?q", ab}, {"/abc", nullptr}, {"/a/b", nullptr}, {"/", nullptr},
  };
  for (const auto& [path, want] : cases) EXPECT_EQ(search_http_agent_list(path), want) << path;
  EXPECT_NE(first, again);
  EXPECT_EQ(first->iid.load(), 0);
  // The retired entry no request holds keeps its environment no longer.
  gc_collect_now();
  EXPECT_EQ(first->env, nullptr);
  EXPECT_EQ(again->env, qnlisp_top_env1);
  // A remote entry and its aliases share one chain, unconnected.
  HTTP_AGENT_LIST* root = insert_http_agent_list("/r", qnlisp_top_env1, l_string(std_cm, "zup://127.0.0.1:1/@x"),
                                                 nullptr, nullptr);
  HTTP_AGENT_LIST* a1 = insert_http_agent_list("/r1", qnlisp_top_env1, nullptr, root, nullptr);
  HTTP_AGENT_LIST* a2 = insert_http_agent_list("/r2", qnlisp_top_env1, nullptr, a1, nullptr);
  EXPECT_EQ(a2->alias_root, root);
  EXPECT_EQ(root->alias_list, a2);
  EXPECT_EQ(a2->alias_list_next, a1);
  for (HTTP_AGENT_LIST* e : {root, a1, a2}) EXPECT_EQ(e->iid.load(), -1);
}

TEST(HttpAgent, AccessLocksAreHeldPerChain) {
  start_once();
  ZuThreadScope scope("test");
  HTTP_AGENT_LIST* root = insert_http_agent_list("/lr", qnlisp_top_env1, l_string(std_cm, "zup://127.0.0.1:1/"),
                                                 nullptr, nullptr);
  HTTP_AGENT_LIST* alias = insert_http_agent_list("/la", qnlisp_top_env1, nullptr, root, nullptr);
  HTTP_AGENT_LIST* other = insert_http_agent_list("/lo", qnlisp_top_env1, l_string(std_cm, "zup://127.0.0.1:1/"),
                                                  nullptr, nullptr);
  ASSERT_EQ(lock_ha_access(alias, 0), 0);
  std::atomic<int> tried{1}, waited{1};
  std::atomic<bool> got{false};
  std::thread t([&] {
    tried = lock_ha_access(root, 1);
    waited = lock_ha_access(other, 1);
    unlock_ha_access(other);
    got = lock_ha_access(root, 0) == 0;  // waits for the main thread
    unlock_ha_access(root);
  });
  ASSERT_TRUE(wait_until([&] { return waited.load() != 1; }));
  EXPECT_EQ(tried.load(), -1);  // the alias holds its root's lock
  EXPECT_EQ(waited.load(), 0);  // another chain is free
  EXPECT_FALSE(got.load());
  unlock_ha_access(root);
  t.join();
  EXPECT_TRUE(got.load());
}

TEST(HttpAgent, TheEvaluationTaskServesItsQueue) {
  start_once();
  local_entry("/eu", "(Define GET () (f) (List (quote text/html) \"queued\"))");
  ASSERT_GT(create_task(exec_url_task, nullptr, 3), 0);
  for (const char* path : {"/eu", "/none"}) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    std::string req = std::string("GET ") + path + " HTTP/1.1\r\n\r\n";
    ASSERT_EQ(write(sv[0], req.data(), req.size()), static_cast<ssize_t>(req.size()));
    STREAM* st = s_open_descripter(sv[1], nullptr);
    HTTP_INFO info;
    ASSERT_EQ(scan_HTTP(&info, st, 1), 0);
    EXPECT_EQ(insert_eu_list(&info, st), 0);
    free_HTTP_info(&info);
    char buf[512];
    ssize_t n = read(sv[0], buf, sizeof buf);
    std::string reply(buf, n > 0 ? static_cast<size_t>(n) : 0);
    EXPECT_NE(reply.find(std::string(path) == "/eu" ? "200 OK" : "404 Not Found"), std::string::npos) << reply;
    close(sv[0]);
  }
  EXPECT_EQ(insert_eu_list(nullptr, nullptr), 0);  // ends the task
}

TEST(HttpAgent, PercentCoders) {
  EXPECT_EQ(url_percent_encode("aZ09 -_.~/?%\xc3\xa9"), "aZ09%20%2D%5F%2E%7E%2F%3F%25%C3%A9");
  EXPECT_EQ(url_percent_encode(std::string("\0x", 2)), "%00x");
  const uint32_t only[] = {0x20, 0xe9};
  struct Case {
    const char* text;
    std::string want;
    bool restricted;
  };
  const Case cases[] = {
      {"a%20b%2fc", "a b/c", false},
      {"%41%4a%6b", "AJk", false},
      {"100%", "100%", false},
      {"%4", "%4", false},
      {"%zz%2", "%zz%2", false},
      {"%u00e9t%u00E9", "\xc3\xa9t\xc3\xa9", false},
      {"%u20AC", "\xe2\x82\xac", false},
      {"%uD83D%uDE00", "\xf0\x9f\x98\x80", false},  // a surrogate pair is one code point
      {"%uD83Dx", "%uD83Dx", false},                // a lone surrogate stays as it is
      {"%u12", "%u12", false},
      {"%00", std::string(1, '\0'), false},
      {"a%20b%2fc%u00e9%u00e8", "a b%2fc\xc3\xa9%u00e8", true},
  };
  for (const Case& c : cases) {
    std::span<const uint32_t> list = c.restricted ? std::span<const uint32_t>(only) : std::span<const uint32_t>();
    EXPECT_EQ(url_percent_decode(c.text, list), c.want) << c.text;
  }
  // Round trip of every byte.
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(url_percent_decode(url_percent_encode(all)), all);
}
