// The matrix store: open matrices and their parameters, the derived level
// geometry, the scripts and mode of a matrix, the values the store keeps
// alive for the collector, and the records every part of the store shares
// (nodes, channels, tokens).
//
// Locks. `matrix_lock` is the one lock of the store: it guards every field
// of every MATRIX, MATRIX_NODE and MATRIX_TOKEN, the matrix ring, the node
// ring and hash, the token lists and `matrix_update_time`. An operation
// `name` takes it and calls `_name`; `_name` expects the caller to hold it,
// and nothing inside calls a public form. Waiting is always: sleep on an
// address while releasing `matrix_lock`, take it again, test again.
// `matrix_gc_lock` (the held-value ring lock of elements/held.h) guards the
// ring of MATRIX_SEXP records; it is taken after `matrix_lock`, and the
// collector takes it without `matrix_lock`.
//
// Geometry limits that keep every shift defined: dim 1..64, channel_nos
// 1..65535, block_size at most 30 and, for every level l of the matrix,
// l * dim_divide[d] + block_size[d] <= 62. A setter that would break them
// answers kMxBadIndex (-104) and changes nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "base/lock.h"
#include "base/queue.h"
#include "elements/element_type.h"
#include "elements/geometry.h"
#include "elements/held.h"
#include "text/lchar.h"
#include "zu/core_init.h"
#include "zu/env.h"
#include "zu/peer.h"

struct MATRIX;
struct MATRIX_NODE;
struct MATRIX_TOKEN;
struct MX_STRUCT_BLOCK;
struct MATRIX_ALLOC_BLOCK_PARAM;
struct MX_REBUILD;

// ---- result codes shared by the whole store
constexpr int kMxNoMatrix = -101;     // no such matrix, or no such node
constexpr int kMxNodeFailed = -102;
constexpr int kMxLoading = -103;      // the matrix or node is loading; the token waits
constexpr int kMxBadIndex = -104;     // channel, dimension, slot or limit out of range
constexpr int kMxDimSet = -105;       // dim already set (parameters) or not set (sizes)
constexpr int kMxChannelsSet = -108;
constexpr int kMxLevelsSet = -110;
constexpr int kMxPriSet = -111;
constexpr int kMxOpenSet = -112;
constexpr int kMxHookSet = -113;      // a file or network callback
constexpr int kMxFlagsSet = -114;
constexpr int kMxNewTokenSet = -115;
constexpr int kMxFreeTokenSet = -116;
constexpr int kMxTriggerSet = -117;
constexpr int kMxModifySet = -118;
constexpr int kMxInactive = -121;     // not active, or broken
constexpr int kMxNoDatum = -122;
constexpr int kMxScanBreak = -125;
constexpr int kMxCopyDiffers = -126;

constexpr int kMxScriptSlots = 24;    // kind * 3 + class
constexpr int kMxNodeHashSize = 4093;  // buckets of a matrix's node table at first
constexpr int kMxMaxChannels = 65535;
constexpr int kMxMaxLevels = 63;      // (levels - 1) * dim_divide + block_size <= 62

// Matrix modes.
constexpr int kMxModeOpening = 0;
constexpr int kMxModeActive = 1;
constexpr int kMxModeFailed = 2;
constexpr int kMxModeClosed = 3;

// MATRIX.flags
constexpr int kMxAskedWhileOpening = 1;
constexpr int kMxBroken = 2;
// MATRIX_PARAM.flags
constexpr int kMxIndexHem = 1;
constexpr int kMxCacheFile = 2;
// MATRIX_CHANNEL_INFO.flags
constexpr int kMxChSend = 1;
constexpr int kMxChFile = 2;
constexpr int kMxChVisu = 4;
constexpr int kMxChSendFile = 16;
constexpr int kMxChSendVisu = 32;

// ---------------------------------------------------------------------------
// Records

