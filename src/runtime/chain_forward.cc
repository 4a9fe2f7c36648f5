// The forwarder of chain streams (stream/be_chain.cc): text written to a
// chain stream on an interpreter's id reaches that interpreter's peer as
// (PrintChain type raw) calls, the raw value holding the text as 4-byte
// codes, most significant byte first. The stream's own task calls it; it
// is given an internal interpreter for each call, since a query needs an
// asking interpreter. A reply is awaited only when the stream asks for it
// (a flush), and then for a bounded time: the chain keeps the order of its
// text on the link, and a peer that never answers cannot hold up the
// stream's flush or close for ever. A chain exists because the
// interpreter's input asked for it (a header or PrintChain read there), so
// its questions are asked for whom that input evaluates (link_origin): a
// server that pointed the agent's output at itself answers them with none
// of the agent's powers.
#include <chrono>
#include <cstddef>

#include "runtime/interp.h"
#include "runtime/remote.h"
#include "runtime/services.h"
#include "stream/stream.h"
#include "zu/gc.h"
#include "zu/value.h"

namespace {

// Waits up to ms for the reply to a query sent: 0 it came (or the link
// ended, which fails the query), 1 it did not come in time.
int await_reply(ZU_SEXP* sent, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    std::chrono::duration<double> left = end - std::chrono::steady_clock::now();
    if (left.count() <= 0) return 1;
    if (wait_remote_reply(sent, left.count())) return 0;
  }
}

// Whom interpreter iid's input evaluates for (the agent's when it is gone:
// the query then finds no link).
EVAL_ORIGIN origin_of(int iid) {
  lock_task(zui_lock);
  ZU_INTERPRETER* z = _search_zui_id(iid);
  EVAL_ORIGIN o = z ? link_origin(z) : kAgentOrigin;
  unlock_task(zui_lock, "chain");
  return o;
}

int forward_chain(int iid, int type, const unsigned char* data, size_t len, int wait_ms) {
  if (len > UINT32_MAX) return -1;
  SelfInterpreterScope self;
  if (!self.ready()) return -1;  // shutting down
  int r;
  {
    ZuThreadScope scope("chain");
    const char kind[2] = {static_cast<char>(type), 0};
    ZU_SEXP* call = List(get_symbol_ascii("PrintChain"), get_string_ascii(kind),
                         get_raw(data, static_cast<uint32_t>(len)), ZU_LIST_END);
    ZU_SEXP* sent;
    {
      EvalOriginScope origin(origin_of(iid));
      sent = remote_query(iid, qnlisp_top_env1, nullptr, call);
    }
    r = sent && sexp_type(sent) != ZU_TYPE_ERROR ? 0 : -1;
    if (r == 0 && wait_ms > 0) r = await_reply(sent, wait_ms);
  }
  return r;
}

}  // namespace

void init_chain_forward() { set_chain_forward(forward_chain); }
