// Median-cut colour reduction over a 16 x 16 x 16 histogram of cells that
// count each distinct colour.
#include <algorithm>
#include <bit>
#include <span>
#include <vector>

#include "base/alloc.h"
#include "codec/gif.h"
#include "codec/gif_impl.h"

MedianCutInfo gif_histgram[kMedianWorkAreas][kMedianCells];

namespace {

constexpr int kMaxColours = 256;

int cell_of(int r, int g, int b) { return (r >> 4) << 8 | (g >> 4) << 4 | (b >> 4); }
int low_of(int r, int g, int b) { return (r & 15) << 8 | (g & 15) << 4 | (b & 15); }

int& pos_of(RGBColorInfo& box, int type) { return type == 1 ? box.r_pos : type == 2 ? box.g_pos : box.b_pos; }
int& size_of(RGBColorInfo& box, int type) { return type == 1 ? box.r_size : type == 2 ? box.g_size : box.b_size; }

// Calls fn(r, g, b, count) for every colour of the box that the image
// holds, visiting only the cells the box's ranges cover.
template <typename Fn>
void for_each_colour(const MedianCutInfo* area, const RGBColorInfo& box, Fn fn) {
  const int r1 = box.r_pos + box.r_size - 1, g1 = box.g_pos + box.g_size - 1, b1 = box.b_pos + box.b_size - 1;
  for (int cr = box.r_pos >> 4; cr <= r1 >> 4; ++cr)
    for (int cg = box.g_pos >> 4; cg <= g1 >> 4; ++cg)
      for (int cb = box.b_pos >> 4; cb <= b1 >> 4; ++cb) {
        const uint32_t* col = area[cr << 8 | cg << 4 | cb].col;
        if (!col) continue;
        for (int r = std::max(box.r_pos, cr << 4); r <= std::min(r1, cr << 4 | 15); ++r)
          for (int g = std::max(box.g_pos, cg << 4); g <= std::min(g1, cg << 4 | 15); ++g)
            for (int b = std::max(box.b_pos, cb << 4); b <= std::min(b1, cb << 4 | 15); ++b)
              if (uint32_t n = col[low_of(r, g, b)]) fn(r, g, b, n);
      }
}

// Narrows the box to the colours it holds.
void shrink(const MedianCutInfo* area, RGBColorInfo& box) {
  int lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0};
  for_each_colour(area, box, [&](int r, int g, int b, uint32_t) {
    const int v[3] = {r, g, b};
    for (int c = 0; c < 3; ++c) lo[c] = std::min(lo[c], v[c]), hi[c] = std::max(hi[c], v[c]);
  });
  if (lo[0] > hi[0]) return;  // holds nothing
  for (int c = 0; c < 3; ++c) {
    pos_of(box, c + 1) = lo[c];
    size_of(box, c + 1) = hi[c] - lo[c] + 1;
  }
}

int bit_length(int n) { return n <= 0 ? 0 : std::bit_width(static_cast<unsigned>(n)); }

// The box to split next: the largest longest-extent times bit length of
// its pixel count, the first of equal ones.
size_t choose_box(const std::vector<RGBColorInfo>& boxes) {
  size_t best = 0;
  long best_score = -1;
  for (size_t i = 0; i < boxes.size(); ++i) {
    const long score = long{median_info_maxlen(&boxes[i])} * bit_length(boxes[i].pixel_count);
    if (score > best_score) best = i, best_score = score;
  }
  return best;
}

// Counts the image's colours into the work area; the first box covers
// their ranges.
RGBColorInfo count_colours(MedianCutInfo* area, const uint8_t* px, size_t n) {
  uint8_t lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0};
  for (size_t i = 0; i < n; ++i, px += 4) {
    MedianCutInfo& cell = area[cell_of(px[0], px[1], px[2])];
    if (!cell.col) cell.col = static_cast<uint32_t*>(d_calloc(kMedianCells, sizeof(uint32_t)));
    ++cell.col[low_of(px[0], px[1], px[2])];
    ++cell.count;
    for (int c = 0; c < 3; ++c) lo[c] = std::min(lo[c], px[c]), hi[c] = std::max(hi[c], px[c]);
  }
  return RGBColorInfo{lo[0], lo[1], lo[2], hi[0] - lo[0] + 1, hi[1] - lo[1] + 1, hi[2] - lo[2] + 1,
                      static_cast<int>(n), nullptr};
}

