// The decoder of node data kept in two older raster forms, for matrix
// scripts: "CR", a pyramid whose tiles are raw pixels ("n") or JPEG ("j")
// and, below the top, residuals against the decoded parent, and "R64",
// plain pixel rows. Both become a two-dimensional uint32 vector (collector
// heap) of packed pixels: bits 0-9 red, 10-19 green, 20-29 blue, each
// 4 x the 8-bit value; 0x40000000 marks a pixel no tile covered.
//
// Payloads come from files and peers: an output larger than 2^28 pixels,
// a size that is not a positive integer or a position that is not four
// integers gives no vector (null); tile pixels outside the output, parent
// pixels outside the parent vector, tiles that do not decode and pixel
// data that ends early are skipped (those pixels stay 0x40000000). No
// lock is taken; the caller holds the collector's mutator lock (values).
#pragma once

#include <cstdint>

#include "matrix/matrix.h"
#include "zu/value.h"

// The packed pixel that no tile covered.
constexpr uint32_t kMxUncovered = 0x40000000;

// A CR payload (w h positions tiles) decoded, residuals taken against
// parent_d (a two-dimensional uint32 vector) when given; null when it
// cannot be decoded. n is the node the data belong to (may be null).
void* uncompress_cr(MATRIX_NODE* n, const void* parent_d, ZU_SEXP* net_d);
// An R64 payload (w h type pixels): "P..." RGB triples, else grey bytes.
void* uncompress_r64(ZU_SEXP* net_d);
// Packs w x h RGB triples, resp. grey bytes, from ptr into buf.
void copy_buf_p_of(uint32_t* buf, const uint8_t* ptr, int64_t w, int64_t h);
void copy_buf_g_of(uint32_t* buf, const uint8_t* ptr, int64_t w, int64_t h);

// Binds "mxUncompressOldFormat" (attribute format "CR", the default, or
// "R64"): (mxUncompressOldFormat [parent] item) gives (data dim-code
// vector) for the data item (data dim-code payload).
void init_mxUncompressOldFormat(ZUISP_ENV* env);
