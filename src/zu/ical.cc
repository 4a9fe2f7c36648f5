// iCalendar text into nested lists.
#include "zu/ical.h"

#include <string_view>
#include <vector>

#include "stream/stream.h"
#include "text/codemethod.h"

namespace {

constexpr size_t kMaxLine = size_t{1} << 20;  // codes in one unfolded line
constexpr size_t kMaxDepth = 64;              // nested components

using Text = std::vector<L_CHAR>;

L_CHAR fold_case(L_CHAR c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }

bool equal_nocase(const L_CHAR* a, size_t alen, const L_CHAR* b, size_t blen) {
  if (alen != blen) return false;
  for (size_t i = 0; i < alen; ++i)
    if (fold_case(a[i]) != fold_case(b[i])) return false;
  return true;
}

bool equal_nocase(const Text& a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (fold_case(a[i]) != static_cast<unsigned char>(b[i])) return false;
  return true;
}

Text zero_ended(Text t) {
  t.push_back(0);
  return t;
}

class CalReader {
 public:
  // Reads the stream to its end; the result or an error value.
  ZU_SEXP* run(STREAM* st, CODE_METHOD* cm);

 private:
  struct Component {
    Text name;
    std::vector<ZU_SEXP*> members;  // pinned by the caller's frame
  };
  struct Param {
    Text name;
    Text value;
  };

  ZU_SEXP* feed(L_CHAR c);
  ZU_SEXP* finish();
  ZU_SEXP* content_line(const Text& line, int lineno);
  ZU_SEXP* fail(uint32_t code, const char* reason, int lineno);

