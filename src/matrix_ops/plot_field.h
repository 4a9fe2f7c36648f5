// Plot fields: the typed attributes of a plot point, the four field kinds
// with their operations (a table indexed by type byte >> 4), the field
// descriptions from which fields are made out of ZU values or text cells,
// and the operations on whole field arrays.
//
// A field array is a contiguous array of IP_FIELD; its first element's
// `len` holds the number of elements (an array read from plot code may hold
// 0 and still has one element). The array and every value belong to the
// point that holds them: all from the tagged allocator, or all from one
// SIMPLE_ALLOC_T handed to an operation (never freed one by one).
//
// Arrays in memory are made by this family, by the plot-code reader (which
// checks every stored byte first) or by `initial`; a type byte that a kind
// does not know there is a broken invariant and stops the process. Two
// fields that cannot be combined (kinds or int type bytes that disagree, an
// inherit field met by a merge, a weighted result beyond 64 bits) are
// refused: the operation answers -1 (or null with *errp = -1) and keeps
// nothing it made.
//
// No locks: a field array belongs to one plot list, whose owner serialises
// access. Field descriptions are collected records of the agent's field
// built-in; `initial` and the mark functions need the memory lock / run in
// the collector as any ZU code.
#pragma once

#include <cstdint>

#include "base/smpalloc.h"
#include "text/codemethod.h"
#include "zu/value.h"

struct MATRIX;

// ---- type bytes: the high nibble is the kind (row of field_type_tbl)
constexpr uint8_t kFdNone = 0x10;
constexpr uint8_t kFdStr = 0x20;
constexpr uint8_t kFdStrInherit = 0x21;
constexpr uint8_t kFdStrErase = 0x22;
constexpr uint8_t kFdIntCoord = 0x30;  // made by initial only, never stored
constexpr uint8_t kFdIntAdd = 0x31;
constexpr uint8_t kFdIntAvg = 0x32;    // value and weight
constexpr uint8_t kFdIntMax = 0x33;
constexpr uint8_t kFdIntMin = 0x34;
constexpr uint8_t kFdRgba = 0x40;      // colour and weight

// Input forms of an int description (FD_INT_OPT.type).
constexpr int kFditInt = 1;
constexpr int kFditFloat = 2;
constexpr int kFditDd = 3;
constexpr int kFditDdmmss = 4;

// 1 for the nine type bytes that plot code stores.
bool fd_stored_type(uint8_t type);

struct FIELD_RGBA_T {
  unsigned char rgba[4];  // R, G, B, A
  int64_t count;          // the weight: how many samples the colour stands for
};

struct IP_FIELD {
  unsigned type : 8;  // type byte
  unsigned len : 24;  // first element: the number of elements of the array
  union {
    char* str;
    int64_t* i;           // one integer; 0x32: value then count
    FIELD_RGBA_T* rgba;
  } d;                    // null where the type carries no value
};
static_assert(sizeof(unsigned) == 4);

union FD_OPT;

// ---- field descriptions (collected records made by the field built-in)
struct FD_OPT_HEADER {
  FD_OPT* next;        // next description of the list
  int csv_label;       // input column feeding this field, -1 none
  int dim;             // coordinate dimension fed by it, -1 none
  int target_label;    // field number given to it, -1 none
  uint8_t merge_type;  // type byte of the fields made from it
  ZU_SEXP* init_sexp;  // initial value, or null
};
struct FD_NONE_OPT {
  FD_OPT_HEADER h;
};
struct FD_STR_OPT {
  FD_OPT_HEADER h;
  ZU_SEXP* convert;    // expression applied to each input value, or null
  CODE_METHOD* cm;     // encoding of the stored text
};
struct FD_INT_OPT {
  FD_OPT_HEADER h;
  int type;            // input form, kFditInt .. kFditDdmmss
  double reso;         // scale
  int64_t offset;      // added after scaling
  int64_t count;       // weight of a new average field
};
struct FD_RGBA_OPT {
  FD_OPT_HEADER h;
  int64_t count;       // weight of a new colour field
};
union FD_OPT {
  FD_OPT_HEADER h;
  FD_NONE_OPT none;
  FD_STR_OPT str;
  FD_INT_OPT integer;
  FD_RGBA_OPT rgba;
};
// The handle scripts hold on a description list.
struct FD_OPT_PTR {
  FD_OPT* opt;     // the list, ordered by csv_label
  MATRIX* m;
  int last_label;
  int startline;
};

