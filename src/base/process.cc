#include "base/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/alloc.h"

namespace {

constexpr int kMaxKeep = 64;

std::mutex fork_mu;
std::mutex reap_mu;
// Never destroyed: the signal thread may still sweep while the process exits.
std::vector<pid_t>& reap_list = *new std::vector<pid_t>;  // guarded by reap_mu
std::atomic<const STREAM_HANDOVER*> handover{nullptr};

void sweep_locked() {
  std::erase_if(reap_list, [](pid_t p) {
    int st;
    pid_t r = waitpid(p, &st, WNOHANG);
    return r == p || (r < 0 && errno == ECHILD);
  });
}

// Registered after the fork: a child that ended before that is caught by
// the sweep here, since its SIGCHLD may have come and gone already.
void register_child(pid_t pid) {
  std::lock_guard<std::mutex> g(reap_mu);
  reap_list.push_back(pid);
  sweep_locked();
}

// Everything the child needs, prepared before the fork: between fork and
// exec the child may only make async-signal-safe calls.
struct ChildPlan {
  const char* file = nullptr;
  char* const* argv = nullptr;
  int stdio[3] = {-1, -1, -1};  // descriptors to become 0, 1, 2 (-1: inherit)
  int keep[kMaxKeep + 1] = {};  // further descriptors the child keeps
  int nkeep = 0;
  int report_fd = -1;  // close-on-exec pipe end for reporting a failed exec
  int fd_limit = 1024;
};

[[noreturn]] void child_fail(int report_fd, int err) {
  if (report_fd >= 0) {
    ssize_t w;
    do w = write(report_fd, &err, sizeof err);
    while (w < 0 && errno == EINTR);
  }
  _exit(127);
}

void close_span(unsigned int from, unsigned int to, int fd_limit) {
  if (close_range(from, to, 0) == 0) return;
  unsigned int stop = std::min(to, static_cast<unsigned int>(fd_limit - 1));
  for (unsigned int fd = from; fd <= stop; ++fd) close(static_cast<int>(fd));
}

// keep: sorted descriptors above 2.
void close_above_2_except(const int* keep, int nkeep, int fd_limit) {
  unsigned int from = 3;
  for (int i = 0; i < nkeep; ++i) {
    auto k = static_cast<unsigned int>(keep[i]);
    if (k < from) continue;  // a duplicate
    if (k > from) close_span(from, k - 1, fd_limit);
    from = k + 1;
  }
  close_span(from, ~0u, fd_limit);
}

[[noreturn]] void run_child(ChildPlan& p) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int s = 1; s < NSIG; ++s)
    if (s != SIGKILL && s != SIGSTOP) sigaction(s, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);

  // Lift every source out of 0-2 first so no dup2 overwrites another source.
  if (p.report_fd >= 0 && p.report_fd < 3) p.report_fd = fcntl(p.report_fd, F_DUPFD_CLOEXEC, 3);
  for (int& fd : p.stdio)
    if (fd >= 0 && fd < 3) {
      fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
      if (fd < 0) child_fail(p.report_fd, errno);
    }
  for (int i = 0; i < 3; ++i)
    if (p.stdio[i] >= 0 && dup2(p.stdio[i], i) < 0) child_fail(p.report_fd, errno);

  // The report pipe stays open (it closes itself on exec).
  int keep[kMaxKeep + 1];
  int nkeep = 0;
  for (int i = 0; i < p.nkeep; ++i)
    if (p.keep[i] > 2) {
      keep[nkeep++] = p.keep[i];
      fcntl(p.keep[i], F_SETFD, 0);  // handed over: must survive the exec
    }
  if (p.report_fd > 2) keep[nkeep++] = p.report_fd;
  std::sort(keep, keep + nkeep);  // in place, no allocation
  close_above_2_except(keep, nkeep, p.fd_limit);

  execvp(p.file, p.argv);
  child_fail(p.report_fd, errno);
}

int fd_limit() {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < (1u << 20))
    return static_cast<int>(rl.rlim_cur);
  return 1 << 16;
}

void close_fds(std::initializer_list<int> fds) {
  for (int fd : fds)
    if (fd >= 0) close(fd);
}

// Forks and executes the plan. parent_close: descriptors the parent closes
// once the child has them. Registers the child for reaping when `reap`.
// Returns the pid or minus errno; a failed exec is reported through a
// close-on-exec pipe (EOF there means the exec succeeded).
int start_child(ChildPlan& plan, std::initializer_list<int> parent_close, bool reap) {
  plan.fd_limit = fd_limit();
  int report[2];
  pid_t pid;
  {
    std::lock_guard<std::mutex> g(fork_mu);
    if (pipe2(report, O_CLOEXEC) != 0) return -errno;
    pid = fork();
    if (pid == 0) {
      plan.report_fd = report[1];
      run_child(plan);
    }
    int fork_errno = errno;
    close(report[1]);
    close_fds(parent_close);
    if (pid < 0) {
      close(report[0]);
      return -fork_errno;
    }
  }
  if (reap) register_child(pid);
  int err = 0;
  ssize_t r;
  do r = read(report[0], &err, sizeof err);
  while (r < 0 && errno == EINTR);
  close(report[0]);
  if (r == static_cast<ssize_t>(sizeof err)) {
    if (!reap) {
      int st;
      while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
      }
    }
    return -(err ? err : ECHILD);
  }
  return pid;
}

