// Load's lazy lists and their collection, the terminator and the escapes
// of text loads, and Save's refusals and CSV fields.
#include <fcntl.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "support/temp_dir.h"
#include "text/convert.h"
#include "zulib/load_impl.h"
#include "zulib/load_save.h"
#include "zu/printer.h"
#include "zulib_test_util.h"

namespace {

void loader_lock() { lock_task(df_lock); }
void loader_unlock() { unlock_task(df_lock, "test"); }
void loader_sp() {
  gc_default_sp();
  sp_gc_load();
}
// The collector hooks of the language core joined by the pending loads, as
// the program's hooks join them.
void install_loader_hooks() {
  static const GC_HOOKS hooks{loader_lock, gc_default_mark, loader_sp, nullptr, loader_unlock};
  gc_set_hooks(&hooks);
}

int open_descriptors() {
  int n = 0;
  for (int fd = 0; fd < 1024; ++fd) n += fcntl(fd, F_GETFD) != -1;
  return n;
}

class LoadSave : public ::testing::Test {
 protected:
  void SetUp() override {
    init_library_once();
    install_loader_hooks();
    env_ = new_env(qnlisp_top_env1);
    gc_set_nl(env_, gc_qnlisp_env);
  }
  void TearDown() override { gc_set_collect_every(0); }
  std::string at(const std::string& name) { return dir_.at(name); }
  // Raw values show their size only.
  std::string sized(const std::string& text) {
    ZU_SEXP* v = eval_text(env_, text);
    if (get_type(v) == ZU_TYPE_ERROR) return shown(v);
    STREAM* st = s_open_string_write(utf8_cm);
    print_sexp(st, v, ZU_PRINT_RAW_SIZE);
    std::string r = s_get_string(st);
    d_s_close(st);
    return r;
  }
  std::string load(const std::string& attrs, const std::string& name) {
    return sized("(Load " + attrs + " \"" + at(name) + "\")");
  }
  ZuThreadScope scope_{"load test"};
  TempDir dir_{"load"};
  ZUISP_ENV* env_ = nullptr;
};

}  // namespace

TEST(Terminator, LongAttemptsCostOneStepPerState) {
  std::vector<L_CHAR> e = {'a', '*', 'b', 0};
  AUTOMATON* a = get_fa(e.data());
  STATE_CHECKER sc(a);
  for (size_t i = 0; i < 1000000; ++i) {
    ASSERT_EQ(en_state_checker(&sc, 'a', i), 0);
    ASSERT_LE(sc.live.size(), static_cast<size_t>(a->state_count));
  }
  EXPECT_EQ(en_state_checker(&sc, 'b', 1000000), 1);
  EXPECT_EQ(sc.stptr, 0u);
  EXPECT_EQ(sc.endptr, 1000001u);
  free_automaton(a);
}

TEST_F(LoadSave, RawListsComeInChunksAndCloseTheirFile) {
  write_file(at("r5000"), std::string(5000, 'x'));
  write_file(at("empty"), "");
  EXPECT_EQ(load("option=\"raw\"", "r5000"), "(#1000#] #388#])");
  EXPECT_EQ(load("option=\"raw\"", "empty"), "()");
  EXPECT_EQ(load("option=\"text\"", "empty"), "()");
  EXPECT_EQ(load("", "empty"), "()");
  EXPECT_EQ(load("option=\"exec\"", "empty"), "()");
  // A list dropped after its first member: a collection closes the file.
  int before = open_descriptors();
  {
    GcFrame frame("drop");
    EXPECT_EQ(sized("(car (Load option=\"raw\" \"" + at("r5000") + "\"))"), "#1000#]");
  }
  EXPECT_EQ(open_descriptors(), before + 1);
  gc_collect_now();
  EXPECT_EQ(open_descriptors(), before);
}

TEST_F(LoadSave, CollectingDuringAHalfReadLoadKeepsWhatWasRead) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += "line " + std::to_string(i) + "\r\n";
  write_file(at("lines"), text);
  gc_set_collect_every(5);
  eval_text(env_, "(define l (Load option=\"text\" terminate=\"\\r\\n\" \"" + at("lines") + "\"))");
  EXPECT_EQ(run(env_, "(car (cdr (cdr l)))"), "\"line 2\"");
  EXPECT_EQ(run(env_, "(car l)"), "\"line 0\"");
  EXPECT_EQ(run(env_, "(ListLength l)"), "300");
  EXPECT_EQ(run(env_, "(car (cdr (cdr l)))"), "\"line 2\"");
}

