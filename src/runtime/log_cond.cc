// Log conditions: the tests over record fields with their actions, and the
// built-in SetLogCondition that sets them from ZU forms.
#include <arpa/inet.h>
#include <fcntl.h>

#include <algorithm>
#include <iterator>

#include "base/alloc.h"
#include "base/file.h"
#include "base/panic.h"
#include "runtime/log_impl.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/core_init.h"
#include "zu/eval.h"

LOG_COND* condition_list = nullptr;

namespace {

// Symbol table: 1 "*", 2 "=", 3 "<", 4 "<=", then the field names.
const char* const kSymbols[] = {"*",          "=",          "<",          "<=",
                                "time",       "level",      "URL.proto",  "URL.server",
                                "URL.port",   "URL.agent",  "URL.database", "URL.resource",
                                "user",       "key",        "data"};
// The record word each field name tests.
const int kFieldWord[] = {0, 1, 2, 3, 4, 5, 6, 7, 13, 14, 15};
constexpr int kSymStar = 1, kSymEq = 2, kSymLt = 3, kSymLe = 4, kSymField = 5;

const ATTR_FLAG_TBL log_cond_attr_table[] = {
    {"unlock", static_cast<int>(LOG_OPT_UNLOCK)},
    {"lock", 0},
    {"time", LOG_OPT_TIME},
    {"level", LOG_OPT_LEVEL},
    {"URL", LOG_OPT_URL},
    {"layer", LOG_OPT_LAYER},
    {"user", LOG_OPT_USER},
    {"key", LOG_OPT_KEY},
    {"data", LOG_OPT_DATA},
    {"all", LOG_OPT_ALL},
    {nullptr, 0},
};

const L_CHAR kHighText[] = {0x7FFFFFFF, 0};
const L_CHAR kEmptyText[] = {0};

ZU_SEXP* param_error(ZU_SEXP* at, const char* func, ZU_SEXP* item) {
  return get_error_ascii(at ? at->h.file : nullptr, at ? at->h.line : 0, ZU_ER_PARAM, func, list(item));
}

const L_CHAR* attr(ZU_SYM_FIELD* sf, const char* name) {
  return get_sf_attribute(sf, l_string(std_cm, name));
}

bool sym_is(ZU_SEXP* s, const char* name) {
  return get_type(s) == ZU_TYPE_SYMBOL && zu_wcmp_ascii(sym_name(s), name) == 0;
}

uint32_t read_ipv4(const L_CHAR* text) {
  if (!text) return 0;
  char* narrow = ln_copy_str(std_cm, text);
  in_addr a{};
  uint32_t r = inet_pton(AF_INET, narrow, &a) == 1 ? ntohl(a.s_addr) : 0;
  d_f_ree(narrow);
  return r;
}

// Decimal text; anything that is not a number reads as 0.
int64_t read_decimal(const L_CHAR* text) {
  if (!text) return 0;
  int64_t v = 0;
  for (const L_CHAR* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return 0;
    if (v > (INT64_MAX - 9) / 10) return 0;
    v = v * 10 + (*p - '0');
  }
  return v;
}

ZU_SEXP* get_log_cond_action(LOG_COND* c, ZU_SEXP* sym) {
  ZU_SYM_FIELD* sf = sym_field(sym);
  const L_CHAR* type = attr(sf, "type");
  if (!type) return param_error(sym, "log condition action attribute (type is required)", sym);
  static const char* const kTypes[] = {"save", "console", "relay", "wait"};
  int t = 0;
  for (int i = 0; i < 4 && !t; ++i)
    if (zu_wcmp_ascii(type, kTypes[i]) == 0) t = i + 1;
  if (!t) return param_error(sym, "log condition action attribute (type)", sym);

  uint32_t option = t == LOG_ACT_SAVE ? LOG_OPT_ALL : 0;
  if (const L_CHAR* text = attr(sf, "option")) {
    int err = 0;
    option = static_cast<uint32_t>(get_attr_flags(&err, text, log_cond_attr_table));
    if (err) return param_error(sym, "log condition action attribute (option)", sym);
  }
  auto* a = static_cast<LOG_ACTION*>(d_calloc(sizeof(LOG_ACTION), 1));
  a->type = t;
  a->path = ll_copy_str(attr(sf, "path"));
  a->option = option;
  a->ip = read_ipv4(attr(sf, "ip"));
  a->mask = read_ipv4(attr(sf, "mask"));
  // Each division renames every file of the series: keep series short.
  a->div_nos = static_cast<int>(std::min<int64_t>(read_decimal(attr(sf, "divide")), 1000));
  a->size = read_decimal(attr(sf, "size"));
  a->next = c->action_list;
  c->action_list = a;
  return nullptr;
}

// One item of a comparison element.
struct Item {
  char kind;        // 'F' field, 'V' value, '=', '<', 'L' (<=), '*', '?' other
  int word;         // field: its record word
  ZU_SEXP* value;   // the item
  ZU_SEXP* rest;    // the list cell that holds it (the error position)
};

struct Shape {
  const char* kinds;
  uint8_t test;
  int low;   // index of the low value among the items, -1: default
  int high;  // index of the high value, -1: default
};

// The accepted forms. (F < V) is read as x < V: the default low up to, not
// including, V.
const Shape kShapes[] = {
    {"F=V", LOG_T_EQ, 2, -1},       {"V=F", LOG_T_EQ, 0, -1},       {"F=V*", LOG_T_BEGINS, 2, -1},
    {"V*=F", LOG_T_BEGINS, 0, -1},  {"*V=F", LOG_T_ENDS, 1, -1},    {"V<F", LOG_T_LT_LE, 0, -1},
    {"VLF", LOG_T_LE_LE, 0, -1},    {"FLV", LOG_T_LE_LE, -1, 2},    {"F<V", LOG_T_LE_LT, -1, 2},
    {"V<F<V", LOG_T_LT_LT, 0, 4},   {"VLF<V", LOG_T_LE_LT, 0, 4},   {"V<FLV", LOG_T_LT_LE, 0, 4},
    {"VLFLV", LOG_T_LE_LE, 0, 4},
};

void set_bound(LOG_NODE_DATA* b, int word, ZU_SEXP* v, bool high) {
  if (log_word_is_int(word)) {
    int32_t x = v ? static_cast<int32_t>(v->integer.num) : (high ? 0x7FFFFFFF : 0);
    switch (word) {
      case 0: b->time = x; break;
      case 1: b->level = x; break;
      case 4: b->u.port = x; break;
    }
    return;
  }
  L_CHAR** slot = log_str_slot(b, word);
  d_f_ree(*slot);
  *slot = ll_copy_str(v ? str_text(v) : (high ? kHighText : kEmptyText));
}

ZU_SEXP* get_log_cond_element(LOG_COND* c, ZU_SEXP* el) {
  static const char* const kFunc = "log condition element parameter";
  constexpr int kMax = 5;
  Item items[kMax + 1];
  int n = 0;
  ZU_SEXP* p = el;
  for (; get_type(p) == ZU_TYPE_LIST && n <= kMax; p = p->pair.cdr, ++n) {
    Item& it = items[n];
    it = Item{'?', -1, p->pair.car, p};
    ZU_SEXP* v = it.value;
    int t = get_type(v);
    if (n == 0 && t == ZU_TYPE_ERROR) return v;
    if (t == ZU_TYPE_STRING || t == ZU_TYPE_INTEGER) {
      it.kind = 'V';
    } else if (t == ZU_TYPE_SYMBOL) {
      int s = get_log_cond_symbol(sym_name(v));
      if (s >= kSymField) {
        it.kind = 'F';
        it.word = kFieldWord[s - kSymField];
      } else if (s == kSymStar) {
        it.kind = '*';
      } else if (s == kSymEq) {
        it.kind = '=';
      } else if (s == kSymLt) {
        it.kind = '<';
      } else if (s == kSymLe) {
        it.kind = 'L';
      }
    }
  }
  // The shape that matches all items, or the first item that no shape
  // accepts after the items before it.
  const Shape* shape = nullptr;
  int longest = 0;
  for (const Shape& s : kShapes) {
    int k = 0;
    while (k < n && s.kinds[k] && s.kinds[k] == items[k].kind) ++k;
    if (k == n && !s.kinds[k] && get_type(p) == ZU_TYPE_NULL) {
      shape = &s;
      break;
    }
    longest = std::max(longest, k);
  }
  if (!shape) {
    if (longest < n) return param_error(items[longest].rest, kFunc, items[longest].value);
    return param_error(el, kFunc, el);  // the element ends too early
  }
  int field = 0;
  while (items[field].kind != 'F') ++field;
  int word = items[field].word;
  int want = log_word_is_int(word) ? ZU_TYPE_INTEGER : ZU_TYPE_STRING;
  for (int k = 0; k < n; ++k)
    if (items[k].kind == 'V' && get_type(items[k].value) != want)
      return param_error(items[k].rest, kFunc, items[k].value);

  c->op[word] = shape->test;
  set_bound(&c->low, word, shape->low >= 0 ? items[shape->low].value : nullptr, false);
  set_bound(&c->high, word, shape->high >= 0 ? items[shape->high].value : nullptr, true);
  return nullptr;
}

bool begins(const L_CHAR* x, const L_CHAR* low) {
  for (; *low; ++x, ++low)
    if (*x != *low) return false;
  return true;
}

bool ends(const L_CHAR* x, const L_CHAR* low) {
  size_t lx = l_strlen(x), ll = l_strlen(low);
  return ll <= lx && l_strcmp(x + lx - ll, low) == 0;
}

// Range tests by the code; lo and hi: x compared with low and with high.
bool in_range(uint8_t op, int lo, int hi) {
  switch (op) {
    case LOG_T_LT_LT: return lo > 0 && hi < 0;
    case LOG_T_LE_LT: return lo >= 0 && hi < 0;
    case LOG_T_LT_LE: return lo > 0 && hi <= 0;
    case LOG_T_LE_LE: return lo >= 0 && hi <= 0;
  }
  er_panic("cmp_log_node_data");
}

ZU_SEXP* qn_set_log_condition(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  ZU_SEXP* rest = cdr(form);
  if (get_type(rest) == ZU_TYPE_ERROR) return rest;
  ZU_SEXP* forms = qn_quote_trace(env, rest, attr(sf, "type"));
  if (get_type(forms) == ZU_TYPE_ERROR) return forms;

  reset_log_condition();
  for (ZU_SEXP* p = forms; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* el = p->pair.car;
    if (get_type(el) != ZU_TYPE_LIST) continue;
    ZU_SEXP* head = el->pair.car;
    if (sym_is(head, "Condition")) {
      if (ZU_SEXP* err = get_log_cond(el)) {
        reset_log_condition();
        return err;
      }
    } else if (sym_is(head, "Reset")) {
      if (const L_CHAR* file = attr(sym_field(head), "file")) {
        L_CHAR* path = parse_dir_path(nullptr, file);
        char* narrow = ln_copy_str(std_cm, path);
        int fd = u_open(narrow, O_RDWR | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) u_close(fd);
        d_f_ree(narrow);
        d_f_ree(path);
      }
    }
  }
  log_printf(LOG_LEVEL_MESSAGE, LOG_LAYER_ZU, nullptr, "Launch up the Log system");
  return nullptr;
}

}  // namespace

