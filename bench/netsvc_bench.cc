// Parsing cost of HTTP headers: scan_HTTP on a typical ZUoHTTP request
// header and on a browser's GET, read from a stream's buffer as on a
// connection (the stream holds many headers back to back, so no open is
// timed).
#include <benchmark/benchmark.h>

#include <string>

#include "netsvc/http_header.h"
#include "stream/stream.h"
#include "text/codemethod.h"

namespace {

const char kZoH[] =
    "POST http://127.0.0.2:9090/cgi-bin/zusv.cgi HTTP/1.0\r\nConnection: keep-alive\r\nPragma: no-cache\r\n"
    "Content-Type: application/zuohttp\r\nHost: 127.0.0.2:9090\r\nContent-Length: 24\r\n\r\n";
const char kBrowser[] =
    "GET /maps/index.html?level=3&x=120&y=77 HTTP/1.1\r\nHost: agent.example:9090\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:115.0) Gecko/20100101 Firefox/115.0\r\n"
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,*/*;q=0.8\r\n"
    "Accept-Language: en-US,en;q=0.5\r\nAccept-Encoding: gzip, deflate\r\nConnection: keep-alive\r\n"
    "Upgrade-Insecure-Requests: 1\r\nCache-Control: max-age=0\r\n\r\n";

void BM_ScanHTTP(benchmark::State& state, const char* header) {
  constexpr int kCopies = 4096;
  std::string all;
  for (int i = 0; i < kCopies; ++i) all += header;
  STREAM* s = nullptr;
  int left = 0;
  HTTP_INFO info;
  for (auto _ : state) {
    if (left == 0) {
      state.PauseTiming();
      if (s) d_s_close(s);
      s = s_open_string_read(all.data(), utf8_cm, static_cast<int>(all.size()), 1);
      left = kCopies;
      state.ResumeTiming();
    }
    if (scan_HTTP(&info, s, 1) != 0) state.SkipWithError("header refused");
    free_HTTP_info(&info);
    --left;
  }
  d_s_close(s);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(std::string(header).size()));
}
BENCHMARK_CAPTURE(BM_ScanHTTP, zuohttp_request, kZoH);
BENCHMARK_CAPTURE(BM_ScanHTTP, browser_get, kBrowser);

}  // namespace

BENCHMARK_MAIN();