// Parameters of a matrix, each settable once (set_matrix_param); a zero or
// null field is not given.
struct MATRIX_PARAM {
  int channel_nos;                       // number of channels
  int dim;                               // number of dimensions
  int pri_area[kMxScriptSlots];          // queue priority word of each slot: rule (low 16
                                         // bits, 0..3) and base (high 16 bits)
  int flags;                             // kMxIndexHem, kMxCacheFile
  int total_levels;                      // forced number of levels; 0 derives it
  int64_t modify_time;                   // recorded in the matrix file
  void (*open_method)(MATRIX_TOKEN* t);  // first token of a newly opened matrix
  // Load the token's node (target: null or the load target text); write it
  // and clear its save mark (unlock_save) while still holding the node's
  // channel lock, so that a change made after the data were read stays
  // marked. 0 done, positive: finishes later (the hook queues the token
  // again), negative: failed.
  int (*read_file)(MATRIX_TOKEN* t, const L_CHAR* target);
  int (*write_file)(MATRIX_TOKEN* t);
  int (*read_net)(MATRIX_TOKEN* t, const L_CHAR* target);
  void (*close_file)(MATRIX* m);         // under matrix_lock, after every node left
  void (*close_net)(MATRIX* m);
  void (*new_token)(MATRIX_TOKEN* t, int kind);  // 1 node token, 2 open token
  void (*free_token)(MATRIX_TOKEN* t, int);
  int (*trigger)(int event, void* arg);  // (1, matrix), (2, token), (4, null)
};

// One channel of a matrix (matrix_lock).
struct MATRIX_CHANNEL_INFO {
  MATRIX_DATA_TYPE* data_type;  // element type; null: a channel without a type
  int flags;                    // kMxChSend .. kMxChSendVisu
  void* default_data;           // default element (tagged, owned)
  int64_t default_data_fofs;    // its record in the matrix file, 0: none
};

// One channel of a node in memory (matrix_lock; data also under the node's
// channel lock).
struct MATRIX_CHANNEL {
  void* data;                   // the datum, of the channel type (owned)
  int64_t data_fofs;            // its stored record
  MX_STRUCT_BLOCK* sb;          // structure of a block channel
  int64_t update_time[2];       // update stamps (get_matrix_update_time)
};

// An entry of a token's list of locked nodes.
struct MATRIX_LIST {
  MATRIX_LIST* next;
  MATRIX_NODE* node;
};

// Where a structure block lives.
struct MX_SB_NEW {
  MATRIX* m;
  MATRIX_NODE* n;
  int channel;
};

// A plug-in's method table: make a block for a place, free it, copy it,
// rebuild it from a channel's bytes (0 or -1), encode it to new bytes
// (null on failure), run a command (0, or -1 refused or failed).
struct MX_STRUCT_BLOCK_TBL {
  MX_STRUCT_BLOCK* (*new_sb)(MX_SB_NEW* n, void* param);
  void (*free_sb)(MX_STRUCT_BLOCK* blk);
  MX_STRUCT_BLOCK* (*copy_sb)(MX_STRUCT_BLOCK* blk);
  int (*block2struct)(MX_STRUCT_BLOCK* blk, MATRIX_ALLOC_BLOCK_PARAM* b);
  MATRIX_ALLOC_BLOCK_PARAM* (*struct2block)(MX_STRUCT_BLOCK* blk);
  int (*operation)(int cmd, MX_STRUCT_BLOCK* blk, void* param);
};

// The head of every structure block attached to a block channel; a
// plug-in's record begins with it (data under the node's channel lock).
struct MX_STRUCT_BLOCK {
  MX_SB_NEW n;
  MX_STRUCT_BLOCK_TBL* tbl;
};

// A pending access id of a token.
struct MATRIX_ACCESS_LIST {
  MATRIX_ACCESS_LIST* next;
  int id;
  EVAL_ORIGIN origin;  // who caused it: its script runs for them
};

