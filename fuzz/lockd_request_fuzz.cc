// Fuzz target: what a client sends the lock service. The input is the
// bytes of two connections from two addresses, cut at its first NUL byte;
// each is read and answered as the service reads a connection once its
// first byte is in (a line end, or it is not served), the first to its end
// before the second, so the second's requests meet the first's holds.
// Then both end: every hold and wait is given back, and the grants that
// frees are answered. Nothing may crash, stop the process or leak, and no
// request, nor anything of the addresses' accounts or of a connection's
// counts, may be left behind.
#include <cstdint>
#include <cstring>
#include <memory>

#include "lockd_service.h"
#include "stream/stream.h"
#include "zu/core_init.h"
#include "zu/gc.h"
#include "zu/peer_account.h"

namespace {

ConnRef connection(int id, int ip, const uint8_t* data, size_t size) {
  auto conn = std::make_shared<LockConn>();
  conn->id = id;
  conn->ip = ip;
  conn->peer = "fuzz";
  conn->st = s_open_string_read(reinterpret_cast<const char*>(data), nullptr, static_cast<int>(size), 1);
  s_hold(conn->st);
  conn->out = s_open_string_write(nullptr);
  return conn;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    init_stream();
    init_qnlisp();
    return true;
  }();
  (void)ready;
  const auto* cut = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  const size_t first = cut ? static_cast<size_t>(cut - data) : size;
  ConnRef a = connection(1, 0x7F000002, data, first);
  ConnRef b = connection(2, 0x7F000003, cut ? cut + 1 : data + size, cut ? size - first - 1 : 0);
  const bool a_read = lockd_read_requests(a);
  const bool b_read = lockd_read_requests(b);
  if (a_read) lockd_end(a);
  if (b_read) lockd_end(b);
  for (PEER_HOLD kind : {PEER_HOLD::kQueued, PEER_HOLD::kInput})
    if (account_total(kind) != 0) __builtin_trap();
  if (lockd_listed() != 0) __builtin_trap();
  for (const ConnRef& c : {a, b})
    if (!c->mine.empty() || c->waiting != 0 || c->bytes != 0 || c->held_bytes != 0) __builtin_trap();
  for (const ConnRef& c : {a, b}) d_s_close(c->out);
  a.reset();
  b.reset();
  // What the reader made is freed before the next input, as in the
  // reader's own harnesses.
  gc_collect_now();
  return 0;
}
