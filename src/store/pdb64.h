// Record files: typed, variable-length records one after another in a flat
// file, a free list of reusable space kept inside the file, and one page
// cache shared by every open record file.
//
// Every multi-byte number on disk is big-endian. Records travel between this
// layer and its callers in file byte order: the 16-byte in-memory header
// (`PN64_HEADER`) with `type` and `size` big-endian, then the body exactly as
// stored. The owner of a record type converts its own fields, beginning with
// change_endian_header64.
//
// Nothing here is thread-safe: the page cache and every open file are shared
// state, and callers serialise all calls under the record-store lock.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <span>

// ---------------------------------------------------------------------------
// Record format

// Record types (16-bit, owner in the high byte).
constexpr uint16_t kPn64FileHeaderType = 0x0001;
constexpr uint16_t kPn64AvtRootType = 0x0101;
constexpr uint16_t kPn64AvtNodeType = 0x0102;
constexpr uint16_t kPn64FreeListType = 0x0103;
constexpr uint16_t kPn64FreeSegType = 0x0104;

// In-memory record header; the body follows it directly.
struct PN64_HEADER {
  uint16_t type;       // record type
  uint16_t dummy[3];   // fill, never stored
  uint64_t size;       // memory size: these 16 bytes plus the body
};
static_assert(sizeof(PN64_HEADER) == 16);

// The record file header, always at offset 0 (32 bytes on disk).
struct PN64_FILE_HEADER {
  PN64_HEADER h;
  int32_t type;        // the file's type code (matrix files: 31)
  char version[8];     // "64-0.6"
  char encoding[8];    // encoding name, NUL-terminated
  uint32_t linear;     // always 0
  int32_t flags;       // bit 0: open for writing
};
// Memory size 44; the struct is padded to 48 for alignment.
static_assert(offsetof(PN64_FILE_HEADER, flags) == 40);

// Free-list head (type 0x0103) and free segments (type 0x0104).
struct PN64_FREELIST {
  PN64_HEADER h;
  uint64_t next;       // offset of the next lower free segment, 0 at the end
};
static_assert(sizeof(PN64_FREELIST) == 24);

// A record with its file offset in front (host order), for placed reads and
// writes.
struct ACC64_HEADER {
  uint64_t fofs;
};
struct ACC_PN64_HEADER {
  ACC64_HEADER a;
  PN64_HEADER h;
};
static_assert(sizeof(ACC_PN64_HEADER) == 24);

constexpr char kPn64Version[] = "64-0.6";
constexpr int32_t kPn64FlagOpenWrite = 1;

// The physical header in front of every record on disk: 4, 8 or 12 bytes.
// Decoded form, host order.
struct PHYS_PN64_HEADER {
  uint16_t type;
  int width;           // 4, 8 or 12
  uint64_t length;     // disk size: header plus body
};

// Width of the physical header for a record of memory size m.
constexpr int pn64_width_for_mem(uint64_t m) {
  return m <= 65545 ? 4 : m <= 0xFFFFFFFFull ? 8 : 12;
}
// Disk size of a record of memory size m (m >= 16).
constexpr uint64_t pn64_disk_size(uint64_t m) { return m - 16 + static_cast<uint64_t>(pn64_width_for_mem(m)); }
// True when some record has exactly this disk size.
constexpr bool pn64_disk_size_ok(uint64_t d) {
  return (d >= 4 && d <= 65533) || (d >= 65538 && d <= 4294967287ull) || d >= 4294967292ull;
}
// Memory size of the record that occupies d bytes on disk; 0 when no record
// has that disk size.
constexpr uint64_t pn64_mem_size(uint64_t d) {
  if (d >= 4 && d <= 65533) return d + 12;
  if (d >= 65538 && d <= 4294967287ull) return d + 8;
  if (d >= 4294967292ull) return d + 4;
  return 0;
}
// Largest memory size this layer accepts (keeps every offset sum in range).
constexpr uint64_t kPn64MaxMemSize = uint64_t{1} << 62;

