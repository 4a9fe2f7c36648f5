// Load and load_file: a file found on the script search path, read in one
// of seven modes.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

#include <cerrno>
#include <mutex>

#include "base/alloc.h"
#include "runtime/docpath.h"
#include "runtime/script_path.h"
#include "runtime/zu_gc_hooks.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/eval.h"
#include "zu/ical.h"
#include "zu/reader.h"
#include "zulib/io_impl.h"
#include "zulib/library.h"
#include "zulib/load_impl.h"
#include "zulib/load_save.h"
#include "zulib/printing.h"

namespace {

ZU_SEXP* open_error(ZU_SEXP* s, const L_CHAR* filename) {
  return io_error(s, ZU_ER_OPEN, "load", "cannot open the file", get_string(filename));
}

// The close function and work load_file was handed, until a reader or a
// pending load takes them: a refusal for memory before then closes the
// work as the load would have (func null: nothing to do).
struct HandedWork {
  ZU_CLOSE_FUNC func;
  void* work;
  ~HandedWork() {
    NoRefusal finish;  // runs while a refusal unwinds: nothing in it may throw
    if (func) func(1, work);
  }
};

// The script path beside a loaded script while it runs, put back however
// the run ends.
class ScriptPathScope {
 public:
  explicit ScriptPathScope(const L_CHAR* path) : saved_(get_script_path()) { set_script_path(path); }
  ~ScriptPathScope() { set_script_path(saved_.get()); }
  ScriptPathScope(const ScriptPathScope&) = delete;
  ScriptPathScope& operator=(const ScriptPathScope&) = delete;

 private:
  Tagged<L_CHAR> saved_;
};

// A reader on the file (init_parse takes the stream); its encoding from
// `encode`, else from a header at its top. The close function is attached
// before anything is read, so it is called however soon the source ends.
ZU_SEXP* open_reader(STREAM* st, const L_CHAR* path, const L_CHAR* encode, uint32_t flags, HandedWork* handed) {
  ZU_SEXP* forms = init_parse(st, path, path);
  if (sexp_type(forms) == ZU_TYPE_ERROR) {
    d_s_close(st);
    handed->func = nullptr;  // an error result leaves work the caller's
    return forms;
  }
  ZU_FILE* f = sexp_file(forms);
  f->flags |= flags;
  if (handed->func) set_close_func(f, handed->func, handed->work);
  handed->func = nullptr;
  if (encode)
    zu_set_encoding_name(f, encode);
  else
    set_encoding(forms);
  return forms;
}

// Every form in turn in env, beside the file's own directory; the value of
// the last, or the first error (a Break gives the value it carries).
ZU_SEXP* exec_forms(ZUISP_ENV* env, ZU_SEXP* forms) {
  // keep: (rest of the forms . value of the last form, or the result)
  ZU_SEXP* keep = cons(forms, nullptr);
  for (;;) {
    GcFrame pass("Load exec");
    ZU_SEXP* rest = keep->pair.car;
    int t = get_type(rest);
    if (t != ZU_TYPE_LIST) {
      if (t == ZU_TYPE_ERROR) keep->pair.cdr = rest;  // the source could not be read to its end
      break;
    }
    ZU_SEXP* v = eval(env, rest->pair.car);
    if (get_type(v) == ZU_TYPE_ERROR) {
      keep->pair.cdr = error_code(v) == ZU_ER_BREAK ? v->error->data : v;
      break;
    }
    keep->pair.car = rest->pair.cdr;
    keep->pair.cdr = v;
  }
  close_zu_file(sexp_file(forms));
  return keep->pair.cdr;
}

struct LoadMode {
  const char* name;
  int mode;
};
const LoadMode kModes[] = {{"raw", LOAD_RAW},   {"zu", LOAD_ZU},     {"html", LOAD_HTML},
                           {"exec", LOAD_EXEC}, {"text", LOAD_TEXT}, {"text.escape", LOAD_TEXT_ESCAPE},
                           {"icalendar", LOAD_ICALENDAR}};

ZU_SEXP* zu_Load(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  int mode = LOAD_ZU;
  uint32_t flags = 0;
  const L_CHAR* encode = nullptr;
  const L_CHAR* terminate = nullptr;
  for (ZU_SYM_FIELD* a = sf; a; a = a->next) {
    if (attr_is(a, "option") || attr_is(a, "format.mode")) {
      const LoadMode* m = nullptr;
      for (const LoadMode& k : kModes)
        if (text_is(a->value, k.name)) m = &k;
      if (!m) return io_error(form, ZU_ER_PARAM, "load", "invalid parameter");
      mode = m->mode;
      if (mode == LOAD_HTML) flags |= ZU_FILE_NO_NUMBER;
    } else if (attr_is(a, "format.text")) {
      flags = text_is(a->value, "on") ? flags | ZU_FILE_NO_NUMBER : flags & ~ZU_FILE_NO_NUMBER;
    } else if (attr_is(a, "encoding")) {
      encode = a->value;
    } else if (attr_is(a, "terminate")) {
      terminate = a->value;
    }
  }
  ZU_SEXP* name = get_el(form, 1);
  if (get_type(name) != ZU_TYPE_STRING) return io_error(form, ZU_ER_TYPE, "load", "type missmatch");
  AUTOMATON* term_a = terminate ? get_fa(terminate) : nullptr;
  return load_file(env, form, mode, str_text(name), encode, term_a, flags, nullptr, nullptr);
}

// Opens the file to load without blocking: opening a FIFO that no writer
// has opened yet would wait in open(2), deaf to every break request. The
// wait for a writer is instead a poll that looks at the requests each
// second, as the other waits for outside data do; *stop receives the
// request that ended it. Reads block as usual once a writer has come.
STREAM* open_for_load(const char* path, ZU_SEXP* form, ZU_SEXP** stop) {
  STREAM* st = s_open_file(path, O_RDONLY | O_NONBLOCK, 0);
  if (!st) return nullptr;
  int fd = s_get_fd(st);
  struct stat sb {};
  if (fd >= 0 && fstat(fd, &sb) == 0 && S_ISFIFO(sb.st_mode)) {
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      int ready;
      {
        BlockingRegion waiting;
        ready = poll(&p, 1, 1000);
      }
      // Data, or a writer that came and went: the reads take over.
      if (ready > 0 || (ready < 0 && errno != EINTR)) break;
      if ((*stop = do_break_check_now(form))) {
        d_s_close(st);
        return nullptr;
      }
    }
  }
  if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return st;
}

