// Fuzz target: arbitrary bytes read as an HTTP reply, its body through the
// chunked reader (in pieces of a size the first byte picks). Nothing may
// crash, and the body handed out is never longer than the input.
#include "http_fuzz_impl.h"
#include "netsvc/http_chunk.h"
#include "netsvc/http_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  int piece = 1 + data[0] % 64;
  STREAM* s = fuzz_mem_stream(data + 1, size - 1);
  HTTP_INFO info;
  if (scan_HTTP(&info, s, 0) == 0) {
    free_HTTP_info(&info);
    if (chunk_read_start(s) == 0) {
      char buf[64];
      size_t body = 0;
      for (int n; (n = s_chunk_read(s, buf, piece)) > 0;) {
        if (n > piece) __builtin_trap();
        body += static_cast<size_t>(n);
      }
      if (body > size) __builtin_trap();
      chunk_read_end(s);
    }
  }
  d_s_close(s);
  return 0;
}
