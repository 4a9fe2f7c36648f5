// Structure blocks: the primitive block, the clicks and weighted sums of
// the heuristic layering block, the sparse arrays of the structured array
// block, both byte forms against the Python reference (sblock_ref.py) on
// random blocks, and the constructors of matrix scripts.
#include <cmath>
#include <random>

#include "base/alloc.h"
#include "matrix/node.h"
#include "matrix/struct_block.h"
#include "matrix_test_util.h"
#include "support/temp_dir.h"
#include "text/codemethod.h"
#include "text/convert.h"
#include "zu/errcodes.h"

namespace {

// A matrix whose one channel holds blocks, and a node of it.
struct Place {
  Place(int dim, int bs, std::vector<int64_t> dc = {}) {
    m = make_matrix(dim, std::vector<int>(dim, 1), std::vector<int>(dim, bs), std::vector<int64_t>(dim, int64_t{1} << 20));
    MATRIX_CHANNEL_INFO inf{&mx_type_block, 0, nullptr, 0};
    set_matrix_channel_info(m, 0, &inf);
    if (dc.empty()) dc.assign(dim + 1, 0);
    n = make_node(m, dc);
    where = MX_SB_NEW{m, n, 0};
  }
  ~Place() {
    drop_node(n);
    drop_matrix(m);
  }
  MATRIX* m;
  MATRIX_NODE* n;
  MX_SB_NEW where;
};

MATRIX_ALLOC_BLOCK_PARAM view(const Bytes& b) {
  MATRIX_ALLOC_BLOCK_PARAM p{};
  p.size = static_cast<int32_t>(b.size());
  p.block = const_cast<uint8_t*>(b.data());
  return p;
}

Bytes encode(MX_STRUCT_BLOCK* b) {
  MATRIX_ALLOC_BLOCK_PARAM* p = b->tbl->struct2block(b);
  Bytes r(static_cast<uint8_t*>(p->block), static_cast<uint8_t*>(p->block) + p->size);
  mx_type_block.free_data(&mx_type_block, p);
  return r;
}

int decode(MX_STRUCT_BLOCK* b, const Bytes& bytes) {
  MATRIX_ALLOC_BLOCK_PARAM p = view(bytes);
  return b->tbl->block2struct(b, &p);
}

std::string hexs(const Bytes& b) {
  std::string s = hex(b, b.size());
  s.erase(std::remove(s.begin(), s.end(), ' '), s.end());
  return s;
}

HL_STRUCT_BLOCK* hl(MX_STRUCT_BLOCK* b) { return reinterpret_cast<HL_STRUCT_BLOCK*>(b); }
SA_STRUCT_BLOCK* sa(MX_STRUCT_BLOCK* b) { return reinterpret_cast<SA_STRUCT_BLOCK*>(b); }
PR_STRUCT_BLOCK* pr(MX_STRUCT_BLOCK* b) { return reinterpret_cast<PR_STRUCT_BLOCK*>(b); }

// The layering block as the reference prints it, in list order.
std::string hl_dump(MX_STRUCT_BLOCK* b, int dim) {
  std::string out;
  char buf[64];
  for (HL_ID_LIST* id = hl(b)->id_list; id; id = id->next) {
    out += (out.empty() ? "" : "|") + std::to_string(id->id) + ":";
    for (HL_CLICK* c = id->clk; c; c = c->next) {
      std::snprintf(buf, sizeof buf, "%.17g", c->reso);
      out += std::string(c == id->clk ? "" : ";") + buf;
      for (int d = 0; d < dim; ++d) out += "," + std::to_string(c->ix[d]);
      out += "," + std::to_string(c->show) + "," + std::to_string(c->hide);
    }
  }
  return out;
}

// The array block as the reference prints it, in increasing index order.
std::string sa_dump(MX_STRUCT_BLOCK* b, int dim) {
  std::vector<int> lo(dim, 0), hi(dim, 1 << 30);
  MX_SB_LIST* found = sa_search_blk(sa(b), lo.data(), hi.data());
  std::vector<std::string> parts;
  for (MX_SB_LIST* e = found; e; e = e->next) {
    std::string s;
    for (int d = 0; d < dim; ++d) s += (d ? "," : "") + std::to_string(e->work[d]);
    const MATRIX_ALLOC_BLOCK_PARAM& p = pr(e->blk)->p;
    parts.insert(parts.begin(), s + ":" + hexs(Bytes(static_cast<uint8_t*>(p.block), static_cast<uint8_t*>(p.block) + p.size)));
  }
  free_mx_sb_list(found);
  std::string out;
  for (const std::string& s : parts) out += (out.empty() ? "" : ";") + s;
  return out;
}

// The reference's dumps of the given input lines.
std::vector<std::string> reference(const std::vector<std::string>& lines) {
  TempDir dir("sblock");
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  return run_lines(std::string("/usr/bin/python3 ") + test_path("sblock_ref") + " < " + dir.file("in.txt", text));
}

MX_STRUCT_BLOCK* primitive(MX_SB_NEW* where, const Bytes& bytes) {
  MATRIX_ALLOC_BLOCK_PARAM p = view(bytes);
  return pr_new_sb(where, &p);
}

int insert(MX_STRUCT_BLOCK* b, int64_t id, std::vector<long long> ix, double reso, int show, int hide) {
  HL_OP op{id, ix.data(), reso, static_cast<double>(show), static_cast<double>(hide)};
  return hl_operation(kSbInsert, b, &op);
}

int sa_op(MX_STRUCT_BLOCK* b, int cmd, std::vector<int> ix, SA_OP* op = nullptr) {
  SA_OP local{};
  op = op ? op : &local;
  op->index1 = ix.data();
  int r = sa_operation(cmd, b, op);
  op->index1 = nullptr;
  return r;
}

}  // namespace

