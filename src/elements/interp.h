// Interpolated reads of double and float channels at real-valued
// coordinates through an element-access cache, their derivative estimates,
// and the inverse lookup by Newton iteration built on them.
//
// Cell geometry, at level l along dimension d (dim_divide of the matrix):
// an element of level l is w_d = 2^(l * dim_divide[d]) finest-level units
// wide; a coordinate x_d is truncated toward zero to t_d, the cell origin
// lo_d is t_d rounded down to a multiple of w_d, and hi_d = lo_d + w_d.
// Corner r (0 .. 2^dim - 1) is the element at the cell's index along d when
// bit d of r is 0 and the next one when it is 1; it is read through the
// cache at dim code {l, t_0, ..}, offset by the bits of r. The multilinear
// fold then removes the highest dimension first: for d from dim - 1 down,
// v[k] = (v[k] (hi_d - x_d) + v[k + 2^d] (x_d - lo_d)) / w_d in double, or
// v[k] unchanged when x_d == lo_d (a point on a cell origin gets the
// corner's value bit for bit). All corners of a cell lie in the node that
// holds its origin: a cell whose far corners lie beyond the node's block
// (a node without the extra element of index_hem) cannot be read.
//
// Requests (MX_CACHE_PARAM, elements/cache_access.h). A wanted channel is
// one whose data_ix entry has x below 65535; its value goes to element x
// of output buffer 0, so x must be below the cache's channel count and p
// must be 0. Every read checks its request once, before it reads anything,
// and refuses it (-1, or a null result) unless: the cache's operations
// are installed and its matrix has 1 .. kMxIpMaxDim dimensions; every
// wanted channel is of the read's element type (double or double_v, float
// or float_v) with p == 0 and x below the channel count; the level lies in
// the matrix's levels; every coordinate is finite, in 0 .. 2^62 and inside
// the matrix on that level. Corner reads past a channel's data are refused
// by the cache.
//
// The corner memory. The double reads keep the last cell's corners in an
// MX_USER record hung on the cache's user header, made at the first read
// and kept until the cache drops it (a complete flush) or another user
// replaces it. A read in the same cell and level, whose wanted channels
// were all read with the corners, uses them without reading, but only
// while the cache's generation count is what it was when they were read:
// any fill, write or release of the held node since makes it a miss, so a
// read never sees data older than the node's. The record also holds every
// work area: the reads allocate nothing but the results they return.
//
// Traces (the batch read; corner values under _mx_deb_flag) go to the
// standard error stream.
#pragma once

#include <cstdint>

#include "elements/cache_access.h"

// Most dimensions of an interpolated read: 2^10 corners per cell.
constexpr int kMxIpMaxDim = 10;
// Most corner values (corners x channels) a cache's record holds.
constexpr int64_t kMxIpMaxValues = int64_t{1} << 22;
// Most dimensions of an inverse lookup: its grid search reads 11^dim points
// per pass.
constexpr int kMxNewtonMaxDim = 4;

// One corner's channel vector.
struct MX_IP_WORK {
  double* data;
};

// The corner memory of the double reads, and the work areas of every read,
// on a cache's user header. Made in one tagged allocation.
struct MX_USER {
  MX_USER_HEADER h;            // free_func = free_user_cache_double
  int64_t* point;              // dim + 1: the remembered cell's level, then its origin per dimension
  int64_t* width;              // dim + 1: entry 0 unused, then the cell width per dimension
  MX_IP_WORK* data;            // 2^dim corner vectors of ds_len doubles, channel j at entry j
  double* _data;               // the memory behind them
  int dim;                     // of the cache's matrix when the record was made
  int ds_len;                  // the cache's channel count then
  int valid;                   // the corners hold the remembered cell
  uint64_t generation;         // the cache's generation count when they were read
  uint8_t* have;               // ds_len: 1 for the channels the corners hold
  uint8_t* kind;               // ds_len: 1 double channel, 2 float channel, 0 other
  MX_CACHE_PARAM_IX* read_ix;  // ds_len: corner reads put channel j at slot j
  int32_t* want;               // ds_len: the request's wanted channels, cache order
  float* fdata;                // 2^dim x ds_len: corners of the float reads
  float* fout;                 // 2 x ds_len: values of the float derivative estimate
  double* fold;                // 2 x 2^dim: fold work
};

// A batch of points. On input `data` holds dim arrays of len coordinates
// (array d: coordinate d of every point); on output one array of len
// values per output position.
struct MX_IP_V {
  int len;
  int64_t* levels;             // len levels, or null: the request's inp_level
  double** data;
};

// Non-zero: read_mx_ip_double writes each corner's first values (at most
// three) to the standard error stream. 0 at start; nothing sets it.
extern int _mx_deb_flag;

