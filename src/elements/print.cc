// Text forms of element values and the element traces.
#include "elements/print.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "base/alloc.h"
#include "base/tempbuf.h"
#include "base/zutime.h"
#include "elements/element_impl.h"
#include "elements/geometry.h"
#include "elements/value.h"
#include "stream/stream.h"

using namespace mxe;

namespace {

constexpr size_t kWorkBuffer = 1000;

enum class Arg { kInt, kLongLong, kDouble };

// A caller's format is used only when it has exactly one conversion and
// that conversion takes the argument the type passes; otherwise the type's
// default format is used, so a format can never read a missing argument.
bool format_fits(const char* fmt, Arg arg) {
  int conversions = 0;
  for (const char* p = fmt; *p; ++p) {
    if (*p != '%') continue;
    if (p[1] == '%') {
      ++p;
      continue;
    }
    ++p;
    while (*p && std::strchr("-+ #0'", *p)) ++p;
    while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
    if (*p == '.') {
      ++p;
      while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
    }
    const char* len_start = p;
    while (*p && std::strchr("hlLqjzt", *p)) ++p;
    std::string_view len(len_start, static_cast<size_t>(p - len_start));
    char c = *p;
    if (!c) return false;
    bool ok = false;
    switch (arg) {
      case Arg::kInt: ok = (len.empty() || len == "h" || len == "hh") && std::strchr("diouxXc", c); break;
      case Arg::kLongLong: ok = len == "ll" && std::strchr("diouxX", c); break;
      case Arg::kDouble: ok = (len.empty() || len == "l") && std::strchr("eEfFgGaA", c); break;
    }
    if (!ok || ++conversions > 1) return false;
  }
  return conversions == 1;
}

template <class V>
void print_value(MATRIX_STRING_BUFFER* b, V v, Arg arg, const char* def, const char* fmt) {
  char buf[kWorkBuffer];
  const char* f = fmt && format_fits(fmt, arg) ? fmt : def;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::snprintf(buf, sizeof buf, f, v);
#pragma GCC diagnostic pop
  out_matrix_string_buffer(b, buf);
}

template <class T>
void num_print(const MATRIX_DATA_TYPE*, MATRIX_STRING_BUFFER* b, const void* d, const char* fmt) {
  T v = load<T>(d);
  if constexpr (std::is_floating_point_v<T>) print_value(b, static_cast<double>(v), Arg::kDouble, "%f", fmt);
  else if constexpr (sizeof(T) == 8 && std::is_signed_v<T>) print_value(b, static_cast<long long>(v), Arg::kLongLong, "%lli", fmt);
  else if constexpr (sizeof(T) == 8) print_value(b, static_cast<unsigned long long>(v), Arg::kLongLong, "%llu", fmt);
  else if constexpr (std::is_signed_v<T>) print_value(b, static_cast<int>(v), Arg::kInt, "%i", fmt);
  else print_value(b, static_cast<unsigned>(v), Arg::kInt, "%u", fmt);
}

void vector_head(MATRIX_STRING_BUFFER* b, const MATRIX_DH_SET& dh, int dim) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "[dim:%i ", dim);
  out_matrix_string_buffer(b, buf);
  for (int i = 0; i < dim; ++i) {
    std::snprintf(buf, sizeof buf, "%i ", load<int32_t>(dh.ix + i));
    out_matrix_string_buffer(b, buf);
  }
  out_matrix_string_buffer(b, ":::\n");
}

// The separator after element number i (from 0) of n.
const char* separator(int64_t i, int64_t n, int dim, int32_t row) {
  if (dim <= 1 || row <= 0) return " ";
  return (i + 1) % row == 0 && i + 1 != n ? " /\n" : " ";
}

const char* const kScalarNames[16] = {"unknown", "bit",    "int8",   "int16", "int32",  "int64",  "uint8",  "uint16",
                                      "uint32",  "uint64", "float",  "double", "rgb8",  "block",  "string", "sexp"};

}  // namespace

// ---- the string buffer

void out_matrix_string_buffer(MATRIX_STRING_BUFFER* b, const char* str) {
  if (!b || !str) return;
  auto* piece = static_cast<MATRIX_STRING_BUFFER*>(d_calloc(sizeof(MATRIX_STRING_BUFFER), 1));
  piece->data = copy_str(str);
  if (b->tail) b->tail->next = piece;
  else b->next = piece;
  b->tail = piece;
}

char* get_matrix_string_buffer(MATRIX_STRING_BUFFER* b) {
  int64_t total = 0;
  for (MATRIX_STRING_BUFFER* p = b->next; p; p = p->next) total += p->len = static_cast<int64_t>(std::strlen(p->data));
  auto* out = static_cast<char*>(d_alloc(static_cast<size_t>(total) + 1));
  char* at = out;
  for (MATRIX_STRING_BUFFER* p = b->next; p; p = p->next) {
    std::memcpy(at, p->data, static_cast<size_t>(p->len));
    at += p->len;
  }
  *at = 0;
  return out;
}

void free_matrix_string_buffer(MATRIX_STRING_BUFFER* b) {
  for (MATRIX_STRING_BUFFER* p = b->next; p;) {
    MATRIX_STRING_BUFFER* n = p->next;
    d_f_ree(p->data);
    d_f_ree(p);
    p = n;
  }
  b->next = b->tail = nullptr;
}

// ---- printers

