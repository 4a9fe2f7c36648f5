// Export: runs forms in a child agent over a pipe pair.
//
// The child is started from an argument vector (the target alone) with
// one end of the pair handed over; the other end becomes a pipe
// interpreter of this process, through which the forms are sent as remote
// queries and their replies awaited one by one. The pipe interpreter has a
// connection time-out, so a child that never answers cannot hold the
// caller for ever: its queries fail with "stream error", and the child is
// killed so that it can be reaped. The calling interpreter's thread is
// blocked until the last reply.
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "base/alloc.h"
#include "base/process.h"
#include "runtime/interp.h"
#include "runtime/remote.h"
#include "runtime/script_path.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zulib/system.h"

namespace {

constexpr int kExportTimeoutTicks = 120;  // 10 minutes of 5-second ticks
std::atomic<int> export_timeout{0};       // 0: not read yet

// Sends cmd to interpreter iid and waits for its reply.
ZU_SEXP* ask(int iid, ZUISP_ENV* env, ZU_SEXP* cmd) {
  ZU_SEXP* reply = remote_query(iid, env, nullptr, cmd);
  get_type(reply);  // a delayed reply is turned into the reply itself
  return reply;
}

ZU_SEXP* print_chain(const char* sync) {
  ZU_SEXP* head = get_symbol_ascii("PrintChain");
  set_attribute(head, l_string(std_cm, "sync"), l_string(std_cm, sync));
  return list(head);
}

bool failed(ZU_SEXP* v) { return get_type(v) == ZU_TYPE_ERROR; }

// The link itself failed (the child went silent or away), as opposed to an
// error that a form gave in the child ("remote call").
bool link_failed(ZU_SEXP* v) {
  uint32_t code = error_code(v);
  if (code == ZU_ER_INVALID_IID) return true;
  return code == ZU_ER_STREAM && zu_wcmp_ascii(v->error->func, "remote call") != 0;
}

// The dialogue with the child's interpreter: the opening calls, the forms
// until the first error, then the closing handshake. The result of the
// forms (or the error that ended them).
ZU_SEXP* converse(int iid, ZUISP_ENV* env, ZU_SEXP* form, const L_CHAR* mode) {
  ZU_SEXP* r = ask(iid, env, print_chain("entry"));
  if (failed(r)) return r;
  if (Tagged<L_CHAR> dir{get_script_path()}) {
    ZU_SEXP* cmd = List(get_symbol_ascii("SetScriptPath"), get_string(dir.get()), ZU_LIST_END);
    dir.reset();
    r = ask(iid, env, cmd);
    if (failed(r)) return r;
  }
  for (ZU_SEXP* f = form->pair.cdr; get_type(f) == ZU_TYPE_LIST; f = f->pair.cdr) {
    ZU_SEXP* sent = qn_quote_trace(env, f->pair.car, mode);
    r = failed(sent) ? sent : ask(iid, env, sent);
    if (failed(r)) break;
  }
  ask(iid, env, print_chain("exit"));
  remote_query(iid, env, nullptr, list(get_symbol_ascii("Exit")));  // not awaited
  return r;
}

ZU_SEXP* zu_Export(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  const L_CHAR* target = head_option(sf, "target");
  if (!target) return error_list_at(form, ZU_ER_PARAM, "Export", "target is required ");
  const L_CHAR* mode = head_option(sf, "type");
  if (!mode) mode = l_string(std_cm, "direct");

  STREAM* ends[2] = {nullptr, nullptr};
  if (s_open_fpipe(ends) < 0) return error_at(form, ZU_ER_USER, "Shell", data_list("cannot open the pipe", -errno));
  char* program = ln_copy_str(std_cm, target);
  char* argv[] = {program, nullptr};
  const int close_flags[] = {1};
  int pid = launch_proc(program, argv, ends, close_flags, 1, "Export", nullptr);
  d_f_ree(program);
  if (pid <= 0) {
    d_s_close(ends[0]);
    d_s_close(ends[1]);
    return error_text_at(form, ZU_ER_LAUNCH, "Export", "cannot launch");
  }

  ZU_INTERPRETER* zui = new_zu_interpreter();
  zui->a_type = ZUI_PIPE;
  zui->inp = zui->out = ends[1];
  zui->err = nullptr;
  zui->env = env;
  zui->environment = 1;
  zui->connection_timeout = get_export_timeout();
  int iid = setup_i(zui);
  if (iid < 0) {
    d_s_close(ends[1]);  // harmless when the set-up closed it already
    kill(pid, SIGKILL);
    return error_at(form, ZU_ER_USER, "Shell", data_list("cannot open the pipe", iid));
  }
  ZU_SEXP* r = converse(iid, env, form, mode);
  close_interpreter(iid);
  if (link_failed(r)) {
    // The child went silent or away; one that is still there is stopped.
    kill(pid, SIGKILL);
    return error_list_at(form, ZU_ER_STREAM, "Export", "stream error");
  }
  return r;
}

const QN_PRIM_DEF kExport[] = {{"Export", zu_Export, 0, 2, -1, 0}, {}};

}  // namespace

void set_export_timeout(int ticks) { export_timeout.store(ticks > 0 ? ticks : kExportTimeoutTicks); }

int get_export_timeout() {
  int t = export_timeout.load();
  if (t > 0) return t;
  const char* text = std::getenv("QNMX_EXPORT_TIMEOUT");
  long n = text ? std::strtol(text, nullptr, 10) : 0;
  t = n > 0 && n <= kExportTimeoutTicks ? static_cast<int>(n) : kExportTimeoutTicks;
  export_timeout.store(t);
  return t;
}

void init_Export(ZUISP_ENV* env) { bind_prims(env, kExport); }
