// Interpreters opened, closed and awaited from scripts: OpenInterpreter
// with its option keywords and Permission rules, CloseInterpreter,
// WaitInterpreter, GetIid, GetMainInterpreter and SetMainInterpreter.
//
// OpenInterpreter fills a fresh record privately and hands it to setup_i,
// which publishes it; until then the option keywords reach the record only
// through the hidden binding "__zui" of the call's own environment, whose
// pointer value is emptied when the call returns. A half-made record is the
// thread's that sets it up: an option that reaches it from another thread
// (through an environment or a pointer value kept from the call) is
// refused, never a store racing the owner's, and its fields are written
// under zui_lock as a published record's are.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>

#include <arpa/inet.h>

#include "base/alloc.h"
#include "netsvc/net_impl.h"
#include "runtime/interp.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zu/unit.h"

namespace {

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;

// How often a WaitInterpreter looks at its own stop while it waits.
constexpr double kWaitStopCheckSeconds = 1.0;

// One word of a keyword's vocabulary and its value.
struct WORD {
  const char* word;
  int value;
};

template <size_t N>
bool find_word(const WORD (&words)[N], const L_CHAR* text, int* value) {
  for (const WORD& w : words) {
    if (zu_wcmp_ascii(text, w.word) == 0) {
      *value = w.value;
      return true;
    }
  }
  return false;
}

constexpr WORD kKinds[] = {{"stdio", ZUI_STDIO},     {"file", ZUI_FILE},
                           {"accept", ZUI_ACCEPT},   {"connect", ZUI_CONNECT},
                           {"ipc", ZUI_IPC},         {"descripter", ZUI_DESCRIPTER},
                           {"pipe", ZUI_PIPE}};
constexpr WORD kDescTypes[] = {{"stdio", 1}, {"file", 2},    {"ipc", 3},
                               {"accept", 4}, {"connect", 5}, {"pipe", 8}};
constexpr WORD kEnvironments[] = {{"thisone", 0}, {"new", 1}};
constexpr WORD kFormats[] = {{"lisp", 0}, {"xml", 1}, {"html", 2}};

// ---- the record under construction

// The record the calling thread is setting up (the innermost, when an
// option opens another interpreter), or null.
constinit thread_local ZU_INTERPRETER* setting_up = nullptr;

struct SettingUp {
  ZU_INTERPRETER* outer = setting_up;
  explicit SettingUp(ZU_INTERPRETER* z) { setting_up = z; }
  ~SettingUp() { setting_up = outer; }
};

// Another thread may read the handle while its call empties it.
std::atomic_ref<void*> handle_ptr(ZU_SEXP* handle) { return std::atomic_ref<void*>(handle->ptr.ptr); }

// The record that "__zui" names in env. An error value of the look-up, or
// the refusal of a record another thread sets up (never touched here: it
// may be freed at any time), goes to *err; a value that is not a live
// pointer gives null.
ZU_INTERPRETER* record_of(ZUISP_ENV* env, ZU_SEXP* form, ZU_SEXP** err) {
  ZU_SEXP* v = eval(env, get_symbol_ascii("__zui"));
  *err = get_type(v) == ZU_TYPE_ERROR ? v : nullptr;
  if (get_type(v) != ZU_TYPE_POINTER) return nullptr;
  auto* z = static_cast<ZU_INTERPRETER*>(handle_ptr(v).load());
  if (z && z != setting_up) {
    *err = error_text_at(form, ZU_ER_NOT_AVAILABLE, "OpenInterpreter",
                         "options are given only by the thread opening the interpreter");
    return nullptr;
  }
  return z;
}

// Writes one field of the record under zui_lock; makes no value. The
// setting-up thread alone writes the record, so it reads it unlocked.
template <class T>
ZU_SEXP* set_field(ZU_INTERPRETER* z, T ZU_INTERPRETER::*field, T value) {
  lock_task(zui_lock);
  z->*field = value;
  unlock_task(zui_lock, "OpenInterpreter");
  return nullptr;
}

// The same for a text: the copy is made before, the old one freed after.
ZU_SEXP* set_text(ZU_INTERPRETER* z, L_CHAR* ZU_INTERPRETER::*field, L_CHAR* copy) {
  lock_task(zui_lock);
  L_CHAR* old = z->*field;
  z->*field = copy;
  unlock_task(zui_lock, "OpenInterpreter");
  d_f_ree(old);
  return nullptr;
}

// Seconds of a time-out converted to ticks of 5 seconds (rounded up); a
// negative time-out is none (-1). The value is converted from its unit to
// seconds; without a unit, or with a unit of another kind, it is seconds.
int timeout_ticks(ZUISP_ENV* env, ZU_SEXP* v) {
  double s = static_cast<double>(v->integer.num);
  if (v->integer.unit && v->integer.unit[0]) {
    int err = 0;
    double c = conv_unit(&err, uenv_in_force(env), s, v->integer.unit, l_string(std_cm, "sec"));
    if (err == 0) s = c;
  }
  s = std::trunc(s);
  if (!(s >= 0)) return -1;
  if (s > INT_MAX) s = INT_MAX;
  return static_cast<int>(std::ceil(s / 5));
}

// ---- the seventeen option keywords: one table row each

using STORE = ZU_SEXP* (*)(ZU_INTERPRETER* z, ZUISP_ENV* env, ZU_SEXP* form, ZU_SEXP* v);

struct KEYWORD {
  const char* name;
  const char* err_name;  // function name in its errors
  int type;              // the argument's type
  STORE store;
};

int32_t low32(ZU_SEXP* v) { return static_cast<int32_t>(v->integer.num); }
L_CHAR* text_copy(ZU_SEXP* v) { return ll_copy_str(str_text(v)); }

using Z = ZU_INTERPRETER;

constexpr KEYWORD kKeywords[] = {
    {"Port", "Port", ZU_TYPE_INTEGER,
     [](Z* z, ZUISP_ENV*, ZU_SEXP*, ZU_SEXP* v) { return set_field(z, &Z::port, low32(v)); }},
    {"IP", "IP", ZU_TYPE_INTEGER,
     [](Z* z, ZUISP_ENV*, ZU_SEXP*, ZU_SEXP* v) { return set_field(z, &Z::ip, low32(v)); }},
    {"HostName", "HostName", ZU_TYPE_STRING,
     [](Z* z, ZUISP_ENV*, ZU_SEXP*, ZU_SEXP* v) { return set_text(z, &Z::hostname, text_copy(v)); }},
    {"MaxConnection", "MaxConnection", ZU_TYPE_INTEGER,
     [](Z* z, ZUISP_ENV*, ZU_SEXP*, ZU_SEXP* v) { return set_field(z, &Z::max_connection, low32(v)); }},
    {"InputFileName", "InputFileName", ZU_TYPE_STRING,
     [](Z* z, ZUISP_ENV*, ZU_SEXP*, ZU_SEXP* v) { return set_text(z, &Z::input_file_name, text_copy(v)); }},
    {"OutputFileName", "OutputFileName", ZU_TYPE_STRING,
     [](Z* z, ZUISP_ENV*, ZU_SEXP*, ZU_SEXP* v) { return set_text(z, &Z::output_file_name, text_copy(v)); }},
    {"ErrorFileName", "ErrorFileName", ZU_TYPE_STRING,
     [](Z* z, ZUISP_ENV*, ZU_SEXP*, ZU_SEXP* v) { return set_text(z, &Z::error_file_name, text_copy(v)); }},
    {"ConnectionTimeout", "ConnectionTimeout", ZU_TYPE_INTEGER,
     [](Z* z, ZUISP_ENV* env, ZU_SEXP*, ZU_SEXP* v) {
       return set_field(z, &Z::connection_timeout, timeout_ticks(env, v));
     }},
    {"SilentTimeout", "SilentTimeout", ZU_TYPE_INTEGER,
     [](Z* z, ZUISP_ENV* env, ZU_SEXP*, ZU_SEXP* v) {
       return set_field(z, &Z::silent_timeout, timeout_ticks(env, v));
     }},
    {"Environment", "Environment", ZU_TYPE_STRING,
     [](Z* z, ZUISP_ENV*, ZU_SEXP* form, ZU_SEXP* v) {
       int e;
       if (!find_word(kEnvironments, str_text(v), &e)) return error_at(form, ZU_ER_PARAM, "Environment", v);
       return set_field(z, &Z::environment, e);
     }},
    {"InputDescripter", "InpDescripter", ZU_TYPE_INTEGER,
     [](Z* z, ZUISP_ENV*, ZU_SEXP*, ZU_SEXP* v) { return set_field(z, &Z::inp_desc, low32(v)); }},
    {"OutputDescripter", "OutDescripter", ZU_TYPE_INTEGER,
     [](Z* z, ZUISP_ENV*, ZU_SEXP*, ZU_SEXP* v) { return set_field(z, &Z::out_desc, low32(v)); }},
    {"ErrorDescripter", "ErrDescripter", ZU_TYPE_INTEGER,
     [](Z* z, ZUISP_ENV*, ZU_SEXP*, ZU_SEXP* v) { return set_field(z, &Z::err_desc, low32(v)); }},
    {"Type", "Type", ZU_TYPE_STRING,
     [](Z* z, ZUISP_ENV*, ZU_SEXP* form, ZU_SEXP* v) {
       int type;
       if (!find_word(kDescTypes, str_text(v), &type))
         return error_text_at(form, ZU_ER_PARAM, "Type in OpenInterpreter", "invalid Type");
       return set_field(z, &Z::desc_type, type);
     }},
    {"Result", "Result", ZU_TYPE_INTEGER,
     [](Z* z, ZUISP_ENV*, ZU_SEXP*, ZU_SEXP* v) {
       return set_field(z, &Z::result_flag, static_cast<char>(v->integer.num & 0xFF));
     }},
    {"FormatMode", "FormatMode", ZU_TYPE_STRING,
     [](Z* z, ZUISP_ENV*, ZU_SEXP* form, ZU_SEXP* v) {
       int mode;
       if (!find_word(kFormats, str_text(v), &mode))
         return error_at(form, ZU_ER_PARAM, "FormatMode", data_list("invalid format mode", v));
       return set_field(z, &Z::ps_flags, (z->ps_flags & ~3) | mode);
     }},
    {"FormatIndent", "FormatIndent", ZU_TYPE_INTEGER,
     [](Z* z, ZUISP_ENV*, ZU_SEXP*, ZU_SEXP* v) {
       return set_field(z, &Z::ps_flags, z->ps_flags | (v->integer.num != 0 ? 0x80 : 0));
     }},
};

template <size_t I>
ZU_SEXP* zu_keyword(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  const KEYWORD& k = kKeywords[I];
  ZU_SEXP* err;
  ZU_INTERPRETER* z = record_of(env, form, &err);
  if (err) return err;
  if (!z) return nullptr;
  ZU_SEXP* v = get_el(form, 1);
  if (get_type(v) != k.type) return error_text_at(form, ZU_ER_TYPE, k.err_name, nullptr);
  return k.store(z, env, form, v);
}

template <size_t... I>
void bind_keywords(ZUISP_ENV* env, std::index_sequence<I...>) {
  static const QN_PRIM_DEF defs[] = {{kKeywords[I].name, zu_keyword<I>, 1, 2, 2, 0}..., {}};
  bind_prims(env, defs);
}

// ---- Permission with its rules

ZU_SEXP* zui_type_error(ZU_SEXP* form, const char* func) {
  return error_list_at(form, ZU_ER_TYPE, func, "__zui type missmatch");
}

// An address or mask: a dotted text as inet_aton reads it, or an integer's
// low 32 bits.
bool address_of(ZU_SEXP* v, uint32_t* out) {
  if (get_type(v) == ZU_TYPE_INTEGER) {
    *out = static_cast<uint32_t>(v->integer.num);
    return true;
  }
  in_addr a;
  if (!is_string(v) || inet_aton(n_string(std_cm, str_text(v)), &a) == 0) return false;
  *out = ntohl(a.s_addr);
  return true;
}

ZU_SEXP* access_rule(ZUISP_ENV* env, ZU_SEXP* form, int result) {
  ZU_SEXP* err;
  ZU_INTERPRETER* z = record_of(env, form, &err);
  if (err) return err;
  if (!z) return zui_type_error(form, "allow/deny");
  ZU_SEXP* word = get_el(form, 1);
  if (!is_string(word)) return error_list_at(form, ZU_ER_TYPE, "allow/deny", "type missmatch");
  // Rules go to the entry that the enclosing Permission made.
  ACCESS_PERMISSION* ap = z->pl_tail ? &z->pl_tail->ap : nullptr;
  const L_CHAR* w = str_text(word);
  if (zu_wcmp_ascii(w, "ip") == 0) {
    uint32_t ip, mask;
    if (!address_of(get_el(form, 2), &ip) || !address_of(get_el(form, 3), &mask))
      return error_list_at(form, ZU_ER_TYPE, "allow/deny", "type missmatch");
    if (ap) insert_access_list_v4(ap, ip, mask, 0, 0, result);
  } else if (zu_wcmp_ascii(w, "domain") == 0) {
    ZU_SEXP* suffix = get_el(form, 2);
    if (!is_string(suffix)) return error_list_at(form, ZU_ER_TYPE, "allow/deny", "type missmatch");
    if (ap) insert_access_list(ap, nullptr, nullptr, n_string(std_cm, str_text(suffix)), 0, 0, result);
  } else if (zu_wcmp_ascii(w, "all") == 0) {
    if (ap) insert_access_list(ap, nullptr, nullptr, nullptr, 0, 0, result);
  } else {
    return error_at(form, ZU_ER_PARAM, "allow/deny", data_list("invalid type", word));
  }
  return nullptr;
}

ZU_SEXP* zu_Allow(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  return access_rule(env, form, 1);
}
ZU_SEXP* zu_Deny(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  return access_rule(env, form, 0);
}

ZU_SEXP* zu_Permission(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* rules, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* names = eval(env, get_el(form, 1));
  int t = get_type(names);
  if (t == ZU_TYPE_ERROR) return names;
  if (t != ZU_TYPE_LIST && t != ZU_TYPE_NULL) return error_text_at(form, ZU_ER_TYPE, "Permission", "type missmatch");
  for (ZU_SEXP* n = names; get_type(n) == ZU_TYPE_LIST; n = n->pair.cdr) {
    int nt = get_type(n->pair.car);
    if (nt == ZU_TYPE_ERROR) return n->pair.car;
    if (nt != ZU_TYPE_STRING) return error_text_at(form, ZU_ER_TYPE, "Permission", "type missmatch");
  }
  ZU_SEXP* err;
  ZU_INTERPRETER* z = record_of(env, form, &err);
  if (err) return err;
  if (!z) return zui_type_error(form, "Permission");
  new_permission_list(z, names);
  ZUISP_ENV* pair = new_env_pair(rules, env);
  for (ZU_SEXP* r = cdr(form->pair.cdr); get_type(r) == ZU_TYPE_LIST; r = r->pair.cdr) {
    ZU_SEXP* v = eval(pair, r->pair.car);
    if (get_type(v) == ZU_TYPE_ERROR) return v;
  }
  return nullptr;
}

// ---- OpenInterpreter

// The record's kind and streams from the kind word; an error value when
// the word names no kind or a pipe has no handed-over streams.
ZU_SEXP* set_kind(ZU_INTERPRETER* z, ZU_SEXP* form, const L_CHAR* word) {
  int kind;
  if (!find_word(kKinds, word, &kind))
    return error_text_at(form, ZU_ER_PARAM, "OpenInterpreter", "interpreter accept type");
  z->a_type = static_cast<char>(kind);
  if (kind != ZUI_PIPE) return nullptr;
  if (recv_streams_len < 1)
    return error_text_at(form, ZU_ER_PARAM, "RecvStream in OpenInterpreter", "No recieved streams");
  z->inp = recv_streams[0];
  z->out = recv_streams_len > 1 ? recv_streams[1] : recv_streams[0];
  return nullptr;
}

// The pointer value that names a record being made: it finds no record
// once the options have run, however they end.
struct RecordHandle {
  ZU_SEXP* v;
  ~RecordHandle() { handle_ptr(v).store(nullptr); }
};

// Evaluates the option forms with "__zui" naming z; the first error.
ZU_SEXP* run_options(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* keywords, ZU_INTERPRETER* z) {
  ZUISP_ENV* own = new_env(env);
  RecordHandle handle{get_ptr(z, nullptr)};
  ZU_ATOM* name = get_symbol_ascii("__zui")->symbol.atom;
  bind_agent_atom(own, name, handle.v);
  ZUISP_ENV* pair = new_env_pair(keywords, own);
  ZU_SEXP* result = nullptr;
  SettingUp mine(z);
  for (ZU_SEXP* o = cdr(cdr(form->pair.cdr)); get_type(o) == ZU_TYPE_LIST; o = o->pair.cdr) {
    ZU_SEXP* v = eval(pair, o->pair.car);
    if (get_type(v) == ZU_TYPE_ERROR) {
      result = v;
      break;
    }
  }
  // Whatever kept the environment or the pointer value finds no record.
  (void)del_env_atom(own, name);  // an environment of its own: nothing refuses
  return result;
}

// What an interpreter's streams are opened on, kept for the words of a
// failure: the record itself is gone by then.
struct StreamTarget {
  char kind;
  std::string host;
  int port;

