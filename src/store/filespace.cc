// Opening, closing, reading and writing record files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"
#include "base/file.h"
#include "store/pdb64.h"
#include "store/free_index_impl.h"
#include "store/pdb64_io_impl.h"

namespace {

Pdb64FlushHook flush_hook = nullptr;
Pdb64FlushHook drop_hook = nullptr;

// Memory sizes of the file header and of the free-list head.
constexpr uint64_t kFileHeaderMem = 44;
constexpr uint64_t kFreeListMem = 24;
constexpr uint64_t kFileHeaderDisk = pn64_disk_size(kFileHeaderMem);
// All that opening an empty file with a free list writes into it.
constexpr uint64_t kFreshFileDisk = kFileHeaderDisk + pn64_disk_size(kFreeListMem);
constexpr uint64_t kFlagsOffset = 28;
constexpr uint64_t kBodyPiece = 65536;

bool opened_for_writing(const PDB64* p) { return (p->oflags & O_ACCMODE) == O_RDWR; }

// Reads the whole body of the record at fofs (header ph) into out, at most
// `want` bytes, in pieces of at most 64 KiB. Every piece but the last ends
// on a page boundary: the cache then serves only the record's first and
// last page, and the whole pages between go from the disk straight into
// out (a piece that began inside a page went through the cache for it).
int read_body(PDB64* p, uint64_t fofs, const PHYS_PN64_HEADER& ph, uint8_t* out, uint64_t want) {
  uint64_t at = fofs + static_cast<uint64_t>(ph.width);
  uint64_t done = 0;
  while (done < want) {
    uint64_t n = std::min(kBodyPiece - (at + done) % kFacPageSize, want - done);
    if (pdb64_read_at(p, at + done, out + done, n) < 0) return -1;
    done += n;
  }
  return 0;
}

// Reads the record at fofs: `extra` bytes of room in front (the placed
// forms), and the body unless header_only.
void* read_record(PDB64* p, uint64_t fofs, size_t extra, bool header_only, uint64_t max_size, const char* file,
                  int line) {
  if (!p) return nullptr;
  // Without the cache every read is a system call, so the header comes with
  // the start of the body in one.
  uint8_t first[4096];
  uint64_t have = 0;
  PHYS_PN64_HEADER ph;
  uint64_t size = p->fac.file_size;
  if (p->fac.direct && !header_only && fofs < size) {
    have = std::min<uint64_t>(sizeof first, size - fofs);
    if (pdb64_read_at(p, fofs, first, have) < 0) return nullptr;
    if (pn64_decode_phys(first, have, &ph) < 0 || ph.length > size - fofs) {
      errno = EIO;
      return nullptr;
    }
    have -= static_cast<uint64_t>(ph.width);
  } else if (pdb64_read_phys(p, fofs, &ph) < 0) {
    return nullptr;
  }
  uint64_t body = ph.length - static_cast<uint64_t>(ph.width);
  uint64_t m = body + 16;
  uint64_t keep = header_only ? 16 : m;
  if (max_size && max_size < keep) keep = std::max<uint64_t>(max_size, 16);
  auto* block = static_cast<uint8_t*>(xx_d_alloc(extra + keep, file, line));
  auto* h = reinterpret_cast<PN64_HEADER*>(block + extra);
  h->type = ph.type;
  h->dummy[0] = h->dummy[1] = h->dummy[2] = 0;
  h->size = m;
  change_endian_header64(h);
  uint64_t want = keep - 16;
  uint64_t got = std::min(have, want);
  std::memcpy(block + extra + 16, first + ph.width, got);
  if (want > got && read_body(p, fofs + got, ph, block + extra + 16 + got, want - got) < 0) {
    xx_d_f_ree(block, file, line);
    return nullptr;
  }
  return block;
}

uint64_t host_size(const PN64_HEADER* h) { return swap_if64(h->size); }
uint16_t host_type(const PN64_HEADER* h) { return swap_if16(h->type); }

// Writes the physical header and body_len body bytes of bare record d at
// the current position. Bytes written, or -1.
int64_t write_record_here(PDB64* p, const PN64_HEADER* d, uint64_t body_len, bool zero_body) {
  iovec body{zero_body ? nullptr : const_cast<uint8_t*>(reinterpret_cast<const uint8_t*>(d) + 16),
             static_cast<size_t>(body_len)};
  return pdb64_write_pieces(p, d, std::span<const iovec>(&body, 1), false);
}

// Reads and checks the file header at offset 0.
int read_file_header(PDB64* p, PN64_FILE_HEADER* fh) {
  PHYS_PN64_HEADER ph;
  if (pdb64_read_phys(p, 0, &ph) < 0 || ph.type != kPn64FileHeaderType || ph.length != kFileHeaderDisk) return -1;
  uint8_t b[28];
  if (pdb64_read_at(p, 4, b, sizeof b) < 0) return -1;
  if (std::memcmp(b + 4, kPn64Version, sizeof kPn64Version) != 0) return -1;
  fh->h = PN64_HEADER{kPn64FileHeaderType, {0, 0, 0}, kFileHeaderMem};
  fh->type = static_cast<int32_t>(load_be32(b));
  std::memcpy(fh->version, b + 4, 8);
  std::memcpy(fh->encoding, b + 12, 8);
  fh->linear = load_be32(b + 20);
  fh->flags = static_cast<int32_t>(load_be32(b + 24));
  return 0;
}

int write_header_flags(PDB64* p, int32_t flags) {
  uint8_t b[4];
  store_be32(b, static_cast<uint32_t>(flags));
  return pdb64_write_at(p, kFlagsOffset, b, 4);
}

// Takes an advisory lock on the whole file: a writer's (F_WRLCK) or a
// reader's shared one (F_RDLCK). 1 taken, 0 refused (a holder of a kind
// that excludes it), -1 locks unsupported here.
int take_file_lock(int fd, short type) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  if (fcntl(fd, F_OFD_SETLK, &fl) == 0) return 1;
  return (errno == EAGAIN || errno == EACCES) ? 0 : -1;
}

