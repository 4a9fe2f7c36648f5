// The life of a node: the node cache (lookup, creation, locks, the ring and
// its purge), tokens and the one worker that runs node scripts, the channel
// data of nodes, the walk down the pyramid, the node byte form that remote
// readers receive, and closing.
//
// Locks: as matrix.h says, `name` takes matrix_lock and calls `_name`,
// which expects it held. The channel lock of a node is a count under
// matrix_lock, re-entrant for its holding task; other tasks sleep on the
// node until it is free. Lock order: matrix_lock, then a channel lock.
//
// A node leaves memory only when it is unlocked, not channel-locked, not
// being saved, clean, and without waiting or process tokens.
#pragma once

#include <cstdint>

#include "elements/value.h"
#include "matrix/dim_code.h"
#include "matrix/matrix.h"

// Script slots of the fixed accesses.
constexpr int kMxFetchSlot = 3;  // fetch a new node
constexpr int kMxEditSlot1 = 9;
constexpr int kMxEditSlot2 = 12;
constexpr int kMxVisuSlot = 15;  // reprocess
constexpr int kMxSaveSlot = 21;  // save

// Completion bytes of scan_call[kind].
constexpr signed char kMxCallDone = 1;
constexpr signed char kMxCallBreak = static_cast<signed char>(0x83);
constexpr signed char kMxCallError = static_cast<signed char>(0x9c);

// ---------------------------------------------------------------------------
// Node cache

// Load faults. A node that the file stores but whose load failed keeps the
// cause in load_fault: -127 the file changed since this reader first read
// it, -128 the file is busy in another process, -129 a damaged record,
// -123/-124 the file cannot be opened or is empty now (mx_file.h). Only
// "not stored" (-121) makes a node of the channels' defaults; a node whose
// fetch failed with a load fault answers that code to every lookup, so that
// no reader takes the defaults for its data. A busy node is fetched again
// by the next read that waits for it (retry_busy_node).
constexpr bool mx_is_load_fault(int code) {
  return code == -123 || code == -124 || code == -127 || code == -128 || code == -129;
}

// The node of m holding dim_code at its level. Code 0: the node, locked for
// t (or for nobody) until unlock_node(n, t). Otherwise *errp (set only then;
// callers clear it first): -103 loading (without a node when its fetch
// ended and no script settled it: nobody will), -101 none (or an error node being
// fetched again), -102 failed, -121 matrix not active (a closing matrix
// still answers the scripts on the worker), or the load fault of an error
// node that the file stores. With -103 or -101 and
// a node, t waits for it and is queued again when it settles, and the node
// is returned unlocked; else null. access >= 0 creates missing nodes and
// retries error nodes; < 0 only looks. retp: the delayed result of a loading
// node for a remote reader. A loading node is ready only when the script
// that loads it ends; that script (t its process token) gets it with code 0.
MATRIX_NODE* get_matrix_node(int* errp, MATRIX* m, const int64_t* dim_code, int access, MATRIX_TOKEN* t,
                             ZU_SEXP** retp);
// As get_matrix_node without a token, sleeping while the node loads. After
// the first wait an error node is not fetched again: its code is answered.
// -103 with no node when the wait ends before the node settles: on the node
// worker (which never sleeps), when the wait check (below) ends it, or when
// the node's fetch ended without any script settling it.
// A busy node (load fault -128) is fetched again first when access >= 0.
MATRIX_NODE* get_matrix_node_wait(int* errp, MATRIX* m, const int64_t* dim_code, int access);
MATRIX_NODE* _get_matrix_node_wait(int* errp, MATRIX* m, const int64_t* dim_code, int access);
// Fetches the node at dim_code again when its last load found the file
// busy, for a read that begins to wait for it: the lookups after that wait
// answer what the new fetch found, so a read never loops on a busy file.
// Nothing happens for any other node, a matrix that is not active, or on
// the node worker (whose scripts cannot wait).
void retry_busy_node(MATRIX* m, const int64_t* dim_code);
void _retry_busy_node(MATRIX* m, const int64_t* dim_code);
// Starts the fetch of the node holding dim_code when it is not in memory
// and access >= 0, as a lookup would, without waiting for it or locking
// it: a run of elements that crosses many nodes asks for all of them
// first, so that their fetches follow one another on the worker instead of
// each waiting for the one before. Nothing happens for a node in memory or
// a matrix that is not active.
void _ask_matrix_node(MATRIX* m, const int64_t* dim_code, int access);
// A task waiting for a loading node (get_matrix_node_wait,
// get_matrix_node_channel, the element caches) wakes at least once a second
// and asks the installed check, without matrix_lock, with the seconds it
// has waited: non-zero ends the wait. Without a check (null) a wait lasts
// until the node settles.
using MX_NODE_WAIT_CHECK = int (*)(double seconds);
void set_mx_node_wait_check(MX_NODE_WAIT_CHECK check);
// The lookup itself: lev is the requested level, pt_key the requester's key.
// A dim code outside the matrix's geometry names no node (-101).
MATRIX_NODE* _get_matrix_node(int* errp, MATRIX* m, const int64_t* dim_code, int access, int64_t lev,
                              ZU_SEXP** retp, int pt_key);

