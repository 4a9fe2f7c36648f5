// SetResultFormat: the form (list, XML or HTML) and indentation of the
// calling interpreter's replies. Only the settings named change.
#include "runtime/interp.h"
#include "zu/printer.h"
#include "zu/eval.h"
#include "zulib/io_impl.h"
#include "zulib/library.h"
#include "zulib/printing.h"

namespace {

ZU_SEXP* zu_SetResultFormat(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  int mask = 0, bits = 0;
  for (ZU_SYM_FIELD* f = sf; f; f = f->next) {
    if (attr_is(f, "indent")) {
      if (text_is(f->value, "on")) {
        mask |= ZU_PRINT_INDENT;
        bits |= ZU_PRINT_INDENT;
      } else if (text_is(f->value, "off")) {
        mask |= ZU_PRINT_INDENT;
        bits &= ~ZU_PRINT_INDENT;
      }
    } else if (attr_is(f, "mode")) {
      int form = text_is(f->value, "lisp") ? ZU_PRINT_LIST
                 : text_is(f->value, "xml") ? ZU_PRINT_XML
                 : text_is(f->value, "html") ? ZU_PRINT_HTML
                                              : -1;
      if (form >= 0) {
        mask |= ZU_PRINT_FORM;
        bits = (bits & ~ZU_PRINT_FORM) | form;
      }
    }
  }
  // A thread without an interpreter has no replies: the answer describes
  // the settings as they would be, and nothing is kept.
  int flags = bits;
  if (ZU_INTERPRETER* zui = my_interpreter()) {
    lock_task(zui_lock);
    zui->ps_flags = (zui->ps_flags & ~mask) | bits;
    flags = zui->ps_flags;
    unlock_task(zui_lock, "SetResultFormat");
  }
  static const char* const kModes[] = {"mode:LISP", "mode:XML", "mode:HTML", nullptr};
  ZU_SEXP* indent = get_string_ascii(flags & ZU_PRINT_INDENT ? "indent:on" : "indent:off");
  const char* mode = kModes[flags & ZU_PRINT_FORM];
  return mode ? List(get_string_ascii(mode), indent, ZU_LIST_END) : list(indent);
}

const QN_PRIM_DEF kSetResultFormat[] = {{"SetResultFormat", zu_SetResultFormat, 1, 1, 1, ZU_FUNC_FORM_TRANSIENT}, {}};

}  // namespace

void init_SetResultFormat(ZUISP_ENV* env) { bind_prims(env, kSetResultFormat); }