TEST_F(LoadSave, TwoThreadsWalkingOneListSeeTheSameMembers) {
  std::string text;
  for (int i = 0; i < 2000; ++i) text += std::to_string(i) + "\n";
  write_file(at("numbers"), text);
  ZU_SEXP* l = eval_text(env_, "(Load option=\"text\" terminate=\"\\n\" \"" + at("numbers") + "\")");
  gc_set_nl(l, gc_qn_sexp);
  std::vector<std::string> seen[2];
  auto walk = [l](std::vector<std::string>* out) {
    ZuThreadScope scope("walker");
    for (ZU_SEXP* r = l; get_type(r) == ZU_TYPE_LIST; r = r->pair.cdr) out->push_back(shown(r->pair.car));
  };
  {
    BlockingRegion region;  // the walkers may collect meanwhile
    std::thread a(walk, &seen[0]), b(walk, &seen[1]);
    a.join();
    b.join();
  }
  ASSERT_EQ(seen[0].size(), 2000u);
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(seen[0][1999], "\"1999\"");
}

TEST_F(LoadSave, EncodingHeadersAndModes) {
  // Shift_JIS bytes behind a header in first place are read as Shift_JIS.
  write_file(at("euc.zu"), "<?xml encoding=\"SHIFT_JIS\"?>\n\"\x93\xfa\"\n");
  write_file(at("late.zu"), "1\n2\n<?xml encoding=\"SHIFT_JIS\"?>\n\"\x93\xfa\"\n");
  std::string day = "\"\xe6\x97\xa5\"";
  EXPECT_EQ(load("", "euc.zu"), "(([?xml encoding=\"SHIFT_JIS\"]) " + day + ")");
  // A header in third place is not applied; an encoding given is.
  EXPECT_NE(load("", "late.zu"), "(1 2 ([?xml encoding=\"SHIFT_JIS\"]) " + day + ")");
  EXPECT_EQ(load("encoding=\"SHIFT_JIS\"", "late.zu"), "(1 2 ([?xml encoding=\"SHIFT_JIS\"]) " + day + ")");
  write_file(at("p.html"), "<p>12</p>");
  EXPECT_EQ(load("format.mode=\"zu\" format.text=\"on\"", "p.html"), "((p \"12\"))");
  EXPECT_EQ(run(env_, "(Load 5)"), "error 80030806 \"load\" (\"type missmatch\")");
  // The evaluating mode runs beside the loaded file and stops at an error.
  write_file(at("inner.zu"), "(define v 7)\n");
  write_file(at("outer.zu"), "(Load option=\"exec\" \"inner.zu\")\n(+ v 1)\n(car 1)\n(+ v 2)\n");
  EXPECT_EQ(load("option=\"exec\"", "outer.zu"), "error 80030806 \"car\" (\"type missmatch\")");
  EXPECT_EQ(run(env_, "v"), "7");
}

TEST_F(LoadSave, SaveRefusesBeforeItOpens) {
  write_file(at("keep"), "precious");
  auto save = [&](const std::string& attrs, const std::string& value) {
    return run(env_, "(Save " + attrs + " \"" + at("keep") + "\" " + value + ")");
  };
  EXPECT_EQ(save("option=\"bin\" oflag=\"trunc\"", "1"), "error 80040503 \"Save\" (\"invalid parameter\")");
  EXPECT_EQ(save("option=\"raw\" oflag=\"trunc\"", "()"), "error 80030806 \"Save\" (\"save:type missmatch\" 5)");
  EXPECT_EQ(save("option=\"raw\" oflag=\"trunc\"", "\"x\""), "error 80030806 \"Save\" (\"save:type missmatch\" 5)");
  EXPECT_EQ(file_text(at("keep")), "precious");
  // Without trunc the file is written over from its start.
  EXPECT_EQ(save("", "12"), "()");
  EXPECT_EQ(file_text(at("keep")), "12\ncious");
  EXPECT_EQ(run(env_, "(Save mode=\"0640\" \"" + at("new") + "\" 1)"),
            "error 80040a06 \"Save\" (\"cannot access the file\" \"" + at("new") +
                "\" \"No such file or directory\")");
}

