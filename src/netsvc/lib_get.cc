// The library's Get: a document fetched by its ZU path. The path resolves
// to at most two local files by its suffix's rule; the first that opens is
// loaded as ZU source or as raw bytes, under a named read lock when the
// rule asks for one (bit 4 alone: on the ZU path, bit 8 alone: on the local
// file name; both or neither: no lock).
//
// A lock is held from the start of the load until its source has been read
// to the end or dropped and its stream closed; it is then given back from
// the timer thread, never from the thread that closed the stream (which
// may be the collector's, holding the stream locks).
#include "base/alloc.h"
#include "base/tick.h"
#include "netsvc/net_impl.h"
#include "runtime/call_lock.h"
#include "runtime/docpath.h"
#include "runtime/interp.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zulib/load_save.h"

namespace {

constexpr const char* kFunc = "Get";

// Owned by the load until its stream closes.
struct LOAD_LOCK {
  ZU_SEXP* form;           // the call form, marked while the load lives
  CALL_LOCK_DESCRIPTER d;  // the read lock, when `locked`
  bool locked;
  L_CHAR* name;            // the locked name
};

void lf_tick_func(void* data) {
  auto* d = static_cast<CALL_LOCK_DESCRIPTER*>(data);
  {
    ZuThreadScope scope("Get unlock");
    // The lock client asks from a thread that owns an interpreter.
    if (!get_my_zui()) {
      open_self_interpreter();
    }
    call_unlock(*d);
  }
  d_f_ree(d);
}

void lf_close_function(int code, void* work) {
  auto* rec = static_cast<LOAD_LOCK*>(work);
  if (code == 2) {
    gc_mark(rec->form, gc_qn_sexp);
    return;
  }
  if (code != 1) return;
  if (rec->locked) {
    auto* d = static_cast<CALL_LOCK_DESCRIPTER*>(d_alloc(sizeof(CALL_LOCK_DESCRIPTER)));
    *d = rec->d;
    rec->locked = false;
    new_tick(lf_tick_func, 0, d);
  }
  d_f_ree(rec->name);
  d_f_ree(rec);
}

// The record of one candidate's load, with its lock taken; null with *err
// set when the lock was refused.
LOAD_LOCK* take_lock(const ZU_GETFILE* rule, const L_CHAR* path, const L_CHAR* file, ZU_SEXP* form, ZU_SEXP** err) {
  auto* rec = static_cast<LOAD_LOCK*>(d_calloc(sizeof(LOAD_LOCK), 1));
  rec->form = form;
  int bits = rule->flags & (GF_LOCK_URL | GF_LOCK_FULL);
  const L_CHAR* name = bits == GF_LOCK_URL ? path : bits == GF_LOCK_FULL ? file : nullptr;
  if (!name) return rec;
  rec->d = call_lock(name, CALL_LOCK_READ, nullptr, nullptr);
  if (cl_error_check(rec->d) != 0) {
    d_f_ree(rec);
    *err = get_cl_error(form, l_string(std_cm, "Get"));
    return nullptr;
  }
  rec->locked = true;
  rec->name = ll_copy_str(name);
  return rec;
}

ZU_SEXP* get_op(ZUISP_ENV* env, ZU_SEXP* form, ZU_SEXP* path) {
  Tagged<L_CHAR> files[2];
  ZU_GETFILE* rule = nullptr;
  if (ZU_SEXP* err = get_path(files, &rule, str_text(path), form, l_string(std_cm, "Get"))) return err;
  Tagged<L_CHAR> norm(normalize_doc_path(str_text(path)));
  int mode = getfile_mode_is(rule, "zu") ? LOAD_ZU : getfile_mode_is(rule, "raw") ? LOAD_RAW : -1;
  ZU_SEXP* r = mode < 0 ? error_text_at(form, ZU_ER_NOT_AVAILABLE, kFunc, "unsupport Get mode")
                        : error_at(form, ZU_ER_OPEN, kFunc, data_list("cannot open the file", path));
  for (const Tagged<L_CHAR>& file : files) {
    if (!file || mode < 0) break;
    LOAD_LOCK* rec = take_lock(rule, norm.get(), file.get(), form, &r);
    if (!rec) break;
    // The lazy list is not forced here: only its stored type is looked at.
    r = load_file(env, form, mode, file.get(), nullptr, nullptr, 0, lf_close_function, rec);
    // A failed load never called the close function: the record is still
    // ours, and so is its lock.
    if (sexp_type(r) == ZU_TYPE_ERROR) lf_close_function(1, rec);
    if (sexp_type(r) != ZU_TYPE_ERROR || error_code(r) != ZU_ER_OPEN) break;
  }
  return r;
}

ZU_SEXP* zu_Get(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* path = get_el(form, 1);
  if (!is_string(path)) return error_text_at(form, ZU_ER_TYPE, kFunc, "type missmatch");
  return get_op(env, form, path);
}

const QN_PRIM_DEF kGet[] = {{"Get", zu_Get, 1, 2, 2, 0}, {}};

}  // namespace

void init_Get(ZUISP_ENV* env) { bind_prims(env, kGet); }
