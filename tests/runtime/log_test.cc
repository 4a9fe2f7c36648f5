#include "runtime/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/zutime.h"
#include "runtime/agent_name.h"
#include "runtime/interp.h"
#include "runtime/log_impl.h"
#include "runtime/zu_init.h"
#include "runtime_test_util.h"
#include "stream/stream.h"
#include "zu/eval.h"
#include "zu/printer.h"
#include "zu/reader.h"

namespace {

std::string slurp(const std::string& path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string narrow(const L_CHAR* s) {
  std::string r;
  for (; s && *s; ++s) r.push_back(static_cast<char>(*s));
  return r;
}

// The local-time text of a ZU time, without its line end.
std::string ctime_text(unsigned int t) {
  char* c = get_zutime_str(t, 1);
  std::string r(c);
  d_f_ree(c);
  if (!r.empty() && r.back() == '\n') r.pop_back();
  return r;
}

class Log : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    init_zu();
    zu_init_log(qnlisp_top_env0, qnlisp_top_env1);
  }
  // Evaluation needs an interpreter of the calling task.
  void SetUp() override {
    ASSERT_GT(open_self_interpreter(), 0);
    get_my_zui()->ip = 0;
  }
  void TearDown() override {
    reset_log_condition();
    log_sync();
    set_agent_name(nullptr);
    close_self_interpreter();
  }
  // Evaluates every form of text; the last value.
  ZU_SEXP* run(const std::string& text) {
    STREAM* st = s_open_string_read(text.data(), utf8_cm, static_cast<int>(text.size()), 1);
    ZU_SEXP* v = nullptr;
    for (ZU_SEXP* p = init_parse(st, nullptr, nullptr); get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr)
      v = eval(env, p->pair.car);
    return v;
  }
  ZU_SEXP* read(const std::string& text) {
    STREAM* st = s_open_string_read(text.data(), utf8_cm, static_cast<int>(text.size()), 1);
    return car(init_parse(st, nullptr, nullptr));
  }
  std::string func_of(ZU_SEXP* err) {
    return get_type(err) == ZU_TYPE_ERROR ? narrow(err->error->func) : "<not an error>";
  }
  ZuThreadScope scope{"log test"};
  ZUISP_ENV* env = new_env(qnlisp_top_env1);
  TempDir dir;
};

TEST_F(Log, SavedLinesCarryTheHeaderFieldsAskedFor) {
  auto ag = W("ag"), bob = W("bob");
  set_agent_name(ag.c_str());
  std::string full = dir.path() + "/full", lvl = dir.path() + "/lvl", data = dir.path() + "/data",
              user = dir.path() + "/user";
  ZU_SEXP* r = run("(SetLogCondition (Condition (level <= 3)"
                   " (Action type=\"save\" path=\"" + full + "\")"
                   " (Action type=\"save\" path=\"" + lvl + "\" option=\"level:data\")"
                   " (Action type=\"save\" path=\"" + data + "\" option=\"data\")"
                   " (Action type=\"save\" path=\"" + user + "\" option=\"user:data\")))");
  ASSERT_EQ(get_type(r), ZU_TYPE_NULL) << printed(r);
  LOG_NODE_DATA extra{};
  extra.user = bob.data();
  unsigned int t0 = get_zutime();
  log_printf(LOG_LEVEL_WARNING, LOG_LAYER_ZU, &extra, "hello %d", 7);
  log_printf(LOG_LEVEL_ERROR, LOG_LAYER_UI, nullptr, "ends\n");
  log_printf(LOG_LEVEL_SYSTEM, LOG_LAYER_ZU, nullptr, "refused by the level test");
  log_sync();

  unsigned int t1 = get_zutime();

  std::string site = narrow(get_zulisp_site()), text = slurp(full);
  bool found = false;
  for (unsigned int a = t0; a <= t1 && !found; ++a)
    for (unsigned int b = a; b <= t1 && !found; ++b)
      found = text == "[WARNING " + ctime_text(a) + " " + site + "@ag bob ZU ] hello 7\n[ERROR " +
                          ctime_text(b) + " " + site + "@ag UI ] ends\n";
  EXPECT_TRUE(found) << text;
  EXPECT_EQ(slurp(lvl), "[WARNING ] hello 7\n[ERROR ] ends\n");
  EXPECT_EQ(slurp(data), "hello 7\nends\n");
  EXPECT_EQ(slurp(user), "[bob ] hello 7\n[] ends\n");
}

