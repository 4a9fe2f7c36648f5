#include "runtime/services.h"

#include <fcntl.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/alloc.h"
#include "base/queue.h"
#include "base/tempbuf.h"
#include "runtime/delayed.h"
#include "runtime/later_services.h"
#include "text/convert.h"
#include "zu/convert.h"
#include "zu/eval.h"
#include "zu/gc.h"
#include "zu/reader.h"
#include "zu/unit.h"

namespace {

std::atomic<int> my_port{0};

}  // namespace

// ---- commands from narrow text

char* sc_add_str(char* str, const char* s1) {
  if (!s1) s1 = "";
  if (!str) return copy_str(s1);
  size_t a = std::strlen(str);
  size_t b = std::strlen(s1);
  auto* r = static_cast<char*>(d_re_alloc(str, a + b + 1));
  if (!r) return str;
  std::memcpy(r + a, s1, b + 1);
  return r;
}

ZU_SEXP* sexp_commands(CODE_METHOD* cm, const char* text, ...) {
  char* joined = nullptr;
  va_list ap;
  va_start(ap, text);
  for (const char* t = text; t; t = va_arg(ap, const char*)) joined = sc_add_str(joined, t);
  va_end(ap);
  if (!joined) joined = copy_str("");
  STREAM* st = s_open_string_read(joined, cm, static_cast<int>(std::strlen(joined)), 1);
  d_f_ree(joined);
  const L_CHAR* name = l_string(std_cm, "sexp_commands");
  ZU_SEXP* list = init_parse(st, name, name);
  if (get_type(list) == ZU_TYPE_ERROR) return list;
  // Reading the whole list forces every form.
  for (ZU_SEXP* p = list; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
  }
  ZU_SEXP* e = list_error(list);
  return get_type(e) == ZU_TYPE_ERROR ? e : list;
}

char* sxc_int(long long d) {
  auto* buf = static_cast<char*>(d_alloc(100));
  std::snprintf(buf, 100, "%lli", d);
  set_buffer(buf);
  return buf;
}

char* sxc_float(double d) {
  auto* buf = static_cast<char*>(d_alloc(100));
  std::snprintf(buf, 100, "%f", d);
  set_buffer(buf);
  return buf;
}

// ---- configuration

int get_my_port() {
  int cached = my_port.load();
  if (cached) return cached;
  ZuThreadScope scope("fetch");
  // The agent's own binding only: a peer's would move this agent's port.
  ZU_SEXP* v = agent_setting(qnlisp_top_env1, "ServerPort");
  if (!v) return -1;
  if (get_type(v) != ZU_TYPE_INTEGER) return -2;
  int port = static_cast<int>(v->integer.num);
  my_port.store(port);
  return port;
}

void reset_my_port() { my_port.store(0); }

// ---- file interpreter

int new_file_interpreter(ZU_INTERPRETER* zui, const L_CHAR* filename) {
  d_f_ree(zui->msg);
  zui->msg = ll_copy_str(filename);
  char* path = ln_copy_str(std_cm, filename);
  zui->inp = path ? s_open_file(path, O_RDONLY, 0) : nullptr;
  d_f_ree(path);
  if (!zui->inp) {
    zui->mode = 5;
    return -1;
  }
  zui->thread_mode = 1;
  return setup_zu_interpreter(zui) > 0 ? 0 : -1;
}
