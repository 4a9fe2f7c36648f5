// ZU values in association files: a value is stored as its printed list
// form in the file's encoding and read back with the ZU reader.
//
// These run on a thread doing ZU work (holding the memory lock); what they
// make is pinned in the caller's top collector frame.
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "store/assoc64.h"
#include "stream/stream.h"
#include "text/codemethod.h"
#include "zu/file.h"
#include "zu/printer.h"
#include "zu/reader.h"
#include "zu/value.h"

namespace {

// The stored text of a body: up to its first zero code unit (the whole
// body when it has none).
std::string_view stored_text(const std::string& body, int unit) {
  size_t u = unit == 2 || unit == 4 ? static_cast<size_t>(unit) : 1;
  size_t i = 0;
  for (; i + u <= body.size(); i += u) {
    bool zero = true;
    for (size_t j = 0; j < u; ++j) zero = zero && body[i + j] == '\0';
    if (zero) return std::string_view(body.data(), i);
  }
  return std::string_view(body.data(), i);
}

ZU_SEXP* damaged(const char* why) {
  return get_error_ascii(nullptr, 0, ZU_ER_OPEN, "associate", list(get_string_ascii(why)));
}

int print_value(ZU_SEXP* v, const char* encoding, std::string* out) {
  CODE_METHOD* cm = encoding ? search_cm(encoding) : nullptr;
  if (!cm || !out) return -1;
  STREAM* st = s_open_string_write(cm);
  if (!st) return -1;
  int rc = print_sexp(st, v, ZU_PRINT_LIST);
  int len = s_get_string_len(st);
  if (rc == 0 && len >= 0) {
    out->assign(s_get_string(st), static_cast<size_t>(len));
    out->append(static_cast<size_t>(cm->unit > 0 ? cm->unit : 1), '\0');
  }
  d_s_close(st);
  return rc == 0 && len >= 0 ? 0 : -1;
}

// The first form of one stored text; nil for an empty text, the reader's
// error for text that does not read.
ZU_SEXP* read_text(const std::string& body, CODE_METHOD* cm, const L_CHAR* label) {
  std::string_view t = stored_text(body, cm->unit);
  STREAM* st = s_open_string_read(t.data(), cm, static_cast<int>(t.size()), 1);
  if (!st) return damaged("cannot read the stored value");
  ZU_SEXP* forms = init_parse(st, label, label);
  if (get_type(forms) == ZU_TYPE_ERROR) return forms;
  ZU_SEXP* v = get_type(forms) == ZU_TYPE_LIST ? forms->pair.car : nullptr;
  if (ZU_FILE* f = sexp_file(forms)) close_zu_file(f);
  return v;
}

struct Label {
  L_CHAR text[32];
  explicit Label(const char* s) {
    size_t i = 0;
    for (; s && s[i] && i + 1 < std::size(text); ++i) text[i] = static_cast<unsigned char>(s[i]);
    text[i] = 0;
  }
};

bool fits(const std::string& body) { return body.size() < static_cast<size_t>(INT32_MAX); }

ZU_SEXP* read_value(const std::string& body, const char* encoding, const char* label) {
  CODE_METHOD* cm = encoding ? search_cm(encoding) : nullptr;
  if (!cm || !fits(body)) return damaged("unreadable stored value");
  GcFrame frame("associate");
  Label l(label);
  return frame.keep(read_text(body, cm, l.text), gc_qn_sexp);
}

ZU_SEXP* read_values(const std::vector<std::string>& bodies, const char* encoding, const char* label) {
  if (bodies.empty()) return nullptr;
  CODE_METHOD* cm = encoding ? search_cm(encoding) : nullptr;
  if (!cm) return damaged("unreadable stored value");
  GcFrame frame("associate");
  Label l(label);
  ZU_SEXP* head = nullptr;
  ZU_SEXP* tail = nullptr;
  for (const std::string& b : bodies) {
    ZU_SEXP* v = fits(b) ? read_text(b, cm, l.text) : damaged("unreadable stored value");
    ZU_SEXP* cell = cons(v, nullptr);
    if (tail)
      tail->pair.cdr = cell;
    else
      head = cell;
    tail = cell;
  }
  return frame.keep(head, gc_qn_sexp);
}

ZU_SEXP* damaged_value(int) { return damaged("damaged association record"); }

const ASSOC64_VALUE_OPS kZuValueOps{print_value, read_values, read_value, damaged_value};

}  // namespace

void init_assoc64_zu() { set_assoc64_value_ops(&kZuValueOps); }
