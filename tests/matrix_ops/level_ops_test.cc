// The level arithmetic through a matrix worker: a parent thinned from the
// children that mxCH hands over, the examples of each operation, and the
// refusals, which leave every argument as it was.
#include "elements/value.h"
#include "elements/zu_convert.h"
#include "matrix/dim_code.h"
#include "ops_test_util.h"
#include "zu/core_init.h"

namespace {

int tell_idle(int event, void*) {
  if (event == 4) {
    std::lock_guard<std::mutex> g(ev.mu);
    ev.cv.notify_all();
  }
  return 0;
}

// (vec code (extents) element ...): a collected vector of type code.
ZU_SEXP* zu_vec(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  MATRIX_DATA_TYPE* tp = get_matrix_data_type(static_cast<int>(get_el(form, 1)->integer.num));
  std::vector<int32_t> ix;
  for (ZU_SEXP* p = get_el(form, 2); get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr)
    ix.push_back(static_cast<int32_t>(p->pair.car->integer.num));
  MATRIX_ALLOC_VECTOR_PARAM prm{static_cast<int>(ix.size()), ix.data(), nullptr, nullptr};
  void* v = tp->alloc_data(tp, MX_ATYPE::collector, &prm, nullptr, __FILE__, __LINE__);
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, v);
  for (int64_t i = 0; i < dh.total_element; ++i) {
    int cpy = 0;
    void* d = tp->parent->sexp2md(&cpy, tp->parent, get_el(form, 3 + i));
    if (tp->type == MX_TYPE_STRING_V) mxt_stringv_set(v, i, static_cast<char*>(d));
    else std::memcpy(dh.offset + i * mxt_vector_element_size(tp), d, static_cast<size_t>(mxt_vector_element_size(tp)));
    if (cpy) tp->parent->free_data(tp->parent, d);
  }
  return get_ptr(v, tp->type == MX_TYPE_STRING_V ? gc_mx_stringv_data : gc_text);
}

// (elems item): the elements of an item's vector as a list.
ZU_SEXP* zu_elems(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* s = get_el(form, 1);
  while (get_type(s) == ZU_TYPE_LIST) s = get_el(s, 2);
  MATRIX_DH_SET dh;
  MATRIX_DATA_TYPE* tp = get_matrix_dh_set(&dh, get_vdata_from_sexp(s));
  ZU_SEXP* r = nullptr;
  for (int64_t i = dh.total_element - 1; i >= 0; --i) {
    const uint8_t* e = dh.offset + i * mxt_vector_element_size(tp);
    const void* d = tp->type == MX_TYPE_STRING_V ? *reinterpret_cast<char* const*>(e) : static_cast<const void*>(e);
    r = cons(tp->parent->md2sexp(tp->parent, d), r);
  }
  return r;
}

class LevelOps : public OpsTest {
 protected:
  void SetUp() override {
    static const QN_PRIM_DEF prims[] = {{"vec", zu_vec, 1, 3, -1, 0}, {"elems", zu_elems, 1, 2, 2, 0}, {}};
    static bool bound = false;
    if (!std::exchange(bound, true)) bind_prims(matrix_zu_env, prims);
  }
  // 16 x 16 elements in 4 x 4 blocks; channel 0 uint8_v with default 7,
  // which the fetch script of level 0 sets to 0 .. 15 (or of type tp,
  // without a default).
  MATRIX* open_blocks(MATRIX_DATA_TYPE* tp = &mx_type_uint8_v) {
    MATRIX* m = open_matrix(nullptr, nullptr, nullptr, nullptr, nullptr);
    MATRIX_PARAM p{};
    p.dim = 2, p.channel_nos = 1, p.trigger = tell_idle;
    EXPECT_EQ(set_matrix_param(m, &p), 0);
    for (int d = 0; d < 2; ++d)
      EXPECT_TRUE(!set_matrix_dim_divide(m, d, 1) && !set_matrix_block_size(m, d, 2) &&
                  !set_matrix_pixel_size(m, d, 16));
    uint8_t def = 7;
    MATRIX_CHANNEL_INFO inf{tp, kMxChSend, tp == &mx_type_uint8_v ? &def : nullptr, 0};
    EXPECT_EQ(set_matrix_channel_info(m, 0, &inf), 0);
    set_script(m, {3, 4}, R"((mxFinish normal-jump-status="MS_OK"))");
    set_script(m, {5}, R"((mxFinish normal-jump-status="MS_OK")
                          (mxSet 0 (list (quote data) 0 (vec 22 (list 4 4) 0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15))))");
    set_matrix_mode(m, kMxModeActive);
    return m;
  }
  // The notes of a script run in the edit slot of node dc; a form that
  // waited for a child runs again, and its wait is no result.
  std::vector<std::string> run(MATRIX* m, const Code& dc, const std::string& script) { return run_edit(m, dc, script); }
};

