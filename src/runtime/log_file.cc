// Log files: path templates, the open log paths with their named locks,
// the save action and the division of a file series by size.
#include <fcntl.h>

#include <atomic>
#include <string>

#include "base/alloc.h"
#include "base/file.h"
#include "base/paths.h"
#include "base/zutime.h"
#include "runtime/log_impl.h"
#include "stream/stream.h"
#include "text/convert.h"

namespace {

using WString = std::basic_string<L_CHAR>;

std::atomic<const LOG_PATH_LOCK_OPS*> lock_ops{nullptr};

// One open log path.
struct LOG_LOCK_PATH_LIST {
  LOG_LOCK_PATH_LIST* next;
  L_CHAR* path;       // the expanded path
  unsigned int access;  // ZU time when the entry was made
  void* id;           // the named write lock held on the path, or null
  STREAM* st;         // the open file, or null
  int lock;           // in use by an action
};

LOG_LOCK_PATH_LIST* ll_path_list = nullptr;  // under lock_log

bool is(const L_CHAR* p, size_t len, const char* name) {
  size_t i = 0;
  for (; i < len && name[i]; ++i)
    if (p[i] != static_cast<unsigned char>(name[i])) return false;
  return i == len && !name[i];
}

void append_ascii(WString& out, const char* s) {
  for (; *s; ++s) out.push_back(static_cast<unsigned char>(*s));
}

// Appends a record's value so that it cannot climb out of the directory the
// template names or reach into another: "/" becomes "_", and so does a "."
// that would begin a path component or stand next to another ".".
void append_value(WString& out, const L_CHAR* v, L_CHAR next_template_char) {
  if (!v) return;
  for (size_t k = 0; v[k]; ++k) {
    L_CHAR c = v[k];
    if (c == '/') {
      c = '_';
    } else if (c == '.') {
      bool starts = out.empty() || out.back() == '/';
      bool touches = (!out.empty() && out.back() == '.') || v[k + 1] == '.' ||
                     (v[k + 1] == 0 && next_template_char == '.');
      if (starts || touches) c = '_';
    }
    out.push_back(c);
  }
}

// The value of a placeholder name; false when the name is not one.
bool placeholder(const LOG_NODE_DATA* d, const L_CHAR* name, size_t len, L_CHAR next, WString& out) {
  if (is(name, len, "preference")) {
    const L_CHAR* pref = _l_string_1(std_cm, get_preference_path());
    if (pref) out.append(pref);
    return true;
  }
  if (!d) return false;
  auto number = [&out](long long v) { append_ascii(out, std::to_string(v).c_str()); };
  if (is(name, len, "time")) number(static_cast<uint32_t>(d->time));
  else if (is(name, len, "level")) number(d->level);
  else if (is(name, len, "URL.port")) number(d->u.port);
  else if (is(name, len, "URL.proto")) append_value(out, d->u.proto, next);
  else if (is(name, len, "URL.server")) append_value(out, d->u.server, next);
  else if (is(name, len, "URL.agent")) append_value(out, d->u.agent, next);
  else if (is(name, len, "URL.database")) append_value(out, d->u.db, next);
  else if (is(name, len, "URL.resource")) append_value(out, d->u.resource, next);
  else if (is(name, len, "user")) append_value(out, d->user, next);
  else if (is(name, len, "key")) append_value(out, d->key, next);
  else if (is(name, len, "data")) append_value(out, d->data, next);
  else return false;
  return true;
}

L_CHAR* to_tagged(const WString& s) {
  L_CHAR* r = static_cast<L_CHAR*>(d_alloc((s.size() + 1) * sizeof(L_CHAR)));
  std::copy(s.begin(), s.end(), r);
  r[s.size()] = 0;
  return r;
}

STREAM* open_log(const L_CHAR* file) {
  char* narrow = ln_copy_str(std_cm, file);
  STREAM* st = s_open_file(narrow, O_RDWR | O_APPEND | O_CREAT, 0644);
  d_f_ree(narrow);
  return st;
}

// ---- path entries (lock_log held)

LOG_LOCK_PATH_LIST* _search_llpl(const L_CHAR* path) {
  assert_lock_held(lock_log);
  for (LOG_LOCK_PATH_LIST* e = ll_path_list; e; e = e->next)
    if (l_strcmp(e->path, path) == 0) return e;
  auto* e = static_cast<LOG_LOCK_PATH_LIST*>(d_calloc(sizeof(LOG_LOCK_PATH_LIST), 1));
  e->path = ll_copy_str(path);
  e->access = get_zutime();
  e->next = ll_path_list;
  ll_path_list = e;
  return e;
}

LOG_LOCK_PATH_LIST* _lock_llpl(const L_CHAR* path) {
  assert_lock_held(lock_log);
  LOG_LOCK_PATH_LIST* e = _search_llpl(path);
  // A refused lock leaves the entry without one; the line is written all
  // the same and the lock is asked for again with the next record.
  if (!e->id)
    if (const LOG_PATH_LOCK_OPS* ops = lock_ops.load()) e->id = ops->lock(path);
  e->lock = 1;
  return e;
}

LOG_LOCK_PATH_LIST* _invalid_llpl(const L_CHAR* path) {
  assert_lock_held(lock_log);
  LOG_LOCK_PATH_LIST* e = _search_llpl(path);
  e->lock = 1;
  return e;
}

void _unlock_llpl(LOG_LOCK_PATH_LIST* e) {
  assert_lock_held(lock_log);
  e->lock = 0;
}

void release_entry(LOG_LOCK_PATH_LIST* e) {
  if (e->st) d_s_close(e->st);
  if (e->id)
    if (const LOG_PATH_LOCK_OPS* ops = lock_ops.load()) ops->unlock(e->id);
  d_f_ree(e->path);
  d_f_ree(e);
}

void close_entry_stream(LOG_LOCK_PATH_LIST* e) {
  if (e->st) d_s_close(e->st);
  e->st = nullptr;
}

// Moves the series on when file 0 has reached size bytes: file n becomes
// file n + 1, the last one is removed, and the next open makes a new file 0.
void div_logfile(const L_CHAR* path, int64_t size, int div_nos, LOG_LOCK_PATH_LIST* e) {
  L_CHAR* f0 = get_logfile(path, 0);
  char* narrow = ln_copy_str(std_cm, f0);
  d_f_ree(f0);
  int fd = u_open(narrow, O_RDONLY, 0);
  d_f_ree(narrow);
  if (fd < 0) return;
  int64_t cur = u_fsize64(fd);
  u_close(fd);
  if (cur < 0 || cur < size) return;

  close_entry_stream(e);
  int n = div_nos < 1 ? 1 : div_nos;
  auto name = [path](int k) {
    L_CHAR* w = get_logfile(path, k);
    char* c = ln_copy_str(std_cm, w);
    d_f_ree(w);
    return c;
  };
  char* last = name(n - 1);
  u_unlink(last);
  d_f_ree(last);
  for (int k = n - 2; k >= 0; --k) {
    char* from = name(k);
    char* to = name(k + 1);
    u_rename(from, to);
    d_f_ree(from);
    d_f_ree(to);
  }
}

// Writes the header and the message of one record; false when a write
// failed.
bool write_record(STREAM* st, uint32_t option, const LOG_NODE_DATA* d) {
  bool ok = true;
  auto put = [&](const char* fmt, auto... args) {
    if (s_printf(st, fmt, args...) < 0) ok = false;
  };
  if (option & (LOG_OPT_TIME | LOG_OPT_LEVEL | LOG_OPT_URL | LOG_OPT_LAYER | LOG_OPT_USER)) {
    put("[");
    if (option & LOG_OPT_LEVEL) put("%s ", log_level_name(d->level));
    if (option & LOG_OPT_TIME) {
      char* t = get_zutime_str(static_cast<uint32_t>(d->time), 1);
      if (t) {
        std::string text(t);
        d_f_ree(t);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        put("%s ", text.c_str());
      }
    }
    if (option & LOG_OPT_URL) {
      if (const L_CHAR* text = d->u.proto ? get_url_str2(&d->u) : nullptr) {
        put("%ls ", text);
      } else {
        if (d->u.server) put("%ls", d->u.server);
        if (d->u.port) put(":%i", d->u.port);
        if (d->u.agent) put("@%ls", d->u.agent);
        put(" ");
      }
    }
    if ((option & LOG_OPT_USER) && d->user) put("%ls ", d->user);
    if (option & LOG_OPT_LAYER) {
      if (const char* name = log_layer_name(d->layer)) put("%s ", name);
      else put("%i ", d->layer);
    }
    put("] ");
  }
  if ((option & LOG_OPT_DATA) && d->data) {
    put("%ls", d->data);
    size_t len = l_strlen(d->data);
    if (len == 0 || (d->data[len - 1] != '\n' && d->data[len - 1] != '\r')) put("\n");
  } else {
    put("\n");
  }
  if (s_flush(st) < 0) ok = false;
  return ok;
}

}  // namespace