  explicit StreamTarget(const ZU_INTERPRETER* z) : kind(z->a_type), host(host_of(z)), port(z->port) {}
  bool network() const { return kind == ZUI_ACCEPT || kind == ZUI_IPC || kind == ZUI_CONNECT; }
  // A port that a listener can bind or a connection can reach.
  bool port_sound() const { return port >= 1 && port <= kMaxPort; }

  static constexpr int kMaxPort = 65535;

 private:
  // The host named, or the address given as a number.
  static std::string host_of(const ZU_INTERPRETER* z) {
    if (z->hostname) return n_string(std_cm, z->hostname);
    in_addr a{htonl(static_cast<uint32_t>(z->ip))};
    char text[INET_ADDRSTRLEN] = "";
    return inet_ntop(AF_INET, &a, text, sizeof text) ? text : "";
  }
};

// "cannot access the stream" with what went wrong after it: where (the
// port, or the peer's host and port) and why (the system's reason, or the
// peer's answer).
ZU_SEXP* stream_refused(ZU_SEXP* form, const StreamTarget& t, int result, int err) {
  std::string why;
  if (t.network() && !t.port_sound()) {
    why = "bad port " + std::to_string(t.port);
  } else {
    const char* said = result == ZUI_ERR_BUSY       ? "the peer is busy"
                       : result == ZUI_ERR_DENIED   ? "the peer denied the link"
                       : result == ZUI_ERR_SHUTDOWN ? "the agent is ending"
                       : err != 0                   ? std::strerror(err)
                                                    : "no reason given";
    if (t.kind == ZUI_CONNECT) why = t.host + ":" + std::to_string(t.port) + ": ";
    else if (t.network()) why = "port " + std::to_string(t.port) + ": ";
    why += said;
  }
  return error_at(form, ZU_ER_STREAM, "OpenInterpreter", data_list("cannot access the stream", why.c_str()));
}

ZU_SEXP* zu_OpenInterpreter(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* keywords, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* kind = eval(env, get_el(form, 1));
  if (get_type(kind) == ZU_TYPE_ERROR) return kind;
  if (!is_string(kind)) return error_text_at(form, ZU_ER_TYPE, "OpenInterpreter", "first argment(interpreter type)");
  ZU_SEXP* ev = eval(env, get_el(form, 2));
  int et = get_type(ev);
  if (et == ZU_TYPE_ERROR) return ev;
  if (et != ZU_TYPE_ENV && et != ZU_TYPE_NULL)
    return error_text_at(form, ZU_ER_TYPE, "OpenInterpreter", "first argment(interpreter environment)");
  // The record is this call's until setup_i takes it, also when a refusal
  // for memory ends the call.
  Owned<ZU_INTERPRETER, free_zu_interpreter> made(new_zu_interpreter());
  ZU_INTERPRETER* z = made.get();
  if (ZU_SEXP* e = set_kind(z, form, str_text(kind))) return e;
  // A peer may have the agent connect to another agent (the link is that
  // peer's); files, the terminal, descriptors, pipes and listening ports
  // are the agent's.
  if (evaluates_for_peer() && z->a_type != ZUI_CONNECT) return peer_power_refused(form, "OpenInterpreter");
  // Without an environment the interpreter evaluates in an empty one.
  z->env = et == ZU_TYPE_ENV ? ev->env : new_env(nullptr);
  if (ZU_SEXP* e = run_options(env, form, keywords, z)) return e;
  const StreamTarget target(z);
  // A port out of range is never tried: a connection would reach another
  // port (its low 16 bits), a listener none.
  if (target.network() && !target.port_sound()) return stream_refused(form, target, 0, 0);
  errno = 0;
  int iid = setup_i(made.release());  // the record is the runtime's from here
  const int err = errno;
  if (iid == ZUI_ERR_PEER_LIMIT) return error_text_at(form, ZU_ER_LAUNCH, "OpenInterpreter", "cannot start a thread");
  if (iid < 0) return stream_refused(form, target, iid, err);
  return get_integer(iid, nullptr);
}

// ---- the others

// An integer (clamped into int range) or a floating number truncated
// toward zero; false for another type or a floating number out of range.
bool iid_of(ZU_SEXP* v, int* out) {
  switch (get_type(v)) {
    case ZU_TYPE_INTEGER:
      *out = static_cast<int>(std::clamp<int64_t>(v->integer.num, INT_MIN, INT_MAX));
      return true;
    case ZU_TYPE_FLOATING: {
      double d = std::trunc(v->floating.num);
      if (!(d >= INT_MIN && d <= INT_MAX)) return false;
      *out = static_cast<int>(d);
      return true;
    }
    default:
      return false;
  }
}

ZU_SEXP* zu_CloseInterpreter(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* v = get_el(form, 1);
  if (!is_integer(v)) return error_text_at(form, ZU_ER_TYPE, "CloseInterpreter", nullptr);
  int iid = static_cast<int>(std::clamp<int64_t>(v->integer.num, INT_MIN, INT_MAX));
  if (!may_act_on_zui(iid)) return peer_not_own(form, "CloseInterpreter");
  close_interpreter(iid);
  return nullptr;
}

ZU_SEXP* zu_WaitInterpreter(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  int iid;
  if (!iid_of(get_el(form, 1), &iid)) return error_text_at(form, ZU_ER_TYPE, "WaitInterpreter", nullptr);
  if (iid < 0) return error_text_at(form, ZU_ER_PARAM, "WaitInterpreter", nullptr);
  // The waiter's own stop (a cancel, its link closed or given way, the
  // end) ends the wait, however long the other interpreter lives.
  while (!wait_stop_interpreter(iid, kWaitStopCheckSeconds))
    if (ZU_SEXP* stop = do_break_check_now(form)) return stop;
  return nullptr;
}

ZU_SEXP* zu_GetIid(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  return get_integer(get_my_iid(), nullptr);
}

ZU_SEXP* zu_GetMainInterpreter(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  int iid = get_main_interpreter();
  if (iid < 0) return error_text_at(form, ZU_ER_UNDEFINED, "GetMainInterpreter", "undefined main interpreter");
  return get_integer(iid, nullptr);
}

ZU_SEXP* zu_SetMainInterpreter(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* v = get_el(form, 1);
  int iid;
  if (!iid_of(v, &iid)) return error_at(form, ZU_ER_TYPE, "MainInterpreter", data_list("type missmatch", v));
  if (set_main_interpreter(iid) < 0) return error_text_at(form, ZU_ER_UNDEFINED, "MainInterpreter", "undefined iid");
  return nullptr;
}

const QN_PRIM_DEF kPermissionRules[] = {{"Allow", zu_Allow, 1, 2, 4, 0}, {"Deny", zu_Deny, 1, 2, 4, 0}, {}};
const QN_PRIM_DEF kCloseInterpreter[] = {{"CloseInterpreter", zu_CloseInterpreter, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kWaitInterpreter[] = {{"WaitInterpreter", zu_WaitInterpreter, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kGetIid[] = {{"GetIid", zu_GetIid, 1, 1, 1, T}, {}};
const QN_PRIM_DEF kGetMainInterpreter[] = {{"GetMainInterpreter", zu_GetMainInterpreter, 1, 1, 1, T}, {}};
const QN_PRIM_DEF kSetMainInterpreter[] = {{"SetMainInterpreter", zu_SetMainInterpreter, 1, 2, 2, 0}, {}};

}  // namespace

void init_OpenInterpreter(ZUISP_ENV* env) {
  GcFrame frame("init_OpenInterpreter");
  // The options live in an environment of their own that the function
  // value carries; Permission carries Allow and Deny the same way.
  ZUISP_ENV* keywords = new_env(nullptr);
  bind_keywords(keywords, std::make_index_sequence<std::size(kKeywords)>());
  ZUISP_ENV* rules = new_env(nullptr);
  bind_prims(rules, kPermissionRules);
  bind_builtin(keywords, "Permission", get_func_prim(zu_Permission, 0, rules, 2, -1));
  // Every listener's options and rules are read through them: nobody
  // writes them after this.
  seal_env(rules);
  seal_env(keywords);
  bind_builtin(env, "OpenInterpreter", get_func_prim(zu_OpenInterpreter, 0, keywords, 3, -1));
}
void init_CloseInterpreter(ZUISP_ENV* env) { bind_prims(env, kCloseInterpreter); }
void init_WaitInterpreter(ZUISP_ENV* env) { bind_prims(env, kWaitInterpreter); }
void init_GetIid(ZUISP_ENV* env) { bind_prims(env, kGetIid); }
void init_GetMainInterpreter(ZUISP_ENV* env) { bind_prims(env, kGetMainInterpreter); }
void init_SetMainInterpreter(ZUISP_ENV* env) { bind_prims(env, kSetMainInterpreter); }
