// Fuzz target: whole requests (several, for a kept-alive connection) read by
// the ZUoHTTP server from a memory stream. Nothing may crash or leak; every
// session opened is closed again before the next input.
#include <unistd.h>

#include <mutex>

#include "http_fuzz_impl.h"
#include "netsvc/zuohttp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::once_flag once;
  std::call_once(once, [] {
    ZOH_TIMES t{1, 1, 0, 1, 0, 1};
    zoh_set_times(&t);
    zoh_init_server();
  });
  STREAM* con = fuzz_mem_stream(data, size);
  STREAM* line = nullptr;
  // The server owns the connection from here (a kept one stays in its
  // stock until its reads end).
  if (zoh_new_accept(&line, con, nullptr, nullptr) == 1 && line) d_s_close(line);
  zoh_check_sessions(true);
  for (int i = 0; i < 2000 && zoh_check_sessions(false) > 0; ++i) usleep(1000);
  return 0;
}