// ---- the kinds
// initial: target null parses the description list `data` (a ZU list) into
// opt (0 or -1..-4, -9); target given makes target's value from data (flag
// 0: a ZU value, else a wide text) and returns 0, -1, -2, -5..-9 or
// (int)0x80030806. copy/add allocate from sat when given, else tagged;
// merge/diff/add answer 0, or -1 when refused (dest then holds nothing).
struct FIELD_TYPE {
  int (*initial)(IP_FIELD* target, void* data, FD_OPT* opt, int flag);
  void (*copy)(IP_FIELD* d1, IP_FIELD* d2, SIMPLE_ALLOC_T* sat);
  int (*merge)(IP_FIELD* dest, IP_FIELD* src1, IP_FIELD* src2);
  int (*diff)(IP_FIELD* dest, IP_FIELD* up, IP_FIELD* down);
  int (*add)(IP_FIELD* dest, IP_FIELD* up, IP_FIELD* diff, SIMPLE_ALLOC_T* sat);
  // Reads the field whose type byte is at p; returns the position after it
  // (dest null: only skips). The caller has set dest's type byte.
  unsigned char* (*to_internal)(IP_FIELD* dest, unsigned char* p, SIMPLE_ALLOC_T* sat);
  // Writes the bytes after the type byte; returns the position after them.
  unsigned char* (*to_external)(IP_FIELD* src, unsigned char* p);
  int (*size)(IP_FIELD* d1);
  int (*cmp)(IP_FIELD* d1, IP_FIELD* d2);
  void (*gc)(FD_OPT* opt);
};

// Rows: 0 empty, 1 none, 2 str, 3 int, 4 rgba. Row and slot order are an
// interface of the agent's field built-ins.
extern const FIELD_TYPE field_type_tbl[5];

// The row of a type byte, or null when its kind has none.
inline const FIELD_TYPE* fd_row(unsigned type) {
  unsigned k = type >> 4;
  return k >= 1 && k <= 4 ? &field_type_tbl[k] : nullptr;
}

// ---- field arrays
// A copy of fd (null for null): the array and values from sat when given,
// else tagged under the site.
IP_FIELD* xx_copy_fields(IP_FIELD* fd, SIMPLE_ALLOC_T* sat, const char* file, int line);
#define copy_fields(fd, sat) xx_copy_fields((fd), (sat), __FILE__, __LINE__)
// Moves the accounting of the array and its values to the site.
void xx_change_st_fields(IP_FIELD* fd, const char* file, int line);
#define change_st_fields(fd) xx_change_st_fields((fd), __FILE__, __LINE__)
// Frees the values and the array (tagged arrays only); null is ignored.
void free_fields(IP_FIELD* fd);
// The fields of one point replacing two (tagged). Sets 0x08 in *flags when
// both arrays were present. Null when both are null, and null with
// *errp = -1 (when given) when a pair is refused; "MF %x %x\n" names it.
IP_FIELD* merge_fields(unsigned char* flags, IP_FIELD* fd1, IP_FIELD* fd2, int* errp = nullptr);
// The fields that, added to the coarser fields up, give down (tagged).
// Null for a null down; null with *errp = -1 when refused.
IP_FIELD* diff_fields(IP_FIELD* down, IP_FIELD* up, int* errp = nullptr);
// A copy of str from sat when given, else tagged; null for null.
char* sat_copy_str(const char* str, SIMPLE_ALLOC_T* sat);
// Packed degrees-minutes-seconds DDD*10000 + MM*100 + SS (sign kept apart)
// to seconds DDD*3600 + MM*60 + SS; the float form keeps the fraction.
// Minutes or seconds of 60 or more, and magnitudes beyond 64 bits, set
// *errp to -7 (when given) and give 0.
int64_t ddmmss_int(int64_t d, int* errp = nullptr);
double ddmmss_float(double d, int* errp = nullptr);

// ---- collector marks of the descriptions
void gc_fd_opt(void* p);      // FD_OPT*: the list along `next`
void gc_fd_opt_ptr(void* p);  // FD_OPT_PTR*
