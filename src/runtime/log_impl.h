// State shared by the log's modules.
#pragma once

#include <atomic>

#include "runtime/log.h"

extern SYS_QUEUE log_queue;       // records for the log task (at most 1000)
extern SYS_QUEUE log_wait_queue;  // records kept for GetLog (at most 4000)
extern int log_session;
extern std::atomic<unsigned int> last_log_ins_time;
extern std::atomic<unsigned int> last_log_del_time;
extern LOG_COND* condition_list;  // under lock_log

// Inserts into q without waiting, dropping the oldest records with the
// overflow line while it is full.
void log_insert_dropping(SYS_QUEUE* q, LOG_NODE* n);
// The log task's bookkeeping for log_sync: a record was handled or dropped.
void log_record_done();
void log_record_queued();
// Runs an action on a record (lock_log held).
void do_log_action(LOG_ACTION* a, LOG_NODE* n);
// Frees a condition with its bounds and actions.
void free_log_cond(LOG_COND* c);
// Binds SetLogCondition in env.
void init_log_cond_prims(ZUISP_ENV* env1);
