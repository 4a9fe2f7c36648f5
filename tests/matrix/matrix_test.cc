// Matrices: parameters and their conflicts, sizes and the level geometry
// with its limits, opening and searching, modes, scripts, counters, and
// the values the store keeps alive for the collector.
#include <cstring>
#include <random>
#include <thread>

#include "base/alloc.h"
#include "matrix/matrix_impl.h"
#include "matrix/node.h"
#include "matrix_test_util.h"
#include "text/codemethod.h"
#include "text/convert.h"
#include "runtime/services.h"

namespace {

std::vector<int64_t> row(const MATRIX* m, int d) {
  std::vector<int64_t> r;
  for (int l = 0; l < m->total_levels; ++l) r.push_back(m->pixel_size_list[l][d]);
  return r;
}

const L_CHAR* L(const char* s) { return l_string(ascii_cm, s); }

}  // namespace

TEST_F(MatrixTest, LevelGeometryFollowsTheSizes) {
  MATRIX* m = make_matrix(2, {1, 1}, {8, 8}, {1000, 600});
  EXPECT_EQ(m->total_levels, 11);
  EXPECT_EQ(row(m, 0), (std::vector<int64_t>{1000, 500, 250, 125, 63, 32, 16, 8, 4, 2, 1}));
  EXPECT_EQ(row(m, 1), (std::vector<int64_t>{600, 300, 150, 75, 38, 19, 10, 5, 3, 2, 1}));
  EXPECT_EQ(m->geometry.total_levels, 11);
  EXPECT_EQ(m->geometry.pixel_size_list, m->pixel_size_list);
  EXPECT_EQ(mx_geometry_check(&m->geometry), 0);
  // A pixel size of 0 leaves no computable geometry.
  EXPECT_EQ(set_matrix_pixel_size(m, 1, 0), 0);
  EXPECT_EQ(m->total_levels, 0);
  drop_matrix(m);

  // A forced number of levels wins over the sizes.
  MATRIX* f = open_matrix(nullptr, nullptr, nullptr, nullptr, nullptr);
  MATRIX_PARAM p{};
  p.dim = 2;
  p.total_levels = 4;
  ASSERT_EQ(set_matrix_param(f, &p), 0);
  for (int d = 0; d < 2; ++d) {
    EXPECT_EQ(set_matrix_block_size(f, d, 8), 0);
    EXPECT_EQ(set_matrix_dim_divide(f, d, 1), 0);
  }
  EXPECT_EQ(set_matrix_pixel_size(f, 0, 1000), 0);
  EXPECT_EQ(f->total_levels, 0);
  EXPECT_EQ(set_matrix_pixel_size(f, 1, 600), 0);
  EXPECT_EQ(f->total_levels, 4);
  EXPECT_EQ(row(f, 1), (std::vector<int64_t>{600, 300, 150, 75}));
  drop_matrix(f);
}

