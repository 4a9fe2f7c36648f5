// qmxCreate and the matrix description language: the body of a qmxCreate
// form describes a matrix (parameters, sizes, channels, scripts per stored
// mode) with keywords that exist only inside it, and the command opens or
// creates the matrix file and returns the id of a new entry. With
// `readphase` the same command opens a file for reading instead. qmxClose
// closes an entry.
//
// A description runs once, on the caller's thread, with the matrix in its
// opening state: nobody else can reach the matrix before it turns active.
// Scripts made by the body are kept reachable through the list bound to
// `____gc_bind` in the body's environment until the matrix holds them.
#pragma once

#include "matrix/matrix.h"
#include "zu/env.h"

// Between qn_qmxCreate and qn_qmxCreate_matrix: the matrix made, whether
// its file existed (1) or is new (0), and the callbacks to apply.
struct CREATE_PARAM {
  MATRIX* m;
  int mode;
  MATRIX_PARAM p;
};

// (qmxCreate description...) with neturl, filename, key, readphase,
// activePhase_mode, currentPhase_mode: the id of the new entry, or an error.
ZU_SEXP* qn_qmxCreate(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV* sp_env);
// Runs a description on the named matrix file: the empty list with cp->m
// (active, held for the caller: _hold_matrix) and cp->mode set, or an
// error with the matrix closed again. Inside begin_mx_open.
ZU_SEXP* qn_qmxCreate_matrix(CREATE_PARAM* cp, ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env,
                             ZU_SYM_FIELD* sf);
// Fills qmxCreate's private keyword environment.
void init_qmx_format(ZUISP_ENV* env);
// A new environment without parent filled by init_qmx_format.
ZUISP_ENV* new_qmx_format_env();
// Prepends value to the list bound to ____gc_bind in the nearest
// environment that binds it: the empty list, or the error of the look-up.
ZU_SEXP* set_gc_bind(ZUISP_ENV* env, ZU_SEXP* value);
// Stores the 24 scripts of a mode (null: none) in the matrix file, each as
// its forms printed one per line in UTF-8; save_mode_cal's result, or -1
// when a script cannot be printed.
int save_mode_cal_sexp(MATRIX* m, int mode, ZU_SEXP* const* phase);

// (qmxClose) with id: the empty list, or 0x80040503 "qmxClose".
ZU_SEXP* qn_qmxClose(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV* sp_env);
