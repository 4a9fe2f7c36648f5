// The authentication of peers without a link: access files in a document
// tree, the rules of paths judged against results a peer would send, the
// client's answers, the bounds of peer lists and the key files of
// localhost-root.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <regex>

#include "base/alloc.h"
#include "base/paths.h"
#include "netsvc/auth_impl.h"
#include "netsvc_test_util.h"
#include "runtime/docpath.h"
#include "runtime/interp.h"
#include "support/runtime/interpreters.h"
#include "support/temp_dir.h"
#include "zu/eval.h"

namespace {

std::string access(const std::string& body) { return "(?zu encoding=\"UTF-8\")\n(zuaccess " + body + ")\n"; }

std::string fup(const std::string& name, const std::string& user, const std::string& passwd) {
  return "(service name=\"" + name + "\" type=\"fix-user-passwd\" user=\"" + user + "\" passwd=\"" + passwd + "\")";
}

std::string site() { return narrow(get_zulisp_site()); }
std::string svc(const std::string& name) { return "SERVICE://" + site() + "/" + name; }

// A link to a server, as the client side knows it.
AUTH_CLIENT_LINK link_to(bool local, std::vector<std::basic_string<L_CHAR>> sites = {}) {
  AUTH_CLIENT_LINK link;
  link.peer_local = local;
  link.sites = std::move(sites);
  return link;
}

// A peer's result of fix-user-passwd for service name.
std::string fup_result(const std::string& name, const std::string& user, const std::string& passwd) {
  return "(service name=\"" + svc(name) + "\" type=\"fix-user-passwd\" status=\"32\" user=\"" + user +
         "\" passwd=\"" + passwd + "\")";
}

// The document tree lives as long as the process, and so does what is known
// of its directories. Each test has directories of its own; the root's
// rule only asks for the operation "RootCase".
class Auth : public ::testing::Test {
 protected:
  static TempDir& tree() {
    static TempDir t("auth");
    static bool registered = [] {
      start_netsvc_once();
      ZuThreadScope scope("auth tree");
      t.file("zudocs/.zuaccess", access(fup("root-pw", "r", "r") + "(target operation=\"RootCase\" \"root-pw\")"));
      Reg_List_pathpair(wide(t.path() + "/").c_str(), wide("/").c_str());
      return true;
    }();
    (void)registered;
    return t;
  }
  void SetUp() override {
    tree();
    c = new_auth_connection_set_table(nullptr);
    // Access files run as on a server's thread: one with an interpreter.
    ASSERT_GT(open_self_interpreter(), 0);
  }
  void TearDown() override {
    close_self_interpreter();
    free_auth_connection_set_table(c);
  }

