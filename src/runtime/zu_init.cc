#include "runtime/zu_init.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

// Whether the file named is the one the stream writes (by any path to it):
// an error file that is the output file shares its stream, since two
// streams would each write from the start over what the other wrote.
bool writes_file(STREAM* out, const L_CHAR* name) {
  const int fd = out ? s_get_fd(out) : -1;
  struct stat a {}, b {};
  if (fd < 0 || fstat(fd, &a) != 0 || !S_ISREG(a.st_mode)) return false;
  char* path = ln_copy_str(std_cm, name);
  const bool same = stat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
  d_f_ree(path);
  return same;
}

// Whether the file named for writing is the script itself: the same file
// when both exist (a link to it, "./" before it, another folder), else the
// same resolved path.
bool is_script(const char* script, const char* name) {
  struct stat a {}, b {};
  if (stat(script, &a) == 0 && stat(name, &b) == 0) return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
  char* x = realpath(script, nullptr);
  char* y = x ? realpath(name, nullptr) : nullptr;
  const bool same = y && std::strcmp(x, y) == 0;
  std::free(x);
  std::free(y);
  return same;
}

// Refuses a replies or error file that is the script being run, before
// anything is opened for writing: the open would empty the script.
bool refuse_script_as_output(const L_CHAR* script, int argc, char** argv) {
  if (script[0] && (script[0] == '-' || script[0] == '+') && script[1] == 0) return false;
  char* path = ln_copy_str(std_cm, script);
  const char* what = nullptr;
  const char* name = nullptr;
  for (int i = 2; i < 4 && i < argc && !is(argv[i], "/") && !what; ++i)
    if (!is(argv[i], "-") && is_script(path, argv[i])) {
      what = i == 2 ? "replies" : "error";
      name = argv[i];
    }
  d_f_ree(path);
  if (what)
    error_text("%s", (std::string("the ") + what + " file " + name + " is the script being run: refused, nothing is run\n").c_str());
  return what != nullptr;
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
    STREAM* out = zui->out ? zui->out : s_stdout;
    zui->err = writes_file(out, zui->error_file_name) ? out : open_output(zui->error_file_name, out);
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
      if (refuse_script_as_output(path, argc, argv)) {
        d_f_ree(path);
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
