// The frame of the matrix operations and the installation of their
// binders.
#include <cstdint>
#include <cstring>

#include "base/alloc.h"
#include "matrix/dim_code.h"
#include "matrix_ops/matrix_ops.h"
#include "matrix_ops/op_frame_impl.h"
#include "matrix/mx_file.h"
#include "matrix_ops/plot_ops.h"
#include "runtime/peer_read.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"

namespace {

struct Name {
  const char* text;
  int value;
};
constexpr Name kAccesses[] = {{"MI_DEF", 0},     {"MI_FETCH_1", 3}, {"MI_FETCH_2", 6}, {"MI_EDIT_1", 9},
                              {"MI_EDIT_2", 12}, {"MI_VISU_1", 15}, {"MI_VISU_2", 18}};
constexpr Name kStatuses[] = {{"MS_OK", kMsOk},
                              {"MS_LOADING_ERR_1", kMsLoadingErr1},
                              {"MS_PROCESS_ERR_1", kMsProcessErr1},
                              {"MS_EDIT_ERR_1", kMsEditErr1},
                              {"MS_EDIT_ERR_2", kMsEditErr2}};

template <size_t N>
int by_name(const L_CHAR* name, const Name (&table)[N]) {
  if (!name) return -1;
  for (const Name& n : table)
    if (option_is(name, n.text)) return n.value;
  return -2;
}

// The operation families built here, handed to the store by name.
constexpr ZU_FAMILY kFamilies[] = {
    {"init_mxCH", 0, init_mxCH},
    {"init_mxSet", 0, init_mxSet},
    {"init_mxTrigger", 0, init_mxTrigger},
    {"init_mxLoad", 0, init_mxLoad},
    {"init_mxSave", 0, init_mxSave},
    {"init_mxFinish", 0, init_mxFinish},
    {"init_mxPgPlot", 0, init_mxPgPlot},
    {"init_mxObjID", 0, init_mxObjID},
    {"init_mxThinnedOut", 0, init_mxThinnedOut},
    {"init_mxDiff", 0, init_mxDiff},
    {"init_mxAdd", 0, init_mxAdd},
    {"init_mxSquash", 0, init_mxSquash},
    {"init_mxStuffing", 0, init_mxStuffing},
    {"init_mxMax", 0, init_mxMax},
    {"init_mxCompressZ", 0, init_mxCompressZ},
    {"init_mxUncomressZ", 0, init_mxUncomressZ},
    {"init_mxCompressJPEG", 0, init_mxCompressJPEG},
    {"init_mxUncompressJPEG", 0, init_mxUncompressJPEG},
    {"init_mxCompound", 0, init_mxCompound},
    {"init_mxSeparate", 0, init_mxSeparate},
    {"init_mxLoadSB", 0, init_mxLoadSB},
    {"init_mxSaveSB", 0, init_mxSaveSB},
    {"init_mxSetSB", 0, init_mxSetSB},
};

int64_t hook_word(const void* f) { return static_cast<int64_t>(reinterpret_cast<intptr_t>(f)); }

// The reader most recently armed on this thread.
thread_local MxChildrenRead* armed_reader = nullptr;

}  // namespace

void install_matrix_ops() {
  for (const ZU_FAMILY& f : kFamilies) set_matrix_op_binder(f);
}

MATRIX_TOKEN* mx_op_token(ZUISP_ENV* env) { return env ? static_cast<MATRIX_TOKEN*>(get_env_work(env)) : nullptr; }

ZU_SEXP* mx_data_item(const MATRIX* m, const int64_t* dc, ZU_SEXP* value) {
  return List(get_symbol_ascii("data"), get_sexp_from_dim_code(m, dc), value, ZU_LIST_END);
}

int get_access(const L_CHAR* name) { return by_name(name, kAccesses); }

int get_jump_status(const L_CHAR* name) { return by_name(name, kStatuses); }

ZU_SEXP* mx_param_error(ZU_SEXP* form, const char* func) {
  char text[64];
  std::snprintf(text, sizeof text, "invalid parameter in %s", func);
  return error_at(form, ZU_ER_PARAM, func, get_string_ascii(text));
}

ZU_SEXP* mx_type_error(ZU_SEXP* form, const char* func) { return error_at(form, ZU_ER_TYPE, func, nullptr); }

ZU_SEXP* mx_loading_error(ZU_SEXP* form, const char* func) {
  return error_at(form, ZU_ER_NO_OBJECT, func, get_string_ascii("invalid matrix loading"));
}

