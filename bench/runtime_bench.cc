// Interpreter runtime: start-up time of the qnmx command on an empty script,
// and forms per second through a file interpreter's front thread (read,
// evaluate, reply).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "runtime/interp.h"
#include "runtime/zu_init.h"
#include "text/convert.h"
#include "zu/gc.h"
#include "support/runtime/interpreters.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// The qnmx binary of the same build: <build>/src/app/qnmx beside
// <build>/bench/runtime_bench.
std::string qnmx_path() {
  return (fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "src" / "app" / "qnmx").string();
}

std::string temp_dir() {
  static std::string dir = [] {
    char tmpl[] = "/tmp/qnmx_bench_XXXXXX";
    return std::string(mkdtemp(tmpl));
  }();
  return dir;
}

// Wall time of `qnmx empty.zu -` from spawn to exit.
void BM_StartupEmptyScript(benchmark::State& state) {
  std::string qnmx = qnmx_path();
  if (!fs::exists(qnmx)) {
    state.SkipWithError("qnmx binary not found beside the benchmark");
    return;
  }
  std::string script = temp_dir() + "/empty.zu";
  std::ofstream(script).close();
  char* argv[] = {qnmx.data(), script.data(), const_cast<char*>("-"), nullptr};
  for (auto _ : state) {
    pid_t pid;
    if (posix_spawn(&pid, qnmx.c_str(), nullptr, nullptr, argv, environ) != 0) {
      state.SkipWithError("cannot start qnmx");
      return;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("qnmx failed");
      return;
    }
  }
}
BENCHMARK(BM_StartupEmptyScript)->Iterations(20)->UseRealTime()->Unit(benchmark::kMillisecond);

// A main interpreter that never ends, so that the measured file
// interpreters are not the main one (whose end would close the rest).
void keep_main_interpreter() {
  static bool done = [] {
    init_zu();
    return ensure_main_interpreter();
  }();
  (void)done;
}

// One file interpreter evaluates state.range(0) forms and writes each reply
// to a file.
void BM_FrontThreadForms(benchmark::State& state) {
  keep_main_interpreter();
  const int forms = static_cast<int>(state.range(0));
  std::string script = temp_dir() + "/forms.zu";
  {
    std::ofstream f(script);
    for (int i = 0; i < forms; ++i) f << "(+ " << i << " (* 2 3))\n";
  }
  std::string out = temp_dir() + "/forms.out";
  for (auto _ : state) {
    int iid;
    {
      ZuThreadScope scope("bench");
      ZU_INTERPRETER* z = new_zu_interpreter();
      z->a_type = ZUI_FILE;
      z->env = new_env(qnlisp_top_env1);
      z->input_file_name = nl_copy_str(std_cm, script.c_str());
      z->output_file_name = nl_copy_str(std_cm, out.c_str());
      iid = setup_i(z);
    }
    if (iid <= 0) {
      state.SkipWithError("cannot start a file interpreter");
      return;
    }
    if (!wait_stop_interpreter(iid, 600)) {
      state.SkipWithError("the file interpreter did not end");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * forms);
}
BENCHMARK(BM_FrontThreadForms)->Arg(20000)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
