// Test support at the runtime's layer: interpreters as the tests and
// benchmarks of the runtime and the folders above it start them. The
// calling thread's own internal interpreter; an asker (a thread of its own
// with an internal interpreter, running a function, as a script's thread
// runs); a main interpreter that lives until the process ends; a listener
// on the loopback interface and a link to one. Header-only, so that the
// benchmarks use them too. The interpreter runtime is started by the
// caller (init_zu).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <type_traits>

#include "runtime/interp.h"
#include "text/convert.h"
#include "zu/gc.h"

// The calling thread's internal interpreter for a scope.
class SelfInterpreter {
 public:
  explicit SelfInterpreter(bool own_env = false) : iid_(open_self_interpreter(own_env)) {}
  ~SelfInterpreter() {
    if (iid_ > 0) close_self_interpreter();
  }
  SelfInterpreter(const SelfInterpreter&) = delete;
  SelfInterpreter& operator=(const SelfInterpreter&) = delete;
  bool ok() const { return iid_ > 0; }

 private:
  int iid_;
};

// Runs f(me) on a thread of its own that has an internal interpreter `me`
// with an environment of its own (under a ZuThreadScope), and returns what
// f returns once the thread and its interpreter have ended.
template <class F>
auto as_asker(F f) {
  using R = std::invoke_result_t<F&, ZU_INTERPRETER*>;
  if constexpr (std::is_void_v<R>) {
    std::thread([&] {
      SelfInterpreter self(true);
      ZuThreadScope scope("asker");
      f(get_my_zui());
    }).join();
  } else {
    R out{};
    std::thread([&] {
      SelfInterpreter self(true);
      ZuThreadScope scope("asker");
      out = f(get_my_zui());
    }).join();
    return out;
  }
}

// A main interpreter that reads a FIFO nobody ends, so that it lives until
// the process ends: when the main interpreter closes, no other interpreter
// may start in the process. Made once; true while it is the main one.
inline bool ensure_main_interpreter() {
  static int main_iid = -1;
  if (get_main_interpreter_state() == 0) {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/qnmx_main_XXXXXX";
    if (!mkdtemp(dir.data())) return false;
    std::string fifo = dir + "/main.fifo";
    if (mkfifo(fifo.c_str(), 0600) != 0) return false;
    static int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);  // kept open: no end of input
    (void)writer;
    {
      ZuThreadScope scope("main");
      ZU_INTERPRETER* z = new_zu_interpreter();
      z->a_type = ZUI_FILE;
      z->env = new_env(qnlisp_top_env1);
      z->input_file_name = nl_copy_str(std_cm, fifo.c_str());
      main_iid = setup_i(z);
    }
    // The interpreter holds the FIFO open: its name may go.
    unlink(fifo.c_str());
    rmdir(dir.c_str());
  }
  return get_main_interpreter_state() == 1 && get_main_interpreter() == main_iid;
}

struct ListenerOptions {
  bool allow = true;  // peers of 127.0.0.0/8 are allowed (else refused)
  // The ports tried begin here, offset by the process id so that parallel
  // tests seldom try the same ones.
  int first_port = 21000;
  ZUISP_ENV* env = nullptr;  // the peers' environment (null: the second top one)
  uint32_t accept_interval = 10;
  int silent_timeout = -1;
  int connection_timeout = -1;
};

// A listener on a free port (every local address), admitting or refusing
// peers of 127.0.0.0/8; its port in *port: its iid, <= 0 when it could not
// be made.
inline int open_listener(int* port, const ListenerOptions& o = {}) {
  ZuThreadScope scope("listener");
  ZU_INTERPRETER* z = new_zu_interpreter();
  z->a_type = ZUI_ACCEPT;
  z->env = o.env ? o.env : qnlisp_top_env1;
  z->environment = 1;
  z->port = o.first_port + static_cast<int>(getpid() % 2000) * 10;
  z->port_limit = 2000;
  z->accept_interval = o.accept_interval;
  z->silent_timeout = o.silent_timeout;
  z->connection_timeout = o.connection_timeout;
  PERMISSION_LIST* e = new_permission_list(z, nullptr);
  insert_access_list(&e->ap, "127.0.0.0", "255.0.0.0", nullptr, 0, 0, o.allow ? 1 : 0);
  int iid = setup_i(z);
  ZU_INTERPRETER info;
  if (iid > 0 && get_zui_info(&info, iid) == 0) *port = info.port;
  return iid;
}

// A link to the listener on port of 127.0.0.1: its iid, or the negative
// result of the set-up (a refusal among them).
inline int open_link(int port) {
  ZuThreadScope scope("link");
  ZU_INTERPRETER* z = new_zu_interpreter();
  z->a_type = ZUI_CONNECT;
  z->env = qnlisp_top_env1;
  z->environment = 1;
  z->hostname = nl_copy_str(std_cm, "127.0.0.1");
  z->port = port;
  return setup_i(z);
}
