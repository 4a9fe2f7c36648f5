// An agent for the tests that speak ZUoHTTP and HTTP to it from outside: it
// listens on every local address (the tests use 127.0.0.2), admits
// 127.0.0.0/8, prints "port N" once it is ready and runs until its standard
// input ends. Arguments name=seconds set the server's guard and poll times.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/entry.h"
#include "netsvc/netsvc.h"
#include "netsvc/zuohttp.h"
#include "runtime/interp.h"
#include "runtime/zu_init.h"
#include "text/convert.h"
#include "zu/env.h"
#include "zu/gc.h"
#include "zulib/library.h"

namespace {

// The main interpreter reads a FIFO nobody ends, so it outlives every link
// (when the main interpreter closes, no other may start).
bool start_main() {
  char tmpl[] = "/tmp/qnmx_zoh_XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  std::string fifo = std::string(tmpl) + "/main.fifo";
  if (mkfifo(fifo.c_str(), 0600) != 0) return false;
  int keep = open(fifo.c_str(), O_RDWR);  // no end of input, ever
  (void)keep;
  ZuThreadScope scope("agent");
  ZU_INTERPRETER* z = new_zu_interpreter();
  z->a_type = ZUI_FILE;
  z->env = new_env(qnlisp_top_env1);
  z->input_file_name = nl_copy_str(std_cm, fifo.c_str());
  int iid = setup_i(z);
  unlink(fifo.c_str());
  rmdir(tmpl);
  return iid > 0;
}

int listen_links() {
  ZuThreadScope scope("agent");
  ZU_INTERPRETER* z = new_zu_interpreter();
  z->a_type = ZUI_ACCEPT;
  z->env = qnlisp_top_env1;
  z->environment = 1;
  z->port = 26000 + static_cast<int>(getpid() % 2000) * 10;
  z->port_limit = 2000;
  PERMISSION_LIST* e = new_permission_list(z, nullptr);
  insert_access_list(&e->ap, "127.0.0.0", "255.0.0.0", nullptr, 0, 0, 1);
  int iid = setup_i(z);
  ZU_INTERPRETER info;
  return iid > 0 && get_zui_info(&info, iid) == 0 ? info.port : 0;
}

// name=seconds arguments: header, body, idle, empty, poll, stock.
void read_times(int argc, char** argv) {
  ZOH_TIMES t{};
  int* slots[] = {&t.header_guard, &t.body_guard, &t.session_idle, &t.empty_reply, &t.poll_interval, &t.stock_idle};
  const char* names[] = {"header=", "body=", "idle=", "empty=", "poll=", "stock="};
  for (int i = 1; i < argc; ++i) {
    for (int k = 0; k < 6; ++k) {
      if (std::strncmp(argv[i], names[k], std::strlen(names[k])) == 0) *slots[k] = std::atoi(argv[i] + std::strlen(names[k]));
    }
  }
  zoh_set_times(&t);
}

int body(int argc, char** argv) {
  init_netsvc();
  read_times(argc, argv);
  init_zu();
  init_function(qnlisp_top_env0, qnlisp_top_env1, 1, argv);
  if (!start_main()) return 2;
  int port = listen_links();
  if (!port) return 3;
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
