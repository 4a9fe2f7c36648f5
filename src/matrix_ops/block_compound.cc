// Compound blocks: items of a type byte, the length code of their data and
// the data, one after another up to the end of the block.
#include <cstring>

#include "base/alloc.h"
#include "elements/compressed_code.h"
#include "elements/stored.h"
#include "matrix_ops/block_codec.h"
#include "matrix_ops/block_impl.h"

namespace {

constexpr int kText = MX_TYPE_STRING;
constexpr int kInteger = MX_TYPE_INT64;
constexpr int kFloat = MX_TYPE_DOUBLE;
constexpr int kNumberBytes = 8;

// The descriptor whose stored form an item's data is; null for a type no
// compound item has.
const MATRIX_DATA_TYPE* item_type(int type) {
  if (type == kText) return &mx_type_string;
  if (type == kInteger) return &mx_type_int64;
  if (type == kFloat) return &mx_type_double;
  if (type == MX_TYPE_BLOCK) return &mx_type_block;
  const MATRIX_DATA_TYPE* tp = get_matrix_data_type(type);
  return tp && mx_is_vector_code(tp->type) ? tp : nullptr;
}

}  // namespace

CHAIN_LIST64* mx_compound_open(RECORD_LIST64* rl, int type) {
  auto* b = static_cast<uint8_t*>(d_alloc(1));
  b[0] = static_cast<uint8_t>(type);
  return set_recordlist_chain64(rl, b, 1, 1);
}

int mx_compound_close(RECORD_LIST64* rl, CHAIN_LIST64* mark) { return set_recordlist_code(rl, mark); }

int mx_compound_add(RECORD_LIST64* rl, int type, const void* value) {
  const MATRIX_DATA_TYPE* tp = item_type(type);
  if (!tp || !value) return -1;
  CHAIN_LIST64* mark = mx_compound_open(rl, type);
  if (type == kText) {
    // The text without its zero, borrowed.
    size_t n = std::strlen(static_cast<const char*>(value));
    if (n) set_recordlist_chain64(rl, const_cast<void*>(value), static_cast<int64_t>(n), 0);
  } else if (!tp->convert_to_net || tp->convert_to_net(tp, rl, value) != 0) {
    return -1;
  }
  return mx_compound_close(rl, mark);
}

int mx_compound_next(MX_COMPOUND_ITEM* item, const uint8_t** p, const uint8_t* end, const char** why) {
  const uint8_t* at = *p;
  if (!at || at >= end) return 0;
  int type = static_cast<int8_t>(at[0]);
  if (!item_type(type)) {
    mx_refuse(why, kMxWhyItemType);
    return -1;
  }
  int64_t n = 0;
  const uint8_t* data = get_uncompressed_code64_bounded(&n, at + 1, end);
  bool fixed = type == kInteger || type == kFloat;
  if (!data || n < 0 || n > end - data || (fixed && n != kNumberBytes)) {
    mx_refuse(why, kMxWhyItemLength);
    return -1;
  }
  *item = MX_COMPOUND_ITEM{type, data, static_cast<int32_t>(n)};
  *p = data + n;
  return 1;
}

void* mx_compound_value(const MX_COMPOUND_ITEM* item, MX_ATYPE atype, const char** why) {
  const MATRIX_DATA_TYPE* tp = item_type(item->type);
  if (!tp || item->type == kText || item->type == kInteger || item->type == kFloat)
    return mx_refuse(why, kMxWhyItemType);
  void* v = tp->convert_to_host(tp, item->data, item->size, atype, nullptr, __FILE__, __LINE__);
  return v ? v : mx_refuse(why, kMxWhyStored);
}
