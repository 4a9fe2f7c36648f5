#include "base/entry.h"

#include <pthread.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "base/endian.h"
#include "base/panic.h"
#include "base/signals.h"

namespace {

// The body may recurse deeply (the evaluator): give it a generous stack.
constexpr size_t kBodyStack = 64u << 20;

// A leaf; the first thread, which does no ZU work, sleeps on exit_cv.
std::mutex exit_mu;
// Never destroyed: other threads may still use it while the process exits.
std::condition_variable& exit_cv = *new std::condition_variable;
bool exit_requested = false;
int exit_status = 0;
bool run_failed = false;
// The status handed to exit(), and whether the last exit handler has read
// it for good (a failure after that has nothing left to change).
int exit_passed = 0;
bool sealed = false;
bool main_waiting = false;
pthread_t first_thread;
const char* inherited_arg = nullptr;

struct BodyCall {
  MAIN_BODY body;
  int argc;
  char** argv;
};

void* run_body(void* p) {
  auto* call = static_cast<BodyCall*>(p);
  u_exit(call->body(call->argc, call->argv));
}

[[noreturn]] void finish(int status) {
  {
    std::lock_guard<std::mutex> g(exit_mu);
    exit_passed = status;
  }
  std::fflush(nullptr);
  std::exit(status);
}

// The last exit handler (registered first): an interrupt that came while
// the others ran still makes the status 1.
void seal_status() {
  int status;
  {
    std::lock_guard<std::mutex> g(exit_mu);
    sealed = true;
    status = exit_status;
    if (run_failed) status = 1;
  }
  end_at_signal_here();
  if (status == exit_passed) return;
  std::fflush(nullptr);
  _exit(status);
}

}  // namespace

const char* get_inherited_streams_arg() { return inherited_arg; }

void call_main(int argc, char** argv, MAIN_BODY body) {
  std::atexit(seal_status);
  init_endian();
  init_signals();

  if (argc > 1 && argv[1] && argv[1][0] == '+') {
    inherited_arg = argv[1];
    for (int i = 1; i < argc; ++i) argv[i] = argv[i + 1];  // argv[argc] is null
    --argc;
  }

  static BodyCall call;
  call = BodyCall{body, argc, argv};
  {
    std::lock_guard<std::mutex> g(exit_mu);
    first_thread = pthread_self();
    main_waiting = true;
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kBodyStack);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t t;
  int r = pthread_create(&t, &attr, run_body, &call);
  pthread_attr_destroy(&attr);
  if (r != 0) er_panic("call_main(1)");

  int status;
  {
    std::unique_lock<std::mutex> g(exit_mu);
    exit_cv.wait(g, [] { return exit_requested; });
    status = exit_status;
  }
  finish(status);
}

void u_exit_failed() {
  std::lock_guard<std::mutex> g(exit_mu);
  run_failed = true;
  if (exit_requested) exit_status = 1;
}

bool u_exit_sealed() {
  std::lock_guard<std::mutex> g(exit_mu);
  return sealed;
}

void u_exit(int status) {
  bool handed_over;
  {
    std::lock_guard<std::mutex> g(exit_mu);
    if (!exit_requested) {
      exit_requested = true;
      exit_status = run_failed ? 1 : status;
    }
    status = exit_status;
    handed_over = main_waiting && !pthread_equal(pthread_self(), first_thread);
  }
  if (!handed_over) finish(status);
  exit_cv.notify_all();
  for (;;) pause();  // the first thread ends the process
}
