// The write-back journal: written before a write-back changes what is on
// disk, replayed by recovery after a crash.
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "base/endian.h"
#include "base/file.h"
#include "store/page_cache_impl.h"
#include "store/page_journal_impl.h"

namespace {

constexpr char kMagic[] = "QNMXJNL1";
constexpr char kEnd[] = "QNMXEND1";
constexpr size_t kHead = 16;
constexpr size_t kEntryHead = 12;
constexpr size_t kTrailer = 32;

// A checksum of the journal, eight bytes a step (pages are long).
struct Fnv {
  uint64_t h = 0xcbf29ce484222325ull;
  void add(const uint8_t* p, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      h = (h ^ w) * 0x100000001b3ull;
      h ^= h >> 29;
    }
    for (; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
  }
};

int write_all(int fd, std::vector<iovec>& iov, int64_t at) {
  for (size_t i = 0; i < iov.size(); i += IOV_MAX) {
    size_t n = std::min<size_t>(IOV_MAX, iov.size() - i);
    int64_t len = 0;
    for (size_t k = i; k < i + n; ++k) len += static_cast<int64_t>(iov[k].iov_len);
    if (fac_write_ops.pwritev(fd, iov.data() + i, static_cast<int>(n), at) < 0) return -1;
    at += len;
  }
  return 0;
}

// A journal read whole: its pages (where each head lies in `bytes`, and
// its length) and the file's length after the write-back.
struct Parsed {
  std::vector<uint8_t> bytes;
  std::vector<std::pair<size_t, size_t>> entries;
  uint64_t final_size = 0;
  const uint8_t* page(size_t i) const { return bytes.data() + entries[i].first + kEntryHead; }
  uint64_t offset(size_t i) const { return load_be64(bytes.data() + entries[i].first); }
};

enum class Journal { kNone, kCleared, kCut, kWhole };

// Reads the journal at path: kNone when there is none; -1 (as a failed
// read) otherwise through *failed. Every length is checked against what
// remains before it is used.
Journal parse(const char* path, Parsed* out, bool* failed) {
  *failed = false;
  int jfd = u_open64(path, O_RDONLY, 0);
  if (jfd < 0) {
    *failed = errno != ENOENT;
    return Journal::kNone;
  }
  int64_t size = u_fsize64(jfd);
  std::vector<uint8_t>& j = out->bytes;
  j.resize(size > 0 ? static_cast<size_t>(size) : 0);
  bool read_ok = size >= 0 && u_pread_full(jfd, j.data(), j.size(), 0) == static_cast<ssize_t>(j.size());
  u_close(jfd);
  if (!read_ok) {
    *failed = true;
    return Journal::kNone;
  }
  // Cleared: the write-back it held was finished.
  if (j.size() >= 8 && std::all_of(j.begin(), j.begin() + 8, [](uint8_t c) { return c == 0; })) return Journal::kCleared;
  bool whole = j.size() >= kHead + kTrailer && std::memcmp(j.data(), kMagic, 8) == 0 &&
               load_be64(j.data() + 8) >= kHead + kTrailer && load_be64(j.data() + 8) <= j.size();
  if (!whole) return Journal::kCut;
  size_t trailer = static_cast<size_t>(load_be64(j.data() + 8)) - kTrailer;
  const uint8_t* t = j.data() + trailer;
  // The checksum takes the pieces as the writer gave them.
  Fnv sum;
  sum.add(j.data(), kHead);
  if (std::memcmp(t, kEnd, 8) != 0) return Journal::kCut;
  for (size_t at = kHead; at < trailer;) {
    if (trailer - at < kEntryHead) return Journal::kCut;
    uint32_t len = load_be32(j.data() + at + 8);
    uint64_t ofs = load_be64(j.data() + at);
    // Pages of the cache: whole-page offsets, at most a page long.
    if (len > static_cast<uint32_t>(kFacPageSize) || trailer - at - kEntryHead < len ||
        ofs > static_cast<uint64_t>(INT64_MAX) - kFacPageSize || (ofs & (kFacPageSize - 1)) != 0)
      return Journal::kCut;
    sum.add(j.data() + at, kEntryHead);
    sum.add(j.data() + at + kEntryHead, len);
    out->entries.emplace_back(at, len);
    at += kEntryHead + len;
  }
  sum.add(t, 24);
  out->final_size = load_be64(t + 16);
  bool ok = load_be64(t + 24) == sum.h && out->entries.size() == load_be64(t + 8) &&
            out->final_size <= static_cast<uint64_t>(INT64_MAX);
  return ok ? Journal::kWhole : Journal::kCut;
}

// Lays the pages of a whole journal onto fd in their order, pages that
// follow each other on disk in one system call, then gives the file the
// journal's length. 0 or -1.
int apply(const Parsed& j, int fd) {
  std::vector<iovec> iov;
  for (size_t i = 0; i < j.entries.size();) {
    iov.clear();
    size_t k = i;
    for (;;) {
      iov.push_back(iovec{const_cast<uint8_t*>(j.page(k)), j.entries[k].second});
      if (k + 1 >= j.entries.size() || iov.size() >= IOV_MAX || j.entries[k].second != kFacPageSize ||
          j.offset(k + 1) != j.offset(k) + kFacPageSize)
        break;
      ++k;
    }
    if (fac_write_ops.pwritev(fd, iov.data(), static_cast<int>(iov.size()), static_cast<int64_t>(j.offset(i))) < 0)
      return -1;
    i = k + 1;
  }
  return fac_write_ops.ftruncate(fd, static_cast<int64_t>(j.final_size));
}

}  // namespace

