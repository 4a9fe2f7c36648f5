// The code methods: fixtures made by iconv, byte-at-a-time decoding against
// whole buffers, invalid input, and the registry.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "base/alloc.h"
#include "support/child.h"
#include "text/convert.h"
#include "text/jis_tables_impl.h"
#include "text_util.h"

using namespace text_test;

namespace {

struct Fixture {
  const char* base;  // file stem in tests/text/data
  const char* ext;   // encoded form
  const char* cm;    // code method name
};

// Every encoded fixture decodes to the code points iconv gave, in every way
// of feeding it, and encodes back to the very same bytes.
const Fixture kFixtures[] = {
    {"sample", "eucjp", "EUC-JP"},     {"sample", "sjis", "Shift_JIS"},
    {"sample", "jis", "ISO-2022-JP"},  {"sample", "utf16", "UTF-16"},
    {"sample", "ucs4", "EXTUCS-4"},    {"sample", "txt", "UTF-8"},
    {"kana", "eucjp", "EUC-JP"},       {"kana", "sjis", "Shift_JIS"},
    {"kana", "jis", "ISO-2022-JP"},    {"x0212", "eucjp", "EUC-JP"},
    {"x0212", "jis", "ISO-2022-JP"},   {"x0212", "txt", "UTF-8"},
    {"unicode", "txt", "UTF-8"},       {"unicode", "utf16", "UTF-16"},
    {"unicode", "ucs4", "EXTUCS-4"},   {"latin1", "latin1", "ISO-8859-1"},
};

}  // namespace

TEST(CodeMethod, FixturesMadeByIconvRoundTrip) {
  for (const Fixture& f : kFixtures) {
    SCOPED_TRACE(std::string(f.base) + "." + f.ext);
    CODE_METHOD* cm = search_cm(f.cm);
    ASSERT_NE(cm, nullptr);
    Bytes bytes = read_file(std::string(f.base) + "." + f.ext);
    Codes want = from_ucs4be(read_file(std::string(f.base) + ".ucs4"));
    ASSERT_FALSE(want.empty());
    EXPECT_EQ(decode(cm, bytes), want);
    EXPECT_EQ(decode(cm, bytes, 1), want);
    EXPECT_EQ(decode(cm, bytes, 3), want);
    EXPECT_EQ(encode(cm, want), bytes);
    EXPECT_EQ(encode(cm, want, true), bytes);
  }
}

TEST(CodeMethod, ByteAtATimeEqualsBulkOnArbitraryBytes) {
  // Random bytes biased towards the interesting ones: lead and trail bytes,
  // escapes, surrogate halves. Whatever arrives, every way of feeding it
  // gives the same codes, and never more codes than bytes.
  std::mt19937 rng(12345);
  const unsigned char kHot[] = {0x1B, '$', '(', 'B', 'D', 'I', 'J', '@', 0x8E, 0x8F, 0xA1, 0xA4,
                                0xFE, 0xE3, 0x81, 0x82, 0xED, 0xA0, 0xF0, 0xF4, 0x90, 0xBF,
                                0xC0, 0xD8, 0xDC, 0xFF, 0x00, 0x21, 0x30, '\n'};
  for (int i = 0; CODE_METHOD* cm = get_cm_by_index(i); ++i) {
    SCOPED_TRACE(cm->name);
    for (int round = 0; round < 200; ++round) {
      Bytes in(rng() % 40, '\0');
      for (char& c : in)
        c = static_cast<char>(rng() % 3 ? kHot[rng() % sizeof kHot] : rng() % 256);
      Codes whole = decode(cm, in);
      EXPECT_LE(whole.size(), in.size());
      EXPECT_EQ(decode(cm, in, 1), whole);
      EXPECT_EQ(decode(cm, in, 2), whole);
      EXPECT_EQ(decode(cm, in, 5), whole);
    }
  }
}

