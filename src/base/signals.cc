#include "base/signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "base/entry.h"
#include "base/panic.h"
#include "base/process.h"

std::atomic<INT_HANDLER> int_handler{nullptr};
std::atomic<EXIT_SAVING> exit_saving{nullptr};

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

// An interrupt must end the process even when an exit handler or another
// thread holding a stdio lock hangs: the orderly exit gets this long.
constexpr unsigned kInterruptExitSeconds = 5;

void* interrupt_watchdog(void*) {
  sleep(kInterruptExitSeconds);
  bool waited_for_saves = false;
  for (unsigned waited = kInterruptExitSeconds; waited < kInterruptSaveSeconds; ++waited) {
    EXIT_SAVING saving = exit_saving.load();
    if (!saving || !saving()) break;
    waited_for_saves = true;
    sleep(1);
  }
  // What the exit does after the saves (flushing files) gets its time too.
  if (waited_for_saves) sleep(kInterruptExitSeconds);
  _exit(1);
}

void on_interrupt(int sig) {
  INT_HANDLER h = int_handler.load();
  if (h && h(sig) >= 0) return;
  pthread_t t;
  if (pthread_create(&t, nullptr, interrupt_watchdog, nullptr) == 0) pthread_detach(t);
  std::fputs("Interrupted\n", stdout);
  std::fflush(stdout);
  u_exit(1);
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
