// Reader and printer throughput over a mixed ZU text (lists, attributes,
// strings, numbers with units, elements, raw bytes).
#include <benchmark/benchmark.h>

#include <string>

#include "stream/stream.h"
#include "zu/gc.h"
#include "zu/printer.h"
#include "zu/reader.h"
#include "zu/value.h"

namespace {

const std::string& corpus() {
  static const std::string text = [] {
    std::string t;
    for (int i = 0; t.size() < (4u << 20); ++i) {
      t += "(Define [f" + std::to_string(i) + " Order=\"Normal\"] (g a b) (+ a " + std::to_string(i) +
           "km) \"text with \\\"quotes\\\" and\\nlines\" 2.500000sec (x . y))\n";
      t += "<Result> " + std::to_string(i) + " <item id=\"" + std::to_string(i) +
           "\" kind=\"a\">\"value\" 42 [sym] (1 2 3)</item></Result>\n";
      t += "#10#0123456789abcdef]\n";
    }
    return t;
  }();
  return text;
}

void started() {
  static bool once = [] {
    init_gc_task();
    return true;
  }();
  (void)once;
}

void BM_ReadZuText(benchmark::State& state) {
  started();
  const std::string& t = corpus();
  for (auto _ : state) {
    ZuThreadScope scope("read");
    STREAM* st = s_open_string_read(t.data(), utf8_cm, static_cast<int>(t.size()), 0);
    ZU_SEXP* l = init_parse(st, nullptr, nullptr);
    int64_t n = 0;
    for (ZU_SEXP* p = l; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) ++n;
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(t.size()));
}
BENCHMARK(BM_ReadZuText)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PrintZuValues(benchmark::State& state) {
  started();
  const int flags = static_cast<int>(state.range(0));
  ZuThreadScope scope("print");
  const std::string& t = corpus();
  STREAM* in = s_open_string_read(t.data(), utf8_cm, static_cast<int>(t.size()), 0);
  ZU_SEXP* l = init_parse(in, nullptr, nullptr);
  for (ZU_SEXP* p = l; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
  }
  int64_t bytes = 0;
  for (auto _ : state) {
    STREAM* out = s_open_string_write(utf8_cm);
    print_sexp(out, l, flags | ZU_PRINT_MULTIROOT);
    bytes += s_get_string_len(out);
    d_s_close(out);
  }
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_PrintZuValues)->Arg(ZU_PRINT_LIST)->Arg(ZU_PRINT_XML)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
