// Plot lists and plot code: the points of a point vector in memory
// (INTERNAL_PLOT, linked through `next`), their order, and the stored form
// of a list, a byte string of big-endian point records ended by a 0 byte.
//
// One record, dim = the matrix's dimension count:
//   flags (never 0; 0x20 base present, 0x40 id present), a 0 byte,
//   dim x u16 cell coordinates, [dim x i64 base], [i64 id],
//   the fields (type byte and value each), a 0 byte.
// An empty plot is the single byte 0.
//
// Plot code comes from files and peers: the reader checks all of it within
// the given length before it builds anything, and answers damaged code with
// null and *errp = -1 (an empty plot is null with *errp = 0). Code whose
// points would take more than the ceiling of what one plot block may make
// (PlotRoom, plot_impl.h) counts as damaged. Lists in
// memory are this family's own: a broken list is an invariant failure.
//
// Every operation that takes a MATRIX refuses a geometry a plot cannot
// describe: dim outside 1..64, or a block_size above 16 (cells are 16-bit).
//
// A list, with its coordinates, bases, field arrays and values, is either
// all tagged or all from one SIMPLE_ALLOC_T; the latter is released by
// freeing that allocator, never point by point. No locks: a list belongs to
// one structure block or one operation.
#pragma once

#include <cstdint>

#include "base/smpalloc.h"
#include "matrix_ops/plot_field.h"

struct MATRIX;
struct MATRIX_SEXP;

// Point flags.
constexpr uint8_t kPpInserted = 0x01;   // made by the insert command
constexpr uint8_t kPpMerged = 0x08;     // coarse point merged from two field arrays
constexpr uint8_t kPpGroup = 0x10;      // first point of a difference group
constexpr uint8_t kPpBase = 0x20;       // base present
constexpr uint8_t kPpId = 0x40;         // id present (stored form)

constexpr int kPlotMaxBlockSize = 16;

struct INTERNAL_PLOT {
  INTERNAL_PLOT* next;
  INTERNAL_PLOT* prev;      // left as it was by everything here
  uint8_t flags;
  uint16_t* c;              // cell in the node, one per dimension
  int64_t* base;            // offset inside the cell per dimension, or null
  IP_FIELD* fields;         // or null
  int64_t id;               // object id, 0 none
  int min_direction;        // plot block state, copied as it is
  MATRIX_SEXP* onmap;
  MATRIX_SEXP* card;
};

// The start of a stored record.
struct PRIMITIVE_PLOT {
  uint8_t flags;
  uint8_t dummy;
  uint16_t c[1];
};

// 0 when m's geometry can hold plots, -1 otherwise.
int plot_geometry_check(const MATRIX* m);

// The point order: coordinate bits interleaved from the highest bit level
// down, dimension 0 first within a level; bits at or above a dimension's
// block size do not count. -1, 0 or 1.
int cmp_plot(const MATRIX* m, const uint16_t* c1, const uint16_t* c2);

// The bytes of the record at p with its closing 0, 0 when p is the code's
// final 0, -1 when the record does not lie within `left` bytes or holds a
// field that plot code does not store.
int64_t plot_record_bytes(const uint8_t* p, size_t left, int dim);
// The list stored in the ptr_size bytes at ptr, from sat when given (after
// smp_init) else tagged. Null for an empty plot; null with *errp = -1 for
// damaged code or a refused geometry (*errp = 0 otherwise).
INTERNAL_PLOT* code2internal(MATRIX* m, PRIMITIVE_PLOT* ptr, int ptr_size, SIMPLE_ALLOC_T* sat,
                             int* errp = nullptr);
// The plot code of the whole list in one new tagged buffer, its length in
// *size_p. Null (and *size_p -1) for a refused geometry or a field whose
// type byte plot code cannot store.
PRIMITIVE_PLOT* internal2code(int* size_p, MATRIX* m, INTERNAL_PLOT* ip);
// The record of the one point ip (without the code's final 0), tagged.
PRIMITIVE_PLOT* one_internal2code(int* size_p, MATRIX* m, INTERNAL_PLOT* ip);

// A tagged deep copy of the list, accounted to the site.
INTERNAL_PLOT* xx_copy_internal_plot(MATRIX* m, INTERNAL_PLOT* ip, const char* file, int line);
#define copy_internal_plot(m, ip) xx_copy_internal_plot((m), (ip), __FILE__, __LINE__)
// Moves the accounting of every point of the list to the site.
void xx_change_st_internal_plot(INTERNAL_PLOT* ip, const char* file, int line);
#define change_st_internal_plot(ip) xx_change_st_internal_plot((ip), __FILE__, __LINE__)
// Frees one tagged point (null ignored) / every point of a tagged list.
void free_internal_plot(INTERNAL_PLOT* ip);
void free_internal_plot_list(INTERNAL_PLOT* ip);
int get_internal_plot_len(INTERNAL_PLOT* ip);
// Stops the process when a point has a field type byte plot code cannot
// store ("CHECK") or the list is out of point order ("CHECK2").
void check_internal_plot(MATRIX* m, INTERNAL_PLOT* ip, const char* msg);
// Debug print of the list to the standard error stream.
void print_internal_plot(MATRIX* m, INTERNAL_PLOT* ip, const char* msg);

// A new zeroed point with its cell array (the point's own allocation),
// tagged or from sat; for the plot operations.
INTERNAL_PLOT* xx_new_internal_plot(int dim, SIMPLE_ALLOC_T* sat, const char* file, int line);
#define new_internal_plot(dim, sat) xx_new_internal_plot((dim), (sat), __FILE__, __LINE__)