int get_log_cond_symbol(const L_CHAR* text) {
  if (!text) return -1;
  for (int i = 0; i < static_cast<int>(std::size(kSymbols)); ++i)
    if (zu_wcmp_ascii(text, kSymbols[i]) == 0) return i + 1;
  return -1;
}

ZU_SEXP* get_log_cond(ZU_SEXP* form) {
  auto* c = static_cast<LOG_COND*>(d_calloc(sizeof(LOG_COND), 1));
  for (ZU_SEXP* p = cdr(form); get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* el = p->pair.car;
    if (get_type(el) != ZU_TYPE_LIST) continue;
    ZU_SEXP* head = el->pair.car;
    ZU_SEXP* err = sym_is(head, "Action") ? get_log_cond_action(c, head) : get_log_cond_element(c, el);
    if (err) {
      ss_printf("get_log_cond err\n");
      free_log_cond(c);
      return err;
    }
  }
  set_log_condition(c);
  return nullptr;
}

int cmp_log_node_data(const LOG_NODE_DATA* d, const LOG_COND* c) {
  for (int i = 0; i < kLogWords; ++i) {
    uint8_t op = c->op[i];
    if (!op) continue;
    bool ok;
    if (log_word_is_int(i)) {
      int32_t x = log_int(d, i), lo = log_int(&c->low, i), hi = log_int(&c->high, i);
      auto sgn = [](int32_t a, int32_t b) { return a < b ? -1 : a > b ? 1 : 0; };
      if (op == LOG_T_EQ) ok = x == lo;
      else if (op == LOG_T_BEGINS || op == LOG_T_ENDS) ok = true;
      else ok = in_range(op, sgn(x, lo), sgn(x, hi));
    } else {
      const L_CHAR* x = log_str(d, i);
      const L_CHAR* lo = log_str(&c->low, i);
      const L_CHAR* hi = log_str(&c->high, i);
      if (op == LOG_T_EQ) ok = (!x && !lo) || (x && lo && l_strcmp(x, lo) == 0);
      else if (op == LOG_T_BEGINS) ok = x && lo && begins(x, lo);
      else if (op == LOG_T_ENDS) ok = x && lo && ends(x, lo);
      else ok = x && lo && hi && in_range(op, l_strcmp(x, lo), l_strcmp(x, hi));
    }
    if (!ok) return -1;
  }
  return 0;
}

