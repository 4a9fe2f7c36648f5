#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "reader_test_util.h"
#include "zu_test_util.h"

namespace {

class Reader : public ::testing::Test {
 protected:
  ZuThreadScope scope{"reader test"};
};

ZU_SEXP* nth(ZU_SEXP* l, int n) { return get_el(l, n); }
std::u32string name_of(ZU_SEXP* s) { return get_type(s) == ZU_TYPE_SYMBOL ? u32(sym_name(s)) : U"<not a symbol>"; }
std::u32string str_of(ZU_SEXP* s) { return get_type(s) == ZU_TYPE_STRING ? u32(str_text(s)) : U"<not a string>"; }
std::u32string attr(ZU_SEXP* sym, const char32_t* n) { return u32(get_sf_attribute(sym_field(sym), W(n))); }
std::string text(ZU_SEXP* s) { return print_str(s); }

}  // namespace

TEST_F(Reader, ListsAttributesAndDottedPairs) {
  ZU_SEXP* l = read_all(
      "(ArgOption name=\"z\" \"none\") (Define Order=\"Normal\" q (h x) x)\n(a . b) (a .b) (level <= 3) (F = V)");
  ZU_SEXP* opt = nth(l, 0);
  EXPECT_EQ(list_length(opt), 2);
  EXPECT_EQ(attr(car(opt), U"name"), U"z");
  EXPECT_EQ(str_of(nth(opt, 1)), U"none");
  EXPECT_EQ(attr(car(nth(l, 1)), U"Order"), U"Normal");
  EXPECT_EQ(text(nth(l, 1)), "([Define Order=\"Normal\"] q (h x) x)");
  EXPECT_EQ(text(nth(l, 2)), "(a .b)");
  EXPECT_EQ(cmp_sexp(nth(l, 2), nth(l, 3)), 0);
  EXPECT_EQ(name_of(nth(nth(l, 4), 1)), U"<=");
  EXPECT_EQ(name_of(nth(nth(l, 5), 1)), U"=");
  // Attributes keep source order; a bracketed symbol reads as itself.
  ZU_SEXP* s = read_one("([item id=\"3\" kind=\"a\"] k=\"b\")");
  ZU_SYM_FIELD* f = sym_field(car(s));
  ASSERT_TRUE(f && f->next && f->next->next);
  EXPECT_EQ(u32(f->name), U"id");
  EXPECT_EQ(u32(f->next->next->name), U"k");
}

TEST_F(Reader, NumbersAndUnits) {
  ZU_SEXP* l = read_one("(12km 1.500000km -0.5 4294967296 9223372036854775808 2D -x + 1e3 -9223372036854775808)");
  EXPECT_EQ(nth(l, 0)->integer.num, 12);
  EXPECT_EQ(u32(nth(l, 0)->integer.unit), U"km");
  EXPECT_EQ(get_type(nth(l, 1)), ZU_TYPE_FLOATING);
  EXPECT_EQ(nth(l, 1)->floating.num, 1.5);
  EXPECT_EQ(u32(nth(l, 1)->floating.unit), U"km");
  EXPECT_EQ(nth(l, 2)->floating.num, -0.5);
  EXPECT_EQ(nth(l, 2)->floating.unit, nullptr);
  EXPECT_EQ(nth(l, 3)->integer.num, 4294967296);
  EXPECT_EQ(get_type(nth(l, 4)), ZU_TYPE_FLOATING);  // beyond 64 bits
  EXPECT_EQ(u32(nth(l, 5)->integer.unit), U"D");
  EXPECT_EQ(name_of(nth(l, 6)), U"-x");
  EXPECT_EQ(name_of(nth(l, 7)), U"+");
  EXPECT_EQ(nth(l, 8)->floating.num, 1000.0);
  EXPECT_EQ(nth(l, 9)->integer.num, INT64_MIN);
}

