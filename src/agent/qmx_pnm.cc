// qmxImportPNM, qmxExportPNM and qmxPNMStatus (qmx_pnm.h).
#include "agent/qmx_pnm.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "agent/agent_impl.h"
#include "agent/mx_entry.h"
#include "base/alloc.h"
#include "base/file.h"
#include "base/lock.h"
#include "base/zutime.h"
#include "codec/pnm.h"
#include "matrix/element_cache.h"
#include "matrix/mx_file.h"
#include "matrix/node.h"
#include "runtime/peer_read.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/errcodes.h"
#include "zu/gc.h"
#include "zulib/files.h"

namespace {

constexpr int64_t kMaxPixels = int64_t{1} << 28;
// Rows of one band are held in memory together; a band never holds more
// pixel words than this (but always one row).
constexpr int64_t kBandBytes = int64_t{16} << 20;
constexpr uint32_t kNoData = 0x000000FF;
// The largest sample of one byte, and of two.
constexpr int kMaxByteSample = 255;
constexpr int kMaxWordSample = 65535;

// ---- arguments and errors

std::string narrow(ZU_SEXP* s) {
  size_t len = 0;
  char* text = ln_copy_bytes(std_cm, str_text(s), &len);
  std::string r(text ? text : "", text ? len : 0);
  d_f_ree(text);
  return r;
}

ZU_SEXP* id_error(ZU_SEXP* form, const char* func) {
  return error_list_at(form, ZU_ER_PARAM, func, "invalida parameter (attribute id)");
}

ZU_SEXP* bad_param(ZU_SEXP* form, const char* func, const char* what) {
  return error_at(form, ZU_ER_PARAM, func, data_list("invalida parameter", what));
}

ZU_SEXP* file_error(ZU_SEXP* form, const char* func, uint32_t code, const char* text, ZU_SEXP* file) {
  return error_at(form, code, func, data_list(text, file));
}

// A picture that could not be written, and the system's reason.
ZU_SEXP* write_error(ZU_SEXP* form, const char* func, const char* text, ZU_SEXP* file, int err) {
  return error_at(form, ZU_ER_OPEN, func, data_list(text, file, std::strerror(err ? err : EIO)));
}

// Where a pixel loop stopped because a node did not become ready (kMxLoading:
// the wait ended, or no script makes the node ready), could not be written
// (kMxNodeFailed: its fetch failed) or could not be read although the file
// holds it (a load fault).
struct Stalled {
  int64_t dc[3] = {};
  int code = kMxNodeFailed;  // a node lost: why (a load fault), when known
};

// An integer, or a floating value truncated toward zero; false for
// anything else (a floating value outside the 64-bit range included).
bool coordinate(ZU_SEXP* v, int64_t* out) {
  if (is_integer(v)) {
    *out = v->integer.num;
    return true;
  }
  if (get_type(v) != ZU_TYPE_FLOATING) return false;
  double d = std::trunc(v->floating.num);
  if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) return false;
  *out = static_cast<int64_t>(d);
  return true;
}

// A colour written in decimal, in hexadecimal after "0x", or in octal
// after a leading 0 (leading blanks and a sign allowed; the digits end at
// the first other character).
int64_t colour_value(const L_CHAR* t) {
  while (*t == ' ' || *t == '\t') ++t;
  const bool neg = *t == '-';
  if (*t == '-' || *t == '+') ++t;
  int base = 10;
  if (t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    base = 16;
    t += 2;
  } else if (t[0] == '0') {
    base = 8;
  }
  uint64_t v = 0;
  for (;; ++t) {
    int d = *t >= '0' && *t <= '9' ? int(*t - '0')
            : *t >= 'a' && *t <= 'f' ? int(*t - 'a' + 10)
            : *t >= 'A' && *t <= 'F' ? int(*t - 'A' + 10)
                                     : 99;
    if (d >= base) break;
    v = v * base + d;  // only the low 24 bits matter
  }
  return static_cast<int64_t>(neg ? 0 - v : v);
}

// The arguments both commands begin with: the picture's name, the entry's
// id, the channel and the level.
struct PnmArgs {
  ZU_SEXP* file;
  const L_CHAR* id;
  ZU_SEXP* channel;
  ZU_SEXP* level;
};

