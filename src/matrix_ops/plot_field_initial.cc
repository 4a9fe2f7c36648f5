// The initial operation of the field kinds: reading a field description
// from the arguments of the field built-in, and making a field value from a
// ZU value or a text cell through it. Also the packed degree form and the
// collector marks of the descriptions.
//
// Numbers in text are decimal (a leading 0 is not octal), with an optional
// sign and surrounding white space; anything else in the cell refuses the
// value instead of storing 0. A scaled value that is not finite or does not
// fit 64 bits is refused the same way (-7).
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/alloc.h"
#include "matrix_ops/plot_field_impl.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/env.h"
#include "zu/eval.h"
#include "zu/printer.h"

namespace {

constexpr int kNotParsed = -7;

bool blank_rest(const char* p) {
  while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
  return *p == 0;
}

bool parse_int(const char* text, int64_t* out) {
  if (!text) return false;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text, &end, 10);
  if (end == text || errno == ERANGE || !blank_rest(end)) return false;
  *out = v;
  return true;
}

bool parse_double(const char* text, double* out) {
  if (!text) return false;
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (end == text || !blank_rest(end)) return false;
  *out = v;
  return true;
}

// x truncated toward zero, when it is a 64-bit integer.
bool trunc64(double x, int64_t* out) {
  if (!std::isfinite(x) || x >= 0x1p63 || x < -0x1p63) return false;
  *out = static_cast<int64_t>(x);
  return true;
}

int scale(const FD_INT_OPT& o, double x, int64_t* v) {
  return trunc64(x * o.reso + static_cast<double>(o.offset), v) ? 0 : kNotParsed;
}

// The integer of an int field from its input and description.
int int_value(const FD_INT_OPT& o, void* data, int flag, int64_t* v) {
  ZU_SEXP* s = flag ? nullptr : static_cast<ZU_SEXP*>(data);
  int type = flag ? ZU_TYPE_STRING : get_type(s);
  int err = 0;
  switch (type) {
    case ZU_TYPE_INTEGER: {
      int64_t n = s->integer.num;
      if (o.type == kFditDdmmss) n = ddmmss_int(n, &err);
      if (err) return err;
      return o.type >= kFditInt && o.type <= kFditDdmmss ? scale(o, static_cast<double>(n), v) : -6;
    }
    case ZU_TYPE_FLOATING: {
      double x = s->floating.num;
      if (o.type == kFditDdmmss) x = ddmmss_float(x, &err);
      if (err) return err;
      return o.type >= kFditInt && o.type <= kFditDdmmss ? scale(o, x, v) : -5;
    }
    case ZU_TYPE_STRING: {
      const L_CHAR* w = flag ? static_cast<const L_CHAR*>(data) : str_text(s);
      const char* text = n_string(std_cm, w);
      int64_t n = 0;
      double x = 0;
      switch (o.type) {
        case kFditInt:
          return parse_int(text, &n) ? scale(o, static_cast<double>(n), v) : kNotParsed;
        case kFditFloat:
        case kFditDd:
          return parse_double(text, &x) ? scale(o, x, v) : kNotParsed;
        case kFditDdmmss:
          if (!parse_double(text, &x) || !trunc64(x, &n)) return kNotParsed;
          n = ddmmss_int(n, &err);
          return err ? err : scale(o, static_cast<double>(n), v);
        default:
          return kNotParsed;
      }
    }
    default:
      return static_cast<int>(ZU_ER_TYPE);
  }
}

// The text of a ZU value as a str field stores it.
char* value_text(ZU_SEXP* v, CODE_METHOD* cm) {
  if (get_type(v) == ZU_TYPE_STRING) return ln_copy_str(cm, str_text(v));
  STREAM* st = s_open_string_write(cm);
  print_sexp(st, v, 0);
  char* text = copy_str(s_get_string(st));
  d_s_close(st);
  return text;
}

void print_line(ZU_SEXP* s) {
  print_sexp(s_stderr, s, 0);
  ss_printf("\n");
}

}  // namespace

int fd_initial_none(IP_FIELD* target, void*, FD_OPT* opt, int) {
  if (target) {
    target->d.str = nullptr;
    return 0;
  }
  if (!opt) return -1;
  opt->h.merge_type = kFdNone;
  return 0;
}

int fd_initial_str(IP_FIELD* target, void* data, FD_OPT* opt, int flag) {
  if (!target) {
    auto* list = static_cast<ZU_SEXP*>(data);
    if (!opt || get_type(list) != ZU_TYPE_LIST) return -1;
    ZU_SEXP* name = get_el(list, 0);
    if (get_type(name) != ZU_TYPE_STRING) return -2;
    CODE_METHOD* cm = search_cm(n_string(std_cm, str_text(name)));
    if (!cm) return -4;
    ZU_SEXP* convert = get_el(list, 1);
    opt->str.convert = is_nil(convert) ? nullptr : convert;
    opt->str.cm = cm;
    opt->h.merge_type = kFdStr;
    if (list_length(list) == 3) opt->h.init_sexp = get_el(list, 2);
    return 0;
  }
  CODE_METHOD* cm = opt && opt->str.cm ? opt->str.cm : utf8_cm;
  if (flag) {
    auto* text = static_cast<const L_CHAR*>(data);
    target->type = text ? kFdStr : kFdStrErase;
    target->d.str = text ? ln_copy_str(cm, text) : nullptr;
    return 0;
  }
  auto* v = static_cast<ZU_SEXP*>(data);
  if (is_nil(v)) {
    target->type = kFdStrErase;
    target->d.str = nullptr;
    return 0;
  }
  GcFrame frame("fd_initial_str");
  if (opt && opt->str.convert) {
    ZUISP_ENV* env = new_env(qnlisp_top_env0);
    bind_agent(env, "___convert", v);
    v = eval(env, opt->str.convert);
    if (get_type(v) == ZU_TYPE_ERROR) {
      print_line(v);
      return -1;
    }
  }
  target->type = kFdStr;
  target->d.str = value_text(v, cm);
  return 0;
}