// Loading 0 bytes gives a block of size 0; a copy keeps its own bytes;
// there are no commands; a place in another matrix makes no block.
TEST_F(MatrixTest, PrimitiveBlock) {
  Place at(1, 8);
  MX_STRUCT_BLOCK* b = primitive(&at.where, {1, 2, 3});
  ASSERT_TRUE(b);
  MX_STRUCT_BLOCK* copy = b->tbl->copy_sb(b);
  EXPECT_EQ(decode(copy, {}), 0);
  EXPECT_EQ(encode(copy), Bytes{});
  EXPECT_EQ(decode(copy, {9}), 0);
  EXPECT_EQ(encode(b), (Bytes{1, 2, 3}));
  for (int cmd : {0, kSbInsert, kSbDelete, kSbSearch, kSbCalc}) EXPECT_EQ(pr_operation(cmd, b, nullptr), -1);
  Place other(1, 8);
  MX_SB_NEW wrong{other.m, at.n, 0};
  EXPECT_EQ(pr_new_sb(&wrong, nullptr), nullptr);
  pr_free_sb(copy);
  pr_free_sb(b);
}

// Votes at one position within the resolution tolerance (r = 1 + 0.6/256
// for block size 8) count into one click; outside it make a new one. The
// sum at a click's own position and resolution weighs it 1/0.1, in a node
// one level up too (indices kept in that level's units). Hostile bytes.
TEST_F(MatrixTest, LayeringClicksAndCalculation) {
  Place at(2, 8, {1, 512, 0});
  MX_STRUCT_BLOCK* b = hl_new_sb(&at.where, nullptr);
  EXPECT_EQ(insert(b, 7, {518, 10}, 1.0, 1, 0), 0);
  EXPECT_EQ(insert(b, 7, {518, 10}, 1.001, 1, 0), 0);
  HL_CLICK* c = hl_search(hl(b), 7)->clk;
  EXPECT_TRUE(c && !c->next && c->show == 2 && c->ix[0] == 3 && c->ix[1] == 5);
  EXPECT_EQ(insert(b, 7, {518, 10}, 1.003, 0, 1), 0);
  EXPECT_TRUE(hl_search(hl(b), 7)->clk->next) << "a second click";
  EXPECT_EQ(insert(b, 7, {518, 10}, 0.0, 1, 0), -1);

  EXPECT_EQ(insert(b, 9, {518, 10}, 2.0, 1, 0), 0);
  EXPECT_EQ(insert(b, 9, {519, 11}, 2.0, 1, 0), 0) << "the same cell one level up";
  EXPECT_EQ(insert(b, 9, {518, 10}, 2.0, 1, 0), 0);
  std::vector<long long> q{518, 10};
  HL_OP op{9, q.data(), 2.0, -1, -1};
  ASSERT_EQ(hl_operation(kSbCalc, b, &op), 0);
  EXPECT_DOUBLE_EQ(op.show, 30.0);
  EXPECT_DOUBLE_EQ(op.hide, 0.0);
  op.id = 8;
  EXPECT_EQ(hl_operation(kSbCalc, b, &op), -1);
  EXPECT_EQ(hl_operation(kSbDelete, b, &op), -1);

  // An id with 2^40 clicks in a few bytes, a cut click, a count at the end.
  for (const char* bad : {"0007e00000100000000000", "000700013ff0000000000000000100", "00070001"})
    EXPECT_EQ(decode(b, unhex(bad)), -1) << bad;
  EXPECT_EQ(hl_search(hl(b), 7)->clk->next->next, nullptr) << "nothing of the bad bytes became a click";
  hl_free_sb(b);
}

