#include "support/child.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>
#include <utility>

extern char** environ;

namespace {

std::map<std::string, ChildBody>& bodies() {
  static std::map<std::string, ChildBody> m;
  return m;
}

constexpr char kChildFlag[] = "--qnmx-child=";

int decode_status(int st) {
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
  return -1;
}

std::string self_exe() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::vector<std::string> body_argv(const std::string& name, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {self_exe(), kChildFlag + name};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

// The environment of the child: ours, with opt's entries replacing same-named ones.
std::vector<std::string> child_env(const ChildOptions& opt) {
  std::vector<std::string> env;
  for (char** p = environ; *p; ++p) {
    std::string e = *p;
    std::string name = e.substr(0, e.find('='));
    bool replaced = false;
    for (const auto& o : opt.env) replaced |= o.compare(0, name.size() + 1, name + "=") == 0;
    if (!replaced) env.push_back(e);
  }
  env.insert(env.end(), opt.env.begin(), opt.env.end());
  return env;
}

}  // namespace

bool register_child_body(const char* name, ChildBody body) {
  return bodies().emplace(name, body).second;
}

bool run_child_body(int argc, char** argv, int* status) {
  if (argc < 2 || std::strncmp(argv[1], kChildFlag, sizeof kChildFlag - 1) != 0) return false;
  std::string name = argv[1] + sizeof kChildFlag - 1;
  auto it = bodies().find(name);
  if (it == bodies().end()) {
    *status = 127;
    return true;
  }
  *status = it->second(std::vector<std::string>(argv + 2, argv + argc));
  return true;
}

Child& Child::operator=(Child&& o) noexcept {
  if (this != &o) {
    this->~Child();
    pid_ = o.pid_;
    o.pid_ = -1;
  }
  return *this;
}

Child::~Child() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    wait();
  }
}

int Child::wait() {
  if (pid_ <= 0) return -1;
  int st = 0;
  pid_t r;
  do r = waitpid(pid_, &st, 0);
  while (r < 0 && errno == EINTR);
  pid_ = -1;
  return r < 0 ? -1 : decode_status(st);
}

int Child::wait_for(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return -1;
  int st = 0;
  auto end = std::chrono::steady_clock::now() + limit;
  for (auto pause = std::chrono::milliseconds(1);; pause = std::min(pause * 2, std::chrono::milliseconds(50))) {
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return decode_status(st);
    }
    if (r < 0 && errno != EINTR) {
      pid_ = -1;
      return -1;
    }
    if (std::chrono::steady_clock::now() >= end) return -2;
    std::this_thread::sleep_for(pause);
  }
}

void Child::kill(int sig) {
  if (pid_ > 0) ::kill(pid_, sig);
}

Child start_program(const std::vector<std::string>& argv, const ChildOptions& opt) {
  if (argv.empty()) return Child();
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (opt.in >= 0) posix_spawn_file_actions_adddup2(&fa, opt.in, 0);
  if (opt.out >= 0) posix_spawn_file_actions_adddup2(&fa, opt.out, 1);
  if (opt.err >= 0) posix_spawn_file_actions_adddup2(&fa, opt.err, 2);
  std::vector<std::string> args = argv, env = child_env(opt);
  std::vector<char*> av, ev;
  for (auto& a : args) av.push_back(a.data());
  av.push_back(nullptr);
  for (auto& e : env) ev.push_back(e.data());
  ev.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, av[0], &fa, nullptr, av.data(), ev.data());
  posix_spawn_file_actions_destroy(&fa);
  return rc == 0 ? Child(pid) : Child();
}

Child start_body(const std::string& name, const std::vector<std::string>& args, const ChildOptions& opt) {
  return start_program(body_argv(name, args), opt);
}

RunResult run_body(const std::string& name, const std::vector<std::string>& args, const std::string& input,
                   std::chrono::milliseconds limit, const ChildOptions& opt) {
  return run_program(body_argv(name, args), input, limit, opt);
}

