// Shared inside src/elements: element traits by type code, unaligned loads
// and stores, vector arithmetic on sizes, and the per-family functions that
// fill the descriptors' slots in init_element_types.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>

#include "elements/element_type.h"
#include "elements/value.h"

namespace mxe {

// Unaligned element access: compiles to plain loads and stores.
template <class T>
inline T load(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class T>
inline void store(void* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

constexpr int64_t kMaxValueBytes = std::numeric_limits<int32_t>::max();
constexpr int kStringvKindBytes = 4;  // the texts' kind after the extents

// Element bytes of a vector type (0 bit_v, 8 string_v); 0 for scalars.
int element_width(const MATRIX_DATA_TYPE* tp);
// Product of n extents in 64 bits; -1 for a negative extent or a product
// above kMaxValueBytes.
int64_t checked_count(const int32_t* ix, int n);
// Bytes of n elements of a vector type (bit_v packed); -1 above the limit.
int64_t element_area(const MATRIX_DATA_TYPE* tp, int64_t count);
// Zero-filled storage without the size checks of xx_atype_alloc's callers,
// optionally left unfilled (`zero` false) when the caller writes every byte.
void* raw_alloc(int64_t size, MX_ATYPE atype, MX_CACHE* c, GC_MARK_FUNC mark, bool zero, const char* file,
                int line);
// A new vector of tp (not string_v) with the rule header, dim and extents
// written; the element area is zero-filled only when `zero`.
void* new_vector(const MATRIX_DATA_TYPE* tp, MX_ATYPE atype, int dim, const int32_t* ix, MX_CACHE* c, bool zero,
                 const char* file, int line);
// Distance from a vector value's start to its first element. The offset
// byte is signed, except in a string vector: its slots are 8-byte aligned
// behind the extents and the texts' kind, 128 bytes in from dim 29 on.
inline int vector_offset(const void* v) {
  const auto* b = static_cast<const uint8_t*>(v);
  return b[1] == MX_TYPE_STRING_V ? b[0] : static_cast<int8_t>(b[0]);
}
// A new string vector with empty slots and texts of kind atype.
void* new_stringv(MX_ATYPE atype, int dim, const int32_t* ix, MX_CACHE* c, const char* file, int line);
// A copy of text in the given kind (2: a collector text).
char* copy_text(const char* text, int kind, const char* file, int line);
void release_text(char* text, int kind);

// The shape of a vector read from outside bytes (stored form or a ZU raw
// value), after every length in it was checked against the bytes given.
struct VectorShape {
  MATRIX_DATA_TYPE* tp;   // the registered vector type of the type byte
  int h;                  // header length as given
  int dim;
  int32_t ix[32];         // extents in host order
  int64_t count;          // elements
  int64_t area;           // bytes of the element area
};
// Checks a numeric, rgb8 or bit vector at p of `size` bytes (size < 0:
// unknown, only the header is checked): size >= 4, a registered vector type
// other than string_v, 0 <= dim <= the type's limit, 4 + 4 * dim <= h <=
// min(127, size), extents >= 0, products without overflow, and h + area ==
// size. `net`: dim and extents are big-endian. 0, or -1 with *out undefined.
int check_vector(const uint8_t* p, int64_t size, bool net, VectorShape* out);

// Families fill their slots of the 28 descriptors.
void fill_value_slots();
void fill_zu_slots();
void fill_stored_slots();
void fill_print_slots();
void fill_pyramid_slots();
void fill_algebra_slots();

// The 28 descriptors in registration order.
extern MATRIX_DATA_TYPE* const kAllTypes[28];

}  // namespace mxe