// Gives the cache an MX_USER (keeping one it already has; a record of
// another user is released first through its free_func). The record, or
// null when the cache's operations are not installed or its shape is out
// of range.
MX_USER* new_user_cache_double(MX_CACHE* c);
// Releases the cache's MX_USER and empties its user header.
void free_user_cache_double(MX_CACHE* c);

// The channels at the real point inp_buf (dim doubles) at level inp_level,
// or at the element p->dc when inp_buf is null; each wanted channel's value
// to element x of data_ptrs[0]. 0, or -1 (nothing written; a failing corner
// read also drops the corner memory).
int read_mx_ip_double(MX_CACHE_PARAM* p);
// A batch: inp_buf is an MX_IP_V of n points, each at its own level (or
// inp_level). Output position q (0 .. L - 1, L = 1 + the largest wanted x)
// gets array q of the values: ret_buf's MX_IP_V when given (len >= n and L
// arrays), else a new MX_IP_V in one block of c's pool stored in ret_buf,
// which the caller gives back with xx_mxc_free. Consecutive points in one
// cell reuse its corners; a corner that cannot be read counts as 0.0.
// Positions without a wanted channel get 0.0. Writes "vec-1", the counts
// "vec-2 n :: c0 c1 c2 c3" (cells read: first point, level changed,
// coordinate below the cell, at or past its end) and "vec-3". 0, or -1 for
// a malformed request.
int read_mx_ip_double_v(MX_CACHE_PARAM* cp);
// Slopes at the point's cell origin by forward differences: a new double
// matrix (dim, count) from c, whose element at i + dim * k is the slope of
// the k-th wanted channel (cache order) along dimension i, the coefficient
// of variable i in equation k of a linear system (elements/algebra.h). The
// level is inp_level also when the point comes from dc. Null when refused.
void* read_mx_ipdiff_double(MX_CACHE_PARAM* p);
// The same, each slope interpolated at the point between the cell's edges
// along its dimension.
void* read_mx_ipdiff_double2(MX_CACHE_PARAM* p);
// The float twin of read_mx_ip_double: inp_buf holds dim floats, channels
// are float, each fold step is computed in double and stored as float. It
// keeps no corner memory.
int read_mx_ip_float(MX_CACHE_PARAM* p);
// Float slopes: along each dimension i the difference of two float reads,
// one with coordinate i at its cell origin and one a cell width further,
// divided by the width in float; a new float matrix (dim, count) from c,
// or null.
void* read_mx_ipdiff_float(MX_CACHE_PARAM* p);
// Writes "str " and len values "%f " and a line end.
void mx_ip_print_values(const char* str, const double* d, int len);

// ---- the inverse lookup
// The request (fields of MX_CACHE_PARAM): c and data_ix as above, with
// exactly dim wanted channels whose x positions are 0 .. dim - 1 in any
// order (the value vector y); ret_buf a double matrix (1, dim), the
// starting point in, the point found out; inp_buf the target y as a
// double matrix (1, dim); inp_level the first step's level (out: the last
// step's); tolerance > 0, the step length under which the search ends at
// level 0; y_tolerance, the distance to the target that ends it after a
// grid search (0: not used); try_max, the step limit (0: none); try_avg,
// the running mean of steps kept between searches; avg_mtx the affine
// model, a double matrix (dim + 1, dim + 1): the system whose variables
// are (x, 1) and right-hand side (y, 1). Out: result_tolerance (the last
// step's length), result_y_tolerance (the best distance of the last grid
// search, -1.0 when it read nothing), newton_status (0 plain steps, 1 the
// interpolated slopes in use, 2 grid searches, 3 given up).
//
// Runs the search: 0, or -1 for a malformed request (newton_status 3,
// nothing else changed). A step whose slopes give no solution retries once
// with the linear part of avg_mtx, then takes the affine model; when that
// has no solution either the search gives up. A search ends as found only
// at level 0 after a step from a point that could be read, or after a grid
// search that came within y_tolerance; it always ends: the level falls
// one per step to 0, where the second grid search ends it.
int matrix_newton_double(MX_CACHE_PARAM* p);
// One step from ret_buf with the slopes by forward differences (detail 0),
// interpolated (1) or none (2, the affine model only); tr is not used.
// The step's length, or -1.0 when no step could be made or the request is
// malformed.
double matrix_newton_double_loop(MX_CACHE_PARAM* p, int detail, double tr);
// Grid search around ret_buf: 11^dim points at offsets -5 .. 5 times a
// spacing of trunc(2 tr / 5) finest-level units; ret_buf moves to the
// nearest to the target; the spacing halves while tolerance <= tr, at most
// 64 times. result_y_tolerance: the last pass's best distance, -1.0 when
// none of its points could be read.
void generate_rand(MX_CACHE_PARAM* p, double tr);
// Writes "str" and each element of ret_buf on its own line.
void print_ret_buf(const char* str, MX_CACHE_PARAM* p);
