// Fuzz target: arbitrary bytes read as an HTTP request header. Nothing may
// crash; a header that is accepted respects every cap, and the parser never
// takes more of the stream than the caps allow.
#include <cstring>

#include "http_fuzz_impl.h"
#include "netsvc/http_agent.h"
#include "netsvc/http_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  STREAM* s = fuzz_mem_stream(data, size);
  HTTP_INFO info;
  int rc = scan_HTTP(&info, s, 1);
  auto* m = static_cast<FUZZ_MEM_STREAM*>(s);
  if (m->at > static_cast<size_t>(kHttpMaxHeader)) __builtin_trap();
  if (rc == 0) {
    if (!info.method || std::strlen(info.method) > kHttpMaxMethod || info.content_length < -1) __builtin_trap();
    if (const char* dir = info.dir) {
      size_t len = std::strlen(dir);
      const char* path = http_target_path(dir);
      if (len > kHttpMaxLine || (std::strcmp(path, "/") != 0 && (path < dir || path > dir + len))) __builtin_trap();
      is_zuohttp_path(path);
    }
    free_HTTP_info(&info);
  }
  d_s_close(s);
  return 0;
}
