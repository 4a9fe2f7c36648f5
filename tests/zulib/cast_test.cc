// Type names and casts: the conversion table, number reading from text
// (signs, bases, units, overflow) and the type names.
#include "library_cases.h"
#include "zulib/cast.h"

namespace {

const LibCases kCases = {
    {"(Cast () type=\"null\")", "()"},
    {"(Cast () type=\"list\")", "()"},
    {"(Cast () type=\"string\")", "error 80030806 \"Cast\" ()"},
    {"(Cast 5 type=\"Integer\")", "error 80040503 \"Cast\" \"invalid type name\""},
    {"(Cast 5)", "error 80040503 \"Cast\" \"invalid type name\""},
    {"(Cast (List 1) type=\"list\")", "(1)"},
    {"(Cast (List 1) type=\"string\")", "error 80030806 \"Cast\" ()"},
    {"(TypeOf (Cast Env0 type=\"environment\"))", "\"environment\""},
    {"(Cast #1#a] type=\"raw\")", "#1#a]"},
    {"(Cast #1#a] type=\"string\")", "error 80030806 \"Cast\" ()"},
    // Symbols: case options reverse the attributes; the text form keeps them.
    {"(Cast (quote [Ab X=\"Q\" y=\"2\"]) type=\"symbol\" option=\"small\")", "[ab y=\"2\" x=\"Q\"]"},
    {"(Cast (quote [Ab X=\"Q\"]) type=\"symbol\" option=\"capital\")", "[AB X=\"Q\"]"},
    {"(Cast (quote [Ab X=\"Q\"]) type=\"symbol\")", "[Ab X=\"Q\"]"},
    {"(Cast (quote [Ab X=\"Q\" y=\"2\"]) type=\"string\")", "\"[Ab X=\\\"Q\\\" y=\\\"2\\\"]\""},
    {"(Cast \"Ab\" type=\"symbol\")", "Ab"},
    // Strings.
    {"(Cast \"aBc\" type=\"string\" option=\"small\")", "\"abc\""},
    {"(Cast \"aBc\" type=\"string\" option=\"capital\")", "\"ABC\""},
    {"(Cast \"0x1F\" type=\"integer\")", "31"},
    {"(Cast \"-0x1Fkm\" type=\"integer\")", "-31km"},
    {"(Cast \"017\" type=\"integer\")", "15"},
    {"(Cast \"09\" type=\"integer\")", "09"},
    {"(Cast \"0 0 7\" type=\"integer\" option=\"zeroIgnore\")", "7"},
    {"(Cast \"00\" type=\"integer\" option=\"zeroIgnore\")", "0"},
    {"(Cast \" 1 2 m \" type=\"integer\")", "12m"},
    {"(Cast \"-5km\" type=\"integer\")", "-5km"},
    {"(Cast \"+5\" type=\"integer\")", "5"},
    {"(Cast \"km\" type=\"integer\")", "0km"},
    {"(Cast \"-\" type=\"integer\")", "0-"},
    {"(Cast \"1234567890123456789x\" type=\"integer\")", "1234567890123456789x"},
    {"(Cast \"9223372036854775807\" type=\"integer\")", "9223372036854775807"},
    {"(Cast \"9223372036854775808\" type=\"integer\")", "error 80040503 \"Cast\" \"number out of range\""},
    {"(Cast \"-9223372036854775808\" type=\"integer\")", "-9223372036854775808"},
    {"(Cast \"-9223372036854775809\" type=\"integer\")", "error 80040503 \"Cast\" \"number out of range\""},
    {"(Cast \"12.5m\" type=\"floating\")", "12.500000m"},
    {"(Cast \"-.5e1sec\" type=\"floating\")", "-5.000000sec"},
    {"(Cast \"2em\" type=\"floating\")", "2.000000em"},
    {"(Cast \"1.2.3\" type=\"floating\")", "1.200000.3"},
    {"(== (Cast \"0.1\" type=\"floating\") (/ 1.0 10))", "1"},
    {"(Cast \"1e309\" type=\"floating\")", "error 80040503 \"Cast\" \"number out of range\""},
    {"(Cast \"1e-400\" type=\"floating\")", "0.000000"},
    // Numbers.
    {"(Cast 65 type=\"string\" option=\"char\")", "\"A\""},
    {"(Cast 65km type=\"string\")", "\"65km\""},
    {"(Cast 2.5m type=\"string\")", "\"2.500000m\""},
    {"(Cast 3km type=\"floating\")", "3.000000km"},
    {"(Cast 2.75 type=\"integer\")", "2"},
    {"(Cast -2.75m type=\"integer\")", "-2m"},
    {"(Cast 1.0e19 type=\"integer\")", "error 80040503 \"Cast\" \"number out of range\""},
    {"(Cast 5 type=\"symbol\")", "error 80030806 \"Cast\" ()"},
    {"(TypeOf \"x\")", "\"string\""},
    {"(TypeOf ())", "\"null\""},
    {"(GetType (List 1))", "\"list\""},
    {"(GetType TypeOf)", "\"function\""},
};

}  // namespace

TEST_F(LibraryCases, Casts) { run_all("", kCases); }

TEST_F(LibraryCases, CastsWhileCollecting) { run_collecting("", kCases); }

// The reading functions: the unit starts where the number stopped.
TEST(CastRead, UnitIsTheRestOfTheCompactedText) {
  CAST_NUMBER n;
  const L_CHAR text[] = {'-', '1', ' ', '2', 'k', 'm', 0};
  ASSERT_EQ(cast_read_integer(text, false, &n), 0);
  EXPECT_EQ(n.integer, -12);
  EXPECT_EQ(n.text.substr(n.unit_at), U"km");
  ASSERT_EQ(cast_read_floating(text, false, &n), 0);
  EXPECT_EQ(n.floating, -12.0);
  EXPECT_EQ(n.unit_at, 3u);
}
