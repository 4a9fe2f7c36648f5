// The file-editing built-ins over a peer's link: a peer that sends them
// through an accepted line link is asked about (and refused under an access
// file), while the process's own evaluations are not.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "runtime/interp.h"
#include "runtime/zu_init.h"
#include "support/child.h"
#include "support/temp_dir.h"
#include "zulib_test_util.h"

namespace {

namespace fs = std::filesystem;

// One line link to the listener on `port`; answers of one form at a time.
class LineClient {
 public:
  explicit LineClient(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && !ask("\n", "</Permission>\n").empty();
  }
  ~LineClient() { close(fd_); }
  bool ok() const { return ok_; }
  // Sends text and reads until `end` has come: what was read, "" on failure.
  std::string ask(const std::string& text, const std::string& end = "</Result>\n") {
    (void)!::send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
    std::string got;
    while (got.find(end) == std::string::npos) {
      pollfd p{fd_, POLLIN, 0};
      char buf[4096];
      ssize_t n = poll(&p, 1, 20000) == 1 ? read(fd_, buf, sizeof buf) : -1;
      if (n <= 0) return "";
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

int fails = 0;
void check(bool ok, const std::string& what) {
  if (!ok) {
    std::fprintf(stderr, "FAIL %s\n", what.c_str());
    ++fails;
  }
}

}  // namespace

// args: a folder holding open/ and guarded/ (with a .zuaccess file).
QNMX_CHILD_BODY(PeerEdit) {
  const std::string dir = args.at(0);
  init_zu();
  static char prog[] = "prog";
  static char* argv[] = {prog, nullptr};
  int port = 0;
  {
    ZuThreadScope scope("peer edit");
    init_function(qnlisp_top_env0, qnlisp_top_env1, 1, argv);
    ZU_INTERPRETER* z = new_zu_interpreter();
    z->a_type = ZUI_ACCEPT;
    z->env = qnlisp_top_env0;  // a peer sees the root environment only
    z->environment = 1;
    z->port = 23000 + static_cast<int>(getpid() % 2000) * 10;
    z->port_limit = 2000;
    PERMISSION_LIST* e = new_permission_list(z, nullptr);
    insert_access_list(&e->ap, "127.0.0.0", "255.0.0.0", nullptr, 0, 0, 1);
    int iid = setup_i(z);
    ZU_INTERPRETER info;
    if (iid <= 0 || get_zui_info(&info, iid) != 0) return 2;
    port = info.port;
  }
  LineClient peer(port);
  if (!peer.ok()) return 3;
  const std::string open = dir + "/open/", guarded = dir + "/guarded/";
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
    ZU_INTERPRETER* self = new_zu_interpreter();
    self->a_type = ZUI_SELF;
    self->env = qnlisp_top_env1;
    if (setup_i(self) <= 0) return 4;
    ZuThreadScope scope("own");
    std::string r = run(qnlisp_top_env0, "(Rm \"" + guarded + "f\")");
    check(r == "()" && !fs::exists(guarded + "f"), "own Rm: " + r);
  }
  std::fflush(stderr);
  std::_Exit(fails ? 1 : 0);  // the listener's threads need no orderly end
}

TEST(PeerEdit, PeersAreAskedAndOwnScriptsAreNot) {
  TempDir dir("peeredit");
  for (const char* f : {"open/f", "open/g", "guarded/f", "guarded/.zuaccess"}) dir.file(f, "x");
  RunResult r = run_body("PeerEdit", {dir.path()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}
