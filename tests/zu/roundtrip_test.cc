// Read, print, read again: a generated corpus of values in list and XML
// form, over UTF-8 and over ASCII (where characters travel as references).
#include <gtest/gtest.h>

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
    return pick(3) == 0 ? W(kUnits[pick(6)]) : nullptr;
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
    for (uint64_t i = 0, n = pick(8); i < n; ++i)
      for (const char32_t* p = kBits[pick(24)]; *p; ++p) text_.push_back(*p);
    return text_;
  }
  ZU_SEXP* symbol(bool tag = false) {
    static const char32_t* const kTags[] = {U"tag", U"Result", U"a-b.c", U"x_1", U"ひらがな", U"ns:item"};
    static const char32_t* const kOdd[] = {U"+",   U"<=",   U"?x", U"12km", U".dot", U"#h",       U"[x]",
                                           U"a b", U"&cx41;", U"x=\"y", U"-", U"-5", U"", U"a&amp;b", U"."};
    ZU_SEXP* s = get_symbol(W(tag || pick(2) ? kTags[pick(6)] : kOdd[pick(15)]));
    static const char32_t* const kNames[] = {U"a", U"id", U"kind", U"x.y", U"path-type"};
    for (uint64_t i = 0, n = pick(3); i < n; ++i) {
      std::vector<L_CHAR>& t = text();
      t.push_back(0);
      set_attribute(s, W(kNames[pick(5)]), t.data());
    }
    return s;
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
