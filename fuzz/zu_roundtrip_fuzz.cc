// Fuzz target: reading, printing and reading again gives back every value
// the reader makes. Arbitrary bytes are read as ZU source (the first byte
// picks the encoding and the reader's flags: zu_fuzz_input.h); each
// form read is printed in list form to UTF-8 and to ASCII (where other
// characters travel as references), in XML form, and as a link's reply
// ("<Result> 7 " value "</Result>", in list form to UTF-8 and in XML form to
// UTF-16), read back, and compared with the form. A floating value compares
// at the six decimals it is printed with. A difference stops the process
// with both texts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "stream/stream.h"
#include "text/codemethod.h"
#include "zu/gc.h"
#include "zu/printer.h"
#include "zu/reader.h"
#include "zu/value.h"
#include "zu_fuzz_input.h"

namespace {

bool same_text(const L_CHAR* a, const L_CHAR* b) {
  if (!a || !b) return (!a || !*a) && (!b || !*b);
  return l_strcmp(a, b) == 0;
}

bool same_float(double a, double b) {
  char x[400], y[400];
  std::snprintf(x, sizeof x, "%f", a);
  std::snprintf(y, sizeof y, "%f", b);
  return std::strcmp(x, y) == 0;
}

bool same_attrs(ZU_SYM_FIELD* a, ZU_SYM_FIELD* b) {
  for (; a && b; a = a->next, b = b->next)
    if (!same_text(a->name, b->name) || !same_text(a->value, b->value)) return false;
  return !a && !b;
}

const L_CHAR* file_name(const ZU_ERROR* e) { return e->file ? e->file->name : nullptr; }

// Structural equality; lists are walked with a stack of their own.
bool same_value(ZU_SEXP* a, ZU_SEXP* b) {
  std::vector<std::pair<ZU_SEXP*, ZU_SEXP*>> todo{{a, b}};
  while (!todo.empty()) {
    auto [x, y] = todo.back();
    todo.pop_back();
    int t = get_type(x);
    if (t != get_type(y)) return false;
    switch (t) {
      case ZU_TYPE_LIST:
        todo.emplace_back(x->pair.cdr, y->pair.cdr);
        todo.emplace_back(x->pair.car, y->pair.car);
        break;
      case ZU_TYPE_SYMBOL:
        if (l_strcmp(sym_name(x), sym_name(y)) != 0 || !same_attrs(sym_field(x), sym_field(y))) return false;
        break;
      case ZU_TYPE_STRING:
        if (!same_text(str_text(x), str_text(y))) return false;
        break;
      case ZU_TYPE_INTEGER:
        if (x->integer.num != y->integer.num || !same_text(x->integer.unit, y->integer.unit)) return false;
        break;
      case ZU_TYPE_FLOATING:
        if (!same_float(x->floating.num, y->floating.num) || !same_text(x->floating.unit, y->floating.unit))
          return false;
        break;
      case ZU_TYPE_RAW:
        if (x->raw.size != y->raw.size || std::memcmp(x->raw.data, y->raw.data, x->raw.size) != 0) return false;
        break;
      case ZU_TYPE_ERROR: {
        ZU_ERROR* e = x->error;
        ZU_ERROR* f = y->error;
        if (e->code != f->code || e->line != f->line || !same_text(e->site, f->site)) return false;
        if ((e->func == nullptr) != (f->func == nullptr) || !same_text(e->func, f->func)) return false;
        const L_CHAR* n = file_name(e);
        const L_CHAR* m = file_name(f);
        if ((n == nullptr) != (m == nullptr) || !same_text(n, m)) return false;
        todo.emplace_back(e->data, f->data);
        break;
      }
      default:
        break;  // the empty list; the reader makes no other type
    }
  }
  return true;
}

// A reply is printed as the member of its <Result> element.
std::string printed(ZU_SEXP* v, int flags, CODE_METHOD* cm, int* rc, bool reply = false) {
  STREAM* out = s_open_string_write(cm);
  if (reply) s_printf(out, "<Result> 7 ");
  *rc = print_sexp(out, v, reply ? flags | ZU_PRINT_MEMBER : flags);
  if (reply) s_printf(out, "</Result>");
  std::string text(s_get_string(out), static_cast<size_t>(s_get_string_len(out)));
  d_s_close(out);
  return text;
}

// The forms of a text, read to its end (null when there is not exactly one).
ZU_SEXP* read_back(const std::string& text, CODE_METHOD* cm) {
  STREAM* st = s_open_string_read(text.data(), cm, static_cast<int>(text.size()), 1);
  ZU_SEXP* l = init_parse(st, nullptr, nullptr);
  if (get_type(l) != ZU_TYPE_LIST || get_type(l->pair.cdr) != ZU_TYPE_NULL) return nullptr;
  return l;
}

// The value a reply carries: the third member of (Result 7 value), or null
// in *bad for another shape.
ZU_SEXP* replied(ZU_SEXP* form, bool* bad) {
  *bad = get_type(form) != ZU_TYPE_LIST || list_length(form) != 3 || get_type(form->pair.car) != ZU_TYPE_SYMBOL ||
         zu_wcmp_ascii(sym_name(form->pair.car), "Result") != 0;
  return *bad ? nullptr : get_el(form, 2);
}

[[noreturn]] void differ(const std::string& text, ZU_SEXP* back, int flags, CODE_METHOD* cm) {
  int rc = 0;
  std::string again = back ? printed(back->pair.car, flags, cm, &rc) : std::string("(not one form)");
  std::fprintf(stderr, "round trip differs (flags %d, %s)\nprinted:  %s\nread as:  %s\n", flags, cm->name,
               text.c_str(), again.c_str());
  std::abort();
}

void round_trip(ZU_SEXP* v) {
  struct Way {
    int flags;
    CODE_METHOD* cm;
    bool reply;
  };
  static CODE_METHOD* const utf16 = search_cm("UTF-16");
  const Way ways[] = {{ZU_PRINT_LIST, utf8_cm, false}, {ZU_PRINT_LIST, ascii_cm, false},
                      {ZU_PRINT_XML, utf8_cm, false},  {ZU_PRINT_LIST, utf8_cm, true},
                      {ZU_PRINT_XML, utf16, true}};
  for (const Way& w : ways) {
    GcFrame frame("round trip");
    int rc = 0;
    std::string text = printed(v, w.flags, w.cm, &rc, w.reply);
    if (rc == ZU_PRINT_REFUSED) continue;  // nested too deeply to print: nothing to read back
    if (rc != 0) differ(text, nullptr, w.flags, w.cm);
    ZU_SEXP* back = read_back(text, w.cm);
    bool bad = false;
    ZU_SEXP* got = back ? back->pair.car : nullptr;
    if (back && w.reply) got = replied(got, &bad);
    if (!back || bad || !same_value(v, got)) differ(text, back, w.flags, w.cm);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  {
    ZuThreadScope scope("fuzz");
    ZU_SEXP* l = open_fuzz_input(data, size);
    int n = 0;
    for (ZU_SEXP* p = l; get_type(p) == ZU_TYPE_LIST && n < 10000; p = p->pair.cdr, ++n) round_trip(p->pair.car);
  }
  // What the input made is freed before the next one: libFuzzer runs its
  // leak check after every input that leaves blocks behind, which the
  // collector would otherwise free only later.
  gc_collect_now();
  return 0;
}