void _lock_node(MATRIX_NODE* n, MATRIX_TOKEN* t);
void unlock_node(MATRIX_NODE* n, MATRIX_TOKEN* t);
void _unlock_node(MATRIX_NODE* n, MATRIX_TOKEN* t);
// Gives back count channel locks (flags as matrix_node_channel_unlock's)
// and then one node lock taken without a token, waking the waiters once:
// an element cache letting go of its node.
void _release_node_channels(MATRIX_NODE* n, int count, int flags);

// The channel lock; flags bit 0 at the last release marks the node changed.
void matrix_node_channel_lock(MATRIX_NODE* n);
void _matrix_node_channel_lock(MATRIX_NODE* n);
void matrix_node_channel_unlock(MATRIX_NODE* n, int flags);
void _matrix_node_channel_unlock(MATRIX_NODE* n, int flags);

// Makes t wait for n (null t: nothing); a token already waiting is a broken
// invariant.
void _xx_insert_node_wait_token(MATRIX_NODE* n, MATRIX_TOKEN* t, const char* file, int line);
#define _insert_node_wait_token(n, t) _xx_insert_node_wait_token((n), (t), __FILE__, __LINE__)
// Queues again every token waiting for n and wakes n and the close key.
void _requeue_node_tokens(MATRIX_NODE* n);

// 0 freed, -1 busy (locked, channel-locked, being saved, dirty), -2 tokens.
int _free_matrix_node(MATRIX_NODE* n);
// A node of m at dim_code (normalised) made as the cache makes its nodes,
// with its channel table and child bit field, but in no table and with
// status 0: the cache adds it to its hash; code that loads, saves or
// decodes one node on its own (the checks of a file, tests) uses it as it
// is. No lock is needed for a node nobody else can reach.
MATRIX_NODE* mx_make_node(MATRIX* m, const int64_t* dim_code);
// Frees a node that no table holds: its channel data and structure blocks,
// child list, bit field and code. The node's delayed results, if any, are
// marked dead for their holders.
void mx_free_node(MATRIX_NODE* n);
// -1 busy, -2 tokens, -3 status 0 or 1, 0 settled.
int _sync_matrix_node(const MATRIX_NODE* n);
// *retp = the node's delayed result, made on first use (null retp: nothing).
void set_send_data(MATRIX_NODE* n, ZU_SEXP** retp);

// Every 11 seconds (installed by init_matrix): ages each matrix's use
// history and sizes the cache to 10 nodes per level of the matrices used in
// the last two periods, at least 100.
void matrix_access_tick(void* unused);

// Past kMxPurgeFarOver times total_ncache_size nodes, nodes come in faster
// than the clock lets them go: the purge then runs after every batch of
// total_ncache_size new nodes, keeps the newest kMxPurgeFarKeep times that
// many ready nodes and frees the older ones however recently they were
// used (saving the dirty ones first), so that memory follows the target
// and not the size of what is written.
// Where node_cache_bytes holds more nodes of the largest kind open,
// the target used here is that many nodes over kMxPurgeFarOver, so that
// reads over a picture the cache can hold do not load its nodes again.
constexpr int kMxPurgeFarOver = 4;
constexpr int kMxPurgeFarKeep = 2;

// The store's clock in seconds (last access, dirty stamps, purge ages):
// get_zutime unless another clock is installed (null restores it).
void set_mx_clock(int64_t (*clock)());
// When the node cache last purged (matrix_lock; 0 at start, so the first
// insertion purges).
extern int64_t mx_last_purge_time;

