// The entry table: every matrix that a matrix command opens is wrapped in
// an entry that couples it with an element-access cache and the parameter
// block of cached reads, and scripts name it by the entry's id.
//
// What stays true:
// - At most one entry per matrix; ids are 1 or more, unique among the
//   linked entries, handed out in rising order from one counter, skipping
//   ids in use and starting again at 1 after the largest int.
// - The table is shared by every interpreter of the process. `mx_entry_lock`
//   guards `mx_list`, the id counter and the sharing fields of every entry
//   (refs, cmd_tid, cmd_depth, closing, by_name). It is a leaf: nothing else is taken
//   while it is held, and no ZU value is made under it.
// - A user of an entry holds a reference from the moment it finds the entry
//   until it is done; a command that uses the entry's cache or its access
//   settings also holds the entry's command lock, so two commands on one
//   entry run one after the other. Closing unlinks the entry at once (its
//   id is free, later look-ups find nothing), then waits until the last
//   reference is given back before it touches the cache and the matrix.
// - A matrix opened for an entry is held (_hold_matrix) from its opening
//   until its entry is registered, inside begin_mx_open / end_mx_open, so
//   that the program's end never closes it under its opener.
// - The program's end (close_all_mx, on every way out) stops new openings
//   and registrations, waits a while for the openings under way, closes
//   every entry, all at once (each in a task of its own, waiting for its
//   users), waits for the closes that callers of close_mx_entry began, and
//   only then closes the matrices left; a matrix still held is its
//   opener's to close. mx_entry_lock guards the counts of openings and
//   closes and the end's state too.
// - Everything that waits here (the command lock, the close) sleeps through
//   the base layer, so a waiting thread is at a collector safe point.
#pragma once

#include "base/lock.h"
#include "matrix/element_cache.h"
#include "matrix/matrix.h"

struct MX_ENTRY {
  MX_ENTRY* next;      // next entry of mx_list
  MX_CACHE c;          // element-access cache; c.m is the matrix
  MX_CACHE_PARAM p;    // parameters of cached reads; p.c is &c
  int mode;            // 1: the matrix file existed, 0: created new or opened for reading
  int id;
  // Sharing (mx_entry_lock).
  int refs;            // references held by users
  int cmd_tid;         // task holding the command lock, 0 when free
  int cmd_depth;       // its nested takes
  int closing;         // unlinked; freed once refs drops to 0
  bool by_name;        // made by a read by name, not named by a script's id
};

// How long the end waits for the openings under way, before it closes
// the matrices (part of the end's bound, runtime/agent_end.h). One that
// takes longer (its thread may even have ended the process from inside
// it) keeps its matrix held and closes it itself.
constexpr double kOpeningWaitSeconds = 5.0;

extern SEM mx_entry_lock;
extern MX_ENTRY* mx_list;       // newest first
extern int mx_entry_counter;    // the last id handed out, 0 at start

// Makes the lock of the table (once; init_qmx_function calls it).
void init_mx_entry();

// ---------------------------------------------------------------------------
// Making and finding entries

// Fills the cache fields of an entry for matrix m (a given entry must have
// c.m set; a null one is allocated zeroed with c.m = m) and registers it.
// The entry comes back with one reference held by the caller; null when m
// already has an entry (what was allocated here is freed again).
MX_ENTRY* new_mx_entry(MX_ENTRY* entry, MATRIX* m);
// Gives the entry an id and links it at the head of the table: 0, or -1
// (nothing done) when the same matrix has an entry already or the
// program's end has begun.
int regist_mx_entry(MX_ENTRY* entry);
// The linked entry of matrix m / with that id, or null. These take no
// reference: the result is only valid while the caller holds
// mx_entry_lock or a reference of its own.
MX_ENTRY* _search_mx_entry(MATRIX* m);
MX_ENTRY* _search_mx_entry_by_id(int id);
MX_ENTRY* search_mx_entry(MATRIX* m);
MX_ENTRY* search_mx_entry_by_id(int id);

// ---------------------------------------------------------------------------
// Using entries

