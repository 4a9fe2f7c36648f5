// One validator for every vector that arrives from outside: stored bytes
// from a file or a peer, and raw values from scripts.
#include "base/endian.h"
#include "elements/element_impl.h"

namespace mxe {

int check_vector(const uint8_t* p, int64_t size, bool net, VectorShape* out) {
  bool known = size >= 0;
  if (!p || (known && size < 4)) return -1;
  MATRIX_DATA_TYPE* tp = get_matrix_data_type(p[1]);
  if (!tp || !mx_is_vector_code(tp->type) || tp->type == MX_TYPE_STRING_V) return -1;
  int dim = net ? static_cast<int16_t>(load_be16(p + 2)) : load<int16_t>(p + 2);
  int h = static_cast<int8_t>(p[0]);
  if (dim < 0 || dim > mxt_max_dim(tp) || h < 4 + 4 * dim) return -1;
  if (known && h > size) return -1;
  for (int i = 0; i < dim; ++i)
    out->ix[i] = net ? static_cast<int32_t>(load_be32(p + 4 + 4 * i)) : load<int32_t>(p + 4 + 4 * i);
  int64_t count = checked_count(out->ix, dim);
  int64_t area = count < 0 ? -1 : element_area(tp, count);
  if (area < 0 || area > kMaxValueBytes - h) return -1;
  if (known && h + area != size) return -1;
  out->tp = tp;
  out->h = h;
  out->dim = dim;
  out->count = count;
  out->area = area;
  return 0;
}

}  // namespace mxe
