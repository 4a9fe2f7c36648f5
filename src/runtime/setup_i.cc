// Opening an interpreter's streams by kind, then registering it.
#include <cerrno>
#include <cstring>

#include "base/alloc.h"
#include "runtime/front.h"
#include "runtime/interp.h"
#include "runtime/later_services.h"
#include "runtime/peer_tasks.h"
#include "runtime/zu_init.h"
#include "text/convert.h"
#include "zu/gc.h"

namespace {

L_CHAR* wide_copy(const char* text) { return nl_copy_str(std_cm, text); }

// When `environment` is set, the interpreter gets a fresh child of its
// environment.
// The record's own environment below the one it was given, made before any
// stream opens: a refusal for memory then has nothing to give back but the
// record. A listener's connections make theirs as they come, and a file's
// set-up its own once it knows whether it reads a pipe.
void child_environment(ZU_INTERPRETER* zui) {
  bool own = zui->a_type != ZUI_ACCEPT && zui->a_type != ZUI_IPC && zui->a_type != ZUI_FILE;
  if (zui->environment && own) zui->env = new_env(zui->env);
}

// The set-up of each kind (_setup_i_<kind>) runs under no lock: it opens
// the kind's streams and registers the record through
// setup_zu_interpreter, which takes zui_lock.
int _setup_i_stdio(ZU_INTERPRETER* zui) {
  STREAM* t = s_open_terminal(terminal_prompt);
  if (!t) {
    free_zu_interpreter(zui);
    return ZUI_ERR_STREAM;
  }
  zui->flags = ZUI_F_TERMINAL;
  zui->inp = zui->out = zui->err = t;
  zui->ps_flags |= 16;
  d_f_ree(zui->msg);
  zui->msg = wide_copy("stdio");
  zui->thread_mode = 1;
  return setup_zu_interpreter(zui);
}

int _setup_i_self(ZU_INTERPRETER* zui) {
  zui->flags = 0;
  zui->inp = zui->out = zui->err = nullptr;
  d_f_ree(zui->msg);
  zui->msg = wide_copy("internal thread");
  zui->thread_mode = 3;
  return setup_zu_interpreter(zui);
}

void close_streams(ZU_INTERPRETER* zui) {
  STREAM* seen[3] = {nullptr, nullptr, nullptr};
  STREAM* all[3] = {zui->inp, zui->out, zui->err};
  for (int i = 0; i < 3; ++i) {
    STREAM* s = all[i];
    if (!s || s == seen[0] || s == seen[1]) continue;
    seen[i] = s;
    d_s_close(s);  // refuses the standard streams
  }
  zui->inp = zui->out = zui->err = nullptr;
}

int _setup_i_descripter(ZU_INTERPRETER* zui) {
  STREAM* inp = s_open_descripter(zui->inp_desc, nullptr);
  STREAM* out = nullptr;
  STREAM* err = nullptr;
  bool ok = inp != nullptr;
  if (ok && zui->out_desc != -1) ok = (out = s_open_descripter(zui->out_desc, nullptr)) != nullptr;
  if (ok && zui->err_desc != -1) ok = (err = s_open_descripter(zui->err_desc, nullptr)) != nullptr;
  if (!ok) {
    int saved = errno;
    for (STREAM* x : {inp, out, err})
      if (x) d_s_close(x);
    free_zu_interpreter(zui);
    errno = saved;
    return ZUI_ERR_DESC;
  }
  zui->inp = inp;
  zui->out = out;
  zui->err = err;
  d_f_ree(zui->msg);
  zui->msg = wide_copy("descripter input");
  zui->thread_mode = 2;
  zui->connect_ip = s_get_socketip(inp);
  zui->flags |= ZUI_F_CODE_SYNC;
  return setup_zu_interpreter(zui);
}

int _setup_i_pipe(ZU_INTERPRETER* zui) {
  d_f_ree(zui->msg);
  zui->msg = wide_copy("pipe input");
  zui->thread_mode = 2;
  if (zui->inp) s_set_write_abort(zui->inp, 1, 10);
  // Replies may go out on a descriptor of their own: a parent that stops
  // reading them is broken off the same way.
  if (zui->out && zui->out != zui->inp) s_set_write_abort(zui->out, 1, 10);
  zui->connect_ip = zui->inp ? s_get_socketip(zui->inp) : 0;
  zui->flags |= ZUI_F_CODE_SYNC;
  return setup_zu_interpreter(zui);
}

int _setup_i_accept(ZU_INTERPRETER* zui) {
  int port = 0;
  STREAM* ls = init_server(&port, zui->port, zui->port_limit);
  if (!ls) {
    int saved = errno;
    free_zu_interpreter(zui);
    errno = saved;
    return ZUI_ERR_PORT;
  }
  zui->inp = ls;
  zui->out = zui->err = nullptr;
  zui->port = port;  // the port actually bound, for the caller
  d_f_ree(zui->msg);
  zui->msg = wide_copy("network");
  zui->thread_mode = 2;
  return setup_zu_interpreter(zui);
}

// ---- outgoing connections

// Opens the stream and registers (which waits for the peer's answer).
int ___setup_i_connect(ZU_INTERPRETER* zui, PROXY_INFO* proxy, int* cerr) {
  zui->flags |= ZUI_F_WAIT_PERMISSION;
  char* host = zui->hostname ? ln_copy_str(std_cm, zui->hostname) : nullptr;
  int port = zui->port & 0xFFFF;
  STREAM* s = nullptr;
  *cerr = 0;
  switch (zui->proxy_type) {
    case 1:
      s = new_connection(cerr, host, zui->ip, port, nullptr, nullptr);
      break;
    case 2:
      s = s_connect_ZUoHTTP_2(cerr, host, zui->ip, port, nullptr, 0, 0, zuohttp_keep_alive());
      break;
    case 4:
      s = s_connect_ZUoHTTP_2(cerr, host, zui->ip, port, proxy ? proxy->proxy_server : nullptr, 0,
                              proxy ? proxy->proxy_port : 0, zuohttp_keep_alive());
      break;
    default:
      *cerr = EINVAL;
      break;
  }
  if (!s) {
    d_f_ree(host);
    free_zu_interpreter(zui);
    return ZUI_ERR_CONNECT;
  }
  s_set_write_abort(s, 1, 10);
  zui->inp = zui->out = zui->err = s;
  d_f_ree(zui->msg);
  zui->msg = zui->input_file_name ? ll_copy_str(zui->input_file_name) : wide_copy("connect");
  zui->thread_mode = 2;
  zui->connect_ip = s_get_socketip(s);
  // The server is reachable: its name and address are recorded.
  SERVER_INFO info{SI_STATUS | SI_IP | (zui->hostname ? SI_NAME : 0), 1, zui->hostname,
                   static_cast<unsigned>(zui->connect_ip), 0, 0};
  set_serverinfo(&info, 1, -1);
  d_f_ree(host);
  int r = setup_zu_interpreter(zui);
  // A peer that hung up before it answered was reached (a service that
  // was restarting, say): only an answer that never came marks the host
  // failed.
  if (r == ZUI_ERR_CONNECT) *cerr = errno == ECONNRESET ? ECONNRESET : ETIMEDOUT;
  if (r == ZUI_ERR_PEER_LIMIT) {
    d_s_close(s);
    free_zu_interpreter(zui);
  }
  if (r == ZUI_ERR_SHUTDOWN && zui->a_type != ZUI_CONNECT) {
    d_s_close(s);
    free_zu_interpreter(zui);
  }
  return r;
}

// What the connect procedure hands back beside its report to the blacklist.
struct CONNECT_WORK {
  PROXY_INFO proxy;
  int iid;   // the set-up result; 0 while the connection was not tried
  int cerr;  // why the connection failed (an errno value), for the caller
};

int connect_proc(BL_COMMAND* cmd, BL_ENTRY* e) {
  auto* zui = static_cast<ZU_INTERPRETER*>(cmd->zui);
  auto* work = static_cast<CONNECT_WORK*>(cmd->proxy);
  e->port = zui->port;
  if (e->failed) return 2;
  int cerr = 0;
  work->iid = ___setup_i_connect(zui, zui->proxy_type == 4 ? &work->proxy : nullptr, &cerr);
  work->cerr = cerr;
  return cerr == ETIMEDOUT ? 2 : 0;
}

int retry_proc(BL_ENTRY* e) {
  ZuThreadScope scope("connect retry");
  ZU_INTERPRETER* zui = new_zu_interpreter();
  zui->a_type = ZUI_CONNECT;
  zui->env = qnlisp_top_env0;
  zui->environment = 1;
  zui->hostname = nl_copy_str(std_cm, e->host);
  zui->port = e->port;
  PROXY_INFO proxy{};
  check_proxy(&proxy, e->host);
  zui->proxy_type = proxy.proxy_type;
  child_environment(zui);
  int cerr = 0;
  int r = ___setup_i_connect(zui, &proxy, &cerr);
  clear_proxy_info(&proxy);
  if (r > 0) close_interpreter_nowait(r);
  return cerr == ETIMEDOUT ? 2 : 0;
}

int _setup_i_connect(ZU_INTERPRETER* zui) {
  // A link a peer has the agent open counts against the peer's address
  // with its threads, from before it connects.
  if (!take_peer_tasks(zui->origin, kLinkTasks)) {
    free_zu_interpreter(zui);
    return ZUI_ERR_PEER_LIMIT;
  }
  zui->peer_tasks = zui->origin.for_peer ? kLinkTasks : 0;
  zui->peer_tasks_ip = zui->origin.peer_ip;
  char* host = zui->hostname ? ln_copy_str(std_cm, zui->hostname) : copy_str("");
  CONNECT_WORK work{};
  PROXY_INFO& proxy = work.proxy;
  if (zui->proxy_type == PROXY_UNDECIDED) {
    check_proxy(&proxy, host);
    zui->proxy_type = proxy.proxy_type;
  } else if (zui->proxy_type == PROXY_HTTP) {
    check_proxy(&proxy, host);
  }
  if (zui->proxy_type != PROXY_NONE && zui->proxy_type != PROXY_ZUOHTTP && zui->proxy_type != PROXY_HTTP) {
    clear_proxy_info(&proxy);
    d_f_ree(host);
    free_zu_interpreter(zui);
    errno = EINVAL;
    return ZUI_ERR_CONNECT;
  }
  if (zui->unlisted) {
    // Its opener bounds and repeats the attempt itself: a service that once
    // did not answer in time is asked again as soon as it is asked for.
    int cerr = 0;
    work.iid = ___setup_i_connect(zui, zui->proxy_type == 4 ? &proxy : nullptr, &cerr);
    work.cerr = cerr;
  } else {
    BL_COMMAND cmd{host, static_cast<int>(std::strlen(host)) + 1, 1, retry_proc, connect_proc, zui,
                   &work, -1};
    bl_do(&cmd);
  }
  clear_proxy_info(&proxy);
  d_f_ree(host);
  if (work.iid == 0) {
    // The host is marked failed: the connection was not tried.
    free_zu_interpreter(zui);
    errno = ETIMEDOUT;
    return ZUI_ERR_CONNECT;
  }
  // What the connection said, past the frees that may have changed errno.
  if (work.iid < 0 && work.cerr != 0) errno = work.cerr;
  return work.iid;
}

}  // namespace

