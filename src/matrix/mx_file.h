// The matrix file: a matrix keeps its parameters, scripts and nodes in one
// record file (matrix/mx_format.h), opened only while it is used.
//
// File access. Tasks that work on a matrix's file take its file access
// first and give it back afterwards: one task at a time holds it, counting
// its own nested takes. Taking it opens a closed file: the lock named after
// the file is asked of the lock service first (when one is configured; a
// refusal fails the access), a write lock for a writer and a read lock for
// a reader, then the record file is opened and an open mark is set inside
// it, cleared again by every clean close. While the record file is open a
// writer holds its advisory write lock and a reader a shared one, so that
// a file is written by one process at a time and never while another
// reads it.
//
// Hand-over. A file is closed for others to use, its named lock given
// back, only once every node changed here is saved, bottom-up as closing
// saves, and no command uses it. The file closer (every 15 s) so closes
// files idle for more than 29 s and keeps at most 9 open
// (QNMX_MX_FILE_IDLE sets fewer seconds, for tests), passing over a file a
// command works on; when another agent asks the lock service for the
// file, its lock event hands the file over as soon as it can (the lock
// stays when that cannot be done within the named lock's wait). From then on the
// nodes in memory are not trusted: the next opening compares the file
// with the state this process left it in (a reader: with the state it
// first read). A file written elsewhere meanwhile makes every node read
// before stale (MATRIX::file_gen): each is read anew before use, a change
// made here to one is refused (-127) rather than written over the other
// process's, and a reader refuses the file from then on. Until that
// opening, a node read before the hand-over is read anew (which opens the
// file) before it is used.
//
// Locks: `matrix_lock`, then `mx_file_lock` (the holder, count, opening and
// closing of every MX_FILE_WORK and `mx_open_files_cnt`), then the lock
// service, then the record store's lock. `mx_file_lock` is held only while
// the access is taken or given back, never during the work itself, and
// never while a named lock is waited for (the access keeps the file's
// state the waiter's meanwhile). A named lock is given back once its file
// is saved and closed, without waiting: a task of its own tells the
// service (runtime/call_lock.h).
//
// Opening outcomes, here and in load_matrix_header: 0, or
//   -123 the file cannot be opened (no such folder, no permission, I/O),
//   -124 a new file: missing, empty, or holding nothing but the record
//        file's header and free space,
//   -128 open for writing elsewhere: another process writes the record
//        file (or, for a writer, reads it), the lock service refused the
//        named lock or did not grant it within its wait, or a reader finds
//        the file changed since it first read it,
//   -129 not a valid matrix file: a non-empty file without a matrix header,
//        a header or subheader that does not decode or breaks the matrix
//        limits, or a file left open by a process that died that fails
//        validation.
// With -128 and -129 the file is left byte for byte as it was. A file left
// open by a dead process is validated (records, the node tree in order with
// keys naming their nodes, every channel chain and child list, the ring's
// links and count; linear in the stored nodes) and then taken over. A file
// that holds data is never emptied or re-initialised.
//
// Stored nodes that do not hold together (a code that does not match, a
// record of the wrong type, a missing or duplicate tree key) fail the
// operation with -129 and a log record; the file is not changed by it.
#pragma once

#include <cstdint>
#include <string>

#include "base/lock.h"
#include "matrix/matrix.h"
#include "matrix/mx_format.h"
#include "matrix/node.h"
#include "runtime/call_lock.h"
#include "runtime/peer_read.h"
#include "store/pdb64.h"

constexpr int kMxNoFileName = -100;
constexpr int kMxNotStored = -121;    // the file holds no such node
constexpr int kMxCannotOpen = -123;
constexpr int kMxNewFile = -124;
constexpr int kMxNoAccess = -127;
constexpr int kMxFileBusy = -128;
constexpr int kMxInvalidFile = -129;

// What identifies the state of a file on disk (store/pdb64.h).
using MX_FILE_STAMP = PDB64_STAMP;