ZU_SEXP* lock_error(ZU_SEXP* s) {
  static const L_CHAR kName[] = {'l', 'o', 'c', 'k', '_', 'f', 'i', 'l', 'e', 0};
  return get_cl_error(s, kName);
}

void df_lock_take() { lock_task(df_lock); }
void df_lock_give() { unlock_task(df_lock, "gc_zu_unlock"); }
const ZU_LOADER_HOOKS kLoaderHooks = {df_lock_take, df_lock_give, sp_gc_load};

const QN_PRIM_DEF kLoad[] = {{"Load", zu_Load, 1, 2, 2, ZU_FUNC_FORM_TRANSIENT}, {}};

}  // namespace

ZU_SEXP* load_file(ZUISP_ENV* env, ZU_SEXP* s, int type, const L_CHAR* filename, const L_CHAR* encode,
                   AUTOMATON* term_a, uint32_t flags, ZU_CLOSE_FUNC func, void* work) {
  if (type != LOAD_TEXT && type != LOAD_TEXT_ESCAPE) {
    free_automaton(term_a);
    term_a = nullptr;
  }
  Owned<AUTOMATON, free_automaton> term(term_a);
  HandedWork handed{func, work};
  ZU_FILE* src = s ? s->h.file : nullptr;
  Tagged<L_CHAR> found(get_script(src ? src->name : nullptr, filename));
  OwnedStream st;
  ZU_SEXP* stop = nullptr;
  if (found) {
    Tagged<char> narrow(ln_copy_str(std_cm, found.get()));
    st.reset(open_for_load(narrow.get(), s, &stop));
  }
  if (!st) {
    ZU_SEXP* e = stop ? stop : open_error(s, filename);
    handed.func = nullptr;  // an error result leaves work the caller's
    return e;
  }
  // The reader keeps a collected copy of the path as the source's name.
  L_CHAR* path = ll_copy_mstr(found.get());
  found.reset();
  switch (type) {
    case LOAD_RAW:
    case LOAD_TEXT:
    case LOAD_TEXT_ESCAPE: {
      if (type != LOAD_RAW && encode) set_encoding_st(st.get(), encode);
      ZU_SEXP* r = new_delay_load(st.get(), type != LOAD_RAW, term.get(), type == LOAD_TEXT_ESCAPE, func, work);
      st.release();
      term.release();
      handed.func = nullptr;
      return r;
    }
    case LOAD_ZU:
    case LOAD_HTML:
      return open_reader(st.release(), path, encode, flags | (type == LOAD_HTML ? ZU_FILE_HTML : 0), &handed);
    case LOAD_EXEC: {
      ScriptPathScope beside(path);
      ZU_SEXP* forms = open_reader(st.release(), path, encode, flags, &handed);
      return sexp_type(forms) == ZU_TYPE_ERROR ? forms : exec_forms(env, forms);
    }
    default:  // LOAD_ICALENDAR: read whole; the load closes here, its close function with it
      return get_cal(st.get(), encode ? get_encoding(encode) : nullptr);
  }
}

ZU_SEXP* lock_file(CALL_LOCK_DESCRIPTER* d, const L_CHAR* path, ZU_SEXP* s) {
  *d = cl_invalid();
  Tagged<L_CHAR> target[2];
  ZU_GETFILE* gf = nullptr;
  static const L_CHAR kLoadName[] = {'L', 'o', 'a', 'd', 0};
  if (ZU_SEXP* err = get_path(target, &gf, path, s, kLoadName)) return err;
  ZU_SEXP* r = nullptr;
  int bits = gf ? gf->flags & (GF_LOCK_URL | GF_LOCK_FULL) : 0;
  const L_CHAR* name = bits == GF_LOCK_URL ? path : bits == GF_LOCK_FULL ? target[0].get() : nullptr;
  if (name) {
    *d = call_lock(name, CALL_LOCK_WRITE, nullptr, nullptr);
    if (cl_error_check(*d) != 0) r = lock_error(s);
  }
  return r;
}

int unlock_file(CALL_LOCK_DESCRIPTER d) { return cl_error_check(d) == 0 ? call_unlock(d) : -1; }

void init_Load(ZUISP_ENV* env) {
  static std::once_flag once;
  std::call_once(once, [] {
    df_lock = new_lock(LOCK_LOADER);
    set_loader_hooks(&kLoaderHooks);
  });
  bind_prims(env, kLoad);
}
