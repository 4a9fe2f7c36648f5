// qmxScan, qmxCopy and qmxCache: a script kind fired over every stored node
// of an area of an entry's matrix, channels copied from one entry's matrix
// into another's, and the page limit of the record store and the node
// cache's budget.
//
// qmxScan and qmxCopy hold the command lock of every entry they work on and
// release the node their entries' caches hold before the store walks the
// matrix: the scripts the walk fires run on the matrix worker and need the
// channel locks that such a cache keeps between calls.
#pragma once

#include "zu/env.h"

// (qmxScan start end) with id, area (the script slot 0..23, fired at each
// node's level class), call-dir ("pre" or absent: a node's children before
// the node; "post": the node before its children). The scan's result (0, or
// the last negative code it met) as an integer; a refused parameter is an
// error 0x80040503 ("invalida parameter (attribute id)" reason).
ZU_SEXP* qn_qmxScan(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV* sp_env);
// (qmxCopy arg...) with src, dest: the channels named by number, and every
// channel whose flags meet the "MF_*" words, given as one list or as the
// arguments themselves. The empty list, or an error.
ZU_SEXP* qn_qmxCopy(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV* sp_env);
// (qmxCache) with size: the record store's page limit becomes size / 4096
// pages (0..4095 bytes: direct mode), and the node cache's byte budget
// (node_cache_bytes) size. The empty list, or 0x80040503 for a missing,
// negative or too large size.
ZU_SEXP* qn_qmxCache(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV* sp_env);