int fac_journal_write(const char* path, FAC_ENTRY* const* pages, size_t n, uint64_t final_size) {
  int fd = fac_write_ops.open(path, O_WRONLY | O_CREAT, 0600);
  if (fd < 0) return -1;
  std::vector<uint8_t> heads(n * kEntryHead);
  std::vector<iovec> iov;
  iov.reserve(2 * n + 2);
  uint64_t total = kHead + kTrailer;
  for (size_t i = 0; i < n; ++i) total += kEntryHead + static_cast<uint64_t>(pages[i]->len);
  uint8_t head[kHead];
  std::memcpy(head, kMagic, 8);
  store_be64(head + 8, total);
  Fnv sum;
  iov.push_back(iovec{head, kHead});
  sum.add(head, kHead);
  for (size_t i = 0; i < n; ++i) {
    uint8_t* h = heads.data() + i * kEntryHead;
    store_be64(h, pages[i]->offset);
    store_be32(h + 8, static_cast<uint32_t>(pages[i]->len));
    iov.push_back(iovec{h, kEntryHead});
    iov.push_back(iovec{pages[i]->data, static_cast<size_t>(pages[i]->len)});
    sum.add(h, kEntryHead);
    sum.add(pages[i]->data, static_cast<size_t>(pages[i]->len));
  }
  uint8_t trailer[kTrailer];
  std::memcpy(trailer, kEnd, 8);
  store_be64(trailer + 8, n);
  store_be64(trailer + 16, final_size);
  sum.add(trailer, 24);
  store_be64(trailer + 24, sum.h);
  iov.push_back(iovec{trailer, kTrailer});
  int rc = write_all(fd, iov, 0) < 0 ? -1 : 0;
  int saved = errno;
  if (u_close(fd) < 0 && rc == 0) {
    rc = -1;
    saved = errno;
  }
  if (rc < 0) {
    // What part of it was written must not pass for a whole journal.
    if (fac_journal_clear(path) < 0) u_unlink(path);
    errno = saved;
  }
  return rc;
}

int fac_journal_clear(const char* path) {
  int fd = fac_write_ops.open(path, O_WRONLY, 0);
  if (fd < 0) return errno == ENOENT ? 0 : -1;
  static const uint8_t zeros[8] = {};
  int rc = fac_pwrite(fd, zeros, 8, 0);
  int saved = errno;
  if (u_close(fd) < 0 && rc == 0) {
    rc = -1;
    saved = errno;
  }
  errno = saved;
  return rc;
}

int fac_journal_replay(const char* path, int fd) {
  Parsed j;
  bool failed;
  switch (parse(path, &j, &failed)) {
    case Journal::kNone:
      return failed ? -1 : 0;
    case Journal::kCleared:
      return u_unlink(path) < 0 ? -1 : 0;
    case Journal::kCut:
      // Cut short: the write-back it belonged to never touched the file.
      return u_unlink(path) < 0 ? -1 : 2;
    case Journal::kWhole:
      break;
  }
  if (apply(j, fd) < 0 || fac_write_ops.datasync(fd) < 0) return -1;
  return u_unlink(path) < 0 ? -1 : 1;
}

int fac_journal_restore(const char* path, int fd, uint64_t* final_size) {
  Parsed j;
  bool failed;
  if (parse(path, &j, &failed) != Journal::kWhole) return failed ? -1 : 0;
  if (apply(j, fd) < 0) return -1;
  *final_size = j.final_size;
  // Left whole, it would be replayed over what later write-backs put in
  // place without one; a clear that failed part of the way leaves it cut,
  // which nothing would replay: it goes then.
  if (fac_journal_clear(path) < 0 && u_unlink(path) < 0 && errno != ENOENT) return -1;
  return 1;
}

int fac_journal_overlay(const char* path, FAC_INFO* info) {
  Parsed j;
  bool failed;
  if (parse(path, &j, &failed) != Journal::kWhole) return failed ? -1 : 0;
  // The pages first, over a file as long as either, then its length.
  info->file_size = std::max(info->file_size, j.final_size);
  for (size_t i = 0; i < j.entries.size(); ++i)
    if (fac_overlay_page(info, j.offset(i), j.page(i), j.entries[i].second) < 0) return -1;
  return fac_truncate(info, j.final_size) < 0 ? -1 : 1;
}