// Ring membership; insertion may purge.
void _insert_node_ring(MATRIX_NODE* n);
void _delete_node_ring(MATRIX_NODE* n);

// ---------------------------------------------------------------------------
// Node memory
//
// A node's vector data are one block of a size its matrix's kind fixes (a
// 256 x 256 node of pixel words is 256 KiB), made and let go by the
// thousand as nodes come and go. Given back to the system, every new one
// faulted its pages in again, and the collector's trims gave back what the
// allocator still held. So the blocks of a node that leaves the cache are
// kept by size, and the element types take one (elements/pool.h) for the
// next vector of that size: a node made, loaded or filled. The pool keeps
// at most node_cache_bytes and is emptied when the last matrix is freed;
// its own leaf lock guards it (node_pool.cc).

// Installs the pool as the element types' source of node blocks (init_matrix).
void install_mx_node_pool();
// Lets go of datum d of type tp: a plain vector block of node size is kept
// while there is room (under matrix_lock; without it nothing is kept),
// anything else freed as tp->free_data does.
void mx_node_pool_give(MATRIX_DATA_TYPE* tp, void* d);
// Frees every kept block.
void mx_node_pool_drain();
// The bytes kept now.
int64_t mx_node_pool_bytes();

// ---------------------------------------------------------------------------
// Tokens and the worker

// Fires access `access` (a slot 0..23; only its kind counts) on n; with
// clear_err an edit-error node returns to ready first.
void matrix_trigger_access(MATRIX_NODE* n, int access, int clear_err);
void _matrix_trigger_access(MATRIX_NODE* n, int access, int clear_err);
// Starts the fetch of a new node (status 0 only).
void _get_matrix_access(MATRIX_NODE* n);
// The process token of n (which must have none).
MATRIX_TOKEN* _new_matrix_token(MATRIX_NODE* n);
// Queues t with function func under the node key at its priority.
void xx_insert_matrix_access(MATRIX_TOKEN* t, void (*func)(MATRIX_TOKEN*), const char* file, int line);
void _xx_insert_matrix_access(MATRIX_TOKEN* t, void (*func)(MATRIX_TOKEN*), const char* file, int line);
#define insert_matrix_access(t, f) xx_insert_matrix_access((t), (f), __FILE__, __LINE__)
#define _insert_matrix_access(t, f) _xx_insert_matrix_access((t), (f), __FILE__, __LINE__)
// The pending ids: append unless present; take the first (-1 when none).
// An id carries the origin of whoever caused it (zu/peer.h), and its
// script runs with that origin; an id both the agent and a peer caused is
// the peer's, so that a peer's access never runs with the agent's powers,
// and the same id caused by two peers is pending twice, so that each
// peer's script runs with its own origin and read rules.
void _xx_insert_access_list(MATRIX_TOKEN* t, int acc, const EVAL_ORIGIN& origin, const char* file, int line);
#define _insert_access_list(t, acc) _xx_insert_access_list((t), (acc), eval_origin_handed(), __FILE__, __LINE__)
int _delete_access_list(MATRIX_TOKEN* t);
// Sets each jump whose argument is >= 0.
void set_access_jump(MATRIX_TOKEN* t, int err_jump, int normal_jump, int err_jump_status, int normal_jump_status);
void _set_access_jump(MATRIX_TOKEN* t, int err_jump, int normal_jump, int err_jump_status, int normal_jump_status);
// The queue priority of t by its slot's priority word.
int _matrix_token_pri(const MATRIX_TOKEN* t);

// The key task of matrix_que: one per key, each with its own internal
// interpreter.
void matrix_que_task(void* queue);
// Non-zero on a thread that is running matrix_que_task.
int matrix_on_worker();
// The script runner (a node token's func).
void matrix_exec_cal(MATRIX_TOKEN* t);
// Ends the current slot as failed without a script error.
void matrix_token_error(MATRIX_TOKEN* t);
void _matrix_token_error(MATRIX_TOKEN* t);
// Fills the delayed result of the token's node and lets it go.
void _matrix_send_result(MATRIX_TOKEN* t);
// Ends a token (released locks, environment, node, count) as the runner's
// last step does; t may be freed.
void _finish_matrix_token(MATRIX_TOKEN* t);

