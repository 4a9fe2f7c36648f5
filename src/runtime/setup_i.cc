// Opening an interpreter's streams by kind, then registering it.
#include <cerrno>

#include "base/alloc.h"
#include "runtime/front.h"
#include "runtime/interp.h"
#include "runtime/zu_init.h"
#include "text/convert.h"
#include "zu/gc.h"

namespace {

L_CHAR* wide_copy(const char* text) { return nl_copy_str(std_cm, text); }

// When `environment` is set, the interpreter gets a fresh child of its
// environment.
void child_environment(ZU_INTERPRETER* zui) {
  if (zui->environment) zui->env = new_env(zui->env);
}

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
  child_environment(zui);
  return setup_zu_interpreter(zui);
}

int _setup_i_self(ZU_INTERPRETER* zui) {
  zui->flags = 0;
  zui->inp = zui->out = zui->err = nullptr;
  d_f_ree(zui->msg);
  zui->msg = wide_copy("internal thread");
  zui->thread_mode = 3;
  child_environment(zui);
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

}  // namespace

int setup_i(ZU_INTERPRETER* zui) {
  ZuThreadScope scope("setup_i");
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
    default:
      // Listeners, connections, descriptor and pipe interpreters need the
      // relay thread and the accept thread, which this build does not have.
      free_zu_interpreter(zui);
      errno = ENOSYS;
      return ZUI_ERR_STREAM;
  }
  if (r == ZUI_ERR_SHUTDOWN) {
    // Nothing may start after the main interpreter closed: give the
    // streams back so that the caller has nothing left to release.
    int saved = errno;
    close_streams(zui);
    free_zu_interpreter(zui);
    errno = saved;
  }
  return r;
}
