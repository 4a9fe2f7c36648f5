// The four field kinds (none, str, int, rgba) and their table. Weighted
// results are formed in 128 bits; one that does not fit 64 bits is refused
// rather than wrapped.
#include <cstring>

#include "base/alloc.h"
#include "base/endian.h"
#include "base/panic.h"
#include "matrix_ops/plot_field_impl.h"
#include "stream/stream.h"
#include "zu/gc.h"

void* xx_fd_alloc(size_t n, SIMPLE_ALLOC_T* sat, const char* file, int line) {
  return sat ? smp_alloc(sat, static_cast<int>(n)) : xx_d_alloc(n, file, line);
}

void fd_trace_refused(unsigned t1, unsigned t2) { ss_printf("MF %x %x\n", t1, t2); }

namespace {

using i128 = __int128;

bool fits64(i128 v) { return v >= INT64_MIN && v <= INT64_MAX; }

void set_null(IP_FIELD* f, unsigned type) {
  f->type = type;
  f->d.str = nullptr;
}

// ---- none

void fd_copy_none(IP_FIELD* d1, IP_FIELD* d2, SIMPLE_ALLOC_T*) { set_null(d1, d2->type); }
int fd_merge_none(IP_FIELD* dest, IP_FIELD*, IP_FIELD*, SIMPLE_ALLOC_T*) {
  set_null(dest, kFdNone);
  return 0;
}
int fd_diff_none(IP_FIELD* dest, IP_FIELD*, IP_FIELD*, SIMPLE_ALLOC_T*) {
  set_null(dest, kFdNone);
  return 0;
}
int fd_add_none(IP_FIELD* dest, IP_FIELD*, IP_FIELD*, SIMPLE_ALLOC_T*) {
  set_null(dest, kFdNone);
  return 0;
}
size_t fd_room_none(const unsigned char*) { return 0; }
unsigned char* fd_place_none(IP_FIELD* dest, unsigned char* p, void*) {
  if (dest) dest->d.str = nullptr;
  return p + 1;
}
unsigned char* fd_to_external_none(IP_FIELD*, unsigned char* p) { return p; }
int fd_size_none(IP_FIELD*) { return 0; }
int fd_cmp_none(IP_FIELD*, IP_FIELD*) { return 0; }

// ---- str

void set_text(IP_FIELD* f, const char* text, SIMPLE_ALLOC_T* sat) {
  f->type = kFdStr;
  f->d.str = sat_copy_str(text, sat);
}

void fd_copy_str(IP_FIELD* d1, IP_FIELD* d2, SIMPLE_ALLOC_T* sat) {
  switch (d2->type) {
    case kFdStr:
      set_text(d1, d2->d.str, sat);
      return;
    case kFdStrInherit:
    case kFdStrErase:
      set_null(d1, d2->type);
      return;
    default:
      er_panic("fd_copy_Str");
  }
}

// An erase on the first side wins; equal texts stay; an inherit field (or
// anything else) cannot be merged.
int fd_merge_str(IP_FIELD* dest, IP_FIELD* s1, IP_FIELD* s2, SIMPLE_ALLOC_T* sat) {
  if (s1->type == kFdStrErase) return set_null(dest, kFdStrErase), 0;
  if (s1->type != kFdStr) return -1;
  if (s2->type == kFdStrErase) return set_null(dest, kFdStrErase), 0;
  if (s2->type != kFdStr) return -1;
  if (std::strcmp(s1->d.str, s2->d.str) == 0) {
    set_text(dest, s1->d.str, sat);
  } else {
    set_null(dest, kFdStrErase);
  }
  return 0;
}

int fd_diff_str(IP_FIELD* dest, IP_FIELD* up, IP_FIELD* down, SIMPLE_ALLOC_T* sat) {
  if (down->type == kFdStrErase && (up->type == kFdStr || up->type == kFdStrErase)) {
    return set_null(dest, kFdStrErase), 0;
  }
  if (down->type != kFdStr) return -1;
  if (up->type == kFdStr && std::strcmp(up->d.str, down->d.str) == 0) return set_null(dest, kFdStrInherit), 0;
  if (up->type != kFdStr && up->type != kFdStrErase) return -1;
  set_text(dest, down->d.str, sat);
  return 0;
}

int fd_add_str(IP_FIELD* dest, IP_FIELD* up, IP_FIELD* diff, SIMPLE_ALLOC_T* sat) {
  if (up->type != kFdStr && up->type != kFdStrErase) return -1;
  switch (diff->type) {
    case kFdStr:
      set_text(dest, diff->d.str, sat);
      return 0;
    case kFdStrInherit:
      if (up->type == kFdStr) {
        set_text(dest, up->d.str, sat);
      } else {
        set_null(dest, kFdStrErase);
      }
      return 0;
    case kFdStrErase:
      set_null(dest, kFdStrErase);
      return 0;
    default:
      return -1;
  }
}

size_t fd_room_str(const unsigned char* p) {
  return *p == kFdStr ? std::strlen(reinterpret_cast<const char*>(p + 1)) + 1 : 0;
}

unsigned char* fd_place_str(IP_FIELD* dest, unsigned char* p, void* room) {
  switch (*p) {
    case kFdStr: {
      size_t n = std::strlen(reinterpret_cast<const char*>(p + 1));
      if (dest) {
        std::memcpy(room, p + 1, n + 1);
        dest->d.str = static_cast<char*>(room);
      }
      return p + 2 + n;
    }
    case kFdStrInherit:
    case kFdStrErase:
      if (dest) dest->d.str = nullptr;
      return p + 1;
    default:
      er_panic("fd_place_str");
  }
}

unsigned char* fd_to_external_str(IP_FIELD* src, unsigned char* p) {
  switch (src->type) {
    case kFdStr: {
      size_t n = std::strlen(src->d.str) + 1;
      std::memcpy(p, src->d.str, n);
      return p + n;
    }
    case kFdStrInherit:
    case kFdStrErase:
      return p;
    default:
      er_panic("fd_to_external_str");
  }
}

int fd_size_str(IP_FIELD* d1) {
  switch (d1->type) {
    case kFdStr:
      return static_cast<int>(std::strlen(d1->d.str)) + 1;
    case kFdStrInherit:
    case kFdStrErase:
      return 0;
    default:
      er_panic("fd_size_str");
  }
}

int sign(int v) { return (v > 0) - (v < 0); }

int fd_cmp_str(IP_FIELD* d1, IP_FIELD* d2) {
  if (d1->type != d2->type) return d1->type < d2->type ? -1 : 1;
  return d1->type == kFdStr ? sign(std::strcmp(d1->d.str, d2->d.str)) : 0;
}

void fd_gc_str(FD_OPT* opt) { gc_mark(opt->str.convert, gc_qn_sexp); }

// ---- int

int int_words(unsigned type) { return type == kFdIntAvg ? 2 : 1; }

void set_ints(IP_FIELD* f, unsigned type, int64_t v, int64_t count, SIMPLE_ALLOC_T* sat) {
  f->type = type;
  f->d.i = static_cast<int64_t*>(fd_alloc(sizeof(int64_t) * int_words(type), sat));
  f->d.i[0] = v;
  if (type == kFdIntAvg) f->d.i[1] = count;
}

void fd_copy_int(IP_FIELD* d1, IP_FIELD* d2, SIMPLE_ALLOC_T* sat) {
  set_ints(d1, d2->type, d2->d.i[0], int_words(d2->type) == 2 ? d2->d.i[1] : 0, sat);
}

int fd_merge_int(IP_FIELD* dest, IP_FIELD* s1, IP_FIELD* s2, SIMPLE_ALLOC_T* sat) {
  if (s1->type != s2->type) return -1;
  int64_t a = s1->d.i[0], b = s2->d.i[0];
  switch (s1->type) {
    case kFdIntAdd: {
      i128 sum = i128{a} + b;
      if (!fits64(sum)) return -1;
      set_ints(dest, kFdIntAdd, static_cast<int64_t>(sum), 0, sat);
      return 0;
    }
    case kFdIntAvg: {
      i128 count = i128{s1->d.i[1]} + s2->d.i[1];
      i128 weighted = i128{a} * s1->d.i[1] + i128{b} * s2->d.i[1];
      i128 v = count != 0 ? weighted / count : weighted / 2;
      if (!fits64(count) || !fits64(v)) return -1;
      set_ints(dest, kFdIntAvg, static_cast<int64_t>(v), static_cast<int64_t>(count), sat);
      return 0;
    }
    case kFdIntMax:
      set_ints(dest, kFdIntMax, b > a ? b : a, 0, sat);
      return 0;
    case kFdIntMin:
      set_ints(dest, kFdIntMin, b < a ? b : a, 0, sat);
      return 0;
    default:
      return -1;
  }
}

// The finer value travels as it is, except the average, which keeps its
// difference to the coarse value and the finer weight.
int fd_diff_int(IP_FIELD* dest, IP_FIELD* up, IP_FIELD* down, SIMPLE_ALLOC_T* sat) {
  if (up->type != down->type) return -1;
  switch (down->type) {
    case kFdIntAvg: {
      i128 v = i128{down->d.i[0]} - up->d.i[0];
      if (!fits64(v)) return -1;
      set_ints(dest, kFdIntAvg, static_cast<int64_t>(v), down->d.i[1], sat);
      return 0;
    }
    case kFdIntAdd:
    case kFdIntMax:
    case kFdIntMin:
      set_ints(dest, down->type, down->d.i[0], 0, sat);
      return 0;
    default:
      return -1;
  }
}

int fd_add_int(IP_FIELD* dest, IP_FIELD* up, IP_FIELD* diff, SIMPLE_ALLOC_T* sat) {
  if (up->type != diff->type) return -1;
  switch (diff->type) {
    case kFdIntAvg: {
      i128 v = i128{up->d.i[0]} + diff->d.i[0];
      if (!fits64(v)) return -1;
      set_ints(dest, kFdIntAvg, static_cast<int64_t>(v), diff->d.i[1], sat);
      return 0;
    }
    case kFdIntAdd:
    case kFdIntMax:
    case kFdIntMin:
      set_ints(dest, diff->type, diff->d.i[0], 0, sat);
      return 0;
    default:
      return -1;
  }
}

int stored_int_words(unsigned type) {
  switch (type) {
    case kFdIntAdd:
    case kFdIntMax:
    case kFdIntMin:
      return 1;
    case kFdIntAvg:
      return 2;
    default:
      er_panic("fd_merge_int");
  }
}

size_t fd_room_int(const unsigned char* p) { return sizeof(int64_t) * static_cast<size_t>(stored_int_words(*p)); }

unsigned char* fd_place_int(IP_FIELD* dest, unsigned char* p, void* room) {
  int n = stored_int_words(*p);
  if (dest) {
    dest->type = *p;
    dest->d.i = static_cast<int64_t*>(room);
    for (int k = 0; k < n; ++k) dest->d.i[k] = static_cast<int64_t>(load_be64(p + 1 + 8 * k));
  }
  return p + 1 + 8 * n;
}

unsigned char* fd_to_external_int(IP_FIELD* src, unsigned char* p) {
  int n = stored_int_words(src->type);
  for (int k = 0; k < n; ++k) store_be64(p + 8 * k, static_cast<uint64_t>(src->d.i[k]));
  return p + 8 * n;
}

int fd_size_int(IP_FIELD* d1) { return 8 * stored_int_words(d1->type); }

int fd_cmp_int(IP_FIELD* d1, IP_FIELD* d2) {
  int64_t a = d1->d.i[0], b = d2->d.i[0];
  return (a > b) - (a < b);
}

// ---- rgba

void set_rgba(IP_FIELD* f, const unsigned char* rgba, int64_t count, SIMPLE_ALLOC_T* sat) {
  f->type = kFdRgba;
  f->d.rgba = static_cast<FIELD_RGBA_T*>(fd_alloc(sizeof(FIELD_RGBA_T), sat));
  std::memcpy(f->d.rgba->rgba, rgba, 4);
  f->d.rgba->count = count;
}

void fd_copy_rgba(IP_FIELD* d1, IP_FIELD* d2, SIMPLE_ALLOC_T* sat) {
  set_rgba(d1, d2->d.rgba->rgba, d2->d.rgba->count, sat);
  d1->type = d2->type;
}

// Each colour byte is the weighted mean, taken as unsigned 64-bit values
// (half the weighted sum when the weights cancel out).
int fd_merge_rgba(IP_FIELD* dest, IP_FIELD* s1, IP_FIELD* s2, SIMPLE_ALLOC_T* sat) {
  if (s1->type != s2->type) return -1;
  const FIELD_RGBA_T& a = *s1->d.rgba;
  const FIELD_RGBA_T& b = *s2->d.rgba;
  i128 count = i128{a.count} + b.count;
  if (!fits64(count)) return -1;
  unsigned char out[4];
  for (int k = 0; k < 4; ++k) {
    i128 weighted = i128{a.rgba[k]} * a.count + i128{b.rgba[k]} * b.count;
    if (!fits64(weighted)) return -1;
    auto w = static_cast<uint64_t>(static_cast<int64_t>(weighted));
    out[k] = static_cast<unsigned char>(count != 0 ? w / static_cast<uint64_t>(static_cast<int64_t>(count)) : w >> 1);
  }
  set_rgba(dest, out, static_cast<int64_t>(count), sat);
  dest->type = s1->type;
  return 0;
}

int fd_diff_rgba(IP_FIELD* dest, IP_FIELD* up, IP_FIELD* down, SIMPLE_ALLOC_T* sat) {
  if (up->type != down->type) return -1;
  fd_copy_rgba(dest, down, sat);
  return 0;
}

int fd_add_rgba(IP_FIELD* dest, IP_FIELD* up, IP_FIELD* diff, SIMPLE_ALLOC_T* sat) {
  if (up->type != diff->type) return -1;
  fd_copy_rgba(dest, diff, sat);
  return 0;
}

size_t fd_room_rgba(const unsigned char*) { return sizeof(FIELD_RGBA_T); }

unsigned char* fd_place_rgba(IP_FIELD* dest, unsigned char* p, void* room) {
  if (dest) {
    dest->type = *p;
    dest->d.rgba = static_cast<FIELD_RGBA_T*>(room);
    std::memcpy(dest->d.rgba->rgba, p + 1, 4);
    dest->d.rgba->count = static_cast<int64_t>(load_be64(p + 5));
  }
  return p + 13;
}

unsigned char* fd_to_external_rgba(IP_FIELD* src, unsigned char* p) {
  std::memcpy(p, src->d.rgba->rgba, 4);
  store_be64(p + 4, static_cast<uint64_t>(src->d.rgba->count));
  return p + 12;
}

int fd_size_rgba(IP_FIELD*) { return 12; }

int fd_cmp_rgba(IP_FIELD* d1, IP_FIELD* d2) {
  int r = std::memcmp(d1->d.rgba->rgba, d2->d.rgba->rgba, 4);
  return sign(r);
}

// The table's merge and diff slots give tagged values.
template <int (*F)(IP_FIELD*, IP_FIELD*, IP_FIELD*, SIMPLE_ALLOC_T*)>
int tagged(IP_FIELD* dest, IP_FIELD* a, IP_FIELD* b) {
  return F(dest, a, b, nullptr);
}

// The table's reading slot: the room for the value from sat (else tagged),
// then the value read into it.
template <size_t (*Room)(const unsigned char*), unsigned char* (*Place)(IP_FIELD*, unsigned char*, void*)>
unsigned char* to_internal(IP_FIELD* dest, unsigned char* p, SIMPLE_ALLOC_T* sat) {
  size_t n = dest ? Room(p) : 0;
  return Place(dest, p, n ? fd_alloc(n, sat) : nullptr);
}

}  // namespace

