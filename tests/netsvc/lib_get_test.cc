// The library's Get, bound without the matrix commands (so Get is the
// library's): documents from two trees, modes, and the read locks its path
// rules ask for, watched at the lock service tool's log.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "netsvc_test_util.h"
#include "runtime/agent_name.h"
#include "runtime/call_lock.h"
#include "runtime/docpath.h"
#include "runtime/interp.h"
#include "support/child.h"
#include "support/runtime/interpreters.h"
#include "support/temp_dir.h"
#include "zu/env.h"
#include "zu/eval.h"
#include "zulib/load_save.h"

namespace {

// The trees of /lg/ and its rules, once per process (pairs and rules are
// never removed).
class LibGet : public ::testing::Test {
 protected:
  static TempDir& tree() {
    static TempDir t("libget");
    static bool made = [] {
      start_netsvc_once();
      ZuThreadScope scope("lib get");
      auto agent = wide("lg");
      set_agent_name(agent.c_str());
      Reg_List_pathpair(wide(t.path()).c_str(), wide("/lg/").c_str());
      const struct {
        const char* suffix;
        const char* mode;
        int flags;
      } kRules[] = {{".zu", "zu", GF_DOCS_SYS},
                    {".raw", "raw", GF_SYS_DOCS},
                    {".bad", "xml", GF_DOCS},
                    {".l4", "zu", GF_DOCS | GF_LOCK_URL},
                    {".l8", "raw", GF_DOCS | GF_LOCK_FULL},
                    {".l12", "zu", GF_DOCS | GF_LOCK_URL | GF_LOCK_FULL},
                    {".l0", "zu", GF_DOCS}};
      for (auto& r : kRules)
        insert_getfile(wide(r.suffix).c_str(), agent.c_str(), wide(r.mode).c_str(), r.flags,
                       list(get_string_ascii("Get")));
      return true;
    }();
    (void)made;
    return t;
  }
  void SetUp() override {
    tree();
    ASSERT_GT(open_self_interpreter(), 0);
  }
  void TearDown() override { close_self_interpreter(); }
  static ZU_SEXP* get(const std::string& path) { return eval(qnlisp_top_env1, car(forms_of("(Get \"" + path + "\")"))); }
  ZuThreadScope scope{"lib get test"};
};

TEST_F(LibGet, FirstTreeThatHoldsTheFileServesIt) {
  tree().file("zudocs/both.zu", "(docs 1)");
  tree().file("zusys/both.zu", "(sys 1)");
  tree().file("zusys/sys.zu", "(sys 2) (sys 3)");
  tree().file("zusys/both.raw", "SYS");
  tree().file("zudocs/both.raw", "DOCS");
  EXPECT_EQ(shown(get("/lg/both.zu")), "((docs 1))");
  EXPECT_EQ(shown(get("/lg/sys.zu")), "((sys 2) (sys 3))");
  EXPECT_EQ(shown(get("/lg/both.raw")), "(#3#SYS])");
  EXPECT_EQ(shown(get("/lg//./both.zu?v=2")), "((docs 1))");
  // Neither tree holds it: the error of the last try.
  EXPECT_EQ(shown(get("/lg/none.zu")),
            "error 80040a06 load (\"cannot open the file\" \"" + tree().path() + "/zusys/none.zu\")");
  const char* refusals[][2] = {
      {"/lg/both.bad", "error 80040608 Get \"unsupport Get mode\""},
      {"/lg/x.unknown", "error 8004070e Get (\"undefined prefix\")"},
      {"/lg/../both.zu", "error 80040503 Get (\"invalid file path\")"},
  };
  for (auto& r : refusals) EXPECT_EQ(shown(get(r[0])), r[1]);
  EXPECT_EQ(shown(eval(qnlisp_top_env1, car(forms_of("(Get 5)")))), "error 80030806 Get \"type missmatch\"");
}

// The lock service tool with its log, bound where the lock client looks.
struct LockService {
  explicit LockService(const TempDir& dir) : log(dir.at("lockd.log")) {
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    ChildOptions opt;
    opt.out = p[1];
    opt.err = open(log.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    child = start_program({test_path("lockd"), "0", "-v"}, opt);
    close(p[1]);
    close(opt.err);
    FILE* f = fdopen(p[0], "r");
    int port = -1;
    EXPECT_EQ(fscanf(f, "port %d", &port), 1);
    fclose(f);
    call_lock_forget_service();
    EXPECT_EQ(0, set_env(qnlisp_top_env1, wide("LockPort").c_str(), get_integer(port, nullptr)));
    EXPECT_EQ(0, set_env(qnlisp_top_env1, wide("LockHostName").c_str(), get_string_ascii("127.0.0.1")));
  }
  ~LockService() {
    call_lock_forget_service();
    EXPECT_EQ(0, del_env(qnlisp_top_env1, wide("LockPort").c_str()));
    EXPECT_EQ(0, del_env(qnlisp_top_env1, wide("LockHostName").c_str()));
    child.kill(SIGTERM);
    child.wait();
  }
  // Lines of the log naming this request ("lock read" or "unlock") for name.
  int count(const char* request, const std::string& name) const {
    std::ifstream in(log);
    std::string line, want = std::string(request) + " \"" + name + "\"";
    if (std::string(request) == "lock") want = "lock read \"" + name + "\"";
    int n = 0;
    while (std::getline(in, line)) n += line.find(want) != std::string::npos;
    return n;
  }
  std::string log;
  Child child;
};

TEST_F(LibGet, LockBitsTakeReadLocksUntilTheStreamCloses) {
  // A main interpreter for the process's whole life, so that no link to the
  // lock service becomes the main one.
  if (get_main_interpreter_state() == 0) ensure_main_interpreter();
  LockService lockd(tree());
  for (const char* f : {"a.l4", "a.l8", "a.l12", "a.l0"}) tree().file(std::string("zudocs/") + f, "(1) (2)");
  std::string local8 = tree().path() + "/zudocs/a.l8";
  // Bit 4: the ZU path, held while the list is read lazily.
  ZU_SEXP* forms = get("/lg/a.l4");
  gc_set_nl(forms, gc_qn_sexp);
  EXPECT_EQ(lockd.count("lock", "/lg/a.l4"), 1);
  EXPECT_EQ(lockd.count("unlock", "/lg/a.l4"), 0);
  EXPECT_EQ(shown(forms), "((1) (2))");
  EXPECT_TRUE(wait_until([&] { return lockd.count("unlock", "/lg/a.l4") == 1; }));
  // Bit 8: the local file, held until the raw list has been read.
  ZU_SEXP* bytes = get("/lg/a.l8");
  EXPECT_EQ(lockd.count("lock", local8), 1);
  EXPECT_EQ(list_length(bytes), 1);
  EXPECT_TRUE(wait_until([&] { return lockd.count("unlock", local8) == 1; }));
  // Both bits, or neither: no traffic at all.
  EXPECT_EQ(shown(get("/lg/a.l12")), "((1) (2))");
  EXPECT_EQ(shown(get("/lg/a.l0")), "((1) (2))");
  std::ifstream in(lockd.log);
  std::string all(std::istreambuf_iterator<char>(in), {});
  EXPECT_EQ(all.find("a.l12"), std::string::npos) << all;
  EXPECT_EQ(all.find("a.l0"), std::string::npos) << all;
}

// lock_file takes the write lock that a path's rule asks for (the path
// itself for bit 4, its local file for bit 8, nothing for both bits or
// neither), and unlock_file gives it back; an unknown path takes nothing.
TEST_F(LibGet, LockFileTakesTheWriteLockItsRuleAsksFor) {
  if (get_main_interpreter_state() == 0) ensure_main_interpreter();
  LockService lockd(tree());
  // Rules of the same lock bits that the loading command may use.
  static const bool ruled = [] {
    auto agent = wide("lg");
    for (auto [suffix, flags] : {std::pair{".w4", GF_DOCS | GF_LOCK_URL}, std::pair{".w8", GF_DOCS | GF_LOCK_FULL},
                                 std::pair{".w12", GF_DOCS | GF_LOCK_URL | GF_LOCK_FULL}, std::pair{".w0", GF_DOCS}})
      insert_getfile(wide(suffix).c_str(), agent.c_str(), wide("zu").c_str(), flags, list(get_string_ascii("Load")));
    return true;
  }();
  (void)ruled;
  for (const char* f : {"a.w4", "a.w8", "a.w12", "a.w0"}) tree().file(std::string("zudocs/") + f, "(1)");
  const struct {
    const char* path;
    std::string name;  // empty: no lock
  } cases[] = {{"/lg/a.w4", "/lg/a.w4"}, {"/lg/a.w8", tree().path() + "/zudocs/a.w8"}, {"/lg/a.w12", ""}, {"/lg/a.w0", ""}};
  for (const auto& c : cases) {
    CALL_LOCK_DESCRIPTER d;
    ZU_SEXP* err = lock_file(&d, wide(c.path).c_str(), nullptr);
    EXPECT_EQ(err, nullptr) << c.path << " " << shown(err);
    if (c.name.empty()) {
      EXPECT_EQ(unlock_file(d), -1) << c.path;
      continue;
    }
    EXPECT_EQ(lockd.count("lock write", c.name), 1) << c.path;
    EXPECT_EQ(unlock_file(d), 0) << c.path;
    EXPECT_TRUE(wait_until([&] { return lockd.count("unlock", c.name) == 1; })) << c.path;
  }
  CALL_LOCK_DESCRIPTER d;
  EXPECT_NE(lock_file(&d, wide("/lg/x.unknown").c_str(), nullptr), nullptr);
  EXPECT_EQ(unlock_file(d), -1);
  std::ifstream in(lockd.log);
  std::string all(std::istreambuf_iterator<char>(in), {});
  EXPECT_EQ(all.find("a.w12"), std::string::npos) << all;
  EXPECT_EQ(all.find("a.w0"), std::string::npos) << all;
}

}  // namespace
