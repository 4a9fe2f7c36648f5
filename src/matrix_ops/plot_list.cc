// Plot list utilities: points, copies, accounting, release and the debug
// check and print. A point made here carries its cell array in its own
// allocation; a point whose cells were allocated apart (by another maker)
// is released as well.
#include <algorithm>
#include <cinttypes>
#include <cstring>

#include "base/alloc.h"
#include "base/panic.h"
#include "matrix_ops/plot_field_impl.h"
#include "matrix_ops/plot_impl.h"
#include "stream/stream.h"

namespace {

uint16_t* own_cells(INTERNAL_PLOT* ip) { return reinterpret_cast<uint16_t*>(ip + 1); }

}  // namespace

INTERNAL_PLOT* xx_new_internal_plot(int dim, SIMPLE_ALLOC_T* sat, const char* file, int line) {
  size_t bytes = sizeof(INTERNAL_PLOT) + sizeof(uint16_t) * static_cast<size_t>(dim);
  auto* ip = static_cast<INTERNAL_PLOT*>(xx_fd_alloc(bytes, sat, file, line));
  std::memset(ip, 0, bytes);
  ip->c = own_cells(ip);
  return ip;
}

// ---- the points of a long list

void PointMaker::reserve(size_t bytes) {
  if (!sat_ || static_cast<size_t>(end_ - cur_) >= bytes) return;
  // Blocks of at least kSmpBlockSize bytes are the allocator's own blocks,
  // zeroed; they grow with the list up to 256 KiB.
  size_t block = std::max(next_block_, bytes);
  cur_ = static_cast<char*>(smp_alloc(sat_, static_cast<int>(block)));
  end_ = cur_ + block;
  next_block_ = std::min<size_t>(next_block_ * 2, 256 << 10);
}

void* PointMaker::take(size_t bytes) {
  bytes = rounded(bytes);
  if (!sat_) {
    void* p = xx_d_alloc(bytes, file_, line_);
    std::memset(p, 0, bytes);
    return p;
  }
  reserve(bytes);
  void* p = cur_;
  cur_ += bytes;
  return p;
}

INTERNAL_PLOT* PointMaker::point() {
  auto* ip = static_cast<INTERNAL_PLOT*>(take(point_bytes(dim_)));
  ip->c = own_cells(ip);
  return ip;
}

IP_FIELD* PointMaker::fields(unsigned n) { return static_cast<IP_FIELD*>(take(fields_bytes(n))); }

INTERNAL_PLOT* xx_copy_internal_plot(MATRIX* m, INTERNAL_PLOT* ip, const char* file, int line) {
  int dim = m->p.dim;
  INTERNAL_PLOT* head = nullptr;
  INTERNAL_PLOT** tail = &head;
  for (; ip; ip = ip->next) {
    INTERNAL_PLOT* q = xx_new_internal_plot(dim, nullptr, file, line);
    uint16_t* c = q->c;
    *q = *ip;
    q->next = nullptr;
    q->c = c;
    std::memcpy(c, ip->c, sizeof(uint16_t) * dim);
    if (ip->base) {
      q->base = static_cast<int64_t*>(xx_d_alloc(sizeof(int64_t) * dim, file, line));
      std::memcpy(q->base, ip->base, sizeof(int64_t) * dim);
    }
    q->fields = xx_copy_fields(ip->fields, nullptr, file, line);
    *tail = q;
    tail = &q->next;
  }
  return head;
}

void xx_change_st_internal_plot(INTERNAL_PLOT* ip, const char* file, int line) {
  for (; ip; ip = ip->next) {
    xx_change_statistics(ip, file, line);
    if (ip->c != own_cells(ip)) xx_change_statistics(ip->c, file, line);
    xx_change_st_fields(ip->fields, file, line);
    xx_change_statistics(ip->base, file, line);
  }
}

void free_internal_plot(INTERNAL_PLOT* ip) {
  if (!ip) return;
  free_fields(ip->fields);
  d_f_ree(ip->base);
  if (ip->c != own_cells(ip)) d_f_ree(ip->c);
  d_f_ree(ip);
}

void free_internal_plot_list(INTERNAL_PLOT* ip) {
  while (ip) {
    INTERNAL_PLOT* next = ip->next;
    free_internal_plot(ip);
    ip = next;
  }
}

int get_internal_plot_len(INTERNAL_PLOT* ip) {
  int n = 0;
  for (; ip; ip = ip->next) ++n;
  return n;
}

void check_internal_plot(MATRIX* m, INTERNAL_PLOT* ip, const char* msg) {
  for (; ip; ip = ip->next) {
    if (!ip->fields) continue;
    for (unsigned i = 0, n = ip->fields[0].len; i < n; ++i) {
      auto type = static_cast<uint8_t>(ip->fields[i].type);
      if (fd_stored_type(type)) continue;
      ss_printf("%s %x\n", msg, type);
      er_panic("CHECK");
    }
    if (ip->next && cmp_plot(m, ip->c, ip->next->c) > 0) {
      ss_printf("%s\n", msg);
      er_panic("CHECK2");
    }
  }
}

void print_internal_plot(MATRIX* m, INTERNAL_PLOT* ip, const char* msg) {
  int dim = m->p.dim;
  ss_printf("%s ", msg);
  for (; ip; ip = ip->next) {
    ss_printf("(%x : ", ip->flags);
    for (int d = 0; d < dim; ++d) ss_printf("%x ", ip->c[d]);
    ss_printf(" : ");
    if (ip->base) {
      for (int d = 0; d < dim; ++d) ss_printf("%" PRIx64 " ", static_cast<uint64_t>(ip->base[d]));
    }
    ss_printf(")");
  }
  ss_printf("\n");
}
