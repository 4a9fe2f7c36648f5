// The header forms ?xml and ?zu, and the encoding helpers of the loading
// and saving built-ins. A header acts only on the front thread of the
// interpreter that owns the calling thread, and only when it was read from
// that interpreter's own input: it switches the decoding of the rest of the
// input and can point the standard streams at the connection it came in on,
// or at a chain stream that sends the text back to the peer.
#include "base/task.h"
#include "runtime/interp.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/eval.h"
#include "zu/reader.h"
#include "zulib/io_impl.h"
#include "zulib/library.h"
#include "zulib/printing.h"
#include "zulib/printing_impl.h"

void _q_xml_encoding(ZU_SEXP* s, const L_CHAR* code) {
  if (ZU_FILE* f = sexp_file(s)) zu_set_encoding_name(f, code);
}

void set_encoding_st(STREAM* st, const L_CHAR* code) {
  CODE_METHOD* cm = get_encoding(code);
  s_set_cm(st, cm ? cm : stream_cm);
}

void redirect_std(STREAM** slot, STREAM* to) {
  if (!to) return;
  STREAM* old = *slot;
  *slot = to;
  // A chain stream that no standard stream names any more has nobody left
  // to write to it: its remaining text is sent and its thread ends.
  if (old && old != to && old->h.tbl == &s_chain_table && old != s_stdout && old != s_stderr) d_s_close(old);
}

namespace {

// The stream a stdout= or stderr= value names: a new chain stream on the
// interpreter for "chain", else the header's own connection.
STREAM* target(const L_CHAR* value, int iid, int type, STREAM* own) {
  return text_is(value, "chain") ? s_open_chain(iid, type) : own;
}

ZU_SEXP* zu_q_xml(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  ZU_INTERPRETER* zui = my_interpreter();
  ZU_FILE* f = sexp_file(form);
  if (!zui || !f || !f->st) return nullptr;
  lock_task(zui_lock);
  bool front = zui->front_thread == get_tid() && f->st == zui->inp;
  int iid = static_cast<int>(zui->id);
  unlock_task(zui_lock, "?xml");
  if (!front) return nullptr;
  for (ZU_SYM_FIELD* a = sf; a; a = a->next)
    if (attr_is(a, "encoding")) _q_xml_encoding(form, a->value);
  if (const L_CHAR* v = head_option(sf, "stdout")) redirect_std(&s_stdout, target(v, iid, 'o', f->st));
  if (const L_CHAR* v = head_option(sf, "stderr")) redirect_std(&s_stderr, target(v, iid, 'e', f->st));
  return nullptr;
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kQXml[] = {{"?xml", zu_q_xml, 1, 1, 1, T}, {"?zu", zu_q_xml, 1, 1, 1, T}, {}};

}  // namespace

void init_q_xml(ZUISP_ENV* env) { bind_prims(env, kQXml); }
