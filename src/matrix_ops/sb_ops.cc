// The structure-block operations of matrix scripts: install a structure
// made by a plug-in's constructor on a block channel of the current node,
// rebuild structures from the channels' bytes, and write changed
// structures back as bytes.
//
// Each channel keeps two update stamps, slot 0 for the bytes and slot 1
// for the structure. Loading and saving make them equal only once the
// bytes and the structure agree, so a save that failed is tried again by
// the next one. All three work under the current node's channel lock and
// run only inside matrix scripts.
#include <cstdio>
#include <utility>

#include "base/alloc.h"
#include "matrix/struct_block.h"
#include "matrix_ops/matrix_ops.h"
#include "matrix_ops/op_frame_impl.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"

namespace {

// The current node of a matrix script; null (with *err) elsewhere.
MATRIX_NODE* script_node(ZUISP_ENV* env, ZU_SEXP* form, const char* func, ZU_SEXP** err) {
  MATRIX_TOKEN* t = mx_op_token(env);
  if (t) return t->process_node;
  char text[64];
  std::snprintf(text, sizeof text, "invalid parameter in %s", func);
  *err = error_at(form, ZU_ER_PARAM, func, data_list(text, get_symbol_ascii("no-matrix-script")));
  return nullptr;
}

bool is_block_channel(MATRIX* m, int ch) {
  return mx_locked([m, ch] {
    const MATRIX_DATA_TYPE* tp = m->channel_info[ch].data_type;
    return tp && tp->type == MX_TYPE_BLOCK;
  });
}

// Gives n its channel array (all zero) when it has none yet.
void ensure_channels(MATRIX_NODE* n) {
  mx_locked([n] {
    int nos = n->matrix->p.channel_nos;
    if (!n->channel && nos > 0) n->channel = static_cast<MATRIX_CHANNEL*>(d_calloc(sizeof(MATRIX_CHANNEL), nos));
    return 0;
  });
}

// ---- mxSetSB

// The structure a pointer value v names for channel ch of n, under the
// channel lock: the one the channel holds already, or a free-standing
// structure made for that channel, now owned by the caller (*adopted).
// Null for anything else (mx_sb_adopt: a value can outlive its structure).
MX_STRUCT_BLOCK* structure_for(ZU_SEXP* v, MATRIX_NODE* n, int ch, bool* adopted) {
  *adopted = false;
  MX_STRUCT_BLOCK* held = mx_locked([n, ch] { return n->channel[ch].sb; });
  if (v->ptr.ptr == held) return held;
  MX_STRUCT_BLOCK* sb = mx_sb_adopt(v, n, ch);
  *adopted = sb != nullptr;
  return sb;
}

ZU_SEXP* zu_mxSetSB(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "mxSetSB";
  ZU_SEXP* err = nullptr;
  MATRIX_NODE* n = script_node(env, form, kFunc, &err);
  if (!n) return err;
  auto refused = [form](int64_t ch, const char* why) {
    return error_at(form, ZU_ER_PARAM, kFunc, data_list("invalid parameter in mxSetSB CH = ", ch, why));
  };
  const L_CHAR* text = head_option(sf, "channel");
  if (!text) return refused(-1, "attr channel is required");
  int64_t ch = option_int64(text);
  if (ch < 0 || ch >= mx_op_param(n->matrix).channel_nos) return refused(ch, "channel data boundary error");
  if (!is_block_channel(n->matrix, static_cast<int>(ch))) return refused(ch, "channel data type is not match to block type");
  // Constructors learn their channel from ___channel.
  ZUISP_ENV* inner = new_env(env);
  bind_private_env(inner, get_symbol_ascii("___channel")->symbol.atom, get_integer(ch, nullptr));
  ZU_SEXP* v = eval(inner, get_el(form, 1));
  if (get_type(v) == ZU_TYPE_ERROR) return v;
  if (get_type(v) != ZU_TYPE_POINTER || v->ptr.mark || !v->ptr.ptr) return mx_type_error(form, kFunc);
  ensure_channels(n);
  matrix_node_channel_lock(n);
  bool adopted = false;
  MX_STRUCT_BLOCK* sb = structure_for(v, n, static_cast<int>(ch), &adopted);
  if (adopted) {
    MX_STRUCT_BLOCK* old = mx_locked([&] { return std::exchange(n->channel[ch].sb, sb); });
    if (old) old->tbl->free_sb(old);
  }
  matrix_node_channel_unlock(n, 0);
  return sb ? nullptr : mx_type_error(form, kFunc);
}

// ---- mxLoadSB

ZU_SEXP* zu_mxLoadSB(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "mxLoadSB";
  ZU_SEXP* err = nullptr;
  MATRIX_NODE* n = script_node(env, form, kFunc, &err);
  if (!n) return err;
  int nos = mx_op_param(n->matrix).channel_nos;
  int first = 0, last = nos - 1;
  if (const L_CHAR* text = head_option(sf, "channel")) {
    int64_t ch = option_int64(text);
    if (ch < 0 || ch >= nos)
      return error_at(form, ZU_ER_PARAM, kFunc,
                      data_list("invalid parameter in mxLoadSB", get_symbol_ascii("channel-range")));
    first = last = static_cast<int>(ch);
  }
  // Without a channel array there is no structure to rebuild.
  if (!mx_op_has_channels(n)) return nullptr;
  matrix_node_channel_lock(n);
  for (int ch = first; ch <= last; ++ch) {
    MATRIX_CHANNEL& c = n->channel[ch];
    if (!c.sb || !c.data || !is_block_channel(n->matrix, ch)) continue;
    int r = c.sb->tbl->block2struct(c.sb, static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(c.data));
    if (r < 0) {
      matrix_node_channel_unlock(n, 0);
      return error_at(form, ZU_ER_PARAM, kFunc, data_list("invalid parameter in mxLoadSB", r));
    }
    get_matrix_update_time(n, ch, -1);
  }
  matrix_node_channel_unlock(n, 0);
  return nullptr;
}

// ---- mxSaveSB

// Writes channel ch's structure back when it is newer than the bytes: 0,
// or the error data's number (0 no bytes made, -2 not comparable).
int save_channel(MATRIX_NODE* n, int ch) {
  MATRIX_CHANNEL& c = n->channel[ch];
  if (!c.sb || !is_block_channel(n->matrix, ch) || get_matrix_update_time(n, ch, -2) != 1) return 1;
  auto* fresh = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(c.sb->tbl->struct2block(c.sb));
  if (!fresh) return 0;
  const MATRIX_DATA_TYPE* tp = &mx_type_block;
  int order = c.data ? tp->cmp(tp, fresh, c.data) : 1;
  if (order == -2 || order == 0) {
    tp->free_data(tp, fresh);
    if (order == -2) return -2;
  } else {
    void* old = mx_locked([&] { return std::exchange(c.data, fresh); });
    if (old) tp->free_data(tp, old);
    bool kept = mx_locked([&] { return (n->matrix->channel_info[ch].flags & kMxChFile) != 0; });
    if (kept) set_dirty_file(n);
  }
  get_matrix_update_time(n, ch, -1);
  return 1;
}

ZU_SEXP* zu_mxSaveSB(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  constexpr const char* kFunc = "mxSaveSB";
  ZU_SEXP* err = nullptr;
  MATRIX_NODE* n = script_node(env, form, kFunc, &err);
  if (!n) return err;
  int nos = mx_op_param(n->matrix).channel_nos;
  ensure_channels(n);
  matrix_node_channel_lock(n);
  for (int ch = 0; ch < nos; ++ch) {
    int r = save_channel(n, ch);
    if (r <= 0) {
      matrix_node_channel_unlock(n, 0);
      return error_at(form, ZU_ER_PARAM, kFunc, data_list("invalid parameter in mxSaveSB", r));
    }
  }
  matrix_node_channel_unlock(n, 0);
  return nullptr;
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kLoadSB[] = {{"mxLoadSB", zu_mxLoadSB, 1, 1, 1, T}, {}};
const QN_PRIM_DEF kSaveSB[] = {{"mxSaveSB", zu_mxSaveSB, 1, 1, 1, T}, {}};
const QN_PRIM_DEF kSetSB[] = {{"mxSetSB", zu_mxSetSB, 0, 2, 2, 0}, {}};

}  // namespace

void init_mxLoadSB(ZUISP_ENV* env) { bind_prims(env, kLoadSB); }
void init_mxSaveSB(ZUISP_ENV* env) { bind_prims(env, kSaveSB); }
void init_mxSetSB(ZUISP_ENV* env) { bind_prims(env, kSetSB); }
