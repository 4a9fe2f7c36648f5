// The file-editing built-ins over a peer's link: a peer that sends them
// through an accepted line link is asked about (and refused under an access
// file), while the process's own evaluations are not.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "runtime/docpath.h"
#include "runtime/interp.h"
#include "runtime/zu_init.h"
#include "support/child.h"
#include "support/loopback.h"
#include "support/runtime/interpreters.h"
#include "support/temp_dir.h"
#include "zulib_test_util.h"

namespace {

namespace fs = std::filesystem;

int fails = 0;
void check(bool ok, const std::string& what) {
  if (!ok) {
    std::fprintf(stderr, "FAIL %s\n", what.c_str());
    ++fails;
  }
}

}  // namespace

// args: a folder whose document tree holds open/ and guarded/ (with a
// .zuaccess file).
QNMX_CHILD_BODY(PeerEdit) {
  const std::string dir = args.at(0);
  init_zu();
  static char prog[] = "prog";
  static char* argv[] = {prog, nullptr};
  int port = 0;
  {
    ZuThreadScope scope("peer edit");
    init_function(qnlisp_top_env0, qnlisp_top_env1, 1, argv);
    // Peers edit nothing outside the registered trees.
    Reg_List_pathpair(l_string(std_cm, (dir + "/").c_str()), l_string(std_cm, "/"));
  }
  // A peer sees the root environment only.
  if (open_listener(&port, {.env = qnlisp_top_env0}) <= 0) return 2;
  LineClient peer(port);
  if (!peer.ok() || peer.ask("\n", "</Permission>\n").empty()) return 3;
  const std::string open = dir + "/zudocs/open/", guarded = dir + "/zudocs/guarded/";
  auto denied = [&](const std::string& form) {
    std::string r = peer.ask(form + "\n");
    return r.find("authentification (DENIED)") != std::string::npos;
  };
  check(!denied("(Rm \"" + open + "f\")") && !fs::exists(open + "f"), "a peer removes where no access file is");
  check(denied("(Rm \"" + guarded + "f\")") && fs::exists(guarded + "f"), "Rm under an access file");
  check(denied("(Touch \"" + guarded + "new\")") && !fs::exists(guarded + "new"), "Touch under an access file");
  check(denied("(UTime \"" + guarded + "f\")"), "UTime under an access file");
  check(denied("(Mkdir \"" + guarded + "d\")") && !fs::exists(guarded + "d"), "Mkdir under an access file");
  check(denied("(Mv \"" + open + "g\" \"" + guarded + "g\")") && fs::exists(open + "g"), "Mv into an access file's tree");
  // The process's own evaluations (here through an internal interpreter of
  // this thread) are not asked about.
  {
    if (open_self_interpreter() <= 0) return 4;
    ZuThreadScope scope("own");
    std::string r = run(qnlisp_top_env0, "(Rm \"" + guarded + "f\")");
    check(r == "()" && !fs::exists(guarded + "f"), "own Rm: " + r);
  }
  std::fflush(stderr);
  std::_Exit(fails ? 1 : 0);  // the listener's threads need no orderly end
}

TEST(PeerEdit, PeersAreAskedAndOwnScriptsAreNot) {
  TempDir dir("peeredit");
  for (const char* f : {"zudocs/open/f", "zudocs/open/g", "zudocs/guarded/f", "zudocs/guarded/.zuaccess"}) dir.file(f, "x");
  RunResult r = run_body("PeerEdit", {dir.path()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}