PDB64* fail_open(PDB64* p, int code, int* result, int err) {
  if (p) {
    pdb64_drop_chain(p);
    close_pdb64(p);
  }
  if (result) *result = code;
  errno = err;
  return nullptr;
}

int create_file(PDB64* p, uint32_t flags, int type, const char* encoding) {
  PN64_FILE_HEADER fh{};
  fh.h = PN64_HEADER{kPn64FileHeaderType, {0, 0, 0}, kFileHeaderMem};
  fh.type = type;
  std::memcpy(fh.version, kPn64Version, sizeof kPn64Version);
  std::memcpy(fh.encoding, encoding, std::strlen(encoding));
  fh.linear = 0;
  fh.flags = opened_for_writing(p) ? kPn64FlagOpenWrite : 0;
  change_endian_file_header64(&fh);
  if (fs_raw_write64(p, &fh.h, 0) != 0) return -1;
  if (flags & kPdb64WithFreeList) {
    PN64_FREELIST fl{PN64_HEADER{kPn64FreeListType, {0, 0, 0}, kFreeListMem}, 0};
    change_endian_freelist64_to_net(&fl);
    int64_t at = fs_raw_write64(p, &fl.h, 0);
    if (at < 0) return -1;
    p->freelist_work = static_cast<FREELIST64*>(d_calloc(1, sizeof(FREELIST64)));
    p->freelist_work->f = PN64_FREELIST{PN64_HEADER{kPn64FreeListType, {0, 0, 0}, kFreeListMem}, 0};
    p->freelist_work->fofs = static_cast<uint64_t>(at);
    p->free_index = new FreeIndex;
  }
  return 0;
}