// Encodes the physical header of a record (type and memory size m, host
// order) into out[12]; returns its width.
int pn64_encode_phys(uint8_t* out, uint16_t type, uint64_t m);
// Decodes a physical header from the `avail` bytes at `in`. Returns 0, or -1
// when the bytes are too few or the length is below the header width.
int pn64_decode_phys(const uint8_t* in, size_t avail, PHYS_PN64_HEADER* out);

// In-place byte-order conversions (they do nothing on a big-endian host).
void change_endian_header64(PN64_HEADER* h);
// On the raw 4/8/12-byte physical header as laid out on disk.
void change_endian_phys_header64_to_net(void* h);
void change_endian_phys_header64_to_host(void* h);
void change_endian_file_header64(PN64_FILE_HEADER* f);
void change_endian_freelist64_to_net(PN64_FREELIST* f);
void change_endian_freelist64_to_host(PN64_FREELIST* f);

// ---------------------------------------------------------------------------
// Page cache

constexpr int kFacPageSize = 4096;
constexpr int kFacDefaultEntries = 32768;

struct FAC_INFO;
struct FacPageIndex;  // a file's pages by offset (hash table, page_cache_impl.h)

// Links of the clean-page ring and of a file's dirty-page list.
struct FAC_LINK {
  struct FAC_ENTRY* next;
  struct FAC_ENTRY* prev;
};

// One cached page. A clean page sits in the global ring of clean pages,
// newest at the front; a dirty one sits in its file's dirty list instead, so
// eviction never has to step over dirty pages. A clean page used since the
// eviction hand last passed it is marked instead of moved, and gets a
// second round when the hand comes to it.
struct FAC_ENTRY {
  FAC_LINK h;
  unsigned dirty : 1;
  unsigned pinned : 1;  // held by a write in progress; never evicted
  unsigned used : 1;    // used since the eviction hand passed it
  uint64_t offset;      // multiple of 4096
  int len;              // valid bytes, 0 to 4096
  uint8_t* data;        // 4096 bytes, zeroed when made
  FAC_INFO* info;
};

// Cache state of one open file.
struct FAC_INFO {
  FAC_INFO* next;             // global list of cached files
  FAC_INFO* prev;
  uint64_t seek_point;        // current position
  uint64_t file_size;         // logical size
  uint64_t real_file_size;    // bytes below this that are not cached hold
                              // their current content on disk
  uint64_t disk_size;         // length of the file on disk: a cut shortens
                              // it only when written back
  uint64_t whole_end;         // the length the last whole write-back left
  uint64_t ahead_floor;       // appended pages from here on may go to disk
                              // before a write-back: a walk after a crash
                              // stops short of it, at the zeros where the
                              // last write-back ended (UINT64_MAX after a
                              // failed one)
  char* journal;              // path of the write-back journal (files open
                              // for writing through the cache), or null
  FacPageIndex* entries_tree;  // page index by offset
  FAC_ENTRY dirty_head;       // sentinel of the dirty-page list
  FAC_ENTRY* last;            // page found by the latest fetch
  int fd;
  int write_errno;            // why the last write-back failed (errno), 0
                              // once one succeeded
  int retry_dirty;            // after a failed write-back: the cache's
                              // count of dirty pages at which the next
                              // one is due (fac_retry_due)
  unsigned long_file : 1;
  unsigned direct : 1;        // mode fixed at open: no cache
  unsigned journal_made : 1;  // this opening wrote the journal file
  unsigned view : 1;          // a reader's view of a file left open: its
                              // dirty pages are what recovery would write
                              // (pdb64_recovered_view), never written back;
                              // writes are refused
  unsigned journal_failed : 1;  // the failed write-back could not make its
                                // journal (write_errno is the journal's)
  unsigned at_points : 1;     // written back in place only when its owner
                              // flushes (where its records hold together):
                              // a full cache writes only its pages past the
                              // ahead floor
  unsigned stuck : 1;         // a write-back failed after its journal was
                              // whole: the file on disk is what replaying
                              // the journal makes of it, and the next
                              // write-back replays it first (a failure
                              // there leaves it stuck)
};

