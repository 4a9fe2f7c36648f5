// Exit, GetVariable, GetVersion (and its reverse, convert_to_version),
// GetZUTime, MemoryStatistics and GetProperCode.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/entry.h"
#include "base/lost_output.h"
#include "base/zutime.h"
#include "runtime/reply_code.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zulib/system.h"

namespace {

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;

// Output the script asked for that could not be written fails the run
// whichever way it ends.
ZU_SEXP* zu_Exit(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) { u_exit(lost_output() ? 1 : 0); }

ZU_SEXP* zu_GetVariable(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* name = get_el(form, 1);
  if (get_type(name) != ZU_TYPE_STRING) return error_text_at(form, ZU_ER_TYPE, "Arg", nullptr);
  const char* value = std::getenv(n_string(std_cm, str_text(name)));
  if (!value) return error_text_at(form, ZU_ER_UNDEFINED, "GetEnvVar", "undefined evironment variable");
  return n_get_string(value);
}

// ---- versions

// "2005" with month 0, "2005-5" with day 0, else "2005-5-23".
ZU_SEXP* version_date(const VERSION* v) {
  char buf[40];
  if (v->month == 0)
    std::snprintf(buf, sizeof buf, "%i", v->year);
  else if (v->day == 0)
    std::snprintf(buf, sizeof buf, "%i-%i", v->year, v->month);
  else
    std::snprintf(buf, sizeof buf, "%i-%i-%i", v->year, v->month, v->day);
  return n_get_string(buf);
}

ZU_SEXP* version_list(const VERSION* v) {
  return List(n_get_string(v->layer), n_get_string(v->name), n_get_string(v->publisher), n_get_string(v->version),
              version_date(v), ZU_LIST_END);
}

// With layer: (record) or nil. Without: every record, oldest registration
// first (the global list keeps the newest first).
ZU_SEXP* zu_GetVersion(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  if (const L_CHAR* layer = head_option(sf, "layer")) {
    const VERSION* v = get_version(n_string(std_cm, layer));
    return v ? list(version_list(v)) : nullptr;
  }
  ZU_SEXP* r = nullptr;
  for (const VERSION* v = get_version(nullptr); v; v = v->next) r = cons(version_list(v), r);
  return r;
}

// A decimal part of a date, 0 when missing or beyond `max`.
unsigned date_part(const char** p, unsigned max) {
  char* end = nullptr;
  long n = std::strtol(*p, &end, 10);
  if (end == *p) return 0;
  *p = end;
  return n >= 0 && static_cast<unsigned long>(n) <= max ? static_cast<unsigned>(n) : 0;
}

// ---- time, memory, encodings

ZU_SEXP* zu_GetZUTime(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  unsigned int now = get_zutime();
  const L_CHAR* format = head_option(sf, "format");
  if (!format) return get_integer(now, l_string(std_cm, "sec"));
  if (zu_wcmp_ascii(format, "W3C-DTF") != 0)
    return error_list_at(form, ZU_ER_PARAM, "GetZUTime", "invalid format attribute");
  Tagged<char> text(get_zutime_str(now, 2));
  return n_get_string(text.get());
}

struct SITE {
  const char* file;
  int line;
  size_t size;
};

void copy_site(const MEM_LIST* m, void* work) {
  if (m->size) static_cast<std::vector<SITE>*>(work)->push_back({m->file, m->line, m->size});
}

// (mark file line size) per site holding memory, in the allocator's order;
// "*" marks a site that raised the running maximum. With max, only those.
ZU_SEXP* zu_MemoryStatistics(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  std::vector<SITE> sites;
  sites.reserve(4096);
  walk_mem_debug_list(copy_site, &sites);
  bool only_max = head_option(sf, "max") != nullptr;
  size_t max = 0;
  ListBuilder out;
  for (const SITE& s : sites) {
    bool raised = s.size > max;
    if (raised) max = s.size;
    if (only_max && !raised) continue;
    out.add(List(get_string_ascii(raised ? "*" : ""), n_get_string(s.file), get_integer(s.line, nullptr),
                 get_integer(static_cast<int64_t>(s.size), nullptr), ZU_LIST_END));
  }
  return out.head;
}

// trace absent: -1; "full": the whole value (-2); else a count, where 0
// or an unreadable text count as absent.
int trace_limit(const L_CHAR* trace) {
  if (!trace) return -1;
  if (zu_wcmp_ascii(trace, "full") == 0) return -2;
  int n = 0;
  if (std::sscanf(n_string(std_cm, trace), "%i", &n) != 1 || n == 0) return -1;
  return n;
}

ZU_SEXP* zu_GetProperCode(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  L_CHAR code = get_proper_code(get_el(form, 1), trace_limit(head_option(sf, "trace")));
  const CODE_METHOD* cm = search_cm_by_lccode(code);
  if (!cm) return error_text_at(form, ZU_ER_NO_OBJECT, "GetProperCode", "invalid encoding");
  return n_get_string(cm->name);
}

const QN_PRIM_DEF kExit[] = {{"Exit", zu_Exit, 1, 1, 1, T}, {}};
const QN_PRIM_DEF kGetVariable[] = {{"GetVariable", zu_GetVariable, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kGetVersion[] = {{"GetVersion", zu_GetVersion, 1, 1, 1, T}, {}};
const QN_PRIM_DEF kGetZUTime[] = {{"GetZUTime", zu_GetZUTime, 1, 1, 1, T}, {}};
const QN_PRIM_DEF kMemoryStatistics[] = {{"MemoryStatistics", zu_MemoryStatistics, 1, 1, 1, T}, {}};
const QN_PRIM_DEF kGetProperCode[] = {{"GetProperCode", zu_GetProperCode, 1, 2, 2, T}, {}};

}  // namespace

VERSION* convert_to_version(ZU_SEXP* list) {
  if (list_length(list) < 5) return nullptr;
  const char* text[5];
  for (int i = 0; i < 5; ++i) {
    ZU_SEXP* e = get_el(list, i);
    if (get_type(e) != ZU_TYPE_STRING) return nullptr;
    text[i] = n_string(std_cm, str_text(e));
  }
  auto* v = static_cast<VERSION*>(d_calloc(sizeof(VERSION), 1));
  v->layer = copy_str(text[0]);
  v->name = copy_str(text[1]);
  v->publisher = copy_str(text[2]);
  v->version = copy_str(text[3]);
  v->comment = copy_str(text[4]);
  // Every "-" separates, so "2005-5-23" and "2005 5 23" read alike.
  std::string date(text[4]);
  for (char& c : date)
    if (c == '-') c = ' ';
  const char* p = date.c_str();
  v->year = static_cast<uint16_t>(date_part(&p, 65535));
  v->month = static_cast<uint8_t>(date_part(&p, 255));
  v->day = static_cast<uint8_t>(date_part(&p, 255));
  return v;
}

void init_Exit(ZUISP_ENV* env) { bind_prims(env, kExit); }
void init_GetVariable(ZUISP_ENV* env) { bind_prims(env, kGetVariable); }
void init_GetVersion(ZUISP_ENV* env) { bind_prims(env, kGetVersion); }
void init_GetZUTime(ZUISP_ENV* env) { bind_prims(env, kGetZUTime); }
void init_MemoryStatistics(ZUISP_ENV* env) { bind_prims(env, kMemoryStatistics); }
void init_GetProperCode(ZUISP_ENV* env) { bind_prims(env, kGetProperCode); }
