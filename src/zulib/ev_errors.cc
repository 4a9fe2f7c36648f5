// ErrHandler and Error.
#include "base/entry.h"
#include "base/lock.h"
#include "runtime/agent_end.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zu/file.h"
#include "zu/peer.h"
#include "zulib/evaluation.h"

namespace {

ZU_SEXP* text_or(const L_CHAR* text, const char* absent) {
  return text ? get_string(text) : get_string_ascii(absent);
}

// (Error line site file function code data) of an error value.
ZU_SEXP* error_list(ZU_ERROR* e) {
  ZU_FILE* f = e->file;
  return List(get_symbol_ascii("Error"), get_integer(e->line, nullptr), text_or(e->site, "unknown"),
              text_or(f ? f->name : nullptr, "undefined"), text_or(e->func, ""),
              get_integer(static_cast<int32_t>(e->code), nullptr), e->data, ZU_LIST_END);
}

// (Error line site file "ErrHandler" 0 value) of a value that is no error,
// positioned where the ErrHandler form was read.
ZU_SEXP* value_list(ZU_SEXP* form, ZU_SEXP* v) {
  ZU_FILE* f = form->h.file;
  return List(get_symbol_ascii("Error"), get_integer(form->h.line, nullptr),
              text_or(f ? get_zulisp_site() : nullptr, "unknown"), text_or(f ? f->name : nullptr, "undefined"),
              get_string_ascii("ErrHandler"), get_integer(0, nullptr), v, ZU_LIST_END);
}

// With stderr="..." a failure ends the process (status 1): it asks for
// the end (runtime/agent_end.h), which stops every evaluation, this one
// at its next check, and saves; the break it answers ends the form. A
// program without an end's runner leaves through u_exit, whose exit
// handlers run first; the memory lock is given up so that they can work.
ZU_SEXP* fail_process(ZU_SEXP* form) {
  ss_printf("ERROR\n");
  s_flush(s_stderr);
  if (ask_end_failed()) return get_error_ascii(form->h.file, form->h.line, ZU_ER_EXIT, "ErrHandler", nullptr);
  BlockingRegion region;
  u_exit(1);
}

// (ErrHandler form): always a list whose code member is 0 exactly when the
// form did not fail. The loop signals are no failures: they go on to the
// loop they are meant for.
ZU_SEXP* zu_ErrHandler(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  // Ending the process is the agent's alone.
  if (head_option(sf, "stderr") && evaluates_for_peer()) return peer_power_refused(form, "ErrHandler");
  ZU_SEXP* v = eval(env, get_el(form, 1));
  if (get_type(v) != ZU_TYPE_ERROR) return value_list(form, v);
  uint32_t code = v->error->code;
  if (code == ZU_ER_BREAK || code == ZU_ER_CONTINUE) return v;
  if (head_option(sf, "stderr")) return fail_process(form);
  return error_list(v->error);
}

// (Error position data): a new error positioned at the first argument's
// value (at the call when that is nil).
ZU_SEXP* zu_Error(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* at = get_el(form, 1);
  return error_at(is_nil(at) ? form : at, ZU_ER_USER, "Error", get_el(form, 2));
}

const QN_PRIM_DEF kErrHandler[] = {{"ErrHandler", zu_ErrHandler, 0, 2, 2, 0},
                                   {"Error", zu_Error, 1, 3, 3, ZU_FUNC_FORM_TRANSIENT},
                                   {}};

}  // namespace

void init_ErrHandler(ZUISP_ENV* env) { bind_prims(env, kErrHandler); }