TEST(CodeMethod, InvalidInputBecomesReplacementNotSilence) {
  const L_CHAR R = LC_REPLACEMENT;
  CODE_METHOD* utf8 = search_cm("UTF-8");
  EXPECT_EQ(decode(utf8, "\xC0\xAF"), (Codes{R, R}));            // overlong
  EXPECT_EQ(decode(utf8, "\xE0\x80\xAF"), (Codes{R, R, R}));     // overlong
  EXPECT_EQ(decode(utf8, "\xED\xA0\x80"), (Codes{R, R, R}));     // surrogate
  EXPECT_EQ(decode(utf8, "\xF4\x90\x80\x80"), Codes(4, R));      // above U+10FFFF
  EXPECT_EQ(decode(utf8, "\xE3\x81" "A"), (Codes{R, 'A'}));      // cut short
  EXPECT_EQ(decode(utf8, "\xE3\x81"), Codes{R});                 // cut by the end
  EXPECT_EQ(decode(utf8, "\xF0\x9F\x98\x80"), Codes{0x1F600});
  CODE_METHOD* euc = search_cm("EUC-JP");
  EXPECT_EQ(decode(euc, "\xA4" "A"), (Codes{R, 'A'}));
  EXPECT_EQ(decode(euc, "\x8F\xB0" "A"), (Codes{R, 'A'}));
  EXPECT_EQ(decode(euc, "\x8E\xE0"), (Codes{R, R}));
  EXPECT_EQ(decode(euc, "\x80\xFF"), (Codes{R, R}));
  CODE_METHOD* utf16 = search_cm("UTF-16");
  EXPECT_EQ(decode(utf16, Bytes("\xD8\x3D\x00\x41", 4)), (Codes{R, 'A'}));   // lone high
  EXPECT_EQ(decode(utf16, Bytes("\xDC\x00\x00\x41", 4)), (Codes{R, 'A'}));   // lone low
  EXPECT_EQ(decode(utf16, Bytes("\x00\x41\xD8\x3D\x00", 5)), (Codes{'A', R, R}));
  // A byte-order mark only counts at the start; a swapped one turns the
  // order round.
  EXPECT_EQ(decode(utf16, Bytes("\xFE\xFF\x00\x41\xFE\xFF", 6)), (Codes{'A', 0xFEFF}));
  EXPECT_EQ(decode(utf16, Bytes("\xFF\xFE\x41\x00\x3D\xD8\x00\xDE", 8)), (Codes{'A', 0x1F600}));
  CODE_METHOD* ascii = search_cm("ASCII");
  EXPECT_EQ(decode(ascii, "a\xE9"), (Codes{'a', R}));
  EXPECT_EQ(decode(search_cm("UCS4"), Bytes("\xC0\x01\xA4\xA2\x00\x00", 6)),
            (Codes{0xC001A4A2, R}));
}

TEST(CodeMethod, EncodersRefuseWhatTheyCannotExpress) {
  // (encoding, code it cannot express)
  const std::pair<const char*, L_CHAR> kRefused[] = {
      {"ASCII", 0xE9},          {"ISO-8859-1", 0x20AC}, {"EUC-JP", 0x1F600},
      {"EUC-JP", 0x0E01},       {"Shift_JIS", 0x4E02},  {"UTF-8", 0xD800},
      {"UTF-8", 0x110000},      {"UTF-8", 0xC001A4A2},  {"UTF-16", 0xDFFF},
      {"ISO-2022-JP", 0x20AC},
  };
  for (auto [name, code] : kRefused) {
    CODE_METHOD* cm = search_cm(name);
    CM_WORK w;
    cm_work_init(&w, cm);
    unsigned char out[CM_MAX_PUT];
    EXPECT_EQ(cm->to_external(&w, code, out), -1) << name << " " << std::hex << code;
    EXPECT_FALSE(cm->can_express(code)) << name;
    char want[32];
    std::snprintf(want, sizeof want, "&cx%x;", code);
    EXPECT_EQ(decode(cm, encode(cm, {code})), decode(search_cm("ASCII"), want)) << name;
  }
  // A reference in ISO-2022-JP text is written in ASCII, after a shift.
  CODE_METHOD* jis = search_cm("ISO-2022-JP");
  EXPECT_EQ(encode(jis, {0x3042, 0x20AC}), "\x1B$B$\"\x1B(B&cx20ac;");
  // Everything fits the 4-byte encodings, tagged codes included.
  Codes odd = {0xC001A4A2, 0xDFFF0001, 0x7FFFFFFF, 0xFFFFFFFF};
  EXPECT_EQ(decode(search_cm("EXTUCS-4"), encode(search_cm("EXTUCS-4"), odd)), odd);
  EXPECT_EQ(decode(int_cm, encode(int_cm, odd)), odd);
}

