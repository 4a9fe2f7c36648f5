// ZU values: constructors, accessors, list utilities, symbols with
// attributes, error values, delayed values and converters.
//
// Every value is a collected block (zu/gc.h); the empty list is the null
// pointer (a value whose header type is 0 counts as the empty list too).
// Functions that make values need the memory lock, and what they make is
// pinned in the caller's top collector frame.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "text/lchar.h"
#include "zu/errcodes.h"
#include "zu/gc.h"

struct ZU_FILE;    // reader state (zu/file.h)
struct ZUISP_ENV;  // environment (zu/env.h)
struct UNIT_ENV;   // unit system
struct STREAM;     // stream of the stream layer

constexpr int ZU_TYPE_NULL = 0;
constexpr int ZU_TYPE_ERROR = 1;
constexpr int ZU_TYPE_LIST = 2;
constexpr int ZU_TYPE_SYMBOL = 3;
constexpr int ZU_TYPE_STRING = 4;
constexpr int ZU_TYPE_INTEGER = 5;
constexpr int ZU_TYPE_FLOATING = 6;
constexpr int ZU_TYPE_FUNCTION = 7;
constexpr int ZU_TYPE_DELAY = 8;
constexpr int ZU_TYPE_POINTER = 9;
constexpr int ZU_TYPE_RAW = 10;
constexpr int ZU_TYPE_ENV = 11;
constexpr int ZU_TYPE_COUNT = 12;
// "null", "error", "list", ... "environment"; null for an unknown code.
const char* zu_type_name(int type);

struct ZU_SEXP_HEADER {
  ZU_FILE* file;  // the source the value was read from, or null
  int32_t line;   // its line there
  uint8_t type;   // read directly, a delayed value shows as ZU_TYPE_DELAY
  uint8_t flags;  // free for the reader and the evaluator
  uint16_t aux;   // delayed values: their kind
};

// An interned name. Symbols of the same name share one atom, so environments
// compare names by pointer. Atoms are collected when nothing refers to them.
struct ZU_ATOM {
  uint32_t hash;
  uint32_t len;
  L_CHAR name[1];  // len codes and a terminating 0
};

// One attribute name="value" of a symbol.
struct ZU_SYM_FIELD {
  ZU_SYM_FIELD* next;
  L_CHAR* name;
  L_CHAR* value;
};

struct ZU_SEXP;

struct ZU_ERROR {
  const L_CHAR* site;  // the site (host name) that made the error
  ZU_FILE* file;       // source file record of the failing form, or null
  int32_t line;
  uint32_t code;
  L_CHAR* func;        // function name
  ZU_SEXP* data;
};

// Implementation of a built-in: (environment, call form, keyword
// environment, head-symbol attributes, special environment).
using ZU_PRIM = ZU_SEXP* (*)(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf,
                             ZUISP_ENV* sp_env);

constexpr uint8_t ZU_FUNC_BUILTIN = 1;
constexpr uint8_t ZU_FUNC_LAMBDA = 2;

struct ZU_FUNC {
  uint8_t type;   // ZU_FUNC_BUILTIN or ZU_FUNC_LAMBDA
  uint8_t order;  // 0 form unevaluated, 1 arguments evaluated, 2 (parameter value) pairs
  int8_t min;     // least call-form length, head included
  int8_t max;     // greatest, -1 open
  // A lambda made while the code that made it ran for a peer (env.h): its
  // body writes as a peer, the one that calls it (zu/peer.h).
  uint8_t peer_made;
  // A built-in's PEER_RULE (zu/peer.h), given where it is bound by name.
  uint8_t peer_rule;
  ZUISP_ENV* args_env;
  ZUISP_ENV* sp_env;
  ZU_PRIM prim;
  ZU_SEXP* l_params;
  ZU_SEXP* l_body;
};

// A foreign record and the function that marks it (null: not looked into).
struct ZU_PTR {
  void* ptr;
  GC_MARK_FUNC mark;
};

struct ZU_RAW {
  uint32_t size;
  uint8_t* data;  // a collected block
};