// Clicks recorded as a walk of each id's list from its head would record
// them: random clicks (resolutions in clusters around the tolerance's
// edges, of both signs, tiny and huge; indices from a few cells) against
// a model that walks the lists, in counting and setting mode, into a block
// and into a copy of it (whose lists run the other way).
TEST_F(MatrixTest, LayeringClicksMatchAWalkOfTheLists) {
  Place at(2, 4);
  const double tol = 1.0 + 0.6 / 16;
  struct Click {
    double reso;
    long long x, y;
    int64_t show, hide;
  };
  using Model = std::vector<std::pair<int64_t, std::vector<Click>>>;  // newest first, as the lists
  auto record = [&](Model& m, int64_t id, long long x, long long y, double reso, int64_t show, int64_t hide, int f) {
    auto rec = std::find_if(m.begin(), m.end(), [id](const auto& e) { return e.first == id; });
    if (rec == m.end()) rec = m.insert(m.begin(), {id, {}});
    auto c = std::find_if(rec->second.begin(), rec->second.end(), [&](const Click& k) {
      double ratio = k.reso / reso;
      return k.x == x && k.y == y && ratio > 1.0 / tol && ratio < tol;
    });
    if (c == rec->second.end()) c = rec->second.insert(rec->second.begin(), {reso, x, y, 0, 0});
    if (f == 0) c->show += show != 0, c->hide += hide != 0;
    else c->show = show, c->hide = hide;
  };
  auto dump = [](const Model& m) {
    std::string out;
    char buf[64];
    for (const auto& [id, clicks] : m) {
      out += (out.empty() ? "" : "|") + std::to_string(id) + ":";
      for (const Click& c : clicks) {
        std::snprintf(buf, sizeof buf, "%.17g", c.reso);
        out += std::string(&c == &clicks[0] ? "" : ";") + buf + "," + std::to_string(c.x) + "," + std::to_string(c.y) +
               "," + std::to_string(c.show) + "," + std::to_string(c.hide);
      }
    }
    return out;
  };
  std::mt19937_64 rng(5);
  const double bases[] = {1.0, -3.0, 1e300, -1e-300, 5e-324, 1e-310};
  for (int round = 0; round < 20; ++round) {
    MX_STRUCT_BLOCK* b = hl_new_sb(&at.where, nullptr);
    MX_STRUCT_BLOCK* copy = nullptr;
    Model model, copied;
    for (int i = 0; i < 400; ++i) {
      if (i == 200) {
        copy = b->tbl->copy_sb(b);
        for (const auto& [id, clicks] : model) copied.insert(copied.begin(), {id, {clicks.rbegin(), clicks.rend()}});
      }
      double reso = bases[rng() % 6] * std::pow(tol, static_cast<double>(rng() % 9) / 2 - 2);
      if (rng() % 3 == 0) reso = std::nextafter(reso, rng() % 2 ? HUGE_VAL : -HUGE_VAL);
      if (reso == 0.0) continue;  // refused, as a walk refuses it
      long long x = static_cast<long long>(rng() % 3), y = static_cast<long long>(rng() % 2);
      int64_t id = static_cast<int64_t>(rng() % 4), show = static_cast<int64_t>(rng() % 3), hide = rng() % 2;
      int f = static_cast<int>(rng() % 2);
      long long ix[2] = {x, y};
      hl_insert_point(hl(b), id, ix, reso, show, hide, f);
      record(model, id, x, y, reso, show, hide, f);
      if (copy) {
        hl_insert_point(hl(copy), id, ix, reso, show, hide, f);
        record(copied, id, x, y, reso, show, hide, f);
      }
    }
    EXPECT_EQ(hl_dump(b, 2), dump(model)) << "round " << round;
    EXPECT_EQ(hl_dump(copy, 2), dump(copied)) << "round " << round;
    hl_free_sb(copy);
    hl_free_sb(b);
  }
}

