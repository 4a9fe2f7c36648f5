// Launch, LaunchWWW and Shell: starting programs from a script.
//
// Launch and LaunchWWW start a program from an argument vector; Shell runs
// a shell command line. In pipe mode Shell reads the command's standard
// output and standard error together (poll), so a command that fills one
// pipe while the other is being read cannot block it; the buffers grow
// geometrically. The command's standard input is closed at once: nothing
// is ever written to it, and a command that reads it sees its end instead
// of waiting for ever.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/lock.h"
#include "base/process.h"
#include "stream/stream.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zulib/lib_impl.h"
#include "zulib/system.h"

namespace {

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;

// The words of a command line, split at every run of blanks and tabs (no
// quoting).
std::vector<std::string> split_words(const char* text) {
  std::vector<std::string> words;
  const char* p = text;
  for (;;) {
    p += std::strspn(p, " \t");
    if (!*p) return words;
    size_t n = std::strcspn(p, " \t");
    words.emplace_back(p, n);
    p += n;
  }
}

ZU_SEXP* zu_Launch(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* line = get_el(form, 1);
  if (get_type(line) != ZU_TYPE_STRING) return error_text_at(form, ZU_ER_TYPE, "Launch", "type missmatch");
  std::vector<std::string> words = split_words(n_string(std_cm, str_text(line)));
  if (words.empty()) return error_text_at(form, ZU_ER_PARAM, "Launch", "parameter error");
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  int pid = launch_proc(argv[0], argv.data(), nullptr, nullptr, 0, "Launch", nullptr);
  if (pid <= 0) return error_text_at(form, ZU_ER_LAUNCH, "Launch", "cannot launch");
  return get_integer(pid, nullptr);
}

// A browser that is named but cannot be started is reported; no browser
// at all is not an error.
ZU_SEXP* zu_LaunchWWW(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* page = get_el(form, 1);
  if (get_type(page) != ZU_TYPE_STRING) return error_text_at(form, ZU_ER_TYPE, "LaunchWWW", nullptr);
  if (http_system(nullptr, 0, n_string(std_cm, str_text(page))) < 0)
    return error_text_at(form, ZU_ER_LAUNCH, "LaunchWWW", "cannot launch");
  return nullptr;
}

// ---- Shell

// Bytes read from one pipe; grows geometrically.
struct PIPE_TEXT {
  int fd = -1;
  char* data = nullptr;
  size_t len = 0;
  size_t cap = 0;
  ~PIPE_TEXT() {
    if (fd >= 0) close(fd);
    d_f_ree(data);
  }
  // Reads what is there: the count, 0 at the end, -1 on failure.
  ssize_t read_some() {
    constexpr size_t kPiece = 65536;
    if (cap - len < kPiece) {
      size_t want = cap ? cap * 2 : kPiece * 2;
      char* grown = static_cast<char*>(d_re_alloc(data, want));
      if (!grown) return -1;
      data = grown;
      cap = want;
    }
    ssize_t n;
    do n = read(fd, data + len, kPiece);
    while (n < 0 && errno == EINTR);
    if (n > 0) len += static_cast<size_t>(n);
    return n;
  }
};

// The bytes decoded with the standard encoding straight into a new string.
ZU_SEXP* decoded(const PIPE_TEXT& t) {
  L_CHAR* text;
  ZU_SEXP* s = new_string_room(t.len + CM_MAX_DECODE, &text);
  CM_WORK w;
  cm_work_init(&w, std_cm);
  size_t used = 0;
  size_t n = cm_decode(&w, reinterpret_cast<const unsigned char*>(t.data), t.len, text, t.len + CM_MAX_DECODE, &used);
  std_cm->end_internal(&w, text + n);
  return s;
}

// Reads both pipes to their ends: null. A break or cancel request of the
// calling interpreter ends the wait with the request's error.
ZU_SEXP* read_both(ZU_SEXP* form, PIPE_TEXT& out, PIPE_TEXT& err, bool echo) {
  PIPE_TEXT* pipes[2] = {&out, &err};
  for (;;) {
    pollfd p[2];
    int n = 0;
    for (PIPE_TEXT* t : pipes)
      if (t->fd >= 0) p[n++] = {t->fd, POLLIN, 0};
    if (n == 0) return nullptr;
    int ready;
    {
      BlockingRegion region;
      ready = poll(p, static_cast<nfds_t>(n), 1000);
    }
    if (ready < 0 && errno != EINTR) return error_text_at(form, ZU_ER_STREAM, "Shell", "stream error");
    if (ready <= 0) {
      if (ZU_SEXP* stop = do_break_check_now(form)) return stop;
      continue;
    }
    for (int i = 0; i < n; ++i) {
      if (!p[i].revents) continue;
      PIPE_TEXT* t = p[i].fd == out.fd ? &out : &err;
      size_t before = t->len;
      ssize_t got = t->read_some();
      if (got <= 0) {
        close(t->fd);
        t->fd = -1;
      } else if (echo && t == &out) {
        s_write(s_stdout, t->data + before, static_cast<int>(got));
      }
    }
  }
}

ZU_SEXP* shell_pipe(ZU_SEXP* form, const char* command, bool echo) {
  int in_fd = -1;
  PIPE_TEXT out, err;
  int pid = launch_proc_stdio(&in_fd, &out.fd, &err.fd, command);
  if (pid < 0) return error_text_at(form, ZU_ER_LAUNCH, "Shell", "cannot launch");
  close(in_fd);
  ZU_SEXP* stop = read_both(form, out, err, echo);
  if (stop) kill(pid, SIGKILL);  // the command's own, not yet collected
  if (echo) s_flush(s_stdout);
  {
    BlockingRegion region;
    wait_proc(pid, nullptr);
  }
  if (stop) return stop;
  ZU_SEXP* text = decoded(out);
  if (err.len == 0) return text;
  return error_at(form, ZU_ER_USER, "Shell", List(text, decoded(err), ZU_LIST_END));
}

ZU_SEXP* zu_Shell(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  auto on = [&](const L_CHAR* v) { return v && zu_wcmp_ascii(v, "on") == 0; };
  bool pipe_mode = on(head_option(sf, "pipe"));
  bool echo = on(head_option(sf, "cmdout"));
  std::u32string joined;
  int n = 1;
  for (ZU_SEXP* a = form->pair.cdr; get_type(a) == ZU_TYPE_LIST; a = a->pair.cdr, ++n) {
    if (get_type(a->pair.car) != ZU_TYPE_STRING)
      return error_at(form, ZU_ER_TYPE, "Shell", data_list("type missmatch at argment ", n));
    joined += reinterpret_cast<const char32_t*>(str_text(a->pair.car));
  }
  size_t len = 0;
  Tagged<char> owned(ln_copy_bytes(std_cm, reinterpret_cast<const L_CHAR*>(joined.c_str()), &len));
  const char* command = owned.get();
  if (echo) {
    s_write(s_stdout, command, static_cast<int>(len));
    s_write(s_stdout, "\n", 1);
    s_flush(s_stdout);
  }
  if (pipe_mode) return shell_pipe(form, command, echo);
  if (launch_proc_stdio(nullptr, nullptr, nullptr, command) < 0)
    return error_text_at(form, ZU_ER_LAUNCH, "Shell", "cannot launch");
  return nullptr;
}

const QN_PRIM_DEF kLaunch[] = {{"Launch", zu_Launch, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kLaunchWWW[] = {{"LaunchWWW", zu_LaunchWWW, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kShell[] = {{"Shell", zu_Shell, 1, 2, -1, T}, {}};

}  // namespace

void init_Launch(ZUISP_ENV* env) { bind_prims(env, kLaunch); }
void init_LaunchWWW(ZUISP_ENV* env) { bind_prims(env, kLaunchWWW); }
void init_Shell(ZUISP_ENV* env) { bind_prims(env, kShell); }
