// The locked record-store interface: one generic wrapper, instantiated for
// each operation.
#include "store/l_favt64.h"

#include "store/assoc64.h"
#include "store/l_locked_impl.h"

SEM l_favt64_lock = nullptr;

namespace {

constexpr const char* kUnlock = "unlock";

ACC_PN64_HEADER* read_whole(PDB64* p, uint64_t fofs) { return xx_read_filespace64(p, fofs, __FILE__, __LINE__); }
ACC_PN64_HEADER* read_head(PDB64* p, uint64_t fofs) {
  return xx_read_filespace64_header(p, fofs, __FILE__, __LINE__);
}
PN64_HEADER* read_whole_f(PDB64* p, uint64_t fofs) { return xx_read_filespace64f(p, fofs, __FILE__, __LINE__); }
PN64_HEADER* read_head_f(PDB64* p, uint64_t fofs) {
  return xx_read_filespace64f_header(p, fofs, __FILE__, __LINE__);
}

int start_writeback(PDB64* p, uint64_t from, uint64_t len) { return p ? fac_start_writeback(&p->fac, from, len) : -1; }

void release(FAVT64_HEADER* h) {
  if (h) favt64_unlock(h);
}

// The caller's pin goes with the node: the memory is freed once no other
// holder is left.
int free_node(FAVT64_NODE* n) {
  if (!n) return -1;
  int rc = favt64_free_node(n);
  favt64_unlock(&n->h);
  return rc;
}

}  // namespace

void init_l_favt64() {
  init_favt64();
  if (!l_favt64_lock) l_favt64_lock = new_lock(LOCK_FAVT64);
  init_assoc64_zu();
}

void l_favt64_release(FAVT64_HEADER* h) { locked<release>(kUnlock, h); }

FAVT64_ROOT* l_favt64_alloc_root(PDB64* p, int type, FAVT64_ENDIAN_FUNC func) {
  return locked<favt64_alloc_root>(kUnlock, p, type, func);
}
FAVT64_ROOT* l_get_root64(int* errp, PDB64* p, uint64_t fofs, FAVT64_ENDIAN_FUNC func) {
  return locked<get_root64>(kUnlock, errp, p, fofs, func);
}
FAVT64_NODE* l_root_node64(int* errp, FAVT64_ROOT* r) { return locked<root_node64>(kUnlock, errp, r); }
FAVT64_NODE* l_favt64_alloc_node(FAVT64_ROOT* rt, const void* data, int64_t data_size) {
  return locked<favt64_alloc_node>(kUnlock, rt, data, data_size);
}
FAVT64_NODE* l_favt64_insert(int* errp, FAVT64_ROOT* p, FAVT64_PTR* favtp, FAVT64_NODE* a, FAVT64_CMP cmp, void* w) {
  return locked<favt64_insert>(kUnlock, errp, p, favtp, a, cmp, w);
}
FAVT64_NODE* l_favt64_search(int* errp, FAVT64_ROOT* p, FAVT64_NODE* a, void* data, FAVT64_CMP cmp, void* w) {
  return locked<favt64_search>(kUnlock, errp, p, a, data, cmp, w);
}
FAVT64_NODE* l_favt64_delete(int* errp, FAVT64_ROOT* p, FAVT64_PTR* favtp, void* data, FAVT64_CMP cmp, void* w) {
  return locked<favt64_delete>(kUnlock, errp, p, favtp, data, cmp, w);
}
int l_favt64_free_node(FAVT64_NODE* n) { return locked<free_node>(kUnlock, n); }
int l_favt64_trace_from_small(int* errp, FAVT64_ROOT* p, FAVT64_NODE* a, FAVT64_TRACE_FUNC func, void* work) {
  return locked<favt64_trace_from_small>(kUnlock, errp, p, a, func, work);
}
int l_favt64_trace_from_large(int* errp, FAVT64_ROOT* p, FAVT64_NODE* a, FAVT64_TRACE_FUNC func, void* work) {
  return locked<favt64_trace_from_large>(kUnlock, errp, p, a, func, work);
}
BOUND64_LIST* l_favt64_bound_search(int* errp, FAVT64_ROOT* p, FAVT64_NODE* a, void* data_min, void* data_max,
                                    int limit, FAVT64_CMP cmp, void* cw) {
  return locked<favt64_bound_search>(kUnlock, errp, p, a, data_min, data_max, limit, cmp, cw);
}
int l_flush_favt64_cache(PDB64* p) { return locked<flush_favt64_cache>(kUnlock, p); }
int l_check_cache64(const char* str) { return locked<check_cache64>(kUnlock, str); }

int64_t l_alloc_filespace64(PDB64* p, const PN64_HEADER* h) { return locked<alloc_filespace64>(kUnlock, p, h); }
int64_t l_alloc_write_filespace64(PDB64* p, const PN64_HEADER* h, std::span<const iovec> body) {
  return locked<alloc_write_filespace64>(kUnlock, p, h, body);
}
int64_t l_rewrite_filespace64(PDB64* p, uint64_t fofs, const PN64_HEADER* h, std::span<const iovec> body) {
  return locked<rewrite_filespace64>(kUnlock, p, fofs, h, body);
}
int l_free_filespace64(PDB64* p, uint64_t fofs) { return locked<free_filespace64>(kUnlock, p, fofs); }
int l_truncate_filespace64(PDB64* p) { return locked<truncate_filespace64>(kUnlock, p); }
int64_t l_write_filespace64(PDB64* p, const ACC_PN64_HEADER* h) { return locked<write_filespace64>(kUnlock, p, h); }
int64_t l_write_filespace64f(PDB64* p, uint64_t fofs, const PN64_HEADER* h) {
  return locked<write_filespace64f>(kUnlock, p, fofs, h);
}
ACC_PN64_HEADER* l_read_filespace64(PDB64* p, uint64_t fofs) { return locked<read_whole>(kUnlock, p, fofs); }
ACC_PN64_HEADER* l_read_filespace64_header(PDB64* p, uint64_t fofs) { return locked<read_head>(kUnlock, p, fofs); }
PN64_HEADER* l_read_filespace64f(PDB64* p, uint64_t fofs) { return locked<read_whole_f>(kUnlock, p, fofs); }
PN64_HEADER* l_read_filespace64f_header(PDB64* p, uint64_t fofs) { return locked<read_head_f>(kUnlock, p, fofs); }
int l_flush_filespace64(PDB64* p) { return locked<flush_filespace64>(kUnlock, p); }
int l_start_writeback64(PDB64* p, uint64_t from, uint64_t len) {
  return locked<start_writeback>(kUnlock, p, from, len);
}
int l_close_filespace64(PDB64* p, PDB64_STAMP* left) { return locked<close_filespace64>(kUnlock, p, left); }
