// The reader's fast paths (runs of plain bytes taken from its buffer, the
// token stack, the cache of names, numbers without the C library) against
// its character-by-character path, which UTF-16 input always takes.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdlib>
#include <string>
#include <vector>

#include "reader_test_util.h"
#include "zu_test_util.h"

namespace {

class ReaderRuns : public ::testing::Test {
 protected:
  ZuThreadScope scope{"reader runs test"};
};

std::string convert(const std::string& utf8, const char* to) { return iconv_text(utf8, "UTF-8", to); }

// Lines of a value and of everything in it, depth first.
void lines_of(ZU_SEXP* s, std::vector<int>& out) {
  if (!s) return;
  out.push_back(s->h.line);
  if (sexp_type(s) == ZU_TYPE_LIST) {
    lines_of(s->pair.car, out);
    lines_of(s->pair.cdr, out);
  }
}

// The forms of a text read in cm, with their lines.
struct Read {
  std::vector<ZU_SEXP*> forms;
  std::vector<int> lines;
};
Read read_in(const std::string& bytes, CODE_METHOD* cm) {
  Read r;
  for (ZU_SEXP* p = read_all(bytes, cm); get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    r.forms.push_back(p->pair.car);
    lines_of(p->pair.car, r.lines);
  }
  return r;
}

}  // namespace

// Every kind of token, placed so that the reader's 4 KiB buffer is refilled
// at each byte of it in turn, reads as the character-by-character path
// reads it: in UTF-8 and EUC-JP (runs of plain bytes) as in UTF-16 (none).
TEST_F(ReaderRuns, TokensAcrossRefillsReadAsCharacterByCharacter) {
  const std::string body =
      "(Define [f12 Order=\"Normal\" \"x y\"=\"v&amp;w\"] (g a b) (+ a 12km) "
      "\"t\xc3\xa9xt with \\\"quotes\\\"\nand &lt;refs&gt; \\n\" 2.500000sec (x . y))\r\n"
      "<Result id=\"3\" kind='k'>12 <item>\"value\" 42 [sym] word&amp;more \\t \xe6\x97\xa5\xe6\x9c\xac</item>"
      "</Result>\r"
      "(a=\"1\" b) <!-- note --> ("
      + std::string(300, 's') + " \"" + std::string(5000, 'q') + "\" 7" + std::string(300, 'u') + ")\n";
  for (int pad = 4000; pad < 4096 + 40; pad += 7) {
    // Padding of line ends and blanks, so that line counts are checked too.
    std::string pre;
    for (int i = 0; i < pad; ++i) pre += i % 9 == 0 ? '\n' : ' ';
    std::string text = pre + body + pre + body;
    GcFrame frame("refills");
    Read slow = read_in(convert(text, "UTF-16BE"), search_cm("UTF-16"));
    for (CODE_METHOD* cm : {utf8_cm, eucjp_cm}) {
      Read fast = read_in(cm == utf8_cm ? text : convert(text, "EUC-JP"), cm);
      ASSERT_EQ(fast.forms.size(), slow.forms.size()) << "pad " << pad << " " << cm->name;
      for (size_t i = 0; i < fast.forms.size(); ++i)
        EXPECT_TRUE(same_value(fast.forms[i], slow.forms[i])) << "pad " << pad << " form " << i << " " << cm->name;
      EXPECT_EQ(fast.lines, slow.lines) << "pad " << pad << " " << cm->name;
    }
  }
}

// Raw bytes taken from the buffer in one piece when they are all there, or
// gathered across refills: the same bytes, and line ends among them counted.
TEST_F(ReaderRuns, RawBytesAcrossRefillsAndLinesAfterThem) {
  std::string raw = "0123456789\r\nabcd";  // 16 bytes
  for (int pad = 4060; pad < 4100; ++pad) {
    GcFrame frame("raw");
    ZU_SEXP* l = read_all(std::string(pad, ' ') + "#10#" + raw + "] x\n(y)");
    ASSERT_EQ(get_type(l), ZU_TYPE_LIST) << pad;
    ZU_SEXP* v = l->pair.car;
    ASSERT_EQ(get_type(v), ZU_TYPE_RAW) << pad;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(v->raw.data), v->raw.size), raw) << pad;
    EXPECT_EQ(get_el(l, 1)->h.line, 2) << pad;  // x after the CRLF among the bytes
    EXPECT_EQ(get_el(l, 2)->h.line, 3) << pad;
  }
}

// Names read through the reader's cache are the interned names: one atom
// per name however often and in whatever order they come.
TEST_F(ReaderRuns, ManyNamesEachReadAsTheirOneAtom) {
  std::string text = "(";
  for (int round = 0; round < 3; ++round)
    for (int i = 0; i < 3000; ++i) text += " n" + std::to_string(round == 1 ? 2999 - i : i);
  text += ")";
  ZU_SEXP* l = read_one(text);
  ASSERT_EQ(list_length(l), 9000);
  int i = 0;
  for (ZU_SEXP* p = l; p; p = p->pair.cdr, ++i) {
    int n = i / 3000 == 1 ? 2999 - i % 3000 : i % 3000;
    std::string name = "n" + std::to_string(n);
    std::u32string w(name.begin(), name.end());
    ZU_SEXP* s = p->pair.car;
    ASSERT_EQ(get_type(s), ZU_TYPE_SYMBOL);
    EXPECT_EQ(u32(sym_name(s)), w);
    EXPECT_EQ(s->symbol.atom, find_atom(W(w.c_str())));
  }
}

// Numbers read as strtoll and strtod read their digits; a unit follows.
TEST_F(ReaderRuns, NumbersReadAsTheCLibraryReadsThem) {
  const char* const kNumbers[] = {
      "0", "-0", "+7", "9223372036854775807", "-9223372036854775808", "9223372036854775808",
      "-9223372036854775809", "123456789012345678901234567890", "0.1", "+2.5", "-2.5e-3", "1e22", "1E+22",
      "4.9e-324", "1e-400", "1.7976931348623157e308", "2.500000", "0.30000000000000004", "123.456e7"};
  for (const char* n : kNumbers) {
    for (const char* unit : {"", "km", "sec^-1"}) {
      ZU_SEXP* v = read_one(std::string("(") + n + unit + ")");
      ASSERT_EQ(get_type(v), ZU_TYPE_LIST) << n;
      ZU_SEXP* x = v->pair.car;
      errno = 0;
      char* end = nullptr;
      long long i = std::strtoll(n, &end, 10);
      bool integer = errno == 0 && *end == 0;
      const L_CHAR* u = nullptr;
      if (integer) {
        ASSERT_EQ(get_type(x), ZU_TYPE_INTEGER) << n;
        EXPECT_EQ(x->integer.num, i) << n;
        u = x->integer.unit;
      } else {
        ASSERT_EQ(get_type(x), ZU_TYPE_FLOATING) << n;
        double d = std::strtod(n, nullptr);
        EXPECT_EQ(std::memcmp(&x->floating.num, &d, sizeof d), 0) << n;  // the same bits
        u = x->floating.unit;
      }
      std::string got;
      for (; u && *u; ++u) got += static_cast<char>(*u);
      EXPECT_EQ(got, unit) << n;
    }
  }
  // Past the largest double it is no number that prints back.
  EXPECT_EQ(error_code(read_one("(1e400)")), ZU_ER_PARSE_NUMBER);
}
