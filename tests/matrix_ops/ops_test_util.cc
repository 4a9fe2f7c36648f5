#include "ops_test_util.h"

#include <fcntl.h>

#include <climits>

#include "base/alloc.h"
#include "base/queue.h"
#include "elements/element_type.h"
#include "matrix/dim_code.h"
#include "matrix/mx_file.h"
#include "matrix_ops/matrix_ops.h"
#include "runtime/zu_init.h"
#include "stream/stream.h"
#include "text/codemethod.h"
#include "text/convert.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zu/printer.h"
#include "zu/reader.h"

Events& ev = *new Events;

namespace {

Code code_of(const MATRIX_NODE* n) { return Code(n->dim_code, n->dim_code + 1 + n->matrix->p.dim); }

void tell() { ev.cv.notify_all(); }

// Channel 0 of the token's node from the store (0 when never saved).
int mem_read(MATRIX_TOKEN* t, const L_CHAR*) {
  MATRIX_NODE* n = t->process_node;
  int64_t v = 0;
  {
    std::lock_guard<std::mutex> g(ev.mu);
    ++ev.reads;
    if (ev.load_later) {
      ev.later.push_back(t);
      tell();
      return 1;
    }
    v = ev.saved.count(code_of(n)) ? ev.saved[code_of(n)] : 0;
  }
  matrix_node_channel_lock(n);
  void*& d = n->channel[0].data;
  if (d) mx_type_int64.free_data(&mx_type_int64, d);
  d = mx_type_int64.alloc_copy(&mx_type_int64, &v, MX_ATYPE::tagged, nullptr, __FILE__, __LINE__);
  matrix_node_channel_unlock(n, 0);
  return 0;
}

int mem_write(MATRIX_TOKEN* t) {
  MATRIX_NODE* n = t->process_node;
  matrix_node_channel_lock(n);
  const void* d = n->channel[0].data;
  int64_t v = d ? *static_cast<const int64_t*>(d) : 0;
  {
    std::lock_guard<std::mutex> g(ev.mu);
    EXPECT_GE(v, ev.saved[code_of(n)]) << "a save went back in time";
    ev.saved[code_of(n)] = v;
    ++ev.saves[code_of(n)];
  }
  unlock_save(n);
  matrix_node_channel_unlock(n, 0);
  return 0;
}

ZU_SEXP* zu_note(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* v = eval(env, get_el(form, 1));
  std::string text = shown(v);
  std::lock_guard<std::mutex> g(ev.mu);
  ev.notes.push_back(text);
  tell();
  return zu_wcmp_ascii(sym_name(get_el(form, 0)), "note") == 0 ? v : nullptr;
}

class OpsEnv : public ::testing::Environment {
 public:
  void SetUp() override {
    init_zu();
    install_matrix_ops();
    init_matrix();
    set_matrix_gc_hooks();
    ZuThreadScope scope("ops env");
    // (brk) stops a script as an interrupt does; (jumps) shows the running
    // token's (err normal err-status normal-status).
    auto brk = [](ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
      return get_error_ascii(nullptr, 0, ZU_ER_EXIT, "brk", nullptr);
    };
    auto jumps = [](ZUISP_ENV* env, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
      auto* t = static_cast<MATRIX_TOKEN*>(get_env_work(env));
      auto i = [](int v) { return get_integer(v, nullptr); };
      return List(i(t->err_jump), i(t->normal_jump), i(t->err_jump_status), i(t->normal_jump_status), ZU_LIST_END);
    };
    // (bad-wait) is a suspend signal whose detail is no integer;
    // (wait-node level x) asks for a node as a waiting reader would.
    auto bad_wait = [](ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
      return get_error_ascii(nullptr, 0, ZU_ER_MATRIX_WAIT, "bad-wait", List(nullptr, nullptr, ZU_LIST_END));
    };
    auto wait_node = [](ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
      auto* t = static_cast<MATRIX_TOKEN*>(get_env_work(env));
      int64_t dc[2] = {get_el(form, 1)->integer.num, get_el(form, 2)->integer.num};
      int err = 0;
      get_matrix_node_wait(&err, t->process_node->matrix, dc, 0);
      return get_integer(err, nullptr);
    };
    static const QN_PRIM_DEF prims[] = {{"note", zu_note, 0, 2, 2, 0},     {"peek", zu_note, 0, 2, 2, 0},
                                        {"brk", brk, 1, 1, 1, 0},          {"jumps", jumps, 1, 1, 1, 0},
                                        {"bad-wait", bad_wait, 1, 1, 1, 0}, {"wait-node", wait_node, 1, 3, 3, 0},
                                        {}};
    bind_prims(matrix_zu_env, prims);
  }
};

[[maybe_unused]] ::testing::Environment* const env = ::testing::AddGlobalTestEnvironment(new OpsEnv);

}  // namespace