// A block of many clicks reads in a time that grows with n log n: each
// click is found by its key, not by a walk of the clicks held.
TEST_F(MatrixTest, LayeringBlockOfManyClicks) {
  Place at(2, 8);
  constexpr int kClicks = 1 << 18;
  MX_STRUCT_BLOCK* b = hl_new_sb(&at.where, nullptr);
  for (int i = 0; i < kClicks; ++i) {
    long long ix[2] = {i % 512, i / 512};
    hl_insert_point(hl(b), i % 2, ix, 1.0, 1, 0, 1);
  }
  Bytes bytes = encode(b);
  MX_STRUCT_BLOCK* back = hl_new_sb(&at.where, nullptr);
  ASSERT_EQ(decode(back, bytes), 0);
  ASSERT_EQ(decode(back, bytes), 0) << "the same clicks again take the stored counts";
  int64_t held = 0;
  for (HL_ID_LIST* id = hl(back)->id_list; id; id = id->next)
    for (HL_CLICK* c = id->clk; c; c = c->next) held += c->show;
  EXPECT_EQ(held, kClicks);
  hl_free_sb(back);
  hl_free_sb(b);
}

// Sparse arrays: 5 then 2 gives [2, 6) with 3 and 4 empty, and deleting
// both frees it; 2 then 7 grows it to 8; a search over [0, 10) returns 5
// before 2; taken slots and indices beyond the block are refused.
TEST_F(MatrixTest, ArrayInsertDeleteSearch) {
  Place at(1, 8);
  SA_NEW init{primitive(&at.where, {})};
  MX_STRUCT_BLOCK* b = sa_new_sb(&at.where, &init);
  ASSERT_EQ(sa_op(b, kSbInsert, {5}), 0);
  ASSERT_EQ(sa_op(b, kSbInsert, {2}), 0);
  SA_ARRAY* a = sa(b)->index;
  EXPECT_TRUE(a->start == 2 && a->end == 6 && !a->p[1] && !a->p[2] && a->p[0] && a->p[3]);
  EXPECT_EQ(sa_op(b, kSbInsert, {5}), -1);
  EXPECT_EQ(sa_op(b, kSbInsert, {256}), -1);
  SA_OP del{};
  del.del_flag = 1;
  EXPECT_EQ(sa_op(b, kSbDelete, {5}, &del), 0);
  EXPECT_EQ(sa_op(b, kSbDelete, {5}, &del), -1);
  EXPECT_EQ(sa_op(b, kSbDelete, {2}, &del), 0);
  EXPECT_EQ(sa(b)->index, nullptr);

  ASSERT_EQ(sa_op(b, kSbInsert, {2}), 0);
  SA_OP mine{};
  mine.member = primitive(&at.where, {4});
  ASSERT_EQ(sa_op(b, kSbInsert, {7}, &mine), 0);
  EXPECT_TRUE(sa(b)->index->start == 2 && sa(b)->index->end == 8);
  int lo = 0, hi = 10;
  SA_OP find{};
  find.index2 = &hi;
  ASSERT_EQ(sa_op(b, kSbSearch, {lo}, &find), 0);
  ASSERT_TRUE(find.member_list && find.member_list->next && !find.member_list->next->next);
  EXPECT_EQ(find.member_list->work[0], 7);
  EXPECT_EQ(find.member_list->blk, mine.member);
  EXPECT_EQ(find.member_list->next->work[0], 2);
  free_mx_sb_list(find.member_list);
  sa_free_sb(b);
}

