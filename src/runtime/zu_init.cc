#include "runtime/zu_init.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "base/alloc.h"
#include "base/queue.h"
#include "base/version.h"
#include "runtime/agent_end.h"
#include "runtime/later_services.h"
#include "runtime/remote.h"
#include "runtime/script_path.h"
#include "runtime/services.h"
#include "runtime/zu_gc_hooks.h"
#include "runtime/zui_threads.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/core_init.h"
#include "zu/gc.h"
#include "zu/printer.h"
#include "zu/unit.h"

namespace {

VERSION zu_versions[] = {
    {"SR.code", "QUARVEN.Architecture", "qnmx", "ver.B.b16.14(SKELDER)", 2007, 10, 28, nullptr,
     "QUARVEN source code "},
    {"MA.code", "posix.Linux.Interface", "qnmx", "ver.B.b16.14(SKELDER)", 2007, 10, 28, nullptr,
     "machine (posix.Linux) dependent library "},
    {"ZU.lang", "ZU", "qnmx", "ver.0.1", 2001, 10, 16, nullptr, "ZU language version"},
    {"ZU.proto", "ZU", "qnmx", "ver.A.03", 2002, 10, 1, nullptr, "ZU protocol version"},
    {"ZU.code", "ZU.lib", "qnmx", "ver.B.b16.14(SKELDER)", 2007, 10, 28, nullptr, "ZU protocol library "},
};

// Out of descriptors: a collection may drop reader states and close their
// streams.
void descriptor_shortage(int) { gc_tick_notin_tick(0); }

// Writes the bytes of a message unchanged to the standard error.
void error_text(const char* fmt, const char* arg, int a = 0, int b = 0) {
  char buf[4096];
  int n = std::snprintf(buf, sizeof buf, fmt, arg, a, b);
  if (n < 0) return;
  if (n >= static_cast<int>(sizeof buf)) n = sizeof buf - 1;
  init_stream();
  s_write(s_stderr, buf, n);
  s_flush(s_stderr);
}

bool is(const char* a, const char* b) { return a && std::strcmp(a, b) == 0; }

// A stream for an output or error file name: "-" is `standard`, anything
// else is created (or truncated) for reading and writing.
STREAM* open_output(const L_CHAR* name, STREAM* standard) {
  if (name[0] == '-' && name[1] == 0) return standard;
  char* path = ln_copy_str(std_cm, name);
  STREAM* s = s_open_file(path, O_RDWR | O_CREAT | O_TRUNC, 0666);
  int saved = errno;
  d_f_ree(path);
  errno = saved;
  return s;
}

}  // namespace

void init_zu() {
  static std::once_flag once;
  std::call_once(once, [] {
    init_stream();  // the standard streams, before anything writes
    minit();
    init_queue();
    init_proxy();
    init_ZUoHTTP_server();
    init_qnlisp();
    init_unit();
    init_gc_task();
    init_serverinfo();
    install_zui_threads();
    init_interpreter();
    set_zu_gc_hooks();
    init_session();
    init_log(qnlisp_top_env0, qnlisp_top_env1);
    init_call_lock();
    init_chain_forward();
    s_set_resource_hook(descriptor_shortage);
    for (VERSION& v : zu_versions) set_version(&v);
    VERSION* code = get_version("ZU.code");
    std::string banner = std::string(code->name) + "/" + code->version;
    set_setagent_msg(banner.c_str());
  });
}

