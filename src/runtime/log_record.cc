// Log records: their words, names, the hook that makes them, their list
// form and the overflow rule of the log queues.
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "base/alloc.h"
#include "base/zutime.h"
#include "runtime/agent_name.h"
#include "runtime/log_impl.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/gc.h"
#include "zu/printer.h"

SYS_QUEUE log_queue{};
SYS_QUEUE log_wait_queue{};
int log_session = 0;
std::atomic<unsigned int> last_log_ins_time{0};
std::atomic<unsigned int> last_log_del_time{0};

namespace {

const char* const kLevels[] = {"TEST", "DEBUG", "WARNING", "ERROR", "SYSTEM", "MESSAGE"};
const char* const kLayers[] = {"NANE", "LIB", "ZUoHTTP", "STREAM", "ZU", "QN", "UI"};

int name_index(const L_CHAR* name, const char* const* table, int n) {
  if (!name) return -1;
  for (int i = 0; i < n; ++i)
    if (zu_wcmp_ascii(name, table[i]) == 0) return i;
  return -1;
}

// Records queued to the log task and records handled or dropped, for
// log_sync.
std::atomic<uint64_t> queued_cnt{0};
std::atomic<uint64_t> done_cnt{0};
SEM sync_lock = nullptr;
std::once_flag sync_once;
SEM get_sync_lock() {
  std::call_once(sync_once, [] { sync_lock = new_lock(LOCK_LOG_SYNC); });
  return sync_lock;
}

}  // namespace

// ---- words

int32_t log_int(const LOG_NODE_DATA* d, int i) {
  switch (i) {
    case 0: return d->time;
    case 1: return d->level;
    case 4: return d->u.port;
    case 12: return d->layer;
    default: return 0;
  }
}

L_CHAR** log_str_slot(LOG_NODE_DATA* d, int i) {
  switch (i) {
    case 2: return &d->u.proto;
    case 3: return &d->u.server;
    case 5: return &d->u.agent;
    case 6: return &d->u.db;
    case 7: return &d->u.resource;
    case 8: return &d->u.query;
    case 9: return &d->u.name;
    case 10: return &d->u.user;
    case 11: return &d->u.passwd;
    case 13: return &d->user;
    case 14: return &d->key;
    case 15: return &d->data;
    default: return nullptr;
  }
}

L_CHAR* log_str(const LOG_NODE_DATA* d, int i) {
  L_CHAR** slot = log_str_slot(const_cast<LOG_NODE_DATA*>(d), i);
  return slot ? *slot : nullptr;
}

void copy_log_node_data(LOG_NODE_DATA* dst, const LOG_NODE_DATA* src) {
  dst->time = src->time;
  dst->level = src->level;
  dst->layer = src->layer;
  dst->u.port = src->u.port;
  for (int i = 0; i < kLogWords; ++i)
    if (L_CHAR** slot = log_str_slot(dst, i)) *slot = ll_copy_str(log_str(src, i));
}

void free_log_node_data(LOG_NODE_DATA* d) {
  for (int i = 0; i < kLogWords; ++i)
    if (L_CHAR** slot = log_str_slot(d, i)) {
      d_f_ree(*slot);
      *slot = nullptr;
    }
}

LOG_NODE* new_log_node() { return reinterpret_cast<LOG_NODE*>(new_queue_node(sizeof(LOG_NODE))); }

void free_log_node(LOG_NODE* n) {
  if (!n) return;
  free_log_node_data(&n->d);
  d_f_ree(n->h.key);
  d_f_ree(n);
}

// ---- names

const char* log_level_name(int level) { return kLevels[level < 0 || level > 5 ? 4 : level]; }
const char* log_layer_name(int layer) { return layer < 0 || layer > 6 ? nullptr : kLayers[layer]; }
int log_level_by_name(const L_CHAR* name) { return name_index(name, kLevels, 6); }
int log_layer_by_name(const L_CHAR* name) { return name_index(name, kLayers, 7); }

// ---- queueing

void log_record_queued() { queued_cnt.fetch_add(1); }

void log_record_done() {
  SEM s = get_sync_lock();
  lock_task(s);
  done_cnt.fetch_add(1);
  wakeup_task(&done_cnt);
  unlock_task(s, "log_record_done");
}

void log_sync() {
  uint64_t target = queued_cnt.load();
  SEM s = get_sync_lock();
  for (;;) {
    lock_task(s);
    if (done_cnt.load() >= target) {
      unlock_task(s, "log_sync");
      return;
    }
    sleep_task(&done_cnt, s);
  }
}

void log_insert_dropping(SYS_QUEUE* q, LOG_NODE* n) {
  bool counted = q == &log_queue;
  if (counted) log_record_queued();
  while (insert_queue(q, &n->h, 0) != 0) {
    // Written to the error stream: the standard output may carry replies.
    s_printf(s_stderr, "LOG OVER FLOW %i\n", static_cast<int>(getpid()));
    s_flush(s_stderr);
    if (LOG_NODE* old = reinterpret_cast<LOG_NODE*>(delete_queue(q, nullptr, nullptr, 0))) {
      free_log_node(old);
      if (counted) log_record_done();
    }
  }
}

