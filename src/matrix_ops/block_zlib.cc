// zlib blocks: a value's type code and its bytes or stored form, deflated
// as one zlib stream.
#include <cstdio>
#include <cstring>

#include "base/alloc.h"
#include "codec/zlib_block.h"
#include "elements/stored.h"
#include "matrix_ops/block_codec.h"
#include "matrix_ops/block_impl.h"
#include "store/recordlist.h"

namespace {

// The descriptor of a payload's type code: the block type or a registered
// vector type; null for anything else.
const MATRIX_DATA_TYPE* payload_type(int code) {
  if (code == MX_TYPE_BLOCK) return &mx_type_block;
  const MATRIX_DATA_TYPE* tp = get_matrix_data_type(code);
  return tp && mx_is_vector_code(tp->type) && tp->convert_to_host ? tp : nullptr;
}

// The payload's type, when the rest of it can be that type's data: a
// stored vector of the same code whose size is the rest exactly.
const MATRIX_DATA_TYPE* check_payload(const uint8_t* p, int64_t size, const char** why) {
  if (size < 1) return mx_refuse(why, kMxWhyEmpty);
  const MATRIX_DATA_TYPE* tp = payload_type(p[0]);
  if (!tp) return mx_refuse(why, kMxWhyPayloadType);
  if (tp == &mx_type_block) return tp;
  if (size < 5 || p[2] != p[0] || get_size_endian(p + 1, size - 1) != size - 1) return mx_refuse(why, kMxWhyStored);
  return tp;
}

uint8_t* deflate_payload(int32_t* len, const uint8_t* payload, int32_t size, int level, const char** why) {
  *len = 0;
  if (level < -1 || level > 9) return mx_refuse(why, kMxWhyLevel);
  auto* out = static_cast<uint8_t*>(zlib_compress(len, payload, size, level));
  return out ? out : mx_refuse(why, kMxWhyDeflate);
}

}  // namespace

uint8_t* mx_zblock_encode_payload(int32_t* len, const uint8_t* payload, int32_t size, int level, const char** why) {
  *len = 0;
  if (!check_payload(payload, size, why)) return nullptr;
  return deflate_payload(len, payload, size, level, why);
}

uint8_t* mx_zblock_encode(int32_t* len, const MATRIX_DATA_TYPE* tp, const void* value, int level, const char** why) {
  *len = 0;
  if (level < -1 || level > 9) return mx_refuse(why, kMxWhyLevel);
  if (!tp || (tp != &mx_type_block && !mx_is_vector_code(tp->type)) || !tp->convert_to_net)
    return mx_refuse(why, kMxWhyPayloadType);
  // The type byte and the value's pieces, joined once.
  RecordList rl;
  auto* code = static_cast<uint8_t*>(d_alloc(1));
  code[0] = static_cast<uint8_t>(tp->type);
  set_recordlist_chain64(rl.get(), code, 1, 1);
  if (tp->convert_to_net(tp, rl.get(), value) != 0) return mx_refuse(why, kMxWhyStored);
  int64_t size = setup_recordlist64(rl.get());
  if (size < 1 || size > INT32_MAX) return mx_refuse(why, kMxWhyStored);
  return deflate_payload(len, static_cast<const uint8_t*>(rl.get()->data), static_cast<int32_t>(size), level, why);
}

uint8_t* mx_zblock_payload(int32_t* len, const void* block, int32_t size, const char** why) {
  int32_t n = 0;
  // An empty block is no stream: refused by the inflate itself.
  auto* p = static_cast<uint8_t*>(zlib_uncompress(&n, block, size));
  if (!p) return mx_refuse(why, kMxWhyInflate);
  if (!check_payload(p, n, why)) {
    d_f_ree(p);
    return nullptr;
  }
  *len = n;
  return p;
}

void* mx_zblock_decode(const MATRIX_DATA_TYPE** tp, const void* block, int32_t size, MX_ATYPE atype,
                       const char** why) {
  int32_t n = 0;
  uint8_t* p = mx_zblock_payload(&n, block, size, why);
  if (!p) return nullptr;
  const MATRIX_DATA_TYPE* type = payload_type(p[0]);
  void* v = type->convert_to_host(type, p + 1, n - 1, atype, nullptr, __FILE__, __LINE__);
  d_f_ree(p);
  if (!v) return mx_refuse(why, kMxWhyStored);
  *tp = type;
  return v;
}

void data_checksum(const char* msg, const void* a, int size) {
  const auto* b = static_cast<const uint8_t*>(a);
  int sum = 0;
  for (int i = 0; i < size; ++i) sum += b[i];
  std::fprintf(stderr, "%s %i\n", msg ? msg : "", sum);
}