// Each child's share of the parent holds its cells' means (or, with rep
// code (1 1), the cells' last elements); children missing from the list
// leave the channel default.
TEST_F(LevelOps, ThinnedOutFillsTheParentFromItsChildren) {
  for (bool all : {true, false}) {
    MATRIX* m = open_blocks();
    MATRIX_NODE* root = ready_node(m, {1, 0, 0});
    for (const Code& dc : {Code{0, 0, 0}, Code{0, 4, 0}, Code{0, 0, 4}, Code{0, 4, 4}})
      if (all || dc[1] == dc[2]) insert_dim_code_index(root, dc.data(), 0);
    std::vector<std::string> got = run(m, {1, 0, 0}, R"(
      (note (elems (mxThinnedOut type="average" channel="0" (mxCH type="children" 0))))
      (note (elems (mxThinnedOut channel="0" (mxCH type="children" 0) (list 1 1))))
      (note (elems (mxThinnedOut channel="0" (mxCH type="children" 0) (list 1)))))");
    // A code shorter than two reads as zeros.
    if (all)
      EXPECT_EQ(got, (std::vector<std::string>{"(2 4 2 4 10 12 10 12 2 4 2 4 10 12 10 12)",
                                               "(5 7 5 7 13 15 13 15 5 7 5 7 13 15 13 15)",
                                               "(0 2 0 2 8 10 8 10 0 2 0 2 8 10 8 10)"}));
    else
      EXPECT_EQ(got.at(0), "(2 4 7 7 10 12 7 7 7 7 2 4 7 7 10 12)");
    close_matrix(m);
  }
}

