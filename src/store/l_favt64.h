// The record store as other subsystems see it: every operation takes the
// one record-store lock, runs the operation, gives the lock back and
// returns the result unchanged. The lock is the innermost lock of the
// program; comparison, walk and byte-order functions handed in run with it
// held and must not call back into this interface.
//
// A root or node returned by these wrappers is pinned for the caller: it
// stays in memory, whatever other threads load, until the caller gives it
// back with l_favt64_release (l_favt64_free_node takes the pin over). Every
// returned record carries its own pin, so a record returned twice is given
// back twice. Closing a file forgets its records, pinned or not.
#pragma once

#include <cstdint>

#include "base/lock.h"
#include "store/favt64.h"
#include "store/pdb64.h"

extern SEM l_favt64_lock;

// Starts the tree layer and the page cache, makes the lock and installs
// the ZU value operations of association files. Called once at start-up
// (again only while no record file is open).
void init_l_favt64();

void l_favt64_release(FAVT64_HEADER* h);
inline void l_favt64_release(FAVT64_NODE* n) {
  if (n) l_favt64_release(&n->h);
}
inline void l_favt64_release(FAVT64_ROOT* r) {
  if (r) l_favt64_release(&r->h);
}

FAVT64_ROOT* l_favt64_alloc_root(PDB64* p, int type, FAVT64_ENDIAN_FUNC func);
FAVT64_ROOT* l_get_root64(int* errp, PDB64* p, uint64_t fofs, FAVT64_ENDIAN_FUNC func);
FAVT64_NODE* l_root_node64(int* errp, FAVT64_ROOT* r);
FAVT64_NODE* l_favt64_alloc_node(FAVT64_ROOT* rt, const void* data, int64_t data_size);
FAVT64_NODE* l_favt64_insert(int* errp, FAVT64_ROOT* p, FAVT64_PTR* favtp, FAVT64_NODE* a, FAVT64_CMP cmp, void* w);
FAVT64_NODE* l_favt64_search(int* errp, FAVT64_ROOT* p, FAVT64_NODE* a, void* data, FAVT64_CMP cmp, void* w);
FAVT64_NODE* l_favt64_delete(int* errp, FAVT64_ROOT* p, FAVT64_PTR* favtp, void* data, FAVT64_CMP cmp, void* w);
int l_favt64_free_node(FAVT64_NODE* n);
int l_favt64_trace_from_small(int* errp, FAVT64_ROOT* p, FAVT64_NODE* a, FAVT64_TRACE_FUNC func, void* work);
int l_favt64_trace_from_large(int* errp, FAVT64_ROOT* p, FAVT64_NODE* a, FAVT64_TRACE_FUNC func, void* work);
BOUND64_LIST* l_favt64_bound_search(int* errp, FAVT64_ROOT* p, FAVT64_NODE* a, void* data_min, void* data_max,
                                    int limit, FAVT64_CMP cmp, void* cw);
int l_flush_favt64_cache(PDB64* p);
int l_check_cache64(const char* str);

int64_t l_alloc_filespace64(PDB64* p, const PN64_HEADER* h);
int64_t l_alloc_write_filespace64(PDB64* p, const PN64_HEADER* h, std::span<const iovec> body);
int64_t l_rewrite_filespace64(PDB64* p, uint64_t fofs, const PN64_HEADER* h, std::span<const iovec> body);
int l_free_filespace64(PDB64* p, uint64_t fofs);
int l_truncate_filespace64(PDB64* p);
int64_t l_write_filespace64(PDB64* p, const ACC_PN64_HEADER* h);
int64_t l_write_filespace64f(PDB64* p, uint64_t fofs, const PN64_HEADER* h);
ACC_PN64_HEADER* l_read_filespace64(PDB64* p, uint64_t fofs);
ACC_PN64_HEADER* l_read_filespace64_header(PDB64* p, uint64_t fofs);
PN64_HEADER* l_read_filespace64f(PDB64* p, uint64_t fofs);
PN64_HEADER* l_read_filespace64f_header(PDB64* p, uint64_t fofs);
int l_flush_filespace64(PDB64* p);
int l_close_filespace64(PDB64* p, PDB64_STAMP* left = nullptr);
// fac_start_writeback of p's file.
int l_start_writeback64(PDB64* p, uint64_t from, uint64_t len);
