// Read, print, read again: a generated corpus of values in list and XML
// form, over UTF-8 and over ASCII (where characters travel as references).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "reader_test_util.h"
#include "zu/site.h"
#include "zu_test_util.h"

namespace {

bool same_text(const L_CHAR* a, const L_CHAR* b, bool null_is_empty) {
  if (null_is_empty) {
    if (!a || !*a) return !b || !*b;
  }
  if (!a || !b) return a == b;
  return l_strcmp(a, b) == 0;
}

}  // namespace

bool same_value(ZU_SEXP* a, ZU_SEXP* b) {
  int ta = get_type(a), tb = get_type(b);
  if (ta != tb) return false;
  switch (ta) {
    case ZU_TYPE_NULL:
      return true;
    case ZU_TYPE_LIST:
      return same_value(a->pair.car, b->pair.car) && same_value(a->pair.cdr, b->pair.cdr);
    case ZU_TYPE_INTEGER:
      return a->integer.num == b->integer.num && same_text(a->integer.unit, b->integer.unit, true);
    case ZU_TYPE_FLOATING:
      return a->floating.num == b->floating.num && same_text(a->floating.unit, b->floating.unit, true);
    case ZU_TYPE_ERROR: {
      ZU_ERROR *x = a->error, *y = b->error;
      const L_CHAR* fx = x->file ? x->file->name : nullptr;
      const L_CHAR* fy = y->file ? y->file->name : nullptr;
      return x->code == y->code && x->line == y->line && same_text(x->site, y->site, false) &&
             same_text(fx, fy, false) && same_text(x->func, y->func, false) && same_value(x->data, y->data);
    }
    default:
      return cmp_sexp(a, b) == 0;
  }
}

namespace {

class Gen {
 public:
  explicit Gen(uint32_t seed) : rng_(seed) {}

  ZU_SEXP* value(int depth) {
    int k = static_cast<int>(pick(depth > 3 ? 7 : 10));
    switch (k) {
      case 0: return integer();
      case 1: return floating();
      case 2: return get_string_len(text().data(), text_.size());
      case 3: return symbol();
      case 4: return raw();
      case 5: return nullptr;
      case 6: return error(depth);
      case 7: case 8: return element(depth);
      default: return plain_list(depth);
    }
  }

 private:
  uint64_t pick(uint64_t n) { return rng_() % n; }