RunResult run_program(const std::vector<std::string>& argv, const std::string& input,
                      std::chrono::milliseconds limit, const ChildOptions& base) {
  RunResult res;
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0) return res;
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return res;
  }
  ChildOptions opt = base;
  opt.in = in[0];
  opt.out = out[1];
  opt.err = err[1];
  Child c = start_program(argv, opt);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  // Feed and drain together, so neither side can block the other on a full
  // pipe. SIGPIPE from a child that stops reading is held back and dropped.
  sigset_t pipe_sig, old_mask;
  sigemptyset(&pipe_sig);
  sigaddset(&pipe_sig, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_sig, &old_mask);
  size_t fed = 0;
  int in_fd = in[1];
  if (input.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  auto end = std::chrono::steady_clock::now() + limit;
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      c.kill(SIGKILL);
      break;
    }
    pollfd p[3] = {{out_open ? out[0] : -1, POLLIN, 0}, {err_open ? err[0] : -1, POLLIN, 0}, {in_fd, POLLOUT, 0}};
    if (poll(p, 3, static_cast<int>(std::min<long>(left.count(), 1000))) < 0 && errno != EINTR) break;
    char buf[65536];
    for (int i = 0; i < 2; ++i) {
      if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(p[i].fd, buf, sizeof buf);
      if (n > 0)
        (i ? res.err : res.out).append(buf, static_cast<size_t>(n));
      else if (n == 0 || errno != EINTR)
        (i ? err_open : out_open) = false;
    }
    if (in_fd >= 0 && (p[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(in_fd, input.data() + fed, input.size() - fed);
      if (n > 0) fed += static_cast<size_t>(n);
      if (n < 0 && errno != EINTR && errno != EAGAIN) fed = input.size();
      if (fed == input.size()) {
        close(in_fd);
        in_fd = -1;
      }
    }
  }
  if (in_fd >= 0) close(in_fd);
  timespec zero{0, 0};
  while (sigtimedwait(&pipe_sig, nullptr, &zero) == SIGPIPE) {
  }
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  close(out[0]);
  close(err[0]);
  res.status = c.wait();
  return res;
}

bool wait_until(const std::function<bool()>& cond, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  for (auto pause = std::chrono::microseconds(100);; pause = std::min(pause * 2, std::chrono::microseconds(20000))) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(pause);
  }
}

Conversation::Conversation(const std::vector<std::string>& argv, const ChildOptions& base) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return;
  }
  ChildOptions opt = base;
  opt.in = in[0];
  opt.out = out[1];
  child_ = start_program(argv, opt);
  close(in[0]);
  close(out[1]);
  in_ = in[1];
  out_fd_ = out[0];
}

Conversation Conversation::body(const std::string& name, const std::vector<std::string>& args,
                                const ChildOptions& opt) {
  return Conversation(body_argv(name, args), opt);
}

Conversation::Conversation(Conversation&& o) noexcept
    : child_(std::move(o.child_)), in_(o.in_), out_fd_(o.out_fd_), out_(std::move(o.out_)) {
  o.in_ = o.out_fd_ = -1;
}

Conversation::~Conversation() {
  if (in_ >= 0) close(in_);
  if (out_fd_ >= 0) close(out_fd_);
}

bool Conversation::send(const std::string& text) {
  size_t done = 0;
  while (in_ >= 0 && done < text.size()) {
    ssize_t n = write(in_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return in_ >= 0;
}

bool Conversation::read_some(std::chrono::steady_clock::time_point end) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
  if (out_fd_ < 0 || left.count() <= 0) return false;
  pollfd p{out_fd_, POLLIN, 0};
  int r = poll(&p, 1, static_cast<int>(left.count()));
  if (r < 0 && errno == EINTR) return true;
  if (r <= 0) return false;
  char buf[4096];
  ssize_t n = read(out_fd_, buf, sizeof buf);
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) {
    close(out_fd_);
    out_fd_ = -1;
    return false;
  }
  out_.append(buf, static_cast<size_t>(n));
  return true;
}

bool Conversation::read_until(const std::string& text, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (out_.find(text) == std::string::npos)
    if (!read_some(end)) return false;
  return true;
}

int Conversation::finish(std::chrono::milliseconds limit) {
  if (in_ >= 0) close(in_);
  in_ = -1;
  auto end = std::chrono::steady_clock::now() + limit;
  while (read_some(end)) {
  }
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
  return child_.wait_for(std::max(left, std::chrono::milliseconds(0)));
}

std::vector<std::string> command_lines(const std::string& cmd, int* status, bool with_stderr) {
  std::vector<std::string> lines;
  FILE* f = popen((with_stderr ? cmd + " 2>&1" : cmd).c_str(), "r");
  if (!f) {
    *status = -1;
    return lines;
  }
  std::string cur;
  for (int c; (c = std::fgetc(f)) != EOF;) {
    if (c != '\n') cur += static_cast<char>(c);
    else lines.push_back(std::exchange(cur, {}));
  }
  if (!cur.empty()) lines.push_back(cur);
  *status = pclose(f);
  return lines;
}
