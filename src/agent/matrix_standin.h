// STAND-IN: the matrix store is not built yet. These are its start-up,
// close-all and collector operations with their final signatures; the
// matrix store replaces this header and matrix_standin.cc with its own.
#pragma once

// Starts the matrix store (here: only its collector lock).
void init_matrix();
// Closes every open matrix, writing what is dirty (here: none is open).
void close_all_matrix();
// The matrix store's collector lock (nothing before init_matrix) and the
// marking of its values (here: none).
void gc_matrix_lock();
void gc_matrix();
void gc_matrix_unlock();
