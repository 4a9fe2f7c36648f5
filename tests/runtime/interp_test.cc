#include "runtime/interp.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "runtime/front.h"
#include "runtime/peer_tasks.h"
#include "runtime/services.h"
#include "runtime/zu_init.h"
#include "runtime_test_util.h"
#include "support/child.h"
#include "zu/gc.h"
#include "zu/peer_account.h"

namespace {

std::string slurp(const std::string& path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// Starts a file interpreter on `script`; out/err file names may be empty.
int start_file(const std::string& script, const std::string& out, const std::string& err) {
  ZuThreadScope scope("test");
  ZU_INTERPRETER* z = new_zu_interpreter();
  z->a_type = ZUI_FILE;
  z->env = new_env(qnlisp_top_env1);
  z->input_file_name = nl_copy_str(std_cm, script.c_str());
  if (!out.empty()) z->output_file_name = nl_copy_str(std_cm, out.c_str());
  if (!err.empty()) z->error_file_name = nl_copy_str(std_cm, err.c_str());
  return setup_i(z);
}

// A process whose main interpreter is a file interpreter reading the
// standard input under the name args[0] ("-" or "+") and replying on the
// standard output.
QNMX_CHILD_BODY(StandardInputInterpreter) {
  init_zu();
  int iid = start_file(args.at(0), "-", "");
  if (iid < 0) return 2;
  wait_stop_all();
  return 0;
}

// Every interpreter of these tests runs beside a main interpreter that
// reads a FIFO and so lives until the suite ends: when the main
// interpreter closes, no other may start in the process.
class Interp : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { init_zu(); }
  void SetUp() override {
    if (!ensure_main_interpreter()) GTEST_SKIP() << "the main interpreter has closed in this process";
  }
  TempDir dir;
};

TEST_F(Interp, RepliesInOrderErrorsToBothStreamsExitStops) {
  std::string script = dir.file("s.zu",
                                "(+ 1 2)\n"
                                "\"text\"\n"
                                "(no-such-function 1)\n"
                                "(quote (a b))\n"
                                "(quote #error(2147554308 \"s\" \"f\" 1 \"Exit\" ()))\n"
                                "(never reached)\n");
  std::string out = dir.file("out.txt", "old contents that must go away\n");
  std::string err = dir.path() + "/err.txt";
  int iid = start_file(script, out, err);
  ASSERT_GT(iid, 0);
  EXPECT_TRUE(wait_stop_interpreter(iid, 60));
  std::string o = slurp(out);
  EXPECT_EQ(o.find("old contents"), std::string::npos);
  EXPECT_EQ(o.substr(0, o.find("<Result> 3")), "<Result> 1 3</Result>\n<Result> 2 \"text\"</Result>\n");
  EXPECT_NE(o.find("<Result> 3 #error("), std::string::npos);
  EXPECT_NE(o.find("<Result> 4 (a b)</Result>\n<Result> 5 ()</Result>\n"), std::string::npos);
  EXPECT_EQ(o.find("<Result> 6"), std::string::npos);
  std::string e = slurp(err);
  EXPECT_EQ(e.rfind("<Result> 3 #error(", 0), 0u);
  EXPECT_EQ(e.find("<Result>", 1), std::string::npos);  // only the error reply
}

TEST_F(Interp, ErrorStreamSameAsOutputGetsErrorsOnce) {
  std::string script = dir.file("s.zu", "(no-such-function)\n");
  std::string out = dir.path() + "/out.txt";
  int iid = start_file(script, out, "-");
  ASSERT_GT(iid, 0);
  EXPECT_TRUE(wait_stop_interpreter(iid, 60));
  std::string o = slurp(out);
  EXPECT_EQ(o.find("<Result> 1"), 0u);
  EXPECT_EQ(o.find("<Result>", 1), std::string::npos);
}

TEST_F(Interp, SetupFailuresFreeTheRecord) {
  EXPECT_EQ(start_file(dir.path() + "/missing.zu", "", ""), ZUI_ERR_STREAM);
  std::string script = dir.file("s.zu", "1\n");
  EXPECT_EQ(start_file(script, dir.path() + "/no/such/dir/out", ""), ZUI_ERR_STREAM);
  EXPECT_EQ(start_file(script, "", dir.path() + "/no/such/dir/err"), ZUI_ERR_STREAM);
  // A kind nobody defined is refused, never a stop of the process.
  for (int kind : {0, 9, -1}) {
    ZuThreadScope scope("test");
    ZU_INTERPRETER* z = new_zu_interpreter();
    z->a_type = static_cast<decltype(z->a_type)>(kind);
    z->out = s_open_string_write(utf8_cm);
    EXPECT_EQ(setup_i(z), ZUI_ERR_STREAM) << kind;
  }
}

// The break flag stops an evaluation that would never end.
TEST_F(Interp, CloseBreaksARunningEvaluation) {
  std::string script = dir.file("loop.zu", "(while 1 1)\n2\n");
  std::string out = dir.path() + "/out.txt";
  int iid = start_file(script, out, "");
  ASSERT_GT(iid, 0);
  EXPECT_EQ(check_iid(iid), 1);
  // Wait until the loop is being evaluated.
  ZU_INTERPRETER info;
  while (get_zui_info(&info, iid) == 0 && info.inp_line != 1) std::this_thread::yield();
  EXPECT_EQ(close_interpreter(iid), 0);
  EXPECT_EQ(search_zui_id(iid), nullptr);
  EXPECT_EQ(slurp(out), "<Result> 1 ()</Result>\n");
  EXPECT_EQ(close_interpreter(iid), -1);
}

// A peer of no known address counts no task: what its links' records give
// back by address matches what they took, however many it opens.
TEST(PeerTasks, APeerOfNoKnownAddressCountsNothing) {
  for (int i = 0; i < 2 * peer_task_cap(); ++i) {
    ASSERT_TRUE(take_peer_tasks(peer_origin(0, 9), kLinkTasks)) << i;
    give_address_tasks(0, kLinkTasks);
  }
  EXPECT_EQ(account_held(0, PEER_HOLD::kTasks), 0);
}

TEST_F(Interp, OutputLockIsRecursivePerTask) {
  int self = open_self_interpreter();
  ASSERT_GT(self, 0);
  EXPECT_EQ(get_my_iid(), self);
  lock_zui_out_iid(self);
  EXPECT_EQ(lock_zui_out_no_wait(self), 0);  // the holder may take it again
  int other = 0;
  std::thread([&] { other = lock_zui_out_no_wait(self); }).join();
  EXPECT_EQ(other, -2);
  unlock_zui_out_iid(self);
  unlock_zui_out_iid(self);
  std::thread([&] {
    other = lock_zui_out_no_wait(self);
    unlock_zui_out_iid(self);
  }).join();
  EXPECT_EQ(other, 0);
  EXPECT_EQ(lock_zui_out_no_wait(999999), -1);
  // Many tasks at once: each release hands the lock to one waiter, and no
  // two ever hold it together.
  std::atomic<int> inside{0}, overlaps{0}, taken{0};
  std::vector<std::thread> tasks;
  for (int t = 0; t < 16; ++t)
    tasks.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        lock_zui_out_iid(self);
        if (inside.fetch_add(1) != 0) ++overlaps;
        ++taken;
        inside.fetch_sub(1);
        unlock_zui_out_iid(self);
      }
    });
  for (auto& t : tasks) t.join();
  EXPECT_EQ(taken.load(), 3200);
  EXPECT_EQ(overlaps.load(), 0);
  close_self_interpreter();
  EXPECT_EQ(search_zui_id(self), nullptr);
  EXPECT_EQ(get_my_iid(), -1);
}

