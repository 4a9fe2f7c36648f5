#include "runtime/docpath.h"

#include <gtest/gtest.h>

#include "runtime/agent_name.h"
#include "runtime_test_util.h"
#include "stream/stream.h"
#include "zu/core_init.h"
#include "zu/printer.h"

namespace {

// Pairs are process-wide and never removed: every test sees the same
// registrations, made once in an order that puts "/" between the others.
class DocPath : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    init_qnlisp();
    static bool done = false;
    if (done) return;
    done = true;
    Reg_List_pathpair(W("/var/m").c_str(), W("/maps/").c_str());
    Reg_List_pathpair(W("/var/root/").c_str(), W("/").c_str());
    Reg_List_pathpair(W("/var/deep").c_str(), W("/maps/deep/").c_str());
    Reg_List_pathpair(W("/var/second").c_str(), W("/maps/").c_str());
  }
  void TearDown() override { set_agent_name(nullptr); }
  static std::string docs(const char* f) { return take(get_zudocs(W(f).c_str())); }
  static std::string sys(const char* f) { return take(get_zusys(W(f).c_str())); }
  ZuThreadScope scope{"docpath test"};
};

TEST_F(DocPath, TreesFollowTheLongestRegisteredPrefix) {
  EXPECT_EQ(docs("/maps/a/b.zu"), "/var/m/zudocs/a/b.zu");
  EXPECT_EQ(sys("/maps/a/b.zu"), "/var/m/zusys/a/b.zu");
  EXPECT_EQ(docs("/maps/deep/x.zu"), "/var/deep/zudocs/x.zu");
  EXPECT_EQ(docs("/other/x.zu"), "/var/root/zudocs/other/x.zu");
  EXPECT_EQ(docs("//maps/x.zu"), "/var/m/zudocs/x.zu");
  EXPECT_EQ(docs("maps/x.zu"), "/var/m/zudocs/x.zu");
  EXPECT_EQ(docs("/a..b.zu"), "/var/root/zudocs/a..b.zu");

  EXPECT_EQ(printed(get_pathpair(W("/var/m/zudocs").c_str())), "(\"/var/m/zudocs/\" \"/var/m/zusys/\" \"/maps/\")");
  EXPECT_EQ(get_pathpair(W("/elsewhere").c_str()), nullptr);
  EXPECT_EQ(take(get_url_path(W("/var/m/zusys/a/b.zu").c_str(), W("u").c_str())), "/maps/a/b.zu");
  EXPECT_EQ(take(get_url_path(W("/var/root/zudocs/q.zu").c_str(), W("u").c_str())), "/q.zu");
  EXPECT_EQ(take(get_url_path(W("/tmp/q.zu").c_str(), W("u").c_str())), "u");
  EXPECT_EQ(take(get_sys_path("conf/a")), "/var/root/zusys/conf/a");
}

TEST_F(DocPath, DotDotComponentsMapToNoFile) {
  for (const char* f : {"/maps/../etc/passwd", "/maps/a/..", "../x", "/..", "/maps/a/../../b.zu"}) {
    EXPECT_EQ(docs(f), "<null>") << f;
    EXPECT_EQ(sys(f), "<null>") << f;
  }
  URL u;
  ASSERT_EQ(get_url2(&u, W("http://h/@ag/maps/../x.zu").c_str()), 0);
  EXPECT_EQ(take(get_zudocs_path(&u)), "<null>");
  free_url(&u);
  ASSERT_EQ(get_url2(&u, W("http://h/@ag/maps/x.zu").c_str()), 0);
  EXPECT_EQ(take(get_zusys_path(&u)), "/var/m/zusys/x.zu");
  EXPECT_EQ(take(get_zudocs_apppath(&u, ".bak")), "/var/m/zudocs/x.zu.bak");
  EXPECT_EQ(take(get_zusys_apppath(&u, "../../y")), "<null>");
  free_url(&u);
  EXPECT_EQ(take(get_append_path(W("/d").c_str(), "a/../../b")), "<null>");
  EXPECT_EQ(take(get_append_path(W("/d").c_str(), "a/b")), "/d/a/b");
}

TEST_F(DocPath, JoiningPutsExactlyOneSlash) {
  auto join = [](const char* a, const char* b) { return take(get_synth_path(W(a).c_str(), W(b).c_str())); };
  EXPECT_EQ(join("/a", "b"), "/a/b");
  EXPECT_EQ(join("/a/", "/b"), "/a/b");
  EXPECT_EQ(join("/a/", "b"), "/a/b");
  EXPECT_EQ(join("/a", "/b"), "/a/b");
  EXPECT_EQ(join("/a", ".zu"), "/a.zu");
}