// A target written as mxCH's read of the children is thinned from the
// children's data in place (with a representative code named or absent);
// the same read made any other way (here through car) hands over copies.
// Both give the same parent, and the same error when the read fails or a
// later argument does; the children's channel locks are all let go once
// the script ends, whatever it answered.
TEST_F(LevelOps, ThinnedOutReadsTheChildrenInPlaceAsFromCopies) {
  MATRIX* m = open_blocks();
  MATRIX_NODE* root = ready_node(m, {1, 0, 0});
  const std::vector<Code> kids = {{0, 0, 0}, {0, 4, 0}, {0, 0, 4}, {0, 4, 4}};
  for (const Code& dc : kids) insert_dim_code_index(root, dc.data(), 0);
  std::vector<std::string> got = run(m, {1, 0, 0}, R"(
    (note (elems (mxThinnedOut type="average" channel="0" (mxCH type="children" 0))))
    (note (elems (mxThinnedOut type="average" channel="0" (car (list (mxCH type="children" 0))))))
    (define r (list 1 1))
    (note (elems (mxThinnedOut channel="0" (mxCH type="children" 0) r)))
    (note (elems (mxThinnedOut channel="0" (car (list (mxCH type="children" 0))) (list 1 1))))
    (peek (mxThinnedOut type="average" (mxCH type="children" 5)))
    (peek (mxThinnedOut type="average" (car (list (mxCH type="children" 5)))))
    (peek (mxThinnedOut type="average" (mxCH type="children" (quote x))))
    (peek (mxThinnedOut channel="0" (mxCH type="children" 0) (no-such-function)))
    (peek (mxThinnedOut type="median" (mxCH type="children" 0))))");
  ASSERT_EQ(got.size(), 9u);
  EXPECT_EQ(got[0], "(2 4 2 4 10 12 10 12 2 4 2 4 10 12 10 12)");
  EXPECT_EQ(got[1], got[0]);
  EXPECT_EQ(got[2], "(5 7 5 7 13 15 13 15 5 7 5 7 13 15 13 15)");
  EXPECT_EQ(got[3], got[2]);
  EXPECT_EQ(got[4].substr(0, 33), R"(error 80040501 ("invalid object i)");
  EXPECT_NE(got[4].find("overflow the ch No."), std::string::npos);
  EXPECT_EQ(got[5], got[4]);
  EXPECT_EQ(got[6], "error 80030806 ()");
  EXPECT_EQ(got[7].substr(0, 15), "error 80030705 ");  // unbound
  EXPECT_EQ(got[8], R"(error 80040503 ("invalid parameter in mxThinnedOut" "median"))");
  for (const Code& dc : kids) {
    MATRIX_NODE* n = node_at(m, dc);
    ASSERT_NE(n, nullptr);
    MatrixLocked held;
    EXPECT_EQ(n->ch_lock, 0);
  }
  // A node of no child keeps its channel's datum (here its default) read
  // in place or not, without a channel= attribute: mxCH names the channel.
  ready_node(m, {1, 8, 0});
  got = run(m, {1, 8, 0}, R"(
    (note (elems (mxThinnedOut (mxCH type="children" 0))))
    (note (elems (mxThinnedOut (mxCH type="children" 0) (list 1 1)))))");
  EXPECT_EQ(got, std::vector<std::string>(2, "(7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7)"));
  close_matrix(m);
  // Texts have no average: a node of no child answers the type error that
  // children of that type answer.
  m = open_blocks(&mx_type_string_v);
  ready_node(m, {1, 8, 0});
  got = run(m, {1, 8, 0}, R"(
    (peek (mxThinnedOut type="average" (mxCH type="children" 0)))
    (peek (mxThinnedOut type="average" channel="0" (list (quote Children)))))");
  EXPECT_EQ(got, std::vector<std::string>(2, "error 80030806 ()"));
  close_matrix(m);
}

