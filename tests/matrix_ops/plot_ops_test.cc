// The plot built-ins and mxObjID through scripts run for the top node of a
// 2-D matrix (dim_divide 1, block size 8): their results, every refusal
// with its text, the channel lock of mxPgPlotInitialize, the constants, and
// the traces on the standard error stream.
#include "matrix_ops/plot_block.h"
#include "matrix_ops/plot_ops.h"
#include "runtime/services.h"
#include "plot_script_util.h"
#include "plot_test_util.h"
#include "stream/stream.h"
#include "text/codemethod.h"
#include "text/convert.h"
#include "zu/eval.h"

namespace {

// A child (level 1) with (4,3) and (5,2) in one coarse cell, sum fields 2, 3.
const char* kPair =
    "01 00 00 04 00 03 31 00 00 00 00 00 00 00 02 00 01 00 00 05 00 02 31 00 00 00 00 00 00 00 03 00 00";
const char* kPairUp = "09 00 00 02 00 01 31 00 00 00 00 00 00 00 05 00 00";
const char* kPairDiff =
    "11 00 00 00 00 01 31 00 00 00 00 00 00 00 02 00 01 00 00 01 00 00 31 00 00 00 00 00 00 00 03 00 00";
// Two points in different coarse cells; (40,40) before (4,3): unsorted.
const char* kApart = "01 00 00 28 00 28 00 01 00 00 04 00 03 00 00";
const char* kApartSorted = "01 00 00 04 00 03 00 01 00 00 28 00 28 00 00";

// What a script wrote to the standard error stream meanwhile.
class StderrCapture {
 public:
  StderrCapture() : old_(s_stderr) { s_stderr = s_open_string_write(utf8_cm); }
  ~StderrCapture() { restore(); }
  std::string restore() {
    if (!old_) return text_;
    text_.assign(s_get_string(s_stderr), static_cast<size_t>(s_get_string_len(s_stderr)));
    d_s_close(s_stderr);
    s_stderr = std::exchange(old_, nullptr);
    return text_;
  }