TEST_F(Reader, StringEscapesAndReferences) {
  ZU_SEXP* l = read_one(
      "(\"a\\nb\\r\\t\\\\\\\"\" \"&amp;&lt;&gt;&quot;&apos;&#65;&#x42;&cx43;&Cx44;\" \"\\&cx41; &bogus; &cx41\" "
      "\"\\q\")");
  EXPECT_EQ(str_of(nth(l, 0)), U"a\nb\r\t\\\"");
  EXPECT_EQ(str_of(nth(l, 1)), U"&<>\"'ABCD");
  EXPECT_EQ(str_of(nth(l, 2)), U"&cx41; &bogus; &cx41");
  EXPECT_EQ(str_of(nth(l, 3)), U"\\q");  // an unknown escape is kept as written
}

TEST_F(Reader, ProtocolTextsReadAsTheirLists) {
  ZU_SEXP* l = read_all(
      "&cxdfff0001;\n<Permission>Allow</Permission>\n<Result> 12 (a b)</Result>\n<Cancel/>\n"
      "<LocalEval>3 (f)</LocalEval>\n(LocalEval 3 (f))\n"
      "<Lock type=\"x\" file=\"f\" line=\"3\" data=\"1\" seq=\"2\"> a&amp;b&lt;c\\\\d </Lock>\n"
      "<mxFinish\n\tnormal-jump-status=\"MS_OK\"\n\terr-jump-status=\"MS_PROCESS_ERR_1\"/>\n<mxLoad target=\"file\"/>\n");
  EXPECT_EQ(text(nth(l, 0)), "(Permission \"Allow\")");
  ZU_SEXP* res = nth(l, 1);
  EXPECT_EQ(text(res), "(Result 12 (a b))");
  EXPECT_EQ(get_type(nth(res, 1)), ZU_TYPE_INTEGER);
  EXPECT_EQ(text(nth(l, 2)), "(Cancel)");
  EXPECT_EQ(text(nth(l, 3)), "(LocalEval 3 (f))");
  EXPECT_EQ(cmp_sexp(nth(l, 3), nth(l, 4)), 0);
  ZU_SEXP* lock = nth(l, 5);
  EXPECT_EQ(attr(car(lock), U"seq"), U"2");
  EXPECT_EQ(str_of(nth(lock, 1)), U"a&b<c\\d");
  EXPECT_EQ(attr(car(nth(l, 6)), U"err-jump-status"), U"MS_PROCESS_ERR_1");
  EXPECT_EQ(attr(car(nth(l, 7)), U"target"), U"file");
  EXPECT_EQ(list_length(l), 8);
  // Text between tags is never a number with flag 32.
  EXPECT_EQ(get_type(nth(read_one("<R> 12 x</R>", ZU_FILE_NO_NUMBER), 1)), ZU_TYPE_STRING);
}

TEST_F(Reader, HtmlModeFoldsNamesAndClosesVoidAndOpenElements) {
  ZU_SEXP* l = read_all(
      "<!DOCTYPE html><html><body><!-- note --><p class=x>Hello <br>world<img src=\"a.png\" alt></p>"
      "<ul><li>a<li>b</ul></div></body></html>",
      utf8_cm, ZU_FILE_HTML | ZU_FILE_NO_NUMBER);
  EXPECT_EQ(list_length(l), 1);
  EXPECT_EQ(text(car(l)),
            "(HTML (BODY ([P CLASS=\"x\"] \"Hello\" (BR) \"world\" ([IMG SRC=\"a.png\" ALT=\"\"])) "
            "(UL (LI \"a\" (LI \"b\")))))");
  // An element left open ends with the input, without an error.
  EXPECT_EQ(text(read_all("<p>1 (x", utf8_cm, ZU_FILE_HTML)), "((P 1 \"(x\"))");
}