TEST_F(MatrixTest, SizeSettersCheckIndexAndLimits) {
  MATRIX* m = open_matrix(nullptr, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(set_matrix_dim_divide(m, 0, 1), kMxDimSet);
  EXPECT_EQ(set_matrix_pixel_size(m, 0, 10), kMxDimSet);
  MATRIX_PARAM p{};
  p.dim = 65;
  EXPECT_EQ(set_matrix_param(m, &p), kMxBadIndex);
  p.dim = 1;
  p.channel_nos = kMxMaxChannels + 1;
  EXPECT_EQ(set_matrix_param(m, &p), kMxBadIndex);
  EXPECT_EQ(m->p.dim, 0);
  p.channel_nos = kMxMaxChannels;
  ASSERT_EQ(set_matrix_param(m, &p), 0);
  EXPECT_EQ(set_matrix_block_size(m, 1, 8), kMxBadIndex);
  EXPECT_EQ(set_matrix_block_size(m, -1, 8), kMxBadIndex);
  EXPECT_EQ(set_matrix_block_size(m, 0, 31), kMxBadIndex);
  EXPECT_EQ(set_matrix_block_size(m, 0, 8), 0);
  EXPECT_EQ(set_matrix_dim_divide(m, 0, 1), 0);
  EXPECT_EQ(set_matrix_pixel_size(m, 0, -5), kMxBadIndex);
  // 2^54 needs 55 levels: 54 + 8 = 62 is the last shift allowed.
  EXPECT_EQ(set_matrix_pixel_size(m, 0, int64_t{1} << 54), 0);
  EXPECT_EQ(m->total_levels, 55);
  EXPECT_EQ(set_matrix_pixel_size(m, 0, (int64_t{1} << 54) + 1), kMxBadIndex);
  EXPECT_EQ(set_matrix_block_size(m, 0, 9), kMxBadIndex);
  EXPECT_EQ(set_matrix_dim_divide(m, 0, 2), 0);  // 28 levels, 27 * 2 + 8
  EXPECT_EQ(m->total_levels, 28);
  EXPECT_EQ(set_matrix_block_size(m, 0, 9), kMxBadIndex);
  EXPECT_EQ(m->block_size[0], 8);
  EXPECT_EQ(m->pixel_size[0], int64_t{1} << 54);
  EXPECT_EQ(m->total_levels, 28);
  EXPECT_EQ(set_matrix_dim_divide(m, 0, 255), kMxBadIndex);  // 2 levels, 255 + 8
  EXPECT_EQ(set_matrix_dim_divide(m, 0, 54), 0);             // 2 levels, 54 + 8
  EXPECT_EQ(m->total_levels, 2);
  // Even the largest size keeps every shift of the geometry defined.
  EXPECT_EQ(set_matrix_dim_divide(m, 0, 1), 0);
  EXPECT_EQ(set_matrix_block_size(m, 0, 0), 0);
  EXPECT_EQ(set_matrix_pixel_size(m, 0, INT64_MAX), kMxBadIndex);
  EXPECT_EQ(set_matrix_pixel_size(m, 0, int64_t{1} << 62), 0);
  EXPECT_EQ(m->total_levels, 63);
  drop_matrix(m);
}

// ---- set_matrix_param against a model

namespace {

void hook_t(MATRIX_TOKEN*) {}
int hook_r(MATRIX_TOKEN*, const L_CHAR*) { return 0; }
int hook_w(MATRIX_TOKEN*) { return 0; }
void hook_m(MATRIX*) {}
void hook_k(MATRIX_TOKEN*, int) {}
int hook_g(int, void*) { return 0; }

MATRIX_PARAM random_param(std::mt19937& rng) {
  MATRIX_PARAM p{};
  auto pick = [&] { return rng() % 6 == 0; };
  if (pick()) p.channel_nos = rng() % 10 == 0 ? kMxMaxChannels + 1 : 1 + static_cast<int>(rng() % 100);
  if (pick()) p.dim = rng() % 10 == 0 ? 65 : 1 + static_cast<int>(rng() % 64);
  for (int& pri : p.pri_area)
    if (rng() % 60 == 0) pri = 1 + static_cast<int>(rng() % 1000);
  if (pick()) p.flags = 1 + static_cast<int>(rng() % 3);
  if (pick()) p.total_levels = rng() % 10 == 0 ? 64 : 1 + static_cast<int>(rng() % 63);
  if (pick()) p.modify_time = static_cast<int64_t>(rng());
  if (pick()) p.open_method = hook_t;
  if (pick()) p.read_file = hook_r;
  if (pick()) p.write_file = hook_w;
  if (pick()) p.read_net = hook_r;
  if (pick()) p.close_file = hook_m;
  if (pick()) p.close_net = hook_m;
  if (pick()) p.new_token = hook_k;
  if (pick()) p.free_token = hook_k;
  if (pick()) p.trigger = hook_g;
  return p;
}

// The answer the rules give: the first conflict in test order, then the
// limits, else 0; `m` is the model's merged parameters.
int model_answer(const MATRIX_PARAM& m, const MATRIX_PARAM& p) {
  auto both = [](auto a, auto b) { return a && b; };
  if (both(m.channel_nos, p.channel_nos)) return -108;
  if (both(m.dim, p.dim)) return -105;
  for (int i = 0; i < kMxScriptSlots; ++i)
    if (both(m.pri_area[i], p.pri_area[i])) return -111;
  if (both(m.open_method, p.open_method)) return -112;
  if (both(m.read_file, p.read_file) || both(m.write_file, p.write_file) || both(m.read_net, p.read_net) ||
      both(m.close_file, p.close_file) || both(m.close_net, p.close_net))
    return -113;
  if (both(m.new_token, p.new_token)) return -115;
  if (both(m.free_token, p.free_token)) return -116;
  if (both(m.trigger, p.trigger)) return -117;
  if (both(m.flags, p.flags)) return -114;
  if (both(m.total_levels, p.total_levels)) return -110;
  if (both(m.modify_time, p.modify_time)) return -118;
  if (p.channel_nos > kMxMaxChannels || p.dim > 64 || p.total_levels > 63) return -104;
  for (int w : p.pri_area)
    if ((w & 0xFFFF) > 3) return -104;  // no such priority rule
  return 0;
}

void model_apply(MATRIX_PARAM& m, const MATRIX_PARAM& p) {
  auto take = [](auto& dst, auto src) {
    if (src) dst = src;
  };
  take(m.channel_nos, p.channel_nos);
  take(m.dim, p.dim);
  for (int i = 0; i < kMxScriptSlots; ++i) take(m.pri_area[i], p.pri_area[i]);
  take(m.flags, p.flags);
  take(m.total_levels, p.total_levels);
  take(m.modify_time, p.modify_time);
  take(m.open_method, p.open_method);
  take(m.read_file, p.read_file);
  take(m.write_file, p.write_file);
  take(m.read_net, p.read_net);
  take(m.close_file, p.close_file);
  take(m.close_net, p.close_net);
  take(m.new_token, p.new_token);
  take(m.free_token, p.free_token);
  take(m.trigger, p.trigger);
}

}  // namespace

TEST_F(MatrixTest, RefusedParametersChangeNothing) {
  std::mt19937 rng(19);
  int refused = 0, accepted = 0;
  for (int round = 0; round < 300; ++round) {
    MATRIX* m = open_matrix(nullptr, nullptr, nullptr, nullptr, nullptr);
    MATRIX_PARAM model{};
    for (int step = 0; step < 8; ++step) {
      MATRIX_PARAM p = random_param(rng);
      int want = model_answer(model, p);
      std::vector<uint8_t> before(reinterpret_cast<uint8_t*>(m), reinterpret_cast<uint8_t*>(m + 1));
      ASSERT_EQ(set_matrix_param(m, &p), want) << round << "/" << step;
      if (want != 0) {
        ++refused;
        ASSERT_EQ(std::memcmp(before.data(), m, sizeof *m), 0) << "a refused call changed the matrix";
        continue;
      }
      ++accepted;
      model_apply(model, p);
      ASSERT_EQ(std::memcmp(&model, &m->p, sizeof model), 0);
      ASSERT_EQ(m->channel_info != nullptr, model.channel_nos != 0);
      ASSERT_EQ(m->pixel_size != nullptr, model.dim != 0);
      ASSERT_EQ(m->geometry.dim, model.dim);
      ASSERT_EQ(m->geometry.index_hem, model.flags & 1);
    }
    drop_matrix(m);
  }
  EXPECT_GT(refused, 300);
  EXPECT_GT(accepted, 300);
}

// ---- opening, searching and modes

TEST_F(MatrixTest, OpenAndSearchByNames) {
  MATRIX* a = open_matrix(L("net"), L("a.mx"), nullptr, nullptr, nullptr);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(open_matrix(nullptr, L("a.mx"), L("k"), nullptr, nullptr), nullptr);
  MATRIX* b = open_matrix(nullptr, L("b.mx"), L("k"), nullptr, nullptr);
  ASSERT_NE(b, nullptr);
  lock_task(matrix_lock);
  EXPECT_EQ(matrices_root.mx_next, b) << "newest first";
  EXPECT_EQ(_search_matrix(nullptr, nullptr, nullptr), b);
  EXPECT_EQ(_search_matrix(L("net"), nullptr, nullptr), a);
  EXPECT_EQ(_search_matrix(nullptr, nullptr, L("k")), b);
  EXPECT_EQ(_search_matrix(L("net"), nullptr, L("k")), nullptr) << "a given name never matches a null one";
  EXPECT_EQ(_search_matrix_filename(L("a.mx")), a);
  _touch_matrix(a);
  EXPECT_EQ(matrices_root.mx_next, a);
  unlock_task(matrix_lock, "test");
  EXPECT_EQ(open_matrix_with_search(nullptr, L("b.mx"), nullptr, nullptr, nullptr), b);
  MATRIX* c = open_matrix_with_search(nullptr, L("c.mx"), nullptr, nullptr, nullptr);
  EXPECT_NE(c, nullptr);
  int err = 0;
  EXPECT_EQ(search_matrix(&err, nullptr, L("none.mx"), nullptr, nullptr), nullptr);
  EXPECT_EQ(err, kMxNoMatrix);
  EXPECT_EQ(search_matrix(&err, nullptr, L("a.mx"), nullptr, nullptr), a);
  EXPECT_EQ(err, 0);
  for (MATRIX* m : {a, b, c}) drop_matrix(m);
}

// A closing matrix has left the ring while its last saves still reach its
// nodes: touching it keeps it out, where no second close, opening of its
// file or lock event finds it.
TEST_F(MatrixTest, AClosingMatrixStaysOutOfTheRing) {
  MATRIX* m = open_matrix(nullptr, L("closing.mx"), nullptr, nullptr, nullptr);
  ASSERT_NE(m, nullptr);
  lock_task(matrix_lock);
  m->mode = kMxModeClosed;  // as the close leaves it while it saves
  _unlink_matrix(m);
  _touch_matrix(m);
  EXPECT_EQ(m->mx_next, m);
  EXPECT_EQ(_search_matrix_filename(L("closing.mx")), nullptr);
  EXPECT_EQ(matrices_root.mx_next, &matrices_root);
  _free_matrix(m);
  unlock_task(matrix_lock, "test");
}

namespace {

int triggered = 0;
int count_trigger(int event, void*) {
  triggered += event;
  return 0;
}

MATRIX_TOKEN seen;  // the open token as its method saw it
void open_method(MATRIX_TOKEN* t) {
  seen = *t;
  set_matrix_mode(t->wait_matrix, kMxModeActive);
}

}  // namespace

TEST_F(MatrixTest, ModeChangesWakeSleepers) {
  MATRIX* m = open_matrix(nullptr, L("wait.mx"), nullptr, nullptr, nullptr);
  MATRIX_PARAM p{};
  p.trigger = count_trigger;
  set_matrix_param(m, &p);
  m->flags |= kMxAskedWhileOpening;
  std::thread sleeper([m] { wait_matrix_mode(m); });
  set_matrix_mode(m, kMxModeActive);
  sleeper.join();
  EXPECT_EQ(triggered, 1);
  EXPECT_DEATH(set_matrix_mode(m, 4), "set_matrix_mode");
  drop_matrix(m);
}

TEST_F(MatrixTest, OpenMethodRunsAsTheOpenToken) {
  MATRIX* m = open_matrix(nullptr, L("open.mx"), nullptr, open_method, &triggered);
  EXPECT_EQ(m->p.open_method, open_method);
  EXPECT_EQ(m->open_work, &triggered);
  wait_matrix_mode(m);
  EXPECT_EQ(seen.h.pri, 1000);
  EXPECT_EQ(seen.func, open_method);
  EXPECT_EQ(seen.wait_matrix, m);
  EXPECT_EQ(seen.normal_jump, -1);
  EXPECT_EQ(seen.err_jump, -1);
  close_matrix(m);
}

// ---- scripts, environment, counters

TEST_F(MatrixTest, ScriptsAndEnvironment) {
  MATRIX* m = make_matrix(1, {1}, {8}, {100});
  ZU_SEXP* a = sexp_commands(utf8_cm, "(x 1)", nullptr);
  ZU_SEXP* b = sexp_commands(utf8_cm, "(y 2)", nullptr);
  EXPECT_EQ(set_matrix_cal(m, 24, a), kMxBadIndex);
  EXPECT_EQ(set_matrix_cal(m, 3, a), 0);
  EXPECT_EQ(set_matrix_cal_equ(m, 4, 3), 0);
  EXPECT_EQ(set_matrix_cal(m, 3, b), 0);
  EXPECT_EQ(m->cal[4]->data, a) << "the same value, not the slot";
  EXPECT_EQ(m->cal[3]->data, b);
  EXPECT_EQ(set_matrix_cal_equ(m, 5, -1), kMxBadIndex);
  ZU_SEXP* e = get_error_ascii(nullptr, 0, 0x80040503, "test", nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(set_matrix_cal(m, 3, e), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(m->cal[3]->data, b);

  EXPECT_EQ(set_matrix_env(m, "create-node", "enable"), 0);
  gc_collect_now();
  gc_collect_now();
  auto* env = static_cast<ZUISP_ENV*>(m->mx_env->data);
  ZU_SEXP* v = get_env_symbol(env, L("create-node"), 0);
  ASSERT_EQ(get_type(v), ZU_TYPE_STRING);
  EXPECT_EQ(l_strcmp(str_text(v), L("enable")), 0);
  EXPECT_EQ(get_parent_env(env), matrix_zu_env);
  EXPECT_EQ(get_type(car(static_cast<ZU_SEXP*>(m->cal[4]->data))), ZU_TYPE_LIST) << "scripts survive collections";
  drop_matrix(m);
}

TEST_F(MatrixTest, ObjectIdsAndUpdateStamps) {
  MATRIX* m = make_matrix(1, {1}, {8}, {100}, 2);
  EXPECT_EQ(get_matrix_obj_id(m), 256);
  EXPECT_EQ(get_matrix_obj_id(m), 512);
  EXPECT_EQ(get_matrix_obj_id(m), 768);
  m->obj_id = INT64_MAX - 255;
  EXPECT_EQ(get_matrix_obj_id(m), 256) << "restarts past the positive range";

  MATRIX_NODE* n = make_node(m, {0, 0});
  d_f_ree(n->channel);  // a node whose channel table is not made yet
  n->channel = nullptr;
  EXPECT_EQ(get_matrix_update_time(n, 0, 0), kMxBadIndex) << "no channels yet";
  n->channel = static_cast<MATRIX_CHANNEL*>(d_calloc(sizeof(MATRIX_CHANNEL), 2));
  EXPECT_EQ(get_matrix_update_time(n, 1, 0), 0);
  EXPECT_EQ(get_matrix_update_time(n, 1, -2), 0) << "slot 1 older";
  EXPECT_EQ(get_matrix_update_time(n, 1, 1), 0);
  EXPECT_EQ(get_matrix_update_time(n, 1, -2), 1);
  EXPECT_EQ(get_matrix_update_time(n, 1, -1), 0);
  EXPECT_EQ(get_matrix_update_time(n, 1, -2), -1);
  EXPECT_EQ(get_matrix_update_time(n, 2, 0), kMxBadIndex);

  // Dirty times are set only when a save script exists.
  set_dirty_file(n);
  EXPECT_EQ(n->dirty_file_time, 0u);
  set_matrix_cal(m, 23, sexp_commands(utf8_cm, "(save)", nullptr));
  set_dirty_file(n);
  EXPECT_NE(n->dirty_file_time, 0u);
  lock_save(n);
  EXPECT_EQ(n->save_lock, 1u);
  unlock_save(n);
  EXPECT_EQ(n->save_lock, 0u);
  EXPECT_EQ(n->dirty_file_time, 0u);
  drop_node(n);
  drop_matrix(m);
}

// ---- held values and start-up

TEST_F(MatrixTest, HeldValuesSurviveCollectionsUntilReleased) {
  gc_collect_now();  // frees what earlier tests released
  int before = matrix_sexp_count();
  std::vector<MATRIX_SEXP*> held;
  {
    ZuThreadScope inner("held values");
    for (int i = 0; i < 50; ++i) {
      std::string text = "(held " + std::to_string(i) + " \"" + std::string(i, 'x') + "\")";
      held.push_back(new_matrix_sexp(sexp_commands(utf8_cm, text.c_str(), nullptr)));
    }
  }
  // Nothing but the ring refers to the values now.
  for (int i = 0; i < 3; ++i) gc_collect_now();
  EXPECT_EQ(matrix_sexp_count(), before + 50);
  for (int i = 0; i < 50; ++i) {
    ZU_SEXP* form = car(static_cast<ZU_SEXP*>(held[i]->data));
    ASSERT_EQ(get_type(form), ZU_TYPE_LIST);
    EXPECT_EQ(get_el(form, 1)->integer.num, i);
  }
  for (MATRIX_SEXP* h : held) h->del.store(1);
  gc_collect_now();
  EXPECT_EQ(matrix_sexp_count(), before);
}

TEST(MatrixStartUp, BindersRunInTheirFixedOrder) {
  // A row naming no family, or a family in an environment it is not bound
  // into, is a slip that a debug build stops at.
  const ZU_FAMILY slips[] = {{"init_mxNothing", 0, nullptr}, {nullptr, 0, nullptr}, {"init_mxCH", 1, nullptr}};
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const ZU_FAMILY& f : slips) {
    if (kFamilySlipStops) EXPECT_DEATH(set_matrix_op_binder(f), "family_row: no row");
    else EXPECT_EQ(set_matrix_op_binder(f), -1);
  }
  EXPECT_TRUE(matrix_started());
  ZuThreadScope scope("binders");
  ZU_SEXP* order = get_env_symbol(matrix_zu_env, L("binder-order"), 0);
  ASSERT_EQ(get_type(order), ZU_TYPE_STRING);
  EXPECT_EQ(l_strcmp(str_text(order), L("CH Load ObjID ")), 0);
}
