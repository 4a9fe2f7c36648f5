// The evaluator against GNU Guile's interpreter: a recursive Fibonacci of 25
// and a loop of a million additions, each run as a whole program through
// the core driver (zucore_run) and through `guile --no-auto-compile`.
// Process start-up is measured with an empty program on each side and
// taken off; the ratios printed at the end are ZU time / Guile time.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace {

namespace fs = std::filesystem;

const char* kZuFib =
    "(define fib () (g n) (if (< n 2) n (+ (fib (- n 1)) (fib (- n 2)))))\n"
    "(fib 25)\n";
const char* kZuLoop =
    "(define i 0)\n(define s 0)\n"
    "(while (< i 1000000) (set s (+ s i)) (set i (+ i 1)))\n"
    "s\n";
const char* kGuileFib =
    "(define (fib n) (if (< n 2) n (+ (fib (- n 1)) (fib (- n 2)))))\n"
    "(display (fib 25)) (newline)\n";
const char* kGuileLoop =
    "(define i 0)\n(define s 0)\n"
    "(while (< i 1000000) (set! s (+ s i)) (set! i (+ i 1)))\n"
    "(display s) (newline)\n";

fs::path g_dir;
std::string g_driver;
bool g_guile = false;
std::map<std::string, double> g_best;  // fastest run of each program, seconds

std::string write_program(const std::string& name, const char* text) {
  fs::path p = g_dir / name;
  std::ofstream(p) << text;
  return p.string();
}

double run_seconds(const std::string& cmd) {
  auto t0 = std::chrono::steady_clock::now();
  int rc = std::system((cmd + " > /dev/null").c_str());
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return rc == 0 ? s : -1.0;
}

void add(const std::string& key, const std::string& cmd, bool available) {
  benchmark::RegisterBenchmark(key.c_str(), [key, cmd, available](benchmark::State& st) {
    if (!available) {
      st.SkipWithError("program not available");
      return;
    }
    for (auto _ : st) {
      double s = run_seconds(cmd);
      if (s < 0) {
        st.SkipWithError(("failed: " + cmd).c_str());
        return;
      }
      st.SetIterationTime(s);
      auto it = g_best.find(key);
      if (it == g_best.end() || s < it->second) g_best[key] = s;
    }
  })->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
}

void ratio(const char* what, const char* zu, const char* guile) {
  if (!g_best.count(zu) || !g_best.count(guile) || !g_best.count("zu/startup") || !g_best.count("guile/startup"))
    return;
  double z = std::max(g_best[zu] - g_best["zu/startup"], 1e-6);
  double g = std::max(g_best[guile] - g_best["guile/startup"], 1e-6);
  std::printf("%-10s ZU %8.1f ms   Guile %8.1f ms   ZU/Guile %.2f\n", what, z * 1e3, g * 1e3, z / g);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // The driver is built beside the benchmarks: <build>/tools/zucore_run.
  fs::path self = fs::read_symlink("/proc/self/exe");
  g_driver = (self.parent_path().parent_path() / "tools" / "zucore_run").string();
  g_dir = fs::temp_directory_path() / ("zu_eval_bench_" + std::to_string(getpid()));
  fs::create_directories(g_dir);
  g_guile = std::system("guile --version > /dev/null 2>&1") == 0;
  bool zu = fs::exists(g_driver);
  const std::string guile = "guile --no-auto-compile ";

  add("zu/startup", g_driver + " " + write_program("empty.zu", "0\n"), zu);
  add("zu/fib25", g_driver + " " + write_program("fib.zu", kZuFib), zu);
  add("zu/loop1M", g_driver + " " + write_program("loop.zu", kZuLoop), zu);
  add("guile/startup", guile + write_program("empty.scm", "(display 0)\n"), g_guile);
  add("guile/fib25", guile + write_program("fib.scm", kGuileFib), g_guile);
  add("guile/loop1M", guile + write_program("loop.scm", kGuileLoop), g_guile);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::printf("\nFastest run less process start-up:\n");
  ratio("fib(25)", "zu/fib25", "guile/fib25");
  ratio("loop 1M", "zu/loop1M", "guile/loop1M");
  fs::remove_all(g_dir);
  return 0;
}