// Null with *a filled, or the error of a missing or mistyped argument.
ZU_SEXP* read_args(ZU_SEXP* form, ZU_SYM_FIELD* sf, const char* func, PnmArgs* a) {
  a->file = get_el(form, 1);
  if (!is_string(a->file)) return error_at(form, ZU_ER_TYPE, func, nullptr);
  a->id = head_option(sf, "id");
  if (!a->id) return id_error(form, func);
  a->channel = get_el(form, 2);
  a->level = get_el(form, 3);
  if (!is_integer(a->channel) || !is_integer(a->level)) return error_at(form, ZU_ER_TYPE, func, nullptr);
  return nullptr;
}

// ---- the image on the matrix

// Where an image lies: its top-left position (finest units), its size in
// pixels of the level, and the level's shifts.
struct Placement {
  int64_t level = 0, x = 0, y = 0, width = 0, height = 0;
  int sx = 0, sy = 0;  // dim_divide * level
  int64_t rows_cap = 1;  // rows of the pixel buffers

  MX_PIXEL_RECT rect(int slot) const { return MX_PIXEL_RECT{slot, level, x, y, width, height}; }
};

// The checks both commands make of the matrix: two dimensions, a channel
// that holds 4-byte vector elements (a number naming no channel is left to
// the caller: the import refuses it, the export writes white), a level of
// the matrix. Fills the placement's level fields and *slot (the access
// channel of the channel, or -1). Null, or the error.
ZU_SEXP* check_matrix(MX_ENTRY* e, int64_t channel, int64_t level, Placement* p, int* slot, ZU_SEXP* form,
                      const char* func) {
  MATRIX* m = e->c.m;
  lock_task(matrix_lock);
  const int dim = m->p.dim;
  const int channels = m->p.channel_nos;
  MATRIX_DATA_TYPE* tp = channel >= 0 && channel < channels ? m->channel_info[channel].data_type : nullptr;
  const int64_t levels = m->total_levels;
  if (dim == 2) {
    p->sx = level >= 0 && level < levels ? int(level * m->dim_divide[0]) : 0;
    p->sy = level >= 0 && level < levels ? int(level * m->dim_divide[1]) : 0;
  }
  unlock_task(matrix_lock, func);
  if (dim != 2) return bad_param(form, func, "dim");
  if (channel >= 0 && channel < channels &&
      (!tp || !tp->parent || tp->parent->get_size(tp->parent, nullptr) != 4))
    return bad_param(form, func, "channel type");
  if (level < 0 || level >= levels) return bad_param(form, func, "level");
  p->level = level;
  *slot = -1;
  for (int i = 0; i < e->c.ds_len; ++i)
    if (e->c.access_ch[i] == channel) *slot = i;
  return nullptr;
}

// The entry that `used` holds, checked for the arguments' channel and level
// as check_matrix does: null, or the error.
ZU_SEXP* check_entry(const EntryUse& used, const PnmArgs& a, Placement* p, int* slot, ZU_SEXP* form, const char* func) {
  MX_ENTRY* e = used.get();
  if (!e) return id_error(form, func);
  return check_matrix(e, a.channel->integer.num, a.level->integer.num, p, slot, form, func);
}

// ---- pixel transfer

// Blocks taken from the entry cache's pool for one command.
class PoolBlocks {
 public:
  explicit PoolBlocks(MX_CACHE* c) : c_(c) {}
  ~PoolBlocks() {
    for (void*& b : blocks_)
      if (b) mxc_pool_free(c_, b, __FILE__, __LINE__);
  }
  template <class T>
  T* take(int64_t count) {
    for (void*& b : blocks_)
      if (!b) return static_cast<T*>(b = mxc_pool_alloc(c_, size_t(std::max<int64_t>(count, 1)) * sizeof(T), __FILE__, __LINE__));
    return nullptr;
  }

 private:
  MX_CACHE* c_;
  void* blocks_[4] = {};
};

void trace_rows(int64_t h0, int64_t rows, int64_t height) {
  if (!qmx_trace()) return;
  for (int64_t r = 0; r < rows; ++r) ss_printf("h = %i/%i   \n", int(h0 + r), int(height));
}

