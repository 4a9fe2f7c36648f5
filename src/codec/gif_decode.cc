// The GIF stream: screen descriptor, colour tables, extensions and the
// first image, read with every access bounded by the data.
#include <algorithm>
#include <cstring>
#include <memory>

#include "base/alloc.h"
#include "codec/gif.h"
#include "codec/gif_impl.h"
#include "codec/limits.h"

namespace {

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// Copies up to `entries` colours into the start of the palette; a table cut
// short by the end of the stream gives the colours that are there.
void read_table(GIF_READER& rd, TAB_COL& tab, int entries) {
  int have = static_cast<int>(std::min<size_t>(static_cast<size_t>(entries), rd.left() / 3));
  for (int i = 0; i < have; ++i, rd.pos += 3) tab.col[i] = GIF_RGB{rd.pos[0], rd.pos[1], rd.pos[2]};
  if (have < entries) rd.pos = rd.end;
  tab.nos = entries;
}

void skip_sub_blocks(GIF_READER& rd) {
  for (int n; (n = rd.get_byte()) > 0;) rd.pos += std::min<size_t>(static_cast<size_t>(n), rd.left());
}

bool read_gce(GIF_READER& rd, GIF_GCE& gce) {
  if (rd.get_byte() < 0 || rd.left() < 4) {
    rd.pos = rd.end;
    return false;
  }
  gce = GIF_GCE{rd.pos[0], le16(rd.pos + 1), rd.pos[3]};
  rd.pos += 4;
  skip_sub_blocks(rd);
  return true;
}

// Bytes of the image's code stream: the data sub-blocks after the minimum
// code size, up to the terminator or the end of the stream.
uint64_t code_stream_bytes(const GIF_READER& rd) {
  GIF_READER at = rd;
  uint64_t bytes = 0;
  if (at.get_byte() < 0) return 0;
  for (int n; (n = at.get_byte()) > 0;) {
    size_t have = std::min<size_t>(static_cast<size_t>(n), at.left());
    bytes += have;
    at.pos += have;
  }
  return bytes;
}

// Whether the code stream can fill the image: each code yields at most
// kGifMaxCodes pixels and a byte holds at most eight codes' worth of bits,
// so anything larger would be mostly made up, and is refused before it is
// allocated.
bool fillable(uint64_t pixels, uint64_t code_bytes) {
  return pixels <= uint64_t{kGifMaxCodes} * 8 * code_bytes;
}

struct IndexImage {
  uint8_t* pixels = nullptr;
  int32_t width = 0;
  int32_t height = 0;
  ~IndexImage() { d_f_ree(pixels); }
};

// Reads one image descriptor and its data into img (replacing what it
// held). False when the descriptor is cut short, over the ceiling or larger
// than its data could fill, which ends the stream.
bool read_image(GIF_READER& rd, TAB_COL& tab, IndexImage& img, int32_t* ret_width, int32_t* ret_height,
                GIF_ENV* ge) {
  if (rd.left() < 9) return false;
  GIF_IMAGE_DESK desk{le16(rd.pos), le16(rd.pos + 2), le16(rd.pos + 4), le16(rd.pos + 6), rd.pos[8]};
  rd.pos += 9;
  if (uint64_t{desk.w} * desk.h > kCodecMaxPixels) return false;
  if (desk.pf & 0x80) read_table(rd, tab, 2 << (desk.pf & 7));
  if (!fillable(uint64_t{desk.w} * desk.h, code_stream_bytes(rd))) return false;
  d_f_ree(img.pixels);
  img.pixels = static_cast<uint8_t*>(d_calloc(size_t{desk.w} * desk.h + 1, 1));
  img.width = *ret_width = ge->width = desk.w;
  img.height = *ret_height = ge->height = desk.h;
  if (desk.w == 0 || desk.h == 0) return true;
  auto d = std::make_unique<GIF_DECODE>();
  d->in = &rd;
  GIF_IMAGE_ITERATOR it{img.pixels, img.pixels, desk.w, desk.h, 0, (desk.pf & 0x40) != 0, 0, 8, desk.h, 1};
  lzw_decode_func(d.get(), &it);
  return true;
}

void build_cmap(GIF_ENV* ge, const TAB_COL& tab, const GIF_GCE* gce) {
  for (int i = 0; i < 256; ++i) {
    bool transparent = gce && (gce->packed & 1) && gce->transpcolindex == i;
    ge->cmap[i] = RGB4{tab.col[i].r, tab.col[i].g, tab.col[i].b, static_cast<uint8_t>(transparent ? 0 : 255)};
  }
}

}  // namespace

uint8_t* gif_uncompress(int32_t* ret_width, int32_t* ret_height, GIF_ENV* ge, const void* data, int32_t length) {
  if (!data || length < 13) return nullptr;
  GIF_READER rd{static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + length};
  if (std::memcmp(rd.pos, "GIF8", 4) != 0) return nullptr;
  uint8_t pflds = rd.pos[10];
  rd.pos += 13;
  TAB_COL tab{};
  if (pflds & 0x80) read_table(rd, tab, 2 << (pflds & 7));
  GIF_GCE gce{};
  bool have_gce = false;
  IndexImage img;
  while (rd.pos < rd.end) {
    int b = rd.get_byte();
    if (b == 0x21) {
      int label = rd.get_byte();
      if (label == 0xF9)
        have_gce = read_gce(rd, gce) || have_gce;
      else
        skip_sub_blocks(rd);
    } else if (b != 0x2C || !read_image(rd, tab, img, ret_width, ret_height, ge)) {
      break;
    }
  }
  if (!img.pixels || img.width == 0 || img.height == 0) return nullptr;
  build_cmap(ge, tab, have_gce ? &gce : nullptr);
  size_t n = size_t{static_cast<uint32_t>(img.width)} * static_cast<uint32_t>(img.height);
  auto* out = static_cast<uint8_t*>(d_alloc(n * 4));
  for (size_t i = 0; i < n; ++i) std::memcpy(out + i * 4, &ge->cmap[img.pixels[i]], 4);
  return out;
}
