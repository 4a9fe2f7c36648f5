// The agent's end (agent_end.h): the steps, their one list, the runner.
#include "runtime/agent_end.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "base/entry.h"
#include "base/lost_output.h"
#include "base/signals.h"
#include "runtime/call_lock.h"
#include "runtime/interp.h"
#include "runtime/net_ops.h"
#include "stream/stream.h"

namespace {

std::atomic<END_CLOSE_MATRICES> close_matrices{nullptr};
std::atomic<END_CLOSE_FILES> close_files{nullptr};
// Nodes the matrices step could not save; written by the runner only.
int unsaved = 0;

void step_stop() { begin_agent_end(true); }

// Bounded by the network layer (kEndRequestWaitSeconds).
void step_requests() { wait_rs_queue(); }

void step_matrices() {
  if (END_CLOSE_MATRICES close = close_matrices.load()) unsaved = close();
}

void step_locks() { call_lock_give_back_wait(); }

void step_interpreters() { shut_down_interpreters(); }

void step_files() {
  if (END_CLOSE_FILES close = close_files.load()) close();
  s_close_queue_drain();
}

struct END_STEP {
  const char* name;
  void (*run)();
};

// The end, in its order (agent_end.h says why each comes where it does).
constexpr END_STEP kEndSteps[] = {
    {"stop", step_stop},         {"requests", step_requests},         {"matrices", step_matrices},
    {"locks", step_locks},       {"interpreters", step_interpreters}, {"files", step_files},
};

std::mutex& run_mu = *new std::mutex;  // held by the runner for the steps
bool ran = false;                      // run_mu

}  // namespace

void set_end_close_matrices(END_CLOSE_MATRICES close) { close_matrices.store(close); }

void set_end_close_files(END_CLOSE_FILES close) { close_files.store(close); }

bool ask_end_failed() {
  u_exit_failed();
  if (!end_runner_set()) return false;
  begin_agent_end(true);
  return true;
}

int run_agent_end(int status) {
  wait_agent_end();
  std::lock_guard<std::mutex> g(run_mu);
  if (!ran) {
    ran = true;
    start_end_watchdog();
    for (const END_STEP& step : kEndSteps) {
      step.run();
      note_end_progress();
    }
  }
  return unsaved > 0 || lost_output() ? 1 : status;
}

int zu_end_int_handler(int) {
  // The script's thread may reach its own exit first, once the end wakes
  // it: the status is the interrupt's all the same.
  u_exit_failed();
  if (!end_runner_set()) return -1;
  say_interrupted();
  start_end_watchdog();
  begin_agent_end(true);
  return 0;
}
