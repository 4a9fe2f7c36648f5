// The log: every log line of the program (log_printf) becomes a log record
// queued to one log task. The task matches each record against the log
// conditions and performs the actions of every condition that accepts it:
// append a line to a log file (optionally divided by size into a numbered
// series), write the message to the console, relay the record to another
// agent, or keep it in the wait queue from which GetLog collects.
#pragma once

#include <cstdint>

#include "base/lock.h"
#include "base/log_hook.h"
#include "base/queue.h"
#include "stream/url.h"
#include "text/lchar.h"
#include "zu/env.h"
#include "zu/value.h"

// ---- records

// The sixteen data words of a record. Words 0 (time), 1 (level), 4 (port)
// and 12 (layer) are integers; every other word is a wide string owned by
// the record, null when absent. log_int/log_str read a word by index.
struct LOG_NODE_DATA {
  int32_t time;   // ZU time when the record was made
  int32_t level;  // 0..5
  URL u;          // words 2..11
  int32_t layer;  // 0..6
  L_CHAR* user;
  L_CHAR* key;
  L_CHAR* data;   // the message
};
constexpr int kLogWords = 16;
constexpr uint32_t kLogIntWords = 0x1013;
inline bool log_word_is_int(int i) { return (kLogIntWords >> i) & 1; }
int32_t log_int(const LOG_NODE_DATA* d, int i);
L_CHAR* log_str(const LOG_NODE_DATA* d, int i);
// The address of string word i, for filling and freeing.
L_CHAR** log_str_slot(LOG_NODE_DATA* d, int i);

// A queued record. A copy kept by a wait action carries that action's
// address filter itself, so it stays valid when the conditions change.
struct LOG_NODE {
  Q_HEADER h;
  LOG_NODE_DATA d;
  int wait_action;     // 1: queued by a wait action
  uint32_t wait_ip;    // that action's ip and mask
  uint32_t wait_mask;
};

// Copies src into a zeroed dst (strings copied); frees a record's strings.
void copy_log_node_data(LOG_NODE_DATA* dst, const LOG_NODE_DATA* src);
void free_log_node_data(LOG_NODE_DATA* d);
// A zeroed record, and freeing one with its strings.
LOG_NODE* new_log_node();
void free_log_node(LOG_NODE* n);

// Level and layer names ("TEST".."MESSAGE", "NANE".."UI"); the index of a
// name, -1 when it is not in the table. Out-of-range levels name "SYSTEM".
const char* log_level_name(int level);
const char* log_layer_name(int layer);  // null outside 0..6
int log_level_by_name(const L_CHAR* name);
int log_layer_by_name(const L_CHAR* name);

// ---- start-up and the hook

// Starts the log once: its lock and queues, the session, the hook behind
// log_printf, the built-ins GetLog (env0), SetLogCondition and FetchLog
// (env1), the level and layer names (env0), and the log task. Needs the
// language core and the interpreter table up.
void zu_init_log(ZUISP_ENV* env0, ZUISP_ENV* env1);
// The hook: makes a record (log_data: optional LOG_NODE_DATA with further
// fields) and queues it; when the queue is full the oldest record is dropped
// with "LOG OVER FLOW <pid>" on the standard error. Returns 0.
int zu_log_vprintf(int level, int layer, void* log_data, const char* fmt, va_list ap);
// Logs "<label> = <printed value>". The caller holds the memory lock.
int log_print_sexp(int level, int layer, LOG_NODE_DATA* data, const char* label, ZU_SEXP* value,
                   int flags);
// Waits until every record queued before the call has been handled by the
// log task (or dropped).
void log_sync();

// ---- list forms (the caller holds the memory lock)

// (Log (time t) (level "NAME") (URL "text") [(layer "NAME")] [(user "u")]
// [(data "d")]).
ZU_SEXP* get_log_node_sexp(const LOG_NODE_DATA* d);
// Reads the fields of such a form into d (zeroed by the caller); reading
// stops at the first element of a wrong type. 0, or -1 when it stopped.
int get_log_node_data_from_sexp(LOG_NODE_DATA* d, ZU_SEXP* form);
// Queues a record read from its list form, as the log hook does.
void log_get_element(ZU_SEXP* form);

