// The level arithmetic through a matrix worker: a parent thinned from the
// children that mxCH hands over, the examples of each operation, and the
// refusals, which leave every argument as it was.
#include "elements/value.h"
#include "matrix/dim_code.h"
#include "elements/zu_convert.h"
#include "ops_test_util.h"
#include "zu/core_init.h"
#include "zu/eval.h"

namespace {

// uint8 elements the fetch hook loads into channel 0, by node.
std::mutex blocks_mu;
std::map<Code, std::vector<uint8_t>> blocks;

int block_read(MATRIX_TOKEN* t, const L_CHAR*) {
  MATRIX_NODE* n = t->process_node;
  std::vector<uint8_t> values;
  {
    std::lock_guard<std::mutex> g(blocks_mu);
    auto it = blocks.find(Code(n->dim_code, n->dim_code + 3));
    if (it == blocks.end()) return 0;
    values = it->second;
  }
  void* v = mxt_alloc_vector_by_dim_code(&n->matrix->geometry, &mx_type_uint8_v, MX_ATYPE::tagged, n->dim_code, nullptr);
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, v);
  std::memcpy(dh.offset, values.data(), std::min<size_t>(values.size(), static_cast<size_t>(dh.total_element)));
  matrix_node_channel_lock(n);
  std::swap(n->channel[0].data, v);
  matrix_node_channel_unlock(n, 0);
  if (v) mxt_free_data(&mx_type_uint8_v, v);
  return 0;
}

// Tells wait_idle that a token count reached 0.
int tell_idle(int event, void*) {
  if (event == 4) {
    std::lock_guard<std::mutex> g(ev.mu);
    ev.cv.notify_all();
  }
  return 0;
}

// 16 x 16 elements in 4 x 4 blocks, three levels; channel 0 uint8_v with
// default 7.
MATRIX* open_blocks() {
  MATRIX* m = open_matrix(nullptr, nullptr, nullptr, nullptr, nullptr);
  MATRIX_PARAM p{};
  p.dim = 2;
  p.channel_nos = 1;
  p.read_file = block_read;
  p.trigger = tell_idle;
  EXPECT_EQ(set_matrix_param(m, &p), 0);
  for (int d = 0; d < 2; ++d) {
    EXPECT_EQ(set_matrix_dim_divide(m, d, 1), 0);
    EXPECT_EQ(set_matrix_block_size(m, d, 2), 0);
    EXPECT_EQ(set_matrix_pixel_size(m, d, 16), 0);
  }
  uint8_t def = 7;
  MATRIX_CHANNEL_INFO inf{&mx_type_uint8_v, kMxChSend, &def, 0};
  EXPECT_EQ(set_matrix_channel_info(m, 0, &inf), 0);
  set_script(m, {3, 4, 5}, R"((mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1") (mxLoad))");
  set_matrix_mode(m, kMxModeActive);
  return m;
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
  int64_t i = 0;
  for (ZU_SEXP* p = form->pair.cdr->pair.cdr->pair.cdr; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr, ++i) {
    int cpy = 0;
    void* d = tp->parent->sexp2md(&cpy, tp->parent, p->pair.car);
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
    r = cons(tp->parent->md2sexp(tp->parent, tp->type == MX_TYPE_STRING_V ? *reinterpret_cast<char* const*>(e) : static_cast<const void*>(e)), r);
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
  // The notes of script run in the edit slot of node dc of m.
  std::vector<std::string> run(MATRIX* m, const Code& dc, const std::string& script) {
    MATRIX_NODE* n = ready_node(m, dc);
    EXPECT_TRUE(n);
    size_t before = notes().size();
    set_script(m, {9, 10, 11}, script);
    matrix_trigger_access(n, 9, 0);
    wait_idle(m);
    std::vector<std::string> all = notes(), r;
    // A form that waited for a child runs again: its wait is no result.
    for (size_t i = before; i < all.size(); ++i)
      if (all[i].rfind("error 8001160a", 0) != 0) r.push_back(all[i]);
    return r;
  }
};

// Child k holds 16k + i at index i; each parent element is its cell's
// mean (or, with (1 1), the cell's last element). Children missing from
// the list leave the channel default.
TEST_F(LevelOps, ThinnedOutFillsTheParentFromItsChildren) {
  for (bool all : {true, false}) {
    MATRIX* m = open_blocks();
    MATRIX_NODE* root = ready_node(m, {1, 0, 0});
    ASSERT_TRUE(root);
    int k = 0;
    for (const Code& dc : {Code{0, 0, 0}, Code{0, 4, 0}, Code{0, 0, 4}, Code{0, 4, 4}}) {
      std::vector<uint8_t> v(16);
      for (int i = 0; i < 16; ++i) v[static_cast<size_t>(i)] = static_cast<uint8_t>(16 * k + i);
      std::lock_guard<std::mutex> g(blocks_mu);
      blocks[dc] = v;
      if (all || k == 0 || k == 3) insert_dim_code_index(root, dc.data(), 0);
      ++k;
    }
    std::vector<std::string> got = run(m, {1, 0, 0}, R"(
      (note (elems (mxThinnedOut type="average" channel="0" (mxCH type="children" 0))))
      (note (elems (mxThinnedOut channel="0" (mxCH type="children" 0) (list 1 1)))))");
    if (all)
      EXPECT_EQ(got, (std::vector<std::string>{"(2 4 18 20 10 12 26 28 34 36 50 52 42 44 58 60)",
                                               "(5 7 21 23 13 15 29 31 37 39 53 55 45 47 61 63)"}));
    else
      EXPECT_EQ(got.at(0), "(2 4 7 7 10 12 7 7 7 7 50 52 7 7 58 60)");
    close_matrix(m);
  }
}