// Finds the free-list head: the first record of type 0x0103 after the
// file header. 1 found (loaded and checked), 0 none, -1 damaged file.
int find_free_list(PDB64* p) {
  uint64_t ofs = 0;
  PN64_HEADER* rec = get_file_record64(&ofs, p, kPn64FreeListType, kFreeListMem);
  if (!rec) {
    // Tell "none" from "damaged": walk to the end checking every header.
    uint64_t size = p->fac.file_size;
    for (uint64_t o = 0; o < size;) {
      PHYS_PN64_HEADER ph;
      if (pdb64_read_phys(p, o, &ph) < 0) return -1;
      o += ph.length;
    }
    return 0;
  }
  d_f_ree(rec);
  auto* head = static_cast<FREELIST64*>(d_calloc(1, sizeof(FREELIST64)));
  if (load_freelist64(p, head, ofs) < 0) {
    d_f_ree(head);
    return -1;
  }
  p->freelist_work = head;
  return pdb64_load_chain(p) < 0 ? -1 : 1;
}

}  // namespace

int pdb64_read_phys(PDB64* p, uint64_t fofs, PHYS_PN64_HEADER* out) {
  uint64_t size = p->fac.file_size;
  if (fofs >= size) {
    errno = EIO;
    return -1;
  }
  uint8_t b[12];
  uint64_t avail = std::min<uint64_t>(sizeof b, size - fofs);
  if (pdb64_read_at(p, fofs, b, avail) < 0) return -1;
  if (pn64_decode_phys(b, avail, out) < 0 || out->length > size - fofs) {
    errno = EIO;
    return -1;
  }
  return 0;
}

int pdb64_read_at(PDB64* p, uint64_t fofs, void* data, uint64_t len) {
  if (fofs > INT64_MAX || fac_lseek(&p->fac, static_cast<int64_t>(fofs), 0) != static_cast<int64_t>(fofs)) {
    errno = EIO;
    return -1;
  }
  int64_t n = fac_read(&p->fac, data, len);
  if (n == static_cast<int64_t>(len)) return 0;
  if (n >= 0) errno = EIO;
  return -1;
}

int64_t pdb64_write_pieces(PDB64* p, const PN64_HEADER* h, std::span<const iovec> body, bool rewrite) {
  uint64_t m = host_size(h), len = 0;
  for (const iovec& v : body) len += v.iov_len;
  if (m < 16 || m > kPn64MaxMemSize || len > m - 16 || body.size() >= static_cast<size_t>(kFacMaxPieces)) {
    errno = EINVAL;
    return -1;
  }
  uint8_t ph[12];
  int w = pn64_encode_phys(ph, host_type(h), m);
  iovec v[kFacMaxPieces];
  v[0] = iovec{ph, static_cast<size_t>(w)};
  std::copy(body.begin(), body.end(), v + 1);
  int cnt = 1 + static_cast<int>(body.size());
  int64_t n = rewrite ? fac_rewritev(&p->fac, v, cnt) : fac_writev(&p->fac, v, cnt);
  return n == w + static_cast<int64_t>(len) ? n : -1;
}

int pdb64_write_at(PDB64* p, uint64_t fofs, const void* data, uint64_t len) {
  if (fofs > INT64_MAX || fac_lseek(&p->fac, static_cast<int64_t>(fofs), 0) != static_cast<int64_t>(fofs)) {
    errno = EIO;
    return -1;
  }
  return fac_write(&p->fac, data, len) == static_cast<int64_t>(len) ? 0 : -1;
}

int64_t pdb64_file_size(PDB64* p) { return static_cast<int64_t>(p->fac.file_size); }

void set_pdb64_flush_hook(Pdb64FlushHook hook) { flush_hook = hook; }
void set_pdb64_drop_hook(Pdb64FlushHook hook) { drop_hook = hook; }