L_CHAR* parse_dir_path(const LOG_NODE_DATA* d, const L_CHAR* tmpl) {
  WString out;
  if (!tmpl) return to_tagged(out);
  for (size_t i = 0; tmpl[i];) {
    if (tmpl[i] != '\\') {
      out.push_back(tmpl[i++]);
      continue;
    }
    if (tmpl[i + 1] != '{') {
      out.push_back(tmpl[i++]);
      if (tmpl[i]) out.push_back(tmpl[i++]);
      continue;
    }
    size_t j = i + 2;
    while (tmpl[j] && tmpl[j] != '}') ++j;
    if (!tmpl[j]) {  // no closing "}": copied as written
      out.push_back(tmpl[i++]);
      out.push_back(tmpl[i++]);
      continue;
    }
    if (!placeholder(d, tmpl + i + 2, j - i - 2, tmpl[j + 1], out)) out.append(tmpl + i, j + 1 - i);
    i = j + 1;
  }
  return to_tagged(out);
}

L_CHAR* get_logfile(const L_CHAR* path, int number) {
  WString out(path);
  append_ascii(out, "log");
  append_ascii(out, std::to_string(number).c_str());
  return to_tagged(out);
}

void do_log_action_save_file(LOG_ACTION* a, LOG_NODE* n) {
  L_CHAR* path = parse_dir_path(&n->d, a->path);
  LOG_LOCK_PATH_LIST* e = (a->option & LOG_OPT_UNLOCK) ? _invalid_llpl(path) : _lock_llpl(path);
  if (a->size > 0) {
    div_logfile(path, a->size, a->div_nos, e);
    if (!e->st) {
      L_CHAR* f0 = get_logfile(path, 0);
      e->st = open_log(f0);
      d_f_ree(f0);
    }
  } else if (!e->st) {
    e->st = open_log(path);
  }
  d_f_ree(path);
  if (!e->st) {
    _unlock_llpl(e);
    return;
  }
  // A failed write closes the file; the next record opens it again.
  if (!write_record(e->st, a->option, &n->d)) close_entry_stream(e);
  _unlock_llpl(e);
}

void llpl_check(int force) {
  lock_task(lock_log);
  unsigned int now = get_zutime();
  for (LOG_LOCK_PATH_LIST** p = &ll_path_list; *p;) {
    LOG_LOCK_PATH_LIST* e = *p;
    if (!e->lock && (force || now - e->access >= 2)) {
      *p = e->next;
      release_entry(e);
    } else {
      p = &e->next;
    }
  }
  unlock_task(lock_log, "llpl_check");
}

void set_log_path_lock_ops(const LOG_PATH_LOCK_OPS* ops) { lock_ops.store(ops); }
