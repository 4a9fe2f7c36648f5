// Inside the matrix store: the pieces its files share and that nothing
// outside the folder (its tests excepted) may use.
#pragma once

#include <cstdint>

#include "elements/value.h"
#include "matrix/matrix.h"

// A `_name` function on matrix m states that matrix_lock is held, unless m
// is a scratch matrix (mx_file_impl.h) that was never linked into the ring:
// no other task can reach one, and its checks run under mx_file_lock, which
// comes after matrix_lock.
#if QNMX_LOCK_CHECK
#define assert_matrix_held(m) \
  ((m)->mx_next ? _i_assert_lock_held(matrix_lock, "matrix_lock", __FILE__, __LINE__) : (void)0)
#else
#define assert_matrix_held(m) ((void)0)
#endif

// The close key: one process-wide wake key on which closing sleeps (a token
// finished, a node released, or a mode changed while the queue is empty).
extern char mx_close_key;
// Closes draining now (matrix_lock); without one nobody sleeps on the key.
extern int mx_closing;
// Set while close_all_matrix runs: no matrix opens any more (matrix_lock).
extern bool mx_closing_all;
// Wakes the close key when a close is draining and matrix_que holds no
// items.
void _wake_close_key();

// The dirty list of a matrix (MATRIX::dirty_list). _list_dirty puts a
// node on it once, after the nodes of its level and the finer ones;
// _unlist_dirty takes it off (a node not on it is left alone); _first_dirty
// gives the first node on it that is still dirty (one of the finest dirty
// level), taking the clean ones before it off, or null.
void _list_dirty(MATRIX_NODE* n);
void _unlist_dirty(MATRIX_NODE* n);
MATRIX_NODE* _first_dirty(MATRIX* m);
// The flush of closing and of every sync: as _flush_all_dirty_file for the
// finest level that has a dirty node, and with rebuild for the nodes to
// rebuild when they are as fine (taken first). Called until nothing is
// dirty or to rebuild, it saves a coarser node only once every finer one is
// saved (a save script may make a node from its children, and fails while
// they have no data); without rebuild, the dirty nodes coarser than a node
// to rebuild are left to a flush with it.
void _flush_dirty_bottom_up(MATRIX* m, bool rebuild);
// Whether a node's channel c, described by inf, holds a datum kept in the
// file (one a save writes).
inline bool datum_kept_in_file(const MATRIX_CHANNEL_INFO& inf, const MATRIX_CHANNEL& c) {
  return (inf.flags & kMxChFile) && inf.data_type && c.data;
}
// An error of the store said in the log and, with a line end, on the
// standard error.
void mx_say_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Says, in the log and on the standard error, that the changes of n could
// not be saved (for cause, or given its status), and counts it in its
// matrix's lost_saves: once, until the node is saved again.
void _report_lost_save(MATRIX_NODE* n, const char* cause = nullptr);
// As _report_lost_save, and n is no longer dirty: nothing fires its save
// again, and the cache may let it go.
void _give_up_save(MATRIX_NODE* n, const char* cause = nullptr);

// Coarser nodes rebuilt at close (level_rebuild.cc). A save script may
// make a node from its children, so a node written to the file leaves its
// parent stale until the parent is written after it. Closing rebuilds every
// stale node whose level has a save script, level by level from the finest,
// each level once the one below is written: it holds a batch of them
// (loading those the cache let go), marks each for its save once ready, and
// reports one that cannot be made ready as a change lost. What closing
// leaves then never depends on which nodes the cache happened to hold.
//
// n was just written by the standard write hook.
void _note_node_saved(MATRIX_NODE* n);
// The finest level with a node to rebuild (stale or held), or -1.
int64_t _rebuild_level(const MATRIX* m);
// Holds more of the stale nodes of `level` and marks the held ones that
// became ready.
void _rebuild_step(MATRIX* m, int64_t level);
// A node is still to rebuild, or held.
bool _rebuild_pending(const MATRIX* m);
// A node held to be rebuilt that is loading with a token, or null.
MATRIX_NODE* _rebuild_loading(const MATRIX* m);
// At the matrix's end.
void _free_rebuild(MATRIX* m);
// The first node of m loading with a token, or null: it may turn dirty, or
// be held to be rebuilt (node_cache.cc).
MATRIX_NODE* _first_loading(MATRIX* m);
// The node at dc of m, active or closing, for a rebuild: the one in memory
// (fetched again when its load found the file busy), or a new one with its
// fetch fired; null for a broken matrix or a code outside it (node_cache.cc).
MATRIX_NODE* _get_node_to_rebuild(MATRIX* m, const int64_t* dc);

