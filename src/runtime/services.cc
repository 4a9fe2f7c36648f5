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
std::atomic<const ZU_LOADER_HOOKS*> loader_hooks{nullptr};
// The hooks whose lock the running collection took (collections run one
// at a time).
const ZU_LOADER_HOOKS* locked_loader = nullptr;

// The first atom reached through the first elements of nested lists.
ZU_SEXP* first_atom(ZU_SEXP* s) {
  for (int depth = 0; sexp_type(s) == ZU_TYPE_LIST && depth < ZU_READ_MAX_DEPTH; ++depth) s = s->pair.car;
  return s;
}

// The encoding named by a leading (?zu encoding="...") or (?xml
// encoding="..."), or null.
CODE_METHOD* header_encoding(ZU_SEXP* s) {
  ZU_SEXP* a = first_atom(s);
  if (sexp_type(a) != ZU_TYPE_SYMBOL ||
      (zu_wcmp_ascii(sym_name(a), "?zu") != 0 && zu_wcmp_ascii(sym_name(a), "?xml") != 0))
    return nullptr;
  const L_CHAR* enc = get_sf_attribute(sym_field(a), l_string(std_cm, "encoding"));
  return enc ? get_encoding(enc) : nullptr;
}

// The survey lists the most frequent code set first. A character that no
// encoding covers has no code set worth switching to: it is written as a
// character reference in whatever encoding the stream has.
L_CHAR first_known_code_set(const CS_WORK& w) {
  for (CS_COUNT* c = w.head; c; c = c->next)
    if (search_cm_by_lccode(c->code_set)) return c->code_set;
  return ZU_CODE_NONE;
}

// Unicode encodings carry every character (those they lack as references).
bool carries_all(CODE_METHOD* cm) {
  static CODE_METHOD* const unicode[] = {utf8_cm, search_cm("UTF-16"), search_cm("EXTUCS-4"), int_cm};
  for (CODE_METHOD* u : unicode)
    if (cm == u) return true;
  return false;
}

}  // namespace

// ---- collector hooks

void set_loader_hooks(const ZU_LOADER_HOOKS* hooks) { loader_hooks.store(hooks); }

void gc_zu_lock() {
  lock_task(zui_lock);
  lock_task(fifo_lock);
  lock_parse();
  locked_loader = loader_hooks.load();
  if (locked_loader && locked_loader->lock) locked_loader->lock();
  lock_stream();
  gc_queue_lock();
}

void gc_zu_unlock() {
  gc_queue_unlock();
  unlock_stream();
  unlock_task(fifo_lock, "gc_zu_unlock");
  unlock_parse("gc_zu_unlock");
  unlock_task(zui_lock, "gc_zu_unlock");
  const ZU_LOADER_HOOKS* loader = locked_loader;
  locked_loader = nullptr;
  if (loader && loader->unlock) loader->unlock();
}

void gc_lib() {
  gc_file = __FILE__;
  gc_line = __LINE__;
  gc_default_mark();  // the top environments, unit environments and every thread's frames
  gc_file = __FILE__;
  gc_line = __LINE__;
  gc_interpreter();
  gc_file = __FILE__;
  gc_line = __LINE__;
  gc_queue();
  gc_file = __FILE__;
  gc_line = __LINE__;
  gc_net_services();
}

void sp_gc_lib() {
  gc_default_sp();
  sp_gc_interpreter();
  const ZU_LOADER_HOOKS* loader = loader_hooks.load();
  if (loader && loader->sp_gc) loader->sp_gc();
}

void after_gc_lib() {}

void set_zu_gc_hooks() {
  static const GC_HOOKS hooks{gc_zu_lock, gc_lib, sp_gc_lib, after_gc_lib, gc_zu_unlock};
  gc_set_hooks(&hooks);
}

// ---- encodings

L_CHAR get_proper_code(ZU_SEXP* s, int str_max) {
  if (CODE_METHOD* cm = header_encoding(s)) return cm->lccode;
  CS_WORK w{nullptr, str_max, 0};
  if (str_max == -2) {
    w.str_max = -1;
    cs_sexp(&w, s);
  } else {
    cs_sexp_on_mem(&w, s);
  }
  L_CHAR code = first_known_code_set(w);
  free_cs_work(&w);
  return code;
}

bool cm_carries(CODE_METHOD* cm, ZU_SEXP* s) {
  if (carries_all(cm)) return true;
  CS_WORK w{nullptr, -1, 0};
  w.against = cm;
  cs_sexp_on_mem(&w, s);
  bool all = w.missing == 0;
  free_cs_work(&w);
  return all;
}

CODE_METHOD* reply_switch(ZU_SEXP* s, CODE_METHOD* cur) {
  if (!cur || carries_all(cur)) return nullptr;
  CODE_METHOD* named = header_encoding(s);
  if (named == cur) return nullptr;
  CS_WORK w{nullptr, -1, 0};
  w.against = cur;
  cs_sexp_on_mem(&w, s);
  L_CHAR code = named ? named->lccode : first_known_code_set(w);
  CODE_METHOD* need = code == ZU_CODE_NONE ? nullptr : search_cm_by_lccode(code);
  bool carried = w.missing == 0;
  free_cs_work(&w);
  return need && need != cur && !carried ? need : nullptr;
}

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
  ZU_SEXP* v = eval(qnlisp_top_env1, n_get_symbol("ServerPort"));
  int type = get_type(v);
  if (type == ZU_TYPE_INTEGER) {
    int port = static_cast<int>(v->integer.num);
    my_port.store(port);
    return port;
  }
  if (type == ZU_TYPE_ERROR) {
    uint32_t code = error_code(v);
    return (code & ZU_ER_CLASS_MASK) == ZU_ER_EXIT_CLASS ? 0 : -1;
  }
  return -2;
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
