// PrintChain between two processes: a peer that listens, and one that
// connects and asks the peer to point its standard streams back along the
// link; what the peer then prints arrives here as PrintChain calls and is
// written to this side's standard output. Both sides are child bodies of
// this binary, so the interpreters' break check never meets the threads
// of the other tests.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "runtime/remote.h"
#include "runtime/zu_init.h"
#include "support/child.h"
#include "support/temp_dir.h"
#include "text/convert.h"
#include "zulib_test_util.h"

namespace {

// A main interpreter reading a FIFO that nobody ends, so that the process
// may start further interpreters until it exits.
bool start_library() {
  init_zu();
  static char prog[] = "chain";
  static char* argv[] = {prog, nullptr};
  init_function(qnlisp_top_env0, qnlisp_top_env1, 1, argv);
  TempDir dir("chain_main");
  std::string fifo = dir.at("main.fifo");
  if (mkfifo(fifo.c_str(), 0600) != 0) return false;
  static int keep = open(fifo.c_str(), O_RDWR);
  (void)keep;
  ZuThreadScope scope("chain");
  ZU_INTERPRETER* z = new_zu_interpreter();
  z->a_type = ZUI_FILE;
  z->env = new_env(qnlisp_top_env1);
  z->input_file_name = nl_copy_str(std_cm, fifo.c_str());
  return setup_i(z) > 0;
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
  ZuThreadScope scope("listener");
  ZU_INTERPRETER* z = new_zu_interpreter();
  z->a_type = ZUI_ACCEPT;
  z->env = qnlisp_top_env1;
  z->environment = 1;
  z->port = 23000 + static_cast<int>(getpid() % 2000) * 10;
  z->port_limit = 2000;
  PERMISSION_LIST* e = new_permission_list(z, nullptr);
  insert_access_list(&e->ap, "127.0.0.0", "255.0.0.0", nullptr, 0, 0, 1);
  int iid = setup_i(z);
  ZU_INTERPRETER info;
  if (iid <= 0 || get_zui_info(&info, iid) != 0) return 3;
  std::printf("port %d\n", info.port);
  std::fflush(stdout);
  return wait_for_stdin_end();
}

// Sends each form of args[1..] to the listener on port args[0], in order,
// from an internal interpreter, each after the reply to the one before.
QNMX_CHILD_BODY(ChainAsker) {
  if (!start_library()) return 2;
  int link;
  {
    ZuThreadScope scope("asker");
    ZU_INTERPRETER* z = new_zu_interpreter();
    z->a_type = ZUI_CONNECT;
    z->env = qnlisp_top_env1;
    z->environment = 1;
    z->hostname = nl_copy_str(std_cm, "127.0.0.1");
    z->port = std::stoi(args[0]);
    link = setup_i(z);
  }
  if (link <= 0) return 3;
  std::thread([&] {
    ZU_INTERPRETER* z = new_zu_interpreter();
    z->a_type = ZUI_SELF;
    z->env = qnlisp_top_env1;
    z->environment = 1;
    setup_i(z);
    {
      ZuThreadScope scope("ask");
      for (size_t i = 1; i < args.size(); ++i) {
        const L_CHAR* form = _l_string_1(utf8_cm, args[i].c_str());
        get_type(remote_query(link, get_my_zui()->env, form, nullptr));
      }
    }
    close_self_interpreter();
  }).join();
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