// ---- the hook

int zu_log_vprintf(int level, int layer, void* log_data, const char* fmt, va_list ap) {
  LOG_NODE* n = new_log_node();
  if (log_data) copy_log_node_data(&n->d, static_cast<const LOG_NODE_DATA*>(log_data));
  n->d.time = static_cast<int32_t>(get_zutime());
  n->d.level = level;
  n->d.layer = layer;
  d_f_ree(n->d.u.server);
  n->d.u.server = ll_copy_str(get_zulisp_site());
  d_f_ree(n->d.u.agent);
  n->d.u.agent = copy_agent_name();

  d_f_ree(n->d.data);
  n->d.data = nullptr;
  if (STREAM* st = s_open_string_write(int_cm)) {
    va_list copy;
    va_copy(copy, ap);
    _s_printf(st, 0, fmt, copy, 0);
    va_end(copy);
    n->d.data = ll_copy_str(s_get_l_string(st));
    d_s_close(st);
  }
  last_log_ins_time = get_zutime();
  log_insert_dropping(&log_queue, n);
  return 0;
}

int log_print_sexp(int level, int layer, LOG_NODE_DATA* data, const char* label, ZU_SEXP* value,
                   int flags) {
  STREAM* st = s_open_string_write(std_cm);
  if (!st) return -1;
  print_sexp(st, value, flags);
  int r = log_printf(level, layer, data, "%s = %s", label ? label : "", s_get_string(st));
  d_s_close(st);
  return r;
}

// ---- list forms

ZU_SEXP* get_log_node_sexp(const LOG_NODE_DATA* d) {
  GcFrame frame("get_log_node_sexp");
  const L_CHAR* url = d->u.proto ? get_url_str2(&d->u) : nullptr;
  ZU_SEXP* tail = nullptr;
  if (d->data) tail = cons(List(get_symbol_ascii("data"), get_string(d->data), ZU_LIST_END), tail);
  if (d->user) tail = cons(List(get_symbol_ascii("user"), get_string(d->user), ZU_LIST_END), tail);
  if (d->layer != 0) {
    const char* name = log_layer_name(d->layer);
    ZU_SEXP* v = name ? get_string_ascii(name) : get_integer(d->layer, nullptr);
    tail = cons(List(get_symbol_ascii("layer"), v, ZU_LIST_END), tail);
  }
  tail = cons(List(get_symbol_ascii("URL"), get_string(url), ZU_LIST_END), tail);
  tail = cons(List(get_symbol_ascii("level"), get_string_ascii(log_level_name(d->level)), ZU_LIST_END),
              tail);
  tail = cons(List(get_symbol_ascii("time"),
                   get_integer(static_cast<uint32_t>(d->time), l_string(std_cm, "sec")), ZU_LIST_END),
              tail);
  return frame.keep(cons(get_symbol_ascii("Log"), tail), gc_qn_sexp);
}

namespace {

// The value of the element (name v) of form, or null when absent.
bool element(ZU_SEXP* form, const char* name, ZU_SEXP** v) {
  ZU_SEXP* el = get_el_by_symbol(form, l_string(std_cm, name), 0);
  if (!el) return false;
  *v = get_el(el, 1);
  return true;
}

// A name of the table or an integer.
bool named_int(ZU_SEXP* v, int (*by_name)(const L_CHAR*), int32_t* out) {
  int t = get_type(v);
  if (t == ZU_TYPE_INTEGER) {
    *out = static_cast<int32_t>(v->integer.num);
    return true;
  }
  if (t != ZU_TYPE_STRING) return false;
  int i = by_name(str_text(v));
  if (i < 0) return false;
  *out = i;
  return true;
}

}  // namespace

int get_log_node_data_from_sexp(LOG_NODE_DATA* d, ZU_SEXP* form) {
  ZU_SEXP* v;
  if (element(form, "time", &v)) {
    if (get_type(v) != ZU_TYPE_INTEGER) return -1;
    d->time = static_cast<int32_t>(v->integer.num);
  }
  if (element(form, "level", &v) && !named_int(v, log_level_by_name, &d->level)) return -1;
  if (element(form, "URL", &v)) {
    if (get_type(v) != ZU_TYPE_STRING) return -1;
    free_url(&d->u);
    if (str_text(v)[0]) get_url2(&d->u, str_text(v));
  }
  if (element(form, "layer", &v) && !named_int(v, log_layer_by_name, &d->layer)) return -1;
  if (element(form, "user", &v)) {
    if (get_type(v) != ZU_TYPE_STRING) return -1;
    d_f_ree(d->user);
    d->user = ll_copy_str(str_text(v));
  }
  if (element(form, "data", &v)) {
    if (get_type(v) != ZU_TYPE_STRING) return -1;
    d_f_ree(d->data);
    d->data = ll_copy_str(str_text(v));
  }
  return 0;
}

void log_get_element(ZU_SEXP* form) {
  LOG_NODE* n = new_log_node();
  get_log_node_data_from_sexp(&n->d, form);
  last_log_ins_time = get_zutime();
  log_insert_dropping(&log_queue, n);
}

int log_wait_queue_count() {
  return queue_count(&log_wait_queue);
}
