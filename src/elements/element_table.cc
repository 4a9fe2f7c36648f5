// The 28 descriptors and the table they are registered in. Codes, names
// and parents are constant data here; each family of slots fills its own
// slots once in init_element_types.
#include <cstring>
#include <mutex>

#include "elements/element_impl.h"
#include "elements/element_type.h"
#include "elements/value_mode.h"

namespace {

constexpr MATRIX_DATA_TYPE descriptor(int code, const char* name, MATRIX_DATA_TYPE* parent) {
  MATRIX_DATA_TYPE t{};
  t.type = code;
  t.type_name = name;
  t.parent = parent;
  return t;
}

}  // namespace

constinit MATRIX_DATA_TYPE mx_type_bit = descriptor(MX_TYPE_BIT, "bit", nullptr);
constinit MATRIX_DATA_TYPE mx_type_bit_v = descriptor(MX_TYPE_BIT + MX_TYPE_VECTOR, "bit_v", &mx_type_bit);
constinit MATRIX_DATA_TYPE mx_type_int8 = descriptor(MX_TYPE_INT8, "int8", nullptr);
constinit MATRIX_DATA_TYPE mx_type_int8_v = descriptor(MX_TYPE_INT8 + MX_TYPE_VECTOR, "int8_v", &mx_type_int8);
constinit MATRIX_DATA_TYPE mx_type_uint8 = descriptor(MX_TYPE_UINT8, "uint8", nullptr);
constinit MATRIX_DATA_TYPE mx_type_uint8_v = descriptor(MX_TYPE_UINT8 + MX_TYPE_VECTOR, "uint8_v", &mx_type_uint8);
constinit MATRIX_DATA_TYPE mx_type_int16 = descriptor(MX_TYPE_INT16, "int16", nullptr);
constinit MATRIX_DATA_TYPE mx_type_int16_v = descriptor(MX_TYPE_INT16 + MX_TYPE_VECTOR, "int16_v", &mx_type_int16);
constinit MATRIX_DATA_TYPE mx_type_uint16 = descriptor(MX_TYPE_UINT16, "uint16", nullptr);
constinit MATRIX_DATA_TYPE mx_type_uint16_v = descriptor(MX_TYPE_UINT16 + MX_TYPE_VECTOR, "uint16_v", &mx_type_uint16);
constinit MATRIX_DATA_TYPE mx_type_int32 = descriptor(MX_TYPE_INT32, "int32", nullptr);
constinit MATRIX_DATA_TYPE mx_type_int32_v = descriptor(MX_TYPE_INT32 + MX_TYPE_VECTOR, "int32_v", &mx_type_int32);
constinit MATRIX_DATA_TYPE mx_type_uint32 = descriptor(MX_TYPE_UINT32, "uint32", nullptr);
constinit MATRIX_DATA_TYPE mx_type_uint32_v = descriptor(MX_TYPE_UINT32 + MX_TYPE_VECTOR, "uint32_v", &mx_type_uint32);
constinit MATRIX_DATA_TYPE mx_type_int64 = descriptor(MX_TYPE_INT64, "int64", nullptr);
constinit MATRIX_DATA_TYPE mx_type_int64_v = descriptor(MX_TYPE_INT64 + MX_TYPE_VECTOR, "int64_v", &mx_type_int64);
constinit MATRIX_DATA_TYPE mx_type_uint64 = descriptor(MX_TYPE_UINT64, "uint64", nullptr);
constinit MATRIX_DATA_TYPE mx_type_uint64_v = descriptor(MX_TYPE_UINT64 + MX_TYPE_VECTOR, "uint64_v", &mx_type_uint64);
constinit MATRIX_DATA_TYPE mx_type_float = descriptor(MX_TYPE_FLOAT, "float", nullptr);
constinit MATRIX_DATA_TYPE mx_type_float_v = descriptor(MX_TYPE_FLOAT + MX_TYPE_VECTOR, "float_v", &mx_type_float);
constinit MATRIX_DATA_TYPE mx_type_double = descriptor(MX_TYPE_DOUBLE, "double", nullptr);
constinit MATRIX_DATA_TYPE mx_type_double_v = descriptor(MX_TYPE_DOUBLE + MX_TYPE_VECTOR, "double_v", &mx_type_double);
constinit MATRIX_DATA_TYPE mx_type_block = descriptor(MX_TYPE_BLOCK, "block", nullptr);
constinit MATRIX_DATA_TYPE mx_type_string = descriptor(MX_TYPE_STRING, "string", nullptr);
constinit MATRIX_DATA_TYPE mx_type_string_v = descriptor(MX_TYPE_STRING_V, "string_v", &mx_type_string);
constinit MATRIX_DATA_TYPE mx_type_sexp = descriptor(MX_TYPE_SEXP, "sexp", nullptr);
constinit MATRIX_DATA_TYPE mx_type_RGB = descriptor(MX_TYPE_RGB, "rgb8", nullptr);
constinit MATRIX_DATA_TYPE mx_type_RGB_v = descriptor(MX_TYPE_RGB + MX_TYPE_VECTOR, "rgb8_v", &mx_type_RGB);

MATRIX_DATA_TYPE* mtx_type_tbl[MX_TYPE_TABLE_SIZE];

namespace mxe {

MATRIX_DATA_TYPE* const kAllTypes[28] = {
    &mx_type_bit,    &mx_type_bit_v,    &mx_type_int8,     &mx_type_int8_v,   &mx_type_uint8,
    &mx_type_uint8_v, &mx_type_int16,   &mx_type_int16_v,  &mx_type_uint16,   &mx_type_uint16_v,
    &mx_type_int32,  &mx_type_int32_v,  &mx_type_uint32,   &mx_type_uint32_v, &mx_type_int64,
    &mx_type_int64_v, &mx_type_uint64,  &mx_type_uint64_v, &mx_type_float,    &mx_type_float_v,
    &mx_type_double, &mx_type_double_v, &mx_type_block,    &mx_type_string,   &mx_type_string_v,
    &mx_type_sexp,   &mx_type_RGB,      &mx_type_RGB_v,
};

}  // namespace mxe

void insert_matrix_type_table(MATRIX_DATA_TYPE* tp) {
  if (tp && tp->type >= 0 && tp->type < MX_TYPE_TABLE_SIZE) mtx_type_tbl[tp->type] = tp;
}

MATRIX_DATA_TYPE* get_matrix_data_type(int code) {
  if (code < 0 || code >= MX_TYPE_TABLE_SIZE) return nullptr;
  return mtx_type_tbl[code];
}

MATRIX_DATA_TYPE* search_matrix_data_type(const char* name) {
  if (!name) return nullptr;
  for (MATRIX_DATA_TYPE* tp : mtx_type_tbl)
    if (tp && std::strcmp(tp->type_name, name) == 0) return tp;
  return nullptr;
}

void init_element_types() {
  static std::once_flag once;
  std::call_once(once, [] {
    mxe::fill_value_slots();
    mxe::fill_zu_slots();
    mxe::fill_stored_slots();
    mxe::fill_print_slots();
    mxe::fill_pyramid_slots();
    mxe::fill_algebra_slots();
    for (MATRIX_DATA_TYPE* tp : mxe::kAllTypes) insert_matrix_type_table(tp);
    __short2uchar_tbl_setup();
  });
}
