// The path settings of the interpreter runtime as scripts set them:
// directory pairs (SetDirectory, SetDatabasePath, GetZUpathpair), the path
// rules per file suffix (SetPrefixMode, GetPrefixMode), the log path and
// the script path. The tables live in the runtime, which guards them.
#include <string_view>

#include "runtime/docpath.h"
#include "runtime/log.h"
#include "runtime/script_path.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zulib/files.h"
#include "zulib/files_impl.h"
#include "zulib/library.h"

namespace {

ZU_SEXP* zu_SetDirectory(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  ZU_SEXP* dir = get_el(form, 1);
  const L_CHAR* url = head_option(sf, "url");
  if (!url) return error_text_at(form, ZU_ER_PARAM, "SetDirectory", "invalid path url");
  if (!is_string(dir)) return error_text_at(form, ZU_ER_TYPE, "SetDirectory", "type missmatch");
  if (Reg_List_pathpair(str_text(dir), url) < 0)
    return error_text_at(form, ZU_ER_PARAM, "SetDirectory", "Failed registory path_pair");
  return list(dir);
}

ZU_SEXP* zu_SetDatabasePath(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* x = get_el(form, 1);
  bool two = list_length(form) == 3;
  ZU_SEXP* file = get_el(form, 2);
  if (!is_string(x) || (two && !is_string(file)))
    return error_text_at(form, ZU_ER_TYPE, "SetDatabasePath", "type missmatch");
  if (!two) return list(x);
  std::basic_string_view<L_CHAR> f(str_text(file));
  size_t slash = f.rfind('/');
  std::basic_string<L_CHAR> dir = slash == f.npos ? std::basic_string<L_CHAR>(1, '/')
                                                  : std::basic_string<L_CHAR>(f.substr(0, slash + 1));
  if (Reg_List_pathpair(dir.c_str(), l_string(std_cm, "/")) < 0)
    return error_text_at(form, ZU_ER_PARAM, "SetDatabasePath", "Failed registory path_pair");
  return nullptr;
}

ZU_SEXP* zu_GetZUpathpair(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* dir = get_el(form, 1);
  if (!is_string(dir)) return error_text_at(form, ZU_ER_TYPE, "GetZUpathpair", "type missmatch");
  return get_pathpair(str_text(dir));
}

// Rule flags: the search order in the low two bits (starting at "zudocs
// only"), then the URL and full-path locks, changed by the attributes in
// the order they are written.
int prefix_mode_flags(ZU_SYM_FIELD* sf) {
  int flags = GF_DOCS;
  for (ZU_SYM_FIELD* f = sf; f; f = f->next) {
    if (!f->name) continue;
    auto order = [&](int o) { flags = (flags & ~GF_ORDER) | o; };
    if (zu_wcmp_ascii(f->name, "zusys") == 0) {
      if (option_is(f->value, "precedence")) order(GF_SYS_DOCS);
      else if (option_is(f->value, "only")) order(GF_SYS);
    } else if (zu_wcmp_ascii(f->name, "zudocs") == 0) {
      if (option_is(f->value, "precedence")) order(GF_DOCS_SYS);
      else if (option_is(f->value, "only")) order(GF_DOCS);
    } else if (zu_wcmp_ascii(f->name, "lock") == 0) {
      if (option_is(f->value, "full")) flags = (flags & ~GF_LOCK_URL) | GF_LOCK_FULL;
      else if (option_is(f->value, "url")) flags = (flags & ~GF_LOCK_FULL) | GF_LOCK_URL;
      else if (option_is(f->value, "off")) flags &= ~(GF_LOCK_URL | GF_LOCK_FULL);
    }
  }
  return flags;
}

ZU_SEXP* zu_SetPrefixMode(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  ZU_SEXP* suffix = get_el(form, 1);
  ZU_SEXP* agent = get_el(form, 2);
  ZU_SEXP* mode = get_el(form, 3);
  ZU_SEXP* cmds = cdr(cdr(cdr(form->pair.cdr)));
  bool ok = is_string(suffix) && is_string(agent) && is_string(mode);
  for (ZU_SEXP* c = cmds; ok && get_type(c) == ZU_TYPE_LIST; c = c->pair.cdr) ok = is_string(c->pair.car);
  if (!ok) return error_text_at(form, ZU_ER_TYPE, "SetPrefixMode", "type missmatch");
  ZU_SEXP* r = insert_getfile(str_text(suffix), str_text(agent), str_text(mode), prefix_mode_flags(sf), cmds);
  if (get_type(r) == ZU_TYPE_ERROR) return r;
  return suffix;
}

ZU_SEXP* zu_GetPrefixMode(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* suffix = get_el(form, 1);
  if (!is_string(suffix)) return error_text_at(form, ZU_ER_TYPE, "GetPrefixMode", "type missmatch");
  ZU_SEXP* r = nullptr;
  // Each rule goes in front: the list ends up in the reverse of the
  // table's order.
  // A null start means the head of the chain, so the walk stops at its end.
  for (ZU_GETFILE* g = search_getfile_by_prefix(str_text(suffix), nullptr); g;
       g = g->next ? search_getfile_by_prefix(str_text(suffix), g->next) : nullptr) {
    ZU_SEXP* entry = List(get_string(g->prefix), get_string(g->agent), get_string(g->mode),
                          get_integer(g->flags, nullptr), list(get_string(g->cmd_sym)), ZU_LIST_END);
    r = cons(entry, r);
  }
  return r;
}

ZU_SEXP* zu_SetLogPath(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* path = get_el(form, 1);
  ZU_SEXP* size = get_el(form, 2);
  ZU_SEXP* divisions = get_el(form, 3);
  if (!is_string(path) || get_type(size) != ZU_TYPE_INTEGER || get_type(divisions) != ZU_TYPE_INTEGER)
    return error_text_at(form, ZU_ER_TYPE, "SetLogPath", nullptr);
  set_log_path(str_text(path), static_cast<int32_t>(size->integer.num),
               static_cast<int32_t>(divisions->integer.num));
  return nullptr;
}

ZU_SEXP* zu_SetScriptPath(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* path = get_el(form, 1);
  if (!is_string(path)) return error_text_at(form, ZU_ER_TYPE, "SetScriptPath", "type missmatch");
  set_script_path(str_text(path));
  return nullptr;
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kSetDirectory[] = {{"SetDirectory", zu_SetDirectory, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kSetDatabasePath[] = {{"SetDatabasePath", zu_SetDatabasePath, 1, 2, 3, T}, {}};
const QN_PRIM_DEF kGetZUpathpair[] = {{"GetZUpathpair", zu_GetZUpathpair, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kSetPrefixMode[] = {{"SetPrefixMode", zu_SetPrefixMode, 1, 4, -1, T}, {}};
const QN_PRIM_DEF kGetPrefixMode[] = {{"GetPrefixMode", zu_GetPrefixMode, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kSetLogPath[] = {{"SetLogPath", zu_SetLogPath, 1, 4, 4, T}, {}};
const QN_PRIM_DEF kSetScriptPath[] = {{"SetScriptPath", zu_SetScriptPath, 1, 2, 2, T}, {}};

}  // namespace

void init_SetDirectory(ZUISP_ENV* env) { bind_prims(env, kSetDirectory); }
void init_SetDatabasePath(ZUISP_ENV* env) { bind_prims(env, kSetDatabasePath); }
void init_GetZUpathpair(ZUISP_ENV* env) { bind_prims(env, kGetZUpathpair); }
void init_SetPrefixMode(ZUISP_ENV* env) { bind_prims(env, kSetPrefixMode); }
void init_GetPrefixMode(ZUISP_ENV* env) { bind_prims(env, kGetPrefixMode); }
void init_SetLogPath(ZUISP_ENV* env) { bind_prims(env, kSetLogPath); }
void init_SetScriptPath(ZUISP_ENV* env) { bind_prims(env, kSetScriptPath); }
