// Wide-string helpers and the conversions between narrow and wide text.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "base/alloc.h"
#include "base/tempbuf.h"
#include "text/convert.h"
#include "text_util.h"

using namespace text_test;

namespace {

Codes codes(const L_CHAR* s) { return Codes(s, s + l_strlen(s)); }

}  // namespace

TEST(WideString, CompareIsSignedAndPrefixFirst) {
  const L_CHAR abc[] = {'a', 'b', 'c', 0}, ab[] = {'a', 'b', 0};
  const L_CHAR tagged[] = {'a', 'b', 0xC001A4A2, 0}, plain[] = {'a', 'b', 0x3042, 0};
  EXPECT_EQ(l_strcmp(abc, abc), 0);
  EXPECT_EQ(l_strcmp(ab, abc), -1);
  EXPECT_EQ(l_strcmp(abc, ab), 1);
  // Tagged codes are negative as signed values...
  EXPECT_EQ(l_strcmp(tagged, plain), -1);
  EXPECT_EQ(l_strcmp(plain, tagged), 1);
  // ...yet a proper prefix still sorts first.
  EXPECT_EQ(l_strcmp(ab, tagged), -1);
  EXPECT_EQ(l_strcmp(tagged, ab), 1);
  EXPECT_EQ(ll_copy_str(nullptr), nullptr);
}

TEST(WideString, SafetyStringEscapes) {
  L_CHAR* s = safety_string(_l_string_1(utf8_cm, "a&b<c>\\d\ne\rf\xE3\x81\x82"));
  EXPECT_STREQ(n_string(utf8_cm, s), "a&amp;b&lt;c>\\\\d\\ne\\nf\xE3\x81\x82");
  d_f_ree(s);
  EXPECT_EQ(safety_string(nullptr), nullptr);
}

TEST(Convert, EveryEncodingRoundTripsThroughNarrowText) {
  // Each narrow text ends at its first zero unit, so UTF-16 and the 4-byte
  // encodings survive the zero bytes inside their units.
  const L_CHAR text[] = {'Z', 'u', ' ', 0x100, 0x3042, 0xFF71, 0x4E02, 0x1F600, 0xC001ADA1, 0};
  for (int i = 0; CODE_METHOD* cm = get_cm_by_index(i); ++i) {
    SCOPED_TRACE(cm->name);
    Codes want;
    for (const L_CHAR* p = text; *p; ++p) {
      if (cm->can_express(*p)) {
        want.push_back(*p);
      } else {
        char ref[32];
        std::snprintf(ref, sizeof ref, "&Cx%x;", *p);
        want.insert(want.end(), ref, ref + std::strlen(ref));
      }
    }
    char* narrow = n_string(cm, text);
    EXPECT_EQ(codes(_l_string_1(cm, narrow)), want);
    char* own = ln_copy_str(cm, text);
    L_CHAR* back = nl_copy_str(cm, own);
    EXPECT_EQ(codes(back), want);
    size_t len = 0;
    const int counted_line = __LINE__ + 1;
    char* counted = ln_copy_bytes(cm, text, &len);
    EXPECT_EQ(std::memcmp(counted, narrow, len + cm->unit), 0);
    L_CHAR* again = nl_copy_bytes(cm, counted, len, &len);
    EXPECT_EQ(Codes(again, again + len), want);
    // The copies are counted at the caller's line, not inside the converter.
    size_t at_caller = 0;
    for (MEM_LIST* m = get_mem_debug_list(nullptr); m; m = get_mem_debug_list(m))
      if (std::strcmp(m->file, __FILE__) == 0 && (m->line == counted_line || m->line == counted_line + 2))
        at_caller += m->size;
    EXPECT_GE(at_caller, d_alloc_size(counted) + d_alloc_size(again));
    d_f_ree(own);
    d_f_ree(back);
    d_f_ree(counted);
    d_f_ree(again);
  }
}

// Many references outgrow the first guess of the output size.
TEST(Convert, ManyReferencesOutgrowTheFirstGuess) {
  Codes many(5000, 0x1F600);
  many.push_back(0);
  std::string want;
  for (int i = 0; i < 5000; ++i) want += "&Cx1f600;";
  EXPECT_EQ(n_string(search_cm("ASCII"), many.data()), want);
  char* own = ln_copy_str(search_cm("ISO-8859-1"), many.data());
  EXPECT_EQ(own, want);
  d_f_ree(own);
}

TEST(Convert, DecodingNeverStopsOrDrops) {
  EXPECT_EQ(codes(_l_string_1(utf8_cm, "a\xFF" "b\xE3\x81")),
            (Codes{'a', LC_REPLACEMENT, 'b', LC_REPLACEMENT}));
  EXPECT_EQ(_l_string_1(utf8_cm, nullptr), nullptr);
  EXPECT_EQ(n_string(utf8_cm, nullptr), nullptr);
  EXPECT_EQ(codes(_l_string_1(utf8_cm, "")), Codes{});
  // A null code method is the standard one.
  EXPECT_EQ(codes(_l_string_1(nullptr, "abc")), codes(_l_string_1(std_cm, "abc")));
}

TEST(Convert, LiteralsAreInternedOthersAreTemporary) {
  const L_CHAR* a = _l_string_2(utf8_cm, "\xE6\xBC\xA2\xE5\xAD\x97");
  std::string copy = "\xE6\xBC\xA2\xE5\xAD\x97";
  EXPECT_EQ(_l_string_2(utf8_cm, copy.c_str()), a);  // same text, same string
  EXPECT_EQ(codes(a), (Codes{0x6F22, 0x5B57}));
  EXPECT_NE(_l_string_2(search_cm("ISO-8859-1"), copy.c_str()), a);
  EXPECT_EQ(_l_string_2(utf8_cm, nullptr), nullptr);
  // l_string interns literals and gives temporaries for everything else.
  const L_CHAR* lit1 = l_string(std_cm, "While");
  const L_CHAR* lit2 = l_string(std_cm, "While");
  EXPECT_EQ(lit1, lit2);
  const char* ptr = "While";
  char buf[8] = "While";
  const L_CHAR* t1 = l_string(std_cm, ptr);
  const L_CHAR* t2 = l_string(std_cm, buf);
  EXPECT_NE(t1, lit1);
  EXPECT_NE(t2, t1);
  EXPECT_EQ(l_strcmp(t1, lit1), 0);
  EXPECT_EQ(l_strcmp(t2, lit1), 0);
}

TEST(Convert, ThreadsShareInternedStrings) {
  const L_CHAR* seen[4] = {};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &seen] {
      for (int i = 0; i < 200; ++i) {
        seen[t] = _l_string_2(eucjp_cm, "\xB4\xC1\xBB\xFA");
        char* n = n_string(utf8_cm, seen[t]);
        if (std::strcmp(n, "\xE6\xBC\xA2\xE5\xAD\x97") != 0) seen[t] = nullptr;
      }
      free_temp_buffers();
    });
  }
  for (auto& th : threads) th.join();
  for (const L_CHAR* s : seen) EXPECT_EQ(s, seen[0]);
  EXPECT_NE(seen[0], nullptr);
}
