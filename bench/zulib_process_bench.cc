// Process and thread built-ins next to outside peers in the same run:
// 50 MB of a child's output read through Shell pipe="on" (into a string)
// against cat passing the same bytes through a pipe, and 1000 Thread round
// trips (start, run, value back) against 1000 GNU Guile threads started
// and joined. Each case is measured with its start-up (the same script
// without the operation) taken off; the ratios are qnmx time / peer time.
#include "process_bench.h"

namespace {

using namespace process_bench;

constexpr size_t kBytes = 50u << 20;

// 50 MiB of printable lines, written once.
std::string data_file() {
  fs::path p = dir() / "data.txt";
  std::ofstream out(p, std::ios::binary);
  std::string line(79, 'a');
  line += '\n';
  uint32_t x = 1;
  for (size_t n = 0; n < kBytes; n += line.size()) {
    for (char& c : line) {
      if (c == '\n') continue;
      x = x * 1103515245u + 12345u;
      c = static_cast<char>('a' + (x >> 16) % 26);
    }
    out << line;
  }
  return p.string();
}

const char* kZuLoop = "(define i 0) (while (< i 1000) (progn (+ i 1) (set i (+ i 1))))\n";
const char* kZuThreads = "(define i 0) (while (< i 1000) (progn (+ (Thread i) 1) (set i (+ i 1))))\n";
const char* kGuileLoop = "(define i 0) (while (< i 1000) (+ i 1) (set! i (+ i 1)))\n";
const char* kGuileThreads =
    "(use-modules (ice-9 threads)) (define i 0)\n"
    "(while (< i 1000) (+ (join-thread (call-with-new-thread (let ((n i)) (lambda () n)))) 1) (set! i (+ i 1)))\n";

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  start("zulib_process_bench");
  std::string qnmx = build_file("src/app/qnmx");
  bool have_qnmx = fs::exists(qnmx);
  bool guile_ok = have_guile();
  std::string data = data_file();
  const std::string guile = "guile --no-auto-compile ";

  add("qnmx/start", qnmx + " " + write_program("start.zu", "(List)\n") + " -", have_qnmx);
  add("qnmx/shell_50MB",
      qnmx + " " + write_program("shell.zu", ("(StringLength (Shell pipe=\"on\" \"cat " + data + "\"))\n").c_str()) +
          " -",
      have_qnmx);
  add("cat/start", "true | cat", true);
  add("cat/pipe_50MB", "cat " + data + " | cat", true);
  add("qnmx/loop_1000", qnmx + " " + write_program("loop.zu", kZuLoop) + " -", have_qnmx);
  add("qnmx/threads_1000", qnmx + " " + write_program("threads.zu", kZuThreads) + " -", have_qnmx);
  add("guile/loop_1000", guile + write_program("loop.scm", kGuileLoop), guile_ok);
  add("guile/threads_1000", guile + write_program("threads.scm", kGuileThreads), guile_ok);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::printf("\nFastest run less the same script without the operation:\n");
  ratio("shell 50 MB", "qnmx/shell_50MB", "qnmx/start", "cat/pipe_50MB", "cat/start", "qnmx", "cat");
  ratio("1000 threads", "qnmx/threads_1000", "qnmx/loop_1000", "guile/threads_1000", "guile/loop_1000", "qnmx",
        "Guile");
  auto& m = best();
  if (m.count("qnmx/threads_1000") && m.count("qnmx/loop_1000"))
    std::printf("Thread round trips per second: %.0f\n",
                1000.0 / std::max(m["qnmx/threads_1000"] - m["qnmx/loop_1000"], 1e-6));
  finish();
  return 0;
}