// Sleeps (releasing matrix_lock) while the first dirty node of m has its
// save under way, so that waiting for a whole matrix to be written costs
// one wake-up per node saved. Returns when no node is dirty, when the
// first one needs another flush (no token or save is under way for it),
// or after a second without progress.
void _wait_dirty_saved(MATRIX* m);

// Seconds of the store's clock (set_mx_clock in node.h).
int64_t mx_now();

// One step of a wait for loading node n that began at `since`
// (mx_wait_start): sleeps on n for at most a second, releasing matrix_lock,
// and takes it again. False when the wait check (node.h) ends the wait.
double mx_wait_start();
bool _wait_loading_node(MATRIX_NODE* n, double since);

// Per-node trace lines go to the standard error only when QNMX_TRACE is set.
bool mx_trace();

// The script class of a node: 0 top level, 2 level 0, 1 between.
int mx_node_class(const MATRIX_NODE* n);
// Gives n its channel array when it has none.
void _mx_node_channels(MATRIX_NODE* n);
// The datum of channel ch (in range) of n, whose channel lock the caller
// holds; with make, one missing is made from the channel's default (see
// get_matrix_node_channel) and the node marked changed. Null when there is
// none.
void* _mx_channel_datum(MATRIX_NODE* n, int ch, bool make, const MATRIX_ALLOC_VECTOR_PARAM* vp, const char* file,
                        int line);
// The same for a reader that may write through it later: a missing datum
// is made from the channel's default but the node is not marked changed (a
// default read back is no change; a write marks the node when it lets go).
void* _mx_channel_datum_unchanged(MATRIX_NODE* n, int ch);
// Sets the completion byte of slot's kind and wakes it.
void _set_scan_call(MATRIX_NODE* n, int slot, signed char value);
// n's data were just read in. While a script of n runs (its process token
// has a slot under way) the node stays as it is: the rest of the script may
// still build on the data (a structure block installed, channels written),
// and the node is made ready when the script ends, unless that end chooses
// its own status. Outside any script the node is ready at once.
void _mx_node_loaded(MATRIX_NODE* n);

// The limits of a geometry: dim 1..64, block_size <= 30, pixel sizes >= 0,
// forced levels 0..63, and for the levels the sizes give (or the forced
// number), (levels - 1) * dim_divide[d] + block_size[d] <= 62. dim_divide,
// block_size and pixel_size may each be null (not set). 0 or kMxBadIndex.
int mx_check_limits(int dim, const uint8_t* dim_divide, const uint8_t* block_size, const int64_t* pixel_size,
                    int forced_levels);
// The number of levels the sizes give: forced_levels when non-zero, else
// the most any dimension needs; 0 while a size or dim_divide is missing
// or 0.
int mx_level_count(int dim, const uint8_t* dim_divide, const int64_t* pixel_size, int forced_levels);
// x divided by 2^dd rounding up, for any dd.
int64_t mx_div_up(int64_t x, int dd);

// Points m->geometry at m's fields.
void _sync_matrix_geometry(MATRIX* m);

// Moves m to the front of the matrix ring (last_access = now), unless m
// is closing (it stays out of the ring); _unlink_matrix takes it out.
void _touch_matrix(MATRIX* m);
void _unlink_matrix(MATRIX* m);
// Takes m out of the ring and frees everything it owns: names, arrays,
// channel descriptions and their defaults, the level rows; its
// environment and scripts are released to the collector. For closing,
// once no node and no token is left.
void _free_matrix(MATRIX* m);

// Puts a token that waited for a matrix back on the worker queue.
void _requeue_matrix_token(MATRIX_TOKEN* t);
// True when t waits for a node or a matrix; _unchain_token takes it off
// that chain (a script that went on past its wait).
bool _token_waits(const MATRIX_TOKEN* t);
void _unchain_token(MATRIX_TOKEN* t);
// Queues again every token waiting for m to open.
void _requeue_matrix_wait_tokens(MATRIX* m);
// Frees a token record (its key, pending ids and the token).
void _free_matrix_token(MATRIX_TOKEN* t);
// Ends a token that a break signal stopped: its pending slots fail.
void _end_stopped_token(MATRIX_TOKEN* t);
// True on the thread running m's open method.
bool mx_open_method_running(const MATRIX* m);
