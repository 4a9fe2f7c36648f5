// mxObjID: matrix-wide object ids for the points of a plot block. The code
// is rewritten record by record: a point without an id gets flag 0x40 and
// its 8 id bytes, every other byte stays as it was.
#include <climits>
#include <cstring>
#include <string>

#include "base/endian.h"
#include "matrix_ops/op_frame_impl.h"
#include "matrix_ops/plot_block.h"
#include "matrix_ops/plot_impl.h"
#include "matrix_ops/plot_ops.h"
#include "matrix_ops/plot_ops_impl.h"
#include "stream/stream.h"
#include "text/codemethod.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/errcodes.h"

namespace {

// The "---IP" lines of one call, written in pieces of about this size.
constexpr size_t kTraceChunk = 64 << 10;

// The "---IP %p %x\n" lines of one call (the record's address, the id's
// high 32 bits), formatted here and written in pieces of about kTraceChunk:
// a million ids would otherwise cost a formatted write each.
class IdTrace {
 public:
  ~IdTrace() { flush(); }
  void add(const void* record, int64_t id) {
    text_ += "---IP 0x";
    hex(reinterpret_cast<uintptr_t>(record));
    text_ += ' ';
    hex(static_cast<uint64_t>(id) >> 32);
    text_ += '\n';
    if (text_.size() >= kTraceChunk) flush();
  }

 private:
  void hex(uint64_t v) {
    char digits[16];
    int n = 0;
    do {
      digits[n++] = "0123456789abcdef"[v & 15];
      v >>= 4;
    } while (v);
    while (n) text_ += digits[--n];
  }
  void flush() {
    if (text_.empty()) return;
    // 7-bit text is the same bytes in every encoding that keeps ASCII.
    CODE_METHOD* cm = s_get_cm(s_stderr);
    if (cm == utf8_cm || cm == ascii_cm || cm == eucjp_cm) s_write(s_stderr, text_.data(), static_cast<int>(text_.size()));
    else ss_printf("%s", text_.c_str());
    text_.clear();
  }
  std::string text_;
};

ZU_SEXP* param_error(ZU_SEXP* form, const char* reason) {
  return error_at(form, ZU_ER_PARAM, "mxObjID", data_list("invalid parameter in mxObjID", reason));
}

ZU_SEXP* zu_mxObjID(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  MATRIX_TOKEN* t = mx_op_token(env);
  if (!t) return nullptr;
  int compress = plot_switch(sf, "compress");
  if (compress < 0) return param_error(form, "compress");
  MATRIX* m = t->process_node->matrix;
  ZU_SEXP* item = get_el(form, 1);
  ItemBlock blk(item);
  if (!blk.get()) return error_at(form, ZU_ER_TYPE, "mxObjID", data_list("type missmatch", "CH data type(2)"));
  int64_t dc[kMxMaxDim + 1];
  if (!item_dim_code(m, item, dc)) return param_error(form, "dim code");
  if (plot_geometry_check(m) != 0) return param_error(form, "block size");
  HeldBytes inflated;
  const uint8_t* code = nullptr;
  int n = 0;
  if (!plot_block_code(blk.get()->block, blk.get()->size, compress == 1, inflated.out(), &code, &n))
    return param_error(form, "zlib uncompress");
  int size = 0;
  void* with_ids = give_obj_ids(m, code, n, &size);
  if (!with_ids) return param_error(form, "internal plot code");
  inflated.reset(nullptr);
  int packed_size = 0;
  HeldBytes packed(pack_plot_code(with_ids, size, compress == 1, &packed_size));
  if (!packed.get()) return param_error(form, "zlib compress");
  return plot_block_item(m, dc, packed.get(), packed_size);
}

const QN_PRIM_DEF kObjID[] = {{"mxObjID", zu_mxObjID, 1, 1, 2, 0}, {}};

}  // namespace

void* give_obj_ids(MATRIX* m, const void* code, int size, int* out_size) {
  *out_size = 0;
  PlotGeom g;
  if (!plot_geom(m, &g) || !code || size <= 0) return nullptr;
  const auto* p = static_cast<const uint8_t*>(code);
  const auto n = static_cast<size_t>(size);
  size_t end = 0, missing = 0;
  for (;;) {
    int64_t r = end < n ? plot_record_bytes(p + end, n - end, g.dim) : -1;
    if (r < 0) return nullptr;
    if (r == 0) break;
    if (!(p[end] & kPpId)) ++missing;
    end += static_cast<size_t>(r);
  }
  if (end == 0 || end + 1 + 8 * missing > INT_MAX) return nullptr;
  const size_t cells = 2 + 2 * static_cast<size_t>(g.dim);
  auto* out = static_cast<uint8_t*>(d_alloc(end + 1 + 8 * missing));
  uint8_t* q = out;
  IdTrace trace;
  for (size_t pos = 0; pos < end;) {
    auto r = static_cast<size_t>(plot_record_bytes(p + pos, n - pos, g.dim));
    if (p[pos] & kPpId) {
      std::memcpy(q, p + pos, r);
      q += r;
    } else {
      size_t head = cells + (p[pos] & kPpBase ? 8 * static_cast<size_t>(g.dim) : 0);
      std::memcpy(q, p + pos, head);
      q[0] = static_cast<uint8_t>(p[pos] | kPpId);
      int64_t id = get_matrix_obj_id(m);
      store_be64(q + head, static_cast<uint64_t>(id));
      trace.add(q, id);
      std::memcpy(q + head + 8, p + pos + head, r - head);
      q += r + 8;
    }
    pos += r;
  }
  *q++ = 0;
  *out_size = static_cast<int>(q - out);
  return out;
}

void init_mxObjID(ZUISP_ENV* env) { bind_prims(env, kObjID); }