  static void rules(const std::string& dir, const std::string& body) {
    tree().file("zudocs" + dir + "/.zuaccess", access(body));
  }
  // "allow", "deny", or the service list still required.
  std::string judge(const std::string& path, const char* op = "Get") {
    lock_auth();
    c->check_no = ++c->server_set->auth_gc_no;
    int broken = 0, status = ARS_ACCEPT;
    AUTH_SERVICE_LIST* rules = _exec_authentification(c->server_set, wide(path).c_str(), op, &broken);
    AUTH_SERVICE_LIST* need = broken ? nullptr : _ap_authentification(&status, rules, c);
    std::string r = need ? shown(auth_service_list_sexp(need)) : broken || status == ARS_DENY ? "deny" : "allow";
    free_auth_service_list(rules);
    free_auth_service_list(need);
    unlock_auth();
    return r;
  }
  int answer(const std::string& result_list) {
    ZU_SEXP* form = car(forms_of(result_list));
    lock_auth();
    int n = _auth_recv_result_list(c, form);
    unlock_auth();
    return n;
  }
  AUTH_CONNECTION_SET* c = nullptr;
  ZuThreadScope scope{"auth test"};
};

TEST_F(Auth, TreeWithoutAccessFilesAllowsWithoutAsking) {
  tree().file("zudocs/free/sub/m.lod", "x");
  EXPECT_EQ(judge("/free/sub/m.lod"), "allow");
  EXPECT_EQ(judge("/nowhere/at/all.lod"), "allow");
}

TEST_F(Auth, RootAndDirectoryRulesBothApplyDeeperFirst) {
  rules("/deep", fup("deep-pw", "d", "d") + "(target prefix=\".lod\" \"deep-pw\")");
  std::string deep = "([service-list type=\"and\"] ([service name=\"" + svc("deep-pw") + "\" type=\"fix-user-passwd\"]))";
  std::string root = "([service-list type=\"and\"] ([service name=\"" + svc("root-pw") + "\" type=\"fix-user-passwd\"]))";
  EXPECT_EQ(judge("/deep/x.lod", "RootCase"), "([service-list type=\"and\"] " + deep + " " + root + ")");
  EXPECT_EQ(judge("/deep/x.txt", "RootCase"), "([service-list type=\"and\"] " + root + ")");
  EXPECT_EQ(judge("/deep/x.lod"), "([service-list type=\"and\"] " + deep + ")");
  // The peer's two results satisfy both.
  EXPECT_EQ(answer("(result-list " + fup_result("deep-pw", "d", "d") + fup_result("root-pw", "r", "r") + ")"), 2);
  EXPECT_EQ(judge("/deep/x.lod", "RootCase"), "allow");
}

// A tree registered under a deeper prefix has its own root's access file,
// though the directories above it are no tree's.
TEST_F(Auth, TreesUnderDeeperPrefixesAreGuardedToo) {
  static TempDir other("authother");
  other.file("zudocs/.zuaccess", access(fup("other", "o", "o") + "(target \"other\")"));
  Reg_List_pathpair(wide(other.path() + "/").c_str(), wide("/far/away/").c_str());
  EXPECT_NE(judge("/far/away/m.lod").find(svc("other")), std::string::npos);
  EXPECT_EQ(judge("/far/m.lod"), "allow");
}

TEST_F(Auth, TwoTargetsWithOnePrefixLetEitherGroupSuffice) {
  rules("/either", fup("a", "ua", "pa") + fup("b", "ub", "pb") + fup("c", "uc", "pc") +
                       "(target prefix=\".lod\" \"a\") (target prefix=\".lod\" \"b\" \"c\")");
  std::string asked = judge("/either/m.lod");
  EXPECT_TRUE(std::regex_match(asked, std::regex(R"(\(\[service-list type="and"\] \(\[service-list type="or"\] .*a".*b".*c".*\)\))")))
      << asked;
  answer("(result-list " + fup_result("a", "ua", "pa") + ")");
  EXPECT_EQ(judge("/either/m.lod"), "allow");
  TearDown();
  SetUp();
  answer("(result-list " + fup_result("b", "ub", "pb") + fup_result("c", "uc", "pc") + ")");
  EXPECT_EQ(judge("/either/m.lod"), "allow");
  TearDown();
  SetUp();
  // One of a group is not enough.
  answer("(result-list " + fup_result("b", "ub", "pb") + ")");
  EXPECT_NE(judge("/either/m.lod"), "allow");
}

TEST_F(Auth, EmptyResultListIsDeniedWithTheServicesStillRequired) {
  rules("/need", fup("n", "u", "p") + "(target \"n\")");
  std::string asked = judge("/need/m.lod");
  EXPECT_EQ(answer("(result-list type=\"and\")"), 0);
  EXPECT_EQ(judge("/need/m.lod"), asked);
  EXPECT_NE(asked.find(svc("n")), std::string::npos);
}

// The password must match to the last code and in case; nothing of either
// text reaches the service list.
TEST_F(Auth, FixUserPasswdTakesOnlyTheExactTexts) {
  rules("/pw", fup("pw", "alice", "s3cret") + "(target \"pw\")");
  std::string asked = judge("/pw/m.lod");
  EXPECT_EQ(asked.find("alice"), std::string::npos) << asked;
  EXPECT_EQ(asked.find("s3cret"), std::string::npos) << asked;
  struct {
    const char* user;
    const char* passwd;
    const char* want;
  } cases[] = {{"alice", "s3cret", "allow"}, {"alice", "s3creT", "deny"}, {"Alice", "s3cret", "deny"},
               {"alice", "s3cre", "deny"},   {"alice", "s3crett", "deny"}, {"", "", "deny"}};
  for (auto& k : cases) {
    TearDown();
    SetUp();
    answer("(result-list " + fup_result("pw", k.user, k.passwd) + ")");
    EXPECT_EQ(judge("/pw/m.lod"), k.want) << k.user << " " << k.passwd;
  }
  // A result without a password is refused; a second result replaces the
  // first and is judged anew.
  answer("(result-list (service name=\"" + svc("pw") + "\" type=\"fix-user-passwd\" user=\"alice\"))");
  EXPECT_EQ(judge("/pw/m.lod"), "deny");
  answer("(result-list " + fup_result("pw", "alice", "s3cret") + ")");
  EXPECT_EQ(judge("/pw/m.lod"), "allow");
  answer("(result-list " + fup_result("pw", "alice", "nope") + ")");
  EXPECT_EQ(judge("/pw/m.lod"), "deny");
}

TEST_F(Auth, BrokenAccessFileDeniesItsDirectoryUntilFixed) {
  tree().file("zudocs/broken/sub/m.lod", "x");
  tree().file("zudocs/broken/.zuaccess", access("(service name=\"x\" passwd=\"hidden\")"));
  tree().file("zudocs/empty/.zuaccess", "");
  for (const char* p : {"/broken/m.lod", "/broken/sub/m.lod", "/broken", "/empty/m.lod"}) EXPECT_EQ(judge(p), "deny") << p;
  EXPECT_EQ(judge("/free/m.lod"), "allow");
  tree().file("zudocs/broken/.zuaccess", access(""));
  EXPECT_EQ(judge("/broken/sub/m.lod"), "allow");
}

// What judging path writes to the standard error (the errors of access
// files), and its answer.
std::pair<std::string, std::string> judged_with_stderr(const std::function<std::string()>& judge) {
  TempDir d("autherr");
  std::string f = d.at("err");
  int saved = dup(2);
  int fd = open(f.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  dup2(fd, 2);
  close(fd);
  std::string r = judge();
  s_flush(s_stderr);
  dup2(saved, 2);
  close(saved);
  std::ifstream in(f);
  return {r, std::string(std::istreambuf_iterator<char>(in), {})};
}

TEST_F(Auth, AccessFileBuiltInsRefuseBadInput) {
  const char* cases[][2] = {
      {"(service type=\"fix-user-passwd\" passwd=\"s3cret\")", "service name required"},
      {"(service name=\"a\")", "service type required"},
      {"(service name=\"a\" type=\"nosuch\")", "service type invalid"},
      {"(target 5)", "arguments are STRING"},
      {"(target \"undefined-one\")", "(\"undefined service name\" \"undefined-one\")"},
      {"(nosuch-form passwd=\"s3cret\")", "nosuch-form"},
  };
  for (auto& k : cases) {
    std::string dir = "/bad" + std::to_string(&k - cases);
    rules(dir, k[0]);
    auto [r, err] = judged_with_stderr([&] { return judge(dir + "/m.lod"); });
    EXPECT_EQ(r, "deny") << k[0];
    EXPECT_NE(err.find(k[1]), std::string::npos) << err;
    EXPECT_EQ(err.find("s3cret"), std::string::npos) << err;
  }
  // Outside an access file they do nothing.
  ZU_SEXP* env = get_env_symbol(qnlisp_top_env0, wide("authentification").c_str(), 0);
  ASSERT_EQ(sexp_type(env), ZU_TYPE_ENV);
  EXPECT_EQ(shown(eval(env->env, car(forms_of(fup("late", "u", "p"))))),
            "error 80010507 service \"authentification target internal error (AUTH_DIR)\"");
}

TEST_F(Auth, PeerListsAreBoundedInDepthAndEntries) {
  auto nested = [](const char* head, int depth) {
    std::string s;
    for (int i = 0; i < depth; ++i) s += std::string("(") + head + " ";
    return s + std::string(depth, ')');
  };
  auto wide_list = [](const char* head, int entries) {
    std::string s = std::string("(") + head;
    for (int i = 0; i < entries; ++i) s += " (x)";
    return s + ")";
  };
  EXPECT_EQ(answer(nested("result-list", AUTH_LIST_MAX_DEPTH)), 0);
  EXPECT_EQ(answer(nested("result-list", AUTH_LIST_MAX_DEPTH + 1)), -1);
  EXPECT_EQ(answer(wide_list("result-list", AUTH_LIST_MAX_ENTRIES)), 0);
  EXPECT_EQ(answer(wide_list("result-list", AUTH_LIST_MAX_ENTRIES + 1)), -1);
  AUTH_SET_CLIENT cs{};
  lock_auth();
  for (auto [text, ok] : {std::pair{nested("service-list", 64), true}, {nested("service-list", 65), false},
                          {wide_list("service-list", 1000), true}, {wide_list("service-list", 1001), false}}) {
    ZU_SEXP* r = _auth_transaction(&cs, car(forms_of(text)), link_to(true));
    EXPECT_EQ(get_type(r) != ZU_TYPE_ERROR, ok) << text.size();
  }
  unlock_auth();
}

TEST_F(Auth, PeerAddressMustBeThisHost) {
  const uint32_t own[] = {0x0a000005, 0xc0a80102};
  struct {
    uint32_t ip;
    bool local;
  } cases[] = {{0x7f000001, true},  {0x7f050607, true}, {0x0a000005, true},
               {0xc0a80102, true},  {0x0a000006, false}, {0, false}};
  for (auto& k : cases) EXPECT_EQ(auth_peer_is_local(k.ip, own, 2), k.local) << std::hex << k.ip;
}

void free_client_set(AUTH_SET_CLIENT* cs) {
  auth_free_results(cs->preset_result_list, 1);
  auth_free_results(cs->required_result_list, 0);
  for (AUTH_SERVICE_LIST* p = cs->auth_service_list; p;) {
    AUTH_SERVICE_LIST* next = p->next;
    p->service->tbl->free_auth_service(p->service);
    d_f_ree(p);
    p = next;
  }
}

// A key file serves one check: the right key opens the path, a wrong one
// does not, a client whose link leaves the host sends no key; every file
// is gone when its check ends.
TEST_F(Auth, LocalhostRootKeyFileServesOneCheck) {
  rules("/lr", "(service name=\"lr\" type=\"localhost-root\") (target \"lr\")");
  AUTH_SET_CLIENT cs{};
  cs.enable_client_result = 1;
  struct {
    bool local, tamper;
    const char* want;
  } cases[] = {{true, false, "allow"}, {true, true, "deny"}, {false, false, "asked"}};
  for (auto& k : cases) {
    TearDown();
    SetUp();
    int first = c->server_set->auth_gc_no + 1;
    std::string asked = judge("/lr/m.lod");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(asked, m, std::regex("filename=\"([0-9]+)\""))) << asked;
    std::string key_file = std::string(get_tmp_dir()) + "/" + m[1].str();
    struct stat st {};
    ASSERT_EQ(lstat(key_file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode) && (st.st_mode & 07777) == 0600 && st.st_size == 4);
    lock_auth();
    std::string sent = shown(_auth_transaction(&cs, car(forms_of(asked)), link_to(k.local)));
    unlock_auth();
    EXPECT_EQ(sent.find("key=") != std::string::npos, k.local) << sent;
    if (k.tamper) sent = std::regex_replace(sent, std::regex("key=\"([0-9]+)\""), "key=\"1$1\"");
    answer(sent);
    std::string got = judge("/lr/m.lod");
    EXPECT_EQ(got == "allow" || got == "deny" ? got : "asked", k.want) << got;
    lock_auth();
    for (int n = first; n <= c->check_no; ++n) _auth_gc_check(c, n);
    unlock_auth();
    EXPECT_NE(lstat(key_file.c_str(), &st), 0) << key_file;
  }
  free_client_set(&cs);
}

TEST_F(Auth, ClientSendsPresetsOnlyToTheServiceTheyName) {
  TempDir home("authhome");
  EnvGuard env("HOME", home.path().c_str());
  auto preset = [](const std::string& name, const char* user) {
    return "(service result=\"on\" type=\"fix-user-passwd\" name=\"" + name + "\" user=\"" + user +
           "\" passwd=\"p-" + user + "\")";
  };
  home.file(".pzuconf/authentification/clientresult/a.zu", access(preset(svc("pw"), "alice") + preset(svc("pw2"), "bob")));
  home.file(".pzuconf/authentification/clientresult/.skipped", "(garbage");
  auto entry = [](const std::string& name, const char* type) {
    return "(service name=\"" + name + "\" type=\"" + type + "\")";
  };
  struct {
    std::string list;
    const char* has;
    const char* lacks;
  } cases[] = {
      {"(service-list type=\"and\" " + entry(svc("pw"), "fix-user-passwd") + ")", "passwd=\"p-alice\"", "bob"},
      {"(service-list " + entry("SERVICE://elsewhere/pw", "fix-user-passwd") + ")", "result-list", "alice"},
      {"(service-list " + entry(svc("pw"), "localhost-root") + ")", "result-list", "alice"},
      {"(service-list " + entry(svc("pw"), "nosuch") + "(service-list type=\"xor\" " +
           entry(svc("pw"), "fix-user-passwd") + "))",
       "result-list", "alice"},
      {"(service-list type=\"or\" " + entry(svc("none"), "fix-user-passwd") + entry(svc("pw"), "fix-user-passwd") +
           entry(svc("pw2"), "fix-user-passwd") + ")",
       "type=\"or\"", "bob"},
  };
  AUTH_SET_CLIENT cs{};
  lock_auth();
  _auth_read_client_results(&cs);
  for (auto& k : cases) {
    std::string sent = shown(_auth_transaction(&cs, car(forms_of(k.list)), link_to(true, {wide(site())})));
    EXPECT_NE(sent.find(k.has), std::string::npos) << k.list << " -> " << sent;
    EXPECT_EQ(sent.find(k.lacks), std::string::npos) << k.list << " -> " << sent;
  }
  unlock_auth();
  free_client_set(&cs);
}

TEST(AuthMask, SecretsAreMaskedInPrintedErrors) {
  const char* cases[][2] = {
      {R"(#error(1 "h" "f" 1 "service" ([service passwd="s3cret" user="u"])))",
       R"(#error(1 "h" "f" 1 "service" ([service passwd="****" user="u"])))"},
      {R"(passwd="a\"b" x passwd="")", R"(passwd="****" x passwd="****")"},
      {"(\"http://u:pw@h:80/p\" \"ftp://h/x:y@z\")", "(\"http://u:****@h:80/p\" \"ftp://h/x:y@z\")"},
      {"passwd=\"open", "passwd=\"****"},
  };
  for (auto& k : cases) EXPECT_EQ(auth_mask_secrets(k[0]), k[1]);
}

}  // namespace