// Debug helpers: source position, the process-token invariant, and the
// pending ids ("alist(" ... ")", only under QNMX_TRACE).
void xx_check_point(MATRIX_TOKEN* t, const char* file, int line);
#define check_point(t) xx_check_point((t), __FILE__, __LINE__)
void token_check(const MATRIX_TOKEN* t);
void see_access_list(const MATRIX_ACCESS_LIST* a);

// ---------------------------------------------------------------------------
// Closing

// Closes m: saves what is dirty level by level, the finest first (or
// reports what cannot be saved), waits until every token and node of m is
// gone, then releases the file and the record. Answers what could not be
// saved: the nodes, and one more when the file could not be written (0:
// everything changed is in the file); *loss (when given) says which. A
// matrix already being closed is left alone (0).
int close_matrix(MATRIX* m, MX_CLOSE_LOSS* loss = nullptr);
int _close_matrix(MATRIX* m, MX_CLOSE_LOSS* loss = nullptr);
// Saves what changed bottom-up as closing does and waits until every node
// of an active matrix is settled.
void sync_matrix(MATRIX* m);
void _sync_matrix(MATRIX* m);
// Abort counting of tokens that wait while their matrix closes.
void aboat_status_countup(MATRIX_TOKEN* t);
void close_aboat_func(void* token);

// ---------------------------------------------------------------------------
// Channel data

// The datum of channel ch of the node at dim_code, with the node's channel
// lock held (and with type 1 one node lock) on a non-null result. type 1
// reads the best ready node on the path (get_matrix_tree); other types wait
// while the node loads. Without a datum, access >= 0 makes the channel's
// default (vectors shaped like the node, or by vp); access < 0 gives -122.
// Codes: -101, -102, -104, -121, -122.
void* xx_get_matrix_node_channel(int* errp, MATRIX_NODE** np, MATRIX* m, const int64_t* dim_code, int ch,
                                 int type, int access, const MATRIX_ALLOC_VECTOR_PARAM* vp, int pt_key,
                                 const char* file, int line);
#define get_matrix_node_channel(errp, np, m, dc, ch, type, access, vp, key) \
  xx_get_matrix_node_channel((errp), (np), (m), (dc), (ch), (type), (access), (vp), (key), __FILE__, __LINE__)

// Dim codes in ZU form: (level c1 .. cdim). From a list of exactly dim + 1
// members (non-integers read 0): a new code, else null. is_dim_code_sexp
// tells, making none, whether s has that shape.
MxDimCode get_dim_code_from_sexp(const MATRIX* m, ZU_SEXP* s);
bool is_dim_code_sexp(const MATRIX* m, ZU_SEXP* s);
// The same into the caller's out[kMxMaxDim + 1], making nothing: false
// (out untouched) when s has not that shape.
bool dim_code_from_sexp(const MATRIX* m, ZU_SEXP* s, int64_t* out);
// A list of at least 2 members as 32-bit integers, else null.
Tagged<int32_t> get_dim_code_from_sexp_int(ZU_SEXP* s);
// The list of the node origin holding dim_code.
ZU_SEXP* get_sexp_from_dim_code(const MATRIX* m, const int64_t* dim_code);
// The error that suspends a matrix script: 0x8001160a with data
// ("Application System error" code [info]).
ZU_SEXP* matrix_error(const char* func, ZU_SEXP* s, int code, ZU_SEXP* info);