const FIELD_TYPE field_type_tbl[5] = {
    {},
    {fd_initial_none, fd_copy_none, tagged<fd_merge_none>, tagged<fd_diff_none>, fd_add_none,
     to_internal<fd_room_none, fd_place_none>,
     fd_to_external_none, fd_size_none, fd_cmp_none, nullptr},
    {fd_initial_str, fd_copy_str, tagged<fd_merge_str>, tagged<fd_diff_str>, fd_add_str,
     to_internal<fd_room_str, fd_place_str>,
     fd_to_external_str, fd_size_str, fd_cmp_str, fd_gc_str},
    {fd_initial_int, fd_copy_int, tagged<fd_merge_int>, tagged<fd_diff_int>, fd_add_int,
     to_internal<fd_room_int, fd_place_int>,
     fd_to_external_int, fd_size_int, fd_cmp_int, nullptr},
    {fd_initial_rgba, fd_copy_rgba, tagged<fd_merge_rgba>, tagged<fd_diff_rgba>, fd_add_rgba,
     to_internal<fd_room_rgba, fd_place_rgba>,
     fd_to_external_rgba, fd_size_rgba, fd_cmp_rgba, nullptr},
};

const FIELD_ARITH fd_arith_tbl[5] = {
    {},
    {fd_merge_none, fd_diff_none, fd_room_none, fd_place_none},
    {fd_merge_str, fd_diff_str, fd_room_str, fd_place_str},
    {fd_merge_int, fd_diff_int, fd_room_int, fd_place_int},
    {fd_merge_rgba, fd_diff_rgba, fd_room_rgba, fd_place_rgba},
};
