// PrintChain between two processes: a peer that listens, and one that
// connects and asks the peer to point its standard streams back along the
// link; what the peer then prints arrives here as PrintChain calls and is
// written to this side's standard output. Both sides are child bodies of
// this binary, so the interpreters' break check never meets the threads
// of the other tests.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "runtime/remote.h"
#include "runtime/zu_init.h"
#include "support/child.h"
#include "support/runtime/interpreters.h"
#include "text/convert.h"
#include "zulib_test_util.h"

namespace {

// The library and a main interpreter that lives until the process ends,
// so that the process may start further interpreters.
bool start_library() {
  init_zu();
  static char prog[] = "chain";
  static char* argv[] = {prog, nullptr};
  init_function(qnlisp_top_env0, qnlisp_top_env1, 1, argv);
  return ensure_main_interpreter();
}

int wait_for_stdin_end() {
  char buf[256];
  while (read(0, buf, sizeof buf) > 0) {
  }
  stop_gc_task();
  return 0;
}

QNMX_CHILD_BODY(ChainListener) {
  if (!start_library()) return 2;
  int port = 0;
  if (open_listener(&port) <= 0) return 3;
  std::printf("port %d\n", port);
  std::fflush(stdout);
  return wait_for_stdin_end();
}

// Sends each form of args[1..] to the listener on port args[0], in order,
// from an internal interpreter, each after the reply to the one before.
QNMX_CHILD_BODY(ChainAsker) {
  if (!start_library()) return 2;
  int link = open_link(std::stoi(args[0]));
  if (link <= 0) return 3;
  as_asker([&](ZU_INTERPRETER* me) {
    for (size_t i = 1; i < args.size(); ++i) {
      const L_CHAR* form = _l_string_1(utf8_cm, args[i].c_str());
      get_type(remote_query(link, me->env, form, nullptr));
    }
  });
  return wait_for_stdin_end();
}

}  // namespace

TEST(Chain, PeerTextComesBackAsPrintChain) {
  ChildOptions utf8;
  utf8.env = {"STD_CODE=UTF-8"};
  Conversation listener = Conversation::body("ChainListener", {}, utf8);
  ASSERT_TRUE(listener.read_until("\n")) << listener.output();
  int port = 0;
  ASSERT_EQ(std::sscanf(listener.output().c_str(), "port %d", &port), 1) << listener.output();
  Conversation asker = Conversation::body(
      "ChainAsker", {std::to_string(port), "(PrintChain sync=\"entry\")", "(PrintStd d=\"stdout\" \"hello \xe6\x97\xa5\")",
                     "(PrintStd (List 1 \"two\"))", "(PrintChain sync=\"exit\")"},
      utf8);
  EXPECT_TRUE(asker.read_until("hello \xe6\x97\xa5(1 \"two\")\n")) << asker.output();
  EXPECT_EQ(asker.finish(), 0);
  EXPECT_EQ(listener.finish(), 0);
}
