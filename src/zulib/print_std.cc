// PrintStd, openPrintStd and closePrintStd: values written to the standard
// output, to a file, or to numbered output descriptors that stay open
// until they are closed.
//
// The descriptors form one process-wide list under desc_lock. A print
// holds its descriptor (a use count) without the lock, so a slow print
// never stops the others; closePrintStd unlinks the descriptor at once and
// closes its stream when the last print on it has ended. Descriptors still
// open when the program ends are closed at its end (close_print_files), or
// at its exit on the other ways out, so their buffered text reaches the
// files whichever way the program ends. A write, a flush or a close that
// fails is an error naming the file and the system's reason: the print
// that met it answers one, the close of a file that is not whole answers
// one, and one closed at the end says so on the standard error and fails
// the program.
#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/alloc.h"
#include "base/lock.h"
#include "base/lost_output.h"
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
  L_CHAR* name;  // the file as openPrintStd was given it
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
void free_desc(PRINT_DESC* d) {
  d_f_ree(d->name);
  d_f_ree(d);
}

// What nobody will be told by a close's answer: said on the standard error,
// and the program's end fails.
void lost_file(const char* what, int err) {
  ss_printf("PrintStd: %s could not be written whole: %s\n", what, std::strerror(err));
  note_lost_output();
}

void close_all_desc() {
  lock_task(desc_lock);
  PRINT_DESC* all = desc_list;
  desc_list = nullptr;
  unlock_task(desc_lock, "PrintStd exit");
  while (PRINT_DESC* d = all) {
    all = d->next;
    int err = 0;
    if (e_close(d->st, &err) != 0) lost_file(n_string(std_cm, d->name), err);
    lock_task(desc_lock);
    bool idle = d->users == 0;
    unlock_task(desc_lock, "PrintStd exit");
    if (idle) free_desc(d);
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

// To a descriptor a string as its bare text and nothing after it, else the
// value in printed form and a line end: 0, ZU_PRINT_REFUSED when the
// printer refused the value (nothing written), or -1 with the reason of a
// failed write in *err.
int print_value(STREAM* st, ZU_SEXP* x, int flags, bool descriptor, int* err) {
  const bool bare = descriptor && get_type(x) == ZU_TYPE_STRING;
  int r = bare ? e_printf(st, err, "%ls", str_text(x)) : e_print_sexp(st, err, x, flags);
  if (r == ZU_PRINT_REFUSED) return r;
  if (r >= 0 && !descriptor) r = e_printf(st, err, "\n");
  if (r < 0 && *err == 0) *err = s_write_error(st) ? s_write_error(st) : EIO;
  return r < 0 ? -1 : 0;
}

const char kStdout[] = "the standard output";

ZU_SEXP* zu_PrintStd(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  ZU_SEXP* x = get_el(form, 1);
  int flags = 0;
  if (const L_CHAR* option = head_option(sf, "option"); option && !read_words(option, kOptionWords, &flags))
    return io_error(form, ZU_ER_PARAM, "Printstd", "invalid parameter (option)");
  flags |= ZU_PRINT_RAW_SIZE;
  // A value the printer refuses is answered with the printer's error before
  // anything is written or a file truncated.
  if (get_type(x) != ZU_TYPE_STRING && !sexp_printable(x, flags)) return print_refused_error(form);
  int printed = 0;
  int err = 0;
  ZU_SEXP* name = nullptr;  // what a failed write names
  const L_CHAR* d = head_option(sf, "d");
  // A peer prints only to the agent's standard output: the descriptors
  // are the agent's, and a file is judged as a peer's edit of it.
  if (d && !text_is(d, "stdout") && evaluates_for_peer()) return peer_power_refused(form, "PrintStd");
  if (const L_CHAR* file = d ? nullptr : head_option(sf, "file")) {
    if (ZU_SEXP* no = peer_edit_refusal(form, get_string(file), "PrintStd", false)) return no;
  }
  if (d) {
    if (text_is(d, "stdout")) {
      printed = print_value(s_stdout, x, flags, true, &err);
      if (printed < 0) name = get_string_ascii(kStdout);
    } else {
      Owned<PRINT_DESC, release_desc> desc(hold_desc(desc_id(d)));
      if (!desc) return io_error(form, ZU_ER_UNDEFINED, "Printstd", "no stream descripter (attribute d)");
      printed = print_value(desc->st, x, flags, true, &err);
      if (printed < 0) name = get_string(desc->name);
    }
  } else if (const L_CHAR* file = head_option(sf, "file")) {
    // Printing may force lazy values, whose allocations may be refused.
    OwnedStream st(s_open_file(n_string(std_cm, file), O_RDWR | O_CREAT | O_TRUNC, 0644));
    if (!st) return io_file_error(form, "Printstd", "cannot open the file", get_string(file), errno);
    printed = print_value(st.get(), x, flags, false, &err);
    // Buffered bytes reach the file at the close, which may fail too.
    if (e_close(st.release(), &err) != 0 && printed == 0) printed = -1;
    if (printed < 0) name = get_string(file);
  } else {
    printed = print_value(s_stdout, x, flags, false, &err);
    if (printed < 0) name = get_string_ascii(kStdout);
  }
  if (printed < 0) return io_file_error(form, "Printstd", "cannot access the file", name, err);
  // Another thread may have changed the value since it was checked.
  return printed == 0 ? nullptr : print_refused_error(form);
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
  if (!st) return io_file_error(form, "openPrintstd", "cannot open the file", path, errno);
  if (cm) s_set_cm(st, cm);
  auto* d = static_cast<PRINT_DESC*>(d_alloc(sizeof(PRINT_DESC)));
  d->st = st;
  d->name = ll_copy_str(str_text(path));
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
  int err = 0;
  const bool whole = e_close(d->st, &err) == 0;
  ZU_SEXP* name = whole ? nullptr : get_string(d->name);
  free_desc(d);
  return whole ? nullptr : io_file_error(form, "closePrintstd", "cannot access the file", name, err);
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kPrintStd[] = {
    {"PrintStd", zu_PrintStd, 1, 2, 2, T},
    {"openPrintStd", zu_openPrintStd, 1, 2, 2, T},
    {"closePrintStd", zu_closePrintStd, 1, 1, 1, T},
    {},
};

}  // namespace

void close_print_files() {
  close_all_desc();
  // What PrintStd wrote to the standard output is flushed here, while a
  // failure can still fail the program; one the replies or a print met
  // before was said then.
  if (s_write_error(s_stdout) == 0 && s_flush(s_stdout) != 0) lost_file(kStdout, s_write_error(s_stdout));
}

void init_PrintStd(ZUISP_ENV* env) {
  init_desc_lock();
  bind_prims(env, kPrintStd);
}
