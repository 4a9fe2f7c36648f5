// PrintStd, openPrintStd and closePrintStd: values written to the standard
// output, to a file, or to numbered output descriptors that stay open
// until they are closed.
//
// The descriptors form one process-wide list under desc_lock. A print
// holds its descriptor (a use count) without the lock, so a slow print
// never stops the others; closePrintStd unlinks the descriptor at once and
// closes its stream when the last print on it has ended. Descriptors still
// open when the program ends are closed at its exit, so their buffered text
// reaches the files whichever way the program ends.
#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/alloc.h"
#include "base/lock.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/eval.h"
#include "zu/peer.h"
#include "zu/printer.h"
#include "zulib/files.h"
#include "zulib/io_impl.h"
#include "zulib/library.h"
#include "zulib/printing.h"

namespace {

struct PRINT_DESC {
  PRINT_DESC* next;
  STREAM* st;
  int32_t id;
  int users;  // prints in progress
};

SEM desc_lock = nullptr;
PRINT_DESC* desc_list = nullptr;  // newest first, guarded by desc_lock
std::once_flag desc_once;

// Every way out of the program (its end, Exit, a fatal script error, an
// interrupt) goes through exit(), which runs this. A print still running on
// another thread holds its descriptor; the stream's close waits for that
// print's write, and the record is left to it.
void close_all_desc() {
  lock_task(desc_lock);
  PRINT_DESC* all = desc_list;
  desc_list = nullptr;
  unlock_task(desc_lock, "PrintStd exit");
  while (PRINT_DESC* d = all) {
    all = d->next;
    d_s_close(d->st);
    lock_task(desc_lock);
    bool idle = d->users == 0;
    unlock_task(desc_lock, "PrintStd exit");
    if (idle) d_f_ree(d);
  }
}

void init_desc_lock() {
  std::call_once(desc_once, [] {
    desc_lock = new_lock(LOCK_PRINT_DESC);
    std::atexit(close_all_desc);
  });
}

// The descriptor with that id, held for a print; null when none is open.
PRINT_DESC* hold_desc(int id) {
  lock_task(desc_lock);
  PRINT_DESC* d = desc_list;
  while (d && d->id != id) d = d->next;
  if (d) ++d->users;
  unlock_task(desc_lock, "PrintStd");
  return d;
}

void release_desc(PRINT_DESC* d) {
  lock_task(desc_lock);
  if (--d->users == 0) wakeup_task(d);
  unlock_task(desc_lock, "PrintStd");
}

// The id that a d= attribute names, as a decimal number (0, which no
// descriptor has, for a text that is none).
int desc_id(const L_CHAR* text) {
  int id = 0;
  return read_int(text, 10, &id) ? id : 0;
}

const IO_WORD kOptionWords[] = {
    {"indent", ZU_PRINT_INDENT}, {"lisp", 0}, {"xml", ZU_PRINT_XML}, {"html", ZU_PRINT_HTML}, {"text", ZU_PRINT_TEXT},
    {nullptr, 0}};

// A string as its bare text, anything else in printed form; false when
// the printer refused the value (nothing written).
bool print_value(STREAM* st, ZU_SEXP* x, int flags) {
  if (get_type(x) == ZU_TYPE_STRING) {
    s_printf(st, "%ls", str_text(x));
    return true;
  }
  return print_sexp(st, x, flags) != ZU_PRINT_REFUSED;
}

ZU_SEXP* zu_PrintStd(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  ZU_SEXP* x = get_el(form, 1);
  int flags = 0;
  if (const L_CHAR* option = head_option(sf, "option"); option && !read_words(option, kOptionWords, &flags))
    return io_error(form, ZU_ER_PARAM, "Printstd", "invalid parameter (option)");
  flags |= ZU_PRINT_RAW_SIZE;
  // A value the printer refuses is answered with the printer's error before
  // anything is written or a file truncated.
  if (get_type(x) != ZU_TYPE_STRING && !sexp_printable(x, flags)) return print_refused_error(form);
  bool printed = true;
  const L_CHAR* d = head_option(sf, "d");
  // A peer prints only to the agent's standard output: the descriptors
  // are the agent's, and a file is judged as a peer's edit of it.
  if (d && !text_is(d, "stdout") && evaluates_for_peer()) return peer_power_refused(form, "PrintStd");
  if (const L_CHAR* file = d ? nullptr : head_option(sf, "file")) {
    if (ZU_SEXP* no = peer_edit_refusal(form, get_string(file), "PrintStd", false)) return no;
  }
  if (d) {
    if (text_is(d, "stdout")) {
      printed = print_value(s_stdout, x, flags);
    } else {
      Owned<PRINT_DESC, release_desc> desc(hold_desc(desc_id(d)));
      if (!desc) return io_error(form, ZU_ER_UNDEFINED, "Printstd", "no stream descripter (attribute d)");
      printed = print_value(desc->st, x, flags);
    }
  } else if (const L_CHAR* file = head_option(sf, "file")) {
    const char* path = n_string(std_cm, file);
    // Printing may force lazy values, whose allocations may be refused.
    OwnedStream st(s_open_file(path, O_RDWR | O_CREAT | O_TRUNC, 0644));
    if (!st) {
      // The caller sees nil, as always; the reason goes to the trace.
      ss_printf("PrintStd: %s: %s\n", path, std::strerror(errno));
      return nullptr;
    }
    printed = print_sexp(st.get(), x, flags) != ZU_PRINT_REFUSED;
    if (printed) s_printf(st.get(), "\n");
  } else {
    printed = print_sexp(s_stdout, x, flags) != ZU_PRINT_REFUSED;
    if (printed) s_printf(s_stdout, "\n");
  }
  // Another thread may have changed the value since it was checked.
  return printed ? nullptr : print_refused_error(form);
}

ZU_SEXP* zu_openPrintStd(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  ZU_SEXP* path = get_el(form, 1);
  if (get_type(path) != ZU_TYPE_STRING) return io_error(form, ZU_ER_TYPE, "openPrintstd", "type missmatch");
  CODE_METHOD* cm = nullptr;
  if (const L_CHAR* enc = head_option(sf, "encoding")) {
    cm = get_encoding(enc);
    if (!cm) return io_error(form, ZU_ER_NO_OBJECT, "openPrintstd", "invalid encoding");
  }
  STREAM* st = s_open_file(n_string(std_cm, str_text(path)), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (!st) return io_error(form, ZU_ER_OPEN, "openPrintstd", "cannot open the file", get_string(str_text(path)));
  if (cm) s_set_cm(st, cm);
  auto* d = static_cast<PRINT_DESC*>(d_alloc(sizeof(PRINT_DESC)));
  d->st = st;
  d->users = 0;
  lock_task(desc_lock);
  int32_t top = 0;
  for (PRINT_DESC* e = desc_list; e; e = e->next) top = e->id > top ? e->id : top;
  d->id = top + 1;
  d->next = desc_list;
  desc_list = d;
  unlock_task(desc_lock, "openPrintStd");
  return get_integer(d->id, nullptr);
}

ZU_SEXP* zu_closePrintStd(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  const L_CHAR* text = head_option(sf, "d");
  if (!text) return io_error(form, ZU_ER_PARAM, "closePrintstd", "invalid parameter (d)");
  int id = desc_id(text);
  lock_task(desc_lock);
  PRINT_DESC** p = &desc_list;
  while (*p && (*p)->id != id) p = &(*p)->next;
  PRINT_DESC* d = *p;
  if (!d) {
    unlock_task(desc_lock, "closePrintStd");
    return io_error(form, ZU_ER_UNDEFINED, "closePrintstd", "no stream descripter (attribute d)");
  }
  *p = d->next;
  while (d->users > 0) {
    sleep_task(d, desc_lock);
    lock_task(desc_lock);
  }
  unlock_task(desc_lock, "closePrintStd");
  d_s_close(d->st);
  d_f_ree(d);
  return nullptr;
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kPrintStd[] = {
    {"PrintStd", zu_PrintStd, 1, 2, 2, T},
    {"openPrintStd", zu_openPrintStd, 1, 2, 2, T},
    {"closePrintStd", zu_closePrintStd, 1, 1, 1, T},
    {},
};

}  // namespace

void init_PrintStd(ZUISP_ENV* env) {
  init_desc_lock();
  bind_prims(env, kPrintStd);
}
