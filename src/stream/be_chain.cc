// Chain streams: text written to one is forwarded by its own thread to an
// interpreter's peer through the forwarding hook, as 4-byte codes (most
// significant byte first: the stream's encoding is EXTUCS-4).
//
// A flush returns once the peer has answered the call that carried the
// text written before it, so that whatever the writer tells the peer next
// arrives after the text. A peer that does not take a call, or does not
// answer it in time, makes that flush and every later one fail, and is not
// waited for again. A close forwards the rest without waiting for answers.
// Text that cannot be sent at all (the interpreter has gone, or has no
// peer) is written to the process's own standard stream of the same type,
// and so is all later text of the stream: a peer that left does not take
// the process's output with it.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <vector>

#include "base/task.h"
#include "stream/sbuf.h"
#include "stream/stream_impl.h"

namespace {

std::atomic<CHAIN_FORWARD> forward_hook{nullptr};
std::atomic<int> flush_wait_ms{10000};

struct S_CHAIN : STREAM {
  int iid = 0;
  int ctype = 0;
  SEM lk = nullptr;
  STREAM_BUF pending{};       // written, not yet forwarded
  unsigned flush_asked = 0;   // flushes asked for
  unsigned flush_served = 0;  // flushes whose text the peer has had
  int unanswered = 0;  // a call was left unanswered
  int local = 0;       // nobody takes the text: it is written here (forwarder only)
  int done = 0;        // the stream is closing: forward the rest and leave
  int running = 0;
  ~S_CHAIN() override {
    if (lk) _i_free_lock(lk);
  }
};

S_CHAIN* ch(STREAM* s) { return static_cast<S_CHAIN*>(s); }

// Writes text in 4-byte codes to the process's own standard stream for
// the chain's type.
void write_here(int ctype, const unsigned char* data, size_t len) {
  STREAM* own = s_own_std(ctype == 'e' ? 2 : 1);
  if (!own) return;
  std::vector<L_CHAR> text;
  text.reserve(len / 4 + 1);
  for (size_t i = 0; i + 4 <= len; i += 4) {
    auto code = static_cast<L_CHAR>(data[i]) << 24 | static_cast<L_CHAR>(data[i + 1]) << 16 |
                static_cast<L_CHAR>(data[i + 2]) << 8 | data[i + 3];
    if (code != 0) text.push_back(code);
  }
  text.push_back(0);
  s_printf(own, "%ls", text.data());
  s_flush(own);
}

void forward_task(TKEY key) {
  auto* c = static_cast<S_CHAIN*>(key);
  unsigned char buf[4096];
  lock_task(c->lk);
  for (;;) {
    while (c->flush_served == c->flush_asked && !c->done) {
      sleep_task(c, c->lk);
      lock_task(c->lk);
    }
    bool leave = c->done;
    unsigned serving = c->flush_asked;
    // Only a flush waits for the peer's answer, and only to the last call:
    // the peer answers its calls in order.
    bool confirm = serving != c->flush_served && !leave && !c->unanswered;
    // Forward whole codes only; a partial code waits for its other bytes.
    size_t avail = c->pending.size - c->pending.size % 4;
    while (avail > 0) {
      size_t k = copy_out_sbuf(&c->pending, buf, std::min(avail, sizeof buf), nullptr);
      avail -= k;
      int wait = confirm && avail == 0 ? flush_wait_ms.load() : 0;
      unlock_task(c->lk, "chain");
      CHAIN_FORWARD f = forward_hook.load();
      int r = c->local || !f ? -1 : f(c->iid, c->ctype, buf, k, wait);
      if (r < 0) write_here(c->ctype, buf, k);
      lock_task(c->lk);
      if (r < 0) c->local = 1;
      else if (r != 0) c->unanswered = 1;
    }
    c->flush_served = serving;
    wakeup_task(&c->flush_served);
    if (leave) break;
  }
  c->running = 0;
  c->h.thread.store(0);
  unlock_task(c->lk, "chain");
  wakeup_task(&c->flush_served);
}

int chain_write(STREAM* s, const void* data, int len) {
  S_CHAIN* c = ch(s);
  return copy_in_sbuf(&c->pending, data, static_cast<size_t>(len), c->lk) < 0 ? -1 : len;
}

// Waits for the forwarder to serve this flush, at most twice the time it
// gives the peer to answer (the forwarding itself takes time too).
int chain_flush(STREAM* s) {
  S_CHAIN* c = ch(s);
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(2 * flush_wait_ms.load());
  lock_task(c->lk);
  unsigned mine = ++c->flush_asked;
  wakeup_task(c);
  auto served = [&] { return static_cast<int>(c->flush_served - mine) >= 0; };
  while (!served() && c->running) {
    std::chrono::duration<double> left = end - std::chrono::steady_clock::now();
    if (left.count() <= 0) break;
    _i_sleep_task_timeout(&c->flush_served, c->lk, left.count(), __FILE__, __LINE__);
    lock_task(c->lk);
  }
  bool ok = served() && !c->unanswered;
  unlock_task(c->lk, "chain");
  return ok ? 0 : -1;
}

int chain_close(STREAM* s) {
  S_CHAIN* c = ch(s);
  lock_task(c->lk);
  c->done = 1;
  wakeup_task(c);
  while (c->running) {
    _i_sleep_task_timeout(&c->flush_served, c->lk, 0.01, __FILE__, __LINE__);
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

void set_chain_flush_wait(int ms) { flush_wait_ms.store(ms > 0 ? ms : 10000); }

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
  c->lk = new_lock(LOCK_CHAIN);
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