 private:
  STREAM* old_;
  std::string text_;
};

class PlotOpsTest : public OpsTest {
 protected:
  void SetUp() override {
    bind_plot_test_prims();
    m_ = open_plot_matrix({1024, 1024});
    top_ = ready_node(m_, {2, 0, 0});
    script_ = std::make_unique<NodeScript>(top_);
    let("pair", plot_item(m_, {1, 0, 0}, unhex(kPair)));
    let("pair-z", plot_item(m_, {1, 0, 0}, zip_block(unhex(kPair))));
    let("apart", plot_item(m_, {1, 0, 0}, unhex(kApart)));
    let("apart-z", plot_item(m_, {1, 0, 0}, zip_block(unhex(kApart))));
    let("empty", plot_item(m_, {2, 0, 0}, unhex("00")));
  }
  void TearDown() override {
    script_.reset();
    close_matrix(m_);
  }
  void let(const char* name, ZU_SEXP* v) { script_->let(name, v); }
  ZU_SEXP* run(const std::string& text) { return script_->eval(text); }
  std::string run_shown(const std::string& text) { return shown(run(text)); }
  MATRIX* m_ = nullptr;
  MATRIX_NODE* top_ = nullptr;
  std::unique_ptr<NodeScript> script_;
};

std::string diff_error(const char* reason) {
  return std::string("error 80040503 (\"invalid parameter in mxPgPlotDiff\" \"") + reason + "\")";
}
std::string type_error(const char* reason) {
  return std::string("error 80030806 (\"type missmatch\" \"") + reason + "\")";
}

TEST_F(PlotOpsTest, DiffSplitsChildrenIntoParentAndDifferences) {
  ZU_SEXP* none = run("(mxPgPlotDiff (quote (Children)))");
  ASSERT_EQ(list_length(none), 1);
  EXPECT_EQ(printed(get_el(get_el(none, 0), 1)), "(2 0 0)");
  EXPECT_EQ(item_bytes(get_el(none, 0)), unhex("00"));
  EXPECT_EQ(item_bytes(get_el(run(R"((mxPgPlotDiff compress="on" (quote (Children))))"), 0)), zip_block(unhex("00")));

  ZU_SEXP* one = run("(mxPgPlotDiff pair)");
  ASSERT_EQ(list_length(one), 2);
  EXPECT_EQ(hex(item_bytes(get_el(one, 0)), 1 << 10), kPairUp);
  EXPECT_EQ(printed(get_el(get_el(one, 1), 1)), "(1 0 0)");
  EXPECT_EQ(hex(item_bytes(get_el(one, 1)), 1 << 10), kPairDiff);

  // Children land in their quarter of the parent's cells, compressed alike.
  let("right", plot_item(m_, {1, 512, 0}, zip_block(unhex(kPair))));
  ZU_SEXP* two = run(R"((mxPgPlotDiff compress="on" (list (quote Children) right pair-z)))");
  ASSERT_EQ(list_length(two), 3);
  EXPECT_EQ(hex(inflate(item_bytes(get_el(two, 0))), 1 << 10),
            "0d 09 00 00 02 00 01 31 00 00 00 00 00 00 00 05 00 09 00 00 82 00 01 31 00 00 00 00 00 00 00 05 00 00");
  EXPECT_EQ(printed(get_el(get_el(two, 1), 1)), "(1 512 0)");
  EXPECT_EQ(item_bytes(get_el(two, 2)), zip_block(unhex(kPairDiff)));
  // sort="on" puts a child in point order first.
  EXPECT_EQ(hex(item_bytes(get_el(run(R"((mxPgPlotDiff sort="on" apart))"), 0)), 1 << 10),
            "01 00 00 02 00 01 00 01 00 00 14 00 14 00 00");
}

TEST_F(PlotOpsTest, DiffRefusals) {
  let("damaged", plot_item(m_, {1, 0, 0}, unhex("01 00 00 04")));
  let("clash", plot_item(m_, {1, 0, 0},
                         unhex("01 00 00 04 00 03 31 00 00 00 00 00 00 00 02 00"
                               " 01 00 00 05 00 02 33 00 00 00 00 00 00 00 03 00 00")));
  struct {
    const char* script;
    std::string want;
  } cases[] = {
      {"(mxPgPlotDiff 5)", type_error("target-list not a LIST")},
      {"(mxPgPlotDiff (quote (1 2)))", type_error("target-list SYMBOL not aSYMBOL")},
      {"(mxPgPlotDiff (quote (foo)))", type_error("target-list data or Children is required")},
      {"(mxPgPlotDiff (quote (data (1 0 0) 5)))", type_error("CH data type(2)")},
      {R"((mxPgPlotDiff compress="ON" pair))", diff_error("compress")},
      {R"((mxPgPlotDiff sort="yes" pair))", diff_error("sort")},
      {R"((mxPgPlotDiff compress="on" pair))", diff_error("zlib uncompress")},
      {"(mxPgPlotDiff damaged)", diff_error("internal plot code")},
      {"(mxPgPlotDiff (list (quote data) (quote (1 0)) (car (cdr (cdr pair)))))", diff_error("dim code")},
      {"(mxPgPlotDiff clash)", diff_error("field kind")},
      {"(mxPgPlotDiff (list (quote Children) apart-z apart))", type_error("CH data type(2)")},
      {R"((mxPgPlotDiff sort="on" (list (quote Children) apart apart)))", diff_error("plot splice")},
  };
  let("apart-z", get_el(run("apart"), 0));  // a symbol where a block belongs
  for (const auto& c : cases) EXPECT_EQ(run_shown(c.script), c.want) << c.script;
}

TEST_F(PlotOpsTest, SortSortsAndRefusesEmptyPlots) {
  EXPECT_EQ(hex(item_bytes(run("(mxPgPlotSort apart)")), 1 << 10), kApartSorted);
  ZU_SEXP* z = run(R"((mxPgPlotSort compress="on" apart-z))");
  EXPECT_EQ(printed(get_el(z, 1)), "(1 0 0)");
  EXPECT_EQ(item_bytes(z), zip_block(unhex(kApartSorted)));
  let("damaged", plot_item(m_, {1, 0, 0}, unhex("41 00 00 01")));
  // A pointer to what looks like a block record but is not marked as one.
  static uint8_t empty_plot = 0;
  static MATRIX_ALLOC_BLOCK_PARAM lookalike{{0, MX_TYPE_BLOCK, 0}, 1, &empty_plot, 0, 0};
  let("unmarked", get_ptr(&lookalike, nullptr));
  struct {
    const char* script;
    std::string want;
  } cases[] = {
      {"(mxPgPlotSort empty)", diff_error("internal plot code")},
      {"(mxPgPlotSort damaged)", diff_error("internal plot code")},
      {R"((mxPgPlotSort compress="on" apart))", diff_error("zlib uncompress")},
      {R"((mxPgPlotSort compress="On" apart))", diff_error("compress")},
      {"(mxPgPlotSort 7)", type_error("CH data type(2)")},
      {"(mxPgPlotSort (list (quote data) (quote (1 0 0)) unmarked))", type_error("CH data type(2)")},
  };
  for (const auto& c : cases) EXPECT_EQ(run_shown(c.script), c.want) << c.script;
}

// Sets an environment variable for the life of the holder.
class EnvSet {
 public:
  EnvSet(const char* name, const char* value) : name_(name) { setenv(name, value, 1); }
  ~EnvSet() { unsetenv(name_); }
  EnvSet(const EnvSet&) = delete;
  EnvSet& operator=(const EnvSet&) = delete;

