// The library's control flow against GNU Guile's interpreter, the same
// programs on both sides in the same run: a For loop of a million
// additions, recursive fib 25 through a Defined function, and a loop that
// picks one of seven values through Switch and nested If chains (cond and
// if in Guile). Ratios printed at the end are qnmx time / Guile time, each
// less its process start-up.
#include "process_bench.h"

namespace {

using namespace process_bench;

const char* kZuFor =
    "(Define s 0)\n(Define n 1000000)\n"
    "(For dec=\"n\" (Define s (+ s n)))\n";
const char* kGuileFor =
    "(define s 0)\n(define n 1000000)\n"
    "(while (> n 0) (set! s (+ s n)) (set! n (- n 1)))\n";
const char* kZuFib =
    "(Define fib () (g n) (If (< n 2) (Then n) (Else (+ (fib (- n 1)) (fib (- n 2))))))\n"
    "(fib 25)\n";
const char* kGuileFib =
    "(define (fib n) (if (< n 2) n (+ (fib (- n 1)) (fib (- n 2)))))\n"
    "(fib 25)\n";
const char* kZuSwitch =
    "(Define acc 0)\n(Define n 300000)\n"
    "(For dec=\"n\" (Define k (% n 7))\n"
    "  (Define acc (+ acc (Switch (Case (== k 0) 1) (Case (== k 1) 2) (Case (== k 2) 3) (Case (== k 3) 4)\n"
    "    (Case 1 (If (< k 5) (Then 5) (Else (If (== k 5) (Then 6) (Else 7)))))))))\n";
const char* kGuileSwitch =
    "(define acc 0)\n(define n 300000)\n(define k 0)\n"
    "(while (> n 0) (set! k (modulo n 7))\n"
    "  (set! acc (+ acc (cond ((= k 0) 1) ((= k 1) 2) ((= k 2) 3) ((= k 3) 4)\n"
    "    (else (if (< k 5) 5 (if (= k 5) 6 7))))))\n"
    "  (set! n (- n 1)))\n";

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  start("zulib_control_bench");
  std::string qnmx = build_file("src/app/qnmx");
  bool have_qnmx = fs::exists(qnmx);
  bool guile_ok = have_guile();
  const std::string guile = "guile --no-auto-compile ";
  struct Case {
    const char* key;
    const char* zu;
    const char* scm;
  };
  const Case cases[] = {{"for1M", kZuFor, kGuileFor}, {"fib25", kZuFib, kGuileFib}, {"switch300k", kZuSwitch, kGuileSwitch}};
  add("qnmx/startup", qnmx + " " + write_program("empty.zu", "") + " -", have_qnmx);
  add("guile/startup", guile + write_program("empty.scm", ""), guile_ok);
  for (const Case& c : cases) {
    add(std::string("qnmx/") + c.key, qnmx + " " + write_program(std::string(c.key) + ".zu", c.zu) + " -", have_qnmx);
    add(std::string("guile/") + c.key, guile + write_program(std::string(c.key) + ".scm", c.scm), guile_ok);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("\nFastest run less process start-up:\n");
  for (const Case& c : cases) {
    std::string a = std::string("qnmx/") + c.key;
    std::string b = std::string("guile/") + c.key;
    ratio(c.key, a.c_str(), "qnmx/startup", b.c_str(), "guile/startup", "qnmx", "Guile");
  }
  finish();
  return 0;
}