// The examples of each operation, and a table of refusals: each returns its
// error, and the arguments keep their elements.
TEST_F(LevelOps, ExamplesAndRefusals) {
  MATRIX* m = open_blocks();
  std::vector<std::string> got = run(m, {2, 0, 0}, R"(
    (define sq (vec 22 (list 4 4) 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16))
    (define a (list (quote data) (list 2 0 0) (vec 19 (list 2 2) 50 60 70 80)))
    (define b (list (quote data) (list 1 0 0) (vec 19 (list 2 2) 1 2 3 4)))
    (define b0 (list (quote data) (list 0 0 0) (vec 19 (list 2 2) 1 2 3 4)))
    (define u (list (quote data) (list 1 0 0) (vec 22 (list 2 2) 1 2 3 4)))
    (define s (list (quote data) (list 1 0 0) (vec 30 (list 2 2) "a" "b" "c" "d")))
    (define dc (list 0 0 0))
    (note (elems (mxSquash sq)))
    (note (elems (mxSquash sq 9 (list 1 1))))
    (note (elems (mxStuffing sq (vec 22 (list 2 2) 91 92 93 94) (list 0 0))))
    (note (mxMax (list (quote Children) (list (quote data) dc 3) (list (quote data) dc 2.5))))
    (note (mxMax (list (quote Children) (list (quote data) dc 2.5) (list (quote data) dc 3.5))))
    (note (mxMax (list (quote data) dc 7)))
    (note (mxDiff a b))
    (note (elems (mxDiff a b)))
    (note (elems (mxAdd a (mxDiff a b))))
    (note (elems (mxDiff a (mxDiff a b))))
    (peek (mxThinnedOut type="median" b))
    (peek (mxThinnedOut channel="1" u))
    (peek (mxThinnedOut 3))
    (peek (mxThinnedOut (list 3)))
    (peek (mxThinnedOut (list (quote other))))
    (peek (mxThinnedOut (list (quote Children))))
    (peek (mxThinnedOut (list (quote Children) u (list (quote data) dc 5))))
    (peek (mxThinnedOut (list (quote Children) u (list (quote data) 5 u))))
    (peek (mxThinnedOut (list (quote Children) u b)))
    (peek (mxThinnedOut channel="0" b))
    (peek (mxThinnedOut type="average" s))
    (peek (mxDiff a b option="LOUD"))
    (peek (mxDiff a u))
    (peek (mxDiff b a))
    (peek (mxDiff a b0))
    (peek (mxAdd s s))
    (peek (mxSquash 5))
    (peek (mxSquash sq "x"))
    (peek (mxSquash sq 0 (list 4 0)))
    (peek (mxSquash sq 0 (list -1)))
    (peek (mxStuffing sq b))
    (peek (mxMax (list (quote data) dc (vec 22 (list 1) 5))))
    (peek (mxMax channel="x" u))
    (note (list (elems sq) (elems a) (elems b) (elems u) (elems s))))");
  const char* type = "error 80030806 ()";
  std::vector<std::string> want{
      "(0 2 0 4 5 6 7 8 0 10 0 12 13 14 15 16)",
      "(1 2 3 4 5 9 7 9 9 10 11 12 13 9 15 9)",
      "(91 2 92 4 5 6 7 8 93 10 94 12 13 14 15 16)",
      "(data (2 0 0) 3)",
      "(data (2 0 0) 3.500000)",
      "(data (2 0 0) 7)",
      "(data (1 0 0) ",  // a vector value follows
      "(49 48 47 46)",
      "(99 98 97 96)",
      "(1 2 3 4)",
      R"(error 80040503 ("invalid parameter in mxThinnedOut" "median"))",
      R"(error 80040503 ("invalid parameter in mxThinnedOut" "channel No."))",
      R"(error 80030806 "target-list not a LIST")",
      R"(error 80030806 "target-list SYMBOL not a SYMBOL")",
      R"(error 80030806 "target-list data or Children is required")",
      R"(error 80030806 "CH data type")",
      "error 80030806 \"CH data type(2)\"",
      R"(error 80030806 "cannot convert dim_code")",
      type,  // an item of another type
      type,  // a channel of another type
      type,  // no mean of texts
      R"(error 80040503 "invalid parameter in mxDiff")",
      type,  // items of two types
      type,  // the first item finer
      R"(error 80040501 "invalid matrix loading")",
      type,  // no difference of texts
      type,
      R"(error 80040503 "invalid parameter in mxSquash")",
      R"(error 80040503 "invalid parameter in mxSquash")",
      R"(error 80040503 "invalid parameter in mxSquash")",
      type,  // a source of another type
      "error 80030806 \"CH data type(2)\"",
      R"(error 80040503 ("invalid parameter in mxMax" "channel No."))",
      R"(((1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16) (50 60 70 80) (1 2 3 4) (1 2 3 4) ("a" "b" "c" "d")))"};
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i].substr(0, std::string(want[i]).size()), want[i]) << got[i];
  close_matrix(m);
}

}  // namespace