// Array bytes get the slots they can fill and a fixed allowance, no more:
// ten bytes naming indices 0 and 2^28 - 1 would ask for 2^28 slots; two
// members that are arrays of 100001 slots each share the budget of the
// bytes they came in. What was read before the refused member stays.
TEST_F(MatrixTest, ArrayBytesAskForNoMoreThanTheyFill) {
  Place wide(1, 28);
  SA_NEW init{primitive(&wide.where, {})};
  MX_STRUCT_BLOCK* b = sa_new_sb(&wide.where, &init);
  EXPECT_EQ(decode(b, unhex("0000" "0000" "8fffffff" "0000")), -1);
  ASSERT_TRUE(sa(b)->index);
  EXPECT_EQ(sa(b)->index->end - sa(b)->index->start, 1);
  sa_free_sb(b);

  Place at(1, 20);
  SA_NEW inner{primitive(&at.where, {})};
  SA_NEW outer{sa_new_sb(&at.where, &inner)};
  b = sa_new_sb(&at.where, &outer);
  const std::string sparse = "0000" "0000" "800186a0" "0000";
  EXPECT_EQ(decode(b, unhex("0000" "000a" + sparse + "0001" "000a" + sparse)), -1);
  ASSERT_TRUE(sa(b)->index);
  EXPECT_EQ(sa(b)->index->end - sa(b)->index->start, 1);
  sa_free_sb(b);
}

// Index fields of the array form are one byte for block size 8 and
// compressed codes for 9. Random blocks of both kinds decode in the
// reference to what they hold; their bytes read into empty blocks write
// the same bytes again (a layering block twice: each reading reverses its
// lists), and copies write them too; bytes cut short are refused.
TEST_F(MatrixTest, ByteFormsAgreeWithReference) {
  for (auto [bs, want] : {std::pair{8, "05" "0002" "0102"}, {9, "0005" "0002" "0102"}}) {
    Place at(1, bs);
    SA_NEW init{primitive(&at.where, {})};
    MX_STRUCT_BLOCK* b = sa_new_sb(&at.where, &init);
    SA_OP op{};
    op.member = primitive(&at.where, {1, 2});
    ASSERT_EQ(sa_op(b, kSbInsert, {5}, &op), 0);
    EXPECT_EQ(hexs(encode(b)), want);
    EXPECT_EQ(decode(b, unhex(want)), -1) << "index 5 again";
    sa_free_sb(b);
  }
  std::mt19937_64 rng(23);
  const double resos[] = {1.0, 0.5, 3.75, -2.0, 1e300, 5e-324, 1.0 + 1e-9};
  const int sizes[] = {3, 8, 9, 12};
  std::vector<std::string> lines, want;
  for (int round = 0; round < 60; ++round) {
    const bool layering = round % 2;
    const int dim = 1 + round % 3;
    std::vector<int> bs(dim);
    std::string geometry;
    for (int d = 0; d < dim; ++d) geometry += (d ? "," : "") + std::to_string(bs[d] = sizes[rng() % 4]);
    MATRIX* m = make_matrix(dim, std::vector<int>(dim, 1), bs, std::vector<int64_t>(dim, 1 << 14));
    MX_SB_NEW where{m, nullptr, 0};
    auto fresh = [&] {
      if (layering) return hl_new_sb(&where, nullptr);
      SA_NEW init{primitive(&where, {})};
      return sa_new_sb(&where, &init);
    };
    MX_STRUCT_BLOCK* b = fresh();
    for (int i = 0, n = round % 7; i < n; ++i) {
      std::vector<long long> ix(dim);
      std::vector<int> at(dim);
      for (int d = 0; d < dim; ++d) ix[d] = static_cast<long long>(rng()) >> (rng() % 64), at[d] = rng() % (1u << bs[d]);
      Bytes bytes(rng() % 5, static_cast<uint8_t>(rng()));
      SA_OP op{primitive(&where, bytes), nullptr, at.data(), nullptr, 0};
      if (layering)
        hl_insert_point(hl(b), static_cast<int64_t>(rng() % 4) - 2 + (i == 3 ? INT64_MAX / 3 : 0), ix.data(),
                        resos[rng() % 7], static_cast<int64_t>(rng()) >> (rng() % 64), static_cast<int64_t>(rng() % 9), 1);
      if (layering || sa_operation(kSbInsert, b, &op) != 0) pr_free_sb(op.member);
    }
    Bytes once = encode(b);
    lines.push_back((layering ? "hl " + std::to_string(dim) : "sa " + geometry) + " " + hexs(once));
    want.push_back(layering ? hl_dump(b, dim) : sa_dump(b, dim));
    MX_STRUCT_BLOCK *back = fresh(), *again = fresh(), *cut = fresh(), *copy = b->tbl->copy_sb(b);
    ASSERT_EQ(decode(back, once), 0);
    ASSERT_EQ(decode(again, layering ? encode(back) : once), 0);
    EXPECT_EQ(encode(again), once);
    EXPECT_EQ(encode(copy), layering ? encode(back) : once);
    if (!once.empty()) {
      EXPECT_EQ(decode(cut, Bytes(once.begin(), once.end() - 1)), -1);
    }
    for (MX_STRUCT_BLOCK* x : {b, back, again, cut, copy}) x->tbl->free_sb(x);
    drop_matrix(m);
  }
  EXPECT_EQ(reference(lines), want);
}

