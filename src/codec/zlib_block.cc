#include "codec/zlib_block.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

#include "base/alloc.h"
#include "codec/limits.h"

void* zlib_compress(int32_t* compressedSize, const void* sourceMemory, int32_t sourceSize, int opt) {
  *compressedSize = 0;
  if (sourceSize < 0 || (!sourceMemory && sourceSize > 0)) return nullptr;
  uint64_t bound = compressBound(static_cast<uLong>(sourceSize));
  if (bound > INT32_MAX) return nullptr;
  auto* out = static_cast<Bytef*>(d_alloc(bound));
  uLongf len = static_cast<uLongf>(bound);
  static const Bytef kNothing = 0;
  const auto* src = sourceSize > 0 ? static_cast<const Bytef*>(sourceMemory) : &kNothing;
  if (compress2(out, &len, src, static_cast<uLong>(sourceSize), opt) != Z_OK) {
    d_f_ree(out);
    return nullptr;
  }
  *compressedSize = static_cast<int32_t>(len);
  return out;
}

namespace {

// True when the stream would give at least one more byte: the output has
// reached the ceiling and anything further refuses the stream.
bool more_output_follows(z_stream& zs) {
  Bytef probe[1];
  zs.next_out = probe;
  zs.avail_out = 1;
  int rc = inflate(&zs, Z_NO_FLUSH);
  return zs.avail_out == 0 || rc != Z_STREAM_END;
}

}  // namespace

void* zlib_uncompress(int32_t* uncompress_len, const void* data, int32_t length) {
  if (!data || length <= 0) return nullptr;
  // The result's length is reported in 32 bits, so the ceiling is the
  // smaller of the module ceiling and what that field can hold.
  const size_t ceiling = std::min<size_t>(kCodecMaxInflate, INT32_MAX);
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return nullptr;
  zs.next_in = const_cast<Bytef*>(static_cast<const Bytef*>(data));
  zs.avail_in = static_cast<uInt>(length);
  size_t cap = std::clamp<size_t>(size_t{static_cast<uint32_t>(length)} * 4, 1024, ceiling);
  auto* out = static_cast<Bytef*>(d_alloc(cap));
  size_t used = 0;
  bool ok = false;
  for (;;) {
    zs.next_out = out + used;
    zs.avail_out = static_cast<uInt>(cap - used);
    int rc = inflate(&zs, Z_NO_FLUSH);
    used = cap - zs.avail_out;
    if (rc == Z_STREAM_END) {
      ok = true;
      break;
    }
    // Z_BUF_ERROR with room left means the input ended inside the stream.
    if ((rc != Z_OK && rc != Z_BUF_ERROR) || zs.avail_out != 0) break;
    if (cap == ceiling) {
      ok = !more_output_follows(zs);
      break;
    }
    size_t grown = std::min(cap * 2, ceiling);
    void* n = d_re_alloc(out, grown);
    if (!n) break;
    out = static_cast<Bytef*>(n);
    cap = grown;
  }
  inflateEnd(&zs);
  if (!ok) {
    d_f_ree(out);
    return nullptr;
  }
  *uncompress_len = static_cast<int32_t>(used);
  return out;
}