PDB64* open_filespace64(const char* filename, int oflags, int mode, uint32_t flags, int type, const char* encoding,
                        int* result) {
  if (result) *result = kPdb64Ok;
  if (!encoding) encoding = "UTF-8";
  if (!filename || std::strlen(encoding) > 7) return fail_open(nullptr, kPdb64BadArgument, result, EINVAL);
  PDB64* p = open_pdb64(filename, oflags, mode, static_cast<int>(flags & 0xFFFF));
  if (!p) return fail_open(nullptr, kPdb64CannotOpen, result, errno);
  bool writing = opened_for_writing(p);
  if (writing || (flags & kPdb64SharedLock)) {
    int lk = take_file_lock(p->fid, writing ? F_WRLCK : F_RDLCK);
    if (lk == 0) return fail_open(p, kPdb64Busy, result, EBUSY);
    p->locked = lk == 1;
    // The size was read before the lock: a writer that let go in between
    // left another file than the one this open would work on.
    if (p->locked && u_fsize64(p->fid) != static_cast<int64_t>(p->fac.file_size))
      return fail_open(p, kPdb64Busy, result, EBUSY);
  }
  p->found = pdb64_stamp(p->fid);
  if (p->fac.file_size == 0) {
    if (create_file(p, flags, type, encoding) < 0 || fac_flush(&p->fac) < 0) {
      int err = errno;
      fac_truncate(&p->fac, 0);  // leave the empty file as it was
      return fail_open(p, kPdb64CannotOpen, result, err);
    }
    return p;
  }
  PN64_FILE_HEADER fh;
  if (read_file_header(p, &fh) < 0) return fail_open(p, kPdb64Corrupt, result, EIO);
  bool marked = false;
  std::vector<std::pair<uint64_t, uint64_t>> orphans;
  if (writing) {
    if (fh.flags & kPn64FlagOpenWrite) {
      // Without the advisory lock a live writer cannot be told from a dead one.
      if (!p->locked) return fail_open(p, kPdb64Busy, result, EBUSY);
      if (!(flags & kPdb64RecoverStale)) return fail_open(p, kPdb64Unclean, result, EBUSY);
      if (int r = pdb64_recover(p, &orphans); r < 0)
        return r == -2 ? fail_open(p, kPdb64Corrupt, result, EIO) : fail_open(p, kPdb64CannotOpen, result, errno);
    } else {
      if (write_header_flags(p, fh.flags | kPn64FlagOpenWrite) < 0)
        return fail_open(p, kPdb64CannotOpen, result, errno);
      marked = true;
    }
  } else if ((fh.flags & kPn64FlagOpenWrite) && (flags & kPdb64RecoverStale)) {
    // Read as recovering it would leave it: damage a crash does not leave
    // is left for the reader to find.
    if (pdb64_recovered_view(p, filename) == -1) return fail_open(p, kPdb64CannotOpen, result, errno);
  }
  int code = kPdb64Ok;
  int found = find_free_list(p);
  if (found < 0 && !writing) {
    // Nothing is allocated in a file open for reading: its records stay
    // readable by offset whatever happened to the free chain.
    pdb64_drop_chain(p);
    if (result) *result = kPdb64Damaged;
    return p;
  }
  if (found < 0)
    code = kPdb64Corrupt;
  else if (found == 0 && (flags & kPdb64WithFreeList))
    code = kPdb64NoFreeList;
  if (code == kPdb64Ok && fac_flush(&p->fac) < 0) code = kPdb64CannotOpen;
  if (code != kPdb64Ok) {
    int err = code == kPdb64CannotOpen ? errno : EIO;
    // Give back the open mark set above, so a refused open changes nothing.
    if (marked) write_header_flags(p, fh.flags);
    return fail_open(p, code, result, err);
  }
  if (p->free_index)
    for (auto [at, d] : orphans) p->free_index->orphans.emplace(at, d);
  return p;
}

int pdb64_empty_if_fresh(const char* path, dev_t dev, ino_t ino) {
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat now {};
  int rc = 0;
  if (take_file_lock(fd, F_WRLCK) == 1 && fstat(fd, &now) == 0 && now.st_dev == dev && now.st_ino == ino &&
      static_cast<uint64_t>(now.st_size) <= kFreshFileDisk && ftruncate(fd, 0) != 0)
    rc = -1;
  close(fd);
  return rc;
}