// The file state of one matrix (MATRIX.file_work), under mx_file_lock for
// the holder fields and the opening; the rest belongs to the access holder.
struct MX_FILE_WORK {
  PDB64* pdb_fd;                 // the open record file, null while closed
  int64_t header_fofs;           // the 0x600 record
  int64_t subheader_fofs;        // the 0x601 record, 0 while not known
  PN64_MX_SUBHEADER subheader;   // its memory image (host order), the only copy changed
  int favt64_err;                // -1 once a tree node could not be had
  CALL_LOCK_DESCRIPTER lock_d;   // the named lock, invalid while none is held
  int lock_cnt;                  // nested takes of the holder
  int lock_tid;                  // the holder's task, 0 when free
  const char* lock_file;         // where the holder took it first
  int lock_line;
  int oflags;                    // open flags of the next opening
  int taken_over;                // the last opening validated and took over a
                                 // file a dead process had left open
  // A reader's file as its first opening found it (taken once there was
  // one); a later opening (after the closer or a lock event closed it)
  // that finds it changed is refused (changed set): the nodes read before
  // would mix with the new ones.
  MX_FILE_STAMP read_stamp;
  int changed;
  // The file as the last opening found it (its device and inode name the
  // file reached).
  MX_FILE_STAMP opened;
  // A writer's file as this process last closed it: the next opening
  // tells from it whether another process wrote the file meanwhile.
  MX_FILE_STAMP shut_stamp;
  int handing_over;              // a hand-over of the file is under way
  // The named lock was not had within the wait during this command of the
  // matrix (MATRIX::commands): its later accesses are refused at once, so
  // that the command answers after one wait, not after one per node.
  int lock_refused;
  uint32_t refused_command;
};

extern SEM mx_file_lock;
extern int mx_open_files_cnt;      // matrix files open in this process
extern int call_mx_file_gc;        // a closer pass runs (matrix_lock)
extern int mx_cache_count_max;     // the stored-node ring's limit, 10000

// Creates mx_file_lock and the 15-second file closer. Called by init_matrix.
void init_mx_file();

// ---------------------------------------------------------------------------
// File access

// Takes m's file access for the calling task, opening the file when it is
// closed: 0 or an opening outcome. _xx_ expects mx_file_lock held, and
// gives it back while it waits for the named lock (the access keeps the
// file state the caller's meanwhile); f = 0 opens without asking for it.
int XX_start_file_access(MATRIX* m, const char* file, int line);
int _xx_start_file_access(MATRIX* m, int f, const char* file, int line);
#define start_file_access(m) XX_start_file_access((m), __FILE__, __LINE__)
// Gives back one take; at the last the access is free and waiters wake.
// free_flag frees the MX_FILE_WORK (m->file_work becomes null).
void finish_file_access(MATRIX* m, int free_flag);
void _finish_file_access(MATRIX* m, int free_flag);
// Gives back the access, which must then be free (a take left over is a
// broken invariant), and sleeps on wait_key (at most a second: the key may
// be woken under another lock); a null key gives it back only, for a
// caller that waits under matrix_lock. The caller takes the access again.
void finish_file_access_with_wait(MATRIX* m, const void* wait_key);

// Whether m's reader found its file changed since it first read it (its
// openings are refused from then on, with -128).
bool mx_file_changed(MATRIX* m);
// Whether m reads the file that a read by its path judged
// (runtime/peer_read.h): for a peer's read, only when m's file has been
// opened and was that file; the agent's reads judge nothing.
bool mx_file_is_judged(MATRIX* m, const PeerReadFile& judged);
// Whether m's file was handed over since an opening last looked at it: the
// nodes in memory are then read anew before use, and a command that
// answers for the file as a whole takes it first.
inline bool mx_file_unchecked(const MATRIX* m) {
  return m->file_checked.load(std::memory_order_acquire) != m->file_handovers.load(std::memory_order_acquire);
}

// Whether a command of the program uses m now, asked with matrix_lock held
// (the hook takes only leaf locks). The agent installs it: a hand-over
// waits while it answers true, so that what one command writes goes to
// the file together and what one command reads comes from one state of
// the file, and the closer passes such a file over. Without one, none does.
using MX_COMMAND_CHECK = bool (*)(MATRIX* m);
void set_mx_command_check(MX_COMMAND_CHECK check);

