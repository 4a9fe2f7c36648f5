// Fuzz target: any bytes as a compound block of a matrix script. Nothing
// may read past the bytes, crash, stop the process or leak; the items read
// are written again with the shortest length codes and read back the same.
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/alloc.h"
#include "matrix_ops/block_codec.h"
#include "store/recordlist.h"

namespace {

// The items of a block, each value that is a block or vector read and
// released; false when the block is refused.
bool walk(const uint8_t* p, size_t size, std::vector<MX_COMPOUND_ITEM>* items) {
  const uint8_t* end = p + size;
  const char* why = nullptr;
  MX_COMPOUND_ITEM it{};
  int k;
  while ((k = mx_compound_next(&it, &p, end, &why)) == 1) {
    if (it.data < end - size || it.data + it.size > end) __builtin_trap();
    if (it.type != 5 && it.type != 11 && it.type != 14) {
      void* v = mx_compound_value(&it, MX_ATYPE::tagged, &why);
      if (!v) return false;
      const MATRIX_DATA_TYPE* tp = it.type == 13 ? &mx_type_block : get_matrix_data_type(it.type);
      tp->free_data(tp, v);
    }
    items->push_back(it);
  }
  if (k < 0 && !why) __builtin_trap();
  return k == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = (init_element_types(), true);
  (void)ready;
  if (size > (1u << 24)) return 0;
  std::vector<MX_COMPOUND_ITEM> items;
  if (!walk(data, size, &items)) return 0;
  RECORD_LIST64* rl = new_recordlist64(0, 0);
  for (const MX_COMPOUND_ITEM& it : items) {
    CHAIN_LIST64* mark = mx_compound_open(rl, it.type);
    if (it.size) set_recordlist_chain64(rl, const_cast<uint8_t*>(it.data), it.size, 0);
    if (mx_compound_close(rl, mark) != 0) __builtin_trap();
  }
  int64_t n = setup_recordlist64(rl);
  std::vector<MX_COMPOUND_ITEM> again;
  if (n < 0 || !walk(static_cast<const uint8_t*>(rl->data), static_cast<size_t>(n), &again)) __builtin_trap();
  if (again.size() != items.size()) __builtin_trap();
  for (size_t i = 0; i < items.size(); ++i)
    if (again[i].type != items[i].type || again[i].size != items[i].size ||
        std::memcmp(again[i].data, items[i].data, static_cast<size_t>(items[i].size)) != 0)
      __builtin_trap();
  free_recordlist64(rl);
  return 0;
}
