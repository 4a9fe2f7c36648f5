// Fuzz target: what a ZUoHTTP server (or a proxy) answers a connecting
// client: HTTP replies with their 12-byte headers and payloads, plain or
// chunked. The first byte picks the road (bit 0: the version-1 connect
// alone, else the probe first; bit 1: keep-alive); the rest is cut at
// "\r\n--next--\r\n" into what each connection the client makes reads, in
// the order it makes them. A stream that opens is written to, read from
// (version 2: its reads never block here) and closed; its task must end
// and free everything before the next input.
#include <unistd.h>

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "http_fuzz_impl.h"
#include "netsvc/zuohttp_client.h"

namespace {

std::mutex pieces_mu;
std::vector<std::string> pieces;  // what the next connections read, in order
size_t next_piece = 0;

STREAM* memory_connection(int*, const char*, int, int) {
  std::string in;
  {
    std::lock_guard<std::mutex> g(pieces_mu);
    if (next_piece < pieces.size()) in = pieces[next_piece++];
  }
  return fuzz_mem_stream(reinterpret_cast<const uint8_t*>(in.data()), in.size());
}

void cut(std::string_view rest) {
  static constexpr std::string_view kNext = "\r\n--next--\r\n";
  std::lock_guard<std::mutex> g(pieces_mu);
  pieces.clear();
  next_piece = 0;
  for (;;) {
    size_t at = rest.find(kNext);
    pieces.emplace_back(rest.substr(0, at));
    if (at == std::string_view::npos) break;
    rest.remove_prefix(at + kNext.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::once_flag once;
  std::call_once(once, [] {
    init_stream();
    init_ZUoHTTP_stream();
    zoh_set_connector(memory_connection);
  });
  if (size == 0) return 0;
  cut(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  int flags = data[0] & 2 ? ZOH_F_KEEP_ALIVE : 0;
  int cerr = 0;
  STREAM* s = data[0] & 1 ? s_connect_ZUoHTTP(&cerr, "fuzz", 0, 80, nullptr, 0, 0, flags)
                          : zoh_connect_ZUoHTTP_2(&cerr, "fuzz", 0, 80, nullptr, 0, 0, flags);
  if (s) {
    static const char kForm[] = "(+ 1 2)\n";
    s_write(s, kForm, sizeof kForm - 1);
    s_flush(s);
    // A version-1 read waits for the server; version 2 reads the download.
    char buf[256];
    for (int i = 0; i < 64 && s->h.tbl != search_s_table('x') && s_read(s, buf, sizeof buf) > 0; ++i) {
    }
    d_s_close(s);
  }
  for (int i = 0; i < 20000 && zoh_client_streams() > 0; ++i) usleep(100);
  if (zoh_client_streams() > 0) __builtin_trap();
  zoh_forget_versions();
  return 0;
}