TEST(CodeMethod, UnicodeRoundTripsThroughEveryUnicodeEncoding) {
  std::mt19937 rng(7);
  Codes text;
  while (text.size() < 5000) {
    L_CHAR c = rng() % 4 ? rng() % 0x3000 : rng() % 0x110000;
    if ((c >= 0xD800 && c <= 0xDFFF) || c == 0) continue;
    text.push_back(c);
  }
  Bytes ucs = to_ucs4be(text);
  for (const char* name : {"UTF-8", "UTF-16"}) {
    CODE_METHOD* cm = search_cm(name);
    Bytes mine = encode(cm, text, true);
    auto theirs = iconv_bytes("UCS-4BE", name == Bytes("UTF-8") ? "UTF-8" : "UTF-16BE", ucs);
    ASSERT_TRUE(theirs);
    EXPECT_EQ(mine, *theirs) << name;
    EXPECT_EQ(decode(cm, mine), text) << name;
    EXPECT_EQ(decode(cm, mine, 1), text) << name;
  }
}

// Look-ups by name or alias (any case), by identifier and by the codes an
// encoding can express; names and identifiers stay unique.
TEST(CodeMethod, Registry) {
  // The identifiers travel inside wide text: their order is fixed.
  const char* kNames[] = {"ASCII", "ISO-8859-1", "EUC-JP", "Shift_JIS", "ISO-2022-JP",
                          "UTF-8", "UTF-16", "EXTUCS-4", "INTERNAL"};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(search_lccode(kNames[i]), LC_ENCODING | static_cast<L_CHAR>(i + 1));
  EXPECT_EQ(search_lccode("ASCII"), 0xDFFF0001u);
  const char* env = std::getenv("STD_CODE");
  EXPECT_EQ(stream_cm, env && search_cm(env) ? search_cm(env) : search_cm("EUC-JP"));
  EXPECT_EQ(std_cm, stream_cm->unit == 1 ? stream_cm : search_cm("EUC-JP"));
  const std::pair<const char*, const char*> kAliases[] = {
      {"eucjp", "EUC-JP"},  {"euc_jp", "EUC-JP"},         {"sjis", "Shift_JIS"},
      {"SHIFT_JIS", "Shift_JIS"}, {"jis", "ISO-2022-JP"},  {"utf8", "UTF-8"},
      {"Latin1", "ISO-8859-1"},   {"us-ascii", "ASCII"},   {"ucs4", "EXTUCS-4"},
      {"UCS-4", "EXTUCS-4"},
  };
  for (auto [alias, name] : kAliases) {
    ASSERT_NE(search_cm(alias), nullptr) << alias;
    EXPECT_STREQ(search_cm(alias)->name, name);
    EXPECT_EQ(search_cm_by_lccode(search_lccode(alias)), search_cm(alias));
  }
  for (const char* none : {"UTF-9", "UTF-8x", static_cast<const char*>(nullptr)}) EXPECT_EQ(search_cm(none), nullptr);
  EXPECT_EQ(search_lccode("nothing"), LC_UNKNOWN_ENCODING);
  EXPECT_EQ(search_cm_by_lccode(0xDFFF0000), nullptr);
  const L_CHAR wide[] = {'s', 'j', 'i', 's', 0};
  const L_CHAR odd[] = {'s', 0x3042, 0};
  EXPECT_EQ(get_encoding(wide), search_cm("Shift_JIS"));
  EXPECT_EQ(get_encoding(odd), nullptr);
  // A code's set is the first encoding that can express it.
  const std::pair<L_CHAR, const char*> kSets[] = {
      {'A', "ASCII"},         {0xE9, "ISO-8859-1"}, {0x3042, "EUC-JP"},   {0xFF71, "EUC-JP"},
      {0xC001ADA1, "EUC-JP"}, {0x1F600, "UTF-8"},   {0xC0050001, "EXTUCS-4"}, {LC_ENCODING | 4, "Shift_JIS"}};
  for (auto [code, name] : kSets) EXPECT_STREQ(search_cm_by_main_code(code)->name, name) << std::hex << code;
  static CODE_METHOD twin = *search_cm("UTF-8");
  EXPECT_EQ(insert_cm(&twin), -1);
}