void wait_for(const std::function<bool()>& pred) {
  BlockingRegion blocking;
  std::unique_lock<std::mutex> l(ev.mu);
  ASSERT_TRUE(ev.cv.wait_for(l, std::chrono::seconds(60), pred)) << "the event never came";
}

std::vector<std::string> notes() {
  std::lock_guard<std::mutex> g(ev.mu);
  return ev.notes;
}

int tell_waiters(int event, void*) {
  if (event == 4) {
    std::lock_guard<std::mutex> g(ev.mu);
    tell();
  }
  return 0;
}

void wait_idle(MATRIX* m) {
  wait_for([m] {
    lock_task(matrix_lock);
    bool idle = m->token_cnt == 0;
    unlock_task(matrix_lock, "wait_idle");
    return idle;
  });
}

std::string shown(ZU_SEXP* v) {
  if (sexp_type(v) != ZU_TYPE_ERROR) return printed(v);
  char code[16];
  std::snprintf(code, sizeof code, "%x", v->error->code);
  return std::string("error ") + code + " " + printed(v->error->data);
}

std::string printed(ZU_SEXP* s) {
  STREAM* st = s_open_string_write(utf8_cm);
  print_sexp(st, s, 0);
  std::string out(s_get_string(st), static_cast<size_t>(s_get_string_len(st)));
  d_s_close(st);
  return out;
}

MATRIX* open_scripted(int dim, int dd, int levels, const std::vector<int>& pri, const char* key) {
  MATRIX* m = open_matrix(nullptr, nullptr, key ? l_string(ascii_cm, key) : nullptr, nullptr, nullptr);
  MATRIX_PARAM p{};
  p.dim = dim;
  p.channel_nos = 2;
  p.read_file = mem_read;
  p.write_file = mem_write;
  p.trigger = tell_waiters;
  std::copy(pri.begin(), pri.end(), p.pri_area);
  EXPECT_EQ(set_matrix_param(m, &p), 0);
  for (int d = 0; d < dim; ++d) {
    EXPECT_EQ(set_matrix_dim_divide(m, d, dd), 0);
    EXPECT_EQ(set_matrix_pixel_size(m, d, int64_t{1} << (dd * (levels - 1))), 0);
  }
  for (int ch = 0; ch < 2; ++ch) {
    MATRIX_CHANNEL_INFO inf{&mx_type_int64, ch == 0 ? kMxChSend | kMxChFile : kMxChSend, nullptr, 0};
    EXPECT_EQ(set_matrix_channel_info(m, ch, &inf), 0);
  }
  set_script(m, {3, 4, 5}, R"((mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1") (mxLoad))");
  set_script(m, {21, 22, 23}, "(mxSave)");
  set_matrix_mode(m, kMxModeActive);
  return m;
}