bool on_path(const char* name) {
  const char* path = std::getenv("PATH");
  if (!path) return false;
  std::string_view rest(path);
  for (;;) {
    size_t colon = rest.find(':');
    std::string_view dir = rest.substr(0, colon);
    std::string full(dir.empty() ? std::string_view(".") : dir);
    full += '/';
    full += name;
    if (access(full.c_str(), X_OK) == 0) return true;
    if (colon == std::string_view::npos) return false;
    rest.remove_prefix(colon + 1);
  }
}

}  // namespace

void set_stream_handover(const STREAM_HANDOVER* h) { handover.store(h); }

void reap_registered_children() {
  std::lock_guard<std::mutex> g(reap_mu);
  sweep_locked();
}

int launch_proc(const char* program, char* const* argv, STREAM** streams, const int* close_flags,
                int n, const char* parent_text, const char* child_text) {
  (void)parent_text;
  (void)child_text;
  if (!program || !argv || !argv[0] || n < 0 || (n > 0 && !streams)) return -EINVAL;

  ChildPlan plan;
  plan.file = program;
  std::vector<char*> args;
  char* handover_arg = nullptr;
  const STREAM_HANDOVER* h = handover.load();
  if (n > 0) {
    if (!h) return -ENOTSUP;
    handover_arg = h->prepare(streams, n, plan.keep, kMaxKeep, &plan.nkeep);
    if (!handover_arg) return -EINVAL;
    plan.nkeep = std::clamp(plan.nkeep, 0, kMaxKeep);
    args.push_back(argv[0]);
    args.push_back(handover_arg);
    for (char* const* a = argv + 1; *a; ++a) args.push_back(*a);
    args.push_back(nullptr);
    plan.argv = args.data();
  } else {
    plan.argv = argv;
  }

  int r = start_child(plan, {}, true);
  d_f_ree(handover_arg);
  if (r > 0 && n > 0 && close_flags)
    for (int i = 0; i < n; ++i)
      if (close_flags[i] == 1 && streams[i]) h->close_in_parent(streams[i]);
  return r;
}

int launch_proc_stdio(int* in_fd, int* out_fd, int* err_fd, const char* command) {
  if (!command) return -EINVAL;
  static char sh[] = "/bin/sh", dash_c[] = "-c";
  char* argv[] = {sh, dash_c, const_cast<char*>(command), nullptr};
  ChildPlan plan;
  plan.file = sh;
  plan.argv = argv;

  if (!in_fd && !out_fd && !err_fd) {
    int r = start_child(plan, {}, true);
    return r < 0 ? r : 0;
  }
  if (!in_fd || !out_fd || !err_fd) return -EINVAL;

  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    int e = errno;
    close_fds({in[0], in[1], out[0], out[1], err[0], err[1]});
    return -e;
  }
  plan.stdio[0] = in[0];
  plan.stdio[1] = out[1];
  plan.stdio[2] = err[1];
  int r = start_child(plan, {in[0], out[1], err[1]}, false);
  if (r < 0) {
    close_fds({in[1], out[0], err[0]});
    return r;
  }
  *in_fd = in[1];
  *out_fd = out[0];
  *err_fd = err[0];
  return r;
}

int wait_proc(pid_t pid, int* status) {
  int st = 0;
  pid_t r;
  do r = waitpid(pid, &st, 0);
  while (r < 0 && errno == EINTR);
  if (r < 0) return -errno;
  if (status) *status = st;
  return r;
}

int http_system(const char* host, int port, const char* page) {
  std::string url;
  if (host && *host && port > 0) {
    url = "http://" + std::string(host) + ":" + std::to_string(port) + "/";
    if (page) url += page[0] == '/' ? page + 1 : page;
  } else if (page) {
    url = page;
  }

  std::vector<std::string> words;
  const char* browser = std::getenv("BROWSER");
  if (browser && *browser) {
    std::string first(browser, std::strcspn(browser, ":"));
    size_t i = 0;
    while (i < first.size()) {
      size_t b = first.find_first_not_of(" \t", i);
      if (b == std::string::npos) break;
      size_t e = first.find_first_of(" \t", b);
      words.push_back(first.substr(b, e == std::string::npos ? std::string::npos : e - b));
      i = e == std::string::npos ? first.size() : e;
    }
  }
  if (words.empty() && on_path("xdg-open")) words.push_back("xdg-open");
  if (words.empty()) return 0;
  words.push_back(url);

  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  return launch_proc(argv[0], argv.data(), nullptr, nullptr, 0, "http_system", nullptr);
}