TEST_F(Log, FilesAreDividedBySizeIntoANumberedSeries) {
  std::string base = dir.path() + "/s";
  run("(SetLogCondition (Condition (level = 0) (Action type=\"save\" option=\"data\" size=\"100\""
      " divide=\"3\" path=\"" +
      base + "\")))");
  for (int i = 1; i <= 8; ++i) log_printf(LOG_LEVEL_TEST, LOG_LAYER_NANE, nullptr, "record %d %040d", i, 0);
  log_sync();
  std::string pad(40, '0');
  auto rec = [&](int i) { return "record " + std::to_string(i) + " " + pad + "\n"; };
  EXPECT_EQ(slurp(base + "log0"), rec(7) + rec(8));
  EXPECT_EQ(slurp(base + "log1"), rec(5) + rec(6));
  EXPECT_EQ(slurp(base + "log2"), rec(3) + rec(4));
  EXPECT_FALSE(std::filesystem::exists(base + "log3"));
}

TEST_F(Log, AFullQueueDropsTheOldestRecordWithTheOverflowLine) {
  std::string path = dir.path() + "/o";
  run("(SetLogCondition (Condition (level = 0) (Action type=\"save\" option=\"data\" path=\"" + path + "\")))");
  testing::internal::CaptureStderr();
  lock_task(lock_log);  // holds the log task
  for (int i = 0; i < 1002; ++i) log_printf(LOG_LEVEL_TEST, LOG_LAYER_ZU, nullptr, "rec %d", i);
  unlock_task(lock_log, "test");
  log_sync();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("LOG OVER FLOW " + std::to_string(getpid()) + "\n"), std::string::npos);
  std::string text = slurp(path);
  EXPECT_EQ(text.find("rec 1\n"), std::string::npos);
  EXPECT_NE(text.find("rec 1001\n"), std::string::npos);
}

TEST_F(Log, GetLogTakesOnlyRecordsWhoseWaitActionAdmitsTheCaller) {
  run("(SetLogCondition"
      " (Condition (level = 3) (Action type=\"wait\"))"
      " (Condition (level = 2) (Action type=\"wait\" ip=\"10.1.0.0\" mask=\"255.255.0.0\")))");
  auto u = W("u");
  LOG_NODE_DATA extra{};
  extra.user = u.data();
  for (int i = 0; i < 2100; ++i) {
    log_printf(LOG_LEVEL_ERROR, LOG_LAYER_ZU, &extra, "e%d", i);
    if (i % 500 == 0) log_sync();
  }
  log_printf(LOG_LEVEL_WARNING, LOG_LAYER_NANE, nullptr, "for 10.1");
  log_sync();
  ASSERT_EQ(log_wait_queue_count(), 2101);

  ZU_SEXP* first = run("(GetLog)");
  ASSERT_EQ(list_length(first), 2000);
  ZU_SEXP* oldest = car(first);
  EXPECT_EQ(printed(get_el(oldest, 1)).find("(time "), 0u);
  EXPECT_EQ(printed(cdr(cdr(oldest))),
            "((level \"ERROR\") (URL \"\") (layer \"ZU\") (user \"u\") (data \"e0\"))");
  EXPECT_EQ(printed(get_el(get_el(first, 1999), 6)), "(data \"e1999\")");
  EXPECT_EQ(list_length(run("(GetLog)")), 100);
  EXPECT_EQ(get_type(run("(GetLog)")), ZU_TYPE_NULL);  // 10.1/16 only
  EXPECT_EQ(log_wait_queue_count(), 1);

  std::string got;
  std::thread peer([&] {
    ASSERT_GT(open_self_interpreter(), 0);
    get_my_zui()->ip = static_cast<int>(0x0A010909);
    {
      ZuThreadScope s("peer");
      got = printed(eval(env, read("(GetLog)")));
    }
    close_self_interpreter();
  });
  peer.join();
  EXPECT_NE(got.find("(level \"WARNING\") (URL \"\") (data \"for 10.1\")"), std::string::npos) << got;
  EXPECT_EQ(log_wait_queue_count(), 0);
}

