// PNM files and matrices: qmxImportPNM writes a binary grey or colour image
// into one channel of a two-dimensional matrix at a level and position,
// optionally leaving the pixels of one colour untouched; qmxExportPNM
// writes one level of one channel (the whole matrix or a rectangle) as a
// binary colour image; qmxPNMStatus reports a PNM header.
//
// Pixels are 32-bit words R<<24 | G<<16 | B<<8 | marker: the import writes
// marker 0, and the export writes a pixel whose marker is not 0, or that it
// cannot read, white. Image column w runs along the first dimension and
// row h along the second, one pixel of level L covering 2^(divide * L)
// finest-level units.
//
// Pixels whose positions pass the matrix (or the 64-bit range) are nowhere:
// the import passes over them, the export writes them white.
//
// Both commands hold the entry's command lock (entries by the `id`
// attribute) and move pixels through the entry's element-access cache in
// bands of rows that end at node borders, each band node by node, so that
// every node a band touches is fetched once (the cache's rectangles). They set the cache's node
// access for the time of the pixel loop (the import creates what is
// missing, the export only reads) and put the entry's settings back, and
// they leave the matrix's "create-node" variable at "enable" (import) or
// "disable" (export). A node that does not become ready (no script settles
// it, or the wait for it ends: qmx_point.h) ends either command with the
// error a node read gives, 0x80040501 ("invalid object in channel of NODE"
// "others" (-103 dimcode)); what came before it stays written. An import
// that could not have a node to write (its fetch failed) writes the rest
// and ends with the same error, -102 and the first such node.
//
// The export writes its picture under a new name beside the target and
// renames it over the target only when every row is in it: a failed export
// leaves the target as it was. A target that is a matrix file open in this
// process or locked by any process is refused untouched ("cannot open the
// file"). Both readers refuse a picture that is not a regular file ("cannot
// read the file") instead of waiting for a FIFO's writer.
#pragma once

#include "matrix/matrix.h"
#include "zu/env.h"

// (qmxImportPNM file channel level x y) with id and transparent: nil.
ZU_SEXP* qn_qmxImportPNM(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV* sp_env);
// (qmxExportPNM file channel level [x y width height]) with id: nil.
ZU_SEXP* qn_qmxExportPNM(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV* sp_env);
// (qmxPNMStatus file): (qmxPNMStatus magic width height maximum).
ZU_SEXP* qn_qmxPNMStatus(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV* sp_env);

// Debug probe: matrix_test on m at most once per clock second of the
// process.
void matrix_test_1sec(MATRIX* m);
