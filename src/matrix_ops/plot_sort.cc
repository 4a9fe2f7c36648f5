// The point order of a whole list: sort_plot, the reader that makes a
// list's points in that order, and the order keys both sort by.
#include <algorithm>
#include <vector>

#include "base/endian.h"
#include "matrix_ops/plot_impl.h"
#include "matrix_ops/plot_level.h"

ZKeys::ZKeys(const PlotGeom& g) : dim_(g.dim), spread_(static_cast<size_t>(g.dim) * 512, 0) {
  int top = 0;
  for (int d = 0; d < g.dim; ++d) {
    bits_ += g.bs[d];
    top = std::max(top, static_cast<int>(g.bs[d]));
  }
  if (!usable()) return;
  int pos = bits_;
  for (int b = top - 1; b >= 0; --b) {
    for (int d = 0; d < g.dim; ++d) {
      if (g.bs[d] <= b) continue;
      uint64_t bit = uint64_t{1} << --pos;
      for (int v = 0; v < 256; ++v) {
        if ((v >> (b & 7)) & 1) spread_[static_cast<size_t>(d) * 512 + (b >> 3) * 256 + v] |= bit;
      }
    }
  }
}

namespace {

// Where the merge sort's alternating split sends the i-th of n points
// equal in order: one bit per level, 0 for the second half (taken first on
// ties), from the top level down, left-aligned in 32 bits.
uint32_t tie_rank(uint32_t i, uint32_t n) {
  uint64_t rank = 0;
  int depth = 0;
  while (n > 1) {
    uint32_t n_a = (n + 1) / 2, n_b = n / 2;
    bool in_a = (i & 1) == 0;
    rank = rank << 1 | (in_a ? 1 : 0);
    i = in_a ? n_a - 1 - i / 2 : n_b - 1 - i / 2;
    n = in_a ? n_a : n_b;
    ++depth;
  }
  return static_cast<uint32_t>(rank << (32 - depth));
}

struct KeyEntry {
  uint64_t key;
  uint32_t index;  // position in the list
};

// Below this many points a comparison sort beats the radix passes.
constexpr size_t kRadixFrom = 256;

// v by key, equal keys in list order: a stable radix sort over the bytes
// of the key's `bits` low bits, skipping the bytes in which all keys agree.
void sort_by_key(std::vector<KeyEntry>& v, int bits) {
  size_t n = v.size();
  if (n < kRadixFrom) {
    std::sort(v.begin(), v.end(), [](const KeyEntry& a, const KeyEntry& b) {
      return a.key != b.key ? a.key < b.key : a.index < b.index;
    });
    return;
  }
  int passes = (bits + 7) / 8;
  std::vector<size_t> count(static_cast<size_t>(passes) * 256, 0);
  for (const KeyEntry& e : v) {
    for (int p = 0; p < passes; ++p) ++count[static_cast<size_t>(p) * 256 + ((e.key >> (8 * p)) & 0xFF)];
  }
  std::vector<KeyEntry> out(n);
  for (int p = 0; p < passes; ++p) {
    size_t* c = &count[static_cast<size_t>(p) * 256];
    if (c[(v[0].key >> (8 * p)) & 0xFF] == n) continue;
    size_t sum = 0;
    for (int b = 0; b < 256; ++b) {
      size_t k = c[b];
      c[b] = sum;
      sum += k;
    }
    for (const KeyEntry& e : v) out[c[(e.key >> (8 * p)) & 0xFF]++] = e;
    v.swap(out);
  }
}

// Positions in point order of the entries (key and list position, in list
// order).
std::vector<uint32_t> key_order(std::vector<KeyEntry> v, int bits) {
  auto n = static_cast<uint32_t>(v.size());
  sort_by_key(v, bits);
  // Runs of equal keys, in list order now, take the merge sort's tie order.
  for (uint32_t a = 0; a < n;) {
    uint32_t b = a + 1;
    while (b < n && v[b].key == v[a].key) ++b;
    if (b - a > 1) {
      // The keys are spent: each member's tie rank takes its place.
      for (uint32_t i = a; i < b; ++i) v[i].key = tie_rank(v[i].index, n);
      std::sort(v.begin() + a, v.begin() + b, [](const KeyEntry& x, const KeyEntry& y) { return x.key < y.key; });
    }
    a = b;
  }
  std::vector<uint32_t> order(n);
  for (uint32_t i = 0; i < n; ++i) order[i] = v[i].index;
  return order;
}

// Positions in point order, by cmp_plot (cells too wide for one key).
std::vector<uint32_t> cmp_order(MATRIX* m, const std::vector<INTERNAL_PLOT*>& pts) {
  auto n = static_cast<uint32_t>(pts.size());
  std::vector<KeyEntry> v(n);
  for (uint32_t i = 0; i < n; ++i) v[i] = KeyEntry{tie_rank(i, n), i};
  std::sort(v.begin(), v.end(), [m, &pts](const KeyEntry& a, const KeyEntry& b) {
    int r = cmp_plot(m, pts[a.index]->c, pts[b.index]->c);
    return r != 0 ? r < 0 : a.key < b.key;
  });
  std::vector<uint32_t> order(n);
  for (uint32_t i = 0; i < n; ++i) order[i] = v[i].index;
  return order;
}

}  // namespace