TEST_F(Interp, PermissionListsAdmitByFirstMatchingEntry) {
  ZU_INTERPRETER* z = new_zu_interpreter();
  {
    ZuThreadScope scope("test");
    ZU_SEXP* modes = List(n_get_string("read"), n_get_string("write"), ZU_LIST_END);
    PERMISSION_LIST* lan = new_permission_list(z, modes);
    insert_access_list(&lan->ap, "10.0.0.0", "255.0.0.0", nullptr, 0, 0, 1);
    PERMISSION_LIST* all = new_permission_list(z, nullptr);
    insert_access_list(&all->ap, "10.9.0.0", "255.255.0.0", nullptr, 0, 0, 0);
    insert_access_list(&all->ap, nullptr, nullptr, nullptr, 0, 0, 1);
    EXPECT_EQ(take(ll_copy_str(lan->mode->str)), "write");
    EXPECT_EQ(take(ll_copy_str(lan->mode->next->str)), "read");
    EXPECT_EQ(check_permission_list(z, 0x0A010203), lan);
    EXPECT_EQ(check_permission_list(z, static_cast<int>(0xC0A80001)), all);
  }
  free_zu_interpreter(z);
}

TEST_F(Interp, NoTerminalMeansTheInterruptEndsTheProgram) { EXPECT_EQ(zu_int_handler(2), -1); }

