// PrintChain: the receiving end of a chain stream. A peer whose standard
// streams were pointed at chain streams sends its printed text here as
// (PrintChain "o"|"e" raw), the raw value holding the text as 4-byte codes,
// most significant byte first; (PrintChain sync="entry") on a link's relay
// thread points this process's standard streams back at the link, and
// sync="exit" flushes them.
#include <vector>

#include "base/task.h"
#include "runtime/interp.h"
#include "zu/builtin_kit.h"
#include "zu/eval.h"
#include "zulib/io_impl.h"
#include "zulib/library.h"
#include "zulib/printing.h"
#include "zulib/printing_impl.h"

namespace {

ZU_SEXP* sync(const L_CHAR* what) {
  if (text_is(what, "entry")) {
    ZU_INTERPRETER* zui = my_interpreter();
    if (!zui) return nullptr;
    lock_task(zui_lock);
    bool relay = zui->relay_thread == get_tid();
    int iid = static_cast<int>(zui->id);
    unlock_task(zui_lock, "PrintChain");
    if (!relay) return nullptr;
    redirect_std(&s_stdout, s_open_chain(iid, 'o'));
    redirect_std(&s_stderr, s_open_chain(iid, 'e'));
  } else if (text_is(what, "exit")) {
    s_flush(s_stdout);
    s_flush(s_stderr);
  }
  return nullptr;
}

ZU_SEXP* zu_PrintChain(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  if (const L_CHAR* what = head_option(sf, "sync")) return sync(what);
  ZU_SEXP* type = get_el(form, 1);
  ZU_SEXP* data = get_el(form, 2);
  if (get_type(type) != ZU_TYPE_STRING || get_type(data) != ZU_TYPE_RAW)
    return error_text_at(form, ZU_ER_TYPE, "PrintChain", "type missmatch");
  STREAM* st;
  if (text_is(str_text(type), "o"))
    st = s_stdout;
  else if (text_is(str_text(type), "e"))
    st = s_stderr;
  else
    return error_text_at(form, ZU_ER_PARAM, "PrintChain", "invalid parameter");
  uint32_t size = data->raw.size;
  int r;
  if (st && st->h.tbl == &s_chain_table) {
    // Passed on along a chain of interpreters as it came.
    r = s_write(st, data->raw.data, static_cast<int>(size));
  } else {
    // Whole codes only; a partial code at the end is dropped.
    std::vector<L_CHAR> text(size / 4 + 1, 0);
    const uint8_t* p = data->raw.data;
    for (uint32_t i = 0; i < size / 4; ++i, p += 4)
      text[i] = static_cast<L_CHAR>(p[0]) << 24 | static_cast<L_CHAR>(p[1]) << 16 | static_cast<L_CHAR>(p[2]) << 8 | p[3];
    // The text shows at once, as the peer printed it.
    r = st ? s_printf(st, "%ls", text.data()) : -1;
    if (r >= 0) s_flush(st);
  }
  if (r < 0) return error_text_at(form, ZU_ER_STREAM, "PrintChain", "access stream");
  return get_integer(size, nullptr);
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kPrintChain[] = {{"PrintChain", zu_PrintChain, 1, 1, 3, T}, {}};

}  // namespace

void init_PrintChain(ZUISP_ENV* env) { bind_prims(env, kPrintChain); }
