// The tagged allocator: every block the program's own code allocates is
// charged to the source position that asked for it, so memory can be
// accounted per site (MemoryStatistics).
//
// Refusals. Code that can answer a failed allocation with an error opens a
// refusal zone (the evaluator, around each call form it evaluates; the
// layer that opens them says through a hook whether the calling thread is
// in one). Inside one, while the thread holds no task lock (task_holds,
// base/lock.h), an allocation that cannot be met throws AllocRefused (a
// std::bad_alloc), which the zone's opener catches; the code between must
// give back what it holds by destructors alone, which the lock rule makes
// true of locks. Anywhere else running out of memory stops the process,
// with a message that says so: bookkeeping that has no way to report it.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

#include "base/lock.h"

// Installs the test of a refusal zone (once, at start-up); without one no
// allocation is refused by a throw.
void set_alloc_zone_hook(bool (*in_zone)());

class AllocRefused : public std::bad_alloc {
 public:
  const char* what() const noexcept override { return "memory"; }
};

// Whether an allocation of the calling thread may be refused by a throw.
bool alloc_refusable();
// An allocation of size bytes at `where` cannot be met: throws AllocRefused
// when refusable, else stops the process saying it is out of memory.
[[noreturn]] void alloc_fail(size_t size, const char* where);

// Returns size bytes (contents not initialised), never null: memory that
// cannot be had is refused or stops the process (above).
void* xx_d_alloc(size_t size, const char* file, int line);
// size * el zeroed bytes; a product that overflows cannot be had either.
void* xx_d_calloc(size_t size, size_t el, const char* file, int line);
// Frees a tagged block. Null is ignored; a damaged header or a second free
// is a fatal stop.
void xx_d_f_ree(void* ptr, const char* file, int line);
// Resizes keeping the contents up to the smaller size and the allocation
// site; null gives a new zeroed block. Null on failure (the old block stays).
void* d_re_alloc(void* ptr, size_t size);
// Moves a live block's accounting to another site.
void xx_change_statistics(void* ptr, const char* file, int line);
// A tagged copy of a zero-terminated text; null for null.
char* xx_copy_str(const char* str, const char* file, int line);

// Size in bytes of a live tagged block.
size_t d_alloc_size(const void* ptr);

// One allocation site in the statistics.
struct MEM_LIST {
  MEM_LIST* next;       // next site (newest first)
  const char* file;     // source file of the site
  int line;             // source line of the site
  size_t size;          // bytes now allocated at that site
  size_t max_next;      // the largest size ever reached at that site
};

// Null gives the first site, a site gives the next one; null at the end.
// Sizes are read without a lock and may be slightly stale.
MEM_LIST* get_mem_debug_list(MEM_LIST* rec);
// Calls fn(site, work) for every site in get_mem_debug_list's order while
// holding the allocator's lock, so the sizes seen are exact. fn must not
// use the tagged allocator (it would wait for the lock it runs under).
void walk_mem_debug_list(void (*fn)(const MEM_LIST* site, void* work), void* work);

// Purge hook record; the matrix store defines one. Registered hooks are
// offered the chance to drop caches.
struct MEM_PURGE_TBL {
  int (*last_access)(unsigned int* ret);
  int (*purge_mem)();
  MEM_PURGE_TBL* next;
};
void set_mem_purge_tbl(MEM_PURGE_TBL* tbl);

// Owns a tagged block and frees it when the owner goes: also when a refusal
// unwinds past it, so a C buffer held across a ZU allocation lives in one.
struct TaggedFree {
  void operator()(void* p) const { xx_d_f_ree(p, __FILE__, __LINE__); }
};
template <class T>
using Tagged = std::unique_ptr<T, TaggedFree>;
// The same for a record that has a free function of its own.
template <auto Free>
struct FreeWith {
  template <class T>
  void operator()(T* p) const {
    Free(p);
  }
};
template <class T, auto Free>
using Owned = std::unique_ptr<T, FreeWith<Free>>;

#define d_alloc(size) xx_d_alloc((size), __FILE__, __LINE__)
#define d_calloc(size, el) xx_d_calloc((size), (el), __FILE__, __LINE__)
#define d_f_ree(ptr) xx_d_f_ree((ptr), __FILE__, __LINE__)
#define copy_str(str) xx_copy_str((str), __FILE__, __LINE__)
#define change_statistics(ptr) xx_change_statistics((ptr), __FILE__, __LINE__)
