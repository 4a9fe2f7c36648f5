// Matching speed of compiled automata over long texts: an identifier-like
// expression over ASCII, and a class of Japanese characters over wide text.
#include <benchmark/benchmark.h>

#include <vector>

#include "text/regex.h"

namespace {

std::vector<L_CHAR> wide(const char32_t* s) {
  std::vector<L_CHAR> w;
  for (; *s; ++s) w.push_back(*s);
  w.push_back(0);
  return w;
}

// Runs expr over n characters cycled from alphabet (all of which match, so
// the whole text is walked).
void run_over(benchmark::State& state, const char32_t* expr, const char32_t* alphabet) {
  const size_t n = 1 << 20;
  const std::vector<L_CHAR> abc = wide(alphabet);
  std::vector<L_CHAR> text(n + 1, 0);
  for (size_t i = 0; i < n; ++i) text[i] = abc[i % (abc.size() - 1)];
  AUTOMATON* a = get_fa(wide(expr).data());
  for (auto _ : state) {
    int mn = 0, mx = 0;
    benchmark::DoNotOptimize(parse_dfa_str(&mn, &mx, a, text.data(), 0));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n * sizeof(L_CHAR));
  state.counters["chars/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * n,
                                                 benchmark::Counter::kIsRate);
  free_automaton(a);
}

void BM_AsciiIdentifier(benchmark::State& state) {
  run_over(state, U"[A-Za-z_][A-Za-z0-9_]*", U"abcXYZ_0123456789qrs");
}
BENCHMARK(BM_AsciiIdentifier);

void BM_JapaneseClass(benchmark::State& state) {
  run_over(state, U"([ぁ-んァ-ン]|[一-龠]|ー)+", U"ひらがなカタカナ漢字日本語ー");
}
BENCHMARK(BM_JapaneseClass);

void BM_Alternation(benchmark::State& state) {
  run_over(state, U"(if|then|else|[a-z]+| )*", U"if then else word ");
}
BENCHMARK(BM_Alternation);

void BM_Compile(benchmark::State& state) {
  const std::vector<L_CHAR> expr = wide(U"(if|then|else|while|for|[A-Za-z_][A-Za-z0-9_]*|[0-9]+(\\.[0-9]*)?)");
  for (auto _ : state) free_automaton(get_fa(expr.data()));
}
BENCHMARK(BM_Compile);

}  // namespace

BENCHMARK_MAIN();
