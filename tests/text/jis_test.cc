// The Japanese encodings against the C library's converters, over the whole
// JIS code space: every position decodes to what iconv gives, encodes back
// to the same bytes, and the three encodings agree with one another.
#include <gtest/gtest.h>

#include <cstdio>

#include "text/convert.h"
#include "text_util.h"

using namespace text_test;

namespace {

Bytes two(unsigned a, unsigned b) { return {static_cast<char>(a), static_cast<char>(b)}; }

// The one code iconv decodes bytes to, or nothing.
std::optional<L_CHAR> iconv_code(const char* from, const Bytes& in) {
  auto r = iconv_bytes(from, "UCS-4BE", in);
  if (!r || r->size() != 4) return std::nullopt;
  return from_ucs4be(*r)[0];
}

Bytes sjis_of(unsigned r, unsigned c) {  // JIS row/column 0x21-0x7E
  unsigned s1 = ((r + 1) >> 1) + (r <= 0x5E ? 0x70 : 0xB0);
  unsigned s2 = c + ((r & 1) ? (c >= 0x60 ? 0x20 : 0x1F) : 0x7E);
  return two(s1, s2);
}

}  // namespace

// One character set of the Japanese encodings: its positions and their
// bytes in each encoding (Shift_JIS none for JIS X 0212), the iconv name
// that reads the ISO-2022-JP form, and the tag of a code iconv does not map.
struct JisSet {
  const char* name;
  unsigned rows, cols;  // positions r, c: 0x21 + r, 0x21 + c (kana: one row)
  Bytes (*euc)(unsigned, unsigned), (*sjis)(unsigned, unsigned), (*jis)(unsigned, unsigned);
  const char* iconv_jis;
  L_CHAR tag;
};

const JisSet kSets[] = {
    {"JIS X 0208", 94, 94, [](unsigned r, unsigned c) { return two(r | 0x80, c | 0x80); }, sjis_of,
     [](unsigned r, unsigned c) { return "\x1B$B" + two(r, c) + "\x1B(B"; }, "ISO-2022-JP", LC_JISX0208},
    {"JIS X 0212", 94, 94, [](unsigned r, unsigned c) { return "\x8F" + two(r | 0x80, c | 0x80); }, nullptr,
     [](unsigned r, unsigned c) { return "\x1B$(D" + two(r, c) + "\x1B(B"; }, "ISO-2022-JP-2", LC_JISX0212},
    {"half-width kana", 1, 63, [](unsigned, unsigned c) { return two(0x8E, c + 0xA1 - 0x21); },
     [](unsigned, unsigned c) { return Bytes(1, static_cast<char>(c + 0xA1 - 0x21)); },
     [](unsigned, unsigned c) { return "\x1B(I" + Bytes(1, static_cast<char>(c)) + "\x1B(B"; }, "ISO-2022-JP-3", 0},
};

