#include "base/signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <mutex>

#include "base/entry.h"
#include "base/panic.h"
#include "base/process.h"

std::atomic<INT_HANDLER> int_handler{nullptr};
std::atomic<END_STALL> end_stall_hook{nullptr};

namespace {

// Process that owns the signal thread: after a fork the child has no such
// thread until it calls init_signals itself.
std::atomic<pid_t> owner_pid{0};
pthread_t signal_thread;
std::mutex init_mu;

// SIGTERM, which service managers and kill(1) send, ends the process as an
// interrupt does: its default action would end it with its files unsaved.
constexpr int kTakenSignals[] = {SIGINT, SIGTERM, SIGCHLD, SIGALRM};

sigset_t taken_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : kTakenSignals) sigaddset(&set, s);
  return set;
}

void write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    p += w;
    n -= static_cast<size_t>(w);
  }
}

// Runs only when a taken signal reaches a thread that does not block it
// (one made before init_signals): hand it to the signal thread.
void forward_handler(int sig) {
  int saved = errno;
  if (owner_pid.load() == getpid()) {
    pthread_kill(signal_thread, sig);
  } else if (sig == SIGINT || sig == SIGTERM) {
    write_all(1, "Interrupted\n", 12);
    _exit(1);
  }
  errno = saved;
}

void nothing_handler(int) {}

std::atomic<uint64_t> end_progress{0};
std::atomic<bool> watchdog_started{false};

void* end_watchdog(void*) {
  uint64_t seen = end_progress.load();
  for (unsigned still = 0; still < kEndStallSeconds; ++still) {
    sleep(1);
    const uint64_t now = end_progress.load();
    if (now != seen) {
      seen = now;
      still = 0;
    }
  }
  if (END_STALL hook = end_stall_hook.load()) hook();
  std::fflush(stdout);
  _exit(1);
}

std::atomic<bool> said{false};

void on_interrupt(int sig) {
  // Past the exit's status nothing is left to do but to say it.
  if (u_exit_sealed()) {
    if (!said.exchange(true)) write_all(1, "Interrupted\n", 12);
    _exit(1);
  }
  INT_HANDLER h = int_handler.load();
  if (h && h(sig) >= 0) return;
  start_end_watchdog();
  say_interrupted();
  u_exit(1);
}

void late_interrupt(int) {
  if (!said.exchange(true)) write_all(1, "Interrupted\n", 12);
  _exit(1);
}

void* signal_loop(void*) {
  sigset_t set = taken_set();
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    switch (sig) {
      case SIGINT:
      case SIGTERM:
        on_interrupt(sig);
        break;
      case SIGCHLD:
        reap_registered_children();
        break;
      default:  // SIGALRM: nothing here uses it; taking it keeps it harmless
        break;
    }
  }
  return nullptr;
}

void install(int sig, void (*handler)(int), int flags) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sa.sa_flags = flags;
  sigemptyset(&sa.sa_mask);
  sigaction(sig, &sa, nullptr);
}

}  // namespace

void say_interrupted() {
  if (said.exchange(true)) return;
  std::fputs("Interrupted\n", stdout);
  std::fflush(stdout);
}

void note_end_progress() { end_progress.fetch_add(1, std::memory_order_relaxed); }

void start_end_watchdog() {
  if (watchdog_started.exchange(true)) return;
  pthread_t t;
  if (pthread_create(&t, nullptr, end_watchdog, nullptr) == 0) pthread_detach(t);
}

void end_at_signal_here() {
  // Whatever stops the other threads during the rest of the exit (a leak
  // check) leaves this one to take the signal.
  install(SIGINT, late_interrupt, 0);
  install(SIGTERM, late_interrupt, 0);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void init_signals() {
  std::lock_guard<std::mutex> g(init_mu);
  if (owner_pid.load() == getpid()) return;

  sigset_t set = taken_set();
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) er_panic("init_signals(1)");
  install(SIGPIPE, SIG_IGN, 0);
  // A file-size limit makes a write fail with EFBIG, which is reported as
  // any failed write is, instead of ending the process with its files
  // unsaved.
  install(SIGXFSZ, SIG_IGN, 0);
  install(SIGUSR1, nothing_handler, 0);  // no SA_RESTART: interrupts calls
  for (int s : kTakenSignals) install(s, forward_handler, SA_RESTART);

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  int r = pthread_create(&signal_thread, &attr, signal_loop, nullptr);
  pthread_attr_destroy(&attr);
  if (r != 0) er_panic("init_signals(2)");
  owner_pid.store(getpid());
}