struct FAC_GENERAL {
  FAC_ENTRY entries;          // sentinel of the clean-page ring (front = newest)
  FAC_INFO info_list;         // sentinel of the list of cached files
  int total_entries;          // page limit; 0 = direct mode for files opened now
  int entries_nos;            // pages held
  int dirty_nos;              // dirty pages held
};
extern FAC_GENERAL fac_general_info;

// Resets the global state (limit 32768). Only while no cached file is open.
void fac_init_general();
// Sets the page limit (a byte size divided by 4096). 0 makes files opened
// from now on run in direct mode; a smaller limit takes effect at the next
// page fetch.
void fac_set_total_entries(int pages);

void fac_init(FAC_INFO* info);
// Bytes read, or -1 (errno set; EIO for a position beyond the logical end).
int64_t fac_read(FAC_INFO* info, void* data, uint64_t len);
// Bytes written, or -1 with nothing changed. Null data writes zero bytes.
// A long append goes past the cache: its whole pages beyond the ahead
// floor are written to disk at once, straight from the caller's bytes.
int64_t fac_write(FAC_INFO* info, const void* data, uint64_t len);
// The same for pieces written one after the other (a null base writes
// iov_len zero bytes); at most kFacMaxPieces of them.
constexpr int kFacMaxPieces = 8;
int64_t fac_writev(FAC_INFO* info, const iovec* iov, int cnt);
// As fac_writev over bytes the file holds already (the write must end at
// or before the logical end), for rewriting records in place: pages whose
// bytes would not change are left clean, so that a rewrite of what is
// there costs a read and no write-back. Bytes written, or -1 with nothing
// changed.
int64_t fac_rewritev(FAC_INFO* info, const iovec* iov, int cnt);
// pos 0 from the start, 1 from the position, 2 from the logical end. The new
// position, or -1 bad origin, -2 negative target, -3 beyond the end.
int64_t fac_lseek(FAC_INFO* info, int64_t ofs, int pos);
// 0, or -1 (longer than the file, or the system refused).
int fac_truncate(FAC_INFO* info, uint64_t length);
// Writes the file's dirty pages back; 0, or -1 when a write failed (the
// pages stay dirty and are tried again later).
//
// A write-back is atomic against a crash of the process: when it would
// change more than one page of what is on disk (or change a page and cut
// the file), the pages and the new length first go to a journal beside the
// file (its name with "-journal" added), and the journal is cleared once
// the file itself is written (and removed at close). Neither is synced (what a killed process has
// written survives it); against a power failure only close_filespace64,
// which syncs, gives a whole file. Opening the file
// with kPdb64RecoverStale replays a complete journal and drops an
// incomplete one. Pages appended past the end on disk are written ahead
// (by long appends, in batches as appends go on, and first in a
// write-back) only beyond a gap of zeros after the end of the last
// write-back, which a recovering walk stops at; such pages need no
// journal. So after a crash the file holds exactly what its last
// write-back left, plus at most a tail that recovery cuts.
//
// A write-back that fails (no space, a file-size limit, a journal that
// cannot be made) returns -1 with errno, kept in write_errno, and its pages
// stay dirty for the next one. Failing before its journal is whole, it has
// changed nothing a recovery would keep; failing after, the whole journal
// stays beside the file (stuck): the next write-back first replays that
// journal onto the file, as a recovery would, and only then writes the
// pages left, under a journal of its own; until a replay succeeds nothing
// else is written to the file. Either way the file holds one whole
// write-back. A success clears write_errno.
int fac_flush(FAC_INFO* info);
// Whether a write-back of the file is due by the backoff after a failure:
// its last one did not fail, or the cache has had an eighth of its limit
// more pages dirtied since it did, so that a disk that stays full does not
// cost a pass over the file's dirty pages at every point where its owner
// would write it back.
bool fac_retry_due(const FAC_INFO* info);
// fdatasync of the file; 0 or -1.
int fac_sync(FAC_INFO* info);
// Starts writing [from, from + len) of what the system holds of the file
// to the device, without waiting (pages still in this cache are not
// touched): the next sync finds those pages written or on their way, so a
// writer that will not change them again spreads the sync over its work.
// 0, or -1 when the system refused; only a sync says that data are safe.
int fac_start_writeback(FAC_INFO* info, uint64_t from, uint64_t len);
// fac_flush, then drops every page of the file; the result of the flush.
int fac_close(FAC_INFO* info);
// Forgets every page of a file without dirty pages and reads its length
// again (after the file was changed beside the cache). 0, or -1.
int fac_reload(FAC_INFO* info);
// Writes back every cached file; 0 or -1.
int fac_purge_all();
// True when three quarters of the cache's limit are dirty: an owner of a
// file written back only at its own points (FAC_INFO::at_points) flushes
// it at the next point.
bool fac_pressed();
// Debugging dump of a page to the standard error stream.
void fa_print_dump(const char* msg, FAC_ENTRY* e, int ptr, int size);