// Guards an open descriptor.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) u_close(fd);
  }
  int release() { return std::exchange(fd, -1); }
};

// Opens the picture that command func names by path to read: null, or the
// error. A peer reads only where it may, and the file that was judged. Its
// reads are positioned, which a FIFO or a terminal cannot serve; opening
// does not wait for a FIFO's writer.
ZU_SEXP* open_picture(ZU_SEXP* form, const char* func, ZU_SEXP* file, Fd* fd) {
  PeerReadFile judged;
  if (ZU_SEXP* no = peer_read_judge(form, narrow(file).c_str(), func, &judged)) return no;
  fd->fd = judged.open_read(O_NONBLOCK);
  if (fd->fd < 0) return file_error(form, func, ZU_ER_OPEN, "cannot open the file", file);
  struct stat st {};
  if (fstat(fd->fd, &st) != 0 || !S_ISREG(st.st_mode))
    return file_error(form, func, ZU_ER_END_OF_INPUT, "cannot read the file", file);
  return nullptr;
}

// The number that is the whole of text, in decimal as this program writes
// it (no sign, no leading zero), at most limit; false otherwise.
bool plain_decimal(std::string_view text, uint64_t limit, uint64_t* value) {
  if (text.empty() || text.size() > 10 || (text[0] == '0' && text.size() > 1)) return false;
  uint64_t v = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return false;
    v = v * 10 + uint64_t(ch - '0');
  }
  *value = v;
  return v <= limit;
}

// The pid in the name of an export's temporary for the target called base
// (".BASE.PID.SERIAL.tmp", as make_temp names it), or -1 for any other name:
// a user's file that merely looks alike is not this program's to remove.
pid_t temp_owner(std::string_view name, std::string_view base) {
  constexpr std::string_view kTail = ".tmp";
  // The shortest is ".BASE.P.N.tmp".
  if (name.size() < base.size() + 4 + kTail.size() || name[0] != '.' || !name.ends_with(kTail)) return -1;
  name.remove_prefix(1);
  name.remove_suffix(kTail.size());
  if (!name.starts_with(base) || name[base.size()] != '.') return -1;
  name.remove_prefix(base.size() + 1);
  const size_t dot = name.find('.');
  uint64_t pid = 0, serial = 0;
  if (dot == std::string_view::npos || !plain_decimal(name.substr(0, dot), INT32_MAX, &pid) ||
      !plain_decimal(name.substr(dot + 1), UINT32_MAX, &serial) || pid == 0)
    return -1;
  return static_cast<pid_t>(pid);
}

// Removes from folder the temporaries that exports into the target called
// base left when they were killed part way: regular files of that name,
// owned by this user, whose process is gone; never those of this process
// or of a live one.
void remove_dead_temps(const std::string& folder, std::string_view base) {
  DIR* d = opendir(folder.empty() ? "." : folder.c_str());
  if (!d) return;
  const pid_t me = getpid();
  const uid_t user = geteuid();
  while (const dirent* ent = readdir(d)) {
    const pid_t owner = temp_owner(ent->d_name, base);
    if (owner <= 0 || owner == me || kill(owner, 0) == 0 || errno != ESRCH) continue;
    const std::string path = folder + ent->d_name;
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == user) u_unlink(path.c_str());
  }
  closedir(d);
}

// Where an export writes. A regular file, or a missing one, is written under
// a new name in the same folder and renamed over the target only when every
// row is in it, so that a failed export leaves the target as it was; the
// picture keeps the mode of the file it replaces, and a link keeps naming
// it. An existing target must be writable, and must not be a matrix file in
// use. Any other file (a device) is written in place, since renaming over
// it would replace it; opening it does not wait for a FIFO's reader.
class ExportFile {
 public:
  ExportFile() = default;
  ~ExportFile() {
    if (fd_ >= 0) u_close(fd_);
    if (!temp_.empty()) u_unlink(temp_.c_str());
  }
  ExportFile(const ExportFile&) = delete;
  ExportFile& operator=(const ExportFile&) = delete;

