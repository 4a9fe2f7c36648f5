// The node access operations of matrix scripts: load and save the current
// node through the matrix's hooks, choose the jumps of the running slot,
// fire accesses, and write and read channels of this node, its parent,
// its children or another node.
#include <vector>

#include "base/alloc.h"
#include "matrix/dim_code.h"
#include "matrix_ops/matrix_ops.h"
#include "matrix_ops/op_frame_impl.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"

namespace {

bool is_int(ZU_SEXP* s) { return get_type(s) == ZU_TYPE_INTEGER; }

MxDimCode current_code(const MATRIX_NODE* n) { return copy_dim_code(n->matrix, n->dim_code); }

// The current node's dim code one level up, or null at the top.
MxDimCode parent_code(MATRIX_NODE* n) {
  MxDimCode dc = current_code(n);
  if (++dc.get()[0] < mx_locked([n] { return n->matrix->total_levels; })) return dc;
  return nullptr;
}

// The child dim codes the current node records, those of its bit field in
// position order, then those of its list, as mxCH reads them: a node whose
// geometry keeps children as bits would otherwise fire none. The token
// holds its own node, so they are read directly.
std::vector<MxDimCode> child_codes(MATRIX_NODE* n) {
  std::vector<MxDimCode> r;
  lock_task(matrix_lock);
  if (n->dim_code[0] > 0) {
    int bits = n->nlist_dim_bit_field ? n->nlist_dim_bit_field_len * 8 : 0;
    for (int ix = 0; ix < bits; ++ix)
      if (n->nlist_dim_bit_field[ix / 8] & (1u << (ix % 8)))
        r.push_back(get_dim_code_from_index(n->matrix, n->dim_code, ix));
    for (int i = 0; i < n->nlist_dim_addr_len; ++i) r.push_back(copy_dim_code(n->matrix, n->nlist_dim_addr[i]));
  }
  unlock_task(matrix_lock, "child_codes");
  return r;
}

// ---- mxLoad, mxSave, mxFinish

ZU_SEXP* zu_mxLoad(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "mxLoad";
  MATRIX_TOKEN* t = mx_op_token(env);
  if (!t) return nullptr;
  const L_CHAR* target = head_option(sf, "target");
  bool create = option_is(target, "file-n-create");
  bool net = option_is(target, "net");
  if (target && !create && !net && !option_is(target, "file")) return mx_param_error(form, kFunc);
  MATRIX_NODE* n = t->process_node;
  MATRIX_PARAM p = mx_op_param(n->matrix);
  auto* hook = net ? p.read_net : p.read_file;
  if (!hook) return mx_no_hook_error(form, kFunc, "not support read_file operation", p);
  int r = hook(t, target);
  // Only a node the file does not hold is made: one it holds but that
  // could not be read is not replaced by the defaults.
  if (r < 0 && create && !mx_is_load_fault(r)) {
    if (!p.write_file) return mx_no_hook_error(form, kFunc, "not support read_file operation", p);
    lock_save(n);  // the write makes the node's record from memory
    r = p.write_file(t);
  }
  if (r < 0) return error_at(form, ZU_ER_NO_OBJECT, kFunc, data_list("invalid matrix loading", r));
  return r > 0 ? matrix_error(kFunc, form, 2, nullptr) : nullptr;
}

ZU_SEXP* zu_mxSave(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "mxSave";
  MATRIX_TOKEN* t = mx_op_token(env);
  if (!t) return nullptr;
  MATRIX_NODE* n = t->process_node;
  auto saving_error = [form](int r) {
    return error_at(form, ZU_ER_NO_OBJECT, kFunc, data_list("invalid matrix saving", r));
  };
  if (mx_locked([n] { return n->status; }) != kMsOk) return saving_error(0);
  const L_CHAR* option = head_option(sf, "option");
  if (option_is(option, "clear")) {
    lock_save(n);
    unlock_save(n);
    return nullptr;
  }
  if (option && !option_is(option, "save"))
    return error_at(form, ZU_ER_PARAM, kFunc, data_list("invalid option", get_string(option)));
  MATRIX_PARAM p = mx_op_param(n->matrix);
  if (!p.write_file) return mx_no_hook_error(form, kFunc, "not support write_file operation", p);
  bool ready = mx_locked([n] {
    _lock_save(n);
    return n->status == kMsOk;
  });
  int r = ready ? p.write_file(t) : kMxNodeFailed;
  if (r < 0) return saving_error(r);
  return r > 0 ? matrix_error(kFunc, form, 2, nullptr) : nullptr;
}

ZU_SEXP* zu_mxFinish(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "mxFinish";
  MATRIX_TOKEN* t = mx_op_token(env);
  if (!t) return nullptr;
  struct Field {
    const char* name;
    int (*read)(const L_CHAR*);
    int value;
  };
  Field fields[] = {{"err-jump", get_access, -1},
                    {"normal-jump", get_access, -1},
                    {"err-jump-status", get_jump_status, -1},
                    {"normal-jump-status", get_jump_status, -1}};
  for (Field& f : fields) {
    const L_CHAR* text = head_option(sf, f.name);
    f.value = f.read(text);
    if (f.value == -2)
      return error_at(form, ZU_ER_PARAM, kFunc, data_list("invalid parameter in mxFinish", f.name, get_string(text)));
  }
  set_access_jump(t, fields[0].value, fields[1].value, fields[2].value, fields[3].value);
  return nullptr;
}

// ---- mxTrigger

// Fires access on the node at dc, made when missing.
ZU_SEXP* trigger_at(MATRIX_TOKEN* t, MATRIX* m, const int64_t* dc, int access, ZU_SEXP* form) {
  constexpr const char* kFunc = "mxTrigger";
  int err = 0;
  MATRIX_NODE* n = get_matrix_node(&err, m, dc, 0, t, nullptr);
  ZU_SEXP* info = get_sexp_from_dim_code(m, dc);
  if (err == 0) {
    matrix_trigger_access(n, access, 1);
    return nullptr;
  }
  // Without a node (a code outside the matrix) nothing would queue the token again.
  if (err == kMxInactive || !n) return mx_loading_error(form, kFunc);
  return matrix_error(kFunc, form, 1, info);
}

ZU_SEXP* zu_mxTrigger(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "mxTrigger";
  MATRIX_TOKEN* t = mx_op_token(env);
  if (!t) return nullptr;
  MATRIX_NODE* n = t->process_node;
  MATRIX* m = n->matrix;
  const L_CHAR* name = head_option(sf, "access");
  int access = name ? get_access(name) : t->access_target_id;
  if (access < 0) return mx_param_error(form, kFunc);
  const L_CHAR* type = head_option(sf, "type");
  if (!type || option_is(type, "me")) {
    matrix_trigger_access(n, access, 1);
    return nullptr;
  }
  if (option_is(type, "parent")) {
    MxDimCode dc = parent_code(n);
    return dc ? trigger_at(t, m, dc.get(), access, form) : nullptr;
  }
  if (option_is(type, "children")) {
    for (const MxDimCode& dc : child_codes(n))
      if (ZU_SEXP* r = trigger_at(t, m, dc.get(), access, form)) return r;
    return nullptr;
  }
  ZU_SEXP* arg = get_el(form, 1);
  if (option_is(type, "matrix")) {
    // The other matrix's node at the given dim code, else at the current one.
    if (ZU_SEXP* r = mx_other_matrix(t, sf, form, kFunc, &m)) return r;
    MxDimCode dc = get_type(arg) == ZU_TYPE_LIST ? get_dim_code_from_sexp(m, arg) : current_code(n);
    return dc ? trigger_at(t, m, dc.get(), access, form) : mx_param_error(form, kFunc);
  }
  if (get_type(arg) != ZU_TYPE_LIST) return mx_type_error(form, kFunc);
  MxDimCode dc = get_dim_code_from_sexp(m, arg);
  return dc ? trigger_at(t, m, dc.get(), access, form) : mx_param_error(form, kFunc);
}

// ---- mxSet

ZU_SEXP* zu_mxSet(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "mxSet";
  MATRIX_TOKEN* t = mx_op_token(env);
  if (!t) return nullptr;
  ZU_SEXP* chs = get_el(form, 1);
  if (!is_int(chs)) return mx_type_error(form, kFunc);
  auto ch = static_cast<int>(chs->integer.num);
  ZU_SEXP* item = get_el(form, 2);
  auto refused = [&](int inner, ZU_SEXP* what) {
    return error_at(form, ZU_ER_PARAM, kFunc,
                    data_list("invalid parameter in mxSet CH = ", ch, "inner information = ", inner, what));
  };
  MATRIX_NODE* n = t->process_node;
  const L_CHAR* listed = head_option(sf, "listed-dim-code");
  if (option_is(listed, "on")) {
    MxDimCode dc = get_dim_code_from_sexp(n->matrix, get_el(item, 1));
    if (!dc) return refused(0, get_string_ascii("listed-dim-code"));
    ZU_SEXP* ret = nullptr;
    ZU_SEXP* info = nullptr;
    n = mx_op_node(t, n->matrix, dc.get(), kMxFetchSlot, form, kFunc, "children loading(2)", false, &ret, &info);
    if (!n) return ret;
    if (!mx_op_has_channels(n)) return mx_object_error(form, kFunc, "children loading(3)", info);
  } else if (listed && !option_is(listed, "off")) {
    return refused(0, get_string_ascii("listed-dim-code"));
  }
  int r = set_channel_sexp(n, ch, get_el(item, 2));
  return r < 0 ? refused(r, form) : get_integer(r, nullptr);
}

// ---- mxCH

// Channel ch of node n as a data item (n's own dim code).
ZU_SEXP* read_channel(MATRIX_NODE* n, ZU_SEXP* chs, ZU_SEXP* form, ZU_SEXP* info) {
  constexpr const char* kFunc = "mxCH";
  if (!is_int(chs)) return mx_type_error(form, kFunc);
  int64_t ch = chs->integer.num;
  MATRIX* m = n->matrix;
  if (ch < 0 || ch >= mx_op_param(m).channel_nos) return mx_param_error(form, kFunc);
  if (!mx_op_has_channels(n)) return mx_object_error(form, kFunc, "others(2)", info);
  ZU_SEXP* v = get_channel_data(n, static_cast<int>(ch), form);
  return sexp_type(v) == ZU_TYPE_ERROR ? v : mx_data_item(m, n->dim_code, v);
}

// (Children item ...) of the current node's children, last child first;
// with a reader (op_frame_impl.h), the children are kept in it in that
// order and the answer is (Children). A child that holds no datum in the
// channel (an import whose pixels there were all transparent, a node a
// point read or a copy of other channels made) reads the channel's default,
// as a child the file does not hold leaves the default in its parent.
ZU_SEXP* read_children(MATRIX_TOKEN* t, ZU_SEXP* chs, ZU_SEXP* form, MxChildrenRead* reader) {
  constexpr const char* kFunc = "mxCH";
  if (!is_int(chs)) return mx_type_error(form, kFunc);
  MATRIX_NODE* cur = t->process_node;
  MATRIX* m = cur->matrix;
  // The child list of the token's own node: asking the node cache for it
  // would make the token wait for itself while its node loads.
  lock_task(matrix_lock);
  MX_DIM_CODE_LIST* lst = nullptr;
  int bits = cur->dim_code[0] > 0 && cur->nlist_dim_bit_field ? cur->nlist_dim_bit_field_len * 8 : 0;
  for (int ix = bits - 1; ix >= 0; --ix)
    if (cur->nlist_dim_bit_field[ix / 8] & (1u << (ix % 8)))
      lst = new (d_alloc(sizeof(MX_DIM_CODE_LIST)))
          MX_DIM_CODE_LIST{lst, get_dim_code_from_index(m, cur->dim_code, ix).release()};
  for (int i = 0; cur->dim_code[0] > 0 && i < cur->nlist_dim_addr_len; ++i)
    lst = new (d_alloc(sizeof(MX_DIM_CODE_LIST))) MX_DIM_CODE_LIST{lst, copy_dim_code(m, cur->nlist_dim_addr[i]).release()};
  unlock_task(matrix_lock, "mxCH");
  Owned<MX_DIM_CODE_LIST, free_mx_dim_code_list> owned(lst);
  const auto ch = static_cast<int>(chs->integer.num);
  if (reader) reader->read_channel(ch);
  if (reader && !reader->holds()) reader = nullptr;  // it only notes the channel
  ZU_SEXP* result = nullptr;
  for (MX_DIM_CODE_LIST* e = lst; e; e = e->next) {
    ZU_SEXP* ret = nullptr;
    ZU_SEXP* info = nullptr;
    MATRIX_NODE* n = mx_op_node(t, m, e->dc, kMxFetchSlot, form, kFunc, "children loading(2)", false, &ret, &info);
    if (n && !mx_op_has_channels(n)) ret = mx_object_error(form, kFunc, "children loading(3)", info);
    ZU_SEXP* v = ret;
    if (!ret && reader) {
      if (get_channel_datum_held(n, ch, form, &v, true)) {
        matrix_node_channel_unlock(n, 0);
        reader->hold(m, e->dc, n);
      }
    } else if (!ret) {
      v = get_channel_data(n, ch, form, true);
    }
    if (ret || sexp_type(v) == ZU_TYPE_ERROR) return v;
    if (!reader) result = cons(mx_data_item(m, e->dc, v), result);
  }
  return cons(get_symbol_ascii("Children"), result);
}

ZU_SEXP* zu_mxCH(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "mxCH";
  MATRIX_TOKEN* t = mx_op_token(env);
  if (!t) return nullptr;
  MATRIX_NODE* n = t->process_node;
  MATRIX* m = n->matrix;
  ZU_SEXP* arg = get_el(form, 1);
  const L_CHAR* type = head_option(sf, "type");
  if (!type || option_is(type, "me"))
    return read_channel(n, arg, form, List(get_integer(0, nullptr), get_sexp_from_dim_code(m, n->dim_code), ZU_LIST_END));
  if (option_is(type, "children")) return read_children(t, arg, form, MxChildrenRead::claim(form));
  if (option_is(type, "test.children")) return get_integer(check_children(n), nullptr);
  ZU_SEXP* ret = nullptr;
  ZU_SEXP* info = nullptr;
  if (option_is(type, "parent")) {
    MxDimCode dc = parent_code(n);
    if (!dc) return nullptr;
    MATRIX_NODE* p = mx_op_node(t, m, dc.get(), kMxFetchSlot, form, kFunc, "parent", true, &ret, &info);
    return p ? read_channel(p, arg, form, info) : ret;
  }
  // Another node: (mxCH dim-code ch); with type "matrix" in the other
  // matrix, at the current node's dim code for (mxCH ch).
  bool listed = get_type(arg) == ZU_TYPE_LIST;
  if (option_is(type, "matrix")) {
    if (ZU_SEXP* r = mx_other_matrix(t, sf, form, kFunc, &m)) return r;
  } else if (!listed) {
    return mx_type_error(form, kFunc);
  }
  MxDimCode dc = listed ? get_dim_code_from_sexp(m, arg) : current_code(n);
  if (!dc) return mx_param_error(form, kFunc);
  MATRIX_NODE* o = mx_op_node(t, m, dc.get(), kMxFetchSlot, form, kFunc, "others", false, &ret, &info);
  return o ? read_channel(o, listed ? get_el(form, 2) : arg, form, info) : ret;
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
// mxSet keeps its form in an error value it may return.
const QN_PRIM_DEF kCH[] = {{"mxCH", zu_mxCH, 1, 1, 3, 0}, {}};
const QN_PRIM_DEF kSet[] = {{"mxSet", zu_mxSet, 1, 3, 3, 0}, {}};
const QN_PRIM_DEF kTrigger[] = {{"mxTrigger", zu_mxTrigger, 1, 1, 3, T}, {}};
const QN_PRIM_DEF kLoad[] = {{"mxLoad", zu_mxLoad, 1, 1, 1, T}, {}};
const QN_PRIM_DEF kSave[] = {{"mxSave", zu_mxSave, 1, 1, 1, T}, {}};
const QN_PRIM_DEF kFinish[] = {{"mxFinish", zu_mxFinish, 1, 1, 3, T}, {}};

}  // namespace

void init_mxCH(ZUISP_ENV* env) { bind_prims(env, kCH); }
void init_mxSet(ZUISP_ENV* env) { bind_prims(env, kSet); }
void init_mxTrigger(ZUISP_ENV* env) { bind_prims(env, kTrigger); }
void init_mxLoad(ZUISP_ENV* env) { bind_prims(env, kLoad); }
void init_mxSave(ZUISP_ENV* env) { bind_prims(env, kSave); }
void init_mxFinish(ZUISP_ENV* env) { bind_prims(env, kFinish); }
