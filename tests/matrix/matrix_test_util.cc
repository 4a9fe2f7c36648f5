#include "matrix_test_util.h"

#include <sstream>

#include <fcntl.h>

#include "matrix/matrix_impl.h"
#include "matrix/mx_file.h"
#include "matrix/node.h"
#include "runtime/front.h"
#include "runtime/services.h"
#include "zu/eval.h"
#include "runtime/zu_init.h"
#include "stream/stream.h"
#include "zu/errcodes.h"
#include "zu/reader.h"
#include "text/codemethod.h"
#include "text/convert.h"
#include "zu/core_init.h"

namespace {

// Binders that record the order they ran in, as the text "binder-order".
void record_binder(ZUISP_ENV* env, const char* name) {
  ZU_SEXP* old = get_env_symbol(env, l_string(ascii_cm, "binder-order"), 0);
  std::string text = old ? n_string(ascii_cm, str_text(old)) : "";
  text += name;
  text += " ";
  EXPECT_EQ(0, set_env(env, l_string(ascii_cm, "binder-order"), get_string(l_string(ascii_cm, text.c_str()))));
}

// (fload) loads the token's node from the matrix file, making it there
// when the file has none; (fsave) saves it. Both set the jumps first: a
// failure leaves the node in MS_LOADING_ERR_1.
ZU_SEXP* file_hook(ZUISP_ENV* env, ZU_SEXP* form, bool load) {
  auto* t = static_cast<MATRIX_TOKEN*>(get_env_work(env));
  set_access_jump(t, -1, -1, kMsLoadingErr1, kMsOk);
  int r = load ? matrix_standard_read_file(t, nullptr) : 0;
  if (!load || r == kMxNotStored) {
    lock_save(t->process_node);
    r = matrix_standard_write_file(t);
  }
  return r < 0 ? get_error_ascii(form->h.file, form->h.line, ZU_ER_NO_OBJECT, load ? "fload" : "fsave",
                                 get_integer(r, nullptr))
               : nullptr;
}

}  // namespace

void mx_test_init() {
  static bool done = false;
  if (done) return;
  done = true;
  init_zu();
  // Installed in another order than they run.
  set_matrix_op_binder({"init_mxObjID", 0, [](ZUISP_ENV* e) { record_binder(e, "ObjID"); }});
  set_matrix_op_binder({"init_mxLoad", 0, [](ZUISP_ENV* e) { record_binder(e, "Load"); }});
  set_matrix_op_binder({"init_mxCH", 0, [](ZUISP_ENV* e) { record_binder(e, "CH"); }});
  init_matrix();
  set_matrix_gc_hooks();
  ZuThreadScope scope("matrix env");
  auto load = [](ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
    return file_hook(env, form, true);
  };
  auto save = [](ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
    return file_hook(env, form, false);
  };
  static const QN_PRIM_DEF prims[] = {{"fload", load, 1, 1, 1, 0}, {"fsave", save, 1, 1, 1, 0}, {}};
  bind_prims(matrix_zu_env, prims);
}

namespace {

class MatrixEnv : public ::testing::Environment {
 public:
  void SetUp() override { mx_test_init(); }
};

[[maybe_unused]] ::testing::Environment* const env = ::testing::AddGlobalTestEnvironment(new MatrixEnv);

}  // namespace

MATRIX* make_matrix(int dim, const std::vector<int>& dd, const std::vector<int>& bs, const std::vector<int64_t>& ps,
                    int channels) {
  MATRIX* m = open_matrix(nullptr, nullptr, nullptr, nullptr, nullptr);
  MATRIX_PARAM p{};
  p.dim = dim;
  p.channel_nos = channels;
  EXPECT_EQ(set_matrix_param(m, &p), 0);
  for (size_t d = 0; d < bs.size(); ++d) EXPECT_EQ(set_matrix_block_size(m, static_cast<int>(d), bs[d]), 0);
  for (size_t d = 0; d < dd.size(); ++d) EXPECT_EQ(set_matrix_dim_divide(m, static_cast<int>(d), dd[d]), 0);
  for (size_t d = 0; d < ps.size(); ++d) EXPECT_EQ(set_matrix_pixel_size(m, static_cast<int>(d), ps[d]), 0);
  return m;
}

void drop_matrix(MATRIX* m) {
  lock_task(matrix_lock);
  _free_matrix(m);
  unlock_task(matrix_lock, "drop_matrix");
}

MATRIX_NODE* make_node(MATRIX* m, const std::vector<int64_t>& dc) { return mx_make_node(m, dc.data()); }

void drop_node(MATRIX_NODE* n) { mx_free_node(n); }

std::string codec_cmd(const std::string& args) { return "/usr/bin/python3 " QNMX_MX_CODEC " " + args; }

std::vector<int64_t> csv_ints(const std::string& s) {
  std::vector<int64_t> out;
  std::stringstream in(s);
  for (std::string part; std::getline(in, part, ',');) out.push_back(std::stoll(part));
  return out;
}

// ---- matrix files

int open_mx_file(MATRIX** mp, const std::string& path, const MxSpec& spec) {
  ZuThreadScope scope("open_mx_file");
  int r = open_matrix_file(mp, path, [&spec](MATRIX* m) {
    MATRIX_PARAM p{};
    p.dim = spec.dim;
    p.channel_nos = static_cast<int>(spec.channels.size());
    p.flags = spec.flags;
    EXPECT_EQ(set_matrix_param(m, &p), 0);
    for (int d = 0; d < spec.dim; ++d) {
      EXPECT_EQ(set_matrix_dim_divide(m, d, spec.dd[d]), 0);
      EXPECT_EQ(set_matrix_block_size(m, d, spec.bs[d]), 0);
      EXPECT_EQ(set_matrix_pixel_size(m, d, spec.ps[d]), 0);
    }
    for (size_t c = 0; c < spec.channels.size(); ++c)
      EXPECT_EQ(set_matrix_channel_info(m, static_cast<int>(c), &spec.channels[c]), 0);
  });
  if (r != 0) return r;
  set_script(*mp, {3, 4, 5}, "(fload)");
  set_script(*mp, {21, 22, 23}, "(fsave)");
  set_matrix_mode(*mp, kMxModeActive);
  return 0;
}

std::string mx_validate(const std::vector<std::string>& paths, const std::string& opts) {
  std::string cmd = std::string("/usr/bin/python3 ") + test_path("validator") + " " + opts;
  for (const std::string& p : paths) cmd += " '" + p + "'";
  std::string out;
  FILE* f = popen((cmd + " 2>&1").c_str(), "r");
  for (int c; f && (c = std::fgetc(f)) != EOF;) out += static_cast<char>(c);
  int status = f ? pclose(f) : -1;
  if (status != 0 && out.empty()) out = "validator failed: " + cmd;
  return out;
}

std::string mx_records(const std::string& path) {
  std::vector<std::string> lines = run_lines(std::string("/usr/bin/python3 ") + test_path("validator") + " --records '" + path + "'");
  return lines.empty() ? "" : lines[0];
}
