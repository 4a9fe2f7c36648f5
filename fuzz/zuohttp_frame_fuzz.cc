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
  // stock until its reads end); the reference held here only lets the
  // harness see when the server has closed it.
  s_hold(con);
  if (zoh_new_accept(&line, con, nullptr, nullptr, nullptr) == 1 && line) d_s_close(line);
  // A kept connection's later requests open sessions after the first pass:
  // every pass closes all there are, until the connection and the last
  // session are gone.
  for (int i = 0; i < 20000 && (zoh_check_sessions(true) > 0 || s_exist(con)); ++i) usleep(100);
  s_drop(con);
  return 0;
}