TEST_F(Reader, EndOfInputAndSyntaxErrors) {
  EXPECT_EQ(get_type(read_all("")), ZU_TYPE_NULL);
  EXPECT_EQ(list_length(read_all("a b  \n")), 2);
  // An unfinished form: the list ends with end of input.
  for (const char* t : {"(a b", "x \"abc", "<a>b", "#5#ab", "(a . "}) {
    ZU_SEXP* l = read_all(t);
    int n = list_length(l);
    ASSERT_GE(n, 1) << t;
    EXPECT_EQ(error_code(nth(l, n - 1)), ZU_ER_END_OF_INPUT) << t;
  }
  // Syntax errors are elements; reading goes on after them.
  ZU_SEXP* l = read_all(") (ok) <a></b> (1 a=\"x\") (a . b c) #3#abc! <x/>");
  EXPECT_EQ(error_code(nth(l, 0)), ZU_ER_PARSE_PAREN);
  EXPECT_EQ(text(nth(l, 1)), "(ok)");
  EXPECT_EQ(error_code(nth(l, 2)), ZU_ER_PARSE_TAG);
  ZU_SEXP* rest = l;
  int errors = 0;
  for (; get_type(rest) == ZU_TYPE_LIST; rest = cdr(rest)) errors += (error_code(car(rest)) >> 16) == 0x8002;
  EXPECT_GE(errors, 5);
  EXPECT_EQ(u32(nth(l, 0)->error->func), U"parse");
  // Nesting beyond the limit is refused, not followed down the stack.
  std::string deep(ZU_READ_MAX_DEPTH + 10, '(');
  EXPECT_EQ(error_code(car(read_all(deep))), ZU_ER_PARSE_DEPTH);
}

TEST_F(Reader, RawBytesAndErrorLiterals) {
  std::string bytes("#7#a\nb\0\xff(]]", 11);
  ZU_SEXP* l = read_all(bytes + "\nx");
  ZU_SEXP* raw = car(l);
  ASSERT_EQ(get_type(raw), ZU_TYPE_RAW);
  ASSERT_EQ(raw->raw.size, 7u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(raw->raw.data), 7), std::string("a\nb\0\xff(]", 7));
  EXPECT_EQ(nth(l, 1)->h.line, 3);  // line ends inside raw bytes count
  ZU_SEXP* e = read_one("#error(2147549441 \"peer\" \"s.zu\" 12 \"parse\" (\"end of input\"))");
  ASSERT_EQ(get_type(e), ZU_TYPE_ERROR);
  EXPECT_EQ(e->error->code, ZU_ER_END_OF_INPUT);
  EXPECT_EQ(u32(e->error->site), U"peer");
  EXPECT_EQ(u32(e->error->file->name), U"s.zu");
  EXPECT_EQ(e->error->line, 12);
  EXPECT_EQ(str_of(car(e->error->data)), U"end of input");
  EXPECT_EQ(error_code(read_one("#error(1 2)")), ZU_ER_PARSE_ERROR);
  // The code may be written in hexadecimal; a code that is no 32-bit error
  // code, 0 included, is refused.
  e = read_one("#error(0x80040503 \"s\" () 1 \"f\" ())");
  ASSERT_EQ(get_type(e), ZU_TYPE_ERROR);
  EXPECT_EQ(e->error->code, 0x80040503u);
  EXPECT_EQ(error_code(read_one("#error(0XfFfFfFfF \"s\" () 1 () ())")), 0xFFFFFFFFu);
  for (const char* code : {"0", "0x0", "0x", "-0x5", "+5", "-5", "5km", "0x100000000", "4294967296", "x5", "0x5g"}) {
    std::string t = std::string("#error(") + code + " \"s\" () 1 \"f\" ()) (ok)";
    ZU_SEXP* l = read_all(t);
    EXPECT_EQ(error_code(nth(l, 0)), ZU_ER_PARSE_ERROR) << t;
    EXPECT_EQ(text(nth(l, 1)), "(ok)") << t;
  }
}

// Words that would read as numbers but cannot print back as the same
// number are refused in list syntax and are text between tags.
TEST_F(Reader, NumbersThatCannotPrintBackAreRefused) {
  for (const std::string& t : {std::string("1e10e10"), std::string("2.5E-3e4"), std::string("1e999"),
                               std::string("-1e400km"), std::string(400, '9')}) {
    ZU_SEXP* l = read_all("(a " + t + ") (ok)");
    EXPECT_EQ(error_code(nth(l, 0)), ZU_ER_PARSE_NUMBER) << t;
    EXPECT_EQ(text(nth(l, 1)), "(ok)") << t;
    EXPECT_EQ(str_of(nth(read_one("<a>" + t + "</a>"), 1)), std::u32string(t.begin(), t.end()));
  }
  ZU_SEXP* l = read_one("(1e+ 12e 1.5e5x 1x1e5)");
  EXPECT_EQ(text(l), "(1e+ 12e 150000.000000x 1x1e5)");
}