// The `_name` forms of the table state that zui_lock is held: a caller
// without it stops, and the stop names the lock and the function's place;
// one that holds it gets its answer.
TEST(InterpDeathTest, UnderscoreFormsStopACallerWithoutZuiLock) {
  if (!QNMX_LOCK_CHECK) GTEST_SKIP() << "checked in debug and sanitizer builds";
  init_zu();
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::pair<const char*, void (*)()> cases[] = {
      {"_search_zui_id", [] { _search_zui_id(1); }},
      {"_get_my_zui", [] { _get_my_zui(); }},
      {"_search_zui_thread", [] { _search_zui_thread(get_tid()); }},
      {"_get_next_iid", [] { _get_next_iid(0); }},
      {"_close_interpreter", [] { _close_interpreter(-1); }},
      {"_close_all_interpreter", [] { _close_all_interpreter(); }},
  };
  for (const auto& [name, call] : cases)
    EXPECT_EXIT(call(), testing::ExitedWithCode(1), "zui_lock \\(level 100\\) is not held at .*src/runtime/") << name;
  lock_task(zui_lock);
  EXPECT_EQ(_search_zui_id(-1), nullptr);
  EXPECT_EQ(_close_interpreter(-1), -1);
  unlock_task(zui_lock, "test");
}

// Runs last in a process: after the main interpreter closes, only internal
// interpreters may start.
TEST(InterpShutdown, MainRuleAndIds) {
  init_zu();
  if (get_main_interpreter_state() != 0) GTEST_SKIP() << "needs a fresh process";
  TempDir dir;
  int self = open_self_interpreter();
  ASSERT_GT(self, 0);
  EXPECT_EQ(get_main_interpreter(), -1);  // internal ones never become main

  std::string loop = dir.file("loop.zu", "(while 1 1)\n");
  std::string quick = dir.file("quick.zu", "1\n");
  int main_iid = start_file(loop, "", "");
  ASSERT_GT(main_iid, self);
  EXPECT_EQ(get_main_interpreter(), main_iid);
  int second = start_file(quick, "", "");
  ASSERT_GT(second, main_iid);
  EXPECT_TRUE(wait_stop_interpreter(second, 60));
  int third = start_file(quick, "", "");
  EXPECT_GT(third, second);  // ids are not reused before the counter wraps
  EXPECT_TRUE(wait_stop_interpreter(third, 60));
  EXPECT_EQ(get_main_interpreter(), main_iid);

  EXPECT_EQ(close_interpreter(main_iid), 0);
  EXPECT_EQ(get_main_interpreter_state(), 2);
  EXPECT_EQ(get_main_interpreter(), -1);
  EXPECT_EQ(start_file(quick, "", ""), ZUI_ERR_SHUTDOWN);
  wait_stop_all();  // only internal interpreters are left
  auto internal_ids = [] {
    std::vector<int> ids;
    ZU_INTERPRETER info;
    for (int iid = get_next_iid(0); iid > 0; iid = get_next_iid(iid)) {
      ids.push_back(iid);
      if (get_zui_info(&info, iid) == 0) {
        EXPECT_EQ(info.a_type, ZUI_SELF);
      }
    }
    return ids;
  };
  std::vector<int> left = internal_ids();
  EXPECT_NE(std::find(left.begin(), left.end(), self), left.end());

  std::thread([] {
    int iid = open_self_interpreter();
    EXPECT_GT(iid, 0);
    EXPECT_EQ(get_my_iid(), iid);
    close_self_interpreter();
  }).join();
  close_self_interpreter();
  left = internal_ids();
  EXPECT_EQ(std::find(left.begin(), left.end(), self), left.end());
}

}  // namespace

// The standard input as a file interpreter's input: "-" prints raw values
// by their size only, "+" with their bytes.
TEST(InterpStandardInput, PlusCarriesRawBytesMinusTheirSizeOnly) {
  for (const char* name : {"+", "-"}) {
    Conversation c = Conversation::body("StandardInputInterpreter", {name});
    ASSERT_TRUE(c.started());
    c.send("#3#xyz]\n");
    EXPECT_TRUE(c.read_until("</Result>")) << name << " " << c.output();
    EXPECT_EQ(c.finish(), 0) << name;
    EXPECT_NE(c.output().find(*name == '+' ? "#3#xyz]" : "#3#]"), std::string::npos) << name << " " << c.output();
  }
}

// The table of records reaches the threads that serve its records only
// through the table of thread operations, which start-up fills first:
// bringing the table up without it is a slip of the program, stopped at
// once instead of at the first record's start.
TEST(InterpDeathTest, StartingWithoutThreadOperationsStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(init_interpreter(), testing::ExitedWithCode(1), "init_interpreter: no thread operations");
}