// Splits boxes until there are 256 or none can be split; the split tree's
// nodes live in `nodes` (reserved up front, so pointers stay valid).
void split_boxes(const MedianCutInfo* area, std::vector<RGBColorInfo>& boxes, std::vector<ColorTree>& nodes) {
  int weit[256];
  while (boxes.size() < kMaxColours) {
    const size_t i = choose_box(boxes);
    RGBColorInfo box = boxes[i];
    if (median_info_maxlen(&box) < 2) break;
    const int type = median_info_maxtype(&box);
    const int n = median_info_get_pixel_weit(area, &box, type, weit);
    boxes[i] = boxes.back();
    boxes.pop_back();
    if (n == 0) continue;
    // The lower box takes lo..v-1 with s pixels; v moves at least once,
    // so both sides keep colours.
    const int lo = pos_of(box, type), hi = lo + size_of(box, type) - 1;
    int v = lo + 1, s = weit[lo];
    for (; v < hi && 2 * s < n; ++v) s += weit[v];
    RGBColorInfo lower = box, upper = box;
    size_of(lower, type) = v - lo;
    pos_of(upper, type) = v;
    size_of(upper, type) = hi - v + 1;
    lower.pixel_count = s;
    upper.pixel_count = n - s;
    ColorTree* node = box.tree;
    lower.tree = &nodes.emplace_back(ColorTree{0, 0, nullptr, nullptr, 0});
    upper.tree = &nodes.emplace_back(ColorTree{0, 0, nullptr, nullptr, 0});
    *node = ColorTree{type, v, lower.tree, upper.tree, 0};
    shrink(area, lower);
    shrink(area, upper);
    boxes.push_back(lower);
    boxes.push_back(upper);
  }
}

int palette_index(const ColorTree* t, const uint8_t rgb[3]) {
  while (t->type != 0) t = rgb[t->type - 1] < t->pos ? t->left : t->right;
  return t->pal_index;
}

}  // namespace

int median_info_maxlen(const RGBColorInfo* box) { return std::max({box->r_size, box->g_size, box->b_size}); }

int median_info_maxtype(const RGBColorInfo* box) {
  const int m = median_info_maxlen(box);
  return box->r_size == m ? 1 : box->g_size == m ? 2 : 3;
}

int median_info_get_pixel_weit(const MedianCutInfo* area, const RGBColorInfo* box, int type, int weit[256]) {
  std::fill_n(weit, 256, 0);
  int n = 0;
  for_each_colour(area, *box, [&](int r, int g, int b, uint32_t count) {
    weit[type == 1 ? r : type == 2 ? g : b] += static_cast<int>(count);
    n += static_cast<int>(count);
  });
  return n;
}

int MedianCut(const void* pData, int iWidth, int iHeight, ColorMap cmap, uint8_t* pCode, int iWorkID) {
  if (!pData || iWorkID < 0 || iWorkID >= kMedianWorkAreas || iWidth < 1 || iHeight < 1) return 0;
  MedianCutInfo* area = gif_histgram[iWorkID];
  const auto* px = static_cast<const uint8_t*>(pData);
  const size_t n = size_t(iWidth) * size_t(iHeight);
  std::vector<ColorTree> nodes;
  nodes.reserve(2 * kMaxColours);
  std::vector<RGBColorInfo> boxes{count_colours(area, px, n)};
  boxes[0].tree = &nodes.emplace_back(ColorTree{0, 0, nullptr, nullptr, 0});
  split_boxes(area, boxes, nodes);
  for (int i = 0; i < kMaxColours; ++i) cmap[i] = RGB4{0, 0, 0, 255};
  for (size_t i = 0; i < boxes.size(); ++i) {
    const RGBColorInfo& b = boxes[i];
    b.tree->pal_index = static_cast<int>(i);
    cmap[i] = RGB4{static_cast<uint8_t>(b.r_pos + b.r_size / 2), static_cast<uint8_t>(b.g_pos + b.g_size / 2),
                   static_cast<uint8_t>(b.b_pos + b.b_size / 2), 255};
  }
  if (pCode) {
    // Each colour the image holds is looked up in the tree once; its count
    // gives way to its index.
    for (int c = 0; c < kMedianCells; ++c)
      if (uint32_t* col = area[c].col)
        for (int low = 0; low < kMedianCells; ++low)
          if (col[low]) {
            const uint8_t rgb[3] = {static_cast<uint8_t>((c >> 8) << 4 | low >> 8),
                                    static_cast<uint8_t>(((c >> 4) & 15) << 4 | ((low >> 4) & 15)),
                                    static_cast<uint8_t>((c & 15) << 4 | (low & 15))};
            col[low] = static_cast<uint32_t>(palette_index(&nodes[0], rgb));
          }
    for (size_t i = 0; i < n; ++i, px += 4)
      pCode[i] = static_cast<uint8_t>(area[cell_of(px[0], px[1], px[2])].col[low_of(px[0], px[1], px[2])]);
  }
  for (MedianCutInfo& cell : std::span(area, kMedianCells)) {
    d_f_ree(cell.col);
    cell = MedianCutInfo{};
  }
  return -1;
}
