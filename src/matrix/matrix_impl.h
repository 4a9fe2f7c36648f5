// Inside the matrix store: the pieces its files share and that nothing
// outside the folder (its tests excepted) may use.
#pragma once

#include <cstdint>

#include "matrix/matrix.h"

// The close key: one process-wide wake key on which closing sleeps (a token
// finished, a node released, or a mode changed while the queue is empty).
extern char mx_close_key;
// Wakes the close key when matrix_que holds no items.
void _wake_close_key();

// Seconds of the store's clock (last_access, purge and closer ages).
int64_t mx_now();

// The limits of a geometry: dim 1..64, block_size <= 30, pixel sizes >= 0,
// forced levels 0..63, and for the levels the sizes give (or the forced
// number), (levels - 1) * dim_divide[d] + block_size[d] <= 62. dim_divide,
// block_size and pixel_size may each be null (not set). 0 or kMxBadIndex.
int mx_check_limits(int dim, const uint8_t* dim_divide, const uint8_t* block_size, const int64_t* pixel_size,
                    int forced_levels);
// The number of levels the sizes give: forced_levels when non-zero, else
// the most any dimension needs; 0 while a size or dim_divide is missing
// or 0.
int mx_level_count(int dim, const uint8_t* dim_divide, const int64_t* pixel_size, int forced_levels);
// x divided by 2^dd rounding up, for any dd.
int64_t mx_div_up(int64_t x, int dd);

// Points m->geometry at m's fields.
void _sync_matrix_geometry(MATRIX* m);

// Moves m to the front of the matrix ring (last_access = now).
void _touch_matrix(MATRIX* m);
// Takes m out of the ring and frees everything it owns: names, arrays,
// channel descriptions and their defaults, the level rows; its
// environment and scripts are released to the collector. For closing,
// once no node and no token is left.
void _free_matrix(MATRIX* m);

// Puts a token that waited for a matrix back on the worker queue.
void _requeue_matrix_token(MATRIX_TOKEN* t);
