// The entry table and qmxCreate: a new 2-D matrix file described in ZU,
// created and closed ((qmxCreate ...) then (qmxClose)), next to the same
// matrix made through the store's calls directly, which gives the cost of
// the description language and the entry; and open_mxread of a matrix
// that is already open (the look-up every read command starts with).
// Ratios printed at the end are qmxCreate time / direct time.
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "agent/agent.h"
#include "agent/mx_entry.h"
#include "base/alloc.h"
#include "matrix/mx_file.h"
#include "matrix_ops/matrix_ops.h"
#include "runtime/services.h"
#include "runtime/zu_init.h"
#include "text/convert.h"
#include "zu/eval.h"

namespace {

namespace fs = std::filesystem;

// A new file name in the folder (built by appending: gcc 12 warns falsely
// about operator+ on a literal and a temporary).
std::string file_name(char tag, int n) {
  std::string name(1, tag);
  name += std::to_string(n);
  name += ".mx";
  return name;
}

const fs::path& dir() {
  static const fs::path d = [] {
    fs::path p = fs::temp_directory_path() / file_name('b', getpid());
    fs::create_directories(p);
    return p;
  }();
  return d;
}

void start() {
  static bool done = false;
  if (done) return;
  done = true;
  init_zu();
  set_break_check_hook(nullptr);
  set_matrix_gc_hooks();
  install_matrix_ops();
  init_matrix();
  init_qmx_function(qnlisp_top_env0, qnlisp_top_env1);
}

const char* kDescription =
    R"( (qmxMatrixParam channel_nos="2" dim="2") (qmxMatrixPixelSize dim="0" value="4096")
    (qmxMatrixPixelSize dim="1" value="4096") (qmxMatrixBlockSize dim="0" value="8")
    (qmxMatrixBlockSize dim="1" value="8") (qmxMatrixDimDivide dim="0" value="1")
    (qmxMatrixDimDivide dim="1" value="1") (qmxChannelInfo channel="0" type="rgb8_v" file="on")
    (qmxChannelInfo channel="1" type="uint8" file="on" 0)
    (qmxPhase area="3" (mxFinish normal-jump-status="MS_OK") (mxLoad target="file-n-create"))
    (qmxPhase area="21" (mxSave)))";

ZU_SEXP* eval_text(const std::string& text) {
  ZU_SEXP* forms = sexp_commands(utf8_cm, text.c_str(), nullptr);
  return eval(qnlisp_top_env1, forms->pair.car);
}

void BM_QmxCreateClose(benchmark::State& state) {
  start();
  ZuThreadScope scope("bench");
  int n = 0;
  for (auto _ : state) {
    std::string path = (dir() / file_name('c', n++)).string();
    size_t mark = gc_root_mark();
    ZU_SEXP* id = eval_text("(qmxCreate filename=\"" + path + "\"" + kDescription + ")");
    if (get_type(id) != ZU_TYPE_INTEGER) state.SkipWithError("qmxCreate failed");
    eval_text("(qmxClose id=\"" + std::to_string(id->integer.num) + "\")");
    gc_root_release(mark, nullptr, nullptr);
    unlink(path.c_str());
  }
}
BENCHMARK(BM_QmxCreateClose)->Unit(benchmark::kMicrosecond);

// The same matrix through the store's own calls, with no entry.
void BM_DirectCreateClose(benchmark::State& state) {
  start();
  ZuThreadScope scope("bench");
  int n = 0;
  for (auto _ : state) {
    std::string path = (dir() / file_name('d', n++)).string();
    MATRIX* m = open_matrix(nullptr, l_string(std_cm, path.c_str()), nullptr, nullptr, nullptr);
    load_matrix_header(m, O_RDWR | O_CREAT, 0644);
    MATRIX_PARAM p{};
    p.read_file = matrix_standard_read_file;
    p.write_file = matrix_standard_write_file;
    p.close_file = close_matrix_file;
    p.channel_nos = 2;
    p.dim = 2;
    set_matrix_param(m, &p);
    for (int d = 0; d < 2; ++d) {
      set_matrix_pixel_size(m, d, 4096);
      set_matrix_block_size(m, d, 8);
      set_matrix_dim_divide(m, d, 1);
    }
    uint8_t zero = 0;
    MATRIX_CHANNEL_INFO c0{&mx_type_RGB_v, kMxChFile, nullptr, 0}, c1{&mx_type_uint8, kMxChFile, &zero, 0};
    set_matrix_channel_info(m, 0, &c0);
    set_matrix_channel_info(m, 1, &c1);
    size_t mark = gc_root_mark();
    set_matrix_cal(m, 3, sexp_commands(utf8_cm, "(mxFinish normal-jump-status=\"MS_OK\") (mxLoad target=\"file-n-create\")", nullptr));
    set_matrix_cal(m, 21, sexp_commands(utf8_cm, "(mxSave)", nullptr));
    gc_root_release(mark, nullptr, nullptr);
    if (save_matrix_header(m) != 0) state.SkipWithError("save_matrix_header failed");
    set_matrix_mode(m, kMxModeActive);
    close_matrix(m);
    unlink(path.c_str());
  }
}
BENCHMARK(BM_DirectCreateClose)->Unit(benchmark::kMicrosecond);

void BM_OpenMxreadOfAnOpenMatrix(benchmark::State& state) {
  start();
  ZuThreadScope scope("bench");
  std::string path = (dir() / "open.mx").string();
  ZU_SEXP* id = eval_text("(qmxCreate filename=\"" + path + "\"" + kDescription + ")");
  if (get_type(id) != ZU_TYPE_INTEGER) state.SkipWithError("qmxCreate failed");
  L_CHAR* name = nl_copy_str(std_cm, path.c_str());
  for (auto _ : state) {
    MX_ENTRY* e = open_mxread(nullptr, name, nullptr, -1);
    if (!e) state.SkipWithError("open_mxread failed");
    else drop_mx_entry(e);
  }
  d_f_ree(name);
  close_all_mx_entry();
  unlink(path.c_str());
}
BENCHMARK(BM_OpenMxreadOfAnOpenMatrix);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::map<std::string, double> best;
  struct Keep : benchmark::ConsoleReporter {
    std::map<std::string, double>* out;
    void ReportRuns(const std::vector<Run>& runs) override {
      ConsoleReporter::ReportRuns(runs);
      for (const Run& r : runs) (*out)[r.benchmark_name()] = r.GetAdjustedRealTime();
    }
  } reporter;
  reporter.out = &best;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  double q = best["BM_QmxCreateClose"], d = best["BM_DirectCreateClose"], o = best["BM_OpenMxreadOfAnOpenMatrix"];
  if (q > 0 && d > 0)
    std::printf("\ncreate+close per second: qmxCreate %.0f, direct %.0f; qmxCreate/direct time %.2f\n", 1e6 / q,
                1e6 / d, q / d);
  if (o > 0) std::printf("open_mxread of an open matrix per second: %.0f\n", 1e9 / o);
  std::error_code ec;
  fs::remove_all(dir(), ec);
  return 0;
}
