// Process and thread built-ins next to outside peers in the same run:
// 50 MB of a child's output read through Shell pipe="on" (into a string)
// against cat passing the same bytes through a pipe, and 1000 Thread round
// trips (start, run, value back) against 1000 GNU Guile threads started
// and joined. Each pair runs the same script without the operation (the
// start-up) and with it on our side, then the same on the peer's; each
// side's time is its run less its start-up in the pair. The ratios are
// qnmx time / peer time.
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

int main() {
  start("zulib_process_bench");
  std::string qnmx = build_file("src/app/qnmx");
  bool have_qnmx = fs::exists(qnmx);
  bool guile_ok = have_guile();
  std::string data = data_file();
  const std::string guile = "guile --no-auto-compile ";
  auto script = [&](const char* name, const std::string& text) {
    return qnmx + " " + write_program(name, text.c_str()) + " -";
  };

  std::printf("Pairs of whole processes, each side less the same process without the operation in the pair:\n");
  Pairs shell = paired({"qnmx", script("start.zu", "(List)\n"),
                        script("shell.zu", "(StringLength (Shell pipe=\"on\" \"cat " + data + "\"))\n"), have_qnmx},
                       {"cat", "true | cat", "cat " + data + " | cat"}, "");
  row(shell, "shell 50 MB", "qnmx", "cat", "zulib.shell", "50 MB of a child's output through Shell pipe=\"on\"", "cat",
      "a qnmx script reading cat's output of the file through Shell pipe=\"on\" into a string, less the script "
      "without it (start-up) just before it, clamped above 0; each pair runs our start-up, ours, the peer's "
      "start-up, the peer",
      "sh running cat of the file piped into cat, less sh running true piped into cat just before it, likewise", "-");
  Pairs threads = paired({"qnmx", script("loop.zu", kZuLoop), script("threads.zu", kZuThreads), have_qnmx},
                         {"guile", guile + write_program("loop.scm", kGuileLoop),
                          guile + write_program("threads.scm", kGuileThreads), guile_ok},
                         kGuileMissing);
  row(threads, "1000 threads", "qnmx", "Guile", "zulib.threads", "1000 Thread round trips", "Guile threads",
      "a qnmx script of 1000 Threads started, each value back, less the same loop without threads just before it, "
      "clamped above 0; each pair runs our loop, ours, Guile's loop, Guile",
      "guile --no-auto-compile: 1000 threads started and joined, less the same loop without threads just before "
      "it, likewise",
      "-");
  if (!threads.ours.empty())
    std::printf("Thread round trips per second (median): %.0f\n", 1000.0 / peer_rounds::median(threads.ours));
  finish();
  return 0;
}