int fd_initial_int(IP_FIELD* target, void* data, FD_OPT* opt, int flag) {
  if (!target) {
    auto* list = static_cast<ZU_SEXP*>(data);
    int n = list_length(list);
    if (!opt || n < 4) return -1;
    ZU_SEXP* form = get_el(list, 0);
    ZU_SEXP* reso = get_el(list, 1);
    ZU_SEXP* offset = get_el(list, 2);
    ZU_SEXP* count = get_el(list, 3);
    if (get_type(form) != ZU_TYPE_INTEGER) return -2;
    double r = 0;
    if (get_type(reso) == ZU_TYPE_INTEGER) {
      r = static_cast<double>(reso->integer.num);
    } else if (get_type(reso) == ZU_TYPE_FLOATING) {
      r = reso->floating.num;
    } else {
      return -3;
    }
    int64_t ofs = 0;
    if (get_type(offset) == ZU_TYPE_INTEGER) {
      ofs = offset->integer.num;
    } else if (get_type(offset) != ZU_TYPE_FLOATING || !trunc64(offset->floating.num, &ofs)) {
      return -9;
    }
    if (get_type(count) != ZU_TYPE_INTEGER) return -4;
    opt->integer.type = static_cast<int>(form->integer.num);
    opt->integer.reso = r;
    opt->integer.offset = ofs;
    opt->integer.count = count->integer.num;
    if (n == 5) opt->h.init_sexp = get_el(list, 4);
    return 0;
  }
  if (!opt) return -8;
  int64_t v = 0;
  if (int r = int_value(opt->integer, data, flag, &v)) return r;
  uint8_t type = opt->h.merge_type;
  switch (type) {
    case kFdIntCoord:
      if (opt->h.dim < 0) return -9;
      break;
    case kFdIntAdd:
    case kFdIntAvg:
    case kFdIntMax:
    case kFdIntMin:
      break;
    default:
      return -8;
  }
  target->type = type;
  target->d.i = static_cast<int64_t*>(d_alloc(type == kFdIntAvg ? 16 : 8));
  target->d.i[0] = v;
  if (type == kFdIntAvg) target->d.i[1] = opt->integer.count;
  return 0;
}

int fd_initial_rgba(IP_FIELD* target, void* data, FD_OPT* opt, int flag) {
  if (!target) {
    auto* list = static_cast<ZU_SEXP*>(data);
    ZU_SEXP* count = get_el(list, 0);
    if (!opt || get_type(count) != ZU_TYPE_INTEGER) return -1;
    opt->rgba.count = count->integer.num;
    opt->h.merge_type = kFdRgba;
    if (list_length(list) == 2) opt->h.init_sexp = get_el(list, 1);
    return 0;
  }
  int64_t n = 0;
  if (flag) {
    if (!parse_int(n_string(std_cm, static_cast<const L_CHAR*>(data)), &n)) return -2;
  } else {
    auto* s = static_cast<ZU_SEXP*>(data);
    if (get_type(s) == ZU_TYPE_INTEGER) {
      n = s->integer.num;
    } else if (get_type(s) != ZU_TYPE_STRING || !parse_int(n_string(std_cm, str_text(s)), &n)) {
      if (get_type(s) != ZU_TYPE_STRING) print_line(s);
      return -2;
    }
  }
  if (!opt) return -2;
  auto* c = static_cast<FIELD_RGBA_T*>(d_alloc(sizeof(FIELD_RGBA_T)));
  for (int k = 0; k < 4; ++k) c->rgba[k] = static_cast<unsigned char>(static_cast<uint64_t>(n) >> (24 - 8 * k));
  c->count = opt->rgba.count;
  target->type = opt->h.merge_type;
  target->d.rgba = c;
  return 0;
}

int64_t ddmmss_int(int64_t d, int* errp) {
  uint64_t a = d < 0 ? 0 - static_cast<uint64_t>(d) : static_cast<uint64_t>(d);
  uint64_t sec = a % 100, min = a / 100 % 100, deg = a / 10000;
  if (min >= 60 || sec >= 60) {
    if (errp) *errp = kNotParsed;
    return 0;
  }
  // At most 922337203685477 degrees: their seconds still fit 63 bits.
  auto r = static_cast<int64_t>(deg * 3600 + min * 60 + sec);
  return d < 0 ? -r : r;
}

double ddmmss_float(double d, int* errp) {
  double a = std::fabs(d);
  int64_t whole = 0;
  if (!trunc64(a, &whole)) {
    if (errp) *errp = kNotParsed;
    return 0;
  }
  int err = 0;
  double r = static_cast<double>(ddmmss_int(whole, &err)) + (a - static_cast<double>(whole));
  if (err) {
    if (errp) *errp = err;
    return 0;
  }
  return d < 0 ? -r : r;
}

void gc_fd_opt(void* p) {
  for (auto* o = static_cast<FD_OPT*>(p); o; o = o->h.next) {
    if (gc_mark_block(o)) return;
    gc_mark(o->h.init_sexp, gc_qn_sexp);
    const FIELD_TYPE* row = fd_row(o->h.merge_type);
    if (row && row->gc) row->gc(o);
  }
}

void gc_fd_opt_ptr(void* p) {
  if (!p || gc_mark_block(p)) return;
  gc_mark(static_cast<FD_OPT_PTR*>(p)->opt, gc_fd_opt);
}
