// The store's global state, its start-up with the binders of the matrix
// operations, the held values and the collector hooks.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "base/tick.h"
#include "base/zutime.h"
#include "matrix/element_cache.h"
#include "matrix/matrix.h"
#include "matrix/matrix_impl.h"
#include "matrix/mx_file.h"
#include "matrix/node.h"
#include "matrix/old_format.h"
#include "matrix/struct_block.h"
#include "runtime/zu_gc_hooks.h"
#include "text/codemethod.h"
#include "text/convert.h"
#include "zu/gc.h"
#include "zu/value.h"

MATRIX matrices_root;
SEM matrix_lock = nullptr;
MATRIX_NODE nd_root;
int nd_cnt = 0;
int total_ncache_size = 100;
int64_t node_cache_bytes = 0;
SYS_QUEUE matrix_que;
ZUISP_ENV* matrix_zu_env = nullptr;
int64_t matrix_update_time = 0;
char mx_close_key;

namespace {

std::atomic<int> started{0};

// The operation families in the order they are bound into matrix_zu_env.
// The store's own families (the old-format decoder, the structure-block
// constructors) are entered here; the others are handed in from above.
ZU_FAMILY binders[] = {
    {"init_mxCH", 0, nullptr},
    {"init_mxSet", 0, nullptr},
    {"init_mxTrigger", 0, nullptr},
    {"init_mxAdd", 0, nullptr},
    {"init_mxDiff", 0, nullptr},
    {"init_mxThinnedOut", 0, nullptr},
    {"init_mxCompressJPEG", 0, nullptr},
    {"init_mxUncompressJPEG", 0, nullptr},
    {"init_mxLoad", 0, nullptr},
    {"init_mxSave", 0, nullptr},
    {"init_mxFinish", 0, nullptr},
    {"init_mxUncompressOldFormat", 0, init_mxUncompressOldFormat},
    {"init_mxCompressZ", 0, nullptr},
    {"init_mxUncomressZ", 0, nullptr},
    {"init_mxCompound", 0, nullptr},
    {"init_mxSeparate", 0, nullptr},
    {"init_mxSquash", 0, nullptr},
    {"init_mxStuffing", 0, nullptr},
    {"init_mxMax", 0, nullptr},
    {"init_mxLoadSB", 0, nullptr},
    {"init_mxSaveSB", 0, nullptr},
    {"init_mxSetSB", 0, nullptr},
    {"init_sbArray", 0, init_sbArray},
    {"init_sbPrimitive", 0, init_sbPrimitive},
    {"init_sbHeuristicLayering", 0, init_sbHeuristicLayering},
    {"init_mxPgPlot", 0, nullptr},
    {"init_mxObjID", 0, nullptr},
};

int64_t default_node_cache_bytes() {
  constexpr int64_t kMost = int64_t{512} << 20;
  const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return kMost;
  return std::min(kMost, static_cast<int64_t>(pages) / 8 * page);
}

}  // namespace

int set_matrix_op_binder(const ZU_FAMILY& family) {
  int i = family_row(binders, family);
  if (i < 0) return -1;
  binders[i].bind = family.bind;
  return 0;
}

void init_matrix() {
  static std::atomic<bool> once{false};
  if (once.exchange(true)) return;
  // Node data are large blocks (a 256 x 256 node of 4-byte pixels is 256
  // KiB, its stored form as much again) made and freed by the hundred as
  // nodes come and go. Given back to the system at once (mapped one by one,
  // or trimmed off the heap), every new one faulted its pages in again: a
  // fifth of the time of building a pyramid. They stay in the heap instead,
  // up to a bound on what is kept free; blocks of several MiB are still
  // mapped on their own and given back when freed.
  mallopt(M_MMAP_THRESHOLD, 4 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  init_mx_file();
  init_element_types();
  install_mx_cache_pool();
  install_mx_node_pool();
  nd_root.next = nd_root.prev = &nd_root;
  nd_cnt = 0;
  total_ncache_size = 100;
  node_cache_bytes = default_node_cache_bytes();
  matrix_lock = new_lock(LOCK_MATRIX);
  matrices_root.mx_next = matrices_root.mx_prev = &matrices_root;
  matrix_que = SYS_QUEUE{};
  matrix_que.flags = kQueueByPri;
  matrix_que.pri = 3;
  matrix_que.key_func = matrix_que_task;
  setup_queue(&matrix_que);
  new_tick(matrix_access_tick, 11, nullptr);
  {
    ZuThreadScope scope("init_matrix");
    matrix_zu_env = new_env(qnlisp_top_env0);
    gc_set(matrix_zu_env, gc_qnlisp_env);
    // Scripts may ask whether the commands working on their matrix create
    // nodes before any command has said so (set_matrix_env binds a matrix's
    // own value over this one): until a writer says "enable", none is made.
    bind_agent(matrix_zu_env, "create-node", get_string_ascii("disable"));
    started.store(1, std::memory_order_release);
    for (const ZU_FAMILY& f : binders)
      if (f.bind) f.bind(matrix_zu_env);
  }
}

int matrix_started() { return started.load(std::memory_order_acquire); }

namespace {
std::atomic<int64_t (*)()> mx_clock{nullptr};
}  // namespace

int64_t mx_last_purge_time = 0;

int64_t mx_now() {
  int64_t (*clock)() = mx_clock.load(std::memory_order_acquire);
  return clock ? clock() : static_cast<int64_t>(get_zutime());
}

void set_mx_clock(int64_t (*clock)()) { mx_clock.store(clock, std::memory_order_release); }

bool mx_trace() {
  static const bool on = std::getenv("QNMX_TRACE") != nullptr;
  return on;
}

int mx_closing = 0;
bool mx_closing_all = false;

void _wake_close_key() {
  assert_lock_held(matrix_lock);
  if (mx_closing > 0 && queue_count(&matrix_que) == 0) wakeup_task(&mx_close_key);
}

// ---- held values

MATRIX_SEXP* xx_new_matrix_sexp(ZU_SEXP* s, const char* file, int line) {
  lock_task(matrix_lock);
  MATRIX_SEXP* r = xx_new_held_value(s, gc_qn_sexp, file, line);
  unlock_task(matrix_lock, "new_matrix_sexp");
  return r;
}

// ---- collector hooks
// The ring lock exists from the first use of the ring, so the hooks take it
// whether or not the store has started: a value held before init_matrix is
// marked like any other.

void gc_matrix_lock() { gc_matrix_sexp_lock(); }

void gc_matrix_unlock() { gc_matrix_sexp_unlock(); }

void gc_matrix() {
  if (matrix_started() && matrix_zu_env) gc_mark(matrix_zu_env, gc_qnlisp_env);
  gc_matrix_sexp();
}

namespace {

void gc_lock_all() {
  gc_queue_lock_high();
  gc_matrix_lock();
  gc_zu_lock();
}

void gc_mark_all() {
  gc_lib();
  gc_matrix();
}

void gc_unlock_all() {
  gc_zu_unlock();  // releases both queue locks too
  gc_matrix_unlock();
}

}  // namespace

void set_matrix_gc_hooks() {
  static const GC_HOOKS hooks{gc_lock_all, gc_mark_all, sp_gc_lib, after_gc_lib, gc_unlock_all};
  gc_set_hooks(&hooks);
}
