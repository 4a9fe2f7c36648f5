// The block operations run as script forms on a node of a matrix file: the
// byte forms of the three formats, round trips of every kind of value, and
// refusals of blocks that are not in their format.
#include "block_test_util.h"
#include "ops_test_util.h"
#include "runtime/front.h"
#include "runtime/services.h"
#include "support/temp_dir.h"
#include "text/codemethod.h"
#include "zu/eval.h"
#include "zu/printer.h"
#include "zu/reader.h"

namespace {

std::string item(const std::string& value) { return "(list (quote data) 0 " + value + ")"; }
std::string value(const std::string& item) { return "(car (cdr (cdr " + item + ")))"; }

class BlockOps : public OpsTest {
 protected:
  void SetUp() override {
    bind_block_test_prims();
    m_ = open_file_matrix(dir_.at("blocks.mx"), {{&mx_type_uint8_v, kMxChSend | kMxChFile, nullptr, 0},
                                                 {&mx_type_block, kMxChSend | kMxChFile, nullptr, 0}});
    ASSERT_TRUE(m_);
  }
  void TearDown() override {
    if (m_) close_matrix(m_);
  }
  std::vector<std::string> run(const std::string& script) { return run_edit(m_, {0, 256, 512}, script); }
  // One (note form) per form, in a single script.
  std::vector<std::string> each(const std::vector<std::string>& forms) {
    std::string script;
    for (const std::string& f : forms) script += "(note " + f + ")\n";
    std::vector<std::string> got = run(script);
    EXPECT_EQ(got.size(), forms.size());
    return got;
  }