// A node of a matrix's pyramid held in memory (matrix_lock).
struct MATRIX_NODE {
  MATRIX_NODE* next;               // node ring (nd_root), newest first
  MATRIX_NODE* prev;
  MATRIX_NODE* nh_next;            // next node of the same hash chain
  MATRIX* matrix;
  int64_t* dim_code;               // level and origin (owned)
  int status;                      // 0 new .. 6 (kMsOk = 2)
  int locked;                      // node locks held
  int ch_lock;                     // depth of the channel lock
  int ch_lock_tid;                 // its holder's task id, 0 when free
  unsigned save_lock : 1;          // being written
  unsigned save_fired : 1;         // a closing or flushing pass fired its save
  unsigned dirty_listed : 1;       // on its matrix's dirty list
  unsigned data_stored : 1;        // each channel datum with a record equals it:
                                   // loaded or saved since, and no change marked
  unsigned kids_entered : 1;       // children entered while it loaded, to compare with
                                   // its stored list once it is read
  unsigned lost_said : 1;          // changes it lost are reported and counted already
  unsigned int dirty_file_time;    // first unsaved change (get_zutime), 0 clean
  MATRIX_NODE* dirty_next;         // the matrix's dirty list, while dirty_listed
  MATRIX_NODE* dirty_prev;
  MATRIX_CHANNEL* channel;         // p.channel_nos channels
  uint8_t* nlist_dim_bit_field;    // child bit field (dim_bit_field bytes), or
  int64_t** nlist_dim_addr;        // sorted child dim codes (each owned)
  int nlist_dim_bit_field_len;
  int nlist_dim_addr_len;
  MATRIX_TOKEN* wait_token;        // tokens waiting for the status to settle
  MATRIX_TOKEN* process_token;     // runs this node's scripts; at most one
  int process_token_key;
  int64_t req_level;
  int64_t last_access;
  int64_t fofs;                    // node record
  int64_t ring_fofs;               // stored-node ring entry
  int64_t dim_addr_fofs;           // child-list record
  int64_t dim_addr_size;
  signed char scan_call[8];        // completion byte per access kind
  int load_fault;                  // why the last load of its data failed although it is
                                   // stored (mx_is_load_fault), 0: it succeeded, or the
                                   // file holds no such node
  MATRIX_SEXP* send_data;          // delayed result for remote readers
  MATRIX_SEXP* send_data_delay;    // and its callback record
  // Its matrix's file_gen and file_handovers when its data were read from
  // the file, saved to it, made, or (file_handovers) found current by a
  // lookup after an opening looked at the file again (see MATRIX).
  uint32_t file_gen;
  uint32_t file_handovers;
};

constexpr int kMsNew = 0;
constexpr int kMsLoading = 1;
constexpr int kMsOk = 2;
constexpr int kMsLoadingErr1 = 3;
constexpr int kMsProcessErr1 = 4;
constexpr int kMsEditErr1 = 5;
constexpr int kMsEditErr2 = 6;

// A token: the unit of work of the worker queue (matrix_lock).
struct MATRIX_TOKEN {
  Q_HEADER h;                          // key, priority, source position
  MATRIX_TOKEN* next;                  // link in a wait chain
  MATRIX_ACCESS_LIST* access_list;     // pending ids, first in first out
  int access_target_id;                // slot being run, -1 none
  MATRIX* wait_matrix;                 // matrix it waits for (mode 0)
  MATRIX_NODE* wait_node;              // node it waits for
  MATRIX_NODE* process_node;           // node whose scripts it runs
  MATRIX_LIST* locked_node_list;       // nodes it holds locked
  ZU_SEXP* cal_target;                 // forms of the slot not yet run
  void (*func)(MATRIX_TOKEN* t);       // what the worker calls
  void (*aboat_func)(MATRIX_TOKEN* t); // called when the matrix closes meanwhile
  void* aboat_work;
  int aboat_status;                    // pending abort calls
  MATRIX_SEXP* env;                    // the token's environment, made when it first runs
  int loop_no;
  int normal_jump;                     // jumps of the current slot, -1 none
  int normal_jump_status;
  int err_jump;
  int err_jump_status;
  void* work;
  const char* c_file;                  // last queueing or wait
  int c_line;
  MATRIX_SEXP* cal_hold;               // keeps the running slot's script alive (made with env)
  int stopped;                         // left by a break signal
  int loaded;                          // its script loaded the node, which is made
                                       // ready when the script ends (_mx_node_loaded)
  EVAL_ORIGIN origin;                  // of the slot being run, and of the jumps it makes
};

// The nodes of a matrix in memory, each chained by nh_next in the bucket
// _get_node_hash gives for its code (matrix_lock). The buckets double
// whenever the nodes outnumber them, so that a lookup passes over a node or
// two however many nodes the matrix holds; a matrix holding hundreds of
// thousands (a large picture in small nodes) looks each up as fast as one
// holding a few. Added to and taken from only by the node cache
// (node_cache.cc). Adding a node may move the buckets, so a walk over them
// must add none (freeing nodes on the way is fine).
struct MX_NODE_HASH {
  MATRIX_NODE** bucket;  // `size` chains, made with the first node
  int64_t size;          // 0 before the first node
  int64_t count;         // nodes held
  int64_t buckets() const { return size ? size : kMxNodeHashSize; }
  MATRIX_NODE* operator[](int64_t i) const { return bucket ? bucket[i] : nullptr; }
  MATRIX_NODE* const* begin() const { return bucket; }
  MATRIX_NODE* const* end() const { return bucket + size; }
};

