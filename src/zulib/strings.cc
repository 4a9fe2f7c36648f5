// CutOut, CutString, StringLength, GetChar and SetChar.
#include <algorithm>

#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zulib/strings.h"

namespace {

// Members at positions start..end of a list (end included; no end: all
// the rest).
ZU_SEXP* cut_list(ZU_SEXP* x, int32_t start, bool has_end, int32_t end) {
  ListBuilder out;
  int64_t pos = 0;
  for (ZU_SEXP* p = x; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr, ++pos) {
    if (has_end && pos > end) break;
    if (pos >= start) out.add(p->pair.car);
  }
  return out.head;
}

ZU_SEXP* zu_CutOut(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* x = get_el(form, 1);
  ZU_SEXP* s = get_el(form, 2);
  bool has_end = list_length(form) == 4;
  ZU_SEXP* e = get_el(form, 3);
  if (!is_integer(s) || (has_end && !is_integer(e))) return error_text_at(form, ZU_ER_TYPE, "CutOut", nullptr);
  // Positions are the low 32 bits of the integers.
  auto start = static_cast<int32_t>(s->integer.num);
  auto end = has_end ? static_cast<int32_t>(e->integer.num) : 0;
  if (has_end && start > end) return error_text_at(form, ZU_ER_PARAM, "CutOut", nullptr);
  switch (get_type(x)) {
    case ZU_TYPE_NULL:
    case ZU_TYPE_LIST:
      return cut_list(x, start, has_end, end);
    case ZU_TYPE_RAW: {
      // Bytes start..end, end excluded.
      uint32_t size = x->raw.size;
      if (start < 0 || static_cast<uint32_t>(start) > size) return error_text_at(form, ZU_ER_PARAM, "CutOut", nullptr);
      uint32_t stop = !has_end || static_cast<uint32_t>(end) >= size ? size : static_cast<uint32_t>(end);
      return get_raw(x->raw.data + start, stop - static_cast<uint32_t>(start));
    }
    default:
      return error_text_at(form, ZU_ER_TYPE, "CutOut", nullptr);
  }
}

ZU_SEXP* zu_CutString(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* s = get_el(form, 1);
  ZU_SEXP* start = get_el(form, 2);
  ZU_SEXP* count = get_el(form, 3);
  auto fail = [form](uint32_t code) {
    return error_at(form, code, "CutString", data_list("invalid argument in CutString", form));
  };
  if (get_type(s) != ZU_TYPE_STRING || !is_integer(start) || !is_integer(count)) return fail(ZU_ER_TYPE);
  const L_CHAR* t = str_text(s);
  size_t len = l_strlen(t);
  if (len == 0) return get_string_ascii("");
  if (start->integer.num < 0 || count->integer.num < 0) return fail(ZU_ER_PARAM);
  auto from = static_cast<uint64_t>(start->integer.num);
  if (from >= len) return get_string_ascii("");
  size_t n = std::min<uint64_t>(static_cast<uint64_t>(count->integer.num), len - from);
  return get_string_len(t + from, n);
}

ZU_SEXP* zu_StringLength(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* s = get_el(form, 1);
  if (get_type(s) != ZU_TYPE_STRING)
    return error_list_at(form, ZU_ER_TYPE, "StringLength", "invalid string in StringLength argument");
  return get_integer(static_cast<int64_t>(l_strlen(str_text(s))), nullptr);
}

// The code at index; the index equal to the length reads the terminating 0.
ZU_SEXP* zu_GetChar(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* s = get_el(form, 1);
  ZU_SEXP* index = get_el(form, 2);
  constexpr const char* kData = "index error in GetChar argument";
  if (get_type(s) != ZU_TYPE_STRING || !is_integer(index)) return error_list_at(form, ZU_ER_TYPE, "GetChar", kData);
  const L_CHAR* t = str_text(s);
  int64_t i = index->integer.num;
  if (i < 0 || static_cast<uint64_t>(i) > l_strlen(t)) return error_list_at(form, ZU_ER_PARAM, "GetChar", kData);
  return get_integer(t[i], nullptr);
}

ZU_SEXP* zu_SetChar(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* code = get_el(form, 1);
  if (!is_integer(code)) return error_list_at(form, ZU_ER_TYPE, "SetChar", "index error in SetChar argument");
  auto c = static_cast<L_CHAR>(code->integer.num);
  return get_string_len(&c, 1);
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kCutOut[] = {{"CutOut", zu_CutOut, 1, 3, 4, T}, {}};
// CutString's errors hold its form, which must therefore live on the heap.
const QN_PRIM_DEF kCutString[] = {{"CutString", zu_CutString, 1, 4, 4, 0}, {}};
const QN_PRIM_DEF kStringLength[] = {{"StringLength", zu_StringLength, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kGetChar[] = {{"GetChar", zu_GetChar, 1, 3, 3, T}, {}};
const QN_PRIM_DEF kSetChar[] = {{"SetChar", zu_SetChar, 1, 2, 2, T}, {}};

}  // namespace

void init_CutOut(ZUISP_ENV* env) { bind_prims(env, kCutOut); }
void init_CutString(ZUISP_ENV* env) { bind_prims(env, kCutString); }
void init_StringLength(ZUISP_ENV* env) { bind_prims(env, kStringLength); }
void init_GetChar(ZUISP_ENV* env) { bind_prims(env, kGetChar); }
void init_SetChar(ZUISP_ENV* env) { bind_prims(env, kSetChar); }
