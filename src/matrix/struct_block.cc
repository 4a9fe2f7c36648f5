// The frame shared by the structure-block plug-ins, the primitive block,
// and the constructor built-ins of matrix scripts (struct_block.h).
#include "matrix/struct_block.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "base/alloc.h"
#include "matrix/node.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/errcodes.h"
#include "zu/eval.h"

MX_STRUCT_BLOCK_TBL blk_primitive_tbl = {pr_new_sb,       pr_free_sb,      pr_copy_sb,
                                         pr_block2struct, pr_struct2block, pr_operation};

bool mx_sb_place(MX_STRUCT_BLOCK* b, const MX_SB_NEW* n, MX_STRUCT_BLOCK_TBL* tbl) {
  if (!n || (!n->m && !n->n) || (n->m && n->n && n->n->matrix != n->m)) return false;
  MATRIX* m = n->m ? n->m : n->n->matrix;
  // The plug-ins size their contents by the matrix's geometry.
  if (m->p.dim <= 0 || !m->block_size || !m->dim_divide) return false;
  b->n = *n;
  b->n.m = m;
  b->tbl = tbl;
  return true;
}

MATRIX_ALLOC_BLOCK_PARAM* mx_sb_new_block(const void* bytes, int64_t size) {
  if (size < 0 || size > INT32_MAX) return nullptr;
  MATRIX_ALLOC_BLOCK_PARAM src{};
  src.size = static_cast<int32_t>(size);
  src.block = const_cast<void*>(bytes);
  return static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(
      mx_type_block.alloc_data(&mx_type_block, MX_ATYPE::tagged, &src, nullptr, __FILE__, __LINE__));
}

// ---- structures that scripts hold

namespace {

// The free-standing structures (listed_mu, a leaf). listed_count mirrors
// the size so that freeing, which nearly always meets an empty list (array
// members, the structures of purged nodes), skips the mutex.
std::mutex& listed_mu = *new std::mutex;
std::unordered_set<MX_STRUCT_BLOCK*>& listed = *new std::unordered_set<MX_STRUCT_BLOCK*>;
std::atomic<size_t> listed_count{0};

void list(MX_STRUCT_BLOCK* b) {
  std::lock_guard<std::mutex> g(listed_mu);
  listed.insert(b);
  listed_count.store(listed.size(), std::memory_order_relaxed);
}

}  // namespace

ZU_SEXP* mx_sb_hand_out(MX_STRUCT_BLOCK* b) {
  if (b) list(b);
  return get_ptr(b, nullptr);
}

MX_STRUCT_BLOCK* mx_sb_adopt(ZU_SEXP* v, const MATRIX_NODE* n, int ch) {
  if (get_type(v) != ZU_TYPE_POINTER || v->ptr.mark || !n) return nullptr;
  auto* b = static_cast<MX_STRUCT_BLOCK*>(v->ptr.ptr);
  std::lock_guard<std::mutex> g(listed_mu);
  auto at = listed.find(b);
  // Only a listed pointer is known to hold a live structure: nothing is
  // read through it before.
  if (at == listed.end() || b->n.n != n || b->n.m != n->matrix || b->n.channel != ch) return nullptr;
  listed.erase(at);
  listed_count.store(listed.size(), std::memory_order_relaxed);
  return b;
}

void mx_sb_give_back(MX_STRUCT_BLOCK* b) { list(b); }

void mx_sb_forget(MX_STRUCT_BLOCK* b) {
  if (listed_count.load(std::memory_order_relaxed) == 0) return;
  std::lock_guard<std::mutex> g(listed_mu);
  listed.erase(b);
  listed_count.store(listed.size(), std::memory_order_relaxed);
}

// ---- primitive block

namespace {

bool valid_block(const MATRIX_ALLOC_BLOCK_PARAM* p) { return p->size >= 0 && (p->size == 0 || p->block); }

// A private copy of p's header, size and bytes.
void pr_take(PR_STRUCT_BLOCK* b, const MATRIX_ALLOC_BLOCK_PARAM* p) {
  b->p = MATRIX_ALLOC_BLOCK_PARAM{};
  b->p.h = p->h;
  b->p.size = p->size;
  if (p->size > 0) {
    b->p.block = d_alloc(static_cast<size_t>(p->size));
    std::memcpy(b->p.block, p->block, static_cast<size_t>(p->size));
  }
}

PR_STRUCT_BLOCK* pr(MX_STRUCT_BLOCK* b) { return reinterpret_cast<PR_STRUCT_BLOCK*>(b); }

}  // namespace

