// The evaluator against GNU Guile's interpreter: a recursive Fibonacci of 25
// and a loop of a million additions, each run as a whole program through
// the core driver (zucore_run) and through `guile --no-auto-compile`.
// Each pair runs an empty program and the program on our side, then the
// same on Guile's; each side's time is its program's run less its empty
// program's run (the start-up) in the same pair. The ratios are ZU time /
// Guile time.
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

int main() {
  start("zu_eval_bench");
  std::string driver = build_file("tools/zucore_run");
  bool zu = fs::exists(driver);
  bool guile_ok = have_guile();
  const std::string guile = "guile --no-auto-compile ";
  const std::string zu_start = driver + " " + write_program("empty.zu", "0\n");
  const std::string guile_start = guile + write_program("empty.scm", "(display 0)\n");
  const char* ours_does =
      "tools/zucore_run on the program file less its run of an empty program (start-up) just before it, "
      "clamped above 0; each pair runs our start-up, ours, Guile's start-up, Guile";
  const char* peer_does =
      "guile --no-auto-compile on the same program in Scheme less its run of an empty program just before it, "
      "likewise";

  std::printf("Pairs of whole processes, each side less its start-up in the pair:\n");
  Pairs fib = paired({"zucore_run", zu_start, driver + " " + write_program("fib.zu", kZuFib), zu},
                     {"guile", guile_start, guile + write_program("fib.scm", kGuileFib), guile_ok}, kGuileMissing);
  row(fib, "fib(25)", "ZU", "Guile", "zu.fib25", "evaluator: recursive fib(25)", "Guile 3", ours_does, peer_does,
      "ratio<=1; at most Guile's time");
  Pairs loop = paired({"zucore_run", zu_start, driver + " " + write_program("loop.zu", kZuLoop), zu},
                      {"guile", guile_start, guile + write_program("loop.scm", kGuileLoop), guile_ok}, kGuileMissing);
  row(loop, "loop 1M", "ZU", "Guile", "zu.loop1m", "evaluator: a 1M-iteration counting loop", "Guile 3", ours_does,
      peer_does, "ratio<=0.7; keep 0.7x Guile's time");
  finish();
  return 0;
}