  // 0 with fd() ready for the picture, or the system's reason it is not
  // (EBUSY for a matrix file in use).
  int open(const std::string& target) {
    Fd present;
    present.fd = u_open64(target.c_str(), O_WRONLY | O_NONBLOCK, 0);
    struct stat st {};
    if (present.fd < 0) {
      if (errno != ENOENT) return errno;
    } else if (fstat(present.fd, &st) != 0) {
      return errno;
    } else if (mx_file_in_use(present.fd)) {
      return EBUSY;
    } else if (!S_ISREG(st.st_mode)) {
      fd_ = present.release();
      return fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK) == 0 ? 0 : errno;
    }
    target_ = target;
    if (present.fd >= 0)
      if (char* real = realpath(target.c_str(), nullptr)) {
        target_ = real;
        std::free(real);
      }
    if (make_temp() != 0) return errno;
    return present.fd < 0 || fchmod(fd_, st.st_mode & 07777) == 0 ? 0 : errno;
  }
  int fd() const { return fd_; }
  // Puts the picture in place: 0, or the system's reason with the target
  // as it was.
  int commit() {
    if (u_close(std::exchange(fd_, -1)) != 0) return errno;
    if (temp_.empty()) return 0;
    if (u_rename(temp_.c_str(), target_.c_str()) != 0) return errno;
    temp_.clear();
    return 0;
  }

 private:
  // A new file beside the target, named after it and this process; the
  // temporaries that exports killed part way left there go first.
  int make_temp() {
    static std::atomic<unsigned> serial{0};
    const size_t slash = target_.rfind('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    remove_dead_temps(target_.substr(0, base), std::string_view(target_).substr(base));
    for (int tries = 0; tries < 16 && fd_ < 0; ++tries) {
      temp_ = target_.substr(0, base) + "." + target_.substr(base) + "." + std::to_string(getpid()) + "." +
              std::to_string(serial++) + ".tmp";
      fd_ = u_open64(temp_.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
      if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) temp_.clear();
    return fd_ < 0 ? -1 : 0;
  }

  std::string target_, temp_;
  int fd_ = -1;
};

// ---- import

struct ImportSource {
  int fd;
  int64_t data_at;  // first pixel byte
  int bpp;          // 1 grey, 3 colour
  int64_t transparent;  // the pixel word left untouched, or -1
  const uint8_t* depth;  // each sample scaled to 0..255, or null for a maximum of 255
};

// Pixel words (and validity bytes when a transparent word is set) of n
// pixels of file bytes, each sample through `depth` when kScaled. Called
// once per band, out of line: inlined into the command, the loop lost a
// register to it and reloaded a pointer per pixel.
template <bool kScaled>
[[gnu::noinline]] void to_words_at(const ImportSource& s, const uint8_t* raw, int64_t n, uint32_t* words, uint8_t* valid) {
  // Copies: a store through the bytes of `valid` could otherwise change them.
  const int bpp = s.bpp;
  const int64_t transparent = s.transparent;
  const uint8_t* depth = s.depth;
  auto sample = [depth](uint8_t v) -> uint32_t { return kScaled ? depth[v] : v; };
  for (int64_t i = 0; i < n; ++i, raw += bpp) {
    const uint32_t w = bpp == 1 ? sample(raw[0]) * 0x01010100u
                                : sample(raw[0]) << 24 | sample(raw[1]) << 16 | sample(raw[2]) << 8;
    words[i] = w;
    if (valid) valid[i] = int64_t{w} != transparent;
  }
}

void to_words(const ImportSource& s, const uint8_t* raw, int64_t n, uint32_t* words, uint8_t* valid) {
  if (s.depth) to_words_at<true>(s, raw, n, words, valid);
  else to_words_at<false>(s, raw, n, words, valid);
}

// The pixel loop of the import: 0, -1 when the file ended early (the rows
// read whole are written), kMxcNotReady when a node to write did not
// become ready (*at names it; what came before it is written), or
// kNodeLost when a node could not be written (*at names the first; the
// others are written).
constexpr int kNodeLost = -3;  // beside -1 and kMxcNotReady

int import_pixels(MX_ENTRY* e, const ImportSource& s, const Placement& p, int slot, Stalled* at) {
  MX_CACHE* c = &e->c;
  PoolBlocks pool(c);
  const int64_t band_px = p.rows_cap * p.width;
  auto* raw = pool.take<uint8_t>(band_px * s.bpp);
  auto* words = pool.take<uint32_t>(band_px);
  auto* valid = s.transparent >= 0 ? pool.take<uint8_t>(band_px) : nullptr;
  const MX_PIXEL_RECT r = p.rect(slot);
  const int64_t row_bytes = p.width * s.bpp;
  const int64_t fetched = c->miss_hit_cnt;
  int result = 0;
  bool lost = false;
  for (int64_t h = 0; h < p.height && result == 0;) {
    const int64_t rows = mx_rect_band(c, r, h, p.rows_cap);
    ssize_t got;
    {
      BlockingRegion io;
      got = u_pread_full(s.fd, raw, size_t(rows * row_bytes), s.data_at + h * row_bytes);
    }
    const int64_t whole = got < 0 ? 0 : got / row_bytes;
    if (whole < rows) result = -1;
    to_words(s, raw, whole * p.width, words, valid);
    trace_rows(h, whole, p.height);
    // A channel that names no access channel of the entry takes nothing.
    if (slot >= 0) {
      Stalled where;
      const int w = write_mx_cache_rect(c, r, h, whole, words, valid, where.dc);
      if (mx_is_load_fault(w)) where.code = w;
      if (w == kMxcNotReady || (w < 0 && !lost)) *at = where;
      if (w == kMxcNotReady) result = kMxcNotReady;
      else if (w < 0) lost = true;
    }
    h += rows;
    gc_safepoint();
  }
  if (qmx_trace())
    ss_printf("qmxImportPNM: %lli rows, %lli node fetches\n", static_cast<long long>(p.height),
              static_cast<long long>(c->miss_hit_cnt - fetched));
  return result == 0 && lost ? kNodeLost : result;
}

// ---- export

// The pixel loop of the export: 0, -1 when the file could not be written
// (*err the system's reason), kMxcNotReady when a node to read did not
// become ready, or the load fault of a node the file holds but could not
// give (*at names the node).
int export_pixels(MX_ENTRY* e, int fd, int64_t data_at, const Placement& p, int slot, Stalled* at, int* err) {
  MX_CACHE* c = &e->c;
  PoolBlocks pool(c);
  const int64_t band_px = p.rows_cap * p.width;
  auto* words = pool.take<uint32_t>(band_px);
  auto* out = pool.take<uint8_t>(band_px * 3);
  const MX_PIXEL_RECT r = p.rect(slot);
  const int64_t row_bytes = p.width * 3;
  for (int64_t h = 0; h < p.height;) {
    const int64_t rows = mx_rect_band(c, r, h, p.rows_cap);
    trace_rows(h, rows, p.height);
    std::fill(words, words + rows * p.width, kNoData);
    if (slot >= 0)
      if (const int got = read_mx_cache_rect(c, r, h, rows, words, at->dc); got == kMxcNotReady || mx_is_load_fault(got))
        return got;
    uint8_t* o = out;
    for (int64_t i = 0; i < rows * p.width; ++i, o += 3) {
      const uint32_t w = words[i];
      if (w & 0xFF) {
        o[0] = o[1] = o[2] = 255;
      } else {
        o[0] = uint8_t(w >> 24);
        o[1] = uint8_t(w >> 16);
        o[2] = uint8_t(w >> 8);
      }
    }
    ssize_t put;
    {
      BlockingRegion io;
      put = u_pwrite_full(fd, out, size_t(rows * row_bytes), data_at + h * row_bytes);
    }
    if (put != rows * row_bytes) {
      *err = errno;
      return -1;
    }
    h += rows;
    gc_safepoint();
  }
  return 0;
}

// The magic of a file whose header the codec refused: its first two bytes
// when they are printable, else nothing.
void file_magic(int fd, char* magic) {
  char b[2] = {};
  std::memset(magic, 0, 4);
  if (u_pread_full(fd, b, 2, 0) == 2 && b[0] > ' ' && b[0] < 127 && b[1] > ' ' && b[1] < 127) {
    magic[0] = b[0];
    magic[1] = b[1];
  }
}

void set_rows_cap(Placement* p) { p->rows_cap = std::clamp<int64_t>(kBandBytes / (p->width * 4), 1, p->height); }

}  // namespace