// ---------------------------------------------------------------------------
// Open record files

struct FREELIST64 {
  PN64_FREELIST f;            // host order
  uint64_t fofs;              // the element's own offset
  FREELIST64* next;           // loaded copy of the element f.next names
  // Links of the free-space index (free_index_impl.h).
  FREELIST64* left;
  FREELIST64* right;
  uint64_t max_disk;          // largest disk size in this subtree
  uint32_t prio;
};
struct FreeIndex;

// What opening a file left by a writer that is gone did to it.
struct PDB64_RECOVERY {
  int done;                // 1 when the open recovered the file
  int journal;             // 1 a journal replayed, 2 an incomplete one dropped, 0 none
  uint64_t cut;            // bytes cut from the end (a record cut short, or
                           // pages written ahead of the last write-back)
  uint64_t free_segments;  // segments in the rebuilt free chain
};

// What identifies the state of a file on disk (taken when it could be had):
// a file whose stamp differs was replaced or written since it was taken.
struct PDB64_STAMP {
  uint64_t dev, ino;
  int64_t size, mtime_ns, ctime_ns;
  bool taken;
  friend bool operator==(const PDB64_STAMP&, const PDB64_STAMP&) = default;
};

struct PDB64 {
  int fid;
  int flags;                  // low 16 bits of the open flags of the record layer
  uint64_t fofs;
  int oflags;
  FREELIST64* freelist_work;  // the free-list head, or null
  // Free segments by offset and size (the chain is held whole while the
  // file is open).
  FreeIndex* free_index;
  int locked;                 // 1 while the advisory lock (a writer's, or a
                              // reader's shared one) is held
  PDB64_RECOVERY recovery;
  // The file as open_filespace64 found it, under the advisory lock when it
  // takes one, before writing anything into it.
  PDB64_STAMP found;
  FAC_INFO fac;
};

PDB64* open_pdb64(const char* filename, int oflags, int mode, int flags);
// Closes the cache state and the descriptor and frees p. 0, or -1 when
// dirty pages could not be written. *left (when given) stamps the file once
// everything is written, before the advisory lock is given back.
int close_pdb64(PDB64* p, PDB64_STAMP* left = nullptr);
// The stamp of the open file fd (not taken when it cannot be had).
PDB64_STAMP pdb64_stamp(int fd);

// ---------------------------------------------------------------------------
// Results of open_filespace64 (also in errno-style for callers that only
// look at the pointer: see the out-parameter).
constexpr int kPdb64Ok = 0;
constexpr int kPdb64CannotOpen = -1;     // missing, no permission, I/O error
constexpr int kPdb64Busy = -2;           // open for writing elsewhere
constexpr int kPdb64Unclean = -3;        // open mark left by a writer that is gone
constexpr int kPdb64Corrupt = -4;        // not a record file, or a damaged one
constexpr int kPdb64NoFreeList = -5;     // a free list was asked for; the file has none
constexpr int kPdb64BadArgument = -6;
// Opened for reading although damaged (a free chain or a record walk that
// does not hold): records are read by offset, nothing can be allocated. The
// file is returned with this result.
constexpr int kPdb64Damaged = -7;

