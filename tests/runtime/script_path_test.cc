#include "runtime/script_path.h"

#include <gtest/gtest.h>

#include "runtime/zu_init.h"
#include "runtime_test_util.h"

namespace {

std::string opt(const std::string& p) { return take(optimize_path(W(p).c_str())); }

TEST(OptimizePath, ExamplesAndClimbing) {
  EXPECT_EQ(opt("/a/b/../c"), "/a/c");
  EXPECT_EQ(opt("a/./b"), "a/b");
  EXPECT_EQ(opt("../x"), "../x");
  EXPECT_EQ(opt("./a"), "./a");
  EXPECT_EQ(opt("/a/b/"), "/a/b/");
  EXPECT_EQ(opt("/a//b"), "/b");  // a doubled "/" restarts at the root
  // ".." never climbs above the root, and climbing out of a relative path
  // keeps every step.
  EXPECT_EQ(opt("/../x"), "/x");
  EXPECT_EQ(opt("/a/.."), "/");
  EXPECT_EQ(opt("../../x"), "../../x");
  EXPECT_EQ(opt("./../x"), "../x");
  EXPECT_EQ(opt("a/../../b"), "../b");
  EXPECT_EQ(opt("a/."), "a");
  EXPECT_EQ(opt(""), "");
}

TEST(ScriptPath, AbsoluteAndRelativeFollowTheScriptPath) {
  set_script_path(W("/srv/scripts/main.zu").c_str());
  EXPECT_EQ(take(get_script_path()), "/srv/scripts/");
  EXPECT_EQ(take(get_absolute_path(W("lib/../x.zu").c_str())), "/srv/scripts/x.zu");
  EXPECT_EQ(take(get_absolute_path(W("/etc/./y").c_str())), "/etc/y");
  EXPECT_EQ(take(get_relative_path(W("/srv/scripts/sub/z.zu").c_str())), "sub/z.zu");
  EXPECT_EQ(take(get_relative_path(W("/other/z.zu").c_str())), "/other/z.zu");
  set_script_path(W("plain.zu").c_str());
  EXPECT_EQ(take(get_script_path()), "./");
  set_script_path(nullptr);
  EXPECT_EQ(take(get_script_path()), "<null>");
  EXPECT_EQ(take(get_absolute_path(W("a/./b").c_str())), "a/b");
}

class ScriptSearch : public ::testing::Test {
 protected:
  void SetUp() override { init_zu(); }
  TempDir home, elsewhere;
};

TEST_F(ScriptSearch, OrderOfPlaces) {
  EnvGuard h("HOME", home.path().c_str());
  EnvGuard z("ZUPATH", nullptr);
  std::string caller_dir = elsewhere.path() + "/caller/";
  elsewhere.file("caller/beside.zu", "1");
  elsewhere.file("run/under.zu", "2");
  set_script_path(W(elsewhere.path() + "/run/main.zu").c_str());
  std::string caller = caller_dir + "me.zu";

  EXPECT_EQ(take(get_script(W(caller).c_str(), W("beside.zu").c_str())), caller_dir + "beside.zu");
  EXPECT_EQ(take(get_script(W(caller).c_str(), W("under.zu").c_str())),
            elsewhere.path() + "/run/under.zu");
  // Absolute names are taken as they are or not at all.
  EXPECT_EQ(take(get_script(nullptr, W("/nonexistent/beside.zu").c_str())), "<null>");
  EXPECT_EQ(take(get_script(nullptr, W("nowhere.zu").c_str())), "<null>");
  set_script_path(nullptr);
}

TEST_F(ScriptSearch, ZupathWinsOverStartupFilesAndLastFormFirst) {
  EnvGuard h("HOME", home.path().c_str());
  std::string a = elsewhere.path() + "/a", b = elsewhere.path() + "/b", c = elsewhere.path() + "/c";
  elsewhere.file("a/s.zu", "1");
  elsewhere.file("b/s.zu", "2");
  elsewhere.file("c/s.zu", "3");
  elsewhere.file("c/only_c.zu", "3");
  home.file(".zurc", "(ZUPATH \"" + a + "\")\n(other \"" + c + "\")\n(ZUPATH 12)\n(ZUPATH \"" + b + "\")\n");
  {
    EnvGuard z("ZUPATH", (elsewhere.path() + "/missing;" + c).c_str());
    EXPECT_EQ(take(get_zuwhich(W("s.zu").c_str())), c + "/");
  }
  EnvGuard z("ZUPATH", nullptr);
  EXPECT_EQ(take(get_zuwhich(W("s.zu").c_str())), b + "/");
  EXPECT_EQ(take(get_script(nullptr, W("s.zu").c_str())), b + "/s.zu");
  EXPECT_EQ(take(get_zuwhich(W("only_c.zu").c_str())), "<null>");
}

TEST_F(ScriptSearch, PreferenceDirectoryAndBrokenStartupFile) {
  EnvGuard h("HOME", home.path().c_str());
  EnvGuard z("ZUPATH", nullptr);
  std::string d = elsewhere.path() + "/d";
  elsewhere.file("d/p.zu", "1");
  elsewhere.file("d/q.zu", "1");
  // The forms before a reader error still count.
  home.file(".zurc", "(ZUPATH \"" + d + "/nothing\")\n(ZUPATH \"" + d + "\") (unbalanced\n");
  home.file(".pzuconf/zurc", "(ZUPATH \"" + d + "\")\n");
  EXPECT_EQ(take(get_zuwhich(W("q.zu").c_str())), d + "/");
  std::filesystem::remove(home.path() + "/.zurc");
  EXPECT_EQ(take(get_zuwhich(W("p.zu").c_str())), d + "/");
}

TEST(SearchPathText, SeparatorsAndTrailingSlash) {
  TempDir t;
  t.file("x/f.zu", "1");
  std::string list = " ;" + t.path() + "/none:\t\r\n" + t.path() + "/x/ ";
  EXPECT_EQ(take(_zuwhich(W(list).c_str(), W("f.zu").c_str())), t.path() + "/x/");
}

}  // namespace