// Attributes of any name the reader accepts print so that they read back.
TEST_F(Reader, OddAttributeNamesReadBackAsThemselves) {
  ZU_SEXP* s = read_one("(a x=y=\"1\" b]=\"2\" [c=\"3\" d&cx20;e=\"4\" f&cx26;cx41;=\"5\")");
  ASSERT_EQ(get_type(s), ZU_TYPE_LIST);
  std::string printed = text(s);
  ZU_SEXP* back = read_one(printed);
  EXPECT_EQ(cmp_sexp(back, s), 0) << printed;
  EXPECT_EQ(attr(car(back), U"x=y"), U"1");
  EXPECT_EQ(attr(car(back), U"[c"), U"3");
  EXPECT_EQ(attr(car(back), U"d e"), U"4");
  EXPECT_EQ(attr(car(back), U"f&cx41;"), U"5");
  std::string xml = print_str(s, ZU_PRINT_XML);
  EXPECT_EQ(cmp_sexp(read_one(xml), s), 0) << xml;
  std::string ascii = print_str(s, 0, ascii_cm);
  EXPECT_EQ(cmp_sexp(car(read_all(ascii, ascii_cm)), s), 0) << ascii;
}

// A head may carry many attributes (kept in source order, read in linear
// time), but not without bound: past the limit the form is refused whole.
TEST_F(Reader, AttributeCountsAreBounded) {
  auto attrs = [](int n) {
    std::string t;
    for (int i = 0; i < n; ++i) t += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
    return t;
  };
  ZU_SEXP* s = read_one("(f" + attrs(ZU_READ_MAX_ATTRS) + " x)");
  int n = 0;
  ZU_SYM_FIELD* last = nullptr;
  for (ZU_SYM_FIELD* f = sym_field(car(s)); f; f = f->next, ++n) last = f;
  EXPECT_EQ(n, ZU_READ_MAX_ATTRS);
  EXPECT_EQ(u32(sym_field(car(s))->name), U"a0");
  std::string lastv = std::to_string(ZU_READ_MAX_ATTRS - 1);
  EXPECT_EQ(u32(last->value), std::u32string(lastv.begin(), lastv.end()));
  std::string over = attrs(ZU_READ_MAX_ATTRS + 1);
  for (std::string t : {"(f" + over + " x)", "<f" + over + ">x</f>", "([f" + over + "] x)", "(f a=\"1\"" + over + ")"}) {
    ZU_SEXP* l = read_all(t + " (ok)");
    EXPECT_EQ(list_length(l), 2) << t.substr(0, 20);
    EXPECT_EQ(error_code(nth(l, 0)), ZU_ER_PARSE_ATTRIBUTE) << t.substr(0, 20);
    EXPECT_EQ(text(nth(l, 1)), "(ok)");
  }
}

// After a syntax error inside a form the reader skips the rest of that form:
// one error per form, however it goes wrong.
TEST_F(Reader, AnErrorInsideAFormSkipsToItsEnd) {
  const int over = ZU_READ_MAX_DEPTH + 100;
  std::string lists = std::string(over, '(') + std::string(over, ')');
  std::string tags;
  for (int i = 0; i < over; ++i) tags += "<a>";
  for (int i = 0; i < over; ++i) tags += "</a>";
  for (const std::string& t : {lists, tags, "(" + lists + " x)"}) {
    ZU_SEXP* l = read_all(t + "\n(ok)");
    EXPECT_EQ(list_length(l), 2);
    EXPECT_EQ(error_code(nth(l, 0)), ZU_ER_PARSE_DEPTH);
    EXPECT_EQ(text(nth(l, 1)), "(ok)");
  }
  ZU_SEXP* l = read_all(
      "(1 a=\"x\" (b)) (a . b \")\" c) <a><b x=1>y</b></a> <a>)</a> (#3#abcd) <a><b></c>x</a> (a)");
  for (int i = 0; i < 6; ++i) EXPECT_EQ(error_code(nth(l, i)) >> 16, 0x8002u) << i << ": " << text(nth(l, i));
  EXPECT_EQ(text(nth(l, 6)), "(a)");
  EXPECT_EQ(list_length(l), 7);
}


