// qmxImportUTM (qmx_utm.h).
#include "agent/qmx_utm.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

#include "agent/agent_impl.h"
#include "base/zutime.h"
#include "matrix/dim_code.h"
#include "matrix/element_cache.h"
#include "matrix/node.h"
#include "stream/stream.h"
#include "zu/builtin_kit.h"
#include "zu/errcodes.h"
#include "zu/gc.h"

namespace {

constexpr const char* kFunc = "qmxImportUTM";
constexpr double kRad = 2 * M_PI / 360;
// Pixels of a block handled together (a whole block of 256 x 256): bounds
// the working memory whatever the block size.
constexpr int64_t kTilePixels = int64_t{1} << 16;
// No level-0 coordinate of any matrix reaches this (2^62).
constexpr double kFar = 4611686018427387904.0;
constexpr int kUtmZones = 60;
constexpr const char* kNoFetch = "no fetch script";

ZU_SEXP* bad_param(ZU_SEXP* form, const char* what) {
  return error_at(form, ZU_ER_PARAM, kFunc, data_list("invalida parameter", what));
}

ZU_SEXP* type_mismatch(ZU_SEXP* form, const char* what) {
  return error_at(form, ZU_ER_TYPE, kFunc, data_list("type missmatch", what));
}

// ---- reading the command

bool number(ZU_SEXP* v, double* out) {
  if (is_integer(v)) *out = static_cast<double>(v->integer.num);
  else if (get_type(v) == ZU_TYPE_FLOATING) *out = v->floating.num;
  else return false;
  return true;
}

// The text of an attribute or string as bytes; a character beyond 7 bits
// becomes one that no number contains.
std::string ascii(const L_CHAR* t) {
  std::string s;
  for (; t && *t; ++t) s += *t < 0x80 ? static_cast<char>(*t) : '\x7f';
  return s;
}

// A decimal zone number ("054" is 54) up to the first hemisphere letter;
// "S" or "s" makes it southern (negative). False when no digit comes
// before the letter (blanks and a sign may).
bool zone_text(const std::string& text, int64_t* out) {
  const size_t cut = text.find_first_of("NnSs");
  const bool south = cut != std::string::npos && (text[cut] == 'S' || text[cut] == 's');
  const std::string head = text.substr(0, cut);
  size_t i = head.find_first_not_of(" \t");
  if (i == std::string::npos) return false;
  const bool neg = head[i] == '-';
  if (head[i] == '-' || head[i] == '+') ++i;
  if (i >= head.size() || head[i] < '0' || head[i] > '9') return false;
  int64_t v = 0;
  for (; i < head.size() && head[i] >= '0' && head[i] <= '9'; ++i) v = std::min<int64_t>(v * 10 + (head[i] - '0'), INT32_MAX);
  v = neg ? -v : v;
  *out = south ? -v : v;
  return true;
}

// A positive number written in full (blanks around it allowed).
bool positive_text(const std::string& text, double* out) {
  const char* s = text.c_str();
  char* end = nullptr;
  const double v = std::strtod(s, &end);
  if (end == s || std::strspn(end, " \t") != std::strlen(end)) return false;
  if (!std::isfinite(v) || v <= 0) return false;
  *out = v;
  return true;
}

// What the checks read of a matrix, under matrix_lock.
struct Shape {
  int dim = 0;
  MATRIX_DATA_TYPE* type = nullptr;  // of the channel asked for
  int64_t pixel_size[2] = {};
  int block_bits[2] = {};
  bool fetch[3] = {};                // a fetch script for top, middle, bottom levels
  int levels = 0;
};

Shape shape_of(MX_ENTRY* e, int64_t channel) {
  MATRIX* m = e->c.m;
  Shape s;
  lock_task(matrix_lock);
  s.dim = m->p.dim;
  s.levels = m->total_levels;
  for (int cls = 0; cls < 3; ++cls) s.fetch[cls] = m->cal[kMxFetchSlot + cls] != nullptr;
  if (channel >= 0 && channel < m->p.channel_nos) s.type = m->channel_info[channel].data_type;
  for (int d = 0; s.dim == 2 && d < 2; ++d) {
    s.pixel_size[d] = m->pixel_size[d];
    s.block_bits[d] = m->block_size[d];
  }
  unlock_task(matrix_lock, kFunc);
  return s;
}

// The access slot of the channel in the entry's cache: -1 when the channel
// names none of its typed channels.
int access_slot(MX_ENTRY* e, int64_t channel) {
  for (int i = 0; i < e->c.ds_len; ++i)
    if (e->c.access_ch[i] == channel) return i;
  return -1;
}

// A node of a level whose class has no fetch script is never ready: a
// read of it would wait for ever. The source is read at level 0; the
// target is walked from its top node down.
bool loads(const Shape& s, bool every_level) {
  const bool bottom = s.levels == 1 ? s.fetch[0] : s.fetch[2];
  if (!every_level) return bottom;
  return bottom && s.fetch[0] && (s.levels <= 2 || s.fetch[1]);
}

bool holds_words(const Shape& s) {
  return s.type && s.type->parent && s.type->parent->get_size(s.type->parent, nullptr) == 4;
}

// ---- geometry

// A double truncated toward zero, held to the range of coordinates (NaN
// reads 0).
int64_t to_coordinate(double v) {
  if (std::isnan(v)) return 0;
  return static_cast<int64_t>(std::trunc(std::clamp(v, -kFar, kFar)));
}

int64_t round_up(int64_t v, int bits) {
  const int64_t side = int64_t{1} << bits;
  return (v + side - 1) & ~(side - 1);
}

int64_t round_down(int64_t v, int bits) { return v & ~((int64_t{1} << bits) - 1); }

// A plane position as a source pixel: nearest, ties to even; false for one
// that is negative, not a number, or past every matrix.
bool source_pixel(double v, int64_t* out) {
  const double r = std::nearbyint(v);
  if (!(r >= 0 && r < kFar)) return false;
  *out = static_cast<int64_t>(r);
  return true;
}

uint32_t load_word(const uint8_t* p) {
  uint32_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// ---- one zone pass

constexpr int8_t kOut = -1;
constexpr int8_t kPending = 0;
constexpr int8_t kIn = 1;

struct CellKey {
  int64_t x, y;
  bool operator==(const CellKey& o) const { return x == o.x && y == o.y; }
};
struct CellHash {
  size_t operator()(const CellKey& k) const {
    return std::hash<int64_t>()(k.x * 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(k.y));
  }
};

// The first target node a pass could not write: kMxLoading (it did not
// become ready) or kMxNodeFailed (it could not be had), 0 for none.
struct TargetLoss {
  int code = 0;
  int64_t dc[3] = {};
};

// A rectangle of one target block, at most kTilePixels.
struct Tile {
  int64_t x, y;  // level-0 position of its first pixel
  int64_t cols, rows;
};

class Pass {
 public:
  Pass(UTM_DATA& u, int p, const Shape& target, const Shape& source, int tslot, int sslot, TargetLoss* loss)
      : u_(u), p_(p), k_(u.utm_st_west[p] + u.zone_width / 2), target_(target), source_(source),
        tslot_(tslot), sslot_(sslot), loss_(loss) {
    bx_ = int64_t{1} << target.block_bits[0];
    by_ = int64_t{1} << target.block_bits[1];
    tile_cols_ = std::min(bx_, kTilePixels);
    tile_rows_ = std::min(by_, std::max<int64_t>(1, kTilePixels / tile_cols_));
    const size_t n = static_cast<size_t>(tile_cols_ * tile_rows_);
    flag_.resize(n);
    sx_.resize(n);
    sy_.resize(n);
    word_.resize(n);
    valid_.resize(n);
    cell_.resize(n);
    order_.resize(n);
  }

  void run(const int64_t* start, const int64_t* end);

 private:
  void block(int64_t x, int64_t y);
  void project(const Tile& t);
  void read_sources(int64_t n);
  void read_cell(const CellKey& key, const int32_t* first, const int32_t* last);
  bool write(const Tile& t);
  void progress(const int64_t* ix, const int64_t* start, const int64_t* end);

  UTM_DATA& u_;
  const int p_;
  const double k_;  // the pass's centre meridian
  const Shape& target_;
  const Shape& source_;
  const int tslot_, sslot_;
  TargetLoss* const loss_;
  int64_t bx_, by_, tile_cols_, tile_rows_;
  // Per pixel of the tile.
  std::vector<int8_t> flag_;
  std::vector<int64_t> sx_, sy_;
  std::vector<uint32_t> word_;
  std::vector<uint8_t> valid_;  // a word read for the pixel
  std::vector<int32_t> cell_, order_;
  // Per source cell of the tile, in order of first use.
  std::vector<CellKey> cells_;
  std::vector<int32_t> counts_, at_, next_;
  std::unordered_map<CellKey, int32_t, CellHash> cell_ids_;
  unsigned last_progress_ = 0;
};

void Pass::run(const int64_t* start, const int64_t* end) {
  MATRIX* tm = u_.m_bl->c.m;
  if (qmx_trace()) {
    ss_printf("load_zone-1\n");
    ss_printf("TARGET START %s\n", pt_dc(tm, start, 2));
    ss_printf("TARGET END %s\n", pt_dc(tm, end, 2));
  }
  if (start[1] == end[1] || start[2] == end[2]) return;
  if (qmx_trace()) ss_printf("load_zone-2\n");
  u_.ep.org_lambda = k_ * kRad;
  u_.ep.org_X_enable = 1;
  u_.ep.org_X = 0;
  u_.ep.org_X0 = u_.UTMno >= 0 ? 0 : 10000000;
  u_.ep.org_Y0 = 500000;
  MX_CACHE* sc = &u_.m_utm->c;
  CacheAccess source(sc, 0, -1, 3);
  set_matrix_env(sc->m, "create-node", "disable");
  CacheAccess target(&u_.m_bl->c, 1, 2, 2);
  set_matrix_env(tm, "create-node", "enable");
  if (qmx_trace()) ss_printf("load_zone-3\n");
  for (int64_t y = start[2]; y < end[2]; y += by_) {
    for (int64_t x = start[1]; x < end[1]; x += bx_) {
      const int64_t ix[3] = {0, x, y};
      progress(ix, start, end);
      if (check_in_zone(u_, p_, x, y, bx_, by_)) block(x, y);
      gc_safepoint();
    }
  }
}

void Pass::progress(const int64_t* ix, const int64_t* start, const int64_t* end) {
  if (!qmx_trace()) return;
  const unsigned now = get_zutime();
  if (now == last_progress_) return;
  last_progress_ = now;
  MATRIX* tm = u_.m_bl->c.m;
  ss_printf("TARGET %s < %s %f\n", pt_dc(tm, ix, 2), pt_dc(tm, end, 2),
            double(ix[2] - start[2]) / double(end[2] - start[2]) * 100);
}

// The block at (x, y): its pixels tile by tile; the target node is fetched
// when the first pixel is ready to be written, and let go, changed, at the
// end. A target node that cannot be had ends the block.
void Pass::block(int64_t x, int64_t y) {
  bool failed = false;
  for (int64_t row = 0; row < by_ && !failed; row += tile_rows_) {
    for (int64_t col = 0; col < bx_ && !failed; col += tile_cols_) {
      const Tile t{x + col, y + row, std::min(tile_cols_, bx_ - col), std::min(tile_rows_, by_ - row)};
      project(t);
      const int64_t n = t.cols * t.rows;
      read_sources(n);
      if (std::find(flag_.begin(), flag_.begin() + n, kIn) == flag_.begin() + n) continue;
      failed = !write(t);
    }
  }
  flush_mx_cache(&u_.m_bl->c, 0);
}

// First scan: each pixel of the tile inside the zone's longitudes is
// projected and given its source pixel.
void Pass::project(const Tile& t) {
  const UTM_DATA& u = u_;
  const double west = u.utm_st_west[p_], east = u.utm_end_east[p_];
  for (int64_t r = 0; r < t.rows; ++r) {
    const double phi = u.offset_y + static_cast<double>(t.y + r) / u.reso_y;
    const bool on_earth = phi >= -90 && phi <= 90;
    int8_t* flag = flag_.data() + r * t.cols;
    int64_t* sx = sx_.data() + r * t.cols;
    int64_t* sy = sy_.data() + r * t.cols;
    for (int64_t c = 0; c < t.cols; ++c) {
      double lambda = u.offset_x + static_cast<double>(t.x + c) / u.reso_x;
      if (!on_earth || lambda < west || lambda >= east) {
        flag[c] = kOut;
        continue;
      }
      lambda = zone_lambda_adjust(lambda, k_);
      double X, Y;
      utm2bl(&X, &Y, lambda * kRad, phi * kRad, &u.ep);
      const double a = u.XY_dir ? (X - u.zone_offset_x) * u.zone_reso_x : (Y - u.zone_offset_y) * u.zone_reso_x;
      const double b = u.XY_dir ? (Y - u.zone_offset_y) * u.zone_reso_y : (X - u.zone_offset_x) * u.zone_reso_y;
      flag[c] = source_pixel(a, &sx[c]) && source_pixel(b, &sy[c]) ? kPending : kOut;
    }
  }
}

// Second scan: the pending pixels grouped by the source node (cell) that
// holds them, each cell's node fetched once and its words read in place.
void Pass::read_sources(int64_t n) {
  const int sb0 = source_.block_bits[0], sb1 = source_.block_bits[1];
  cells_.clear();
  counts_.clear();
  cell_ids_.clear();
  CellKey last{-1, -1};
  int32_t last_id = -1;
  for (int64_t i = 0; i < n; ++i) {
    if (flag_[i] != kPending) continue;
    const CellKey key{sx_[i] >> sb0, sy_[i] >> sb1};
    if (!(key == last)) {
      auto [it, made] = cell_ids_.try_emplace(key, static_cast<int32_t>(cells_.size()));
      if (made) {
        cells_.push_back(key);
        counts_.push_back(0);
      }
      last = key;
      last_id = it->second;
    }
    cell_[i] = last_id;
    ++counts_[last_id];
  }
  // The pixels of each cell together, in pixel order within the cell.
  at_.assign(cells_.size() + 1, 0);
  for (size_t c = 0; c < cells_.size(); ++c) at_[c + 1] = at_[c] + counts_[c];
  next_.assign(at_.begin(), at_.end() - 1);
  for (int64_t i = 0; i < n; ++i)
    if (flag_[i] == kPending) order_[next_[cell_[i]]++] = static_cast<int32_t>(i);
  for (size_t c = 0; c < cells_.size(); ++c) read_cell(cells_[c], order_.data() + at_[c], order_.data() + at_[c + 1]);
}

void Pass::read_cell(const CellKey& key, const int32_t* first, const int32_t* last) {
  MX_CACHE* sc = &u_.m_utm->c;
  const int64_t dc[3] = {0, key.x << source_.block_bits[0], key.y << source_.block_bits[1]};
  int64_t w = 0, h = 0;
  const uint8_t* words = get_mx_cache(sc, dc) == 0 ? mx_cache_node_words(sc, sslot_, &w, &h) : nullptr;
  for (const int32_t* i = first; i < last; ++i) {
    const int64_t ox = sx_[*i] - dc[1], oy = sy_[*i] - dc[2];
    if (!words || ox >= w || oy >= h) {
      flag_[*i] = kOut;
      continue;
    }
    word_[*i] = load_word(words + (oy * w + ox) * 4);
    flag_[*i] = kIn;
  }
}

// Writes the tile's read pixels into the target (cut at the matrix edge):
// false when its node cannot be had or holds no words, the first such node
// kept for the command's answer.
bool Pass::write(const Tile& t) {
  const int64_t n = t.cols * t.rows;
  for (int64_t i = 0; i < n; ++i) valid_[size_t(i)] = flag_[size_t(i)] == kIn;
  const MX_PIXEL_RECT r{tslot_, 0, t.x, t.y, t.cols, t.rows};
  int64_t at[3] = {0, t.x, t.y};
  const int w = write_mx_cache_rect(&u_.m_bl->c, r, 0, t.rows, word_.data(), valid_.data(), at);
  if (w != 0 && loss_->code == 0) {
    loss_->code = w == kMxcNotReady ? kMxLoading : mx_is_load_fault(w) ? w : kMxNodeFailed;
    std::copy(at, at + 3, loss_->dc);
  }
  return w == 0;
}

// ---- the two passes

void import_zones(UTM_DATA& u, const Shape& target, const Shape& source, int tslot, int sslot, TargetLoss* loss) {
  ss_printf("IMPORT UTM zw=%f\n", u.zone_width);
  if (u.UTMno > 0) {
    u.utm_st_south = 0;
    u.utm_end_north = 90;
  } else {
    u.utm_st_south = -90;
    u.utm_end_north = 0;
  }
  const int zone = u.UTMno > 0 ? u.UTMno : -u.UTMno;
  const double meridian = 6.0 * zone - 183;
  u.utm_end_east[0] = meridian + u.zone_width / 2;
  u.utm_st_west[0] = meridian - u.zone_width / 2;
  u.utm_st_west[1] = u.utm_st_west[0] + 360;
  u.utm_end_east[1] = u.utm_end_east[0] + 360;
  MATRIX* tm = u.m_bl->c.m;
  const int* bits = target.block_bits;
  for (int p = 0; p < 2; ++p) {
    int64_t start[3] = {0, to_coordinate((u.utm_st_west[p] - u.offset_x) * u.reso_x),
                        to_coordinate((u.utm_st_south - u.offset_y) * u.reso_y)};
    int64_t end[3] = {0, to_coordinate((u.utm_end_east[p] - u.offset_x) * u.reso_x),
                      to_coordinate((u.utm_end_north - u.offset_y) * u.reso_y)};
    for (int d = 0; d < 2; ++d) {
      start[d + 1] = round_down(start[d + 1], bits[d]);
      end[d + 1] = round_up(end[d + 1], bits[d]);
    }
    if (p == 0 && qmx_trace()) {
      ss_printf("z1_start_tile %s\n", pt_dc(tm, start, 2));
      ss_printf("z1_end_tile %s\n", pt_dc(tm, end, 2));
    }
    boundary_setup(start, target.pixel_size, bits);
    boundary_setup(end, target.pixel_size, bits);
    Pass(u, p, target, source, tslot, sslot, loss).run(start, end);
  }
}

// Reads the attributes after the entries (ch, utmch, zwidth, XYdir) into u
// with the checks of the channels: null, or the error.
ZU_SEXP* read_attributes(ZU_SEXP* form, ZU_SYM_FIELD* sf, UTM_DATA* u, Shape* target, Shape* source, int* tslot,
                         int* sslot) {
  const L_CHAR* ch = head_option(sf, "ch");
  if (!ch) return bad_param(form, "ch");
  const L_CHAR* utmch = head_option(sf, "utmch");
  const int64_t bl_channel = option_int64(ch), utm_channel = utmch ? option_int64(utmch) : bl_channel;
  *target = shape_of(u->m_bl, bl_channel);
  *source = shape_of(u->m_utm, utm_channel);
  if (!holds_words(*target)) return bad_param(form, "ch");
  if (!source->type) return bad_param(form, "utmch");
  if (!holds_words(*source)) return bad_param(form, "ch");
  if (target->dim != 2 || source->dim != 2) return bad_param(form, "dim");
  if (!loads(*target, true)) return error_at(form, ZU_ER_PARAM, kFunc, data_list("invalida parameter", "id", kNoFetch));
  if (!loads(*source, false))
    return error_at(form, ZU_ER_PARAM, kFunc, data_list("invalida parameter", "utmid", kNoFetch));
  *tslot = access_slot(u->m_bl, bl_channel);
  *sslot = access_slot(u->m_utm, utm_channel);
  if (*tslot < 0) return bad_param(form, "ch");
  if (*sslot < 0) return bad_param(form, "utmch");
  u->bl_channel = static_cast<int32_t>(bl_channel);
  u->utm_channel = static_cast<int32_t>(utm_channel);
  const L_CHAR* zwidth = head_option(sf, "zwidth");
  u->zone_width = 6.0;
  if (zwidth && !positive_text(ascii(zwidth), &u->zone_width)) return bad_param(form, "zwidth");
  const L_CHAR* dir = head_option(sf, "XYdir");
  u->XY_dir = !dir || option_is(dir, "forward");
  return nullptr;
}

// The zone (element 5): an integer or a zone text, 1 to 60 either side.
ZU_SEXP* read_zone(ZU_SEXP* form, ZU_SEXP* v, UTM_DATA* u) {
  int64_t zone = 0;
  if (is_integer(v)) zone = v->integer.num;
  else if (!is_string(v)) return type_mismatch(form, "UTMno(Arg 5)");
  else if (!zone_text(ascii(str_text(v)), &zone)) return bad_param(form, "UTMno(Arg 5)");
  if (zone == 0 || zone < -kUtmZones || zone > kUtmZones) return bad_param(form, "UTMno(Arg 5)");
  u->UTMno = static_cast<int32_t>(zone);
  return nullptr;
}

// Elements 1 to 10 in order.
ZU_SEXP* read_elements(ZU_SEXP* form, UTM_DATA* u) {
  static const char* const kNumbers[] = {"offset_x(Arg 1)", "offset_y(Arg 2)", "reso_x(Arg 3)", "reso_y(Arg 4)"};
  double* numbers[] = {&u->offset_x, &u->offset_y, &u->reso_x, &u->reso_y};
  for (int i = 0; i < 4; ++i)
    if (!number(get_el(form, i + 1), numbers[i])) return type_mismatch(form, kNumbers[i]);
  if (ZU_SEXP* err = read_zone(form, get_el(form, 5), u)) return err;
  QN_POINT offset, reso;
  if (zu_to_qn_point(&offset, get_el(form, 6)) < 0) return bad_param(form, "zone_offset_x/y(Arg 6)");
  if (zu_to_qn_rect(&u->zone_minrect, get_el(form, 7)) < 0) return bad_param(form, "zone_rezo_mirect(Arg 7)");
  if (zu_to_qn_point(&reso, get_el(form, 8)) < 0) return bad_param(form, "zone_rezo_x/y(Arg 8)");
  u->zone_offset_x = offset.x;
  u->zone_offset_y = offset.y;
  u->zone_reso_x = reso.x;
  u->zone_reso_y = reso.y;
  if (!number(get_el(form, 9), &u->ep.a)) return type_mismatch(form, "alipsoid-a(Arg 9)");
  if (!number(get_el(form, 10), &u->ep.b)) return type_mismatch(form, "alipsoid-b(Arg 10)");
  // An ellipsoid whose axes give no real eccentricity projects nothing.
  if (!(u->ep.a > 0) || !std::isfinite(u->ep.a)) return bad_param(form, "alipsoid-a(Arg 9)");
  if (!(u->ep.b > 0) || !(u->ep.b <= u->ep.a)) return bad_param(form, "alipsoid-b(Arg 10)");
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------

double zone_lambda_adjust(double lambda, double k) { return std::fabs(lambda - k) < 90 ? lambda : lambda - 360; }

void boundary_setup(int64_t* dc, const int64_t* pixel_size, const int* block_bits) {
  for (int d = 0; d < 2; ++d) {
    int64_t& v = dc[d + 1];
    if (v < 0) v = 0;
    else if (v >= pixel_size[d]) v = round_up(pixel_size[d], block_bits[d]);
  }
  dc[0] = 0;
}

bool check_in_zone(const UTM_DATA& u, int pass, int64_t x, int64_t y, int64_t bx, int64_t by) {
  const double k = u.utm_st_west[pass] + u.zone_width / 2;
  const int64_t corners[4][2] = {{x, y + by}, {x + bx, y + by}, {x, y}, {x + bx, y}};
  double lambda[6], phi[6];
  int n = 4;
  for (int i = 0; i < 4; ++i) {
    lambda[i] = zone_lambda_adjust(u.offset_x + static_cast<double>(corners[i][0]) / u.reso_x, k);
    // A corner past a pole is taken at the pole: the block may still hold
    // pixels on the earth.
    phi[i] = std::clamp(u.offset_y + static_cast<double>(corners[i][1]) / u.reso_y, -90.0, 90.0);
  }
  // The northing of a parallel is extreme on the centre meridian.
  if (lambda[0] < k && lambda[1] > k) {
    lambda[4] = lambda[5] = k;
    phi[4] = phi[2];
    phi[5] = phi[0];
    n = 6;
  }
  constexpr double inf = std::numeric_limits<double>::infinity();
  double min_x = inf, max_x = -inf, min_y = inf, max_y = -inf;
  for (int i = 0; i < n; ++i) {
    double X, Y;
    utm2bl(&X, &Y, lambda[i] * kRad, phi[i] * kRad, &u.ep);
    // What cannot be projected is left to the pixels.
    if (!std::isfinite(X) || !std::isfinite(Y)) return true;
    min_x = std::min(min_x, X);
    max_x = std::max(max_x, X);
    min_y = std::min(min_y, Y);
    max_y = std::max(max_y, Y);
  }
  const QN_RECT& r = u.zone_minrect;
  return max_x >= std::min(r.tl.x, r.br.x) && min_x <= std::max(r.tl.x, r.br.x) &&
         max_y >= std::min(r.tl.y, r.br.y) && min_y <= std::max(r.tl.y, r.br.y);
}

ZU_SEXP* qn_qmxImportUTM(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  const L_CHAR* id = head_option(sf, "id");
  const L_CHAR* utmid = head_option(sf, "utmid");
  const int bl_id = id ? option_int(id) : 0, utm_id = utmid ? option_int(utmid) : 0;
  // Two imports between the same two entries take them in the same order;
  // a matrix is not its own source (id 0 names no entry).
  const bool bl_first = bl_id <= utm_id;
  EntryUse first(bl_first ? bl_id : utm_id);
  EntryUse second(bl_id == utm_id ? 0 : bl_first ? utm_id : bl_id);
  UTM_DATA u{};
  u.m_bl = (bl_first ? first : second).get();
  u.m_utm = (bl_first ? second : first).get();
  if (!u.m_bl) return bad_param(form, "id");
  if (!u.m_utm) return bad_param(form, "utmid");
  Shape target, source;
  int tslot = -1, sslot = -1;
  if (ZU_SEXP* err = read_attributes(form, sf, &u, &target, &source, &tslot, &sslot)) return err;
  if (ZU_SEXP* err = read_elements(form, &u)) return err;
  u.ep.m0 = 0.9996;
  TargetLoss loss;
  // The import writes the target, and reading the source may save what
  // was changed in it.
  const WriteWatch writes(u.m_bl->c.m, u.m_utm->c.m);
  import_zones(u, target, source, tslot, sslot, &loss);
  // Pixels of a target node that could not be written are not there: said
  // as a node read says it, with the file's cause (the others are written).
  if (loss.code != 0) return qmx_node_fault(form, kFunc, u.m_bl->c.m, loss.dc, loss.code);
  return writes.fault(form, kFunc);
}
