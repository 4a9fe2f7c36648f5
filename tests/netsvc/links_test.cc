// Listeners opened by the built-ins, under a shortened interpreter tick.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "netsvc_test_util.h"
#include "runtime/delayed.h"
#include "runtime/interp.h"
#include "support/loopback.h"
#include "support/runtime/interpreters.h"
#include "zu/eval.h"

namespace {

// Evaluates text in env1 on a thread that has an interpreter of its own.
int64_t eval_integer(const std::string& text) {
  ZuThreadScope scope("test");
  ZU_SEXP* forms = sexp_commands(utf8_cm, text.c_str(), nullptr);
  ZU_SEXP* v = eval_body(qnlisp_top_env1, forms);
  return get_type(v) == ZU_TYPE_INTEGER ? v->integer.num : -1;
}

}  // namespace

TEST(Links, SilentTimeoutClosesAnIdleLink) {
  start_netsvc_once();
  ASSERT_GT(open_self_interpreter(), 0);
  set_zui_tick_ms(50);
  int64_t iid = eval_integer("(OpenInterpreter \"accept\" Env0 (Port " + std::to_string(free_loopback_port()) +
                             ") (SilentTimeout 10) (Permission () (Allow \"all\")))");
  ASSERT_GT(iid, 0);
  ZU_INTERPRETER info;
  ASSERT_EQ(get_zui_info(&info, static_cast<int>(iid)), 0);
  int fd = connect_loopback(info.port);
  ASSERT_GE(fd, 0);
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
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