int setup_i(ZU_INTERPRETER* zui) {
  ZuThreadScope scope("setup_i");
  {
    Owned<ZU_INTERPRETER, free_zu_interpreter> held(zui);
    child_environment(zui);
    held.release();
  }
  int r;
  switch (zui->a_type) {
    case ZUI_STDIO:
      r = _setup_i_stdio(zui);
      break;
    case ZUI_FILE:
      r = _setup_i_file(zui);
      break;
    case ZUI_SELF:
      r = _setup_i_self(zui);
      break;
    case ZUI_IPC:
    case ZUI_ACCEPT:
      r = _setup_i_accept(zui);
      break;
    case ZUI_CONNECT:
      r = _setup_i_connect(zui);
      break;
    case ZUI_DESCRIPTER:
      r = _setup_i_descripter(zui);
      break;
    case ZUI_PIPE:
      r = _setup_i_pipe(zui);
      break;
    default:
      // A kind nobody defined comes from a caller's data, not from a broken
      // invariant: refuse it like a stream that cannot be opened.
      close_streams(zui);
      free_zu_interpreter(zui);
      errno = EINVAL;
      return ZUI_ERR_STREAM;
  }
  if (r == ZUI_ERR_SHUTDOWN && zui->a_type != ZUI_CONNECT) {
    // Nothing may start after the main interpreter closed: give the
    // streams back so that the caller has nothing left to release.
    int saved = errno;
    close_streams(zui);
    free_zu_interpreter(zui);
    errno = saved;
  }
  return r;
}
