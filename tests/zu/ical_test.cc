#include <gtest/gtest.h>

#include <string>

#include "stream/stream.h"
#include "text/codemethod.h"
#include "zu/ical.h"
#include "zu_test_util.h"

namespace {

class ICal : public ::testing::Test {
 protected:
  ZU_SEXP* read(const std::string& text, CODE_METHOD* cm = nullptr) {
    STREAM* st = s_open_string_read(text.data(), nullptr, static_cast<int>(text.size()), 1);
    EXPECT_NE(st, nullptr);
    ZU_SEXP* r = get_cal(st, cm);
    d_s_close(st);
    return r;
  }
  ZuThreadScope scope{"ical test"};
};

bool is_sym(ZU_SEXP* s, const char* name) {
  return get_type(s) == ZU_TYPE_SYMBOL && zu_wcmp_ascii(sym_name(s), name) == 0;
}

bool is_str(ZU_SEXP* s, const char* text) {
  return get_type(s) == ZU_TYPE_STRING && zu_wcmp_ascii(str_text(s), text) == 0;
}

std::string attr(ZU_SEXP* sym, const char32_t* name) {
  const L_CHAR* v = get_sf_attribute(sym_field(sym), W(name));
  std::string s = v ? "" : "<none>";
  for (; v && *v; ++v) s += static_cast<char>(*v);
  return s;
}

}  // namespace

TEST_F(ICal, FoldedLinesNestedComponentsParametersAndEscapes) {
  ZU_SEXP* r = read(
      "\xEF\xBB\xBF"
      "BEGIN:VCALENDAR\r\n"
      "VERSION:2.0\r\n"
      "BEGIN:VEVENT\r\n"
      "DTSTART;TZID=Asia/Tokyo;X-NOTE=\"a;b:c\":20240101T090000\r\n"
      "SUMMARY:Lunch\\, then a long\r\n"
      "  walk\\;\\nback\\\\home\r\n"
      "\tend\n"
      "BEGIN:valarm\n"
      "ACTION:DISPLAY\n"
      "END:VALARM\n"
      "END:VEVENT\r\n"
      "END:VCALENDAR");
  ASSERT_EQ(list_length(r), 1);
  ZU_SEXP* cal = car(r);
  ASSERT_EQ(list_length(cal), 3);
  EXPECT_TRUE(is_sym(get_el(cal, 0), "VCALENDAR"));
  ZU_SEXP* version = get_el(cal, 1);
  EXPECT_TRUE(is_sym(get_el(version, 0), "VERSION"));
  EXPECT_TRUE(is_str(get_el(version, 1), "2.0"));

  ZU_SEXP* ev = get_el(cal, 2);
  ASSERT_EQ(list_length(ev), 4);
  EXPECT_TRUE(is_sym(get_el(ev, 0), "VEVENT"));
  ZU_SEXP* dt = get_el(ev, 1);
  ASSERT_EQ(list_length(dt), 2);
  EXPECT_TRUE(is_str(get_el(dt, 1), "20240101T090000"));
  EXPECT_EQ(attr(get_el(dt, 0), U"TZID"), "Asia/Tokyo");
  EXPECT_EQ(attr(get_el(dt, 0), U"X-NOTE"), "a;b:c");
  EXPECT_EQ(zu_wcmp_ascii(sym_field(get_el(dt, 0))->name, "TZID"), 0);  // written order kept
  EXPECT_TRUE(is_str(get_el(get_el(ev, 2), 1), "Lunch, then a long walk;\nback\\homeend"));

  ZU_SEXP* alarm = get_el(ev, 3);
  EXPECT_TRUE(is_sym(get_el(alarm, 0), "valarm"));
  EXPECT_TRUE(is_str(get_el(get_el(alarm, 1), 1), "DISPLAY"));
}

TEST_F(ICal, EncodingsAndEmptyInput) {
  EXPECT_EQ(read(""), nullptr);
  EXPECT_EQ(read("\r\n\n"), nullptr);
  ZU_SEXP* r = read("LOCATION:Caf\xE9\n", search_cm("ISO-8859-1"));
  ZU_SEXP* v = get_el(car(r), 1);
  ASSERT_EQ(get_type(v), ZU_TYPE_STRING);
  EXPECT_EQ(str_text(v)[3], 0xE9u);
  r = read("LOCATION:Caf\xC3\xA9\n");  // UTF-8 by default
  EXPECT_EQ(str_text(get_el(car(r), 1))[3], 0xE9u);
}

TEST_F(ICal, MalformedInputGivesErrors) {
  struct Case {
    std::string text;
    uint32_t code;
  };
  const Case cases[] = {
      {"END:VEVENT\n", ZU_ER_PARAM},
      {"BEGIN:A\nEND:B\n", ZU_ER_PARAM},
      {"BEGIN:A\nX:1\n", ZU_ER_PARAM},
      {"BEGIN:A\nno colon here\nEND:A\n", ZU_ER_PARAM},
      {":value\n", ZU_ER_PARAM},
      {"X;P=\"open:1\n", ZU_ER_PARAM},
      {"X:" + std::string(size_t{1} << 21, 'a') + "\n", ZU_ER_PARAM},
  };
  for (const Case& c : cases) EXPECT_EQ(error_code(read(c.text)), c.code) << c.text.substr(0, 40);

  std::string deep;
  for (int i = 0; i < 100; ++i) deep += "BEGIN:A\n";
  for (int i = 0; i < 100; ++i) deep += "END:A\n";
  ZU_SEXP* r = read(deep);
  ASSERT_EQ(error_code(r), ZU_ER_PARAM);
  EXPECT_EQ(get_el(r->error->data, 1)->integer.num, 65);  // the line that went too deep

  EXPECT_EQ(error_code(get_cal(nullptr, nullptr)), ZU_ER_END_OF_INPUT);
}
