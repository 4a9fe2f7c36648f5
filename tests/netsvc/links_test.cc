// Listeners opened by the built-ins, under a shortened interpreter tick.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "netsvc/netsvc.h"
#include "runtime/delayed.h"
#include "runtime/interp.h"
#include "runtime/services.h"
#include "runtime/zu_init.h"
#include "zu/eval.h"
#include "zulib/library.h"

namespace {

// The library with the network services. The listener that the test
// opens is the process's main interpreter.
void start_once() {
  static bool done = [] {
    init_netsvc();
    init_zu();
    static char prog[] = "prog";
    static char* argv[] = {prog, nullptr};
    init_function(qnlisp_top_env0, qnlisp_top_env1, 1, argv);
    return true;
  }();
  (void)done;
}

// Evaluates text in env1 on a thread that has an interpreter of its own.
int64_t eval_integer(const std::string& text) {
  ZuThreadScope scope("test");
  ZU_SEXP* forms = sexp_commands(utf8_cm, text.c_str(), nullptr);
  ZU_SEXP* v = eval_body(qnlisp_top_env1, forms);
  return get_type(v) == ZU_TYPE_INTEGER ? v->integer.num : -1;
}

// A port that nothing listens on just now.
int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

int connect_to(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? fd : (close(fd), -1);
}

}  // namespace

TEST(Links, SilentTimeoutClosesAnIdleLink) {
  start_once();
  ZU_INTERPRETER* self = new_zu_interpreter();
  self->a_type = ZUI_SELF;
  self->env = qnlisp_top_env1;
  ASSERT_GT(setup_i(self), 0);
  set_zui_tick_ms(50);
  int64_t iid = eval_integer("(OpenInterpreter \"accept\" Env0 (Port " + std::to_string(free_port()) +
                             ") (SilentTimeout 10) (Permission () (Allow \"all\")))");
  ASSERT_GT(iid, 0);
  ZU_INTERPRETER info;
  ASSERT_EQ(get_zui_info(&info, static_cast<int>(iid)), 0);
  int fd = connect_to(info.port);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(send(fd, "\n", 1, MSG_NOSIGNAL), 1);
  // The admission, then nothing until the listener's link closes after two
  // silent ticks of the shortened clock.
  std::string got;
  char buf[256];
  auto start = std::chrono::steady_clock::now();
  ssize_t n;
  // Keep-alive line ends come every 30 ticks; the wait is bounded apart
  // from them.
  auto waited = [start] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
  while ((n = recv(fd, buf, sizeof buf, 0)) > 0 && waited() < 10) got.append(buf, static_cast<size_t>(n));
  EXPECT_EQ(n, 0) << "the link was not closed";
  EXPECT_NE(got.find("<Permission>Allow</Permission>\n"), std::string::npos) << got;
  close(fd);
  close_interpreter(static_cast<int>(iid));
  set_zui_tick_ms(5000);
  close_self_interpreter();
}