// A value nested deeper than the printer follows is answered with the
// printer's error in every form of Save and PrintStd, and the file it was
// to go to keeps every byte.
TEST_F(LoadSave, ValuesThePrinterRefusesLeaveTheFileAlone) {
  write_file(at("keep"), "precious");
  ASSERT_EQ(run(env_, "(define i 0) (define deep 1) (while (< i " + std::to_string(ZU_PRINT_MAX_DEPTH + 10) +
                          ") (define deep (List deep)) (define i (+ i 1)))"),
            "i");
  const std::string keep = "\"" + at("keep") + "\"";
  const std::string refused = "error 80030806 \"print\" (\"value nested too deeply or cyclic\")";
  const std::string d = run(env_, "(openPrintStd " + keep + ")");
  ASSERT_EQ(d, "1");
  write_file(at("keep"), "precious");
  const std::string forms[] = {
      "(Save oflag=\"creat:trunc\" " + keep + " deep)",
      "(Save oflag=\"creat:trunc\" format.mode=\"xml\" " + keep + " (List 1 deep))",
      "(Save option=\"csv\" oflag=\"creat:trunc\" " + keep + " deep)",
      "(Save option=\"csv\" oflag=\"creat:trunc\" " + keep + " (quote ((r (a 1)))) (List deep))",
      "(Save option=\"raw\" oflag=\"creat:trunc\" " + keep + " (List deep))",
      "(PrintStd file=" + keep + " deep)",
      "(PrintStd d=\"" + d + "\" deep)",
  };
  for (const std::string& form : forms) {
    EXPECT_EQ(run(env_, form), refused) << form;
    EXPECT_EQ(file_text(at("keep")), "precious") << form;
  }
  EXPECT_EQ(run(env_, "(closePrintStd d=\"" + d + "\")"), "()");
}

// A text piece longer than the cap ends the list with the reader's error
// for an over-long line; the pieces before it are kept.
TEST_F(LoadSave, TextPiecesAreCapped) {
  setenv("QNMX_LOAD_PIECE_CAP", "1000", 1);
  write_file(at("long"), "short\n" + std::string(999, 'y') + "\n" + std::string(5000, 'x'));
  eval_text(env_, "(define l (Load option=\"text\" terminate=\"\\n\" \"" + at("long") + "\"))");
  unsetenv("QNMX_LOAD_PIECE_CAP");
  EXPECT_EQ(run(env_, "(car l)"), "\"short\"");
  EXPECT_EQ(run(env_, "(StringLength (car (cdr l)))"), "999");
  EXPECT_EQ(run(env_, "(car (cdr (cdr l)))"), "error 80010101 \"load\" (\"line too long\")");
  EXPECT_EQ(run(env_, "(cdr (cdr (cdr l)))"), "()");
}

TEST_F(LoadSave, CsvFieldsAndColumns) {
  std::string out = at("t.csv");
  auto csv = [&](const std::string& records, const std::string& columns = "") {
    EXPECT_EQ(run(env_, "(Save option=\"csv\" oflag=\"creat:trunc\" \"" + out + "\" (quote " + records + ")" +
                            (columns.empty() ? "" : " (quote " + columns + ")") + ")"),
              "()");
    return file_text(out);
  };
  EXPECT_EQ(csv("((r (a 1) (b \"x,y\")) (r (b \"z\")))"), "RECORD-TYPE,a,b\n\nr,1,\"x,y\"\nr,,z\n");
  EXPECT_EQ(csv("((r \"say \\\"hi\\\"\" \"t\\tab\\nline\") (r 2.5 (a (1 2))))"),
            "RECORD-TYPE,tp4,tp4,tp6,a\n\nr,\"say \"\"hi\"\"\",t ab line,,\nr,,,2.500000,!!D(2)!!\n");
  EXPECT_EQ(csv("(5 (x 1) (q))", "((tag \"tag\") (num 5) (b x))"), "tag,num,b\n\n,5,\nx,1,\nq,,\n");
  EXPECT_EQ(csv("()"), "RECORD-TYPE\n\n");
}
