#include <gtest/gtest.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>

#include "reader_test_util.h"
#include "zu/convert.h"
#include "zu/env.h"
#include "zu/site.h"
#include "zu_test_util.h"

namespace {

class Printer : public ::testing::Test {
 protected:
  ZuThreadScope scope{"printer test"};
};

ZU_SEXP* sym_with(const char* name, std::initializer_list<std::pair<const char32_t*, const char32_t*>> attrs) {
  ZU_SEXP* s = S(name);
  // set_attribute puts each in front: add them last first.
  for (auto it = std::rbegin(attrs); it != std::rend(attrs); ++it) set_attribute(s, W(it->first), W(it->second));
  return s;
}

std::string to_utf8(const std::string& bytes, const char* from) { return iconv_text(bytes, from, "UTF-8"); }

}  // namespace

TEST_F(Printer, ListFormTextOfEachType) {
  EXPECT_EQ(print_str(nullptr), "()");
  EXPECT_EQ(print_str(cons(S("a"), S("b"))), "(a .b)");
  EXPECT_EQ(print_str(List(I(1), get_string(W(U"a\nb")), ZU_LIST_END)), "(1 \"a\\nb\")");
  EXPECT_EQ(print_str(get_string(W(U"q\"\\&amp; &x<>"))), "\"q&quot;\\\\&amp;amp; &amp;x&lt;&gt;\"");
  EXPECT_EQ(print_str(get_symbol(W(U"a&b"))), "[\"a&amp;b\"]");
  EXPECT_EQ(print_str(get_integer(12, W(U"km"))), "12km");
  EXPECT_EQ(print_str(get_floating(2.5, nullptr)), "2.500000");
  EXPECT_EQ(print_str(get_floating(-1.5, W(U"sec"))), "-1.500000sec");
  EXPECT_EQ(print_str(sym_with("item", {{U"id", U"3"}, {U"kind", U"a"}})), "[item id=\"3\" kind=\"a\"]");
  EXPECT_EQ(print_str(get_symbol(W(U"a b"))), "[\"a b\"]");
  EXPECT_EQ(print_str(get_symbol(W(U"12km"))), "[\"12km\"]");
  EXPECT_EQ(print_str(get_raw("abc", 3)), "#3#abc]");
  EXPECT_EQ(print_str(get_raw("abc", 3), ZU_PRINT_RAW_SIZE), "#3#]");
  EXPECT_EQ(print_str(get_raw(std::string(300, 'x').data(), 300), ZU_PRINT_RAW_SIZE), "#12c#]");
  ZU_SEXP* e = get_error_ascii(nullptr, 7, ZU_ER_TYPE, "car", list(get_string_ascii("type missmatch")));
  e->error->site = zu_intern_site(W(U"here"));
  EXPECT_EQ(print_str(e), "#error(2147682310 \"here\" () 7 \"car\" (\"type missmatch\"))");
  EXPECT_EQ(print_str(get_func_prim(nullptr, 1, nullptr, 1, 1)).rfind("[prim:0x", 0), 0u);
  EXPECT_EQ(print_str(get_env(new_env(nullptr))).rfind("[env:0x", 0), 0u);
  EXPECT_EQ(print_str(get_ptr(nullptr, nullptr)), "[ptr:0x0]");
  // Characters the stream cannot express travel as references.
  EXPECT_EQ(print_str(get_string(W(U"あ")), 0, ascii_cm), "\"&cx3042;\"");
}