  const L_CHAR* unit() {
    static const char32_t* const kUnits[] = {U"km", U"m/s", U"sec", U"dot", U"kg*m^2", U"メートル"};
    if (pick(3)) return nullptr;
    if (pick(2)) return W(kUnits[pick(6)]);
    // A letter (that no number reads as part of itself), then any text.
    std::vector<L_CHAR>& t = text();
    t.insert(t.begin(), pick(2) ? 'u' : 0x3042);
    t.push_back(0);
    return t.data();
  }
  ZU_SEXP* integer() {
    static const int64_t kEdge[] = {0, -1, 1, INT64_MIN, INT64_MAX, 4294967296};
    int64_t v = pick(4) == 0 ? kEdge[pick(6)] : static_cast<int64_t>(rng_()) >> pick(60);
    return get_integer(v, unit());
  }
  ZU_SEXP* floating() {
    // Multiples of 1/64 print exactly in six decimals.
    double v = static_cast<double>(static_cast<int64_t>(rng_() % (1ull << 40)) - (1ll << 39)) / 64.0;
    return get_floating(v, unit());
  }
  std::vector<L_CHAR>& text() {
    static const char32_t* const kBits[] = {U"a",  U"Z", U" ",   U"\"",   U"\\",  U"\n",     U"\r",   U"\t",
                                            U"&",  U"&amp;", U"&cx41;", U"<",  U">",  U"(",   U")", U"あ",
                                            U"漢字", U"😀", U"#3#", U"]", U"[", U"=\"", U"\\n", U"é"};
    text_.clear();
    for (uint64_t i = 0, n = pick(8); i < n; ++i) {
      if (pick(2)) {
        character();
        continue;
      }
      for (const char32_t* p = kBits[pick(24)]; *p; ++p) text_.push_back(*p);
    }
    return text_;
  }
  // One character of a class, or a piece of text that looks like part of a
  // reference, appended to text_.
  void character() {
    // Text that begins a reference, or is one, or ends one too early.
    static const char32_t* const kRefs[] = {U"&amp",  U"&amp;", U"&lt;",   U"&#38;", U"&#x26;", U"&cx26;",
                                            U"&cx",   U"&b",    U"&;",     U"&#",    U"&quot", U"&cxdfff0006;",
                                            U"a&b=2", U"& ",    U"&bc d", U"x&1",   U"a&b;",  U"&&"};
    // Characters readers or printers take specially, and white space.
    static const char32_t kSpecial[] = U"&;<>\"'\\()[]=#./?!- \t\n\r\x7f\x01\x1b\x0e\x0f\u0085\u008e\u00a0\ufeff";
    // Ranges: Latin-1, Greek, Cyrillic, kana, kanji (JIS X 0208), a JIS X
    // 0212 kanji, half-width kana, symbols outside every legacy set, and
    // beyond the basic plane.
    static const char32_t kRanges[][2] = {{0xa1, 0xff},       {0x391, 0x3c9},   {0x410, 0x44f},
                                          {0x3041, 0x3093},   {0x30a1, 0x30f6}, {0x4e00, 0x4e5f},
                                          {0x4e02, 0x4e02},   {0xff61, 0xff9f}, {0x2600, 0x26ff},
                                          {0x1f600, 0x1f64f}, {0x20000, 0x2a6d6}};
    switch (pick(4)) {
      case 0:
        for (const char32_t* p = kRefs[pick(std::size(kRefs))]; *p; ++p) text_.push_back(*p);
        return;
      case 1:
        text_.push_back(kSpecial[pick(std::size(kSpecial) - 1)]);
        return;
      case 2:
        text_.push_back(static_cast<L_CHAR>(0x20 + pick(0x5f)));
        return;
      default: {
        const char32_t* r = kRanges[pick(std::size(kRanges))];
        text_.push_back(static_cast<L_CHAR>(r[0] + pick(r[1] - r[0] + 1)));
      }
    }
  }
  ZU_SEXP* symbol(bool tag = false) {
    static const char32_t* const kTags[] = {U"tag", U"Result", U"a-b.c", U"x_1", U"ひらがな", U"ns:item"};
    static const char32_t* const kOdd[] = {U"+",   U"<=",   U"?x", U"12km", U".dot", U"#h",       U"[x]",
                                           U"a b", U"&cx41;", U"x=\"y", U"-", U"-5", U"", U"a&amp;b", U"."};
    ZU_SEXP* s = tag || pick(3) ? get_symbol(W(tag || pick(2) ? kTags[pick(6)] : kOdd[pick(15)])) : get_symbol(name());
    static const char32_t* const kNames[] = {U"a", U"id", U"kind", U"x.y", U"path-type"};
    for (uint64_t i = 0, n = pick(3); i < n; ++i) {
      WString attr = tag || pick(3) ? WString(W(kNames[pick(5)])) : WString(name());
      std::vector<L_CHAR>& t = text();
      t.push_back(0);
      set_attribute(s, attr.c_str(), t.data());
    }
    return s;
  }
  // A name of random text (never empty).
  const L_CHAR* name() {
    std::vector<L_CHAR>& t = text();
    if (t.empty()) character();
    t.push_back(0);
    return t.data();
  }
  ZU_SEXP* raw() {
    std::vector<uint8_t> b(pick(40));
    for (auto& c : b) c = static_cast<uint8_t>(rng_());
    return get_raw(b.data(), static_cast<uint32_t>(b.size()));
  }
  ZU_SEXP* error(int depth) {
    static const uint32_t kCodes[] = {ZU_ER_END_OF_INPUT, ZU_ER_TYPE, ZU_ER_USER, ZU_ER_PARAM, 0x8004051d};
    ZU_FILE* f = nullptr;
    if (pick(2)) {
      f = new_zu_file(W(U"/srv/a b/script.zu"), nullptr);
      close_zu_file(f);
    }
    ZU_SEXP* e = get_error(f, static_cast<int>(pick(1000)), kCodes[pick(5)], pick(4) ? W(U"Remote") : nullptr,
                           value(depth + 1));
    e->error->site = zu_intern_site(pick(2) ? W(U"peer.example") : W(U"サイト"));
    return e;
  }
  ZU_SEXP* members(int depth, ZU_SEXP* tail) {
    std::vector<ZU_SEXP*> v;
    for (uint64_t i = 0, n = pick(5); i < n; ++i) v.push_back(value(depth + 1));
    ZU_SEXP* l = tail;
    for (size_t i = v.size(); i-- > 0;) l = cons(v[i], l);
    return l;
  }
  ZU_SEXP* element(int depth) { return cons(symbol(true), members(depth, nullptr)); }
  ZU_SEXP* plain_list(int depth) {
    ZU_SEXP* tail = nullptr;
    if (pick(3) == 0) {
      do tail = value(depth + 1);
      while (get_type(tail) == ZU_TYPE_LIST || get_type(tail) == ZU_TYPE_NULL);
    }
    ZU_SEXP* first = value(depth + 1);
    return cons(first, members(depth, tail));
  }

