// An agent for the tests that attack it from outside: it listens for line
// links on 127.0.0.1, prints "port N" once it is ready and runs until its
// standard input ends. Everything the tests measure (descriptors, threads,
// memory) is read from /proc by the test itself.
#include <unistd.h>

#include <cstdio>

#include "base/entry.h"
#include "runtime/zu_init.h"
#include "support/runtime/interpreters.h"

namespace {

int body(int, char**) {
  init_zu();
  if (!ensure_main_interpreter()) return 2;
  int port = 0;
  if (open_listener(&port, {.first_port = 24000}) <= 0) return 3;
  std::printf("port %d\n", port);
  std::fflush(stdout);
  char buf[64];
  while (read(0, buf, sizeof buf) > 0) {
  }
  std::fflush(stdout);
  _exit(0);
}

}  // namespace

int main(int argc, char** argv) { call_main(argc, argv, body); }