// One open matrix (matrix_lock). dim_divide, block_size and pixel_size
// exist exactly when p.dim is set; channel_info exactly when p.channel_nos
// is; pixel_size_list has total_levels rows of p.dim values. `geometry`
// views these fields and is kept in step with them.
struct MATRIX {
  MATRIX* mx_next;                     // matrix ring, most recently used first
  MATRIX* mx_prev;
  int mode;                            // kMxModeOpening .. kMxModeClosed
  MATRIX_CHANNEL_INFO* channel_info;   // p.channel_nos entries
  MX_NODE_HASH node_hash;
  MATRIX_PARAM p;
  int total_levels;                    // 0 until computable
  uint8_t* dim_divide;                 // bits added per level
  uint8_t* block_size;                 // bits of a level-0 node
  int64_t* pixel_size;                 // extent at level 0
  int64_t** pixel_size_list;           // [level][d] extent in that level's units
  MATRIX_SEXP* cal[kMxScriptSlots];    // the access scripts
  void* open_work;                     // given to open_matrix
  L_CHAR* neturl;                      // identity (own copies; may be null)
  L_CHAR* filename;
  L_CHAR* key;
  int dim_bit_field;                   // bytes of a child bit field, 0: lists
  MATRIX_TOKEN* wait_token;            // tokens waiting for mode 0 to end
  MATRIX_TOKEN* open_token;            // the open token until its method returned
  int token_cnt;
  int flags;                           // kMxAskedWhileOpening, kMxBroken
  int access_cnt;                      // use history, shifted by the access tick
  int access_lock;                     // file-closer passes outside matrix_lock
  int holds;                           // _hold_matrix takes not released
  int64_t last_access;                 // last move to the front of the ring
  MATRIX_SEXP* mx_env;                 // the matrix's own environment
  int64_t obj_id;                      // last object id handed out
  void* file_work;                     // matrix file state
  MATRIX_GEOMETRY geometry;            // view for the element operations
  // Every node marked for the file since a walk of this list last met it,
  // the finest level first and each level in the order its nodes were
  // marked: flushing, syncing and closing walk these instead of every node,
  // and save the finest first (a coarser node's save may read its
  // children). A node whose mark went (saved) stays until a walk or its
  // freeing takes it off.
  MATRIX_NODE* dirty_list;
  MATRIX_NODE* dirty_tail;
  MATRIX_NODE* dirty_level_tail[kMxMaxLevels];  // the last node of each level on it
  // The coarser nodes to make again from their children before the matrix
  // closes (matrix_impl.h); null until a node is written.
  MX_REBUILD* rebuild;
  int lost_saves;                      // nodes whose changes could not be saved since it opened
  // Saves fired, saves ended and nodes taken or settled for a rebuild since
  // the matrix opened: closing passes over all its nodes only once these
  // stop moving (matrix_close.cc).
  uint64_t save_moves;
  // Why its file could not be opened the last time (errno, 0 when it
  // could), and why its last close could not write everything (errno, 0
  // when it did; file_errno_journal: it was the file's journal that could
  // not be written). mx_file_lock.
  int open_errno;
  int file_errno;
  bool file_errno_journal;
  // Write-backs of its file that failed, or were put off because the last
  // one failed (mx_file.h, mx_file_write_faults).
  std::atomic<uint32_t> write_faults;
  // What the nodes in memory are worth against the file (mx_file.cc sets
  // file_gen and file_checked under mx_file_lock, file_handovers under
  // matrix_lock; node lookups read them under matrix_lock).
  // file_gen goes up when an opening finds the file written by another
  // process since this one last had it open: a node of an older generation
  // is never used again (node_cache.cc). file_handovers counts the times
  // the file was closed for others to use (a lock event, the file closer),
  // file_checked the last such time an opening found it as it was left; a
  // node read before an unchecked hand-over is read anew before use.
  std::atomic<uint32_t> file_gen;
  std::atomic<uint32_t> file_handovers;
  std::atomic<uint32_t> file_checked;
  // Goes up as each command on the matrix begins and ends (the agent counts
  // them) and as its close begins: a named lock that one of them waited for
  // in vain is not waited for again by the same one (mx_file.cc), and what
  // runs between two commands asks for it anew.
  std::atomic<uint32_t> commands;
};