TEST_F(Printer, XmlHtmlAndLayoutFlags) {
  ZU_SEXP* res = List(S("Result"), I(12), List(S("a"), S("b"), ZU_LIST_END), ZU_LIST_END);
  EXPECT_EQ(print_str(res, ZU_PRINT_XML), "<Result>12 <a>[b]</a></Result>");
  ZU_SEXP* perm = List(S("Permission"), Str("Allow"), ZU_LIST_END);
  EXPECT_EQ(print_str(perm, ZU_PRINT_XML), "<Permission>\"Allow\"</Permission>");
  EXPECT_EQ(print_str(perm, ZU_PRINT_XML | ZU_PRINT_TEXT), "<Permission>Allow</Permission>");
  EXPECT_EQ(print_str(List(Str("a<b&c"), ZU_LIST_END), ZU_PRINT_XML | ZU_PRINT_TEXT), "(\"a&lt;b&amp;c\")");
  EXPECT_EQ(print_str(List(S("T"), Str("a<b&c"), ZU_LIST_END), ZU_PRINT_XML | ZU_PRINT_TEXT), "<T>a&lt;b&amp;c</T>");
  EXPECT_EQ(print_str(list(sym_with("?xml", {{U"encoding", U"UTF-8"}})), ZU_PRINT_XML), "<?xml encoding=\"UTF-8\"?>");
  EXPECT_EQ(print_str(list(S("Cancel")), ZU_PRINT_XML), "<Cancel/>");
  EXPECT_EQ(print_str(List(S("P"), list(S("BR")), list(S("DIV")), ZU_LIST_END), ZU_PRINT_HTML), "<P><BR> <DIV></DIV></P>");
  // A head that cannot be a tag stays in list form.
  EXPECT_EQ(print_str(List(S("+"), I(1), ZU_LIST_END), ZU_PRINT_XML), "(+ 1)");
  EXPECT_EQ(print_str(List(S("a"), list(S("b")), Str("t"), ZU_LIST_END), ZU_PRINT_XML | ZU_PRINT_INDENT),
            "<a>\n  <b/>\n  \"t\"\n</a>");
  EXPECT_EQ(print_str(List(S("f"), List(S("g"), I(1), ZU_LIST_END), ZU_LIST_END), ZU_PRINT_INDENT), "(f\n  (g 1))");
  EXPECT_EQ(print_str(List(I(1), list(S("x")), ZU_LIST_END), ZU_PRINT_MULTIROOT), "1\n(x)\n");
  EXPECT_EQ(print_str(cons(I(1), I(2)), ZU_PRINT_MULTIROOT), "1\n2\n");
}

// A value the printer cannot print whole (cyclic, or nested too deeply) is
// refused before anything is written.
TEST_F(Printer, RefusesUnusableStreamsAndUnprintableValuesWritingNothing) {
  EXPECT_EQ(print_sexp(nullptr, I(1), 0), -1);
  ZU_SEXP* c = List(I(1), I(2), ZU_LIST_END);
  c->pair.cdr->pair.cdr = c;
  ZU_SEXP* deep = nullptr;
  for (int i = 0; i < 6000; ++i) deep = list(deep);
  ZU_SEXP* deep_error = get_error_ascii(nullptr, 0, ZU_ER_TYPE, "f", deep);
  ZU_SEXP* long_head = List(Str(std::string(10000, 'x').c_str()), c, ZU_LIST_END);
  for (ZU_SEXP* v : {c, deep, deep_error, long_head}) {
    for (int flags : {0, ZU_PRINT_MULTIROOT, ZU_PRINT_XML | ZU_PRINT_INDENT}) {
      int rc = 0;
      EXPECT_EQ(print_str(v, flags, utf8_cm, &rc), "");
      EXPECT_EQ(rc, ZU_PRINT_REFUSED);
    }
  }
  int rc = 0;
  EXPECT_EQ(print_str(cdr(deep), 0, utf8_cm, &rc), "()");  // a value within the limit prints
  EXPECT_EQ(rc, 0);
}

TEST_F(Printer, CodeSetSurveyAndUrlCopies) {
  CS_WORK w{nullptr, -1, 0};
  ZU_SEXP* v = List(get_string(W(U"aあい漢")), sym_with("x", {{U"k", U"😀"}}), get_integer(1, W(U"メ")), ZU_LIST_END);
  cs_sexp(&w, v);
  ASSERT_NE(w.head, nullptr);
  EXPECT_EQ(w.head->code_set, eucjp_cm->lccode);
  EXPECT_EQ(w.head->count, 4);
  ASSERT_NE(w.head->next, nullptr);
  EXPECT_EQ(w.head->next->code_set, utf8_cm->lccode);
  free_cs_work(&w);
  CS_WORK b{nullptr, 2, 0};  // only two characters examined
  cs_sexp(&b, v);
  EXPECT_EQ(b.head->count, 1);
  free_cs_work(&b);
  // Without forcing, a lazy list shows nothing.
  ZU_SEXP* lazy = open_text("\"あ\"");
  CS_WORK m{nullptr, -1, 0};
  cs_sexp_on_mem(&m, lazy);
  EXPECT_EQ(m.head, nullptr);
  cs_sexp(&m, lazy);
  EXPECT_NE(m.head, nullptr);
  free_cs_work(&m);

  URL u{};
  ASSERT_EQ(get_url2(&u, W(U"http://srv:81/@ag/db/res?q#n")), 0);
  URL* c = mcopy_url(&u);
  free_url(&u);
  gc_collect_now();  // the copy is pinned in this frame with its texts
  EXPECT_EQ(u32(c->server), U"srv");
  EXPECT_EQ(u32(c->resource), U"res");
  EXPECT_EQ(c->port, 81);
}

