// Local and LocalEval: an agent serving a request asks the agent that sent
// it to evaluate forms on its side, in the environment of the waiting query.
#include "runtime/remote.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zulib/evaluation.h"

namespace {

// (Local form...): each form is sent back unevaluated as (LocalEval n form)
// and its answer waited for before the next is sent.
ZU_SEXP* zu_Local(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* r = nullptr;
  ZU_SEXP* p = form->pair.cdr;
  for (; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    r = local_query(env, nullptr, p->pair.car);
    if (get_type(r) != ZU_TYPE_ERROR) continue;  // waits for the answer
    // Refused before anything was sent: the error belongs to this call.
    ZU_ERROR* e = r->error;
    if (!e->file && e->line == 0) return get_error(form->h.file, form->h.line, e->code, e->func, e->data);
    return r;
  }
  if (get_type(p) == ZU_TYPE_ERROR) return p;
  return r;
}

// (LocalEval n form): n, an integer as written, names the request.
ZU_SEXP* zu_LocalEval(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* n = get_el(form, 1);
  int t = get_type(n);
  if (t == ZU_TYPE_ERROR) return n;
  if (t != ZU_TYPE_INTEGER) return error_list_at(form, ZU_ER_TYPE, "LocalEval", "type missmatch in parameter");
  auto seq = static_cast<int>(static_cast<uint32_t>(n->integer.num));
  return local_eval(seq, get_el(form, 2));
}

const QN_PRIM_DEF kLocal[] = {{"Local", zu_Local, 0, 2, -1, 0}, {}};
const QN_PRIM_DEF kLocalEval[] = {{"LocalEval", zu_LocalEval, 0, 3, 3, 0}, {}};

}  // namespace

void init_Local(ZUISP_ENV* env) { bind_prims(env, kLocal); }
void init_LocalEval(ZUISP_ENV* env) { bind_prims(env, kLocalEval); }