// ---- conditions

struct LOG_ACTION {
  LOG_ACTION* next;
  void* cond;      // owner (unused)
  int type;        // 1 save, 2 console, 3 relay, 4 wait
  L_CHAR* path;    // save: path template; relay: URL
  uint32_t option;
  int div_nos;     // files in the series
  int64_t size;    // bytes after which the series is divided; 0: one file
  uint32_t ip;     // wait: admitted peers (first octet in the high byte)
  uint32_t mask;
};

constexpr int LOG_ACT_SAVE = 1;
constexpr int LOG_ACT_CONSOLE = 2;
constexpr int LOG_ACT_RELAY = 3;
constexpr int LOG_ACT_WAIT = 4;

// Option bits.
constexpr uint32_t LOG_OPT_UNLOCK = 0x80000000;
constexpr uint32_t LOG_OPT_TIME = 1;
constexpr uint32_t LOG_OPT_LEVEL = 2;
constexpr uint32_t LOG_OPT_URL = 4;
constexpr uint32_t LOG_OPT_LAYER = 8;
constexpr uint32_t LOG_OPT_USER = 16;
constexpr uint32_t LOG_OPT_KEY = 32;
constexpr uint32_t LOG_OPT_DATA = 64;
constexpr uint32_t LOG_OPT_ALL = 127;

// Test codes of a field.
constexpr uint8_t LOG_T_EQ = 1;
constexpr uint8_t LOG_T_BEGINS = 2;
constexpr uint8_t LOG_T_ENDS = 4;
constexpr uint8_t LOG_T_LT_LT = 8;
constexpr uint8_t LOG_T_LE_LT = 16;
constexpr uint8_t LOG_T_LT_LE = 32;
constexpr uint8_t LOG_T_LE_LE = 64;

struct LOG_COND {
  LOG_COND* next;
  LOG_NODE_DATA low;
  LOG_NODE_DATA high;
  uint8_t op[kLogWords];   // test code per word, 0: no test
  LOG_ACTION* action_list;  // newest first
};

// The lock over the conditions and the open log paths; the log task holds
// it while it matches a record and runs the actions.
extern SEM lock_log;

// Replaces all conditions by one that saves every record to the path
// template str with full headers, dividing at size bytes into filenos files.
void set_log_path(const L_CHAR* str, int64_t size, int filenos);
void reset_log_condition();
void set_log_condition(LOG_COND* c);
// 0 when the condition's test accepts the record, -1 otherwise.
int cmp_log_node_data(const LOG_NODE_DATA* d, const LOG_COND* c);
// Index in the symbol table: 1 "*", 2 "=", 3 "<", 4 "<=", 5.. the field
// names; -1 when none.
int get_log_cond_symbol(const L_CHAR* text);
// Builds a condition from (Condition element ...) and appends it; null, or
// the first error (nothing appended).
ZU_SEXP* get_log_cond(ZU_SEXP* form);

// ---- paths and files

// Expands a path template: "\{name}" placeholders are replaced by the
// record's fields ("preference" alone when d is null). Substituted values
// never add a "/" or a ".." component: "/" becomes "_", and so does a "."
// that would start a component or touch another ".". A new string.
L_CHAR* parse_dir_path(const LOG_NODE_DATA* d, const L_CHAR* tmpl);
// The file of a divided series: path + "log" + number (a new string).
L_CHAR* get_logfile(const L_CHAR* path, int number);
// Writes one record as a save action does.
void do_log_action_save_file(LOG_ACTION* a, LOG_NODE* n);
// Releases open log paths not in use: those made 2 seconds ago or earlier,
// or every one with force.
void llpl_check(int force);

// Named write locks on log paths, provided by the lock client. Until it is
// installed, log files are written without one.
struct LOG_PATH_LOCK_OPS {
  void* (*lock)(const L_CHAR* path);  // a held lock, or null when refused
  void (*unlock)(void* id);
};
void set_log_path_lock_ops(const LOG_PATH_LOCK_OPS* ops);

// ---- test support
// Number of records waiting in the wait queue.
int log_wait_queue_count();