// Bits of open_filespace64's `flags`.
constexpr uint32_t kPdb64WithFreeList = 0x80000000u;
// Open a file whose open mark was left set by a writer that no longer
// exists (a crash); the mark is taken over and the file recovered: a
// complete write-back journal is replayed (an incomplete one dropped), the
// records are walked from the start, a tail that a crash left (a record
// cut short, or zeros where the last write-back ended) is cut, and the free
// chain is rebuilt from the free records found. A walk that meets anything
// else refuses the open (kPdb64Corrupt) and changes nothing more; a file
// that cannot be written for the recovery (no space, say) is refused with
// kPdb64CannotOpen and errno, and recovered again by the next open.
// Opening for reading, a file with the mark set is read as recovering it
// would leave it, with nothing written: a whole journal laid over it in
// the cache, the tail cut from its length (what a reader of a file whose
// writer died, or is at work, sees: its last whole write-back).
constexpr uint32_t kPdb64RecoverStale = 0x40000000u;
// A file opened for reading holds a shared advisory lock until close: a
// writer elsewhere is refused while it is held, and the open is refused
// (kPdb64Busy) while a writer holds the file. What is read then never mixes
// two writers' states.
constexpr uint32_t kPdb64SharedLock = 0x20000000u;

// Opens or creates a record file. O_RDWR in oflags opens it for writing:
// the header's open mark is set and an advisory lock is held until close.
// *result (when given) receives one of the kPdb64 codes above; p->found
// stamps the file as the open found it.
PDB64* open_filespace64(const char* filename, int oflags, int mode, uint32_t flags, int type,
                        const char* encoding, int* result = nullptr);
// Empties again the file at path that an open of an empty file made a
// fresh record file of (header and free list), when it is still that file
// (dev, ino), holds no more than that and no opener holds it. 0, also when
// nothing was to be done; -1 when it could not be cut.
int pdb64_empty_if_fresh(const char* path, dev_t dev, ino_t ino);
// Removes the file at path that an open of this process made (dev, ino)
// when it is still that file, no opener holds it, and, with fresh_only,
// it holds no more than the fresh record file the open made: a file that
// another process has taken up since is left to it. 0, also when it was
// left; -1 when it could not be removed.
int pdb64_remove_if_made(const char* path, dev_t dev, ino_t ino, bool fresh_only);
// Writes everything back, syncs, then clears the open mark and syncs again,
// so that a file marked closed is whole; closes and frees p. 0, or -1
// with errno when something could not be written (the mark then stays
// set, and the file holds its last whole write-back: see fac_flush). *left
// (when given) stamps the file as this close left it (see close_pdb64).
int close_filespace64(PDB64* p, PDB64_STAMP* left = nullptr);
// Writes back the records that upper layers hold in memory (the tree node
// cache) into the page cache. 0 or negative.
int flush_filespace64(PDB64* p);
// Cuts the file to length 0 (header included).
int truncate_filespace64(PDB64* p);
// -1 when p is given and has no free list, else 0.
int check_pdb64(PDB64* p);

// Hook run by flush_filespace64 and close_filespace64 to write back records
// cached above this layer; null by default.
using Pdb64FlushHook = int (*)(PDB64* p);
void set_pdb64_flush_hook(Pdb64FlushHook hook);
// Hook run by close_filespace64 instead of the flush hook: writes back and
// forgets every record cached above this layer for the file. Null by default.
void set_pdb64_drop_hook(Pdb64FlushHook hook);

// Full consistency checks of the free chain around every allocation and
// freeing (off by default; the chain is always checked once at open).
void set_pdb64_debug_check(int on);
int get_pdb64_debug_check();

// Logical length of the file, or negative.
int64_t pdb64_file_size(PDB64* p);

// ---------------------------------------------------------------------------
// Space

