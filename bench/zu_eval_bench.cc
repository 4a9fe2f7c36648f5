// The evaluator against GNU Guile's interpreter: a recursive Fibonacci of 25
// and a loop of a million additions, each run as a whole program through
// the core driver (zucore_run) and through `guile --no-auto-compile`.
// Process start-up is measured with an empty program on each side and
// taken off; the ratios printed at the end are ZU time / Guile time.
#include "process_bench.h"

namespace {

using namespace process_bench;

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

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  start("zu_eval_bench");
  std::string driver = build_file("tools/zucore_run");
  bool zu = fs::exists(driver);
  bool guile_ok = have_guile();
  const std::string guile = "guile --no-auto-compile ";

  add("zu/startup", driver + " " + write_program("empty.zu", "0\n"), zu);
  add("zu/fib25", driver + " " + write_program("fib.zu", kZuFib), zu);
  add("zu/loop1M", driver + " " + write_program("loop.zu", kZuLoop), zu);
  add("guile/startup", guile + write_program("empty.scm", "(display 0)\n"), guile_ok);
  add("guile/fib25", guile + write_program("fib.scm", kGuileFib), guile_ok);
  add("guile/loop1M", guile + write_program("loop.scm", kGuileLoop), guile_ok);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::printf("\nFastest run less process start-up:\n");
  ratio("fib(25)", "zu/fib25", "zu/startup", "guile/fib25", "guile/startup", "ZU", "Guile");
  ratio("loop 1M", "zu/loop1M", "zu/startup", "guile/loop1M", "guile/startup", "ZU", "Guile");
  finish();
  return 0;
}
