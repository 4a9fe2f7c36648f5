// The two halves of a listening test agent, shared by the agents that the
// runtime's and the network services' outside tests attack (link_agent.cc,
// tests/netsvc/agent/zoh_agent.cc).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "runtime/interp.h"
#include "text/convert.h"
#include "zu/env.h"
#include "zu/gc.h"

// A main interpreter reading a FIFO nobody ends, so that it outlives every
// link (when the main interpreter closes, no other may start).
inline bool listen_agent_main() {
  char tmpl[] = "/tmp/qnmx_agent_XXXXXX";
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

// A listener on every local address admitting 127.0.0.0/8, on the first
// free port from a base that depends on the process: the port, or 0.
inline int listen_agent_port(int base) {
  ZuThreadScope scope("agent");
  ZU_INTERPRETER* z = new_zu_interpreter();
  z->a_type = ZUI_ACCEPT;
  z->env = qnlisp_top_env1;
  z->environment = 1;
  z->port = base + static_cast<int>(getpid() % 2000) * 10;
  z->port_limit = 2000;
  PERMISSION_LIST* e = new_permission_list(z, nullptr);
  insert_access_list(&e->ap, "127.0.0.0", "255.0.0.0", nullptr, 0, 0, 1);
  int iid = setup_i(z);
  ZU_INTERPRETER info;
  return iid > 0 && get_zui_info(&info, iid) == 0 ? info.port : 0;
}