  Text line_;            // the logical line read so far
  bool ended_ = false;   // a physical line ended; a blank or tab continues it
  bool started_ = false; // the first code has been seen (a byte-order mark is dropped)
  int phys_ = 1;         // current physical line
  int logical_ = 1;      // where the logical line began
  std::vector<Component> stack_{Component{}};
};

ZU_SEXP* CalReader::fail(uint32_t code, const char* reason, int lineno) {
  return get_error_ascii(nullptr, lineno, code, "get_cal",
                         List(get_string_ascii(reason), get_integer(lineno, nullptr), ZU_LIST_END));
}

ZU_SEXP* CalReader::feed(L_CHAR c) {
  if (!started_) {
    started_ = true;
    if (c == 0xFEFF) return nullptr;
  }
  if (ended_) {
    ended_ = false;
    if (c == ' ' || c == '\t') return nullptr;  // folded: the line goes on
    ZU_SEXP* err = content_line(line_, logical_);
    line_.clear();
    logical_ = phys_;
    if (err) return err;
  }
  if (c == '\n') {
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    ++phys_;
    ended_ = true;
    return nullptr;
  }
  if (line_.size() >= kMaxLine) return fail(ZU_ER_PARAM, "line too long", logical_);
  line_.push_back(c);
  return nullptr;
}

ZU_SEXP* CalReader::finish() {
  if (!line_.empty() && line_.back() == '\r') line_.pop_back();
  if (ZU_SEXP* err = content_line(line_, logical_)) return err;
  line_.clear();
  if (stack_.size() > 1) return fail(ZU_ER_PARAM, "component not ended", phys_);
  ZU_SEXP* out = nullptr;
  const auto& top = stack_.front().members;
  for (auto it = top.rbegin(); it != top.rend(); ++it) out = cons(*it, out);
  return out;
}

ZU_SEXP* CalReader::content_line(const Text& line, int lineno) {
  if (line.empty()) return nullptr;
  const size_t n = line.size();
  size_t i = 0;
  while (i < n && line[i] != ';' && line[i] != ':') ++i;
  if (i == 0) return fail(ZU_ER_PARAM, "property name missing", lineno);
  Text name(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(i));

  std::vector<Param> params;
  while (i < n && line[i] == ';') {
    ++i;
    Param p;
    while (i < n && line[i] != '=' && line[i] != ';' && line[i] != ':') p.name.push_back(line[i++]);
    if (i < n && line[i] == '=') {
      ++i;
      while (i < n && line[i] != ';' && line[i] != ':') {
        if (line[i] != '"') {
          p.value.push_back(line[i++]);
          continue;
        }
        ++i;
        while (i < n && line[i] != '"') p.value.push_back(line[i++]);
        if (i == n) return fail(ZU_ER_PARAM, "unterminated quoted parameter", lineno);
        ++i;
      }
    }
    if (!p.name.empty()) params.push_back(std::move(p));
  }
  if (i == n) return fail(ZU_ER_PARAM, "colon missing", lineno);
  ++i;
  const L_CHAR* value = line.data() + i;
  const size_t vlen = n - i;

  if (equal_nocase(name, "BEGIN")) {
    if (stack_.size() > kMaxDepth) return fail(ZU_ER_PARAM, "components nested too deep", lineno);
    if (vlen == 0) return fail(ZU_ER_PARAM, "component name missing", lineno);
    stack_.push_back(Component{Text(value, value + vlen), {}});
    return nullptr;
  }
  if (equal_nocase(name, "END")) {
    if (stack_.size() == 1) return fail(ZU_ER_PARAM, "END without BEGIN", lineno);
    Component& c = stack_.back();
    if (!equal_nocase(c.name.data(), c.name.size(), value, vlen))
      return fail(ZU_ER_PARAM, "END of another component", lineno);
    ZU_SEXP* elem = nullptr;
    for (auto it = c.members.rbegin(); it != c.members.rend(); ++it) elem = cons(*it, elem);
    elem = cons(get_symbol_len(c.name.data(), c.name.size()), elem);
    stack_.pop_back();
    stack_.back().members.push_back(elem);
    return nullptr;
  }

  Text text;
  text.reserve(vlen);
  for (size_t k = 0; k < vlen; ++k) {
    L_CHAR ch = value[k];
    if (ch == '\\' && k + 1 < vlen) {
      ch = value[++k];
      if (ch == 'n' || ch == 'N') ch = '\n';
    }
    text.push_back(ch);
  }
  ZU_SEXP* sym = get_symbol_len(name.data(), name.size());
  // set_attribute puts each in front: go backwards to keep the written order.
  for (auto it = params.rbegin(); it != params.rend(); ++it)
    set_attribute(sym, zero_ended(it->name).data(), zero_ended(it->value).data());
  ZU_SEXP* str = get_string_len(text.data(), text.size());
  stack_.back().members.push_back(List(sym, str, ZU_LIST_END));
  return nullptr;
}

ZU_SEXP* CalReader::run(STREAM* st, CODE_METHOD* cm) {
  CM_WORK w;
  cm_work_init(&w, cm);
  unsigned char in[4096];
  L_CHAR out[1024];
  for (;;) {
    int got = s_read(st, in, sizeof in);
    if (got < 0) return fail(ZU_ER_END_OF_INPUT, "cannot read the stream", phys_);
    if (got == 0) break;
    size_t pos = 0;
    while (pos < static_cast<size_t>(got)) {
      size_t used = 0;
      size_t codes = cm_decode(&w, in + pos, static_cast<size_t>(got) - pos, out, std::size(out), &used);
      pos += used;
      for (size_t k = 0; k < codes; ++k)
        if (ZU_SEXP* err = feed(out[k])) return err;
    }
  }
  size_t codes = static_cast<size_t>(cm->end_internal(&w, out));
  for (size_t k = 0; k < codes; ++k)
    if (ZU_SEXP* err = feed(out[k])) return err;
  return finish();
}

}  // namespace

ZU_SEXP* get_cal(STREAM* st, CODE_METHOD* encoding) {
  init_longchar();
  GcFrame frame("get_cal");
  CalReader reader;
  ZU_SEXP* r = reader.run(st, encoding ? encoding : utf8_cm);
  return frame.keep(r, gc_qn_sexp);
}