 private:
  const char* name_;
};

// The points of one plot block have a ceiling (1 MiB here): code whose
// points would take more is damaged plot code wherever a block is read,
// refused before a point is made, and a structure that refuses it keeps
// its list. Code below the ceiling reads as it did.
TEST_F(PlotOpsTest, CodePastTheStructureCeilingIsDamaged) {
  EnvSet cap("QNMX_PLOT_STRUCT_CAP", "1048576");
  // Seven bytes of code a point, in one cell: a point takes twenty times that.
  auto one_cell = [](int points) {
    Bytes code;
    for (int i = 0; i < points; ++i) code.insert(code.end(), {0x01, 0x00, 0x00, 0x04, 0x00, 0x03, 0x00});
    code.push_back(0);
    return zip_block(code);
  };
  const Bytes small = one_cell(2000), large = one_cell(20000);
  let("small", plot_item(m_, {1, 0, 0}, small));
  let("large", plot_item(m_, {1, 0, 0}, large));
  for (const char* form : {R"((mxPgPlotSort compress="on" %s))", R"((mxPgPlotDiff compress="on" %s))",
                           R"((mxPgPlotDiff compress="on" sort="on" %s))"}) {
    char text[80];
    std::snprintf(text, sizeof text, form, "small");
    EXPECT_EQ(get_type(run(text)), ZU_TYPE_LIST) << text;
    std::snprintf(text, sizeof text, form, "large");
    EXPECT_EQ(run_shown(text), diff_error("internal plot code")) << text;
  }
  // Loading, the points tagged or in the structure's bump allocator.
  for (int flags : {kPpCompressed, kPpCompressed | kPpInSat}) {
    MX_SB_NEW place{m_, top_, kZipCh};
    PP_SB_NEW init{const_cast<uint8_t*>(large.data()), static_cast<int>(large.size()), flags};
    EXPECT_EQ(pp_new_sb(&place, &init), nullptr) << flags;
    init = PP_SB_NEW{const_cast<uint8_t*>(small.data()), static_cast<int>(small.size()), flags};
    MX_STRUCT_BLOCK* sb = pp_new_sb(&place, &init);
    ASSERT_TRUE(sb) << flags;
    INTERNAL_PLOT *before = nullptr, *after = nullptr;
    ASSERT_EQ(pp_operation(PPC_GET, sb, &before), 0);
    MATRIX_ALLOC_BLOCK_PARAM p{};
    p.size = static_cast<int32_t>(large.size());
    p.block = const_cast<uint8_t*>(large.data());
    EXPECT_EQ(pp_block2struct(sb, &p), -1) << flags;
    ASSERT_EQ(pp_operation(PPC_GET, sb, &after), 0);
    EXPECT_TRUE(before && after == before) << flags;
    pp_free_sb(sb);
  }
}

TEST_F(PlotOpsTest, AddRebuildsTheChild) {
  run("(define d (mxPgPlotDiff pair))");
  ZU_SEXP* r = run("(mxPgPlotAdd (car d) (car (cdr d)))");
  EXPECT_EQ(printed(get_el(r, 1)), "(2 0 0)");
  PlotMatrix pm({8, 8}, {1, 1});
  Bytes code = item_bytes(r);
  INTERNAL_PLOT* ip = plot_of(pm.get(), hex(code, 1 << 10));
  // Two points sharing a coarse cell and no id: each gets an object id.
  ASSERT_EQ(get_internal_plot_len(ip), 2);
  EXPECT_EQ(ip->c[0], 4);
  EXPECT_EQ(ip->next->c[1], 2);
  EXPECT_EQ(ip->flags, 0x51);
  EXPECT_TRUE(ip->id > 0 && ip->id % 256 == 0 && ip->next->id == ip->id + 256);
  free_internal_plot_list(ip);
  ZU_SEXP* z = run(R"((define dz (mxPgPlotDiff compress="on" pair-z)) (mxPgPlotAdd compress="on" (car dz) (car (cdr dz))))");
  EXPECT_EQ(inflate(item_bytes(z)).size(), code.size() + 1);
}

TEST_F(PlotOpsTest, AddRefusalsInTheirOrder) {
  run("(define d (mxPgPlotDiff pair)) (define up (car d)) (define down (car (cdr d)))");
  run(R"((define dz (mxPgPlotDiff compress="on" pair-z)) (define up-z (car dz)))");
  let("text-diff", plot_item(m_, {1, 0, 0}, unhex("11 00 00 00 00 01 20 61 00 00 00")));
  struct {
    const char* script;
    std::string want;
  } cases[] = {
      {"(mxPgPlotAdd 5 down)", type_error("parent not a LIST")},
      {"(mxPgPlotAdd (quote (1 2)) down)", type_error("parent SYMBOL not aSYMBOL")},
      {"(mxPgPlotAdd (quote (foo)) down)", type_error("parent data is required")},
      {"(mxPgPlotAdd (quote (data (2 0 0) 1)) 5)", type_error("parent CH data type(2)")},
      {"(mxPgPlotAdd up 5)", type_error("child not a LIST")},
      {"(mxPgPlotAdd up (quote (1 2)))", type_error("child SYMBOL not aSYMBOL")},
      {"(mxPgPlotAdd up (quote (foo)))", type_error("child data is required")},
      {"(mxPgPlotAdd up (quote (data (1 0 0) 1)))", type_error("child CH data type(2)")},
      {R"((mxPgPlotAdd compress="of" up down))", diff_error("compress")},
      {R"((mxPgPlotAdd compress="on" up down))", diff_error("zlib uncompress parent")},
      {"(mxPgPlotAdd empty down)", diff_error("parent internal plot code")},
      {"(mxPgPlotAdd up empty)", diff_error("child internal plot code")},
      {R"((mxPgPlotAdd compress="on" up-z down))", diff_error("zlib uncompress child")},
      {"(mxPgPlotAdd up text-diff)", diff_error("field kind")},
      {"(mxPgPlotAdd up (list (quote data) (quote (1 0 0 0)) (car (cdr (cdr down)))))", diff_error("dim code")},
  };
  for (const auto& c : cases) {
    ZU_SEXP* v = run(c.script);
    EXPECT_EQ(shown(v), c.want) << c.script;
    if (get_type(v) == ZU_TYPE_ERROR) {
      EXPECT_EQ(zu_wcmp_ascii(v->error->func, "mxPgPlotAdd"), 0);
    }
  }
}

TEST_F(PlotOpsTest, InitializeInstallsUnderTheChannelLock) {
  // A node without its channel array yet gets a zeroed one.
  MATRIX_NODE bare{};
  int64_t bare_dc[3] = {1, 512, 512};
  bare.matrix = m_;
  bare.dim_code = bare_dc;
  EXPECT_EQ(shown(NodeScript(&bare).eval(R"((mxPgPlotInitialize channel="1"))")), "()");
  ASSERT_TRUE(bare.channel);
  EXPECT_EQ(bare.channel[0].sb, nullptr);
  pp_free_sb(bare.channel[1].sb);
  d_f_ree(bare.channel);

  MATRIX_NODE* fresh = ready_node(m_, {1, 512, 512});
  NodeScript s(fresh);
  EXPECT_EQ(shown(s.eval(R"((mxPgPlotInitialize channel="x"))")), "()") << "no digits: channel 0";
  MX_STRUCT_BLOCK* plot = fresh->channel[0].sb;
  ASSERT_TRUE(plot);
  EXPECT_EQ(plot->tbl, &blk_pp_tbl);
  // A structure of another plug-in goes through its own release.
  EXPECT_EQ(shown(s.eval(R"((mxSetSB channel="1" (sbPrimitive)) (mxPgPlotInitialize channel="1" sat="on" compress="on"))")),
            "()");
  EXPECT_EQ(fresh->channel[1].sb->tbl, &blk_pp_tbl);
  EXPECT_EQ(reinterpret_cast<PP_STRUCT_BLOCK*>(fresh->channel[1].sb)->flags, kPpInSat | kPpCompressed);
  struct {
    const char* script;
    const char* reason;
  } cases[] = {
      {R"((mxPgPlotInitialize channel="-1"))", "channel range"},
      {R"((mxPgPlotInitialize channel="3"))", "channel range"},
      {R"((mxPgPlotInitialize channel="2"))", "channel data type is not BLOCK"},
      {R"((mxPgPlotInitialize channel="0" sat="maybe"))", "attribute sat"},
      {R"((mxPgPlotInitialize channel="0" compress="ON"))", "compress"},
      {"(mxPgPlotInitialize)", "attribute channel"},
  };
  for (const auto& c : cases) {
    ZU_SEXP* v = s.eval(c.script);
    EXPECT_EQ(shown(v), diff_error(c.reason)) << c.script;
    if (get_type(v) == ZU_TYPE_ERROR) {
      EXPECT_EQ(zu_wcmp_ascii(v->error->func, "mxPgPlotDiff"), 0);
    }
    EXPECT_EQ(fresh->channel[0].sb, plot) << "the old structure stays";
    EXPECT_EQ(fresh->ch_lock, 0) << "the channel lock is let go";
  }
}

TEST_F(PlotOpsTest, ConstantsAndBindingIntoAnotherEnvironment) {
  const std::pair<const char*, int> constants[] = {
      {"mxPgPointColor", 0},     {"mxPgPointImg", 1},      {"mxPgNONE", 0x10},          {"mxPgSTRING", 0x20},
      {"mxPgSTRING_INHERIT", 0x21}, {"mxPgSTRING_ERASE", 0x22}, {"mxPgINT_ADD", 0x31}, {"mxPgINT_AVG", 0x32},
      {"mxPgINT_MAX", 0x33},     {"mxPgINT_MIN", 0x34},    {"mxPgRGBA", 0x40},          {"mxPgTYPE_NONE", 0x10},
      {"mxPgTYPE_STRING", 0x20}, {"mxPgTYPE_INT", 0x30},   {"mxPgTYPE_RGBA", 0x40},     {"mxPgFDIT_INT", 1},
      {"mxPgFDIT_FLOAT", 2},     {"mxPgFDIT_DD", 3},       {"mxPgFDIT_DDMMSS", 4}};
  ZUISP_ENV* second = new_env(qnlisp_top_env0);
  gc_set_nl(second, gc_qnlisp_env);
  init_mxPgPlot(second);
  init_mxObjID(second);
  for (auto [name, value] : constants) {
    EXPECT_EQ(run_shown(name), std::to_string(value)) << name;
    EXPECT_EQ(shown(eval(second, get_symbol_ascii(name))), std::to_string(value)) << name;
  }
  // Without a running node the built-ins give the empty list.
  for (const char* form : {"(mxPgPlotDiff pair)", "(mxPgPlotSort pair)", "(mxPgPlotAdd pair pair)",
                           "(mxPgPlotInitialize)", "(mxObjID pair)"}) {
    ZU_SEXP* forms = sexp_commands(utf8_cm, form, nullptr);
    gc_set_nl(forms, gc_qn_sexp);
    EXPECT_EQ(0, set_env(second, l_string(ascii_cm, "pair"), run("pair")));
    EXPECT_EQ(shown(eval_body(second, forms)), "()") << form;
  }
}

TEST_F(PlotOpsTest, TracesGoToTheErrorStream) {
  StderrCapture cap;
  run("(mxPgPlotDiff pair)");
  std::string text = cap.restore();
  EXPECT_EQ(text.rfind("mxPgPlotDiff\nmxPgPlotDiff-1\nmxPgPlotDiff-2\nmxPgPlotDiff-3\nmxPgPlotDiff-4\n((data (1 0 0) ", 0), 0u)
      << text;
  for (const char* step : {"mxPgPlotDiff-5-prev 33\n", "mxPgPlotDiff-5 33\n", "mxPgPlotDiff-8\n", "mxPgPlotDiff-9 1\n",
                           "mxPgPlotDiff-10\n", "mxPgPlotDiff-11\n", "mxPgPlotDiff-6 1\n", "mxPgPlotDiff-END 17\n"})
    EXPECT_NE(text.find(step), std::string::npos) << step;
}

// Cells are 16 bits: a matrix of larger blocks holds no plots.
TEST_F(PlotOpsTest, BlocksAboveSixteenBitsAreRefused) {
  MATRIX* wide = open_plot_matrix({1 << 20, 1 << 20}, 17);
  NodeScript s(ready_node(wide, {1, 0, 0}));
  s.let("pair", run("pair"));
  for (const char* form : {R"((mxPgPlotInitialize channel="0"))", "(mxPgPlotSort pair)", "(mxPgPlotAdd pair pair)",
                           "(mxPgPlotDiff pair)"})
    EXPECT_EQ(shown(s.eval(form)), diff_error("block size")) << form;
  EXPECT_EQ(shown(s.eval("(mxObjID pair)")), R"(error 80040503 ("invalid parameter in mxObjID" "block size"))");
  close_matrix(wide);
}

// ---- mxObjID

// Points (1,2) with id 0x300, (9,9) without, (3,1) with id 0x200.
const char* kTwoOfThree =
    "41 00 00 01 00 02 00 00 00 00 00 00 03 00 00 01 00 00 09 00 09 31 00 00 00 00 00 00 00 07 00"
    " 41 00 00 03 00 01 00 00 00 00 00 00 02 00 00 00";

TEST_F(PlotOpsTest, ObjIdGivesIdsOnlyToPointsWithoutOne) {
  let("ids", plot_item(m_, {1, 0, 0}, unhex(kTwoOfThree)));
  int64_t next = m_->obj_id + 256;
  StderrCapture cap;
  ZU_SEXP* once = run("(mxObjID ids)");
  std::string trace = cap.restore();
  EXPECT_EQ(printed(get_el(once, 1)), "(1 0 0)");
  Bytes want = unhex(kTwoOfThree);
  want[15] = 0x41;
  Bytes id(8);
  for (int i = 0; i < 8; ++i) id[i] = static_cast<uint8_t>(static_cast<uint64_t>(next) >> (56 - 8 * i));
  want.insert(want.begin() + 21, id.begin(), id.end());
  EXPECT_EQ(hex(item_bytes(once), 1 << 10), hex(want, 1 << 10));
  EXPECT_EQ(count_of(trace, "---IP 0x"), 1) << trace;
  EXPECT_NE(trace.find(" 0\n"), std::string::npos) << trace;
  let("once", once);
  EXPECT_EQ(item_bytes(run("(mxObjID once)")), item_bytes(once)) << "no point gets a second id";
  // Compressed blocks in and out.
  let("ids-z", plot_item(m_, {1, 0, 0}, zip_block(unhex(kTwoOfThree))));
  Bytes z = inflate(item_bytes(run(R"((mxObjID compress="on" ids-z))")));
  ASSERT_EQ(z.size(), want.size() + 1);
  EXPECT_EQ(z[0], 0x0d);
  EXPECT_EQ(z[16], 0x41);
}

TEST_F(PlotOpsTest, ObjIdRefusals) {
  std::string param = R"(error 80040503 ("invalid parameter in mxObjID" ")";
  struct {
    const char* script;
    std::string want;
  } cases[] = {
      {R"((mxObjID compress="on" pair))", param + "zlib uncompress\")"},
      {"(mxObjID empty)", param + "internal plot code\")"},
      {R"((mxObjID compress="yes" pair))", param + "compress\")"},
      {"(mxObjID (quote (data (1 0 0) 3)))", type_error("CH data type(2)")},
      {"(mxObjID (list (quote data) 5 (car (cdr (cdr pair)))))", param + "dim code\")"},
  };
  for (const auto& c : cases) EXPECT_EQ(run_shown(c.script), c.want) << c.script;
}

}  // namespace