  std::mt19937_64 rng_;
  std::vector<L_CHAR> text_;
};

struct Case {
  int flags;
  CODE_METHOD* cm;
  const char* name;
};

class RoundTrip : public ::testing::TestWithParam<Case> {
 protected:
  ZuThreadScope scope{"round trip"};
};

}  // namespace

TEST_P(RoundTrip, GeneratedValuesReadBackEqual) {
  const Case c = GetParam();
  Gen g(0x5eed + static_cast<uint32_t>(c.flags) * 7 + (c.cm == ascii_cm ? 1 : 0));
  for (int i = 0; i < 400; ++i) {
    GcFrame frame("case");
    ZU_SEXP* v = g.value(0);
    std::string text = print_str(v, c.flags, c.cm);
    ZU_SEXP* back = read_all(text, c.cm);
    ASSERT_EQ(get_type(back), ZU_TYPE_LIST) << text;
    ASSERT_TRUE(same_value(back->pair.car, v)) << "case " << i << ": " << text << "\nread back as: "
                                               << print_str(back->pair.car, c.flags, c.cm);
    EXPECT_EQ(get_type(back->pair.cdr), ZU_TYPE_NULL);
    // Printing what was read gives the same text again.
    EXPECT_EQ(print_str(back->pair.car, c.flags, c.cm), text);
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, RoundTrip,
                         ::testing::Values(Case{ZU_PRINT_LIST, utf8_cm, "ListUtf8"}, Case{ZU_PRINT_XML, utf8_cm, "XmlUtf8"},
                                           Case{ZU_PRINT_LIST | ZU_PRINT_INDENT, utf8_cm, "IndentedListUtf8"},
                                           Case{ZU_PRINT_XML | ZU_PRINT_INDENT, ascii_cm, "IndentedXmlAscii"},
                                           Case{ZU_PRINT_LIST, ascii_cm, "ListAscii"}),
                         [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

TEST(RoundTripMany, SeveralFormsInOneTextKeepTheirOrderAndLines) {
  ZuThreadScope scope("many");
  Gen g(99);
  std::vector<ZU_SEXP*> vs;
  std::string text;
  for (int i = 0; i < 50; ++i) {
    vs.push_back(g.value(1));
    text += print_str(vs.back(), i % 2 ? ZU_PRINT_XML : 0) + "\n";
  }
  ZU_SEXP* l = read_all(text);
  int i = 0;
  int last_line = 0;
  for (ZU_SEXP* p = l; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr, ++i) {
    ASSERT_LT(i, 50);
    ASSERT_TRUE(same_value(p->pair.car, vs[static_cast<size_t>(i)]))
        << i << ": " << print_str(vs[static_cast<size_t>(i)]) << "\nread: " << print_str(p->pair.car);
    if (p->pair.car) {
      EXPECT_GT(p->pair.car->h.line, last_line);
      last_line = p->pair.car->h.line;
    }
  }
  EXPECT_EQ(i, 50);
}

namespace {

// The text of v as a link carries it in cm: a reply "<Result> 7 " value
// "</Result>\n" (the value as an element's member), or a query, the value
// and a line end.
std::string link_text(ZU_SEXP* v, int flags, CODE_METHOD* cm, bool reply) {
  STREAM* st = s_open_string_write(cm);
  if (reply) s_printf(st, "<Result> 7 ");
  print_sexp(st, v, reply ? flags | ZU_PRINT_MEMBER : flags);
  s_printf(st, reply ? "</Result>\n" : "\n");
  std::string out(s_get_string(st), static_cast<size_t>(s_get_string_len(st)));
  d_s_close(st);
  return out;
}

// What the peer made of a reply (the value in (Result 7 value)) or of a
// query (the form itself); null in *bad when the form has another shape.
ZU_SEXP* received(ZU_SEXP* form, bool reply, bool* bad) {
  *bad = false;
  if (!reply) return form;
  *bad = get_type(form) != ZU_TYPE_LIST || list_length(form) != 3 || get_type(form->pair.car) != ZU_TYPE_SYMBOL ||
         zu_wcmp_ascii(sym_name(form->pair.car), "Result") != 0 || !same_value(get_el(form, 1), I(7));
  return *bad ? nullptr : get_el(form, 2);
}

// Bytes as a failure message shows them: control bytes and line ends
// escaped, so that raw values and any encoding leave the message whole.
std::string visible(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c != 0x7f) {
      out += static_cast<char>(c);
    } else {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02x", c);
      out += b;
    }
  }
  return out;
}

class LinkRoundTrip : public ::testing::TestWithParam<const char*> {};

}  // namespace

// Values cross a link as they were sent, in each encoding the agent reads
// and writes: each generated value is printed as a link prints it (replies
// and queries, list and XML form) and written to a pipe whose writer stays
// open, and the reader on its other end, as the peer reads it, must give
// the value back equal from that line alone: a reader that waits past its
// line finds the pipe silent and fails at its read guard.
TEST_P(LinkRoundTrip, ValuesReadBackEqualFromTheirLineAlone) {
  ZuThreadScope scope("link round trip");
  CODE_METHOD* cm = search_cm(GetParam());
  ASSERT_NE(cm, nullptr);
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  STREAM* in = s_open_descripter(p[0], nullptr);
  ASSERT_NE(in, nullptr);
  s_set_cm(in, cm);
  s_set_read_guard(in, 2);
  ZU_SEXP* next = init_parse(in, W(U"link"), nullptr);
  const uint32_t seed = 0x84a0 + static_cast<uint32_t>(cm->lccode & 0xff);
  Gen g(seed);
  std::string before;  // the line sent before, where a reader may have read on
  for (int i = 0; i < 300; ++i) {
    GcFrame frame("link case");
    ZU_SEXP* v = g.value(0);
    const bool reply = i % 2 == 0;
    const int flags = i % 4 < 2 ? ZU_PRINT_LIST : ZU_PRINT_XML;
    std::string text = link_text(v, flags, cm, reply);
    const std::string what = "seed " + std::to_string(seed) + " case " + std::to_string(i) + " (" +
                             (reply ? "reply" : "query") + "): " + visible(print_str(v, flags, utf8_cm)) +
                             "\nsent as: " + visible(text) + "\nafter: " + visible(before);
    ASSERT_LT(text.size(), 60000u) << what;  // the pipe holds it whole
    ASSERT_EQ(write(p[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ASSERT_EQ(get_type(next), ZU_TYPE_LIST) << what;
    bool bad;
    ZU_SEXP* back = received(next->pair.car, reply, &bad);
    ASSERT_TRUE(!bad && same_value(back, v))
        << what << "\nread back as: " << visible(print_str(next->pair.car, flags, utf8_cm));
    next = next->pair.cdr;
    before = std::move(text);
  }
  close(p[1]);
  EXPECT_EQ(get_type(next), ZU_TYPE_NULL);
}

INSTANTIATE_TEST_SUITE_P(Encodings, LinkRoundTrip,
                         ::testing::Values("ASCII", "ISO-8859-1", "EUC-JP", "Shift_JIS", "ISO-2022-JP", "UTF-8",
                                           "UTF-16", "EXTUCS-4", "INTERNAL"),
                         [](const ::testing::TestParamInfo<const char*>& i) {
                           std::string n;
                           for (const char* c = i.param; *c; ++c)
                             if (std::isalnum(static_cast<unsigned char>(*c))) n += *c;
                           return n;
                         });