int _setup_i_file(ZU_INTERPRETER* zui) {
  zui->thread_mode = 1;
  const L_CHAR* in = zui->input_file_name;
  if (!in) {
    free_zu_interpreter(zui);
    errno = EINVAL;
    return ZUI_ERR_STREAM;
  }
  // The standard input is read in relay mode, as a pipe.
  bool piped = in[1] == 0 && (in[0] == '-' || in[0] == '+');
  int saved = 0;
  if (piped) {
    zui->inp = s_stdin;
  } else {
    char* path = ln_copy_str(std_cm, in);
    zui->inp = s_open_file(path, O_RDONLY, 0);
    saved = errno;
    d_f_ree(path);
  }
  if (!zui->inp) {
    free_zu_interpreter(zui);
    errno = saved;
    return ZUI_ERR_STREAM;
  }
  if (zui->output_file_name) {
    zui->out = open_output(zui->output_file_name, s_stdout);
    if (!zui->out) {
      saved = errno;
      d_s_close(zui->inp);
      free_zu_interpreter(zui);
      errno = saved;
      return ZUI_ERR_STREAM;
    }
  }
  if (zui->error_file_name) {
    zui->err = open_output(zui->error_file_name, zui->out ? zui->out : s_stdout);
    if (!zui->err) {
      saved = errno;
      d_s_close(zui->inp);
      if (zui->out) d_s_close(zui->out);
      free_zu_interpreter(zui);
      errno = saved;
      return ZUI_ERR_STREAM;
    }
  }
  // Raw values are printed by their size only, except to a "+" input's
  // peer, which takes their bytes.
  if (!(piped && in[0] == '+')) zui->ps_flags |= ZU_PRINT_RAW_SIZE;
  if (piped) {
    zui->a_type = ZUI_PIPE;
    zui->ps_flags |= 0x2000000;
    d_f_ree(zui->msg);
    zui->msg = nl_copy_str(std_cm, "pipe input");
    zui->thread_mode = 2;
    if (zui->environment) zui->env = new_env(zui->env);
    s_set_write_abort(zui->inp, 1, 10);
    zui->connect_ip = s_get_socketip(zui->inp);
    zui->flags |= ZUI_F_CODE_SYNC;
    return setup_zu_interpreter(zui);
  }
  d_f_ree(zui->msg);
  zui->msg = ll_copy_str(zui->input_file_name);
  if (zui->environment) zui->env = new_env(zui->env);
  return setup_zu_interpreter(zui);
}

namespace {

// Starts the script's interpreter: 0, or 1 after writing why it could not.
int start_script(int argc, char** argv) {
  const char* script = argc > 1 ? argv[1] : nullptr;
  int r;
  set_end_runner();
  {
    ZuThreadScope scope("zu_setup_file");
    ZUISP_ENV* env = new_env(qnlisp_top_env1);
    if ((!script || is(script, "/")) && recv_streams_len > 0) {
      // A parent handed streams over: serve them as a pipe interpreter.
      ZU_INTERPRETER* zui = new_zu_interpreter();
      zui->a_type = ZUI_PIPE;
      zui->env = env;
      zui->inp = recv_streams[0];
      zui->out = recv_streams_len > 1 ? recv_streams[1] : recv_streams[0];
      r = setup_i(zui);
      if (r < 0) {
        error_text("cannot open shell argument(2) %s (%i:%i)\n", script ? script : "", r, errno);
        return 1;
      }
    } else {
      if (!script) {
        error_text("%s", "too few arguments\n");
        return 1;
      }
      L_CHAR* name = nl_copy_str(std_cm, script);
      L_CHAR* path = get_script(nullptr, name);
      d_f_ree(name);
      if (!path) {
        error_text("cannot open shell argument(1) %s\n", script);
        return 1;
      }
      set_script_path(path);
      ZU_INTERPRETER* zui = new_zu_interpreter();
      zui->a_type = ZUI_FILE;
      zui->env = env;
      zui->input_file_name = path;
      zui->environment = 0;
      if (argc > 2 && !is(argv[2], "/")) {
        zui->output_file_name = nl_copy_str(std_cm, argv[2]);
        if (argc > 3 && !is(argv[3], "/")) zui->error_file_name = nl_copy_str(std_cm, argv[3]);
      }
      r = setup_i(zui);
      if (r < 0) {
        error_text("cannot open shell argument(2) %s (%i:%i)\n", script, r, errno);
        return 1;
      }
    }
  }
  return 0;
}

}  // namespace

int zu_setup_file(int argc, char** argv) { return run_agent_end(start_script(argc, argv)); }
