#include "ops_test_util.h"

#include <climits>
#include <condition_variable>

#include "base/alloc.h"
#include "base/queue.h"
#include "elements/element_type.h"
#include "matrix/dim_code.h"
#include "matrix_ops/matrix_ops.h"
#include "runtime/services.h"
#include "runtime/zu_init.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zu/printer.h"
#include "zu/reader.h"

MemStore mem_store;

namespace {

std::mutex note_mu;
std::condition_variable note_cv;
std::vector<std::string> note_lines;
std::mutex idle_mu;
std::condition_variable idle_cv;

Code code_of(const MATRIX_NODE* n) { return Code(n->dim_code, n->dim_code + 1 + n->matrix->p.dim); }

// Channel 0 of the token's node from the store (0 when never saved).
int mem_read(MATRIX_TOKEN* t, const L_CHAR*) {
  MATRIX_NODE* n = t->process_node;
  int64_t v = 0;
  {
    std::lock_guard<std::mutex> g(mem_store.mu);
    ++mem_store.reads;
    if (mem_store.load_later) {
      mem_store.later.push_back(t);
      mem_store.cv.notify_all();
      return 1;
    }
    auto it = mem_store.saved.find(code_of(n));
    if (it != mem_store.saved.end()) v = it->second;
  }
  lock_task(matrix_lock);
  _matrix_node_channel_lock(n);
  void*& d = n->channel[0].data;
  if (!d) d = mx_type_int64.alloc_copy(&mx_type_int64, &v, MX_ATYPE::tagged, nullptr, __FILE__, __LINE__);
  else *static_cast<int64_t*>(d) = v;
  _matrix_node_channel_unlock(n, 0);
  unlock_task(matrix_lock, "mem_read");
  return 0;
}

int mem_write(MATRIX_TOKEN* t) {
  MATRIX_NODE* n = t->process_node;
  matrix_node_channel_lock(n);
  const void* d = n->channel[0].data;
  int64_t v = d ? *static_cast<const int64_t*>(d) : 0;
  {
    std::lock_guard<std::mutex> g(mem_store.mu);
    Code c = code_of(n);
    EXPECT_GE(v, mem_store.saved[c]) << "a save went back in time";
    mem_store.saved[c] = v;
    ++mem_store.saves[c];
  }
  unlock_save(n);
  matrix_node_channel_unlock(n, 0);
  return 0;
}

int on_trigger(int event, void*) {
  if (event == 4) {
    std::lock_guard<std::mutex> g(idle_mu);
    idle_cv.notify_all();
  }
  return 0;
}

ZU_SEXP* zu_note(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* v = eval(env, get_el(form, 1));
  std::string text = printed(v);
  if (sexp_type(v) == ZU_TYPE_ERROR) {
    char code[16];
    std::snprintf(code, sizeof code, "%x", v->error->code);
    text = std::string("error ") + code + " " + printed(v->error->data);
  }
  std::lock_guard<std::mutex> g(note_mu);
  note_lines.push_back(text);
  note_cv.notify_all();
  return zu_wcmp_ascii(sym_name(get_el(form, 0)), "note") == 0 ? v : nullptr;
}

ZU_SEXP* zu_brk(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  return get_error_ascii(nullptr, 0, ZU_ER_EXIT, "brk", nullptr);
}

// The running token's jumps: (err normal err-status normal-status).
ZU_SEXP* zu_jumps(ZUISP_ENV* env, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  auto* t = static_cast<MATRIX_TOKEN*>(get_env_work(env));
  return List(get_integer(t->err_jump, nullptr), get_integer(t->normal_jump, nullptr),
              get_integer(t->err_jump_status, nullptr), get_integer(t->normal_jump_status, nullptr), ZU_LIST_END);
}

void gc_lock_all() {
  gc_queue_lock_high();
  gc_matrix_lock();
  gc_zu_lock();
}
void gc_all() {
  gc_lib();
  gc_matrix();
}
void gc_unlock_all() {
  gc_zu_unlock();
  gc_matrix_unlock();
}

class OpsEnv : public ::testing::Environment {
 public:
  void SetUp() override {
    init_zu();
    install_matrix_ops();
    init_matrix();
    static const GC_HOOKS hooks{gc_lock_all, gc_all, sp_gc_lib, after_gc_lib, gc_unlock_all};
    gc_set_hooks(&hooks);
    ZuThreadScope scope("ops env");
    static const QN_PRIM_DEF prims[] = {
        {"note", zu_note, 0, 2, 2, 0}, {"peek", zu_note, 0, 2, 2, 0}, {"brk", zu_brk, 1, 1, 1, 0}, {"jumps", zu_jumps, 1, 1, 1, 0}, {}};
    bind_prims(matrix_zu_env, prims);
  }
};

[[maybe_unused]] ::testing::Environment* const env = ::testing::AddGlobalTestEnvironment(new OpsEnv);

}  // namespace

