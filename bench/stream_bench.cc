// Throughput of file streams with an encoding: formatted wide output and
// decoding reads, byte by byte as the reader does.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "stream/stream.h"

namespace {

std::vector<L_CHAR> sample_text() {
  std::vector<L_CHAR> t;
  for (int i = 0; i < 4000; ++i) t.push_back(i % 5 == 0 ? 0x65E5 + (i % 40) : 'a' + i % 26);
  t.push_back(0);
  return t;
}

void BM_WriteWide(benchmark::State& state, const char* enc) {
  init_stream();
  CODE_METHOD* cm = search_cm(enc);
  auto text = sample_text();
  std::string path = "/tmp/qnmx_stream_bench_w";
  int64_t bytes = 0;
  for (auto _ : state) {
    STREAM* s = s_open_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    s_set_cm(s, cm);
    for (int i = 0; i < 64; ++i) bytes += s_printf(s, "%ls\n", text.data());
    d_s_close(s);
  }
  unlink(path.c_str());
  state.SetBytesProcessed(bytes);
}

void BM_ReadDecode(benchmark::State& state, const char* enc) {
  init_stream();
  CODE_METHOD* cm = search_cm(enc);
  auto text = sample_text();
  std::string path = "/tmp/qnmx_stream_bench_r";
  STREAM* w = s_open_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  s_set_cm(w, cm);
  for (int i = 0; i < 64; ++i) s_printf(w, "%ls\n", text.data());
  d_s_close(w);
  int64_t bytes = 0;
  for (auto _ : state) {
    STREAM* s = s_open_file(path.c_str(), O_RDONLY, 0);
    s_set_cm(s, cm);
    L_CHAR c;
    size_t n = 0;
    while (s_read_lchar(s, &c) == 1) ++n;
    benchmark::DoNotOptimize(n);
    bytes += lseek(s_get_fd(s), 0, SEEK_CUR);
    d_s_close(s);
  }
  unlink(path.c_str());
  state.SetBytesProcessed(bytes);
}

BENCHMARK_CAPTURE(BM_WriteWide, utf8, "UTF-8");
BENCHMARK_CAPTURE(BM_WriteWide, eucjp, "EUC-JP");
BENCHMARK_CAPTURE(BM_ReadDecode, utf8, "UTF-8");
BENCHMARK_CAPTURE(BM_ReadDecode, eucjp, "EUC-JP");

}  // namespace

BENCHMARK_MAIN();