// What start-up makes of STD_CODE, in a fresh process each: the encodings
// of streams and of the program's own text, whether a literal and an
// argument read back as their bytes, and whether the JIS tables were built
// (before and after a Japanese encoding met a character outside ASCII).
QNMX_CHILD_BODY(StartUpEncodings) {
  init_longchar();
  std::string out = std::string(stream_cm->name) + " " + std_cm->name;
  char arg[] = "odd";  // as the command line holds it: bytes and a zero byte
  const L_CHAR want[] = {'o', 'd', 'd', 0};
  bool same = l_strcmp(_l_string_1(nullptr, arg), want) == 0 && l_strcmp(_l_string_2(nullptr, "odd"), want) == 0 &&
              l_strcmp(_l_string_2(std_cm, "odd"), want) == 0;
  out += same ? " bytes" : " misread";
  for (const char* name : {"EUC-JP", "Shift_JIS", "ISO-2022-JP"}) {
    CODE_METHOD* cm = search_cm(name);
    d_f_ree(ln_copy_str(cm, _l_string_1(cm, "plain ASCII\n")));
  }
  out += jis::built_tables.load() ? " built" : " unbuilt";
  _l_string_1(search_cm("EUC-JP"), "\xC6\xFC");  // a kanji
  out += jis::built_tables.load() ? " built" : " unbuilt";
  std::fputs(out.c_str(), stdout);
  return 0;
}

TEST(CodeMethod, StartUpKeepsNarrowTextInBytesAndBuildsNoTables) {
  const std::pair<const char*, const char*> kCases[] = {
      {"", "EUC-JP EUC-JP"},
      {"UTF-8", "UTF-8 UTF-8"},
      {"sjis", "Shift_JIS Shift_JIS"},
      {"UTF-16", "UTF-16 EUC-JP"},
      {"UTF16", "UTF-16 EUC-JP"},
      {"UTF-16BE", "UTF-16 EUC-JP"},
      {"UCS-4", "EXTUCS-4 EUC-JP"},
      {"EXTUCS-4", "EXTUCS-4 EUC-JP"},
      {"INTERNAL", "INTERNAL EUC-JP"},
      {"no-such-code", "EUC-JP EUC-JP"},
  };
  for (auto [code, want] : kCases) {
    ChildOptions opt;
    opt.env = {std::string("STD_CODE=") + code};
    RunResult r = run_body("StartUpEncodings", {}, {}, std::chrono::seconds(60), opt);
    EXPECT_EQ(r.status, 0) << code << ": " << r.err.substr(0, 600);
    EXPECT_EQ(r.out, std::string(want) + " bytes unbuilt built") << code;
  }
}