std::vector<std::string> notes() {
  std::lock_guard<std::mutex> g(note_mu);
  return note_lines;
}

void clear_notes() {
  std::lock_guard<std::mutex> g(note_mu);
  note_lines.clear();
}

void wait_notes(size_t n) {
  BlockingRegion blocking;
  std::unique_lock<std::mutex> l(note_mu);
  ASSERT_TRUE(note_cv.wait_for(l, std::chrono::seconds(60), [n] { return note_lines.size() >= n; }));
}

bool has_all(const std::string& s, std::initializer_list<const char*> texts) {
  for (const char* t : texts)
    if (s.find(t) == std::string::npos) return false;
  return true;
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
  p.trigger = on_trigger;
  for (size_t i = 0; i < pri.size(); ++i) p.pri_area[i] = pri[i];
  EXPECT_EQ(set_matrix_param(m, &p), 0);
  for (int d = 0; d < dim; ++d) {
    EXPECT_EQ(set_matrix_dim_divide(m, d, dd), 0);
    EXPECT_EQ(set_matrix_pixel_size(m, d, int64_t{1} << (dd * (levels - 1))), 0);
  }
  EXPECT_EQ(m->total_levels, levels);
  for (int ch = 0; ch < 2; ++ch) {
    MATRIX_CHANNEL_INFO inf{&mx_type_int64, ch == 0 ? kMxChSend | kMxChFile : kMxChSend, nullptr, 0};
    EXPECT_EQ(set_matrix_channel_info(m, ch, &inf), 0);
  }
  set_script(m, {3, 4, 5}, R"((mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1") (mxLoad))");
  set_script(m, {21, 22, 23}, "(mxSave)");
  set_matrix_mode(m, kMxModeActive);
  return m;
}

void set_script(MATRIX* m, std::initializer_list<int> slots, const std::string& text) {
  STREAM* st = s_open_string_read(text.data(), utf8_cm, static_cast<int>(text.size()), 1);
  ZU_SEXP* forms = init_parse(st, l_string(ascii_cm, "script"), nullptr);
  for (ZU_SEXP* p = forms; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
  }
  for (int slot : slots) EXPECT_EQ(set_matrix_cal(m, slot, forms), 0);
}

void wait_idle(MATRIX* m) {
  BlockingRegion blocking;
  std::unique_lock<std::mutex> l(idle_mu);
  auto idle = [m] {
    lock_task(matrix_lock);
    bool r = m->token_cnt == 0;
    unlock_task(matrix_lock, "wait_idle");
    return r;
  };
  ASSERT_TRUE(idle_cv.wait_for(l, std::chrono::seconds(60), idle)) << "tokens never ended";
}

MATRIX_NODE* ready_node(MATRIX* m, const Code& dc) {
  int err = 0;
  MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc.data(), 0);
  if (n) unlock_node(n, nullptr);
  return n;
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
  BlockingRegion blocking;
  std::unique_lock<std::mutex> l(mu_);
  cv_.wait(l, [this] { return state_ != 0; });
}

void WorkerGate::open() {
  BlockingRegion blocking;
  std::unique_lock<std::mutex> l(mu_);
  if (state_ == 1) state_ = 2;
  cv_.notify_all();
  cv_.wait(l, [this] { return state_ == 3; });  // the worker left the gate
}

void WorkerGate::run(MATRIX_TOKEN* t) {
  auto* g = static_cast<WorkerGate*>(t->work);
  d_f_ree(t->h.key);
  d_f_ree(t);
  BlockingRegion blocking;
  std::unique_lock<std::mutex> l(g->mu_);
  g->state_ = std::max(g->state_, 1);
  g->cv_.notify_all();
  g->cv_.wait(l, [g] { return g->state_ == 2; });
  g->state_ = 3;
  g->cv_.notify_all();
}
