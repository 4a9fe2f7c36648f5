// Test support: child processes. A test starts a program, or a body of its
// own binary registered with QNMX_CHILD_BODY, with chosen standard streams
// and extra environment, and waits for it; the destructor kills and reaps a
// child that is still running, so a failed test leaves no process behind.
//
// A child body is not a gtest test: the test binary's main (support's
// test_main.cc) runs it instead of the tests when started as
// `<binary> --qnmx-child=<name> args...`, and exits with its result.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

using ChildBody = int (*)(const std::vector<std::string>& args);

// Registers a body under name; used by QNMX_CHILD_BODY at start-up.
bool register_child_body(const char* name, ChildBody body);
// Runs the body named by argv ("--qnmx-child=<name>"), when it names one:
// true, with its exit status in *status.
bool run_child_body(int argc, char** argv, int* status);

#define QNMX_CHILD_BODY(name)                                                          \
  static int name##_child_body(const std::vector<std::string>& args);                 \
  [[maybe_unused]] static const bool name##_child_registered =                        \
      register_child_body(#name, name##_child_body);                                   \
  static int name##_child_body([[maybe_unused]] const std::vector<std::string>& args)

struct ChildOptions {
  std::vector<std::string> env;  // "NAME=value" added to (or replacing) ours
  int in = -1, out = -1, err = -1;  // descriptors for 0, 1, 2 (-1: inherit)
};

class Child {
 public:
  Child() = default;
  explicit Child(pid_t pid) : pid_(pid) {}
  Child(Child&& o) noexcept : pid_(o.pid_) { o.pid_ = -1; }
  Child& operator=(Child&& o) noexcept;
  ~Child();

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }
  // Waits for the end: the exit status, 128 + signal for a killed child,
  // -1 when there is no child.
  int wait();
  // As wait, but gives up after `limit`: then -2 and the child runs on.
  int wait_for(std::chrono::milliseconds limit);
  void kill(int sig);

 private:
  pid_t pid_ = -1;
};

// Starts argv[0] (a path) with argv; a Child that is not started on failure.
Child start_program(const std::vector<std::string>& argv, const ChildOptions& opt = {});
// Starts this test binary running the named body with args.
Child start_body(const std::string& name, const std::vector<std::string>& args, const ChildOptions& opt = {});

// Runs argv to its end with `input` on its standard input and collects both
// outputs; the exit status as Child::wait gives it. A run longer than
// `limit` is killed (status 128 + 9).
struct RunResult {
  int status = -1;
  std::string out, err;
};
RunResult run_program(const std::vector<std::string>& argv, const std::string& input = {},
                      std::chrono::milliseconds limit = std::chrono::seconds(60), const ChildOptions& opt = {});
// The same for a body of this test binary.
RunResult run_body(const std::string& name, const std::vector<std::string>& args, const std::string& input = {},
                   std::chrono::milliseconds limit = std::chrono::seconds(60), const ChildOptions& opt = {});

// A child spoken to through its standard input and output, for a
// conversation: send, then wait for the answer before sending on.
class Conversation {
 public:
  // Starts argv (or, with body_name set, this binary's body) with pipes on
  // its standard input and output.
  explicit Conversation(const std::vector<std::string>& argv, const ChildOptions& opt = {});
  static Conversation body(const std::string& name, const std::vector<std::string>& args, const ChildOptions& opt = {});
  ~Conversation();
  Conversation(Conversation&&) noexcept;
  Conversation(const Conversation&) = delete;
  Conversation& operator=(const Conversation&) = delete;

  bool started() const { return child_.started(); }
  bool send(const std::string& text);
  // Reads until `text` has arrived (true) or the output ended or `limit`
  // passed (false). Everything read is in output().
  bool read_until(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(20));
  const std::string& output() const { return out_; }
  // Ends the child's input; its output is read to the end and its status
  // returned (as Child::wait_for).
  int finish(std::chrono::milliseconds limit = std::chrono::seconds(20));

 private:
  Conversation() = default;
  bool read_some(std::chrono::steady_clock::time_point end);
  Child child_;
  int in_ = -1, out_fd_ = -1;
  std::string out_;
};

// The lines a shell command writes on its standard output (and standard
// error, with_stderr), a last line without a line end included; *status is
// its status as pclose gives it, -1 when it could not be started.
std::vector<std::string> command_lines(const std::string& cmd, int* status, bool with_stderr = false);

// Tests a condition until it holds or `limit` passes: whether it held.
// For waiting on an event another process or thread makes, never for
// ordering by time.
bool wait_until(const std::function<bool()>& cond, std::chrono::milliseconds limit = std::chrono::seconds(20));