// Hands m's file over (see the top): saves, then closes it, clearing its
// mark and giving back the named lock. Called by the lock service's event
// (seq of the lock it was given with; an event for another lock than the
// one held now is passed over), when the lock's link ended, and by the
// closer with seq 0. Nothing happens when the file is closed already, or
// when m is closing (its close saves and gives the lock back).
void mx_file_lock_event(int seq, MATRIX* m);
// The closer: hands over, in ring order, files while more than 9 are
// open, and files idle for more than 29 s (store clock) without tokens;
// never m. The tick runs a pass in a task of its own.
void mx_file_gc(MATRIX* m);
void mx_file_gc_tick(void* unused);

// Hands m's file to the operating system: the tree cache and the page
// cache written back, then fdatasync. 0, or -1 when something could not be
// written. Nothing to do (0) for a matrix without a file or a closed file.
int mx_file_sync(MATRIX* m);

// Writes back what the record store holds of m's file (opening it when
// closed), so that the file is whole on disk as m stands now: 0, an
// opening outcome (negative), or the errno (positive) of what could not be
// written (then the file keeps its last whole write-back).
int mx_file_write_back(MATRIX* m);
// The write-backs of m's file that failed, or were put off by the backoff
// after a failure, so far: a command takes the count as it begins, and
// asks mx_file_write_fault with it as it ends.
uint32_t mx_file_write_faults(const MATRIX* m);
// Why m's file could not be written the last time (errno; 0 when the last
// write-back, or the last close, succeeded), with path naming what failed:
// the file, or its journal ("<file>-journal"). With since (a count of
// mx_file_write_faults), 0 too when no write-back failed or was put off
// since then: a failure that a later write-back got past, or that the
// command never met, is not the command's.
int mx_file_write_fault(MATRIX* m, std::string* path, const uint32_t* since = nullptr);

// Whether the file open at fd is a matrix file in use, which a writer of
// other content (an export) must leave alone: the file of a matrix open in
// this process (the same device and inode, whether or not the closer has
// closed it for now), or one on which some process holds a lock that the
// writer of a matrix file would be refused by.
bool mx_file_in_use(int fd);

// ---------------------------------------------------------------------------
// Header, subheader, defaults, scripts

// Writes a new matrix file for m: only over a new file (-124's kind);
// 0, an opening outcome (the file could not be had: -128 when its named
// lock was refused), or -1 for a file that is not new or a header that
// could not be written; any other file is left untouched.
int save_matrix_header(MATRIX* m);
// Opens m's file with oflags (O_CREAT makes a missing file) and loads its
// header into m: 0, -100 (no file name), or an opening outcome. mode is
// ignored: files are made 0644.
int load_matrix_header(MATRIX* m, int oflags, int mode);
// The 0x601 record from and to w->subheader; sfa: the caller holds the
// access already. 0 or -1.
int save_subheader(MATRIX* m, int sfa);
int load_subheader(MATRIX* m, int sfa);
// Stores datum target of type tp as a 0x602 record (in place when the one
// at fofs has the same size): its offset, or -1.
int64_t save_matrix_data_1(MATRIX* m, int64_t fofs, const void* target, MATRIX_DATA_TYPE* tp);
// The datum of the 0x602 (type tp) or 0x603 record at fofs, tagged; for a
// 0x603 the next record and channel go to next_fofs and id when given.
// Null when it cannot be read or does not convert.
void* load_matrix_data(int64_t* next_fofs, int* id, MATRIX* m, int64_t fofs, MATRIX_DATA_TYPE* tp);
// The 24 scripts (null-terminated lists of text pieces, joined; a null
// entry removes the slot's script) and/or priorities of mode 0..2.
// 0, -1 bad mode, -2 no access, -3 a write failed.
int save_mode_cal(MATRIX* m, int mode, const char* const* const* cals, const int* pri);
// Reads them back: cals[slot] the list of the script's forms (null: none),
// pri the 24 priority words (apply them with set_matrix_param, which
// refuses a rule above 3). 0, -1 bad mode (both filled with zeros), -2.
int load_mode_cal(ZU_SEXP** cals, int* pri, MATRIX* m, int mode);
// The close callback (under matrix_lock): clears the mark, closes the file,
// gives back the named lock and frees the MX_FILE_WORK. A broken matrix's
// file is kept as it is and a log record says so.
void close_matrix_file(MATRIX* m);
void _close_matrix_file(MATRIX* m);