int pdb64_remove_if_made(const char* path, dev_t dev, ino_t ino, bool fresh_only) {
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat now {};
  int rc = 0;
  // Removed under its lock, so that no opener takes it up meanwhile.
  if (take_file_lock(fd, F_WRLCK) == 1 && fstat(fd, &now) == 0 && now.st_dev == dev && now.st_ino == ino &&
      (!fresh_only || static_cast<uint64_t>(now.st_size) <= kFreshFileDisk) && unlink(path) != 0)
    rc = -1;
  close(fd);
  return rc;
}

int close_filespace64(PDB64* p, PDB64_STAMP* left) {
  if (!p) return -1;
  int rc = drop_hook ? drop_hook(p) : flush_filespace64(p);
  pdb64_drop_chain(p);
  if (opened_for_writing(p)) {
    // Everything else is on disk before the mark says the file is closed;
    // a file that could not be written back keeps its mark.
    PN64_FILE_HEADER fh;
    if (rc < 0 || fac_flush(&p->fac) < 0 || fac_sync(&p->fac) < 0 || read_file_header(p, &fh) < 0 ||
        write_header_flags(p, fh.flags & ~kPn64FlagOpenWrite) < 0 || fac_flush(&p->fac) < 0 ||
        fac_sync(&p->fac) < 0)
      rc = -1;
  }
  // The first failure's reason is the one said.
  int err = rc < 0 ? errno : 0;
  if (close_pdb64(p, left) < 0 && rc == 0) {
    rc = -1;
    err = errno;
  }
  errno = err;
  return rc;
}

int flush_filespace64(PDB64* p) {
  if (!p) return -1;
  return flush_hook ? flush_hook(p) : 0;
}

int truncate_filespace64(PDB64* p) { return p ? fac_truncate(&p->fac, 0) : -1; }

int check_pdb64(PDB64* p) { return p && !p->freelist_work ? -1 : 0; }

PN64_HEADER* get_file_record64(uint64_t* retp, PDB64* p, int type, uint64_t max_size) {
  if (!p) return nullptr;
  uint64_t ofs = retp ? *retp : 0;
  uint64_t size = p->fac.file_size;
  bool first = true;
  PHYS_PN64_HEADER ph;
  for (;; first = false) {
    if (ofs >= size) return nullptr;
    if (pdb64_read_phys(p, ofs, &ph) < 0) return nullptr;
    if (retp && first) {
      if (type <= 0) break;
    } else if (type > 0 && ph.type == static_cast<uint16_t>(type)) {
      break;
    }
    ofs += ph.length;
  }
  auto* rec = static_cast<PN64_HEADER*>(read_record(p, ofs, 0, false, max_size, __FILE__, __LINE__));
  if (rec && retp) *retp = ofs;
  return rec;
}

ACC_PN64_HEADER* xx_read_filespace64(PDB64* p, uint64_t fofs, const char* file, int line) {
  auto* r = static_cast<ACC_PN64_HEADER*>(read_record(p, fofs, 8, false, 0, file, line));
  if (r) r->a.fofs = fofs;
  return r;
}

ACC_PN64_HEADER* xx_read_filespace64_header(PDB64* p, uint64_t fofs, const char* file, int line) {
  auto* r = static_cast<ACC_PN64_HEADER*>(read_record(p, fofs, 8, true, 0, file, line));
  if (r) r->a.fofs = fofs;
  return r;
}

PN64_HEADER* xx_read_filespace64f(PDB64* p, uint64_t fofs, const char* file, int line) {
  return static_cast<PN64_HEADER*>(read_record(p, fofs, 0, false, 0, file, line));
}

PN64_HEADER* xx_read_filespace64f_header(PDB64* p, uint64_t fofs, const char* file, int line) {
  return static_cast<PN64_HEADER*>(read_record(p, fofs, 0, true, 0, file, line));
}

