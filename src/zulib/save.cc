// Save: a value written to a file as ZU text, as the bytes of a list of raw
// values, or as a CSV table. Every write is checked: a file that could not
// be written whole is an error, never nil. Nothing is opened (so nothing
// created or truncated) before the options and argument types are known
// to be right and the value is known to print.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/eval.h"
#include "zu/printer.h"
#include "zulib/io_impl.h"
#include "zulib/library.h"
#include "zulib/load_impl.h"
#include "zulib/load_save.h"
#include "zulib/printing.h"
#include "zulib/save_impl.h"

namespace {

enum class Format { kZu, kRaw, kCsv };

const IO_WORD kOflagWords[] = {{"creat", O_CREAT}, {"trunc", O_TRUNC}, {"append", O_APPEND}, {nullptr, 0}};

ZU_SEXP* type_error(ZU_SEXP* form, int which) {
  return io_error(form, ZU_ER_TYPE, "Save", "save:type missmatch", get_integer(which, nullptr));
}

// The file that could not be opened or written, and the system's reason.
ZU_SEXP* access_error(ZU_SEXP* form, ZU_SEXP* path, int err) {
  return io_file_error(form, "Save", "cannot access the file", path, err ? err : EIO);
}

bool write_all(STREAM* st, const uint8_t* p, uint32_t n) {
  while (n > 0) {
    int part = static_cast<int>(std::min<uint32_t>(n, 1u << 30));
    if (s_write(st, p, part) != part) return false;
    p += part;
    n -= static_cast<uint32_t>(part);
  }
  return true;
}

// The bytes of each raw member in order; the rest of a list that Load reads
// from a file is copied from the file without being held.
ZU_SEXP* write_raw(STREAM* st, ZU_SEXP* x, ZU_SEXP* form, ZU_SEXP* path) {
  for (ZU_SEXP* rest = x;;) {
    GcFrame pass("Save raw");
    if (ZU_SEXP* b = do_break_check(form)) return pass.keep(b, gc_qn_sexp);
    ZU_SEXP* stop = nullptr;
    switch (load_raw_copy(rest, st, form, &stop)) {
      case 1:
        return nullptr;
      case -1:
        return pass.keep(load_read_error(), gc_qn_sexp);
      case -2:
        return pass.keep(access_error(form, path, s_write_error(st)), gc_qn_sexp);
      case -3:
        return pass.keep(stop, gc_qn_sexp);
      default:
        break;
    }
    int t = get_type(rest);
    if (t == ZU_TYPE_ERROR) return pass.keep(rest, gc_qn_sexp);
    if (t != ZU_TYPE_LIST) return nullptr;
    ZU_SEXP* e = rest->pair.car;
    int te = get_type(e);
    if (te == ZU_TYPE_ERROR) return pass.keep(e, gc_qn_sexp);
    if (te != ZU_TYPE_RAW) return pass.keep(type_error(form, 6), gc_qn_sexp);
    if (!write_all(st, e->raw.data, e->raw.size))
      return pass.keep(access_error(form, path, s_write_error(st)), gc_qn_sexp);
    rest = rest->pair.cdr;
  }
}

// Whether the members of a raw list that are already in memory print (and
// the list is not a cycle). The lazy rest of a list that Load reads holds
// raw values and errors only; it is not forced here.
bool raw_members_printable(ZU_SEXP* x) {
  ZU_SEXP* slow = x;
  for (int steps = 1; sexp_type(x) == ZU_TYPE_LIST; ++steps) {
    if (!sexp_printable(x->pair.car, 0)) return false;
    x = x->pair.cdr;
    if (steps % 2 == 0) {
      slow = slow->pair.cdr;
      if (slow == x) return false;
    }
  }
  return true;
}

// Whether the value can be written whole in the format: checked before the
// file is opened, so that a value the printer refuses leaves the file as
// it was.
bool writable(Format format, ZU_SEXP* x, int pflags, ZU_SEXP* columns) {
  switch (format) {
    case Format::kZu:
      return sexp_printable(x, pflags);
    case Format::kRaw:
      return raw_members_printable(x);
    case Format::kCsv:
      return sexp_printable(x, 0) && sexp_printable(columns, 0);
  }
  return false;
}

ZU_SEXP* zu_Save(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  Format format = Format::kZu;
  int oflags = 0;
  int mode = 0600;
  int pflags = ZU_PRINT_MULTIROOT;
  const L_CHAR* encode = nullptr;
  auto on_off = [&pflags](const L_CHAR* v, int bit) {
    if (text_is(v, "on")) pflags |= bit;
    if (text_is(v, "off")) pflags &= ~bit;
  };
  for (ZU_SYM_FIELD* a = sf; a; a = a->next) {
    const L_CHAR* v = a->value;
    if (attr_is(a, "option")) {
      if (text_is(v, "raw"))
        format = Format::kRaw;
      else if (text_is(v, "zu"))
        format = Format::kZu;
      else if (text_is(v, "csv"))
        format = Format::kCsv;
      else
        return io_error(form, ZU_ER_PARAM, "Save", "invalid parameter");
    } else if (attr_is(a, "oflag")) {
      oflags = 0;
      if (!read_words(v, kOflagWords, &oflags)) return io_error(form, ZU_ER_PARAM, "Save", "invalid parameter");
    } else if (attr_is(a, "mode")) {
      read_int(v, 0, &mode);
    } else if (attr_is(a, "format.mode")) {
      int f = text_is(v, "lisp") ? ZU_PRINT_LIST : text_is(v, "xml") ? ZU_PRINT_XML : text_is(v, "html") ? ZU_PRINT_HTML : -1;
      if (f >= 0) pflags = (pflags & ~ZU_PRINT_FORM) | f;
    } else if (attr_is(a, "format.indent")) {
      on_off(v, ZU_PRINT_INDENT);
    } else if (attr_is(a, "format.multiroot")) {
      on_off(v, ZU_PRINT_MULTIROOT);
    } else if (attr_is(a, "format.text")) {
      on_off(v, ZU_PRINT_TEXT);
    } else if (attr_is(a, "encoding")) {
      encode = v;
    }
  }
  ZU_SEXP* path = get_el(form, 1);
  if (get_type(path) != ZU_TYPE_STRING) return type_error(form, 1);
  ZU_SEXP* x = get_el(form, 2);
  if (format == Format::kRaw && get_type(x) != ZU_TYPE_LIST) return type_error(form, 5);
  bool has_columns = list_length(form) == 4;
  if (!writable(format, x, pflags, has_columns ? get_el(form, 3) : nullptr)) return print_refused_error(form);
  // Printing may force lazy values, whose allocations may be refused.
  OwnedStream owned(s_open_file(n_string(std_cm, str_text(path)), O_RDWR | oflags, mode));
  STREAM* st = owned.get();
  if (!st) return access_error(form, path, errno);
  if (encode && format != Format::kRaw) set_encoding_st(st, encode);
  ZU_SEXP* result = nullptr;
  bool written = true;
  switch (format) {
    case Format::kZu: {
      int printed = print_sexp(st, x, pflags);
      // Refused only when another thread changed the value since the check.
      if (printed == ZU_PRINT_REFUSED) result = print_refused_error(form);
      written = printed == 0;
      break;
    }
    case Format::kRaw:
      result = write_raw(st, x, form, path);
      break;
    case Format::kCsv: {
      ZU_SEXP* stop = nullptr;
      written = write_csv(st, x, has_columns, get_el(form, 3), form, &stop);
      if (stop) {
        result = stop;
        written = true;
      }
      break;
    }
  }
  // Buffered bytes reach the file at the close, which may fail too; it
  // gives the reason of the first write that failed.
  int err = 0;
  if (e_close(owned.release(), &err) != 0) written = false;
  if (!written && !result) result = access_error(form, path, err);
  return result;
}

const QN_PRIM_DEF kSave[] = {{"Save", zu_Save, 1, 3, 4, ZU_FUNC_FORM_TRANSIENT}, {}};

}  // namespace

void init_Save(ZUISP_ENV* env) { bind_prims(env, kSave); }