// The examples of each operation, then every refusal with its error; the
// arguments keep their elements. a is 2 x 2 on level 2, b and d one level
// down (int16 and double), u uint8 and s texts.
TEST_F(LevelOps, ExamplesAndRefusals) {
  const char* type = "error 80030806 ()";
  const std::pair<const char*, const char*> cases[] = {
      {"(elems (mxSquash q))", "(0 2 0 4 5 6 7 8 0 10 0 12 13 14 15 16)"},
      {"(elems (mxSquash q 9 (list 1 1)))", "(1 2 3 4 5 9 7 9 9 10 11 12 13 9 15 9)"},
      {"(elems (mxStuffing q (vec 22 (list 2 2) 91 92 93 94) (list 0 0)))", "(91 2 92 4 5 6 7 8 93 10 94 12 13"},
      {"(mxMax (list (quote Children) (list (quote data) z 3) (list (quote data) z 2.5)))", "(data (2 0 0) 3)"},
      {"(mxMax (list (quote Children) (list (quote data) z 2.5) (list (quote data) z 3.5)))", "(data (2 0 0) 3.5"},
      {"(mxMax (list (quote data) z 7))", "(data (2 0 0) 7)"},
      {"(elems (mxDiff a b))", "(49 48 47 46)"},
      {"(elems (mxAdd a (mxDiff a b)))", "(99 98 97 96)"},
      {"(elems (mxDiff a (mxDiff a b)))", "(1 2 3 4)"},
      {"(elems (mxDiff f (mxDiff f d)))", "(0.100000 0.200000 0.300000 0.400000)"},
      {"(mxThinnedOut type=\"median\" b)", R"(error 80040503 ("invalid parameter in mxThinnedOut" "median"))"},
      {"(mxThinnedOut channel=\"1\" u)", R"(error 80040503 ("invalid parameter in mxThinnedOut" "channel No."))"},
      {"(mxThinnedOut 3)", R"(error 80030806 "target-list not a LIST")"},
      {"(mxThinnedOut (list 3))", R"(error 80030806 "target-list SYMBOL not a SYMBOL")"},
      {"(mxThinnedOut (list (quote other)))", R"(error 80030806 "target-list data or Children is required")"},
      {"(mxThinnedOut (list (quote Children)))", R"(error 80030806 "CH data type")"},
      {"(mxThinnedOut (list (quote Children) u (list (quote data) z 5)))", "error 80030806 \"CH data type(2)\""},
      {"(mxThinnedOut (list (quote Children) u (list (quote data) 5 u)))",
       R"(error 80030806 "cannot convert dim_code")"},
      {"(mxThinnedOut (list (quote Children) u b))", type},
      {"(mxThinnedOut type=\"average\" s)", type},
      {"(mxDiff a b option=\"LOUD\")", R"(error 80040503 "invalid parameter in mxDiff")"},
      {"(mxDiff a u)", type},
      {"(mxDiff b a)", type},
      {"(mxDiff a (list (quote data) z (vec 19 (list 2 2) 1 2 3 4)))", R"(error 80040501 "invalid matrix loading")"},
      {"(mxAdd s s)", type},
      {"(mxSquash 5)", type},
      {"(mxSquash q \"x\")", R"(error 80040503 "invalid parameter in mxSquash")"},
      {"(mxSquash q 0 (list 4 0))", R"(error 80040503 "invalid parameter in mxSquash")"},
      {"(mxSquash q 0 (list 0 -1))", R"(error 80040503 "invalid parameter in mxSquash")"},
      {"(mxStuffing q b)", type},
      {"(mxMax (list (quote data) z (vec 22 (list 1) 5)))", "error 80030806 \"CH data type(2)\""},
      {"(mxMax channel=\"x\" u)", R"(error 80040503 ("invalid parameter in mxMax" "channel No."))"},
      {"(list (elems q) (elems a) (elems b) (elems u) (elems s))",
       R"(((1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16) (50 60 70 80) (1 2 3 4) (1 2 3 4) ("a" "b" "c" "d")))"}};
  std::string script = R"(
    (define q (vec 22 (list 4 4) 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16))
    (define a (list (quote data) (list 2 0 0) (vec 19 (list 2 2) 50 60 70 80)))
    (define b (list (quote data) (list 1 0 0) (vec 19 (list 2 2) 1 2 3 4)))
    (define f (list (quote data) (list 2 0 0) (vec 27 (list 2 2) 0.7 1.3 5.9 2.2)))
    (define d (list (quote data) (list 1 0 0) (vec 27 (list 2 2) 0.1 0.2 0.3 0.4)))
    (define u (list (quote data) (list 1 0 0) (vec 22 (list 2 2) 1 2 3 4)))
    (define s (list (quote data) (list 1 0 0) (vec 30 (list 2 2) "a" "b" "c" "d")))
    (define z (list 0 0 0)))";
  for (const auto& c : cases) script += std::string("(peek ") + c.first + ")\n";
  MATRIX* m = open_blocks();
  std::vector<std::string> got = run(m, {2, 0, 0}, script);
  ASSERT_EQ(got.size(), std::size(cases));
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].substr(0, strlen(cases[i].second)), cases[i].second) << i;
  close_matrix(m);
}

}  // namespace