namespace {

// Two dimensions of 1024 elements in nodes of 256, and the channels.
void block_geometry(MATRIX* m, const std::vector<MATRIX_CHANNEL_INFO>& channels) {
  MATRIX_PARAM p{};
  p.dim = 2;
  p.channel_nos = static_cast<int>(channels.size());
  EXPECT_EQ(set_matrix_param(m, &p), 0);
  for (int d = 0; d < 2; ++d)
    EXPECT_TRUE(!set_matrix_dim_divide(m, d, 1) && !set_matrix_block_size(m, d, 8) && !set_matrix_pixel_size(m, d, 1024));
  for (size_t ch = 0; ch < channels.size(); ++ch)
    EXPECT_EQ(set_matrix_channel_info(m, static_cast<int>(ch), &channels[ch]), 0);
}

}  // namespace

MATRIX* open_file_matrix(const std::string& path, const std::vector<MATRIX_CHANNEL_INFO>& channels) {
  MATRIX* m = nullptr;
  int r = open_matrix_file(&m, path, [&channels](MATRIX* n) { block_geometry(n, channels); }, tell_waiters);
  if (r != 0) {
    ADD_FAILURE() << "matrix file " << path << ": " << r;
    return nullptr;
  }
  set_script(m, {3, 4, 5}, R"((mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1") (mxLoad target="file-n-create"))");
  set_script(m, {21, 22, 23}, "(mxSave)");
  set_matrix_mode(m, kMxModeActive);
  return m;
}

std::vector<std::string> run_edit(MATRIX* m, const Code& dc, const std::string& script) {
  MATRIX_NODE* n = ready_node(m, dc);
  EXPECT_TRUE(n) << "no node";
  if (!n) return {};
  size_t before = notes().size();
  set_script(m, {9, 10, 11}, script);
  matrix_trigger_access(n, 9, 0);
  wait_idle(m);
  std::vector<std::string> all = notes(), r;
  for (size_t i = before; i < all.size(); ++i)
    if (all[i].rfind("error 8001160a", 0) != 0) r.push_back(all[i]);
  return r;
}

MATRIX_NODE* ready_node(MATRIX* m, const Code& dc) {
  int err = 0;
  MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc.data(), 0);
  if (n) unlock_node(n, nullptr);
  return n;
}

MATRIX_NODE* node_at(MATRIX* m, const Code& dc) {
  lock_task(matrix_lock);
  MATRIX_NODE* n = m->node_hash[_get_node_hash(m, dc.data())];
  while (n && _cmp_dim_code(m, n->dim_code, dc.data()) != 0) n = n->nh_next;
  unlock_task(matrix_lock, "node_at");
  return n;
}

signed char wait_byte(MATRIX_NODE* n, int kind) {
  lock_task(matrix_lock);
  while (!n->scan_call[kind]) {
    sleep_task(&n->scan_call[kind], matrix_lock);
    lock_task(matrix_lock);
  }
  signed char r = n->scan_call[kind];
  unlock_task(matrix_lock, "wait_byte");
  return r;
}

WorkerGate::WorkerGate() {
  static MATRIX_NODE no_node;
  auto* t = reinterpret_cast<MATRIX_TOKEN*>(new_queue_node(sizeof(MATRIX_TOKEN)));
  t->h.key = nl_copy_str(ascii_cm, "_get_matrix_access");
  t->h.pri = INT_MAX;
  t->func = run;
  t->work = this;
  t->process_node = &no_node;
  insert_queue(&matrix_que, &t->h, 0);
  wait_for([this] { return state_ == 1; });
}

WorkerGate::~WorkerGate() {
  {
    std::lock_guard<std::mutex> g(ev.mu);
    state_ = 2;
    tell();
  }
  wait_for([this] { return state_ == 3; });
}

void WorkerGate::run(MATRIX_TOKEN* t) {
  auto* g = static_cast<WorkerGate*>(t->work);
  d_f_ree(t->h.key);
  d_f_ree(t);
  {
    std::lock_guard<std::mutex> l(ev.mu);
    g->state_ = 1;
    tell();
  }
  wait_for([g] { return g->state_ == 2; });
  std::lock_guard<std::mutex> l(ev.mu);
  g->state_ = 3;
  tell();
}
