#include <cstring>

#include "base/alloc.h"
#include "plot_test_util.h"
#include "runtime/front.h"
#include "runtime/services.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/core_init.h"
#include "zu/eval.h"

namespace {

ZU_SEXP* eval_text(ZUISP_ENV* env, const char* text) {
  ZU_SEXP* forms = sexp_commands(utf8_cm, text, nullptr);
  gc_set_nl(forms, gc_qn_sexp);
  return eval_body(env, forms);
}

// "type value..." as the tests read a field.
std::string shown(const IP_FIELD& f) {
  char buf[128];
  switch (f.type & 0xF0) {
    case 0x20:
      return f.d.str ? "20 " + std::string(f.d.str) : (std::snprintf(buf, sizeof buf, "%x", f.type), buf);
    case 0x30:
      std::snprintf(buf, sizeof buf, "%x %lld", f.type, static_cast<long long>(f.d.i[0]));
      if (f.type == kFdIntAvg) std::snprintf(buf + std::strlen(buf), 40, " %lld", static_cast<long long>(f.d.i[1]));
      return buf;
    case 0x40:
      std::snprintf(buf, sizeof buf, "40 %02x%02x%02x%02x %lld", f.d.rgba->rgba[0], f.d.rgba->rgba[1], f.d.rgba->rgba[2],
                    f.d.rgba->rgba[3], static_cast<long long>(f.d.rgba->count));
      return buf;
    default:
      std::snprintf(buf, sizeof buf, "%x", f.type);
      return buf;
  }
}

std::string shown(IP_FIELD* fd) {
  if (!fd) return "null";
  std::string s;
  for (unsigned i = 0; i < fd[0].len; ++i) s += (i ? ", " : "") + shown(fd[i]);
  return s;
}

// A one-point plot's field array read from the fields' code ("31 ..00 05").
IP_FIELD* fields_of(const std::string& hex_fields) {
  PlotMatrix pm({8}, {1});
  INTERNAL_PLOT* ip = plot_of(pm.get(), "01 00 00 00 " + hex_fields + " 00 00");
  IP_FIELD* f = ip->fields;
  ip->fields = nullptr;
  free_internal_plot(ip);
  return f;
}

class PlotField : public ::testing::Test {
 protected:
  ZuThreadScope scope_{"plot field test"};
  ZUISP_ENV* env_ = nullptr;
  // This thread is no interpreter's: the runtime's break check would stop
  // its evaluations, so it is off while a test here evaluates.
  void SetUp() override {
    set_break_check_hook(nullptr);
    env_ = new_env(qnlisp_top_env0);
    gc_set_nl(env_, gc_qnlisp_env);
  }
  void TearDown() override { set_break_check_hook(_zui_break_check); }
  ZU_SEXP* quoted(const std::string& text) { return eval_text(env_, ("(quote " + text + ")").c_str()); }
  // A description of the row of merge_type read from the settings text.
  FD_OPT described(uint8_t merge_type, const std::string& settings, int want = 0) {
    FD_OPT o{};
    o.h.merge_type = merge_type;
    o.h.dim = o.h.target_label = -1;
    EXPECT_EQ(fd_row(merge_type)->initial(nullptr, quoted(settings), &o, 0), want) << settings;
    return o;
  }
  std::string value(FD_OPT* o, const std::string& input, int cell, int* rc) {
    IP_FIELD f{};
    void* data = cell ? static_cast<void*>(const_cast<L_CHAR*>(l_string(std_cm, input.c_str()))) : quoted(input);
    *rc = fd_row(o->h.merge_type)->initial(&f, data, o, cell);
    std::string r = *rc ? "" : shown(f);
    if (!*rc) d_f_ree(f.d.str);
    return r;
  }
};

TEST_F(PlotField, InitialCodesInBothModes) {
  EXPECT_EQ(described(kFdIntAdd, "(1 1.0 0 1)").h.init_sexp, nullptr);
  EXPECT_EQ(described(kFdIntAdd, "(1 1.0 0 1 9)").h.init_sexp->integer.num, 9);
  described(kFdIntAdd, "(1 1.0 0)", -1);
  described(kFdIntAdd, "(x 1 0 1)", -2);
  described(kFdIntAdd, "(1 \"a\" 0 1)", -3);
  described(kFdIntAdd, "(1 1 0 1.5)", -4);
  described(kFdIntAdd, "(1 1 \"z\" 1)", -9);
  described(kFdStr, "5", -1);
  described(kFdStr, "(1)", -2);
  described(kFdStr, "(\"NO-SUCH-CODE\")", -4);
  described(kFdRgba, "(\"x\")", -1);
  FD_OPT avg = described(kFdIntAvg, "(1 2 -1.9 3)");     // offset truncated to -1
  FD_OPT dms = described(kFdIntCoord, "(4 1 0 1)");      // degrees, minutes, seconds
  FD_OPT conv = described(kFdStr, "(\"UTF-8\" (car 5))");  // a conversion that fails
  FD_OPT text = described(kFdStr, "(\"UTF-8\" ())");
  FD_OPT rgba = described(kFdRgba, "(7)");
  dms.h.dim = 0;
  FD_OPT nodim = dms, form5 = avg, odd = avg;
  nodim.h.dim = -1;
  form5.integer.type = 5;
  odd.h.merge_type = 0x35;
  struct Case {
    FD_OPT* opt;
    const char* input;
    int cell;  // 1: the input is a text cell
    int rc;
    const char* field;
  } cases[] = {
      {&avg, "5", 0, 0, "32 9 3"},
      {&avg, "\"010\"", 0, 0, "32 19 3"},  // decimal, never octal
      {&avg, " -7 ", 1, 0, "32 -15 3"},
      {&avg, "2.5", 0, 0, "32 4 3"},
      {&avg, "\"12abc\"", 0, -7, nullptr},
      {&avg, "(1)", 0, static_cast<int>(ZU_ER_TYPE), nullptr},
      {&dms, "1234530", 0, 0, "30 445530"},  // 123 deg 45' 30"
      {&dms, "-10101.5", 0, 0, "30 -3661"},
      {&dms, "\"0160\"", 0, -7, nullptr},   // 60 seconds
      {&nodim, "5", 0, -9, nullptr},
      {&form5, "2.5", 0, -5, nullptr},
      {&form5, "2", 0, -6, nullptr},
      {&form5, "\"2\"", 0, -7, nullptr},
      {&odd, "2", 0, -8, nullptr},
      {&conv, "1", 0, -1, nullptr},
      {&text, "(a 1)", 0, 0, "20 (a 1)"},
      {&text, "abc", 1, 0, "20 abc"},
      {&text, "()", 0, 0, "22"},
      {&rgba, "\"287454020\"", 0, 0, "40 11223344 7"},
      {&rgba, "x", 1, -2, nullptr},
      {&rgba, "2.5", 0, -2, nullptr},
  };
  IP_FIELD erased{};
  EXPECT_EQ(fd_row(kFdStr)->initial(&erased, nullptr, &text, 1), 0);  // a null cell
  EXPECT_EQ(shown(erased), "22");
  for (const Case& c : cases) {
    int rc = 0;
    std::string got = value(c.opt, c.input, c.cell, &rc);
    EXPECT_EQ(rc, c.rc) << c.input;
    if (c.field) {
      EXPECT_EQ(got, c.field) << c.input;
    }
  }
}

TEST_F(PlotField, MergeDifferenceAndSumFollowTheKindRules) {
  const char* avg10 = "32 00 00 00 00 00 00 00 0a 00 00 00 00 00 00 00 01";
  // (second, first) -> merge_fields(first, second); "refused" when refused.
  const char* merges[][3] = {
      {"20 61 00", "20 61 00", "20 a"},
      {"20 61 00", "20 62 00", "22"},
      {"22", "20 61 00", "22"},  // an erase on the first side wins
      {avg10, "32 00 00 00 00 00 00 00 14 00 00 00 00 00 00 00 03", "32 17 4"},
      {avg10, "32 00 00 00 00 00 00 00 07 ff ff ff ff ff ff ff ff", "32 1 0"},  // half the weighted sum
      {"40 64 64 64 64 00 00 00 00 00 00 00 01", "40 c8 00 c8 00 00 00 00 00 00 00 00 01", "40 96329632 2"},
      {"20 61 00", "21", "refused"},
      {"31 00 00 00 00 00 00 00 02", "33 00 00 00 00 00 00 00 02", "refused"},
      {"31 7f ff ff ff ff ff ff ff", "31 00 00 00 00 00 00 00 01", "refused"},  // beyond 64 bits
  };
  for (auto& c : merges) {
    IP_FIELD* a = fields_of(c[0]);
    IP_FIELD* b = fields_of(c[1]);
    unsigned char flags = 0;
    int err = 0;
    IP_FIELD* m = merge_fields(&flags, b, a, &err);
    EXPECT_EQ(err ? "refused" : shown(m), c[2]) << c[0] << " + " << c[1];
    EXPECT_EQ(flags, err ? 0 : 0x08);
    for (IP_FIELD* f : {a, b, m}) free_fields(f);
  }
  // Three fields with five: the first three merged (none takes the other
  // side), the last two copied.
  IP_FIELD* three = fields_of("31 00 00 00 00 00 00 00 01 10 22");
  IP_FIELD* five = fields_of("31 00 00 00 00 00 00 00 02 20 61 00 20 62 00 10 22");
  unsigned char flags = 0;
  IP_FIELD* m = merge_fields(&flags, three, five);
  EXPECT_EQ(shown(m), "31 3, 20 a, 22, 10, 22");
  // Equal texts differ by inheriting, and the sum gives the text back; a
  // text added to an erased coarser field is the text.
  IP_FIELD* up = fields_of("20 61 00 22");
  IP_FIELD* down = fields_of("20 61 00 20 62 00");
  IP_FIELD* d = diff_fields(down, up);
  EXPECT_EQ(shown(d), "21, 20 b");
  IP_FIELD back[2] = {};
  for (int i = 0; i < 2; ++i) EXPECT_EQ(fd_row(up[i].type)->add(&back[i], &up[i], &d[i], nullptr), 0);
  EXPECT_EQ(shown(back[0]) + ", " + shown(back[1]), shown(down));
  for (IP_FIELD& f : back) d_f_ree(f.d.str);
  for (IP_FIELD* f : {three, five, m, up, down, d}) free_fields(f);
}

}  // namespace
