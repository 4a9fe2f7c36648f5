// Delayed values: forcing, inspection and marking.
#include <atomic>
#include <cstring>
#include <mutex>

#include "base/panic.h"
#include "zu/file.h"
#include "zu/gc_core_impl.h"
#include "zu/value.h"

namespace {

std::atomic<const ZU_DELAY_OPS*> reader_ops{nullptr};
// Guards the turn of a callback delay into its value against a forcer
// reading its record (held for a few instructions, never while blocking).
std::mutex turn_mu;

}  // namespace

void set_reader_delay_ops(const ZU_DELAY_OPS* ops) { reader_ops.store(ops); }

ZU_SEXP* init_delay_func(void* work) {
  ZU_SEXP* s = new_sexp(ZU_TYPE_DELAY);
  s->h.aux = ZU_DELAY_CALLBACK;
  s->delay.work = work;
  return s;
}

ZU_SEXP* new_reader_delay(ZU_FILE* file, void* work) {
  ZU_SEXP* s = new_sexp(ZU_TYPE_DELAY);
  s->h.aux = ZU_DELAY_READER;
  s->delay.work = work;
  s->delay.file = file;
  return s;
}

void mark_delay_work(ZU_SEXP* s) {
  if (s->h.aux == ZU_DELAY_CALLBACK) {
    auto* df = static_cast<DELAY_FUNC*>(s->delay.work);
    if (df && df->gc_func) gc_mark(df, df->gc_func);
  } else if (s->h.aux == ZU_DELAY_READER) {
    gc_mark(s->delay.file, gc_qn_file);
    const ZU_DELAY_OPS* ops = reader_ops.load();
    if (ops && ops->mark_work) gc_mark(s->delay.work, ops->mark_work);
  }
}

int force_type(ZU_SEXP* s) {
  // A forcing function turns the value in place; one that leaves it delayed
  // (it cannot produce the value) ends the loop with the delay type. The
  // kind and record are read together, as over_write_delay changes them.
  while (published_type(s) == ZU_TYPE_DELAY) {
    uint16_t kind;
    void* work;
    {
      std::lock_guard<std::mutex> g(turn_mu);
      if (s->h.type != ZU_TYPE_DELAY) break;
      kind = s->h.aux;
      work = s->delay.work;
    }
    ZU_SEXP* r = nullptr;
    if (kind == ZU_DELAY_CALLBACK) {
      auto* df = static_cast<DELAY_FUNC*>(work);
      if (!df || !df->func) return ZU_TYPE_DELAY;
      r = df->func(s);
    } else if (kind == ZU_DELAY_READER) {
      const ZU_DELAY_OPS* ops = reader_ops.load();
      if (!ops || !ops->force) return ZU_TYPE_DELAY;
      r = ops->force(s);
    } else {
      return ZU_TYPE_DELAY;
    }
    if (published_type(s) != ZU_TYPE_DELAY) break;
    if (r == s || (r && r->h.type == ZU_TYPE_DELAY)) return ZU_TYPE_DELAY;
    over_write_sexp(s, r);
  }
  return published_type(s);
}

ZU_SEXP* over_write_delay(ZU_SEXP* dst, ZU_SEXP* src) {
  std::lock_guard<std::mutex> g(turn_mu);
  uint8_t type = src ? src->h.type : ZU_TYPE_NULL;
  dst->h.flags = src ? src->h.flags : 0;
  dst->h.aux = src ? src->h.aux : 0;
  if (src)
    std::memcpy(&dst->pair, &src->pair, sizeof(ZU_SEXP) - sizeof(ZU_SEXP_HEADER));
  else
    std::memset(&dst->pair, 0, sizeof(ZU_SEXP) - sizeof(ZU_SEXP_HEADER));
  std::atomic_ref<uint8_t>(dst->h.type).store(type, std::memory_order_release);
  return dst;
}

void* delay_record(ZU_SEXP* d) {
  std::lock_guard<std::mutex> g(turn_mu);
  return d && d->h.type == ZU_TYPE_DELAY && d->h.aux == ZU_DELAY_CALLBACK ? d->delay.work : nullptr;
}

int get_delay_info(STREAM** st, void** rec, ZU_SEXP* s) {
  if (!s || s->h.type != ZU_TYPE_DELAY) return 0;
  if (st) *st = s->delay.file ? s->delay.file->st : nullptr;
  if (s->h.aux == ZU_DELAY_CALLBACK) {
    if (rec) *rec = s->delay.work;
    return 2;
  }
  if (s->h.aux == ZU_DELAY_READER) return 4;
  return 3;
}

int check_delay(ZU_SEXP* s, int key) {
  if (!s || s->h.type != ZU_TYPE_DELAY) return 0;
  if (s->h.aux == ZU_DELAY_CALLBACK) {
    auto* df = static_cast<DELAY_FUNC*>(s->delay.work);
    if (!df || !df->check_func) return 0;
    return df->check_func(df, key) == 2 ? 2 : 1;
  }
  if (s->h.aux == ZU_DELAY_READER) {
    const ZU_DELAY_OPS* ops = reader_ops.load();
    return ops && ops->check ? ops->check(s) : 0;
  }
  return 3;
}
