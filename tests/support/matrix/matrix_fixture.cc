#include "support/matrix/matrix_fixture.h"

#include <fcntl.h>

#include "matrix/mx_file.h"
#include "runtime/front.h"
#include "runtime/services.h"
#include "stream/stream.h"
#include "support/child.h"
#include "text/codemethod.h"
#include "text/convert.h"
#include "zu/eval.h"
#include "zu/reader.h"

void set_script(MATRIX* m, std::initializer_list<int> slots, const std::string& text) {
  STREAM* st = s_open_string_read(text.data(), utf8_cm, static_cast<int>(text.size()), 1);
  ZU_SEXP* forms = init_parse(st, l_string(ascii_cm, "script"), nullptr);
  // Reading the whole list forces every form.
  for (ZU_SEXP* p = forms; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
  }
  for (int slot : slots) EXPECT_EQ(set_matrix_cal(m, slot, forms), 0);
}

NodeScript::NodeScript(MATRIX_NODE* n) {
  set_break_check_hook(nullptr);
  token_.process_node = n;
  env = new_env(matrix_zu_env);
  gc_set_nl(env, gc_qnlisp_env);
  set_env_work(env, &token_);
}

NodeScript::~NodeScript() { set_break_check_hook(_zui_break_check); }

ZU_SEXP* NodeScript::eval(const std::string& text) {
  ZU_SEXP* forms = sexp_commands(utf8_cm, text.c_str(), nullptr);
  gc_set_nl(forms, gc_qn_sexp);
  return eval_body(env, forms);
}

void NodeScript::let(const char* name, ZU_SEXP* v) { EXPECT_EQ(0, set_env(env, l_string(ascii_cm, name), v)); }

int open_matrix_file(MATRIX** mp, const std::string& path, const std::function<void(MATRIX*)>& make_new,
                     int (*trigger)(int event, void* arg)) {
  *mp = nullptr;
  ZuThreadScope scope("open_matrix_file");
  MATRIX* m = open_matrix(nullptr, l_string(std_cm, path.c_str()), nullptr, nullptr, nullptr);
  if (!m) return -1;
  int r = load_matrix_header(m, O_RDWR | O_CREAT, 0644);
  MATRIX_PARAM hooks{};
  hooks.read_file = matrix_standard_read_file;
  hooks.write_file = matrix_standard_write_file;
  hooks.close_file = close_matrix_file;
  hooks.trigger = trigger;
  EXPECT_EQ(set_matrix_param(m, &hooks), 0);
  if (r == kMxNewFile) {
    make_new(m);
    r = save_matrix_header(m);
  }
  if (r != 0) {
    close_matrix(m);
    return r;
  }
  *mp = m;
  return 0;
}

std::vector<std::string> run_lines(const std::string& cmd, bool with_stderr) {
  int status = 0;
  std::vector<std::string> lines = command_lines(cmd, &status, with_stderr);
  EXPECT_EQ(status, 0) << cmd;
  return lines;
}