int64_t write_filespace64f(PDB64* p, uint64_t fofs, const PN64_HEADER* h) {
  if (!p || !h || fofs > INT64_MAX) {
    errno = EINVAL;
    return -1;
  }
  uint64_t m = host_size(h);
  if (m < 16 || m > kPn64MaxMemSize) {
    errno = EINVAL;
    return -1;
  }
  if (get_pdb64_debug_check()) {
    // A record must keep the disk size it was given.
    PHYS_PN64_HEADER ph;
    if (pdb64_read_phys(p, fofs, &ph) < 0 || ph.length != pn64_disk_size(m)) {
      errno = EINVAL;
      return -1;
    }
  }
  if (fac_lseek(&p->fac, static_cast<int64_t>(fofs), 0) != static_cast<int64_t>(fofs)) {
    errno = EIO;
    return -1;
  }
  return write_record_here(p, h, m - 16, false);
}

int64_t rewrite_filespace64(PDB64* p, uint64_t fofs, const PN64_HEADER* h, std::span<const iovec> body) {
  if (!p || !h || fofs > INT64_MAX) {
    errno = EINVAL;
    return -1;
  }
  // The record there must keep its type and disk size.
  uint64_t m = host_size(h);
  PHYS_PN64_HEADER ph;
  if (m < 16 || m > kPn64MaxMemSize || pdb64_read_phys(p, fofs, &ph) < 0 || ph.type != host_type(h) ||
      ph.length != pn64_disk_size(m)) {
    errno = EINVAL;
    return -1;
  }
  if (fac_lseek(&p->fac, static_cast<int64_t>(fofs), 0) != static_cast<int64_t>(fofs)) {
    errno = EIO;
    return -1;
  }
  return pdb64_write_pieces(p, h, body, true);
}

int64_t write_filespace64(PDB64* p, const ACC_PN64_HEADER* h) {
  if (!h) return -1;
  return write_filespace64f(p, h->a.fofs, &h->h);
}

int64_t fa_write64_header(PDB64* p, const PN64_HEADER* d, uint64_t len) {
  if (!p || !d || len < 16) {
    errno = EINVAL;
    return -1;
  }
  return write_record_here(p, d, len - 16, false);
}

int64_t fa_write64(PDB64* p, const void* d, uint64_t len) {
  if (!p) return -1;
  const auto* b = static_cast<const uint8_t*>(d);
  for (uint64_t done = 0; done < len;) {
    uint64_t n = std::min(kBodyPiece, len - done);
    if (fac_write(&p->fac, b ? b + done : nullptr, n) != static_cast<int64_t>(n)) return -1;
    done += n;
  }
  return static_cast<int64_t>(len);
}

int64_t fs_raw_write64(PDB64* p, const PN64_HEADER* d, int flags) {
  if (!p || !d) {
    errno = EINVAL;
    return -1;
  }
  uint64_t end = p->fac.file_size;
  if (fac_lseek(&p->fac, static_cast<int64_t>(end), 0) != static_cast<int64_t>(end)) {
    errno = EIO;
    return -1;
  }
  uint64_t m = host_size(d);
  int mode = flags & 3;
  uint64_t body = mode == 1 ? 0 : (m >= 16 ? m - 16 : 0);
  if (write_record_here(p, d, body, mode >= 2) < 0) {
    // A record that could not be appended whole leaves no trace.
    int saved = errno;
    fac_truncate(&p->fac, end);
    errno = saved;
    return -1;
  }
  return static_cast<int64_t>(end);
}

void test_file64(const char* file, PDB64* p, int64_t limit) {
  PDB64* own = nullptr;
  if (file) own = p = open_filespace64(file, O_RDONLY, 0644, kPdb64WithFreeList, 11, "UCS4");
  if (!p) {
    std::fprintf(stderr, "test_file64: cannot open\n");
    return;
  }
  uint64_t ofs = 0;
  while (limit <= 0 || ofs < static_cast<uint64_t>(limit)) {
    PN64_HEADER* h = get_file_record64(&ofs, p, 0, 16);
    if (!h) break;
    uint64_t m = host_size(h);
    std::fprintf(stderr, "%lli H(%x %lli)\n", static_cast<long long>(ofs), host_type(h), static_cast<long long>(m));
    d_f_ree(h);
    ofs += pn64_disk_size(m);
  }
  if (own) close_filespace64(own);
  std::fprintf(stderr, "FINISH\n");
}