// Delay kinds (header aux).
constexpr uint16_t ZU_DELAY_READER = 1;    // the unread rest of a source
constexpr uint16_t ZU_DELAY_CALLBACK = 3;  // a record beginning with DELAY_FUNC

struct ZU_DELAY {
  void* work;     // callback: the record; reader: the reader's own state
  ZU_FILE* file;  // reader delays: the source
};

// Head of a callback delay's record. func must turn the delayed value in
// place into its result (over_write_sexp) and return it; gc_func marks the
// record; check_func answers 2 when forcing will not wait, 1 when it would.
struct DELAY_FUNC {
  ZU_SEXP* (*func)(ZU_SEXP* delay);
  void (*gc_func)(void* work);
  int (*check_func)(void* work, int key);
};

struct ZU_SEXP {
  ZU_SEXP_HEADER h;
  union {
    struct {
      ZU_SEXP* car;
      ZU_SEXP* cdr;
    } pair;
    struct {
      ZU_ATOM* atom;
      ZU_SYM_FIELD* sf;
    } symbol;
    struct {
      L_CHAR* str;
    } string;
    struct {
      int64_t num;
      L_CHAR* unit;  // null: no unit
    } integer;
    struct {
      double num;
      L_CHAR* unit;  // null: no unit; "" an empty one
    } floating;
    ZU_ERROR* error;
    ZU_FUNC* func;
    ZU_DELAY delay;
    ZU_PTR ptr;
    ZU_RAW raw;
    ZUISP_ENV* env;
  };
};
static_assert(sizeof(ZU_SEXP) == 32);

// ---- mark functions
void gc_qn_sexp(void* value);
void gc_sym_field(void* field);

// ---- types and delays
// The type as stored: a delayed value is ZU_TYPE_DELAY; null is 0.
inline int sexp_type(const ZU_SEXP* s) { return s ? s->h.type : ZU_TYPE_NULL; }
// The type of a value that another thread may be turning from delayed into
// its result: that thread publishes the type (release) after the rest of the
// value, so the type is read with acquire (a plain load on common hardware).
inline int published_type(ZU_SEXP* s) {
  return std::atomic_ref<uint8_t>(s->h.type).load(std::memory_order_acquire);
}
// Forces delayed values (which may wait) and returns the type code.
int force_type(ZU_SEXP* s);
inline int get_type(ZU_SEXP* s) {
  if (!s) return ZU_TYPE_NULL;
  int type = published_type(s);
  if (type != ZU_TYPE_DELAY) return type;
  return force_type(s);
}
inline bool is_nil(ZU_SEXP* s) { return get_type(s) == ZU_TYPE_NULL; }

// A delayed value (kind callback) around a record beginning with DELAY_FUNC.
ZU_SEXP* init_delay_func(void* work);
// Operations of reader delays (installed by the reader).
struct ZU_DELAY_OPS {
  ZU_SEXP* (*force)(ZU_SEXP* delay);  // turns the delay in place into its value
  int (*check)(ZU_SEXP* delay);       // as check_delay
  GC_MARK_FUNC mark_work;             // marks delay.work
};
void set_reader_delay_ops(const ZU_DELAY_OPS* ops);
// A reader delay on a source with the reader's work record.
ZU_SEXP* new_reader_delay(ZU_FILE* file, void* work);
// 2 for a callback delay (*rec set to its record), 4 for a reader delay (*st
// set to its source's stream), 3 for another delay, 0 for a value that is
// not delayed. *st is filled for any delay.
int get_delay_info(STREAM** st, void** rec, ZU_SEXP* s);
// 0 not a delay (or readiness unknown: forcing may wait), 1 pending, 2 a
// ready callback delay, 3 another delay that can be forced, 4 a reader delay
// with input at hand.
int check_delay(ZU_SEXP* s, int key);
// Overwrites dst in place with a copy of src (nil: dst becomes the empty
// value); dst keeps its source file and line. Returns dst.
ZU_SEXP* over_write_sexp(ZU_SEXP* dst, ZU_SEXP* src);
// As over_write_sexp for a callback delay that other threads may be
// forcing at the same time: the new type is published after the rest, and
// force_type reads a callback delay's record only while it is still a
// delay, so a thread sees either the delay or its whole value.
ZU_SEXP* over_write_delay(ZU_SEXP* dst, ZU_SEXP* src);
// The record of a callback delay, read as over_write_delay allows; null
// once it has turned into its value.
void* delay_record(ZU_SEXP* d);
// Turns a value in place into an empty value of `type` (pair: both halves
// nil; others zero), keeping its source file and line. The value turned is
// `ret`, or `s` when ret is null; when `inh` is given the file and line come
// from it. Returns the value turned.
ZU_SEXP* set_sexp_inh(ZU_SEXP* ret, int type, ZU_SEXP* s, ZU_SEXP* inh);