TEST_F(Log, SetLogConditionErrorsNameTheirCauseAndLeaveNoCondition) {
  struct Case {
    const char* text;
    const char* func;
  } cases[] = {
      {"(Condition (Action path=\"x\"))", "log condition action attribute (type is required)"},
      {"(Condition (Action type=\"mail\"))", "log condition action attribute (type)"},
      {"(Condition (Action type=\"save\" option=\"data:level\"))", "log condition action attribute (option)"},
      {"(Condition (level <))", "log condition element parameter"},
      {"(Condition (lvl = 1))", "log condition element parameter"},
      {"(Condition (level = \"x\"))", "log condition element parameter"},
      {"(Condition (user = 1))", "log condition element parameter"},
      {"(Condition (1 < level < 3 4))", "log condition element parameter"},
  };
  for (const Case& c : cases) {
    run("(SetLogCondition (Condition (level = 9) (Action type=\"console\")))");
    ASSERT_NE(condition_list, nullptr);
    testing::internal::CaptureStderr();
    ZU_SEXP* r = run(std::string("(SetLogCondition (Condition (level = 9) (Action type=\"console\")) ") +
                     c.text + ")");
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(get_type(r), ZU_TYPE_ERROR) << c.text;
    EXPECT_EQ(r->error->code, ZU_ER_PARAM) << c.text;
    EXPECT_EQ(func_of(r), c.func) << c.text;
    EXPECT_NE(err.find("get_log_cond err\n"), std::string::npos);
    EXPECT_EQ(condition_list, nullptr) << c.text;
  }
  ZU_SEXP* extra = run("(SetLogCondition (Condition (level = 1 2)))");
  ASSERT_EQ(get_type(extra), ZU_TYPE_ERROR);
  EXPECT_EQ(printed(extra->error->data), "(2)");
  ZU_SEXP* q = run("(SetLogCondition type=\"odd\" (Condition))");
  EXPECT_EQ(func_of(q), "quote");
}

TEST_F(Log, ComparisonShapesAcceptWhatTheySay) {
  auto accepts = [&](const std::string& cond, int level, const char* user, const char* data) {
    ZU_SEXP* err = get_log_cond(read("(Condition " + cond + ")"));
    EXPECT_EQ(err, nullptr) << cond;
    LOG_NODE_DATA d{};
    d.level = level;
    std::basic_string<L_CHAR> u = W(user ? user : ""), m = W(data ? data : "");
    d.user = user ? u.data() : nullptr;
    d.data = data ? m.data() : nullptr;
    bool ok = cmp_log_node_data(&d, condition_list) == 0;
    reset_log_condition();
    return ok;
  };
  auto levels = [&](const std::string& cond) {
    std::string r;
    for (int l = 0; l <= 5; ++l)
      if (accepts(cond, l, nullptr, nullptr)) r += std::to_string(l);
    return r;
  };
  EXPECT_EQ(levels("(level <= 3)"), "0123");
  EXPECT_EQ(levels("(2 <= level <= 3)"), "23");
  EXPECT_EQ(levels("(1 < level < 4)"), "23");
  EXPECT_EQ(levels("(1 <= level < 3)"), "12");
  EXPECT_EQ(levels("(1 < level <= 3)"), "23");
  EXPECT_EQ(levels("(2 < level)"), "345");
  EXPECT_EQ(levels("(2 <= level)"), "2345");
  EXPECT_EQ(levels("(level < 2)"), "01");
  EXPECT_EQ(levels("(4 = level)"), "4");
  EXPECT_EQ(levels("(level = 1) (level = 5)"), "5");

  EXPECT_TRUE(accepts("(data = \"abc\" *)", 0, nullptr, "abcdef"));
  EXPECT_FALSE(accepts("(data = \"abc\" *)", 0, nullptr, "xabc"));
  EXPECT_TRUE(accepts("(\"abc\" * = data)", 0, nullptr, "abc"));
  EXPECT_TRUE(accepts("(* \"abc\" = data)", 0, nullptr, "xxabc"));
  EXPECT_FALSE(accepts("(* \"abc\" = data)", 0, nullptr, "abcx"));
  EXPECT_FALSE(accepts("(* \"abc\" = data)", 0, nullptr, nullptr));
  EXPECT_FALSE(accepts("(\"x\" = user)", 0, nullptr, nullptr));
  EXPECT_FALSE(accepts("(user = \"x\")", 0, nullptr, nullptr));
  EXPECT_TRUE(accepts("(user = \"x\")", 0, "x", nullptr));
  EXPECT_TRUE(accepts("(\"b\" <= data < \"c\")", 0, nullptr, "bz"));
  EXPECT_FALSE(accepts("(\"b\" <= data < \"c\")", 0, nullptr, "c"));
  EXPECT_FALSE(accepts("(\"b\" <= data < \"c\")", 0, nullptr, nullptr));
  EXPECT_TRUE(accepts("(\"b\" <= data)", 0, nullptr, "zzz"));
  EXPECT_TRUE(accepts("(level = 2) (user = \"x\")", 2, "x", nullptr));
  EXPECT_FALSE(accepts("(level = 2) (user = \"x\")", 3, "x", nullptr));
}

