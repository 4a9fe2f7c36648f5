// qmxCreate: opening or creating a matrix file from a description, and the
// keywords of the description language (qmx_create.h).
#include "agent/qmx_create.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "agent/agent_impl.h"
#include "agent/mx_entry.h"
#include "base/alloc.h"
#include "matrix/mx_file.h"
#include "store/pdb64.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zu/printer.h"

namespace {

constexpr int kModes = 3;
constexpr const char* kEnvUse = "invalid emvironment use of qmx function";

// Work records are found through the environment's work pointer; a tag
// tells them apart from each other and from other commands' records.
constexpr uint32_t kCreateTag = 0x514d5843;  // "QMXC"
constexpr uint32_t kParamTag = 0x514d5850;   // "QMXP"

struct CREATE_WORK {
  uint32_t tag;
  MATRIX* mtx;
  int mode;                               // 1: the file existed
  int active_phase_mode;                  // -1, or the mode that also records active scripts
  uint8_t pri_active[kModes];
  int pri[kModes][kMxScriptSlots];
  uint8_t phase_active[kModes];
  ZU_SEXP* phase[kModes][kMxScriptSlots]; // reachable through ____gc_bind
  // Per mode, then the active slots (index kModes): 1 + the slot whose
  // script a slot takes through type="equ", 0 for none.
  uint8_t equ_of[kModes + 1][kMxScriptSlots];
  bool header_saved;                      // this call wrote the new file's header
};

struct MATRIX_PARAM_WORK {
  uint32_t tag;
  MATRIX_PARAM p;
  CREATE_WORK* cw;
};

// The create work of the description being run (also inside
// qmxMatrixParam), or null outside any.
CREATE_WORK* create_work(ZUISP_ENV* env) {
  void* w = get_env_work(env);
  if (!w) return nullptr;
  uint32_t tag;
  std::memcpy(&tag, w, sizeof tag);
  if (tag == kCreateTag) return static_cast<CREATE_WORK*>(w);
  if (tag == kParamTag) return static_cast<MATRIX_PARAM_WORK*>(w)->cw;
  return nullptr;
}

MATRIX_PARAM_WORK* param_work(ZUISP_ENV* env) {
  void* w = get_env_work(env);
  uint32_t tag = 0;
  if (w) std::memcpy(&tag, w, sizeof tag);
  return tag == kParamTag ? static_cast<MATRIX_PARAM_WORK*>(w) : nullptr;
}

// The environment of a keyword's body: the caller's names first, then the
// keywords; work is found there first.
ZUISP_ENV* body_env(ZUISP_ENV* env, ZUISP_ENV* args_env, void* work) {
  ZUISP_ENV* body = new_env(new_env_pair(env, args_env));
  set_env_work(body, work);
  return body;
}

bool switch_on(ZU_SYM_FIELD* sf, const char* name) { return option_is(head_option(sf, name), "on"); }

// A slot number attribute 0..23, or -1.
int slot_of(const L_CHAR* text) {
  int v = option_int(text);
  return v >= 0 && v < kMxScriptSlots ? v : -1;
}

// ---- opening

// The error of an opening outcome other than an existing or a new file;
// a file that could not be opened says why.
ZU_SEXP* header_error(ZU_SEXP* form, MATRIX* m, int r) {
  if (r == kMxFileBusy || r == kMxInvalidFile) return qmx_store_error(form, "qmxCreate", r);
  lock_task(mx_file_lock);
  const int err = m->open_errno;
  unlock_task(mx_file_lock, "qmxCreate");
  if (r == kMxCannotOpen && err)
    return error_at(form, ZU_ER_OPEN, "qmxCreate",
                    data_list("open file error", "load_matrix_header", r, std::strerror(err)));
  return error_at(form, ZU_ER_OPEN, "qmxCreate", data_list("open file error", "load_matrix_header", r));
}

// Runs the body forms; what each form leaves behind is dropped unless it
// is the error that stops the body.
ZU_SEXP* run_body(ZUISP_ENV* body, ZU_SEXP* forms) {
  for (ZU_SEXP* f = forms; get_type(f) == ZU_TYPE_LIST; f = f->pair.cdr) {
    size_t mark = gc_root_mark();
    ZU_SEXP* v = eval(body, f->pair.car);
    if (get_type(v) == ZU_TYPE_ERROR) return v;
    gc_root_release(mark, nullptr, nullptr);
  }
  return nullptr;
}

// Steps after the body: the header of a new file, the stored priorities and
// scripts, the current mode. Null, or an error (the caller closes).
ZU_SEXP* store_description(CREATE_WORK* cw, ZU_SEXP* form, bool new_file, int current) {
  static const char* const kPriData[] = {"mode pri direct", "mode pri server", "mode pri client"};
  static const char* const kPhaseData[] = {"mode phase(DIRECT save)", "mode phase(SERVER save)",
                                           "mode phase(CLIENT save)"};
  MATRIX* m = cw->mtx;
  // The new file is had again for its header: an opening refused then (its
  // named lock not had within the wait) answers as the first opening would.
  if (new_file) {
    const int r = save_matrix_header(m);
    if (r == -1) return error_at(form, ZU_ER_STORE, "qmxCreate", data_list("save_matrix_header", -1));
    if (r != 0) return header_error(form, m, r);
    cw->header_saved = true;
  }
  for (int mode = 0; mode < kModes; ++mode) {
    if (!cw->pri_active[mode]) continue;
    if (int r = save_mode_cal(m, mode, nullptr, cw->pri[mode]); r < 0)
      return error_at(form, ZU_ER_STORE, "qmxCreate/qmxMatrixParam/qmxPriority", data_list(kPriData[mode], r));
  }
  for (int mode = 0; mode < kModes; ++mode) {
    if (!cw->phase_active[mode]) continue;
    if (int r = save_mode_cal_sexp(m, mode, cw->phase[mode]); r < 0)
      return error_at(form, ZU_ER_STORE, "qmxCreate/qmxPhase", data_list(kPhaseData[mode], r));
  }
  if (current < 0) return nullptr;
  MATRIX_PARAM p{};
  ZU_SEXP* cals[kMxScriptSlots] = {};
  if (int r = load_mode_cal(cals, p.pri_area, m, current); r < 0) return qmx_store_error(form, "qmxCreate", r);
  if (int r = set_matrix_param(m, &p)) return qmx_store_error(form, "qmxCreate/set matrix_param", r);
  for (int slot = 0; slot < kMxScriptSlots; ++slot)
    if (int r = set_matrix_cal(m, slot, cals[slot]); r < 0) return qmx_store_error(form, "qmxCreate/set phase", r);
  return nullptr;
}

// A new matrix whose node is narrower than a parent's cell along some
// dimension (fewer block bits than divide bits) is refused: each parent
// cell would span several children, and a save script thins one child at
// a time. A node exactly as wide as a cell gives one parent element.
ZU_SEXP* geometry_refusal(MATRIX* m, ZU_SEXP* form) {
  int narrow = -1;
  lock_task(matrix_lock);
  for (int d = 0; d < m->p.dim && m->block_size && m->dim_divide && narrow < 0; ++d)
    if (m->block_size[d] < m->dim_divide[d]) narrow = d;
  unlock_task(matrix_lock, "qmxCreate");
  if (narrow < 0) return nullptr;
  return error_at(form, ZU_ER_PARAM, "qmxCreate",
                  data_list("invalida parameter", "qmxMatrixBlockSize below qmxMatrixDimDivide", narrow));
}

// ---- keywords

ZU_SEXP* env_error(ZU_SEXP* form, const char* func) { return error_text_at(form, ZU_ER_FORMAT, func, kEnvUse); }

ZU_SEXP* qn_qmxMatrixParam(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "qmxCreate/qmxMatrixParam";
  CREATE_WORK* cw = create_work(env);
  if (!cw) return env_error(form, kFunc);
  if (qmx_trace()) ss_printf("CW %p %i\n", static_cast<void*>(cw), cw->mode);
  if (cw->mode == 1) return nullptr;
  MATRIX_PARAM_WORK pw{};
  pw.tag = kParamTag;
  pw.cw = cw;
  const L_CHAR* channels = head_option(sf, "channel_nos");
  if (!channels) return error_text_at(form, ZU_ER_PARAM, kFunc, "channel_nos is required");
  if ((pw.p.channel_nos = option_int(channels)) <= 0)
    return error_text_at(form, ZU_ER_PARAM, kFunc, "invalid channel_nos value");
  const L_CHAR* dim = head_option(sf, "dim");
  if (!dim) return error_text_at(form, ZU_ER_PARAM, kFunc, "dim is required");
  if ((pw.p.dim = option_int(dim)) <= 0) return error_text_at(form, ZU_ER_PARAM, kFunc, "invalid dim value");
  if (switch_on(sf, "index_hem")) pw.p.flags |= kMxIndexHem;
  if (switch_on(sf, "cache_file")) pw.p.flags |= kMxCacheFile;
  ZU_SEXP* r = eval_body(body_env(env, args_env, &pw), form->pair.cdr);
  if (get_type(r) == ZU_TYPE_ERROR) return r;
  if (int s = set_matrix_param(cw->mtx, &pw.p); s < 0) return qmx_store_error(form, kFunc, s);
  return nullptr;
}

// A priority as written: decimal as every number of the description, or
// the "0x" hexadecimal form that qmxStatus prints priorities in, so a
// printed status creates a matrix with the same priorities.
int priority_value(const L_CHAR* text) {
  const L_CHAR* s = text;
  while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r') ++s;
  if (s[0] != '0' || (s[1] != 'x' && s[1] != 'X')) return option_int(text);
  uint64_t v = 0;
  auto digit = [](L_CHAR c) -> int {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
  };
  for (s += 2; digit(*s) >= 0; ++s) {
    v = v * 16 + static_cast<uint64_t>(digit(*s));
    if (v > 0xFFFFFFFFu) v = 0xFFFFFFFFu;  // held: "%x" prints at most 32 bits
  }
  // "%x" printed the priority's 32 bits, negative ones included.
  return static_cast<int>(static_cast<uint32_t>(v));
}

ZU_SEXP* qn_qmxPriority(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "qmxCreate/qmxMatrixParam/qmxPriority";
  MATRIX_PARAM_WORK* pw = param_work(env);
  if (!pw) return env_error(form, kFunc);
  const L_CHAR* area = head_option(sf, "area");
  if (!area) return error_text_at(form, ZU_ER_PARAM, kFunc, "area");
  int slot = slot_of(area);
  if (slot < 0) return error_text_at(form, ZU_ER_PARAM, kFunc, "area boudary error");
  const L_CHAR* pri = head_option(sf, "pri");
  if (!pri) return error_text_at(form, ZU_ER_PARAM, kFunc, "pri");
  const L_CHAR* mode = head_option(sf, "mode");
  if (!mode || option_is(mode, "active")) {
    pw->p.pri_area[slot] = priority_value(pri);
    return nullptr;
  }
  int n = qmx_mode_number(mode);
  if (n < 0) return error_text_at(form, ZU_ER_PARAM, kFunc, "mode value");
  pw->cw->pri[n][slot] = priority_value(pri);
  pw->cw->pri_active[n] = 1;
  return nullptr;
}

// qmxMatrixPixelSize, qmxMatrixBlockSize, qmxMatrixDimDivide: one row each.
struct SIZE_KEYWORD {
  const char* func;
  int (*set)(MATRIX* m, int dim, int value);
  int least;  // smaller values are description errors
};
int set_pixel(MATRIX* m, int d, int v) { return set_matrix_pixel_size(m, d, v); }
const SIZE_KEYWORD kPixelSize{"qmxCreate/qmxMatrixPixelSize", set_pixel, std::numeric_limits<int>::min()};
// A node is at least two elements wide in every dimension.
const SIZE_KEYWORD kBlockSize{"qmxCreate/qmxMatrixBlockSize", set_matrix_block_size, 1};
const SIZE_KEYWORD kDimDivide{"qmxCreate/qmxMatrixDimDivide", set_matrix_dim_divide, std::numeric_limits<int>::min()};

ZU_SEXP* size_keyword(const SIZE_KEYWORD& k, ZUISP_ENV* env, ZU_SEXP* form, ZU_SYM_FIELD* sf) {
  CREATE_WORK* cw = create_work(env);
  if (!cw) return env_error(form, k.func);
  if (cw->mode == 1) return nullptr;
  const L_CHAR* dim = head_option(sf, "dim");
  if (!dim) return error_text_at(form, ZU_ER_PARAM, k.func, "dim");
  const L_CHAR* value = head_option(sf, "value");
  if (!value) return error_text_at(form, ZU_ER_PARAM, k.func, "value");
  int v = option_int(value);
  if (v < k.least) return error_text_at(form, ZU_ER_PARAM, k.func, "invalid value");
  if (int r = k.set(cw->mtx, option_int(dim), v); r < 0) return qmx_store_error(form, k.func, r);
  return nullptr;
}

ZU_SEXP* qn_qmxMatrixPixelSize(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  return size_keyword(kPixelSize, env, form, sf);
}
ZU_SEXP* qn_qmxMatrixBlockSize(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  return size_keyword(kBlockSize, env, form, sf);
}
ZU_SEXP* qn_qmxMatrixDimDivide(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  return size_keyword(kDimDivide, env, form, sf);
}

// A whole number held inside the int64 range (NaN reads 0).
int64_t to_int64(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
  if (v <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

// The default datum of a channel of type tp made from v into buf (8 bytes)
// or, for a string channel, *text: 0, or -1 for a value the type cannot
// take.
int default_datum(MATRIX_DATA_TYPE* tp, ZU_SEXP* v, uint8_t* buf, std::string* text) {
  MATRIX_DATA_TYPE* et = tp->parent ? tp->parent : tp;
  int code = mx_scalar_code(et->type);
  int type = get_type(v);
  if (type == ZU_TYPE_STRING) {
    if (code != MX_TYPE_STRING) return -1;
    *text = n_string(utf8_cm, str_text(v));
    return 0;
  }
  if (type != ZU_TYPE_INTEGER && type != ZU_TYPE_FLOATING) return -1;
  double d = type == ZU_TYPE_INTEGER ? static_cast<double>(v->integer.num) : v->floating.num;
  if (code == MX_TYPE_FLOAT || code == MX_TYPE_DOUBLE) {
    float f = static_cast<float>(d);
    if (code == MX_TYPE_FLOAT) std::memcpy(buf, &f, sizeof f);
    else std::memcpy(buf, &d, sizeof d);
    return 0;
  }
  if (code == MX_TYPE_BLOCK || code == MX_TYPE_STRING || code == MX_TYPE_SEXP) return -1;
  int64_t size = et->get_size(et, nullptr);
  if (size != 1 && size != 2 && size != 4 && size != 8) return -1;
  if (type == ZU_TYPE_FLOATING && size == 8) {
    int64_t n = to_int64(d);
    std::memcpy(buf, &n, 8);
    return 0;
  }
  // Cut to the element's size: its low-order bytes.
  int64_t n = type == ZU_TYPE_INTEGER ? v->integer.num : to_int64(d);
  auto u = static_cast<uint64_t>(n);
  uint8_t u8 = static_cast<uint8_t>(u);
  uint16_t u16 = static_cast<uint16_t>(u);
  uint32_t u32 = static_cast<uint32_t>(u);
  const void* src = size == 1 ? static_cast<const void*>(&u8) : size == 2 ? static_cast<const void*>(&u16)
                    : size == 4 ? static_cast<const void*>(&u32) : static_cast<const void*>(&u);
  std::memcpy(buf, src, static_cast<size_t>(size));
  return 0;
}

ZU_SEXP* qn_qmxChannelInfo(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "qmxCreate/qmxChannelInfo";
  static const ATTR_FLAG_TBL kFlags[] = {{"send", kMxChSend}, {"file", kMxChFile}, {"visu", kMxChVisu},
                                         {"send_visu", kMxChSendVisu}, {"send_file", kMxChSendFile}, {nullptr, 0}};
  CREATE_WORK* cw = create_work(env);
  if (!cw) return env_error(form, kFunc);
  if (cw->mode == 1) return nullptr;
  const L_CHAR* channel = head_option(sf, "channel");
  if (!channel) return error_text_at(form, ZU_ER_PARAM, kFunc, "channel");
  const L_CHAR* type = head_option(sf, "type");
  if (!type) return error_text_at(form, ZU_ER_PARAM, kFunc, "type");
  MATRIX_CHANNEL_INFO inf{};
  inf.data_type = search_matrix_data_type(n_string(std_cm, type));
  if (!inf.data_type) return error_text_at(form, ZU_ER_PARAM, kFunc, "invalid type(type)");
  for (const ATTR_FLAG_TBL* f = kFlags; f->name; ++f)
    if (switch_on(sf, f->name)) inf.flags |= f->value;
  alignas(8) uint8_t buf[8] = {};
  std::string text;
  if (get_type(form->pair.cdr) == ZU_TYPE_LIST) {
    if (default_datum(inf.data_type, form->pair.cdr->pair.car, buf, &text) != 0)
      return error_at(form, ZU_ER_TYPE, kFunc, nullptr);
    inf.default_data = mx_scalar_code(inf.data_type->type) == MX_TYPE_STRING ? static_cast<void*>(text.data())
                                                                              : static_cast<void*>(buf);
  }
  if (int r = set_matrix_channel_info(cw->mtx, option_int(channel), &inf); r < 0)
    return qmx_store_error(form, kFunc, r);
  return nullptr;
}

// True when slot area taking slot equ's script would close a loop of
// slots that each take another's.
bool equ_loops(const uint8_t* equ_of, int area, int equ) {
  for (int at = equ, steps = 0; steps <= kMxScriptSlots; ++steps) {
    if (at == area) return true;
    if (!equ_of[at]) return false;
    at = equ_of[at] - 1;
  }
  return true;
}

ZU_SEXP* qn_qmxPhase(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "qmxCreate/qmxPhase";
  CREATE_WORK* cw = create_work(env);
  if (!cw) return env_error(form, kFunc);
  const L_CHAR* area_text = head_option(sf, "area");
  if (!area_text) return error_text_at(form, ZU_ER_PARAM, kFunc, "area");
  int area = slot_of(area_text);
  if (area < 0) return error_text_at(form, ZU_ER_PARAM, kFunc, "no value boundary");
  const L_CHAR* type = head_option(sf, "type");
  const L_CHAR* mode_text = head_option(sf, "mode");
  bool active = !mode_text || option_is(mode_text, "active");
  int mode = active ? cw->active_phase_mode : qmx_mode_number(mode_text);
  if (!active && mode < 0) return error_text_at(form, ZU_ER_PARAM, kFunc, "mode value");
  if (option_is(type, "equ")) {
    const L_CHAR* equ_text = head_option(sf, "equ");
    if (!equ_text) return error_text_at(form, ZU_ER_PARAM, kFunc, "equ");
    int equ = slot_of(equ_text);
    if (equ < 0) return error_text_at(form, ZU_ER_PARAM, kFunc, "equ value boundary");
    if ((active && equ_loops(cw->equ_of[kModes], area, equ)) || (mode >= 0 && equ_loops(cw->equ_of[mode], area, equ)))
      return error_text_at(form, ZU_ER_PARAM, kFunc, "equ loop");
    if (active) cw->equ_of[kModes][area] = static_cast<uint8_t>(equ + 1);
    if (mode >= 0) cw->equ_of[mode][area] = static_cast<uint8_t>(equ + 1);
    if (active) {
      if (int r = set_matrix_cal_equ(cw->mtx, area, equ); r < 0) return qmx_store_error(form, kFunc, r);
    }
    if (mode >= 0) {
      cw->phase[mode][area] = cw->phase[mode][equ];
      cw->phase_active[mode] = 1;
    }
    return nullptr;
  }
  ZU_SEXP* script = qn_quote_trace(env, form->pair.cdr, type);
  if (get_type(script) == ZU_TYPE_ERROR) return script;
  if (active) cw->equ_of[kModes][area] = 0;
  if (mode >= 0) cw->equ_of[mode][area] = 0;
  // Kept reachable until the matrix or the stored mode holds it.
  if (ZU_SEXP* e = set_gc_bind(env, script)) return e;
  if (active) {
    if (int r = set_matrix_cal(cw->mtx, area, script); r < 0)
      return qmx_store_error(get_type(script) == ZU_TYPE_LIST ? script : form, kFunc, r);
  }
  if (mode >= 0) {
    cw->phase[mode][area] = script;
    cw->phase_active[mode] = 1;
  }
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// The command

namespace {

// The matrix qmxCreate opened, closed again unless the command succeeds (a
// refusal for memory included): the file it made removed when `remove`, a
// file that was empty emptied again when `was_empty`.
struct OpenedMatrix {
  MATRIX* m;
  std::string path;
  // The file this call made (made: as the opening left it), removed again
  // while it is still that file and nobody else took it up between the
  // openings: as made, or holding the header this call wrote (ours).
  bool remove = false;
  bool ours = false;
  struct stat made {};
  bool was_empty = false;
  struct stat before {};
  ~OpenedMatrix() {
    if (!m) return;
    close_matrix(m);
    if (remove && pdb64_remove_if_made(path.c_str(), made.st_dev, made.st_ino, !ours) != 0)
      ss_printf("qmxCreate: %s could not be removed again\n", path.c_str());
    else if (was_empty && pdb64_empty_if_fresh(path.c_str(), before.st_dev, before.st_ino) != 0)
      ss_printf("qmxCreate: %s could not be emptied again\n", path.c_str());
  }
};

std::string path_text(const L_CHAR* filename) { return filename ? n_string(std_cm, filename) : std::string(); }

// An opening under way (begin_mx_open), ended however it ends.
struct Opening {
  ~Opening() { end_mx_open(); }
};

}  // namespace

ZU_SEXP* qn_qmxCreate_matrix(CREATE_PARAM* cp, ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env,
                             ZU_SYM_FIELD* sf) {
  cp->m = nullptr;
  cp->mode = 0;
  CREATE_WORK cw{};
  cw.tag = kCreateTag;
  const L_CHAR* filename = head_option(sf, "filename");
  const L_CHAR* neturl = head_option(sf, "neturl");
  const L_CHAR* key = head_option(sf, "key");
  const L_CHAR* current_text = head_option(sf, "currentPhase_mode");
  const L_CHAR* active_text = head_option(sf, "activePhase_mode");
  cw.active_phase_mode = active_text ? qmx_mode_number(active_text) : -1;
  if (active_text && cw.active_phase_mode < 0)
    return error_at(form, ZU_ER_PARAM, "qmxCreate", data_list("inv_param", "activePhase_mode"));
  // Refused before anything is opened, so a bad mode name changes no file.
  int current = current_text ? qmx_mode_number(current_text) : -1;
  if (current_text && current < 0)
    return error_at(form, ZU_ER_PARAM, "qmxCreate", data_list("inv_param", "currentPhase_mode"));

  lock_task(matrix_lock);
  MATRIX* m = _open_matrix(neturl, filename, key, nullptr, nullptr);
  if (m) _hold_matrix(m);
  unlock_task(matrix_lock, "qmxCreate");
  if (!m) return error_at(form, ZU_ER_OPEN, "qmxCreate", data_list("open file error", "open_matrix"));
  OpenedMatrix opened{m, path_text(filename)};
  bool existed = opened.path.empty() || stat(opened.path.c_str(), &opened.before) == 0;
  opened.was_empty = !opened.path.empty() && existed && S_ISREG(opened.before.st_mode) && opened.before.st_size == 0;
  // Only a missing or empty file is new; nothing else is ever truncated.
  int r = load_matrix_header(m, O_RDWR | O_CREAT, 0644);
  if (r != 0 && r != kMxNewFile) return header_error(form, m, r);
  // A file this call made goes again when its description is refused.
  opened.remove = r == kMxNewFile && !existed && stat(opened.path.c_str(), &opened.made) == 0;
  cw.mode = r == 0 ? 1 : 0;
  MATRIX_PARAM p = cp->p;
  if (int pr = set_matrix_param(m, &p)) {
    close_matrix_file(m);
    return qmx_store_error(form, "qmxCreate", pr);
  }
  ZUISP_ENV* body = body_env(env, args_env, &cw);
  bind_private_env(body, get_symbol_ascii("____gc_bind")->symbol.atom, nullptr);
  cw.mtx = m;
  ZU_SEXP* err = run_body(body, form->pair.cdr);
  if (!err && r == kMxNewFile) err = geometry_refusal(m, form);
  if (!err) err = store_description(&cw, form, r == kMxNewFile, current);
  opened.ours = cw.header_saved;
  if (err) return err;
  // Whole on disk before the matrix is answered: a writer killed before
  // its first close leaves a file that opens as it was made.
  if (int w = mx_file_write_back(m); w != 0) {
    if (w < 0) return header_error(form, m, w);
    std::string path;
    if (!mx_file_write_fault(m, &path)) path = opened.path;
    return qmx_write_error(form, "qmxCreate", path, w);
  }
  opened.m = nullptr;
  set_matrix_mode(m, kMxModeActive);
  cp->m = m;
  cp->mode = cw.mode;
  return nullptr;
}

ZU_SEXP* qn_qmxCreate(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  const L_CHAR* neturl = head_option(sf, "neturl");
  const L_CHAR* filename = head_option(sf, "filename");
  const L_CHAR* key = head_option(sf, "key");
  MX_ENTRY* e = nullptr;
  if (const L_CHAR* phase = head_option(sf, "readphase")) {
    int refused = 0;
    e = open_mxread_for_script(neturl, filename, key, option_int(phase), &refused);
    if (!e && refused) return qmx_store_error(form, "qmxCreate", refused);
    if (!e) return error_text_at(form, ZU_ER_OPEN, "qmxCreate", "qmxCreate open file error");
  } else {
    if (begin_mx_open() != 0) return error_text_at(form, ZU_ER_OPEN, "qmxCreate", "the program is ending");
    Opening opening;
    // A read by name keeps the file open for reading under an entry of its
    // own: that entry gives the file up, so that it opens for writing here
    // and the answer is this call's entry.
    close_reader_of(neturl, filename, key);
    CREATE_PARAM cp{};
    cp.p.read_file = matrix_standard_read_file;
    cp.p.write_file = matrix_standard_write_file;
    cp.p.close_file = close_matrix_file;
    ZU_SEXP* r = qn_qmxCreate_matrix(&cp, env, form, args_env, sf);
    if (get_type(r) == ZU_TYPE_ERROR) return r;
    auto* made = static_cast<MX_ENTRY*>(d_calloc(sizeof(MX_ENTRY), 1));
    made->c.m = cp.m;
    made->mode = cp.mode;
    e = new_mx_entry(made, cp.m);
    if (!e) {
      // The program's end began meanwhile: the matrix is ours to close.
      d_f_ree(made);
      close_matrix(cp.m);
      return error_text_at(form, ZU_ER_OPEN, "qmxCreate", "the program is ending");
    }
    release_matrix(cp.m);
  }
  int id = e->id;
  drop_mx_entry(e);
  return get_integer(id, nullptr);
}

// ---------------------------------------------------------------------------
// The keyword environment and helpers

void init_qmx_format(ZUISP_ENV* env) {
  static const QN_PRIM_DEF kPriority[] = {{"qmxPriority", qn_qmxPriority, 1, 1, 1, ZU_FUNC_FORM_TRANSIENT}, {}};
  static const QN_PRIM_DEF kKeywords[] = {
      {"qmxMatrixDimDivide", qn_qmxMatrixDimDivide, 1, 1, 1, ZU_FUNC_FORM_TRANSIENT},
      {"qmxMatrixBlockSize", qn_qmxMatrixBlockSize, 1, 1, 1, ZU_FUNC_FORM_TRANSIENT},
      {"qmxMatrixPixelSize", qn_qmxMatrixPixelSize, 1, 1, 1, ZU_FUNC_FORM_TRANSIENT},
      {"qmxChannelInfo", qn_qmxChannelInfo, 1, 1, 2, ZU_FUNC_FORM_TRANSIENT},
      {"qmxPhase", qn_qmxPhase, 0, 1, -1, 0},
      {}};
  GcFrame frame("init_qmx_format");
  ZUISP_ENV* param_keywords = new_env(nullptr);
  bind_prims(param_keywords, kPriority);
  seal_env(param_keywords);
  bind_builtin(env, "qmxMatrixParam", get_func_prim(qn_qmxMatrixParam, 0, param_keywords, 1, -1));
  bind_prims(env, kKeywords);
}

ZUISP_ENV* new_qmx_format_env() {
  ZUISP_ENV* env = new_env(nullptr);
  init_qmx_format(env);
  seal_env(env);
  return env;
}

ZU_SEXP* set_gc_bind(ZUISP_ENV* env, ZU_SEXP* value) {
  ZU_SEXP* name = get_symbol_ascii("____gc_bind");
  ZU_SEXP* held = eval(env, name);
  if (get_type(held) == ZU_TYPE_ERROR) return held;
  // The body's own binding (bind_private_env above): nothing refuses it.
  (void)set_op(env, name, cons(value, held));
  return nullptr;
}

int save_mode_cal_sexp(MATRIX* m, int mode, ZU_SEXP* const* phase) {
  std::string texts[kMxScriptSlots];
  const char* pieces[kMxScriptSlots][2] = {};
  const char* const* cals[kMxScriptSlots] = {};
  for (int slot = 0; slot < kMxScriptSlots; ++slot) {
    if (!phase[slot]) continue;
    STREAM* st = s_open_string_write(utf8_cm);
    int r = print_sexp(st, phase[slot], ZU_PRINT_MULTIROOT);
    if (r == 0) texts[slot].assign(s_get_string(st), static_cast<size_t>(s_get_string_len(st)));
    d_s_close(st);
    if (r != 0) return -1;
    pieces[slot][0] = texts[slot].c_str();
    cals[slot] = pieces[slot];
  }
  return save_mode_cal(m, mode, cals, nullptr);
}