INTERNAL_PLOT* sort_plot(MATRIX* m, INTERNAL_PLOT* ip) {
  PlotGeom g;
  if (!ip || !ip->next || !plot_geom(m, &g)) return ip;
  std::vector<INTERNAL_PLOT*> pts;
  for (INTERNAL_PLOT* p = ip; p; p = p->next) pts.push_back(p);
  ZKeys keys(g);
  std::vector<uint32_t> order;
  if (keys.usable()) {
    std::vector<KeyEntry> v(pts.size());
    for (uint32_t i = 0; i < v.size(); ++i) v[i] = KeyEntry{keys.key(pts[i]->c), i};
    order = key_order(std::move(v), keys.bits());
  } else {
    order = cmp_order(m, pts);
  }
  size_t n = order.size();
  for (size_t i = 0; i + 1 < n; ++i) pts[order[i]]->next = pts[order[i + 1]];
  pts[order[n - 1]]->next = nullptr;
  return pts[order[0]];
}

INTERNAL_PLOT* code2sorted_plot(MATRIX* m, const uint8_t* code, int size, SIMPLE_ALLOC_T* sat, int* errp) {
  PlotGeom g;
  if (!plot_geom(m, &g) || !code || size <= 0) {
    if (errp) *errp = -1;
    return nullptr;
  }
  ZKeys keys(g);
  if (!keys.usable()) {
    auto* ptr = reinterpret_cast<PRIMITIVE_PLOT*>(const_cast<uint8_t*>(code));
    return sort_plot(m, code2internal(m, ptr, size, sat, errp));
  }
  // Every record is checked before anything is made; its key comes from
  // the stored cells. A record also holds its place, its key and the
  // sort's copy of both until the list is made.
  std::vector<uint32_t> at;
  std::vector<KeyEntry> v;
  uint16_t c[64];
  PlotRoom room(sat == nullptr, 2 * (sizeof(KeyEntry) + sizeof(uint32_t)));
  for (size_t pos = 0;;) {
    int64_t r = pos < static_cast<size_t>(size) ? plot_record_bytes(code + pos, static_cast<size_t>(size) - pos, g.dim) : -1;
    if (r > 0 && !room.add(code + pos, g.dim)) r = -1;
    if (r < 0) {
      if (errp) *errp = -1;
      return nullptr;
    }
    if (r == 0) break;
    for (int d = 0; d < g.dim; ++d) c[d] = load_be16(code + pos + 2 + 2 * static_cast<size_t>(d));
    v.push_back(KeyEntry{keys.key(c), static_cast<uint32_t>(at.size())});
    at.push_back(static_cast<uint32_t>(pos));
    pos += static_cast<size_t>(r);
  }
  if (errp) *errp = 0;
  if (sat) smp_init(sat);
  if (at.empty()) return nullptr;
  std::vector<uint32_t> order = key_order(std::move(v), keys.bits());
  PointMaker mk(g.dim, sat, __FILE__, __LINE__);
  INTERNAL_PLOT* head = nullptr;
  INTERNAL_PLOT** tail = &head;
  for (uint32_t i : order) {
    plot_read_point(mk, tail, const_cast<uint8_t*>(code) + at[i], g.dim);
    tail = &(*tail)->next;
  }
  return head;
}
