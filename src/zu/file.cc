#include "zu/file.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "zu/gc_core_impl.h"
#include "zu/reader.h"
#include "zu/reader_impl.h"
#include "zu/value.h"

namespace {

struct Pending {
  ZU_FILE* f;
  bool claimed;
};

struct Files {
  std::mutex m;
  std::vector<ZU_FILE*> open;  // registered states
  std::vector<Pending> pending;  // dropped states waiting for their close
};

Files& F() {
  static Files* f = new Files;
  return *f;
}

void unregister(Files& fs, ZU_FILE* f) {
  int i = f->reg_index;
  if (i < 0) return;
  ZU_FILE* last = fs.open.back();
  fs.open[i] = last;
  last->reg_index = i;
  fs.open.pop_back();
  f->reg_index = -1;
}

void run_close(ZU_FILE* f) {
  if (f->closed) return;
  f->closed = 1;
  if (f->close_func) f->close_func(1, f->work);
  if (f->release) f->release(f);
}

}  // namespace

ZU_FILE* new_zu_file(const L_CHAR* name, STREAM* st) {
  auto* f = static_cast<ZU_FILE*>(mmalloc(sizeof(ZU_FILE), gc_qn_file));
  f->reg_index = -1;
  f->name = ll_copy_mstr(name);
  f->st = st;
  Files& fs = F();
  std::lock_guard<std::mutex> l(fs.m);
  f->reg_index = static_cast<int32_t>(fs.open.size());
  fs.open.push_back(f);
  return f;
}

void set_close_func(ZU_FILE* f, ZU_CLOSE_FUNC func, void* work) {
  if (!f) return;
  f->close_func = func;
  f->work = work;
}

void close_zu_file(ZU_FILE* f) {
  if (!f) return;
  Files& fs = F();
  {
    std::lock_guard<std::mutex> l(fs.m);
    unregister(fs, f);
  }
  run_close(f);
}

int zu_file_count() {
  Files& fs = F();
  std::lock_guard<std::mutex> l(fs.m);
  return static_cast<int>(fs.open.size());
}

void gc_qn_file(void* p) {
  if (gc_mark_block(p)) return;
  auto* f = static_cast<ZU_FILE*>(p);
  gc_mark(f->name, gc_text);
  gc_mark(f->comment, gc_text);
  gc_mark(f->reader, f->reader_mark);
  if (f->close_func && !f->closed) f->close_func(2, f->work);
}

void sp_gc_qnlisp() {
  Files& fs = F();
  std::lock_guard<std::mutex> l(fs.m);
  for (size_t i = 0; i < fs.open.size();) {
    ZU_FILE* f = fs.open[i];
    if (gc_is_marked(f)) {
      ++i;
      continue;
    }
    unregister(fs, f);  // moves the last state into slot i
    // Kept through this collection: its close function runs after it.
    gc_qn_file(f);
    fs.pending.push_back(Pending{f, false});
  }
}

void gc_core_pending_files() {
  Files& fs = F();
  std::lock_guard<std::mutex> l(fs.m);
  for (const Pending& p : fs.pending) gc_qn_file(p.f);
}

void gc_core_run_pending_closes() {
  Files& fs = F();
  for (;;) {
    ZU_FILE* f = nullptr;
    {
      std::lock_guard<std::mutex> l(fs.m);
      for (Pending& p : fs.pending) {
        if (!p.claimed) {
          p.claimed = true;
          f = p.f;
          break;
        }
      }
    }
    if (!f) return;
    run_close(f);
    std::lock_guard<std::mutex> l(fs.m);
    std::erase_if(fs.pending, [f](const Pending& p) { return p.f == f; });
  }
}

// ---- the reader's state as the file record's users see it

using zu_reader::BufGuard;
using zu_reader::Reader;

int zu_file_depth(ZU_FILE* f) {
  auto* r = f ? static_cast<Reader*>(f->reader) : nullptr;
  return r ? r->depth.load() : 0;
}

uint64_t zu_file_position(ZU_FILE* f) {
  auto* r = f ? static_cast<Reader*>(f->reader) : nullptr;
  return r ? r->cur.pos : 0;
}

void zu_set_line_cap(ZU_FILE* f, uint64_t bytes) {
  if (auto* r = f ? static_cast<Reader*>(f->reader) : nullptr) r->line_cap = bytes ? bytes : 1;
}

bool zu_file_read_failed(ZU_FILE* f) {
  auto* r = f ? static_cast<Reader*>(f->reader) : nullptr;
  return r && r->failed && !r->too_long && !r->refused;
}

int64_t zu_file_input_time(ZU_FILE* f) {
  return f ? std::atomic_ref<int64_t>(f->rb_time).load(std::memory_order_relaxed) : 0;
}

bool zu_file_window(ZU_FILE* f, char* out, int max, int* fill, int* pos) {
  auto* r = f ? static_cast<Reader*>(f->reader) : nullptr;
  if (!r || !r->buf) return false;
  // A reader that another thread holds is most often waiting for input;
  // its buffer is copied under the guard, and its position is where it
  // asked for more.
  int expected = 0;
  bool idle = r->busy.compare_exchange_strong(expected, 1);
  {
    BufGuard g(r);
    uint64_t at = idle ? r->cur.pos : r->wait_pos;
    *fill = static_cast<int>(std::min<uint64_t>(r->fill, INT32_MAX));
    *pos = at >= r->base ? static_cast<int>(std::min<uint64_t>(at - r->base, INT32_MAX)) : 0;
    std::memcpy(out, r->buf, std::min<size_t>(r->fill, static_cast<size_t>(std::max(max, 0))));
  }
  if (idle) r->busy.store(0);
  return true;
}

int zu_file_buffered(ZU_FILE* f, int* size) {
  auto* r = f ? static_cast<Reader*>(f->reader) : nullptr;
  if (size) *size = r ? static_cast<int>(std::min<uint64_t>(r->cap, INT32_MAX)) : 0;
  if (!r) return 0;
  uint64_t end = r->base + r->fill;
  return r->cur.pos < end ? static_cast<int>(std::min<uint64_t>(end - r->cur.pos, INT32_MAX)) : 0;
}
