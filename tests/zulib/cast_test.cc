// Type names and casts: the conversion table, number reading from text
// (signs, bases, units, overflow) and the type names.
#include "library_cases.h"

namespace {

const LibCases kCases = {
    {"(Cast () type=\"null\")", "()"},
    {"(Cast () type=\"list\")", "()"},
    {"(Cast () type=\"string\")", "error 80030806 \"Cast\" ()"},
    {"(Cast 5 type=\"Integer\")", "error 80040503 \"Cast\" \"invalid type name\""},
    {"(Cast (List 1) type=\"list\")", "(1)"},
    {"(TypeOf (Cast Env0 type=\"environment\"))", "\"environment\""},
    {"(Cast #1#a] type=\"raw\")", "#1#a]"},
    // Symbols: case options reverse the attributes; the text form keeps them.
    {"(Cast (quote [Ab X=\"Q\" y=\"2\"]) type=\"symbol\" option=\"small\")", "[ab y=\"2\" x=\"Q\"]"},
    {"(Cast (quote [Ab X=\"Q\"]) type=\"symbol\")", "[Ab X=\"Q\"]"},
    {"(Cast (quote [Ab X=\"Q\" y=\"2\"]) type=\"string\")", "\"[Ab X=&quot;Q&quot; y=&quot;2&quot;]\""},
    // Strings.
    {"(Cast \"aBc\" type=\"string\" option=\"small\")", "\"abc\""},
    {"(Cast \"-0x1Fkm\" type=\"integer\")", "-31km"},
    {"(Cast \"09\" type=\"integer\")", "09"},
    {"(Cast \"0 0 7\" type=\"integer\" option=\"zeroIgnore\")", "7"},
    {"(Cast \" 1 2 m \" type=\"integer\")", "12m"},
    {"(Cast \"km\" type=\"integer\")", "0km"},
    {"(Cast \"-\" type=\"integer\")", "0-"},
    {"(Cast \"9223372036854775808\" type=\"integer\")", "error 80040503 \"Cast\" \"number out of range\""},
    {"(Cast \"-9223372036854775809\" type=\"integer\")", "error 80040503 \"Cast\" \"number out of range\""},
    {"(Cast \"-.5e1sec\" type=\"floating\")", "-5.000000sec"},
    {"(Cast \"2em\" type=\"floating\")", "2.000000em"},
    {"(Cast \"1.2.3\" type=\"floating\")", "1.200000.3"},
    {"(== (Cast \"0.1\" type=\"floating\") (/ 1.0 10))", "1"},
    {"(Cast \"1e309\" type=\"floating\")", "error 80040503 \"Cast\" \"number out of range\""},
    {"(Cast \"1e-400\" type=\"floating\")", "0.000000"},
    // Numbers.
    {"(Cast 65km type=\"string\")", "\"65km\""},
    {"(Cast 3km type=\"floating\")", "3.000000km"},
    {"(Cast -2.75m type=\"integer\")", "-2m"},
    {"(Cast 1.0e19 type=\"integer\")", "error 80040503 \"Cast\" \"number out of range\""},
    {"(Cast 5 type=\"symbol\")", "error 80030806 \"Cast\" ()"},
    {"(TypeOf ())", "\"null\""},
    {"(GetType (List 1))", "\"list\""},
    {"(GetType TypeOf)", "\"function\""},
};

}  // namespace

TEST_F(LibraryCases, Casts) { run_all("", kCases); }

TEST_F(LibraryCases, CastsWhileCollecting) { run_collecting("", kCases); }