// ---- constructors
// In line: the reader and the evaluator make one or more per element.
inline ZU_SEXP* new_sexp(int type) {  // an empty value of that type
  auto* s = static_cast<ZU_SEXP*>(mmalloc(sizeof(ZU_SEXP), gc_qn_sexp));
  s->h.type = static_cast<uint8_t>(type);
  return s;
}
inline void set_sexp_pos(ZU_SEXP* s, ZU_FILE* file, int line) {
  if (!s) return;
  s->h.file = file;
  s->h.line = line;
}
inline ZU_SEXP* cons(ZU_SEXP* a, ZU_SEXP* b) {
  ZU_SEXP* s = new_sexp(ZU_TYPE_LIST);
  s->pair.car = a;
  s->pair.cdr = b;
  return s;
}
ZU_SEXP* list(ZU_SEXP* v);
// The end marker of List's arguments.
#define ZU_LIST_END (reinterpret_cast<ZU_SEXP*>(-1))
ZU_SEXP* List(ZU_SEXP* first, ...);
ZU_SEXP* get_integer_unit(int64_t num, const L_CHAR* unit);
inline ZU_SEXP* get_integer(int64_t num, const L_CHAR* unit) {
  if (unit) return get_integer_unit(num, unit);
  auto* s = static_cast<ZU_SEXP*>(mmalloc(sizeof(ZU_SEXP), gc_qn_sexp));
  s->h.type = ZU_TYPE_INTEGER;
  s->integer.num = num;
  return s;
}
ZU_SEXP* get_floating(double num, const L_CHAR* unit);
ZU_SEXP* get_string(const L_CHAR* text);              // null gives ""
ZU_SEXP* get_string_len(const L_CHAR* text, size_t len);
ZU_SEXP* get_string_ascii(const char* text);          // 7-bit text (literals)
ZU_SEXP* get_symbol(const L_CHAR* name);
// From narrow text in the standard encoding (null: the empty text).
ZU_SEXP* n_get_string(const char* text);
ZU_SEXP* n_get_symbol(const char* name);
ZU_SEXP* get_symbol_len(const L_CHAR* name, size_t len);
ZU_SEXP* get_symbol_ascii(const char* name);
ZU_SEXP* get_symbol_atom(ZU_ATOM* atom);               // no attributes
ZU_SEXP* get_ptr(void* ptr, GC_MARK_FUNC mark);
ZU_SEXP* get_raw(const void* bytes, uint32_t size);
ZU_SEXP* get_raw_set_data(void* block, uint32_t size);  // block: collected
ZU_SEXP* get_env(ZUISP_ENV* env);
ZU_SEXP* get_func_prim(ZU_PRIM prim, int order, ZUISP_ENV* args_env, int min, int max);
// Collected copies of texts (null for null).
char* copy_mstr(const char* text);
L_CHAR* ll_copy_mstr(const L_CHAR* text);
L_CHAR* ll_copy_mstr_len(const L_CHAR* text, size_t len);
L_CHAR* ascii_copy_mstr(const char* text);

// ---- accessors (no checks: the caller knows the type)
inline const L_CHAR* sym_name(const ZU_SEXP* s) { return s->symbol.atom->name; }
inline ZU_SYM_FIELD* sym_field(const ZU_SEXP* s) { return s->symbol.sf; }
inline const L_CHAR* str_text(const ZU_SEXP* s) { return s->string.str; }