// ---------------------------------------------------------------------------
// The commands

ZU_SEXP* qn_qmxImportPNM(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "qmxImportPNM";
  PnmArgs a;
  if (ZU_SEXP* err = read_args(form, sf, kFunc, &a)) return err;
  ZU_SEXP* file = a.file;
  const L_CHAR* colour = head_option(sf, "transparent");
  const int64_t transparent = colour ? int64_t{uint32_t(colour_value(colour) << 8)} : -1;
  ss_printf("TRANSPARENT = %x\n", static_cast<unsigned>(transparent));
  Placement p;
  if (!coordinate(get_el(form, 4), &p.x) || !coordinate(get_el(form, 5), &p.y))
    return error_at(form, ZU_ER_TYPE, kFunc, nullptr);
  EntryUse used(option_int(a.id));
  int slot = -1;
  if (ZU_SEXP* err = check_entry(used, a, &p, &slot, form, kFunc)) return err;
  // A picture for a channel the matrix does not have would go nowhere.
  if (slot < 0) return bad_param(form, kFunc, "channel");
  MX_ENTRY* e = used.get();
  const WriteWatch writes(e->c.m);
  Fd fd;
  if (ZU_SEXP* err = open_picture(form, kFunc, file, &fd)) return err;
  PPM_INFO pi{};
  pi.pi_fd = fd.fd;
  const bool parsed = read_header(&pi) == 0;
  if (!parsed) file_magic(fd.fd, pi.pi_type);
  pi.pi_type[sizeof pi.pi_type - 1] = 0;
  const bool p5 = std::strcmp(pi.pi_type, "P5") == 0;
  if (parsed && std::strcmp(pi.pi_type, "P4") == 0) ss_printf("not support the  format P4\n");
  const bool p5_or_p6 = p5 || std::strcmp(pi.pi_type, "P6") == 0;
  // A maximum above 255 stores every sample in two bytes (the default of
  // many tools): said, since the magic alone looks like a supported one.
  if (parsed && p5_or_p6 && pi.pi_max > kMaxByteSample && pi.pi_max <= kMaxWordSample)
    return error_at(form, ZU_ER_PARAM, kFunc, data_list("unsupported PNM format", pi.pi_type, "samples of 2 bytes"));
  if (!parsed || !p5_or_p6 || pi.pi_max < 1 || pi.pi_max > kMaxByteSample)
    return error_at(form, ZU_ER_PARAM, kFunc, data_list("unsupported PNM format", pi.pi_type));
  p.width = pi.pi_width;
  p.height = pi.pi_height;
  if (p.height > 0 && p.width > kMaxPixels / p.height) return bad_param(form, kFunc, "size");
  if (p.width < 1 || p.height < 1) return nullptr;
  set_rows_cap(&p);
  // Samples of a smaller maximum are scaled to the matrix's 0..255.
  uint8_t depth[256];
  if (pi.pi_max != kMaxByteSample) pnm_sample_table(pi.pi_max, depth);
  set_matrix_env(e->c.m, "create-node", "enable");
  int r;
  Stalled at;
  {
    CacheAccess access(&e->c, 1, 2, 2);
    r = import_pixels(e,
                      ImportSource{fd.fd, pi.pi_offset, p5 ? 1 : 3, transparent,
                                   pi.pi_max != kMaxByteSample ? depth : nullptr},
                      p, slot, &at);
  }
  if (r == kMxcNotReady) return qmx_node_fault(form, kFunc, e->c.m, at.dc, kMxLoading);
  if (r == kNodeLost) return qmx_node_fault(form, kFunc, e->c.m, at.dc, at.code);
  if (r < 0) return file_error(form, kFunc, ZU_ER_END_OF_INPUT, "cannot read the file", file);
  // The picture is held in memory; that the file could not take what was
  // written back of it meanwhile is said now, not first at the close.
  return writes.fault(form, kFunc);
}