ZU_SEXP* mx_object_error(ZU_SEXP* form, const char* func, const char* reason, ZU_SEXP* info) {
  return error_at(form, ZU_ER_NO_OBJECT, func, data_list("invalid object in channel of NODE", reason, info));
}

ZU_SEXP* mx_no_hook_error(ZU_SEXP* form, const char* func, const char* text, const MATRIX_PARAM& p) {
  return error_at(form, ZU_ER_NO_FILE_OP, func,
                  data_list(text, hook_word(reinterpret_cast<const void*>(p.read_file)),
                            hook_word(reinterpret_cast<const void*>(p.read_net)),
                            hook_word(reinterpret_cast<const void*>(p.write_file))));
}

MATRIX_NODE* mx_op_node(MATRIX_TOKEN* t, MATRIX* m, const int64_t* dc, int access, ZU_SEXP* form, const char* func,
                        const char* reason, bool parent, ZU_SEXP** ret, ZU_SEXP** info) {
  int err = 0;
  MATRIX_NODE* n = get_matrix_node(&err, m, dc, access, t, nullptr);
  ZU_SEXP* where = List(get_integer(err, nullptr), get_sexp_from_dim_code(m, dc), ZU_LIST_END);
  if (parent) where = cons(get_string_ascii("parent"), where);
  if (info) *info = where;
  // No node came back: nothing will queue the token again.
  if (!n || err == kMxNodeFailed) *ret = mx_object_error(form, func, reason, where);
  else if (err) *ret = matrix_error(func, form, 1, where);
  else return n;
  return nullptr;
}

ZU_SEXP* mx_other_matrix(MATRIX_TOKEN* t, ZU_SYM_FIELD* sf, ZU_SEXP* form, const char* func, MATRIX** out) {
  const L_CHAR* url = head_option(sf, "neturl");
  const L_CHAR* file = head_option(sf, "filename");
  const L_CHAR* key = head_option(sf, "key");
  MATRIX* cur = t->process_node->matrix;
  // A script that runs for a peer reads another matrix file only where the
  // peer may read, and only the file that was judged.
  PeerReadFile judged;
  if (file)
    if (ZU_SEXP* no = peer_read_judge(form, n_string(std_cm, file), func, &judged)) return no;
  // A closing matrix waits for no other one.
  if (mx_locked([cur] { return cur->mode == kMxModeClosed; })) return mx_loading_error(form, func);
  void (*open_method)(MATRIX_TOKEN*) = mx_op_param(cur).open_method;
  for (bool opened = false;; opened = true) {
    int err = 0;
    MATRIX* o = search_matrix(&err, url, file, key, t);
    if (err == 0) {
      if (!mx_file_is_judged(o, judged)) return peer_not_own(form, func);
      *out = o;
      return nullptr;
    }
    if (err == kMxLoading) return matrix_error(func, form, 1, nullptr);
    // A matrix of that file open under other names cannot be opened again.
    if (opened || !open_matrix(url, file, key, open_method, nullptr)) return mx_loading_error(form, func);
  }
}

// ---- children read in place

MxChildrenRead::MxChildrenRead(ZU_SEXP* target, bool hold)
    : head_(get_type(target) == ZU_TYPE_LIST ? target->pair.car : nullptr), outer_(armed_reader), holds_(hold) {
  armed_reader = this;
}

MxChildrenRead::~MxChildrenRead() { disarm(); }

void MxChildrenRead::disarm() {
  if (!armed_) return;
  armed_ = false;
  armed_reader = outer_;
}

MxChildrenRead* MxChildrenRead::claim(ZU_SEXP* form) {
  MxChildrenRead* r = armed_reader;
  if (!r || !r->armed_ || r->taken_ || !r->head_ || get_type(form) != ZU_TYPE_LIST || form->pair.car != r->head_)
    return nullptr;
  r->taken_ = true;
  return r;
}

void MxChildrenRead::hold(const MATRIX* m, const int64_t* dc, MATRIX_NODE* n) {
  MX_HELD_CHILD& k = *kids_.emplace(kids_.begin());
  // The code a data item of the child carries: its level and its origin.
  k.dc[0] = dc[0];
  for (int d = 0; d < m->p.dim; ++d) k.dc[d + 1] = mx_origin(dc[d + 1], mx_shift(m, dc[0], d));
  k.n = n;
}