MX_STRUCT_BLOCK* pr_new_sb(MX_SB_NEW* n, void* param) {
  const auto* p = static_cast<const MATRIX_ALLOC_BLOCK_PARAM*>(param);
  if (p && !valid_block(p)) return nullptr;
  auto* b = static_cast<PR_STRUCT_BLOCK*>(d_calloc(sizeof(PR_STRUCT_BLOCK), 1));
  if (!mx_sb_place(&b->h, n, &blk_primitive_tbl)) {
    d_f_ree(b);
    return nullptr;
  }
  if (p) pr_take(b, p);
  return &b->h;
}

void pr_free_sb(MX_STRUCT_BLOCK* b) {
  if (!b) return;
  mx_sb_forget(b);
  d_f_ree(pr(b)->p.block);
  d_f_ree(b);
}

MX_STRUCT_BLOCK* pr_copy_sb(MX_STRUCT_BLOCK* b) { return pr_new_sb(&b->n, &pr(b)->p); }

int pr_block2struct(MX_STRUCT_BLOCK* b, MATRIX_ALLOC_BLOCK_PARAM* p) {
  if (!p || !valid_block(p)) return -1;
  d_f_ree(pr(b)->p.block);
  pr_take(pr(b), p);
  return 0;
}

MATRIX_ALLOC_BLOCK_PARAM* pr_struct2block(MX_STRUCT_BLOCK* b) { return mx_sb_new_block(pr(b)->p.block, pr(b)->p.size); }

int pr_operation(int, MX_STRUCT_BLOCK*, void*) { return -1; }

// ---- constructors

namespace {

ZU_SEXP* type_error(ZU_SEXP* form, const char* func, const char* what) {
  return error_at(form, ZU_ER_TYPE, func, data_list("type missmatch", what));
}

// The place of a new block: the channel "___channel" names in env, of the
// node whose script runs there (no node when there is none, or for a
// channel out of range). False with *err for a ___channel that is an error
// or not an integer.
bool script_place(ZUISP_ENV* env, ZU_SEXP* form, const char* func, MX_SB_NEW* place, ZU_SEXP** err) {
  ZU_SEXP* ch = eval(env, get_symbol_ascii("___channel"));
  if (get_type(ch) == ZU_TYPE_ERROR) *err = ch;
  else if (get_type(ch) != ZU_TYPE_INTEGER) *err = type_error(form, func, "___channel");
  if (*err) return false;
  auto* t = static_cast<MATRIX_TOKEN*>(get_env_work(env));
  *place = MX_SB_NEW{nullptr, t ? t->process_node : nullptr, static_cast<int>(ch->integer.num)};
  if (ch->integer.num < 0 || ch->integer.num > kMxMaxChannels) place->n = nullptr;
  return true;
}

// A new block of tbl for the place script_place finds, as a pointer value
// (holding null when no block could be made).
ZU_SEXP* construct(ZUISP_ENV* env, ZU_SEXP* form, const char* func, MX_STRUCT_BLOCK_TBL* tbl) {
  MX_SB_NEW place{};
  ZU_SEXP* err = nullptr;
  if (!script_place(env, form, func, &place, &err)) return err;
  return mx_sb_hand_out(tbl->new_sb(&place, nullptr));
}

ZU_SEXP* zu_sbHeuristicLayering(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  return construct(env, form, "sbHeuristocLayering", &blk_h_layering_tbl);
}

ZU_SEXP* zu_sbPrimitive(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  return construct(env, form, "sbPrimitive", &blk_primitive_tbl);
}

// The array owns its prototype: a structure that nothing owns yet, made
// for the same channel of the same node (its copies keep its place).
ZU_SEXP* zu_sbArray(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* arg = get_el(form, 1);
  if (get_type(arg) != ZU_TYPE_POINTER) return type_error(form, "sbArray", "2nd argument");
  MX_SB_NEW place{};
  ZU_SEXP* err = nullptr;
  if (!script_place(env, form, "sbArray", &place, &err)) return err;
  SA_NEW init{mx_sb_adopt(arg, place.n, place.channel)};
  if (!init.member) return type_error(form, "sbArray", "2nd argument");
  MX_STRUCT_BLOCK* b = blk_s_array_tbl.new_sb(&place, &init);
  if (!b) mx_sb_give_back(init.member);
  return mx_sb_hand_out(b);
}

const QN_PRIM_DEF kHeuristicLayering[] = {{"sbHeuristocLayering", zu_sbHeuristicLayering, 1, 1, 1, 0}, {}};
const QN_PRIM_DEF kPrimitive[] = {{"sbPrimitive", zu_sbPrimitive, 1, 1, 1, 0}, {}};
const QN_PRIM_DEF kArray[] = {{"sbArray", zu_sbArray, 1, 2, 2, 0}, {}};

}  // namespace

void init_sbHeuristicLayering(ZUISP_ENV* env) { bind_prims(env, kHeuristicLayering); }
void init_sbPrimitive(ZUISP_ENV* env) { bind_prims(env, kPrimitive); }
void init_sbArray(ZUISP_ENV* env) { bind_prims(env, kArray); }
