// Chain streams: text written to one is forwarded by its own thread to an
// interpreter's peer through the forwarding hook, as 4-byte codes (most
// significant byte first: the stream's encoding is EXTUCS-4).
#include <algorithm>
#include <atomic>

#include "base/task.h"
#include "stream/sbuf.h"
#include "stream/stream_impl.h"

namespace {

std::atomic<CHAIN_FORWARD> forward_hook{nullptr};

struct S_CHAIN : STREAM {
  int iid = 0;
  int ctype = 0;
  SEM lk = nullptr;
  STREAM_BUF pending{};  // written, not yet forwarded
  int flush_req = 0;     // flushes asked for and not yet served
  int done = 0;          // the stream is closing: forward the rest and leave
  int running = 0;
  ~S_CHAIN() override {
    if (lk) _i_free_lock(lk);
  }
};

S_CHAIN* ch(STREAM* s) { return static_cast<S_CHAIN*>(s); }

void forward_task(TKEY key) {
  auto* c = static_cast<S_CHAIN*>(key);
  unsigned char buf[4096];
  lock_task(c->lk);
  for (;;) {
    while (!c->flush_req && !c->done) {
      sleep_task(c, c->lk);
      lock_task(c->lk);
    }
    bool leave = c->done;
    c->flush_req = 0;
    // Forward whole codes only; a partial code waits for its other bytes.
    size_t avail = c->pending.size - c->pending.size % 4;
    while (avail > 0) {
      size_t k = copy_out_sbuf(&c->pending, buf, std::min(avail, sizeof buf), nullptr);
      avail -= k;
      unlock_task(c->lk, "chain");
      if (CHAIN_FORWARD f = forward_hook.load()) f(c->iid, c->ctype, buf, k);
      lock_task(c->lk);
    }
    wakeup_task(&c->flush_req);
    if (leave) break;
  }
  c->running = 0;
  c->h.thread.store(0);
  unlock_task(c->lk, "chain");
  wakeup_task(&c->flush_req);
}

int chain_write(STREAM* s, const void* data, int len) {
  S_CHAIN* c = ch(s);
  return copy_in_sbuf(&c->pending, data, static_cast<size_t>(len), c->lk) < 0 ? -1 : len;
}

int chain_flush(STREAM* s) {
  S_CHAIN* c = ch(s);
  lock_task(c->lk);
  c->flush_req = 1;
  unlock_task(c->lk, "chain");
  wakeup_task(c);
  return 0;
}

int chain_close(STREAM* s) {
  S_CHAIN* c = ch(s);
  lock_task(c->lk);
  c->done = 1;
  wakeup_task(c);
  while (c->running) {
    _i_sleep_task_timeout(&c->flush_req, c->lk, 0.01, __FILE__, __LINE__);
    lock_task(c->lk);
  }
  unlock_task(c->lk, "chain");
  free_sbuf(&c->pending, nullptr);
  return 0;
}

}  // namespace

const S_TABLE s_chain_table = {'c',     chain_close, chain_write, nullptr, chain_flush, nullptr, nullptr,
                               nullptr, nullptr,     nullptr,     nullptr, nullptr,     nullptr};

void set_chain_forward(CHAIN_FORWARD f) { forward_hook.store(f); }

STREAM* s_open_chain(int iid, int type) {
  init_stream();
  if ((type != 'o' && type != 'e') || !forward_hook.load()) return nullptr;
  CODE_METHOD* ucs4 = search_cm("EXTUCS-4");
  if (!ucs4) return nullptr;
  auto* c = s_new_record<S_CHAIN>(__FILE__, __LINE__);
  c->h.tbl = &s_chain_table;
  c->h.cm = ucs4;
  c->iid = iid;
  c->ctype = type;
  c->lk = new_lock(4);
  init_sbuf(&c->pending, nullptr);
  c->running = 1;
  int tid = create_task(forward_task, c, 3);
  if (tid < 0) {
    s_discard_record(c);
    return nullptr;
  }
  c->h.thread.store(tid);
  s_register(c, S_MODE_WRITE, S_CAT_CHAIN);
  return c;
}
