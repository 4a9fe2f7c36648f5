// A child for the hand-over test: rebuilds the stream its parent handed
// over, announces an address on it and answers each line it reads.
#include <string>

#include "base/entry.h"
#include "stream/stream.h"

namespace {

int body(int, char**) {
  init_stream();
  if (recv_streams_len != 1) return 2;
  STREAM* s = recv_streams[0];
  s_set_cm(s, utf8_cm);
  s_set_fpipe_ip_addr(s, 0x7f000002);
  std::basic_string<L_CHAR> line;
  L_CHAR c;
  while (s_read_lchar(s, &c) == 1) {
    if (c != '\n') {
      line += c;
      continue;
    }
    if (line == std::basic_string<L_CHAR>{'q', 'u', 'i', 't'}) return 0;
    if (line == std::basic_string<L_CHAR>{'p', 'e', 'e', 'r', '?'})
      s_printf(s, "peer:%x\n", static_cast<unsigned>(s_get_socketip(s)));
    else
      s_printf(s, "echo:%ls\n", line.c_str());
    s_flush(s);
    line.clear();
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) { call_main(argc, argv, body); }