// Debugging operations nothing calls.
PDB64* get_mx_file_pfd(MATRIX* m);
void check_pdb_fd(MATRIX* m);
void matrix_test(MATRIX* m);
// 0 when some channel has a type; -1 otherwise (reported).
int test_matrix(MATRIX* m);
// 0, or -1 when two script slots name the same record (reported).
int save_cal_check(MATRIX* m);

// ---------------------------------------------------------------------------
// Nodes in the file

// Writes n (its file channels, ring entry, child list and node record; a
// new node enters the tree): 0, an access code, -1 no tree node, -129.
int save_matrix_node(MATRIX_NODE* n);
// Loads n by its dim code: 0, -121 not stored, or a load fault kept in
// n->load_fault (cleared by a load that succeeds or finds nothing stored):
// -127 a reader's file changed since it was first read, -128 busy in
// another process, -129 a damaged record, or another opening outcome. The
// node is ready at once, or, loaded by one of its running scripts, when that
// script ends (_mx_node_loaded).
int load_matrix_node(MATRIX_NODE* n);
// The 0x606 record at fofs in full form, its dim code and bit field
// (bit_field: dim_bit_field bytes, may be null); org receives the record
// (file order, tagged) when given. 0, -1 unreadable, -2 another type,
// -129 a body that does not decode.
int load_raw_matrix_node(PN64_MX_NODE* ret, PN64_HEADER** org, int64_t* dim_code, uint8_t* bit_field, MATRIX* m,
                         int64_t fofs);
// Adds the children of the 0x605 record to n. 0 or -1.
int load_matrix_dim_addr(MATRIX_NODE* n, int64_t addr_fofs);
// A 0x603 record for channel id: its offset or -1.
int64_t save_matrix_data_2(MATRIX* m, int64_t fofs, const void* target, int64_t next_fofs, int id,
                           MATRIX_DATA_TYPE* tp);

// The stored-node ring (matrices with kMxCacheFile; the caller holds the
// access): 0 or -129.
int insert_mx_cache_ring(MATRIX* m, int64_t cr_fofs);
int delete_mx_cache_ring(PN64_MX_CACHE_RING* dr, MATRIX* m, int64_t cr_fofs);
int setup_mx_cache_ring(MATRIX* m, int64_t ring, int64_t node);
int mx_cache_purge(MATRIX* m, int64_t cr_fofs);

// The hooks a file-backed matrix installs (read_file, write_file).
int matrix_standard_read_file(MATRIX_TOKEN* t, const L_CHAR* target);
int matrix_standard_write_file(MATRIX_TOKEN* t);

// Saves what a walk of the stored nodes must find, bottom-up as closing
// saves: the dirty nodes level by level from the finest, and waits for
// loading nodes. A dirty node coarser than a node still to be made again
// from its children (matrix_impl.h) is saved after it: with rebuild those
// are made here, level by level, as closing makes them; without, both are
// left to the close (or a scan of their save scripts), never lost. The
// node worker, which would wait for itself, only fires the saves. 0, or
// the outcome of taking the file access (-127 for a reader whose file
// changed, -128, -129, ...): a walk answers it, since the file's nodes are
// not what the matrix holds.
int mx_file_sync_create_node(MATRIX* m, bool rebuild = false);
// The same for a caller that holds m's open file access, which is given
// back while the saves run and taken again; with reopen false a file
// closed meanwhile is not opened again (-128). 0 with the access held, or
// the outcome with it not held.
int mx_file_sync_in_access(MATRIX* m, bool rebuild, bool reopen);
// The smallest and largest stored dim codes after that sync: 0,
// kMxNoneStored, or its outcome (-129 a node tree that cannot be read).
constexpr int kMxNoneStored = -1;
int mx_scale_of_dim_code(int64_t* start, int64_t* last, MATRIX* m);
// The stored nodes of last_dc's level from last_dc on, ascending, at most
// limit (negative: all), after that sync; null when none, or with *errp
// set to the sync's outcome.
MX_DIM_CODE_LIST* mx_search_level_node(MATRIX* m, const int64_t* last_dc, int limit, int* errp);