// Reserves space for a record of header h (host order, size >= 24). The
// physical header is written; an appended body holds zero bytes. The offset,
// or negative on failure.
int64_t alloc_filespace64(PDB64* p, const PN64_HEADER* h);
// A new record of header h (file order; its size counts every body byte)
// whose body is the pieces one after the other (fewer than
// kFacMaxPieces), placed and written in one step: space at the end is not
// zero-filled first, and a long body goes to disk past the page cache. The
// offset, or negative; an appended record that cannot be written whole
// leaves no trace.
int64_t alloc_write_filespace64(PDB64* p, const PN64_HEADER* h, std::span<const iovec> body);
// Gives back the record at fofs. 0, or negative.
int free_filespace64(PDB64* p, uint64_t fofs);
// After the file was cut to length: drops a free segment ending there and
// cuts further. 0 or negative.
int truncate_check64(PDB64* p, uint64_t length);
// Full check of the free chain: 0 consistent, -1 no free list, -2 damaged.
int check_freelist64(PDB64* p);

int load_freelist64(PDB64* p, FREELIST64* f, uint64_t fofs);
int save_freelist64(PDB64* p, FREELIST64* f, uint64_t fofs);
FREELIST64* next_freelist64(PDB64* p, FREELIST64* f);
FREELIST64* insert_freelist64(PDB64* p, FREELIST64* f, uint64_t fofs, uint64_t size);
int delete_freelist64(uint64_t* retp, PDB64* p, FREELIST64* b);
void free_freelist64(FREELIST64* f);

// ---------------------------------------------------------------------------
// Reading and writing records

// Search by type from *retp (or from 0): see filespace.cc. A bare record of
// at most max_size bytes (0 = whole), or null.
PN64_HEADER* get_file_record64(uint64_t* retp, PDB64* p, int type, uint64_t max_size);
ACC_PN64_HEADER* xx_read_filespace64(PDB64* p, uint64_t fofs, const char* file, int line);
ACC_PN64_HEADER* xx_read_filespace64_header(PDB64* p, uint64_t fofs, const char* file, int line);
PN64_HEADER* xx_read_filespace64f(PDB64* p, uint64_t fofs, const char* file, int line);
PN64_HEADER* xx_read_filespace64f_header(PDB64* p, uint64_t fofs, const char* file, int line);

#define read_filespace64(p, fofs) xx_read_filespace64((p), (fofs), __FILE__, __LINE__)
#define read_filespace64_header(p, fofs) xx_read_filespace64_header((p), (fofs), __FILE__, __LINE__)
#define read_filespace64f(p, fofs) xx_read_filespace64f((p), (fofs), __FILE__, __LINE__)
#define read_filespace64f_header(p, fofs) xx_read_filespace64f_header((p), (fofs), __FILE__, __LINE__)

// Write a record (file byte order) in place; bytes written (header plus
// body), or negative.
int64_t write_filespace64(PDB64* p, const ACC_PN64_HEADER* h);
int64_t write_filespace64f(PDB64* p, uint64_t fofs, const PN64_HEADER* h);
// Writes h (file order) and the body pieces (fewer than kFacMaxPieces)
// over the record at fofs, which must have h's type and size (else -1 with
// EINVAL and nothing written). Pages whose bytes stay the same are left
// as they are: rewriting what a record holds already costs a read and no
// write-back. Bytes written (header plus body), or -1.
int64_t rewrite_filespace64(PDB64* p, uint64_t fofs, const PN64_HEADER* h, std::span<const iovec> body);
// At the current position: the physical header of d, then len - 16 body
// bytes. Bytes written, or -1.
int64_t fa_write64_header(PDB64* p, const PN64_HEADER* d, uint64_t len);
// len raw bytes at the current position; len or -1.
int64_t fa_write64(PDB64* p, const void* d, uint64_t len);
// Appends d at the end of the file: flags & 3 = 0 whole record, 1 header
// only, 2 or 3 header and zero body. The record's offset, or negative.
int64_t fs_raw_write64(PDB64* p, const PN64_HEADER* d, int flags);
// Lists the records of a file on the standard error stream.
void test_file64(const char* file, PDB64* p, int64_t limit);
