// Inside the plot built-ins: holders that free on every path out, the
// switch options, data items and result blocks (plot_ops.cc), shared with
// mxObjID (obj_id.cc).
#pragma once

#include <cstdint>

#include "base/alloc.h"
#include "base/smpalloc.h"
#include "elements/value.h"
#include "matrix/dim_code.h"
#include "matrix_ops/plot_code.h"
#include "zu/value.h"

// Owns what Release frees, on every path out.
template <class T, void (*Release)(T*)>
class Held {
 public:
  Held() = default;
  explicit Held(T* v) : p_(v) {}
  ~Held() { reset(nullptr); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  T* get() const { return p_; }
  T** out() { return &p_; }
  void reset(T* v) {
    if (p_) Release(p_);
    p_ = v;
  }
  T* release() {
    T* v = p_;
    p_ = nullptr;
    return v;
  }

 private:
  T* p_ = nullptr;
};
inline void free_tagged(void* p) { d_f_ree(p); }
using HeldBytes = Held<void, free_tagged>;
using HeldList = Held<INTERNAL_PLOT, free_internal_plot_list>;
// A bump allocator freed with its holder.
struct HeldBump {
  SIMPLE_ALLOC_T sat{};
  HeldBump() = default;
  ~HeldBump() { free_smp(&sat); }
  HeldBump(const HeldBump&) = delete;
  HeldBump& operator=(const HeldBump&) = delete;
};

// A switch option: 0 off or absent, 1 "on", -1 any other text.
int plot_switch(ZU_SYM_FIELD* sf, const char* name);

// The block of a data item (data dim-code block): the record of its
// element 2 (a pointer value marked as a block, or raw bytes, copied),
// freed with the holder when it is a copy.
class ItemBlock {
 public:
  explicit ItemBlock(ZU_SEXP* item);
  ~ItemBlock();
  ItemBlock(const ItemBlock&) = delete;
  ItemBlock& operator=(const ItemBlock&) = delete;
  const MATRIX_ALLOC_BLOCK_PARAM* get() const { return blk_; }

 private:
  MATRIX_ALLOC_BLOCK_PARAM* blk_ = nullptr;
  int copy_ = 0;
};

// The dim code of a data item's element 1 into the caller's
// out[kMxMaxDim + 1]; false when it is no list of dim + 1 members.
bool item_dim_code(MATRIX* m, ZU_SEXP* item, int64_t* out);
// (data dim-code-list block) with a collected copy of the bytes.
ZU_SEXP* plot_block_item(MATRIX* m, const int64_t* dc, const void* bytes, int size);