TEST(Jis, EveryPositionAgreesWithIconvInEveryEncoding) {
  CODE_METHOD* euc = search_cm("EUC-JP");
  CODE_METHOD* sjis = search_cm("Shift_JIS");
  CODE_METHOD* jis = search_cm("ISO-2022-JP");
  for (const JisSet& set : kSets) {
    SCOPED_TRACE(set.name);
    int mapped = 0;
    for (unsigned r = 0x21; r < 0x21 + set.rows; ++r) {
      for (unsigned c = 0x21; c < 0x21 + set.cols; ++c) {
        Bytes e = set.euc(r, c), j = set.jis(r, c), s = set.sjis ? set.sjis(r, c) : Bytes();
        Codes de = decode(euc, e);
        ASSERT_EQ(de.size(), 1u);
        L_CHAR u = de[0];
        EXPECT_EQ(decode(jis, j), de) << std::hex << r << c;
        if (set.sjis) {
          EXPECT_EQ(decode(sjis, s), de) << std::hex << r << c;
        }
        if (auto ref = iconv_code("EUC-JP", e)) {
          ++mapped;
          ASSERT_EQ(u, *ref) << std::hex << r << c;
          EXPECT_EQ(iconv_code(set.iconv_jis, j), u);
          if (set.sjis) {
            EXPECT_EQ(iconv_code("SJIS", s), u);
          }
          // Encoding gives what iconv gives (it may prefer another position
          // for a character that two positions share).
          Bytes ucs = to_ucs4be({u});
          EXPECT_EQ(encode(euc, {u}), iconv_bytes("UCS-4BE", "EUC-JP", ucs));
          if (set.sjis) {
            EXPECT_EQ(encode(sjis, {u}), iconv_bytes("UCS-4BE", "SJIS", ucs));
          }
          if (set.tag == LC_JISX0208) {
            EXPECT_EQ(encode(jis, {u}), iconv_bytes("UCS-4BE", "ISO-2022-JP", ucs));
          }
          if (!set.tag) {
            EXPECT_EQ((std::tuple{encode(euc, {u}), encode(sjis, {u}), encode(jis, {u})}), (std::tuple{e, s, j}));
          }
        } else {
          ASSERT_NE(set.tag, 0u) << "iconv maps every kana";
          EXPECT_EQ(u, set.tag | (r | 0x80) << 8 | (c | 0x80));
          EXPECT_EQ(encode(euc, {u}), e);
          EXPECT_EQ(encode(jis, {u}), j);
          if (set.sjis) {
            EXPECT_EQ(encode(sjis, {u}), s);
          }
        }
        // Shift_JIS has no room for JIS X 0212 (unless iconv's EUC-JP sends
        // the character to a JIS X 0208 position): a reference.
        if (!set.sjis && encode(euc, {u})[0] == '\x8F') {
          EXPECT_FALSE(sjis->can_express(u));
          char ref[32];
          std::snprintf(ref, sizeof ref, "&cx%x;", u);
          EXPECT_EQ(encode(sjis, {u}), ref);
        }
      }
    }
    EXPECT_GT(mapped, set.tag == LC_JISX0208 ? 6000 : set.tag ? 5000 : 62);
  }
}

TEST(Jis, ShiftJisOddCorners) {
  CODE_METHOD* sjis = search_cm("SJIS");
  // ASCII stays ASCII (a backslash is not a yen sign here).
  EXPECT_EQ(decode(sjis, "\\~"), (Codes{'\\', '~'}));
  // Lead bytes past the JIS rows, lone trail bytes and broken pairs.
  EXPECT_EQ(decode(sjis, "\xF0\x40"), Codes{LC_REPLACEMENT});
  EXPECT_EQ(decode(sjis, "\x80\xA0\xFD"), Codes(3, LC_REPLACEMENT));
  EXPECT_EQ(decode(sjis, "\x82\x20z"), (Codes{LC_REPLACEMENT, ' ', 'z'}));
  EXPECT_EQ(decode(sjis, "\x82"), Codes{LC_REPLACEMENT});
}

TEST(Jis, Iso2022Designations) {
  CODE_METHOD* jis = search_cm("jis");
  // JIS X 0201 Roman differs from ASCII at backslash and tilde.
  auto roman = iconv_bytes("ISO-2022-JP", "UCS-4BE", "\x1B(J\\~\x1B(B");
  ASSERT_TRUE(roman);
  EXPECT_EQ(decode(jis, "\x1B(J\\~\x1B(B"), from_ucs4be(*roman));
  // The 1978 designation reads the same table; line ends pass in any set.
  EXPECT_EQ(decode(jis, "\x1B$@\x30\x21\n\x1B(Bx"), decode(jis, "\x1B$B\x30\x21\n\x1B(Bx"));
  // Broken escapes and pairs: one U+FFFD, then the byte that broke them.
  EXPECT_EQ(decode(jis, "\x1B(Za"), (Codes{LC_REPLACEMENT, 'Z', 'a'}));
  EXPECT_EQ(decode(jis, "\x1B$B\x30\n"), (Codes{LC_REPLACEMENT, '\n'}));
  EXPECT_EQ(decode(jis, "\x1B$"), Codes{LC_REPLACEMENT});
  EXPECT_EQ(decode(jis, "\xA4\xA2"), Codes(2, LC_REPLACEMENT));
  // The encoder returns to ASCII before ASCII text and at the end.
  Codes mixed = decode(search_cm("EUC-JP"), "\xA4\xA2\n\xA4\xA4");
  EXPECT_EQ(encode(jis, mixed), iconv_bytes("EUC-JP", "ISO-2022-JP", "\xA4\xA2\n\xA4\xA4"));
}
