// Strings and attributes: results, the error texts scripts test for, and
// inputs left unchanged.
#include "library_cases.h"

namespace {

const char* kSetUp =
    "(define s \"abcabc\")\n"
    "(define t (quote ([a x=\"1\" y=\"2\"] body)))\n";

const LibCases kCases = {
    // CutOut: lists end inclusive, raw bytes end exclusive.
    {"(CutOut (List 1 2 3 4) 1 2)", "(2 3)"},
    {"(CutOut (List 1 2 3 4) -5 0)", "(1)"},
    {"(CutOut (List 1 2 3 4) 2 1)", "error 80040503 \"CutOut\" ()"},
    {"(CutOut #4#abcd] 1 3)", "#2#bc]"},
    {"(CutOut #4#abcd] 4)", "#0#]"},
    {"(CutOut #4#abcd] 5)", "error 80040503 \"CutOut\" ()"},
    {"(CutOut #4#abcd] -1 2)", "error 80040503 \"CutOut\" ()"},
    {"(CutOut s 1)", "error 80030806 \"CutOut\" ()"},
    // CutString: an empty text first, then the signs, then the length.
    {"(CutString s 4 5)", "\"bc\""},
    {"(CutString s 6 1)", "\"\""},
    {"(CutString \"\" -1 -1)", "\"\""},
    {"(CutString s 0 -1)", "error 80040503 \"CutString\" (\"invalid argument in CutString\" (CutString \"abcabc\" 0 -1))"},
    {"(CutString s 0 \"1\")", "error 80030806 \"CutString\" (\"invalid argument in CutString\" (CutString \"abcabc\" 0 \"1\"))"},
    // Splitting and replacing, over nested lists.
    {"(DivideString \"a,b,\" \",\")", "(\"a\" \"b\" \"\")"},
    {"(DivideString (List \"a::b\" (List \"c\") ()) \"::\")", "((\"a\" \"b\") ((\"c\")) ())"},
    {"(DivideString (List \"a\" 5) \",\")", "error 80030806 \"DivideString\" \"type missmatch in the 1st list\""},
    {"(DivideString s 1)", "error 80030806 \"DivideString\" \"type missmatch in the terminate string\""},
    {"(DivideString s \"\")", "error 80040503 \"DivideString\" \"parameter error\""},
    {"(ReplaceString \"aaa\" \"aa\" \"b\")", "\"ba\""},
    {"(ReplaceString (List s 5 (List \"c\")) \"c\" \"\")", "(\"abab\" 5 (\"\"))"},
    {"(ReplaceString 5 \"a\" \"b\")", "5"},
    {"(ReplaceString s \"\" \"b\")", "error 80040503 \"ReplaceString\" \"parameter error\""},
    // Characters.
    {"(StringLength 5)", "error 80030806 \"StringLength\" (\"invalid string in StringLength argument\")"},
    {"(GetChar s 6)", "0"},
    {"(GetChar s 7)", "error 80040503 \"GetChar\" (\"index error in GetChar argument\")"},
    {"(GetChar s 4294967296)", "error 80040503 \"GetChar\" (\"index error in GetChar argument\")"},
    {"(SetChar 4294967361)", "\"A\""},
    // RegCmp: (whole-match length, shortest, longest).
    {"(RegCmp rex=\"ab\" s)", "(-1 2 2)"},
    {"(RegCmp rex=\"(abc)*\" s)", "(6 0 6)"},
    {"(RegCmp rex=\"a(\" s)", "error 80040503 \"RegCmp\" \"parameter error: regular expression\""},
    {"(RegCmp s)", "error 80040503 \"RegCmp\" \"parameter error\""},
    // Word2String: word clamped to 1..4; code-set bits stripped.
    {"(Word2String word=\"9\" encoding=\"UCS4\" (List 65 66))", "\"AB\""},
    {"(Word2String word=\"0\" encoding=\"ascii\" (List 65 (List \"BC\")))", "\"ABC\""},
    {"(Word2String word=\"0x2\" encoding=\"UTF-16\" (SetChar 3221291074))", "\"B\""},
    {"(Word2String encoding=\"ascii\" (List 65 0 66))", "\"A\""},
    {"(Word2String encoding=\"none\" 65)", "error 80040503 \"Word2String\" \"invalid encoding\""},
    {"(Word2String (List 1.5))", "error 80030806 \"Word2String\" \"type missmatch\""},
    // Attributes.
    {"(GetAttribute (car t) \"y\")", "\"2\""},
    {"(GetAttribute (car t) \"z\")", "()"},
    {"(GetAttribute (car t) type=\"list\")", "((y \"2\") (x \"1\"))"},
    {"(GetAttribute (quote a) type=\"list\")", "()"},
    {"(progn (GetAttribute (car t) type=\"env\") (List x y))", "(\"1\" \"2\")"},
    {"(GetAttribute (car t))", "error 80030806 \"GetAttribute\" \"type missmatch\""},
    {"(SetAttribute t \"x\" 3.5km)", "([a x=\"3.500000km\" y=\"2\"] body)"},
    {"(SetAttribute (car t) \"z\" (quote q))", "[a z=\"q\" y=\"2\" x=\"1\"]"},
    {"(SetAttribute (List 1) \"z\" 1)", "error 80030806 \"SetAttribute\" (\"type missmatch\")"},
    {"(SetAttribute t \"z\" (List 1))", "error 80030806 \"SetAttribute\" (\"type missmatch\")"},
};

const char* kKept = "(\"abcabc\" ([a x=\"1\" y=\"2\"] body))";

}  // namespace

TEST_F(LibraryCases, StringsAndAttributes) { run_all(kSetUp, kCases, "(List s t)", kKept); }

TEST_F(LibraryCases, StringsAndAttributesWhileCollecting) { run_collecting(kSetUp, kCases, "(List s t)", kKept); }

// Nesting far deeper than any document is refused, not a stack overflow.
// ThreadSanitizer keeps its own record of every call: 300,000 nested lists
// overflow that record before the library's limit is reached.
TEST_F(LibraryCases, DeepListsAreRefused) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "deeper than ThreadSanitizer tracks calls";
#endif
  const char* deep =
      "(define d (List \"x\"))\n"
      "(define i 0)\n"
      "(while (< i 300000) (set d (List d)) (set i (+ i 1)))\n";
  ASSERT_NE(get_type(eval_text(env_, deep)), ZU_TYPE_ERROR);
  for (const char* f : {"(DivideString d \",\")", "(ReplaceString d \"x\" \"y\")", "(Word2String d)"})
    EXPECT_EQ(run(env_, f).substr(0, 14), "error 80030504") << f;
}
