// The qnmx program against GNU Guile's interpreter: start-up on an empty
// script, and a million list constructions each followed by a look-up by
// position (List and GetElement from a `while` loop; list and list-ref in
// Guile). The bare loop is measured on each side too, so the cost of the
// list built-ins alone can be read off. Ratios printed at the end are
// qnmx time / Guile time.
#include "process_bench.h"

namespace {

using namespace process_bench;

const char* kZuLoop =
    "(define i 0)\n"
    "(while (< i 1000000) (set i (+ i 1)))\n";
const char* kZuList =
    "(define i 0)\n"
    "(while (< i 1000000) (GetElement (List i 1 2) 1) (set i (+ i 1)))\n";
const char* kGuileLoop =
    "(define i 0)\n"
    "(while (< i 1000000) (set! i (+ i 1)))\n";
const char* kGuileList =
    "(define i 0)\n"
    "(while (< i 1000000) (list-ref (list i 1 2) 1) (set! i (+ i 1)))\n";

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  start("agent_bench");
  std::string qnmx = build_file("src/app/qnmx");
  bool have_qnmx = fs::exists(qnmx);
  bool guile_ok = have_guile();
  const std::string guile = "guile --no-auto-compile ";

  add("qnmx/startup", qnmx + " " + write_program("empty.zu", "") + " -", have_qnmx);
  add("qnmx/loop1M", qnmx + " " + write_program("loop.zu", kZuLoop) + " -", have_qnmx);
  add("qnmx/list_get1M", qnmx + " " + write_program("list.zu", kZuList) + " -", have_qnmx);
  add("guile/startup", guile + write_program("empty.scm", ""), guile_ok);
  add("guile/loop1M", guile + write_program("loop.scm", kGuileLoop), guile_ok);
  add("guile/list_get1M", guile + write_program("list.scm", kGuileList), guile_ok);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  auto& m = best();
  if (m.count("qnmx/startup") && m.count("guile/startup"))
    std::printf("\nstart-up       qnmx %8.1f ms   Guile %8.1f ms   qnmx/Guile %.2f\n", m["qnmx/startup"] * 1e3,
                m["guile/startup"] * 1e3, m["qnmx/startup"] / m["guile/startup"]);
  std::printf("Fastest run less process start-up:\n");
  ratio("loop 1M", "qnmx/loop1M", "qnmx/startup", "guile/loop1M", "guile/startup", "qnmx", "Guile");
  ratio("List+Get 1M", "qnmx/list_get1M", "qnmx/startup", "guile/list_get1M", "guile/startup", "qnmx", "Guile");
  ratio("List+Get only", "qnmx/list_get1M", "qnmx/loop1M", "guile/list_get1M", "guile/loop1M", "qnmx", "Guile");
  finish();
  return 0;
}
