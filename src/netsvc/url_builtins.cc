// URLs from scripts: GetURL takes one apart, ComposeURL resolves a relative
// one against a base, URLStringCode and DecodeURLString percent-code text
// on the bytes of the standard encoding.
#include <string>

#include "base/alloc.h"
#include "netsvc/net_impl.h"
#include "netsvc/url_code.h"
#include "stream/url.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"

namespace {

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;

// A URL record freed when it goes out of scope.
struct ParsedUrl {
  URL u{};
  explicit ParsedUrl(const L_CHAR* text) { get_url2(&u, text); }
  ~ParsedUrl() { free_url(&u); }
  bool located() const { return u.proto || u.server || u.port; }
  bool fully_located() const { return u.proto && u.server && u.port; }
};

ZU_SEXP* text_or_nil(const L_CHAR* s) { return s ? get_string(s) : nullptr; }

// A string of the text that bytes (in the standard encoding) decode to.
ZU_SEXP* decoded_string(const std::string& bytes) {
  size_t len = 0;
  Tagged<L_CHAR> text(nl_copy_bytes(std_cm, bytes.data(), bytes.size(), &len));
  return get_string_len(text.get(), len);
}

ZU_SEXP* zu_GetURL(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* text = get_el(form, 1);
  if (!is_string(text)) return error_text_at(form, ZU_ER_TYPE, "GetURL", nullptr);
  ParsedUrl p(str_text(text));
  return List(text_or_nil(p.u.proto), text_or_nil(p.u.server), get_integer(p.u.port, nullptr),
              text_or_nil(p.u.db), text_or_nil(p.u.resource), ZU_LIST_END);
}

ZU_SEXP* zu_ComposeURL(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* base_text = get_el(form, 1);
  ZU_SEXP* rel_text = get_el(form, 2);
  if (!is_string(base_text) || !is_string(rel_text)) return error_text_at(form, ZU_ER_TYPE, "ComposeURL", nullptr);
  ParsedUrl base(str_text(base_text));
  ParsedUrl rel(str_text(rel_text));
  if (base.located() && rel.fully_located()) return rel_text;
  if (!base.located() || rel.located()) return error_text_at(form, ZU_ER_PARAM, "ComposeURL", "invalid path argments");
  URL out{};
  out.proto = base.u.proto;
  out.server = base.u.server;
  out.port = base.u.port;
  out.resource = rel.u.resource;
  // A base without a path stands at the root.
  static const L_CHAR kRoot[] = {'/', 0};
  Tagged<L_CHAR> db(rel.u.db ? compose_path(base.u.db ? base.u.db : kRoot, rel.u.db) : ll_copy_str(base.u.db));
  out.db = db.get();
  const L_CHAR* composed = db ? get_url_str2(&out) : nullptr;
  return composed ? get_string(composed) : error_text_at(form, ZU_ER_PARAM, "ComposeURL", "invalid path argments");
}

ZU_SEXP* zu_URLStringCode(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* text = get_el(form, 1);
  if (!is_string(text)) return error_text_at(form, ZU_ER_TYPE, "URLStringCode", "type missmatch");
  size_t len = 0;
  char* bytes = ln_copy_bytes(std_cm, str_text(text), &len);
  std::string coded;
  url_string_code(std::string_view(bytes, len), &coded);
  d_f_ree(bytes);
  return decoded_string(coded);
}

ZU_SEXP* zu_DecodeURLString(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* text = get_el(form, 1);
  if (!is_string(text)) return error_text_at(form, ZU_ER_TYPE, "DecodeURLString", "type missmatch");
  const L_CHAR* t = str_text(text);
  return decoded_string(decode_url_string(t, l_strlen(t)));
}

const QN_PRIM_DEF kGetURL[] = {{"GetURL", zu_GetURL, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kComposeURL[] = {{"ComposeURL", zu_ComposeURL, 1, 3, 3, 0}, {}};
const QN_PRIM_DEF kURLStringCode[] = {{"URLStringCode", zu_URLStringCode, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kDecodeURLString[] = {{"DecodeURLString", zu_DecodeURLString, 1, 2, 2, T}, {}};

}  // namespace

void init_GetURL(ZUISP_ENV* env) { bind_prims(env, kGetURL); }
void init_ComposeURL(ZUISP_ENV* env) { bind_prims(env, kComposeURL); }
void init_URLStringCode(ZUISP_ENV* env) { bind_prims(env, kURLStringCode); }
void init_DecodeURLString(ZUISP_ENV* env) { bind_prims(env, kDecodeURLString); }
