// The library's tables and strings against GNU Guile: Sort of 10^5
// integers with a compare lambda and of 10^5 records by a field,
// ReplaceString and DivideString over a text of about 12 million
// characters, and RegCmp matching a text of about a million characters.
// Each side builds its data the same way; the build alone is measured as
// well, so the ratios printed at the end are of the operations only
// (qnmx time / Guile time).
#include "process_bench.h"

namespace {

using namespace process_bench;

// 10^5 pseudo-random integers (the same generator on both sides).
const char* kZuInts =
    "(define x 1) (define i 0) (define l (List))\n"
    "(while (< i 100000) (set x (% (+ (* x 1103515245) 12345) 2147483648)) (set l (cons (% x 1000000) l)) "
    "(set i (+ i 1)))\n";
const char* kZuRecs =
    "(define x 1) (define i 0) (define l (List))\n"
    "(while (< i 100000) (set x (% (+ (* x 1103515245) 12345) 2147483648)) "
    "(set l (cons (List (quote r) (List (quote k) (% x 1000000))) l)) (set i (+ i 1)))\n";
// A text of 6 * 2^21 characters: "ab,cd;" doubled 21 times.
const char* kZuText =
    "(define s \"ab,cd;\") (define i 0)\n"
    "(while (< i 21) (set s (ReplaceString s \";\" \";ab,cd;\")) (set i (+ i 1)))\n";
// About a million characters, all matched by the expression.
const char* kZuShortText =
    "(define s \"ab,cd;\") (define i 0)\n"
    "(while (< i 17) (set s (ReplaceString s \";\" \";ab,cd;\")) (set i (+ i 1)))\n";

const char* kGuileInts =
    "(define x 1) (define i 0) (define l '())\n"
    "(while (< i 100000) (set! x (modulo (+ (* x 1103515245) 12345) 2147483648)) "
    "(set! l (cons (modulo x 1000000) l)) (set! i (+ i 1)))\n";
const char* kGuileRecs =
    "(define x 1) (define i 0) (define l '())\n"
    "(while (< i 100000) (set! x (modulo (+ (* x 1103515245) 12345) 2147483648)) "
    "(set! l (cons (list 'r (list 'k (modulo x 1000000))) l)) (set! i (+ i 1)))\n";
const char* kGuileText =
    "(use-modules (ice-9 string-fun) (ice-9 regex))\n"
    "(define s \"ab,cd;\") (define i 0)\n"
    "(while (< i 21) (set! s (string-replace-substring s \";\" \";ab,cd;\")) (set! i (+ i 1)))\n";
const char* kGuileShortText =
    "(use-modules (ice-9 string-fun) (ice-9 regex))\n"
    "(define s \"ab,cd;\") (define i 0)\n"
    "(while (< i 17) (set! s (string-replace-substring s \";\" \";ab,cd;\")) (set! i (+ i 1)))\n";

struct Case {
  const char* key;
  const char* zu_data;
  const char* zu_op;
  const char* guile_data;
  const char* guile_op;
};

const Case kCases[] = {
    {"sort_lambda", kZuInts, "(ListLength (Sort l (lambda () (f a b) (- a b))))\n", kGuileInts,
     "(length (sort l (lambda (a b) (< a b))))\n"},
    {"sort_field", kZuRecs, "(ListLength (Sort field=\"k\" l))\n", kGuileRecs,
     "(length (sort l (lambda (a b) (< (cadadr a) (cadadr b)))))\n"},
    {"replace", kZuText, "(StringLength (ReplaceString s \"ab\" \"xyz\"))\n", kGuileText,
     "(string-length (string-replace-substring s \"ab\" \"xyz\"))\n"},
    {"divide", kZuText, "(ListLength (DivideString s \",\"))\n", kGuileText, "(length (string-split s #\\,))\n"},
    {"regcmp", kZuShortText, "(RegCmp rex=\"[a-d,;]*\" s)\n", kGuileShortText,
     "(match:end (regexp-exec (make-regexp \"^[a-d,;]*\") s))\n"},
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  start("zulib_bench");
  std::string qnmx = build_file("src/app/qnmx");
  bool have_qnmx = fs::exists(qnmx);
  bool guile_ok = have_guile();
  const std::string guile = "guile --no-auto-compile ";
  for (const Case& c : kCases) {
    std::string k = c.key;
    add("qnmx/" + k + "_data", qnmx + " " + write_program(k + "_data.zu", c.zu_data) + " -", have_qnmx);
    add("qnmx/" + k, qnmx + " " + write_program(k + ".zu", (std::string(c.zu_data) + c.zu_op).c_str()) + " -",
        have_qnmx);
    add("guile/" + k + "_data", guile + write_program(k + "_data.scm", c.guile_data), guile_ok);
    add("guile/" + k, guile + write_program(k + ".scm", (std::string(c.guile_data) + c.guile_op).c_str()),
        guile_ok);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::printf("\nFastest run less the same script without the operation:\n");
  for (const Case& c : kCases) {
    std::string k = c.key;
    ratio(c.key, ("qnmx/" + k).c_str(), ("qnmx/" + k + "_data").c_str(), ("guile/" + k).c_str(),
          ("guile/" + k + "_data").c_str(), "qnmx", "Guile");
  }
  finish();
  return 0;
}
