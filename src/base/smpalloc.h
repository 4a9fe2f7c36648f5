// A bump allocator for many small blocks that die together: single blocks
// are never freed; the whole allocator is freed at once.
#pragma once

constexpr int kSmpBlockSize = 1024;

struct SMP_BLOCK;

struct SIMPLE_ALLOC_T {
  SMP_BLOCK* blk;    // newest block first, chained to the older ones
  char* heap_ptr;    // next free byte of the newest block
  void* last_alloc;  // the most recent result
};

// Makes sat empty (all members 0) without freeing anything.
void smp_init(SIMPLE_ALLOC_T* sat);
// size bytes, zeroed and 8-aligned, rounded up to a multiple of 8 (at least
// 8); a new block is chained when the newest is full. A size above 1023
// gets a block of its own, chained behind the newest so that the small
// allocations go on filling it, and freed with the rest. A negative size
// is a broken invariant and stops the process.
void* smp_alloc(SIMPLE_ALLOC_T* sat, int size);
// Frees every block and makes sat empty again.
void free_smp(SIMPLE_ALLOC_T* sat);