TEST(Site, NameAddressAndLoopbackFallback) {
  EXPECT_NE(get_zulisp_site(), nullptr);
  HOST_ADDR a{};
  EXPECT_EQ(get_zulisp_site_ip(&a), 0);
  EXPECT_EQ(a.type, 4);
  EXPECT_EQ(set_zulisp_site("no-such-host.invalid"), -1);
  ASSERT_EQ(set_zulisp_site("localhost"), 0);
  EXPECT_EQ(u32(get_zulisp_site()), U"localhost");
  get_zulisp_site_ip(&a);
  EXPECT_EQ(a.addr[0], 127);
  EXPECT_EQ(zu_intern_site(W(U"peer")), zu_intern_site(W(U"peer")));
}

// Numbers are written as printf writes "%f" and "%" PRId64, through the
// printer's own encoder (UTF-8) and through the stream's (UTF-16).
TEST_F(Printer, NumbersAsPrintfWritesThem) {
  const double inf = std::numeric_limits<double>::infinity();
  const double kDoubles[] = {0.0,  -0.0, 2.5,  -1.5,    0.0000005, 0.0000015, 1e22, 1e300, -1.7976931348623157e308,
                             4.9e-324, 123456789.1234565, inf, -inf, std::nan("")};
  for (double d : kDoubles) {
    char want[400];
    std::snprintf(want, sizeof want, "%f", d);
    ZU_SEXP* v = get_floating(d, nullptr);
    EXPECT_EQ(print_str(v), want);
    EXPECT_EQ(to_utf8(print_str(v, 0, search_cm("UTF-16")), "UTF-16BE"), want);
  }
  for (int64_t n : {int64_t{0}, int64_t{-1}, int64_t{12}, INT64_MAX, INT64_MIN}) {
    char want[32];
    std::snprintf(want, sizeof want, "%" PRId64 "km", n);
    EXPECT_EQ(print_str(get_integer(n, W(U"km"))), want);
  }
}

// Long output, several buffers of it, reads the same whichever side
// encodes it: the printer itself (UTF-8, EUC-JP) or the stream (UTF-16,
// ISO-2022-JP), characters the encoding lacks written as references alike.
TEST_F(Printer, LongOutputIsTheSameWhicheverSideEncodesIt) {
  auto tree = [](const char32_t* text, const char32_t* unit) {
    ZU_SEXP* l = nullptr;
    for (int i = 0; i < 300; ++i) {
      ZU_SEXP* sym = get_symbol(W(U"item"));
      set_attribute(sym, W(U"name"), W(text));
      ZU_SEXP* m = List(sym, get_string(W(text)), get_integer(i, W(U"k m")), get_floating(i / 3.0, W(unit)),
                        S("a b"), cons(S("x"), S("y")), ZU_LIST_END);
      l = cons(m, l);
    }
    return cons(S("Result"), l);
  };
  // UTF-8 against UTF-16 with any character; the JIS pair with those of
  // JIS X 0208 (iconv's ISO-2022-JP has no other set) and one of neither.
  ZU_SEXP* any = tree(U"t\u00e9xt &amp; <b> \\ \"q\" \U0001F600 \u65e5", U"\u00b5s");
  ZU_SEXP* jis = tree(U"text &amp; <b> \\ \"q\" \U0001F600 \u65e5\u672c", U"\u30e1");
  for (int flags : {ZU_PRINT_LIST, ZU_PRINT_XML, ZU_PRINT_XML | ZU_PRINT_INDENT, ZU_PRINT_HTML | ZU_PRINT_TEXT}) {
    std::string direct = print_str(any, flags, utf8_cm);
    ASSERT_GT(direct.size(), 3u * 4096);
    EXPECT_TRUE(to_utf8(print_str(any, flags, search_cm("UTF-16")), "UTF-16BE") == direct) << flags;
    std::string euc = to_utf8(print_str(jis, flags, eucjp_cm), "EUC-JP");
    EXPECT_NE(euc.find("&cx1f600;"), std::string::npos);
    EXPECT_TRUE(euc == to_utf8(print_str(jis, flags, search_cm("ISO-2022-JP")), "ISO-2022-JP")) << flags;
  }
}

// A stream that cannot be written: nothing printed, the error says why.
TEST_F(Printer, AStreamThatCannotBeWrittenGivesItsError) {
  STREAM* in = s_open_string_read("x", utf8_cm, 1, 1);
  int err = 0;
  EXPECT_EQ(e_print_sexp(in, &err, List(Str(std::string(10000, 'a').c_str()), ZU_LIST_END), 0), -1);
  EXPECT_EQ(err, EBADF);
  d_s_close(in);
}