ZU_SEXP* qn_qmxExportPNM(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "qmxExportPNM";
  PnmArgs a;
  if (ZU_SEXP* err = read_args(form, sf, kFunc, &a)) return err;
  ZU_SEXP* file = a.file;
  // The picture is a file written for whoever asked: a peer writes only
  // where its access rules let it edit.
  if (ZU_SEXP* no = peer_edit_refusal(form, file, kFunc, false)) return no;
  const int len = list_length(form);
  Placement p;
  if (len == 8) {
    for (int i = 0; i < 4; ++i) {
      int64_t* v[] = {&p.x, &p.y, &p.width, &p.height};
      if (!coordinate(get_el(form, 4 + i), v[i])) return error_at(form, ZU_ER_TYPE, kFunc, nullptr);
    }
  } else if (len != 4) {
    return id_error(form, kFunc);
  }
  EntryUse used(option_int(a.id));
  int slot = -1;
  if (ZU_SEXP* err = check_entry(used, a, &p, &slot, form, kFunc)) return err;
  MX_ENTRY* e = used.get();
  if (len == 4) {
    lock_task(matrix_lock);
    p.width = e->c.m->pixel_size[0];
    p.height = e->c.m->pixel_size[1];
    unlock_task(matrix_lock, kFunc);
  }
  const int64_t width = p.width >> p.sx;
  p.width = width;
  p.height >>= p.sy;
  if (p.width < 1 || p.height < 1 || p.width > kMaxPixels / p.height) return bad_param(form, kFunc, "size");
  set_rows_cap(&p);
  // A coarser level is read as closing would leave it: what changed is
  // saved and the nodes over it made again first, never read stale with
  // success; a file handed over since is taken first.
  if (p.level > 0 && (changes_unsaved(e->c.m) || mx_file_unchecked(e->c.m)))
    if (int r = mx_file_sync_create_node(e->c.m, true)) return qmx_file_error(form, kFunc, e->c.m, r);
  ExportFile out;
  if (const int err = out.open(narrow(file)))
    return write_error(form, kFunc, "cannot open the file", file, err);
  PPM_INFO pi{};
  pi.pi_fd = out.fd();
  pi.pi_width = uint32_t(p.width);
  pi.pi_height = uint32_t(p.height);
  pi.pi_max = 255;
  ss_printf("pi_width(1) = %i %lli\n", int(pi.pi_width), static_cast<long long>(width));
  if (write_header(&pi) != 0) return write_error(form, kFunc, "cannot access the file", file, errno);
  ss_printf("pi_width(2) = %i\n", int(pi.pi_width));
  ss_printf("pi_width(3) = %i\n", int(pi.pi_width));
  set_matrix_env(e->c.m, "create-node", "disable");
  int r;
  int err = 0;
  Stalled at;
  {
    CacheAccess access(&e->c, 0, -1, 3);
    r = export_pixels(e, out.fd(), pi.pi_offset, p, slot, &at, &err);
  }
  if (r == kMxcNotReady) return qmx_node_fault(form, kFunc, e->c.m, at.dc, kMxLoading);
  if (mx_is_load_fault(r)) return qmx_node_fault(form, kFunc, e->c.m, at.dc, r);
  if (r == 0) err = out.commit();
  if (r < 0 || err != 0) return write_error(form, kFunc, "cannot access the file", file, err);
  return nullptr;
}

ZU_SEXP* qn_qmxPNMStatus(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  constexpr const char* kFunc = "qmxPNMStatus";
  ZU_SEXP* file = get_el(form, 1);
  if (!is_string(file)) return error_at(form, ZU_ER_TYPE, kFunc, nullptr);
  Fd fd;
  if (ZU_SEXP* err = open_picture(form, kFunc, file, &fd)) return err;
  PPM_INFO pi{};
  pi.pi_fd = fd.fd;
  if (read_header(&pi) != 0) return file_error(form, kFunc, ZU_ER_PARAM, "invalid PNM header", file);
  pi.pi_type[sizeof pi.pi_type - 1] = 0;
  return List(get_symbol_ascii(kFunc), get_string_ascii(pi.pi_type), get_integer(pi.pi_width, nullptr),
              get_integer(pi.pi_height, nullptr), get_integer(pi.pi_max, nullptr), ZU_LIST_END);
}

void matrix_test_1sec(MATRIX* m) {
  static std::atomic<unsigned> last{0};
  const unsigned now = get_zutime();
  if (last.exchange(now) != now) matrix_test(m);
}
