#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <atomic>
#include <chrono>
#include <thread>

#include "base/entry.h"
#include "base/signals.h"

namespace {

struct ChildResult {
  int status = -1;  // exit status, or -1 when the child did not exit normally
  std::string out;
};

// Runs `fn` in a forked child whose standard output is captured; the child
// is expected to end the process itself (through call_main or u_exit).
template <typename Fn>
ChildResult run_in_child(Fn fn) {
  int p[2];
  EXPECT_EQ(pipe(p), 0);
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    dup2(p[1], 1);
    close(p[1]);
    fn();
    _exit(99);  // fn must not return
  }
  close(p[1]);
  ChildResult r;
  char buf[256];
  for (;;) {
    ssize_t n = read(p[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    r.out.append(buf, static_cast<size_t>(n));
  }
  close(p[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
  return r;
}

// Blocks the calling thread until the process ends.
[[noreturn]] void wait_forever() {
  for (;;) pause();
}

std::atomic<int> hook_calls{0};
int counting_hook(int sig) {
  std::printf("hook %d\n", sig);
  std::fflush(stdout);
  return ++hook_calls < 3 ? 0 : -1;
}

// An interrupt without a hook ends with "Interrupted" and status 1; a hook
// runs (in the signal thread) for every interrupt until it returns negative.
TEST(Entry, InterruptEndsTheProcessUnlessTheHookGoesOn) {
  for (bool hook : {false, true}) {
    ChildResult r = run_in_child([hook] {
      char a0[] = "qnmx";
      char* argv[] = {a0, nullptr};
      call_main(1, argv, hook ? +[](int, char**) -> int {
        int_handler = counting_hook;
        for (;;) {
          int before = hook_calls;
          kill(getpid(), SIGINT);
          while (hook_calls == before) usleep(1000);
        }
      } : +[](int, char**) -> int {
        kill(getpid(), SIGINT);
        wait_forever();
      });
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, hook ? "hook 2\nhook 2\nhook 2\nInterrupted\n" : "Interrupted\n");
  }
}

TEST(Entry, BodyResultPlusArgumentAndExitFromAnotherThread) {
  ChildResult r = run_in_child([] {
    char a0[] = "qnmx", a1[] = "+3,4", a2[] = "script", a3[] = "-";
    char* argv[] = {a0, a1, a2, a3, nullptr};
    call_main(4, argv, [](int argc, char** argv) -> int {
      std::printf("%d %s %s %s|", argc, argv[1], argv[2], get_inherited_streams_arg());
      return 5;  // left in the stdio buffer: the exit must flush it
    });
  });
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(r.out, "3 script - +3,4|");

  r = run_in_child([] {
    char a0[] = "qnmx";
    char* argv[] = {a0, nullptr};
    call_main(1, argv, [](int, char**) -> int {
      std::printf("%s|", get_inherited_streams_arg() ? "arg" : "none");
      std::thread([] { u_exit(7); }).join();
      return 0;
    });
  });
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.out, "none|");
}

// A write to a closed pipe is the error EPIPE, not a death; SIGUSR1 breaks a
// blocking call with EINTR.
TEST(Entry, SignalsBecomeErrorsNotDeaths) {
  init_signals();
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  close(p[0]);
  errno = 0;
  EXPECT_EQ(write(p[1], "x", 1), -1);
  EXPECT_EQ(errno, EPIPE);
  close(p[1]);

  ASSERT_EQ(pipe(p), 0);
  std::atomic<int> result{0}, err{0};
  std::atomic<bool> started{false};
  std::thread reader([&] {
    char c;
    started = true;
    result = static_cast<int>(read(p[0], &c, 1));
    err = errno;
  });
  while (!started) std::this_thread::yield();
  // Until the read has returned, keep knocking: the first knock may come
  // before the thread is inside read().
  while (result == 0) {
    pthread_kill(reader.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  reader.join();
  EXPECT_EQ(result, -1);
  EXPECT_EQ(err, EINTR);
  close(p[0]);
  close(p[1]);
}

}  // namespace