// ---- lists (delayed members and tails are forced)
// First member and rest; an error passes through; anything else (nil too)
// gives error ZU_ER_TYPE from "car"/"cdr".
ZU_SEXP* car(ZU_SEXP* s);
ZU_SEXP* cdr(ZU_SEXP* s);
// The n-th member (0 = head); nil past the end or for n < 0.
ZU_SEXP* get_el(ZU_SEXP* s, int64_t n);
// The first member that is a list headed by a symbol named `name`.
ZU_SEXP* get_el_by_symbol(ZU_SEXP* s, const L_CHAR* name, int flags);
// The element at a path "tag'n/tag/..." (see list.cc); with a default on
// failure as described there, else error ZU_ER_UNDEFINED "no object".
ZU_SEXP* get_el_c(ZU_SEXP* s, const L_CHAR* path, const L_CHAR* def);
// Members of a proper list; -1 for an atom, an improper or a cyclic list.
int list_length(ZU_SEXP* s);
// The first error inside the tree (depth first), else the improper tail of
// the top-level chain (an atom is its own), else nil.
ZU_SEXP* list_error(ZU_SEXP* s);
// A new list of a's members then b's; nil when either has an improper tail.
ZU_SEXP* append(ZU_SEXP* a, ZU_SEXP* b);
// A new list of the top-level members in reverse order (nil for an atom).
ZU_SEXP* reverse(ZU_SEXP* s);
// Structural order: -1, 0, 1.
int cmp_sexp(ZU_SEXP* a, ZU_SEXP* b);

// ---- symbols and attributes
// The atom of a name, made when missing / null when nobody interned it.
ZU_ATOM* intern_atom(const L_CHAR* name, size_t len);
ZU_ATOM* find_atom(const L_CHAR* name);
// The value text of the first attribute `name`, or null.
const L_CHAR* get_sf_attribute(ZU_SYM_FIELD* sf, const L_CHAR* name);
// Puts a copy of name=value in front of a symbol's list (in place).
void set_attribute(ZU_SEXP* sym, const L_CHAR* name, const L_CHAR* value);
// A list in which name has value (null: removed); the given list is shared,
// never changed.
ZU_SYM_FIELD* set_sym_field(ZU_SYM_FIELD* sf, const L_CHAR* name, const L_CHAR* value);
struct ATTR_FLAG_TBL {
  const char* name;  // null ends the table
  int value;
};
// The ":"-separated names of `text`, in table order, OR-ed; *err = -1 (and
// 0 returned) when the text does not read so, else 0.
int get_attr_flags(int* err, const L_CHAR* text, const ATTR_FLAG_TBL* tbl);
// A new string: the name, or "[name a=\"v\" ...]" when it has attributes.
ZU_SEXP* cast_symbol2string(ZU_SEXP* sym);

// ---- errors
ZU_SEXP* get_error(ZU_FILE* f, int line, uint32_t code, const L_CHAR* func, ZU_SEXP* data);
ZU_SEXP* get_error_ascii(ZU_FILE* f, int line, uint32_t code, const char* func, ZU_SEXP* data);
// The site name that errors carry (the host name, found once).
const L_CHAR* get_zulisp_site();
// Code of an error value, 0 for any other value (not forced).
uint32_t error_code(const ZU_SEXP* s);

// ---- converters
struct QN_POINT {
  double x, y;
};
struct QN_RECT {
  QN_POINT tl, br;
};
int zu_to_qn_point(QN_POINT* out, ZU_SEXP* s);
int zu_to_qn_rect(QN_RECT* out, ZU_SEXP* s);

// ---- what a value holds
// The bytes a value holds, counted until they pass `limit` (the count
// returned then passes it too): a cell per value with its collector
// header, the characters of strings, the bytes of raw data, what an
// error's data holds. Shared parts count each time they are met (a cycle
// runs into the limit); a delayed value counts as its cell, unforced. Only
// nested lists wait on a stack, so a flat list allocates nothing. What
// peers make the agent hold is charged by this count (link input and
// replies, bindings).
int64_t value_footprint(ZU_SEXP* v, int64_t limit);

// ---- wide text helpers
int zu_wcmp_ascii(const L_CHAR* w, const char* a);  // 0 when equal