// The constructors make empty blocks for the channel "___channel" names of
// the running node; sbArray wants a block, "___channel" an integer.
TEST_F(MatrixTest, Constructors) {
  Place at(2, 8);
  NodeScript script(at.n);
  ZUISP_ENV* env = script.env;
  auto eval_text = [&script](ZUISP_ENV*, const char* text) { return script.eval(text); };
  auto error_is = [](ZU_SEXP* e, const char* func, const char* what) {
    ASSERT_EQ(get_type(e), ZU_TYPE_ERROR);
    EXPECT_EQ(e->error->code, ZU_ER_TYPE);
    EXPECT_EQ(zu_wcmp_ascii(e->error->func, func), 0);
    EXPECT_EQ(zu_wcmp_ascii(str_text(get_el(e->error->data, 0)), "type missmatch"), 0);
    EXPECT_EQ(zu_wcmp_ascii(str_text(get_el(e->error->data, 1)), what), 0);
  };
  error_is(eval_text(env, "(sbArray 5)"), "sbArray", "2nd argument");
  EXPECT_EQ(get_type(eval_text(env, "(sbPrimitive)")), ZU_TYPE_ERROR) << "___channel unbound";
  EXPECT_EQ(0, set_env(env, l_string(ascii_cm, "___channel"), get_string_ascii("0")));
  error_is(eval_text(env, "(sbPrimitive)"), "sbPrimitive", "___channel");
  EXPECT_EQ(0, set_env(env, l_string(ascii_cm, "___channel"), get_integer(0, nullptr)));
  ZU_SEXP* a = eval_text(env, "(sbArray (sbPrimitive))");
  ASSERT_EQ(get_type(a), ZU_TYPE_POINTER);
  auto* b = static_cast<MX_STRUCT_BLOCK*>(a->ptr.ptr);
  EXPECT_TRUE(b->tbl == &blk_s_array_tbl && sa(b)->member->tbl == &blk_primitive_tbl && b->n.n == at.n);
  sa_free_sb(b);
  ZU_SEXP* h = eval_text(env, "(sbHeuristocLayering)");
  ASSERT_EQ(get_type(h), ZU_TYPE_POINTER);
  hl_free_sb(static_cast<MX_STRUCT_BLOCK*>(h->ptr.ptr));
}