TEST_F(Reader, EncodingHeaderAppliesOnlyNearTheTop) {
  // "あい漢字" in EUC-JP after a header, in a stream opened as UTF-8.
  const std::string euc = "\"\xa4\xa2\xa4\xa4\xb4\xc1\xbb\xfa\"";
  ZU_SEXP* l = open_text("<?zu encoding=\"EUC-JP\"?>\n" + euc + "\n");
  EXPECT_EQ(set_encoding(l), 1);
  EXPECT_EQ(str_of(nth(l, 1)), U"あい漢字");
  EXPECT_EQ(sexp_file(l)->cm, eucjp_cm);
  // In third place the header is not applied.
  l = open_text("(a)\n(b)\n<?zu encoding=\"EUC-JP\"?>\n" + euc + "\n");
  EXPECT_EQ(set_encoding(l), 0);
  EXPECT_NE(str_of(nth(l, 3)), U"あい漢字");
  // An announcement in the byte stream switches at once.
  l = read_all("&cxdfff0003;\n" + euc + " &cxdfff0006;\"\xe3\x81\x82\"", ascii_cm);
  EXPECT_EQ(str_of(nth(l, 0)), U"あい漢字");
  EXPECT_EQ(str_of(nth(l, 1)), U"あ");
}

TEST_F(Reader, TheListIsReadOnlyAsFarAsItIsWalked) {
  STREAM* p[2];
  ASSERT_EQ(s_open_fpipe(p), 0);
  auto send = [&](const char* t) {
    s_write(p[0], t, static_cast<int>(std::strlen(t)));
    s_flush(p[0]);
  };
  send("(a b)\n(c");
  ZU_SEXP* l = init_parse(p[1], W(U"pipe"), nullptr);
  // The first form is complete: taking it must not wait for the second.
  EXPECT_EQ(text(car(l)), "(a b)");
  EXPECT_EQ(l->pair.cdr->h.type, ZU_TYPE_DELAY);
  EXPECT_EQ(check_delay(l->pair.cdr, 0), 4);  // "(c" is at hand
  send(" d)\n");
  d_s_close(p[0]);
  EXPECT_EQ(text(car(cdr(l))), "(c d)");
  EXPECT_EQ(get_type(cdr(cdr(l))), ZU_TYPE_NULL);
  EXPECT_EQ(car(cdr(l))->h.line, 2);
}

namespace {

// The most roots the reading thread held at any refill of the reader.
size_t g_most_roots = 0;
int note_roots(ZU_FILE*) {
  g_most_roots = std::max(g_most_roots, gc_root_mark());
  return 0;
}

// One large form of `n` members of every kind that builds lists: nested
// and dotted lists, elements with content, attributes on the head symbol.
std::string large_form(int n) {
  std::string t = "(big k=\"v\"";
  for (int i = 0; i < n; ++i) {
    std::string k = std::to_string(i);
    t += " (m" + k + " " + k + " \"s " + k + "\" 1.5km (n . " + k + ") <e a=\"" + k + "\">x " + k + "</e> [q k=\"" + k +
         "\"] ())";
  }
  return t + ")\n";
}

}  // namespace

// The values of a form in the making are held by the reader's member stack:
// reading one of any size takes a few roots of the thread, and collections
// in the middle of it (at every n-th allocation) free none of its values.
TEST_F(Reader, ALargeFormIsHeldByTheReaderNotByARootPerValue) {
  struct Case {
    int members;
    uint32_t every;
  } cases[] = {{300, 7}, {20000, 20011}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.members);
    std::string t = large_form(c.members);
    std::string want = text(read_one(t));
    ZU_SEXP* l = open_text(t);
    sexp_file(l)->admit_hook = note_roots;
    size_t before = gc_root_mark();
    g_most_roots = 0;
    gc_set_collect_every(c.every);
    ZU_SEXP* form = get_type(l) == ZU_TYPE_LIST ? l->pair.car : nullptr;
    gc_set_collect_every(0);
    EXPECT_EQ(list_length(form), c.members + 1);
    EXPECT_EQ(text(form), want);
    EXPECT_LT(g_most_roots - before, 64u);
  }
}