// ---------------------------------------------------------------------------
// Global state (matrix_lock unless said otherwise)

extern MATRIX matrices_root;       // sentinel of the matrix ring
extern SEM matrix_lock;
extern MATRIX_NODE nd_root;        // sentinel of the node ring
extern int nd_cnt;
extern int total_ncache_size;      // node-cache target, 100 at start
// Node data the cache may hold before it frees used nodes: the target
// grows while that many nodes of the open matrices fit (0: the target
// alone). 512 MiB at start, or an eighth of the memory when that is less.
extern int64_t node_cache_bytes;
extern SYS_QUEUE matrix_que;       // worker queue of tokens (its own lock)
extern ZUISP_ENV* matrix_zu_env;   // parent of every matrix environment
extern int64_t matrix_update_time; // source of channel update stamps

// ---------------------------------------------------------------------------
// Start-up

// Hands in the registration of one of the matrix operation families (a
// binder of zu/core_init.h), as a row named by the family's binder
// ("init_mxCH" .. "init_mxObjID") with environment 0: matrix_zu_env.
// init_matrix calls the registrations in their fixed order, whatever the
// order they were handed in. 0, or -1 for a row that names no family (a
// slip that stops debug and sanitizer builds, as family_row says). Done
// before init_matrix.
int set_matrix_op_binder(const ZU_FAMILY& family);

// Starts the store once: the element types, node ring and cache size,
// matrix_lock, the matrix ring, the worker queue, matrix_zu_env under the
// root environment with the installed binders and "create-node" bound to
// "disable" (what a matrix's scripts see until set_matrix_env binds the
// matrix's own value). Later calls do nothing. The collector hooks must
// call gc_matrix, which keeps matrix_zu_env alive.
void init_matrix();
// Non-zero once init_matrix has run.
int matrix_started();

// What a close could not save: the nodes whose changes could not be saved
// since the matrix was opened, and why its file could not be written back
// whole at the end (errno, 0 when it was; path: the file, or its journal).
struct MX_CLOSE_LOSS {
  int nodes = 0;
  int file_errno = 0;
  std::string path;
};

// Closes every open matrix that nobody holds, front first, writing what
// is dirty. An element cache still holding a node of one makes it wait for
// the cache's owner (element_cache.h). Answers what could not be saved,
// over all of them (close_matrix).
int close_all_matrix();
// Keeps m from close_all_matrix: an opener holds the matrix it opened
// until it has handed it to an owner that is closed before
// close_all_matrix runs (the agent's entry), or closes it itself.
void _hold_matrix(MATRIX* m);
void release_matrix(MATRIX* m);

// ---------------------------------------------------------------------------
// Opening and finding

// A new matrix in mode 0 at the front of the ring, or null when a matrix
// with the same non-null filename is open or every matrix is being closed. Names are copied (null stays
// null). With an open method, an open token is queued at once.
MATRIX* open_matrix(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key,
                    void (*open_method)(MATRIX_TOKEN*), void* work);
MATRIX* _open_matrix(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key,
                     void (*open_method)(MATRIX_TOKEN*), void* work);
// The matching matrix, else a new one as open_matrix makes it.
MATRIX* open_matrix_with_search(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key,
                                void (*open_method)(MATRIX_TOKEN*), void* work);
// The first matrix, from the front, whose name of each given kind equals
// the given one; a null argument matches anything, a given name never a
// null one.
MATRIX* _search_matrix(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key);
MATRIX* _search_matrix_filename(const L_CHAR* filename);
// As _search_matrix: *errp -101 when none; -103 when the matrix is
// opening and token t (when given) now waits for it; else 0.
MATRIX* search_matrix(int* errp, const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key,
                      MATRIX_TOKEN* t);

// ---------------------------------------------------------------------------
// Parameters (0 or a negative code)

