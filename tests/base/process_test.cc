#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "base/alloc.h"
#include "base/dir.h"
#include "base/process.h"
#include "base/signals.h"
#include "support/bytes.h"
#include "support/child.h"
#include "support/temp_dir.h"

namespace {

std::string read_all(int fd) {
  std::string s;
  char buf[256];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    s.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return s;
}

// Whether `pid` is gone entirely (not running and not a zombie) in time.
bool gone_eventually(pid_t pid) {
  return wait_until([pid] { return kill(pid, 0) != 0 && errno == ESRCH; }, std::chrono::seconds(30));
}

// The file's text once it exists (written elsewhere and renamed into place).
std::string wait_for_file(const std::string& path) {
  wait_until([&] { return access(path.c_str(), F_OK) == 0; }, std::chrono::seconds(30));
  return read_text(path);
}

// The child's three streams are ours, it keeps no other descriptor of ours,
// and it is reaped with its status.
TEST(Process, PipedCommandIsCapturedAndReaped) {
  int leak = open("/dev/null", O_RDONLY);  // inheritable on purpose
  ASSERT_GT(leak, 2);
  std::string cmd = "read line; echo \"got $line\"; [ -e /proc/self/fd/" + std::to_string(leak) +
                    " ] && echo leaked; echo oops >&2; exit 3";
  int in, out, err;
  int pid = launch_proc_stdio(&in, &out, &err, cmd.c_str());
  ASSERT_GT(pid, 0);
  ASSERT_EQ(write(in, "hello\n", 6), 6);
  close(in);
  EXPECT_EQ(read_all(out), "got hello\n");
  EXPECT_EQ(read_all(err), "oops\n");
  int status = 0;
  EXPECT_EQ(wait_proc(pid, &status), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);  // no zombie is left behind
  EXPECT_EQ(errno, ECHILD);
  close(leak);
}

TEST(Process, DetachedChildrenRunAndAreReapedBySignalThread) {
  init_signals();
  TempDir tmp("proc");
  const std::string& dir = tmp.path();

  // Through the shell, without waiting: 0 at once, the command still runs.
  std::string cmd = "echo $$ > " + dir + "/pid.tmp && mv " + dir + "/pid.tmp " + dir + "/pid";
  EXPECT_EQ(launch_proc_stdio(nullptr, nullptr, nullptr, cmd.c_str()), 0);
  pid_t shell_pid = std::atoi(wait_for_file(dir + "/pid").c_str());
  ASSERT_GT(shell_pid, 0);
  EXPECT_TRUE(gone_eventually(shell_pid));

  // A program found on PATH, with its argument vector.
  char sh[] = "sh", c[] = "-c", body[] = "exit 4";
  char* argv[] = {sh, c, body, nullptr};
  int pid = launch_proc("sh", argv, nullptr, nullptr, 0, "test", nullptr);
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(gone_eventually(pid));

  // A program that cannot be executed is reported, not launched.
  char missing[] = "qnmx-no-such-program";
  char* argv2[] = {missing, nullptr};
  EXPECT_EQ(launch_proc(missing, argv2, nullptr, nullptr, 0, "test", nullptr), -ENOENT);

  // A waited-for child is not taken away by the reaping of the others.
  int in, out, err;
  int waited = launch_proc_stdio(&in, &out, &err, "exit 9");
  ASSERT_GT(waited, 0);
  close(in);
  read_all(out);
  read_all(err);
  EXPECT_EQ(launch_proc("sh", argv, nullptr, nullptr, 0, "test", nullptr) > 0, true);
  int status = 0;
  EXPECT_EQ(wait_proc(waited, &status), waited);
  EXPECT_EQ(WEXITSTATUS(status), 9);
}

// Stand-in for the stream layer's streams: only the hand-over hook sees it.
struct FakeStream {
  int fd;
  int closed;
};

char* fake_prepare(STREAM** streams, int n, int* fds, int max_fds, int* nfds) {
  std::string arg = "+";
  *nfds = 0;
  for (int i = 0; i < n && i < max_fds; ++i) {
    int fd = reinterpret_cast<FakeStream*>(streams[i])->fd;
    arg += std::to_string(fd) + ",";
    fds[(*nfds)++] = fd;
  }
  return copy_str(arg.c_str());
}

void fake_close(STREAM* s) {
  auto* f = reinterpret_cast<FakeStream*>(s);
  close(f->fd);
  f->closed = 1;
}

TEST(Process, StreamsAreHandedOverThroughPlusArgument) {
  static const STREAM_HANDOVER handover{fake_prepare, fake_close};
  TempDir tmp("hand");
  // Writes its arguments to the first descriptor named in the "+" argument.
  std::string script = tmp.file("child", "#!/bin/sh\nfd=${1#+}; fd=${fd%%,*}\necho \"$*\" >&$fd\n");
  chmod(script.c_str(), 0755);

  int p1[2], p2[2];
  ASSERT_EQ(pipe2(p1, O_CLOEXEC), 0);  // close-on-exec: the launcher must clear it
  ASSERT_EQ(pipe(p2), 0);
  FakeStream a{p1[1], 0}, b{p2[1], 0};
  STREAM* streams[] = {reinterpret_cast<STREAM*>(&a), reinterpret_cast<STREAM*>(&b)};
  int close_flags[] = {1, 0};
  char arg0[] = "child", arg1[] = "x";
  char* argv[] = {arg0, arg1, nullptr};

  EXPECT_EQ(launch_proc(script.c_str(), argv, streams, close_flags, 2, "p", "c"), -ENOTSUP);
  set_stream_handover(&handover);
  int pid = launch_proc(script.c_str(), argv, streams, close_flags, 2, "p", "c");
  set_stream_handover(nullptr);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(a.closed, 1);
  EXPECT_EQ(b.closed, 0);
  close(p2[1]);
  std::string expect = "+" + std::to_string(p1[1]) + "," + std::to_string(p2[1]) + ", x\n";
  EXPECT_EQ(read_all(p1[0]), expect);
  EXPECT_EQ(read_all(p2[0]), "");
}

TEST(Process, HttpSystemRunsBrowserWithComposedUrl) {
  init_signals();
  TempDir tmp("www");
  std::string script = tmp.file("browser", "#!/bin/sh\necho \"$#:$1\" > \"$0.tmp\" && mv \"$0.tmp\" \"$0.out\"\n");
  chmod(script.c_str(), 0755);
  EnvGuard browser("BROWSER", (script + ":ignored").c_str());

  EXPECT_GT(http_system("example.org", 8080, "/a/b.html"), 0);
  EXPECT_EQ(wait_for_file(script + ".out"), "1:http://example.org:8080/a/b.html\n");
  unlink((script + ".out").c_str());
  EXPECT_GT(http_system(nullptr, 0, "file:///x y.html"), 0);
  EXPECT_EQ(wait_for_file(script + ".out"), "1:file:///x y.html\n");
}

}  // namespace