TEST_F(DocPath, GetPathResolvesByRuleOrderAndCommand) {
  L_CHAR* t[2];
  ZU_GETFILE* gf;
  auto get = [&](const char* f, const char* cmd) { return get_path(t, &gf, W(f).c_str(), nullptr, W(cmd).c_str()); };
  auto code = [](ZU_SEXP* e) { return get_type(e) == ZU_TYPE_ERROR ? e->error->code : 0u; };

  ZU_SEXP* e = get("/maps/a.zu", "Get");
  EXPECT_EQ(code(e), ZU_ER_NOT_INITIALIZED);
  EXPECT_EQ(printed(e->error->data), "(\"dbpath and agent name is undefined\")");
  auto agent = W("me");
  set_agent_name(agent.c_str());

  const char* orders[] = {".s", ".d", ".sd", ".ds"};
  for (int i = 0; i < 4; ++i) {
    ZU_SEXP* cmds = List(get_string_ascii("Get"), get_string_ascii("Status"), ZU_LIST_END);
    ASSERT_EQ(insert_getfile(W(orders[i]).c_str(), agent.c_str(), W("zu").c_str(), i, cmds), nullptr);
  }
  auto resolve = [&](const char* f) {
    EXPECT_EQ(get(f, "Status"), nullptr) << f;
    return take(t[0]) + " " + take(t[1]);
  };
  EXPECT_EQ(resolve("/maps/x.s"), "/var/m/zusys/x.s <null>");
  EXPECT_EQ(resolve("/maps/x.d"), "/var/m/zudocs/x.d <null>");
  EXPECT_EQ(resolve("/maps/x.sd"), "/var/m/zusys/x.sd /var/m/zudocs/x.sd");
  EXPECT_EQ(resolve("/maps/x.ds"), "/var/m/zudocs/x.ds /var/m/zusys/x.ds");
  EXPECT_EQ(gf->flags, GF_DOCS_SYS);

  for (const char* bad : {"/a/b", "/a.b/c", "a/b.s", "/a/../b.s", "/a/..b.s"}) {
    e = get(bad, "Get");
    EXPECT_EQ(code(e), ZU_ER_PARAM) << bad;
    EXPECT_EQ(printed(e->error->data), "(\"invalid file path\")");
  }
  e = get("/maps/x.s", "Load");
  EXPECT_EQ(code(e), ZU_ER_UNDEFINED);
  EXPECT_EQ(printed(e->error->data), "(\"undefined prefix\")");
  EXPECT_EQ(code(get("/maps/x.zz", "Get")), ZU_ER_UNDEFINED);

  // Registering again updates the rule; a non-string command is an error.
  ZU_SEXP* again = List(get_string_ascii("Get"), get_integer(3, nullptr), ZU_LIST_END);
  EXPECT_EQ(code(insert_getfile(W(".s").c_str(), agent.c_str(), W("raw").c_str(), GF_DOCS | GF_LOCK_URL, again)),
            ZU_ER_TYPE);
  ZU_GETFILE* r = search_getfile(W(".s").c_str(), agent.c_str(), W("Get").c_str());
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->flags, GF_DOCS | GF_LOCK_URL);
  EXPECT_EQ(take(ll_copy_str(r->mode)), "raw");
  EXPECT_EQ(search_getfile(W(".s").c_str(), agent.c_str(), W("Status").c_str())->flags, GF_SYS);
  ZU_GETFILE* first = search_getfile_by_prefix(W(".s").c_str(), nullptr);
  ASSERT_NE(first, nullptr);
  ZU_GETFILE* second = search_getfile_by_prefix(W(".s").c_str(), first->next);
  ASSERT_NE(second, nullptr);
  // A null start means the suffix's own chain, so a walk stops at the chain's end.
  EXPECT_TRUE(!second->next || !search_getfile_by_prefix(W(".s").c_str(), second->next));
}

// Authentication checks the normalized path, so get_path must serve the
// file of that same path.
TEST_F(DocPath, OneNormalizerForResolutionAndChecks) {
  const char* cases[][2] = {{"/a/b.zu", "/a/b.zu"},        {"//a//./b.zu", "/a/b.zu"}, {"a/b.zu", "/a/b.zu"},
                            {"/a/b.zu?x=/c.d#e", "/a/b.zu"}, {"/a#b/c.zu", "/a"},       {"/./", "/"},
                            {"/a/../b.zu", "<null>"},         {"/a..b.zu", "<null>"},   {"/a/b.zu?..", "/a/b.zu"}};
  for (auto& c : cases) EXPECT_EQ(take(normalize_doc_path(W(c[0]).c_str())), c[1]) << c[0];
  EXPECT_EQ(normalize_doc_path(nullptr), nullptr);
  auto agent = W("norm");
  set_agent_name(agent.c_str());
  ASSERT_EQ(insert_getfile(W(".n").c_str(), agent.c_str(), W("zu").c_str(), GF_SYS, list(get_string_ascii("Get"))),
            nullptr);
  L_CHAR* t[2];
  ZU_GETFILE* gf;
  ASSERT_EQ(get_path(t, &gf, W("/maps//./x.n?v=1").c_str(), nullptr, W("Get").c_str()), nullptr);
  EXPECT_EQ(take(t[0]), "/var/m/zusys/x.n");
  ZU_SEXP* e = get_path(t, &gf, W("/maps/x#.n").c_str(), nullptr, W("Get").c_str());
  EXPECT_EQ(printed(e->error->data), "(\"invalid file path\")");
}

TEST_F(DocPath, PathCheckReportsWhichTreesHoldTheFile) {
  TempDir dir;
  Reg_List_pathpair(W(dir.path()).c_str(), W("/check/").c_str());
  dir.file("zudocs/both.zu", "x");
  dir.file("zusys/both.zu", "x");
  dir.file("zusys/sys.zu", "x");
  EXPECT_EQ(path_check(W("/check/both.zu").c_str()), 3);
  EXPECT_EQ(path_check(W("/check/sys.zu").c_str()), 2);
  EXPECT_EQ(path_check(W("/check/none.zu").c_str()), 0);
}

}  // namespace