void free_log_cond(LOG_COND* c) {
  if (!c) return;
  free_log_node_data(&c->low);
  free_log_node_data(&c->high);
  while (LOG_ACTION* a = c->action_list) {
    c->action_list = a->next;
    d_f_ree(a->path);
    d_f_ree(a);
  }
  d_f_ree(c);
}

void reset_log_condition() {
  lock_task(lock_log);
  LOG_COND* list = condition_list;
  condition_list = nullptr;
  unlock_task(lock_log, "reset_log_condition");
  while (list) {
    LOG_COND* next = list->next;
    free_log_cond(list);
    list = next;
  }
}

void set_log_condition(LOG_COND* c) {
  c->next = nullptr;
  lock_task(lock_log);
  LOG_COND** p = &condition_list;
  while (*p) p = &(*p)->next;
  *p = c;
  unlock_task(lock_log, "set_log_condition");
}

void set_log_path(const L_CHAR* str, int64_t size, int filenos) {
  reset_log_condition();
  auto* c = static_cast<LOG_COND*>(d_calloc(sizeof(LOG_COND), 1));
  auto* a = static_cast<LOG_ACTION*>(d_calloc(sizeof(LOG_ACTION), 1));
  a->type = LOG_ACT_SAVE;
  a->path = ll_copy_str(str);
  a->option = LOG_OPT_ALL;
  a->size = size;
  a->div_nos = filenos;
  c->action_list = a;
  set_log_condition(c);
}

void init_log_cond_prims(ZUISP_ENV* env1) {
  static const QN_PRIM_DEF kDefs[] = {
      {"SetLogCondition", qn_set_log_condition, 0, 1, -1, 0},
      {nullptr, nullptr, 0, 0, 0, 0},
  };
  bind_prims(env1, kDefs);
}