// The entry with that id with a reference taken; null when there is none
// (an entry being closed is no longer in the table).
MX_ENTRY* hold_mx_entry(int id);
// The same with its command lock taken too; null also when the entry began
// closing while the caller waited for the lock.
MX_ENTRY* use_mx_entry(int id);
// Gives back the command lock and the reference of use_mx_entry.
void done_mx_entry(MX_ENTRY* e);
// Takes / gives back the command lock of an entry the caller holds a
// reference to (nested takes by one task count). lock: 0, or -1 when the
// entry is being closed (nothing taken).
int lock_mx_entry(MX_ENTRY* e);
void unlock_mx_entry(MX_ENTRY* e);
// Gives back one reference.
void drop_mx_entry(MX_ENTRY* e);
// Whether another task holds the command lock of m's entry: a command is
// at work on m (the store's MX_COMMAND_CHECK, matrix/mx_file.h).
bool mx_command_running(MATRIX* m);
// Stops the process when the calling task does not hold e's command lock
// (checked builds): the statement of a `_name` function that runs under it.
void _i_assert_mx_command_held(MX_ENTRY* e, const char* file, int line);
#if QNMX_LOCK_CHECK
#define assert_mx_command_held(e) _i_assert_mx_command_held((e), __FILE__, __LINE__)
#else
#define assert_mx_command_held(e) ((void)(e))
#endif

// Opens (or finds) the matrix stored under the name for reading and returns
// its entry with one reference held by the caller, or null (also when no
// name is given: a name left out matches any). phase_mode < 0 takes the
// fixed fetch script that loads nodes from the file, 0..2 the stored
// scripts of mode direct, server or client, 3 and above none. When the
// store refused the read-only parameters, *refused (if given) receives its
// code; otherwise it is set to 0. *opened (if given) tells whether this
// call opened the matrix (an entry found open is somebody else's). Null
// once the program's end has begun. An entry made here is a read by name's,
// which a create of the file closes (close_reader_of).
MX_ENTRY* open_mxread(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key, int phase_mode,
                      int* refused = nullptr, bool* opened = nullptr);
// The same for a script that names the entry by its id: an entry it opens
// or finds is no longer one that close_reader_of gives up.
MX_ENTRY* open_mxread_for_script(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key, int phase_mode,
                                 int* refused);
// The open method that open_mxread hands to the store (a matrix worker).
void open_mxread_method(MATRIX_TOKEN* t);

// Closes an entry the caller holds a reference to (its command lock too,
// if the caller has it): unlinks it, gives back the caller's hold, waits
// for the other users, then releases the cache, closes the matrix (writing
// what is dirty) and frees the entry. 0; what could not be saved
// (close_matrix; *loss says which, when given), when anything; or -1 when
// another caller is closing it already (the caller's hold is given back).
int close_mx_entry(MX_ENTRY* e, MX_CLOSE_LOSS* loss = nullptr);
// Closes the entry of the matrix with those names when a read by name (or
// a node script's) made it, as close_mx_entry does, so that the file can be
// opened for writing. False when there is none, when a script opened it for
// its id, or when the calling task holds its command lock.
bool close_reader_of(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key);
// Closes every entry as close_mx_entry does, each in a task of its own
// (no close waits behind another): the nodes not saved, over all.
int close_all_mx_entry();

// ---------------------------------------------------------------------------
// The program's end

// Brackets an opening for an entry: 0, or -1 (nothing counted) once the
// program's end has begun, when nothing may be opened any more.
int begin_mx_open();
void end_mx_open();
// The end, on every way out of the program: as the list at the top says.
// Runs once; a later caller waits until the first one is done.
void close_all_mx();
// The number of nodes whose changes that end could not save (0 before it,
// and without entries).
int mx_end_unsaved();
// True once the end has begun (an interrupt's included): commands waiting
// for a node give up, so that their entries can close.
bool mx_program_ending();
// The end's watchdog hook (base/signals.h): names on the standard error
// the files whose closes had not ended when the end was cut. Takes no
// task lock.
void mx_end_stalled();
