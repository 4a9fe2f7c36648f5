// Fuzz target: a matrix file of arbitrary bytes is opened as the agent
// opens it, and every stored node is loaded. Nothing may crash, stop the
// process or leak, and a file refused as busy or invalid must be left
// byte for byte as it was.
#include <fcntl.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/file.h"
#include "matrix/dim_code.h"
#include "matrix/matrix.h"
#include "matrix/mx_file.h"
#include "matrix/node.h"
#include "text/convert.h"
#include "zu/core_init.h"
#include "zu/gc.h"
#include "fuzz_file_impl.h"

namespace {

std::vector<uint8_t> read_back(const std::string& path) {
  std::vector<uint8_t> out;
  int fd = u_open64(path.c_str(), O_RDONLY, 0);
  if (fd < 0) return out;
  uint8_t buf[4096];
  for (ssize_t n; (n = u_read(fd, buf, sizeof buf)) > 0;) out.insert(out.end(), buf, buf + n);
  u_close(fd);
  return out;
}

// Loads the node at dc into a node of its own, outside the node cache.
void load_one(MATRIX* m, const int64_t* dc) {
  MATRIX_NODE* n = mx_make_node(m, dc);
  load_matrix_node(n);
  mx_free_node(n);
}

// The file opened as the agent opens it, every stored node loaded; a file
// refused as busy or invalid must be left byte for byte as it was.
void open_and_load(const std::string& path, const uint8_t* data, size_t size) {
  ZuThreadScope scope("mx_file_fuzz");
  MATRIX* m = open_matrix(nullptr, l_string(std_cm, path.c_str()), nullptr, nullptr, nullptr);
  int r = load_matrix_header(m, O_RDWR, 0644);
  MATRIX_PARAM p{};
  p.close_file = close_matrix_file;
  set_matrix_param(m, &p);
  if (r == kMxFileBusy || r == kMxInvalidFile) {
    std::vector<uint8_t> now = read_back(path);
    if (now.size() != size || (size && std::memcmp(now.data(), data, size) != 0)) __builtin_trap();
  }
  for (int level = 0; r == 0 && level < m->total_levels; ++level) {
    std::vector<int64_t> dc(static_cast<size_t>(1 + m->p.dim), 0);
    dc[0] = level;
    int err = 0;
    MX_DIM_CODE_LIST* lst = mx_search_level_node(m, dc.data(), 64, &err);
    for (MX_DIM_CODE_LIST* e = lst; e; e = e->next) load_one(m, e->dc);
    free_mx_dim_code_list(lst);
  }
  close_matrix(m);
  u_unlink(path.c_str());
  u_unlink((path + "-journal").c_str());
}

// The collector marks (and frees) the matrices' held values, as the
// agent's hooks have it do.
void mark_with_matrices() {
  gc_default_mark();
  gc_matrix();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = [] {
    init_qnlisp();
    init_matrix();
    static const GC_HOOKS hooks{gc_matrix_lock, mark_with_matrices, gc_default_sp, nullptr, gc_matrix_unlock};
    gc_set_hooks(&hooks);
    return true;
  }();
  (void)started;
  const std::string& path = fuzz_scratch_path("mx_file_fuzz");
  if (!fuzz_put_file(path, data, size)) return 0;
  open_and_load(path, data, size);
  // What the input made is freed before the next one: libFuzzer's leak
  // check runs after every input that leaves blocks behind, which the
  // collector would otherwise free only later.
  gc_collect_now();
  return 0;
}