  TempDir dir_{"blockops"};
  MATRIX* m_ = nullptr;
};

// The examples of the formats, byte for byte.
TEST_F(BlockOps, ByteForms) {
  std::vector<uint8_t> grey(100);
  for (size_t i = 0; i < grey.size(); ++i) grey[i] = static_cast<uint8_t>(i * 7);
  std::string g10 = to_hex(stored_vector(22, {10, 10}, grey));
  // Stored rgb8 elements are the bytes R, G, B, x.
  std::vector<uint8_t> words;
  for (int i = 0; i < 300; ++i) words.insert(words.end(), {uint8_t(i), uint8_t(i >> 8), 0x5a, 0x77});
  std::string c30 = to_hex(stored_vector(28, {30, 10}, words));
  std::string c1 = to_hex(stored_vector(28, {1, 1}, {0x11, 0x22, 0x33, 0x44}));
  std::vector<std::string> got = each({
      "(inflate (mxCompressZ " + item("(bytes \"010203\")") + "))",
      "(hex (mxCompressJPEG " + item("(stored \"" + g10 + "\")") + "))",
      "(head (mxCompressJPEG " + item("(image 22 20 20)") + ") 4)",
      "(head (mxCompressJPEG " + item("(stored \"" + c30 + "\")") + ") 13)",
      "(hex (mxCompressJPEG " + item("(stored \"" + c1 + "\")") + "))",
      "(hex (mxUncompressJPEG (mxCompressJPEG " + item("(stored \"" + c1 + "\")") + ")))",
      "(hex (mxCompound type=\"on\" \"abc\" 5 2.0))",
      "(mxSeparate (bytes \"0e0003616263" "0500080000000000000005" "0b00084000000000000000\"))",
      "(mxSeparate (bytes \"\"))",
  });
  ASSERT_EQ(got.size(), 9u);
  EXPECT_EQ(got[0], "\"0d010203\"");
  EXPECT_EQ(got[1], "\"676e0a0a" + to_hex(grey) + "\"");
  EXPECT_EQ(got[2], "\"676affd8\"");
  EXPECT_EQ(got[3], "\"636e1e0a00005a01005a02005a\"");
  EXPECT_EQ(got[4], "\"636e0101112233\"");
  EXPECT_EQ(got[5], "\"0c1c00020000000100000001" "11223300\"");
  EXPECT_EQ(got[6], "\"0e0003616263" "0500080000000000000005" "0b00084000000000000000\"");
  EXPECT_EQ(got[7], "(2.000000 5 \"abc\")");
  EXPECT_EQ(got[8], "()");
}

// Every refusal, with its error; the script goes on after each.
TEST_F(BlockOps, Refusals) {
  std::string u8 = "(stored \"" + to_hex(stored_vector(22, {2, 2}, {1, 2, 3, 4})) + "\")";
  std::string cube = "(stored \"" + to_hex(stored_vector(22, {2, 2, 2}, std::vector<uint8_t>(8))) + "\")";
  std::string i16 = "(stored \"" + to_hex(stored_vector(19, {2, 2}, std::vector<uint8_t>(8))) + "\")";
  struct Case {
    std::string form, error;
  };
  const std::string jpeg = "80040503 (\"invalid parameter in mxCompressJPEG\" ";
  const std::string unjpeg = "80040503 (\"invalid parameter in mxUncompressJPEG\" ";
  const std::string unz = "80040503 (\"invalid parameter in mxUncomressZ\" ";
  const std::string sep = "80040503 (\"invalid parameter in mxSeparate\" ";
  std::vector<Case> cases = {
      {"(mxCompressJPEG " + item(cube) + ")", jpeg + "[\"data dimention is not 2\"])"},
      {"(mxCompressJPEG " + item(i16) + ")", "80030806 (\"type missmatch\" \"UINT8 or RGB8 is required\")"},
      {"(mxCompressJPEG 5)", jpeg + "[\"list is required for CH data\"])"},
      {"(mxCompressJPEG (list 1 2 " + u8 + "))", jpeg + "[\"data type CH data is required\"])"},
      {"(mxCompressJPEG " + item("(zeros 4)") + ")", "80030806 (\"type missmatch\" \"vdata convert\")"},
      {"(mxCompressJPEG " + item("(image 22 19 256)") + ")", jpeg + "image-side-over-255)"},
      {"(mxCompressZ opt=\"10\" " + item(u8) + ")", "80040503 (\"invalid parameter in mxCompressZ\" zlib-level)"},
      {"(mxCompressZ opt=\"-2\" " + item(u8) + ")", "80040503 (\"invalid parameter in mxCompressZ\" zlib-level)"},
      {"(mxCompressZ " + item("5") + ")", "80040503 \"invalid parameter in mxCompressZ\""},
      {"(mxUncomressZ (bytes \"789c\"))", unz + "zlib-uncompress)"},
      {"(mxUncomressZ (bytes \"\"))", unz + "zlib-uncompress)"},
      {"(mxUncomressZ " + u8 + ")", "80030806 ()"},
      {"(mxUncompressJPEG " + item("(bytes \"6778\")") + ")", unjpeg + "image-letters)"},
      {"(mxUncompressJPEG " + item("(bytes \"676e03020102030405\")") + ")", unjpeg + "raw-block-short)"},
      {"(mxUncompressJPEG " + item("(bytes \"636a0102\")") + ")", unjpeg + "jpeg-data)"},
      {"(mxUncompressJPEG " + item(u8) + ")", "80030806 ()"},
      {"(mxSeparate (bytes \"0400010a\"))", sep + "item-type)"},
      {"(mxSeparate (bytes \"0d0004010203\"))", sep + "item-length)"},
      {"(mxSeparate (bytes \"0d7fff\"))", sep + "item-length)"},
      {"(mxSeparate (bytes \"05000400000005\"))", sep + "item-length)"},
      {"(mxSeparate (bytes \"0b0009000000000000000000\"))", sep + "item-length)"},
      {"(mxSeparate (bytes \"1600080801000100000001\"))", sep + "stored-vector)"},
      {"(mxSeparate " + u8 + ")", "80040503 \"invalid parameter in mxSeparate\""},
      {"(mxCompound (list (list (quote data) 0 (list 1))))",
       "80040503 (\"invalid parameter in mxCompound\" (data 0 (1)))"},
      {"(mxCompound type=\"\" (quote sym))", "80030806 (\"type missmatch\" sym)"},
  };
  std::string script;
  for (const Case& c : cases) script += "(peek " + c.form + ")\n";
  script += "(note 0)";
  run(script);
  std::vector<std::string> got = notes();
  ASSERT_GE(got.size(), cases.size() + 1);
  got.erase(got.begin(), got.end() - static_cast<long>(cases.size()) - 1);
  for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(got[i], "error " + cases[i].error) << cases[i].form;
}

// Every vector type and blocks of 0, 1 and 100 KiB bytes come back equal
// from a zlib block made at any level.
TEST_F(BlockOps, ZlibRoundTripsOfEveryValue) {
  std::vector<std::string> values = {"(zeros 0)", "(zeros 1)", "(zeros 102400)", "(sample 22 0 3 1)"};
  for (int code : {17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 30})
    values.push_back("(sample " + std::to_string(code) + " 7 5 " + std::to_string(code) + ")");
  for (int level = -1; level <= 9; ++level) {
    std::vector<std::string> forms;
    for (const std::string& v : values)
      forms.push_back("(same " + v + " (mxUncomressZ " + value("(mxCompressZ opt=\"" + std::to_string(level) + "\" " + item(v) + ")") + "))");
    std::vector<std::string> want(forms.size(), "1");
    forms.push_back("(same (zeros 2) (mxUncomressZ " + value("(mxCompressZ " + item("(zeros 3)") + ")") + "))");
    want.push_back("0");  // the oracle tells values apart
    EXPECT_EQ(each(forms), want) << "level " << level;
  }
}

// Items of every type come back from a compound block, last first; a
// block of 100 KiB takes a 4-byte length code.
TEST_F(BlockOps, CompoundRoundTrips) {
  std::vector<std::string> values = {"\"text\"", "\"\"", "\"\xe6\x97\xa5\xe6\x9c\xac\"", "-7", "4611686018427387904", "2.5",
                                     "(zeros 0)", "(zeros 102400)", item("(sample 22 2 2 9)")};
  for (int code : {17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 30})
    values.push_back("(sample " + std::to_string(code) + " 3 2 " + std::to_string(code) + ")");
  std::string args, reversed;
  for (const std::string& v : values) args += " " + v;
  for (auto it = values.rbegin(); it != values.rend(); ++it) reversed += " " + *it;
  std::vector<std::string> got = each({
      "(same (list" + reversed + ") (mxSeparate " + value("(mxCompound type=\"on\"" + args + ")") + "))",
      "(same (list" + reversed + ") (mxSeparate " + value("(mxCompound (list" + args + "))") + "))",
      "(head (mxCompound type=\"on\" (zeros 102400)) 5)",
      "(same (list" + args + ") (mxSeparate " + value("(mxCompound (list" + args + "))") + "))",
  });
  EXPECT_EQ(got, (std::vector<std::string>{"1", "1", "\"0d80019000\"", "0"}));
}

// Sides below 20 give raw blocks that read back exactly; from 20 on JPEG,
// close to the source; a raw side must fit its byte.
TEST_F(BlockOps, ImageRoundTrips) {
  struct Case {
    int w, h;
    bool raw;
  };
  const Case cases[] = {{19, 19, true}, {19, 255, true}, {255, 19, true}, {20, 19, true},
                        {20, 20, false}, {255, 255, false}, {256, 256, false}, {20, 256, false}};
  for (int code : {22, 28})
    for (const Case& c : cases) {
      std::string img = "(image " + std::to_string(code) + " " + std::to_string(c.w) + " " + std::to_string(c.h) + ")";
      std::string block = "(mxCompressJPEG quality=\"90\" " + item(img) + ")";
      std::vector<std::string> got = each({"(head " + block + " 2)", "(maxdiff " + img + " (mxUncompressJPEG " + block + "))"});
      ASSERT_EQ(got.size(), 2u);
      std::string letters = std::string(code == 22 ? "67" : "63") + (c.raw ? "6e" : "6a");
      EXPECT_EQ(got[0], "\"" + letters + "\"") << code << " " << c.w << "x" << c.h;
      if (c.raw) EXPECT_EQ(got[1], "0") << code << " " << c.w << "x" << c.h;
      else EXPECT_LE(std::stoi(got[1]), 12) << code << " " << c.w << "x" << c.h;
    }
}

// Outside a matrix script the block operations give nil and the
// structure-block operations refuse.
TEST_F(BlockOps, OutsideAMatrixScript) {
  set_break_check_hook(nullptr);
  ZUISP_ENV* env = new_env(matrix_zu_env);
  gc_set_nl(env, gc_qnlisp_env);
  const char* forms[] = {"(mxCompressZ (list (quote data) 0 (zeros 3)))", "(mxUncomressZ (zeros 3))",
                         "(mxCompressJPEG (list (quote data) 0 (image 22 2 2)))", "(mxUncompressJPEG 1)",
                         "(mxCompound (list 1))", "(mxSeparate (zeros 3))"};
  for (const char* f : forms) {
    ZU_SEXP* v = eval_body(env, sexp_commands(utf8_cm, f, nullptr));
    EXPECT_EQ(v, nullptr) << f;
  }
  for (const char* f : {"(mxLoadSB)", "(mxSaveSB)", "(mxSetSB channel=\"0\" 1)"}) {
    ZU_SEXP* v = eval_body(env, sexp_commands(utf8_cm, f, nullptr));
    ASSERT_EQ(get_type(v), ZU_TYPE_ERROR) << f;
    EXPECT_EQ(v->error->code, 0x80040503u) << f;
  }
  set_break_check_hook(_zui_break_check);
}

}  // namespace