TEST_F(Log, ActionsRunLastWrittenFirstAndConsoleAndResetWork) {
  std::string path = dir.path() + "/two", reset = dir.file("old", "old text\n");
  testing::internal::CaptureStderr();
  run("(SetLogCondition (Reset file=\"" + reset + "\") (Condition (level = 1)"
      " (Action type=\"save\" option=\"data\" path=\"" + path + "\")"
      " (Action type=\"console\")"
      " (Action type=\"save\" option=\"level\" path=\"" + path + "\")"
      " (Action type=\"relay\" path=\"http://127.0.0.1:1/\")))");
  log_printf(LOG_LEVEL_DEBUG, LOG_LAYER_ZU, nullptr, "m");
  log_sync();
  EXPECT_NE(testing::internal::GetCapturedStderr().find("m\n"), std::string::npos);
  EXPECT_EQ(slurp(path), "[DEBUG ] \nm\n");
  EXPECT_EQ(slurp(reset), "");
  EXPECT_EQ(get_type(run("(FetchLog)")), ZU_TYPE_NULL);
  // A fetch task keeps asking a peer that fails; it ends with the process.
  EXPECT_EQ(get_type(run("(FetchLog target=\"http://127.0.0.1:1/\")")), ZU_TYPE_NULL);
  ZU_SEXP* names = run("(list TEST MESSAGE NANE ZU UI)");
  EXPECT_EQ(printed(names), "(0 5 0 4 6)");
}

TEST_F(Log, TemplatesSubstituteFieldsWithoutLeavingTheDirectory) {
  LOG_NODE_DATA d{};
  auto user = W("../x"), data = W("a/b"), key = W(".."), server = W("h.example");
  d.user = user.data();
  d.data = data.data();
  d.key = key.data();
  d.u.server = server.data();
  d.level = 3;
  auto expand = [&](const char* t, const LOG_NODE_DATA* rec) {
    return take(parse_dir_path(rec, W(t).c_str()));
  };
  EXPECT_EQ(expand("/l/\\{user}/\\{data}.\\{key}", &d), "/l/_._x/a_b._.");
  EXPECT_EQ(expand("/l/\\{URL.server}:\\{URL.port}-\\{level}\\{URL.agent}", &d), "/l/h.example:0-3");
  EXPECT_EQ(expand("/l/\\{nope}\\{user", &d), "/l/\\{nope}\\{user");
  EXPECT_EQ(expand("/l/\\x\\{level}", nullptr), "/l/\\x\\{level}");
  {
    EnvGuard home("HOME", "/home/someone");
    EXPECT_EQ(expand("\\{preference}log", nullptr), "/home/someone/.pzuconf/log");
  }

  std::string sub = dir.path() + "/logs";
  std::filesystem::create_directories(sub);
  auto tmpl = W(sub + "/\\{user}-\\{data}");
  LOG_ACTION a{};
  a.type = LOG_ACT_SAVE;
  a.path = tmpl.data();
  a.option = LOG_OPT_DATA;
  LOG_NODE n{};
  n.d = d;
  lock_task(lock_log);
  do_log_action_save_file(&a, &n);
  unlock_task(lock_log, "test");
  llpl_check(1);
  std::vector<std::string> names;
  for (auto& e : std::filesystem::recursive_directory_iterator(dir.path()))
    names.push_back(e.path().string());
  EXPECT_EQ(names, std::vector<std::string>({sub, sub + "/_._x-a_b"}));
}

TEST_F(Log, ListFormsReadBackAndStopAtAWrongType) {
  LOG_NODE_DATA d{};
  ASSERT_EQ(get_log_node_data_from_sexp(
                &d, read("(Log (time 12sec) (level \"ERROR\") (URL \"http://h:81/@ag/db/r\") (layer 5)"
                         " (user \"u\") (data \"m\"))")),
            0);
  EXPECT_EQ(printed(get_log_node_sexp(&d)),
            "(Log (time 12sec) (level \"ERROR\") (URL \"http://h:81/@ag/db/r\") (layer \"QN\") (user \"u\") "
            "(data \"m\"))");
  free_log_node_data(&d);
  LOG_NODE_DATA e{};
  EXPECT_EQ(get_log_node_data_from_sexp(&e, read("(Log (level \"LOUD\") (data \"m\"))")), -1);
  EXPECT_EQ(e.data, nullptr);
}

}  // namespace