// Channel ch of n as a ZU value, or the error 0x80040501 naming why not.
// With as_default (a child read by its parent's save) a node that holds no
// datum in a typed channel reads the channel's default, as a node the file
// does not hold reads it; the default is made in the node, which is not
// marked changed.
ZU_SEXP* get_channel_data(MATRIX_NODE* n, int ch, ZU_SEXP* s, bool as_default = false);
ZU_SEXP* _get_channel_data(MATRIX_NODE* n, int ch, ZU_SEXP* s, bool as_default = false);
// The datum itself, for a reader that uses it in place: channel ch of n
// with n's channel lock taken (let go with matrix_node_channel_unlock(n,
// 0)); where get_channel_data would answer an error, null with that error
// in *err and no lock kept.
const void* get_channel_datum_held(MATRIX_NODE* n, int ch, ZU_SEXP* s, ZU_SEXP** err, bool as_default = false);
// The structure block of block channel ch with the channel lock held, or
// null with no lock held.
MX_STRUCT_BLOCK* get_channel_struct_block(MATRIX_NODE* n, int ch);
MX_STRUCT_BLOCK* _get_channel_struct_block(MATRIX_NODE* n, int ch);
// Fires the save of every dirty ready node of m, but for those coarser than
// a node still to rebuild, which keep their mark. A dirty node that is
// loading with a token keeps its mark for the next pass; any other dirty
// node that is not ready cannot be saved: it is reported (log record and
// standard error, naming the matrix and the dim code) and its mark cleared.
void flush_all_dirty_file(MATRIX* m);
void _flush_all_dirty_file(MATRIX* m);
// Whether m holds a change its file does not have yet: a dirty node, or a
// coarser node to make again over what was written.
bool changes_unsaved(MATRIX* m);
// Marks the node of a structure block changed when its channel is kept in
// the file.
void set_dirty_file_sb(MX_STRUCT_BLOCK* b);
// Stores s into channel ch: -1 bad matrix or channel, -2 s does not
// convert, -3 not comparable, 0 equal (nothing changed), 1 stored.
int set_channel_sexp(MATRIX_NODE* n, int ch, ZU_SEXP* s);
int _set_channel_sexp(MATRIX_NODE* n, int ch, ZU_SEXP* s);

// Index helpers over vectors, first dimension fastest.
void get_ix_from_seq(int* target, const int* ix_size, int ix, int dim);
int get_seq_from_ix(const int* ix, const int* ix_size, int dim);
int inc_ix(int* ix, const int* st, const int* inc, const int* ix_size, int dim);
int inc_dim_code_ix(int64_t* ix, const int64_t* st, const int64_t* inc, const int64_t* ix_size, int dim);
// Trace probe: for channel 9, "CB %i" with the vector's first element byte.
void check_bit(int ch, void* d);

// ---------------------------------------------------------------------------
// Walks

struct MX_DIM_CODE_LIST {
  MX_DIM_CODE_LIST* next;
  int64_t* dc;
};
void free_mx_dim_code_list(MX_DIM_CODE_LIST* lst);

// The deepest ready node on the path to dim_code, holding one node lock, or
// null with -101. access 1 reads (asks at distances 2^k - 1 above the
// requested level), 2 registers the path in the child lists, 0 checks one
// parent-child link, -1 only looks. dim_code's level slot is restored.
MATRIX_NODE* get_matrix_tree(int* errp, MATRIX* m, int64_t* dim_code, int access, int pt_key);
MATRIX_NODE* _get_matrix_tree(int* errp, MATRIX* m, int64_t* dim_code, int access, int pt_key);
// Moves dc to the next position of `level` in the recursive Z order within
// [dc_start, dc_end): 0, or -1 at the end.
int _dc_peano_inc(const MATRIX* m, int64_t* dc, const int64_t* dc_start, const int64_t* dc_end, int64_t level);
// Fires access on every node of the range, waiting while more than 99
// tokens are queued.
void matrix_peano_trigger(MATRIX* m, const int64_t* dc_start, const int64_t* dc_end, int access);
void _matrix_peano_trigger(MATRIX* m, const int64_t* dc_start, const int64_t* dc_end, int access);
// The children of the node at dc (ascending position for bit fields,
// descending dim-code order for lists), or null (none, or *errp).
MX_DIM_CODE_LIST* get_children_list(int* errp, MATRIX* m, const int64_t* dc, int access, int wait_flag,
                                    MATRIX_TOKEN* t);
// The queue-load trace on the standard error (QNMX_TRACE): start != 0
// starts it, 0 stops it.
void load_indicate(int start);

// ---------------------------------------------------------------------------
// The node byte form

// A raw value: form byte (1 bit field, 0 list), compressed count, the
// children, then per sendable channel the compressed channel number, the
// compressed length and the datum's stored form. Null when it cannot be
// built.
ZU_SEXP* encode_matrix_node(MATRIX_NODE* n);
// Reads such a value into n: 0, or -1 with n unchanged (malformed bytes, a
// record for a channel without a type, a datum its type refuses).
int decode_matrix_node(MATRIX_NODE* n, ZU_SEXP* s);
