#include "matrix_test_util.h"

#include <sstream>

#include "base/alloc.h"
#include "matrix/dim_code.h"
#include "matrix/matrix_impl.h"
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
  set_env(env, l_string(ascii_cm, "binder-order"), get_string(l_string(ascii_cm, text.c_str())));
}

void gc_with_store() {
  gc_default_mark();
  gc_matrix();
}

class MatrixEnv : public ::testing::Environment {
 public:
  void SetUp() override {
    init_qnlisp();
    // Installed in another order than they run.
    set_matrix_op_binder("init_mxObjID", [](ZUISP_ENV* e) { record_binder(e, "ObjID"); });
    set_matrix_op_binder("init_mxLoad", [](ZUISP_ENV* e) { record_binder(e, "Load"); });
    set_matrix_op_binder("init_mxCH", [](ZUISP_ENV* e) { record_binder(e, "CH"); });
    init_matrix();
    static const GC_HOOKS hooks{gc_matrix_lock, gc_with_store, gc_default_sp, nullptr, gc_matrix_unlock};
    gc_set_hooks(&hooks);
  }
  void TearDown() override { gc_set_hooks(nullptr); }
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

MATRIX_NODE* make_node(MATRIX* m, const std::vector<int64_t>& dc) {
  auto* n = static_cast<MATRIX_NODE*>(d_calloc(sizeof(MATRIX_NODE), 1));
  n->matrix = m;
  n->dim_code = copy_dim_code(m, dc.data());
  normalize_dim_code(m, n->dim_code);
  if (m->dim_bit_field > 0) {
    n->nlist_dim_bit_field = static_cast<uint8_t*>(d_calloc(1, m->dim_bit_field));
    n->nlist_dim_bit_field_len = m->dim_bit_field;
  }
  return n;
}

void drop_node(MATRIX_NODE* n) {
  for (int ch = 0; n->channel && ch < n->matrix->p.channel_nos; ++ch)
    if (MATRIX_DATA_TYPE* tp = n->matrix->channel_info[ch].data_type; tp && n->channel[ch].data)
      tp->free_data(tp, n->channel[ch].data);
  _free_nlist_dim_addr(n->nlist_dim_addr, n->nlist_dim_addr_len);
  d_f_ree(n->nlist_dim_bit_field);
  d_f_ree(n->channel);
  d_f_ree(n->dim_code);
  d_f_ree(n);
}

std::vector<std::string> run_lines(const std::string& cmd) {
  std::vector<std::string> lines;
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) {
    ADD_FAILURE() << "cannot run " << cmd;
    return lines;
  }
  std::string cur;
  for (int c; (c = std::fgetc(f)) != EOF;) {
    if (c == '\n') lines.push_back(std::move(cur)), cur.clear();
    else cur += static_cast<char>(c);
  }
  EXPECT_EQ(pclose(f), 0) << cmd;
  return lines;
}

std::string codec_cmd(const std::string& args) { return "/usr/bin/python3 " QNMX_MX_CODEC " " + args; }

Bytes unhex(const std::string& s) {
  Bytes b;
  for (size_t i = 0; i + 1 < s.size(); i += 2) b.push_back(static_cast<uint8_t>(std::stoi(s.substr(i, 2), nullptr, 16)));
  return b;
}

std::vector<int64_t> csv_ints(const std::string& s) {
  std::vector<int64_t> out;
  std::stringstream in(s);
  for (std::string part; std::getline(in, part, ',');) out.push_back(std::stoll(part));
  return out;
}
