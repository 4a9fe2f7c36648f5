// ComposePath, Directory, Leaf, Prefix and Trunc: path texts cut and joined
// as wide strings, "/" the only separator. Nothing here looks at the disk.
#include <cmath>
#include <string_view>

#include "runtime/docpath.h"
#include "stream/url.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zulib/files.h"
#include "zulib/files_impl.h"
#include "zulib/library.h"

namespace {

using WView = std::basic_string_view<L_CHAR>;
constexpr size_t npos = WView::npos;

WView text_of(ZU_SEXP* s) { return WView(str_text(s)); }
ZU_SEXP* string_of(WView v) { return get_string_len(v.data(), v.size()); }

ZU_SEXP* zu_ComposePath(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* base = get_el(form, 1);
  ZU_SEXP* rel = get_el(form, 2);
  if (!is_string(base) || !is_string(rel)) return error_text_at(form, ZU_ER_TYPE, "ComposePath", nullptr);
  Tagged<L_CHAR> r(compose_path(str_text(base), str_text(rel)));
  if (!r) return error_text_at(form, ZU_ER_PARAM, "ComposePath", "invalid path argments");
  return get_string(r.get());
}

ZU_SEXP* zu_Directory(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  const L_CHAR* mode = head_option(sf, "mode");
  bool url = option_is(mode, "URL");
  if (mode && !url && !option_is(mode, "name"))
    return error_text_at(form, ZU_ER_PARAM, "Directory", "invalid attribute mode");
  ZU_SEXP* path = get_el(form, 1);
  if (!is_string(path)) return error_text_at(form, ZU_ER_TYPE, "Directory", "type missmatch");
  if (url) {
    Tagged<L_CHAR> u(get_url_path(str_text(path), nullptr));
    return u ? get_string(u.get()) : nullptr;
  }
  WView t = text_of(path);
  size_t slash = t.rfind('/');
  if (slash == npos) return get_string_ascii(".");
  return string_of(t.substr(0, slash + 1));
}

// Forward: a leading "/" skipped, then n components dropped from the front.
// Backward: a trailing "/" ignored, n components dropped from the end with
// the "/" before each.
WView leaf(WView t, int64_t n, bool forward) {
  if (forward) {
    if (!t.empty() && t[0] == '/') t.remove_prefix(1);
    for (; n > 0; --n) {
      size_t slash = t.find('/');
      if (slash == npos) return {};
      t.remove_prefix(slash + 1);
    }
    return t;
  }
  if (!t.empty() && t.back() == '/') t.remove_suffix(1);
  for (; n > 0; --n) {
    size_t slash = t.rfind('/');
    if (slash == npos) return {};
    t = t.substr(0, slash);
  }
  return t;
}

ZU_SEXP* zu_Leaf(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  ZU_SEXP* count = get_el(form, 1);
  ZU_SEXP* path = get_el(form, 2);
  int64_t n = 0;
  switch (get_type(count)) {
    case ZU_TYPE_INTEGER:
      n = count->integer.num;
      break;
    case ZU_TYPE_FLOATING: {
      double d = std::trunc(count->floating.num);
      n = d >= 0 && d < 1e18 ? static_cast<int64_t>(d) : (d >= 1e18 ? INT64_MAX : 0);
      break;
    }
    default:
      return error_text_at(form, ZU_ER_TYPE, "Leaf", nullptr);
  }
  if (!is_string(path)) return error_text_at(form, ZU_ER_TYPE, "Leaf", nullptr);
  const L_CHAR* dir = head_option(sf, "dir");
  return string_of(leaf(text_of(path), n, !dir || option_is(dir, "forward")));
}

ZU_SEXP* zu_Prefix(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* path = get_el(form, 1);
  if (!is_string(path)) return error_text_at(form, ZU_ER_TYPE, "Prefix", nullptr);
  WView t = text_of(path);
  size_t at = t.find_last_of(WView(l_string(std_cm, "./")));
  if (at == npos || t[at] == '/') return get_string_ascii("");
  return string_of(t.substr(at));
}

ZU_SEXP* zu_Trunc(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* s = get_el(form, 1);
  ZU_SEXP* suffix = get_el(form, 2);
  if (!is_string(s) || !is_string(suffix)) return error_text_at(form, ZU_ER_TYPE, "Trunc", nullptr);
  WView t = text_of(s), x = text_of(suffix);
  if (x.size() > t.size() || t.substr(t.size() - x.size()) != x) return s;
  return string_of(t.substr(0, t.size() - x.size()));
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kComposePath[] = {{"ComposePath", zu_ComposePath, 1, 3, 3, T}, {}};
const QN_PRIM_DEF kDirectory[] = {{"Directory", zu_Directory, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kLeaf[] = {{"Leaf", zu_Leaf, 1, 3, 3, T}, {}};
const QN_PRIM_DEF kPrefix[] = {{"Prefix", zu_Prefix, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kTrunc[] = {{"Trunc", zu_Trunc, 1, 3, 3, T}, {}};

}  // namespace

void init_ComposePath(ZUISP_ENV* env) { bind_prims(env, kComposePath); }
void init_Directory(ZUISP_ENV* env) { bind_prims(env, kDirectory); }
void init_Leaf(ZUISP_ENV* env) { bind_prims(env, kLeaf); }
void init_Prefix(ZUISP_ENV* env) { bind_prims(env, kPrefix); }
void init_Trunc(ZUISP_ENV* env) { bind_prims(env, kTrunc); }
