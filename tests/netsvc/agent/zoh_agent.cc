// An agent for the tests that speak ZUoHTTP and HTTP to it from outside: it
// listens on every local address (the tests use 127.0.0.2), admits
// 127.0.0.0/8, prints "port N" once it is ready and runs until its standard
// input ends. Arguments name=seconds set the server's guard and poll times.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/entry.h"
#include "netsvc/netsvc.h"
#include "netsvc/zuohttp.h"
#include "runtime/zu_init.h"
#include "support/runtime/interpreters.h"
#include "zulib/library.h"

namespace {

// name=seconds arguments: header, body, idle, empty, poll, stock.
void read_times(int argc, char** argv) {
  ZOH_TIMES t{};
  int* slots[] = {&t.header_guard, &t.body_guard, &t.session_idle, &t.empty_reply, &t.poll_interval, &t.stock_idle};
  const char* names[] = {"header=", "body=", "idle=", "empty=", "poll=", "stock="};
  for (int i = 1; i < argc; ++i) {
    for (int k = 0; k < 6; ++k) {
      size_t n = std::strlen(names[k]);
      if (std::strncmp(argv[i], names[k], n) == 0) *slots[k] = std::atoi(argv[i] + n);
    }
  }
  zoh_set_times(&t);
}

int body(int argc, char** argv) {
  init_netsvc();
  read_times(argc, argv);
  init_zu();
  init_function(qnlisp_top_env0, qnlisp_top_env1, 1, argv);
  if (!ensure_main_interpreter()) return 2;
  int port = 0;
  if (open_listener(&port, {.first_port = 26000}) <= 0) return 3;
  std::printf("port %d\n", port);
  std::fflush(stdout);
  // Each line on the standard input runs a collection (the collector's
  // pages of ended sessions go back to the system), then "gc" is written.
  char buf[64];
  while (read(0, buf, sizeof buf) > 0) {
    ZuThreadScope scope("agent");
    gc_collect_now();
    std::printf("gc\n");
    std::fflush(stdout);
  }
  std::fflush(stdout);
  _exit(0);
}

}  // namespace

int main(int argc, char** argv) { call_main(argc, argv, body); }