void mxt_print_bit(const MATRIX_DATA_TYPE*, MATRIX_STRING_BUFFER* b, const void* d, const char* fmt) {
  print_value(b, static_cast<int>(*static_cast<const int8_t*>(d)), Arg::kInt, "%i", fmt);
}

void mxt_print_string(const MATRIX_DATA_TYPE*, MATRIX_STRING_BUFFER* b, const void* d, const char*) {
  out_matrix_string_buffer(b, d ? static_cast<const char*>(d) : "");
}

void mxt_print_vector(const MATRIX_DATA_TYPE* tp, MATRIX_STRING_BUFFER* b, const void* d, const char* fmt) {
  MATRIX_DH_SET dh;
  if (!get_matrix_dh_set(&dh, d) || !tp->parent || !tp->parent->print_data) return;
  int dim = load<int16_t>(&dh.hd->dim);
  vector_head(b, dh, dim);
  int32_t row = dim > 0 ? load<int32_t>(dh.ix) : 0;
  auto width = static_cast<int64_t>(element_width(tp));
  for (int64_t i = 0; i < dh.total_element; ++i) {
    tp->parent->print_data(tp->parent, b, dh.offset + i * width, fmt);
    out_matrix_string_buffer(b, separator(i, dh.total_element, dim, row));
  }
  out_matrix_string_buffer(b, "]");
}

void mxt_print_string_vector(const MATRIX_DATA_TYPE*, MATRIX_STRING_BUFFER* b, const void* d, const char*) {
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, d);
  int dim = load<int16_t>(&dh.hd->dim);
  vector_head(b, dh, dim);
  int32_t row = dim > 0 ? load<int32_t>(dh.ix) : 0;
  char* const* slots = mxt_stringv_slots(const_cast<void*>(d));
  for (int64_t i = 0; i < dh.total_element; ++i) {
    out_matrix_string_buffer(b, slots[i] ? slots[i] : "");
    if (dim != 1) out_matrix_string_buffer(b, separator(i, dh.total_element, dim, row));
  }
  out_matrix_string_buffer(b, "]");
}

const char* mxt_print(const MATRIX_DATA_TYPE* tp, const void* d, const char* fmt) {
  MATRIX_STRING_BUFFER b{};
  if (tp && tp->print_data && d) tp->print_data(tp, &b, d, fmt);
  char* out = get_matrix_string_buffer(&b);
  free_matrix_string_buffer(&b);
  set_buffer(out);
  return out;
}

// ---- traces

void xx_type_debug(const char* msg, const MATRIX_DATA_TYPE* tp, const char* fn, int ln, unsigned int* tim) {
  unsigned int now = get_zutime();
  if (tim) {
    if (*tim == now) return;
    *tim = now;
  }
  if (msg && *msg) ss_printf("%s(%s)", msg, fn);
  else ss_printf("(%s+%i)", fn, ln);
  if (!tp) {
    ss_printf(" :: zero\n");
    return;
  }
  ss_printf(" :: %s|%s\n", kScalarNames[mx_scalar_code(tp->type)], mx_is_vector_code(tp->type) ? "VECTOR" : "SCOLOR");
}

void check_bittest(const MATRIX_GEOMETRY* m, const int64_t* dim_code, const void* d, const char* msg) {
  MATRIX_DH_SET dh;
  if (!d || !get_matrix_dh_set(&dh, d)) return;
  int64_t zero = 0, one = 0, other = 0;
  if (dh.tp == &mx_type_bit_v) {
    for (int64_t i = 0; i < dh.total_element; ++i) ++((dh.offset[i / 8] >> (i % 8) & 1) ? one : zero);
  } else {
    for (int64_t i = 0; i < dh.total_element; ++i) ++(dh.offset[i] == 0 ? zero : dh.offset[i] == 1 ? one : other);
  }
  ss_printf("%s(%s) z-%i o-%i oth-%i total=%i\n", msg ? msg : "", mx_dim_code_text(m, dim_code),
            static_cast<int>(zero), static_cast<int>(one), static_cast<int>(other),
            static_cast<int>(zero + one + other));
}

namespace mxe {

void fill_print_slots() {
  struct Row {
    MATRIX_DATA_TYPE* tp;
    decltype(MATRIX_DATA_TYPE::print_data) print;
  };
  const Row rows[] = {
      {&mx_type_int8, num_print<int8_t>},     {&mx_type_int16, num_print<int16_t>},
      {&mx_type_int32, num_print<int32_t>},   {&mx_type_int64, num_print<int64_t>},
      {&mx_type_uint8, num_print<uint8_t>},   {&mx_type_uint16, num_print<uint16_t>},
      {&mx_type_uint32, num_print<uint32_t>}, {&mx_type_uint64, num_print<uint64_t>},
      {&mx_type_float, num_print<float>},     {&mx_type_double, num_print<double>},
      {&mx_type_bit, mxt_print_bit},          {&mx_type_string, mxt_print_string},
      {&mx_type_string_v, mxt_print_string_vector},
  };
  for (const Row& r : rows) r.tp->print_data = r.print;
  for (MATRIX_DATA_TYPE* tp : kAllTypes) {
    bool numeric_vector = mx_is_vector_code(tp->type) && tp->parent && tp->parent->print_data &&
                          tp != &mx_type_string_v && tp != &mx_type_bit_v;
    if (numeric_vector) tp->print_data = mxt_print_vector;
  }
}

}  // namespace mxe