// Applies every non-zero field of p. Every conflict (a field set in both)
// and every limit (a priority rule above 3 included) is tested first; the
// first found is returned with nothing changed.
int set_matrix_param(MATRIX* m, const MATRIX_PARAM* p);
int _set_matrix_param(MATRIX* m, const MATRIX_PARAM* p);
// Copies inf into channel ch; its default datum is copied (tagged).
int set_matrix_channel_info(MATRIX* m, int ch, const MATRIX_CHANNEL_INFO* inf);
int _set_matrix_channel_info(MATRIX* m, int ch, const MATRIX_CHANNEL_INFO* inf);
int set_matrix_dim_divide(MATRIX* m, int d, int v);
int _set_matrix_dim_divide(MATRIX* m, int d, int v);
int set_matrix_block_size(MATRIX* m, int d, int v);
int _set_matrix_block_size(MATRIX* m, int d, int v);
int set_matrix_pixel_size(MATRIX* m, int d, int64_t v);
int _set_matrix_pixel_size(MATRIX* m, int d, int64_t v);
// Recomputes total_levels and pixel_size_list from the sizes.
void _cal_matrix_total_levels(MATRIX* m);

// ---------------------------------------------------------------------------
// Scripts, mode, environment

// Stores the expression `cal` as script slot id (0..23). An error value is
// written to the standard error stream and refused (-1).
int set_matrix_cal(MATRIX* m, int id, ZU_SEXP* cal);
int _set_matrix_cal(MATRIX* m, int id, ZU_SEXP* cal);
// Slot id gets slot id2's expression (the same value).
int set_matrix_cal_equ(MATRIX* m, int id, int id2);
int _set_matrix_cal_equ(MATRIX* m, int id, int id2);
// Sets the mode (0..3; anything else is a broken invariant). Leaving mode
// 0 queues the waiting tokens again and wakes the matrix's sleepers. A
// closed matrix stays closed.
void set_matrix_mode(MATRIX* m, int mode);
void _set_matrix_mode(MATRIX* m, int mode);
// Sleeps until the matrix is no longer opening.
void wait_matrix_mode(MATRIX* m);
// Binds name to the text data (both in the standard encoding) in the
// matrix's own environment. 0, or -1.
int set_matrix_env(MATRIX* m, const char* name, const char* data);

// ---------------------------------------------------------------------------
// Counters and marks

// Next object id: 256, 512, ...; restarts at 256 past the positive range.
int64_t get_matrix_obj_id(MATRIX* m);
int64_t _get_matrix_obj_id(MATRIX* m);
// Update stamps of channel ch of n: ix 0/1 stamps that slot (0); -1 sets
// both to the newer (0); -2 compares (-1 equal, 0 slot 1 older, 1 newer).
// -104 for a channel or ix out of range.
int get_matrix_update_time(MATRIX_NODE* n, int ch, int ix);
int _get_matrix_update_time(MATRIX_NODE* n, int ch, int ix);
// The save mark of a node; unlock_save also clears the dirty time and
// wakes the node, its matrix and the close key.
void lock_save(MATRIX_NODE* n);
void _lock_save(MATRIX_NODE* n);
void unlock_save(MATRIX_NODE* n);
void _unlock_save(MATRIX_NODE* n);
// Marks n changed for the matrix file when a save script exists.
void set_dirty_file(MATRIX_NODE* n);
void _set_dirty_file(MATRIX_NODE* n);

// ---------------------------------------------------------------------------
// Values held for the collector (the ring of elements/held.h)

// A held record for value s (value mark function); set its `del` to drop it.
MATRIX_SEXP* xx_new_matrix_sexp(ZU_SEXP* s, const char* file, int line);
#define new_matrix_sexp(s) xx_new_matrix_sexp((s), __FILE__, __LINE__)

// Collector hooks: the ring lock, and the marking of matrix_zu_env and of
// every held record whose `del` is clear (released ones are freed).
void gc_matrix_lock();
void gc_matrix();
void gc_matrix_unlock();
// Installs the program's collector hooks: the library's
// (runtime/zu_gc_hooks.h) joined with the store's. A collection takes the high queue lock, the
// held-value ring lock, then the library's locks (ending with the ordinary
// queue lock), and releases the library's first, then the ring lock; it
// marks the library's roots, then matrix_zu_env and the held values.
void set_matrix_gc_hooks();
