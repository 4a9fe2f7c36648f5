// qmxStatus: the status list of a matrix in the description language
// (qmx_status.h).
#include "agent/qmx_status.h"

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "agent/agent_impl.h"
#include "base/alloc.h"
#include "matrix/mx_file.h"
#include "runtime/docpath.h"
#include "runtime/later_services.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/gc.h"
#include "zu/peer.h"

namespace {

constexpr const char* kFunc = "qmxStatus";
constexpr const char* kModeNames[] = {"direct", "server", "client"};
constexpr int kClientMode = 2;
constexpr const char* kNoModeRecord = "cannot access the mode record";

using WString = std::basic_string<L_CHAR>;

// What the status shows of one typed channel.
struct ChannelView {
  int channel;
  MATRIX_DATA_TYPE* type;
  int flags;
  void* def;  // tagged copy of the default datum (of the element type), or null
};

// Everything the status shows of the matrix itself, read in one pass
// under matrix_lock; the current scripts are pinned for the caller.
struct MatrixView {
  bool has_neturl = false, has_filename = false, has_key = false;
  WString neturl, filename, key;
  MATRIX_PARAM p{};
  int total_levels = 0;
  std::vector<ChannelView> channels;
  std::vector<int> dim_divide, block_size;
  std::vector<int64_t> pixel_size;
  ZU_SEXP* cal[kMxScriptSlots] = {};

  ~MatrixView() {
    for (ChannelView& c : channels)
      if (c.def) element_type(c.type)->free_data(element_type(c.type), c.def);
  }
  static MATRIX_DATA_TYPE* element_type(MATRIX_DATA_TYPE* tp) { return tp->parent ? tp->parent : tp; }
};

void copy_name(const L_CHAR* from, bool* has, WString* to) {
  *has = from != nullptr;
  if (from) *to = from;
}

// Reads m; the caller holds the memory lock (the scripts are pinned in
// its top frame).
void read_matrix(MATRIX* m, MatrixView* v) {
  lock_task(matrix_lock);
  copy_name(m->neturl, &v->has_neturl, &v->neturl);
  copy_name(m->filename, &v->has_filename, &v->filename);
  copy_name(m->key, &v->has_key, &v->key);
  v->p = m->p;
  v->total_levels = m->total_levels;
  for (int ch = 0; m->channel_info && ch < m->p.channel_nos; ++ch) {
    const MATRIX_CHANNEL_INFO& inf = m->channel_info[ch];
    if (!inf.data_type) continue;
    MATRIX_DATA_TYPE* et = MatrixView::element_type(inf.data_type);
    void* def = inf.default_data ? et->alloc_copy(et, inf.default_data, MX_ATYPE::tagged, nullptr, __FILE__, __LINE__)
                                 : nullptr;
    v->channels.push_back({ch, inf.data_type, inf.flags, def});
  }
  for (int d = 0; m->pixel_size && d < m->p.dim; ++d) {
    v->dim_divide.push_back(m->dim_divide[d]);
    v->block_size.push_back(m->block_size[d]);
    v->pixel_size.push_back(m->pixel_size[d]);
  }
  for (int slot = 0; slot < kMxScriptSlots; ++slot) {
    v->cal[slot] = m->cal[slot] ? static_cast<ZU_SEXP*>(m->cal[slot]->data) : nullptr;
    gc_set_nl(v->cal[slot], gc_qn_sexp);
  }
  unlock_task(matrix_lock, "get_mx_status");
}

// A fresh tag symbol. Each attribute goes in front of those attached
// before it, so an element prints its attributes in reverse order of
// attaching.
class Tag {
 public:
  explicit Tag(const char* name) : sym_(get_symbol_ascii(name)) {}
  Tag& set(const char* name, const L_CHAR* value) {
    set_attribute(sym_, l_string(std_cm, name), value);
    return *this;
  }
  Tag& set(const char* name, const char* value) { return set(name, l_string(std_cm, value)); }
  Tag& num(const char* name, int64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%" PRId64, value);
    return set(name, text);
  }
  Tag& on(const char* name, bool when) { return when ? set(name, "on") : *this; }
  ZU_SEXP* sym() const { return sym_; }
  // (tag) or (tag body...).
  ZU_SEXP* element(ZU_SEXP* body = nullptr) const { return cons(sym_, body); }

 private:
  ZU_SEXP* sym_;
};

// ---- pieces of the description

// The qmxPriority elements of one table, ascending slots, zeros left out.
void add_priorities(ListBuilder* out, const int* pri, const char* mode) {
  for (int slot = 0; slot < kMxScriptSlots; ++slot) {
    if (!pri[slot]) continue;
    Tag t("qmxPriority");
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", static_cast<unsigned>(pri[slot]));
    t.set("pri", hex).num("area", slot);
    if (mode) t.set("mode", mode);
    out->add(t.element());
  }
}

// The priorities of stored mode `mode`; `named` adds the mode's name.
void add_mode_priorities(ListBuilder* out, MATRIX* m, int mode, bool named) {
  int pri[kMxScriptSlots] = {};
  const char* name = named ? kModeNames[mode] : nullptr;
  if (load_mode_cal(nullptr, pri, m, mode) < 0) {
    Tag t("qmxPriority");
    t.set("error", kNoModeRecord);
    if (name) t.set("mode", name);
    out->add(t.element());
    return;
  }
  add_priorities(out, pri, name);
}

ZU_SEXP* param_element(int s_flag, MATRIX* m, const MatrixView& v) {
  Tag t("qmxMatrixParam");
  t.num("modify_time", v.p.modify_time).num("total_levels", v.p.total_levels);
  t.on("index_hem", v.p.flags & kMxIndexHem).on("cache_file", v.p.flags & kMxCacheFile);
  t.num("dim", v.p.dim).num("channel_nos", v.p.channel_nos);
  ListBuilder pri;
  if (s_flag) {
    add_priorities(&pri, v.p.pri_area, nullptr);
    for (int mode = kClientMode; mode >= 0; --mode) add_mode_priorities(&pri, m, mode, true);
  } else {
    add_mode_priorities(&pri, m, kClientMode, false);
  }
  return t.element(pri.head);
}

ZU_SEXP* channel_element(int s_flag, const ChannelView& c) {
  Tag t("qmxChannelInfo");
  if (s_flag) {
    t.on("send_file", c.flags & kMxChSendFile).on("send_visu", c.flags & kMxChSendVisu);
    t.on("send", c.flags & kMxChSend).on("file", c.flags & kMxChFile).on("visu", c.flags & kMxChVisu);
  } else {
    // A peer sees what it may fetch as its own file and visual channels.
    t.on("file", c.flags & kMxChSendFile).on("visu", c.flags & kMxChSendVisu);
  }
  t.set("type", c.type->type_name).num("channel", c.channel);
  if (!c.def) return t.element();
  MATRIX_DATA_TYPE* et = MatrixView::element_type(c.type);
  return t.element(list(et->md2sexp(et, c.def)));
}

template <class T>
void add_sizes(ListBuilder* out, const char* tag, const std::vector<T>& values) {
  for (size_t d = 0; d < values.size(); ++d) {
    Tag t(tag);
    out->add(t.num("value", static_cast<int64_t>(values[d])).num("dim", static_cast<int64_t>(d)).element());
  }
}

ZU_SEXP* phase_element(int slot, ZU_SEXP* script, const char* mode) {
  Tag t("qmxPhase");
  t.num("area", slot);
  if (mode) t.set("mode", mode);
  return t.element(script);
}

// The scripts of stored mode `mode`; `named` adds the mode's name.
void add_mode_phases(ListBuilder* out, MATRIX* m, int mode, bool named) {
  ZU_SEXP* cals[kMxScriptSlots] = {};
  const char* name = named ? kModeNames[mode] : nullptr;
  if (load_mode_cal(cals, nullptr, m, mode) < 0) {
    Tag t("qmxPhase");
    t.set("error", kNoModeRecord);
    if (name) t.set("mode", name);
    out->add(t.element());
    return;
  }
  for (int slot = 0; slot < kMxScriptSlots; ++slot)
    if (cals[slot]) out->add(phase_element(slot, cals[slot], name));
}

ZU_SEXP* general_element(const MatrixView& v) {
  static const L_CHAR* const dot = l_string(std_cm, "dot");
  ListBuilder dim;
  dim.add(get_symbol_ascii("dim"));
  dim.add(get_integer(v.total_levels, nullptr));
  for (int64_t size : v.pixel_size) dim.add(get_integer(size, dot));
  return List(get_symbol_ascii("general"), dim.head, ZU_LIST_END);
}

// ---- opening by path

// The entry's status, then the entry is closed when this call opened it.
ZU_SEXP* status_and_release(int s_flag, MX_ENTRY* e, bool opened) {
  EntryHold held(e, opened);
  return get_mx_status(s_flag, e);
}

ZU_SEXP* status_by_path(int s_flag, const L_CHAR* type, ZU_SEXP* path, ZU_SEXP* form) {
  const L_CHAR* name = str_text(path);
  if (option_is(type, "related")) {
    if (!s_flag || evaluates_for_peer()) {
      if (ZU_SEXP* denied = auth_filepath_passive(path, "Get")) return denied;
    }
    return open_status_related(s_flag, name, form);
  }
  bool opened = false;
  ZU_SEXP* err = nullptr;
  MX_ENTRY* e = open_mxread_typed(form, kFunc, type, name, 1, &opened, &err);
  if (!e) return err ? err : error_text_at(form, ZU_ER_PARAM, kFunc, "attribute:path-type");
  return status_and_release(s_flag, e, opened);
}

}  // namespace

// ---------------------------------------------------------------------------

ZU_SEXP* _get_mx_status(int s_flag, MX_ENTRY* e) {
  assert_mx_command_held(e);
  MATRIX* m = e->c.m;
  MatrixView v;
  read_matrix(m, &v);
  Tag head("qmxStatus");
  if (v.has_neturl) head.set("neturl", v.neturl.c_str());
  if (v.has_filename) head.set("filename", v.filename.c_str());
  if (v.has_key) head.set("key", v.key.c_str());
  head.num("total_levels", v.total_levels);
  ListBuilder body;
  body.add(head.sym());
  body.add(param_element(s_flag, m, v));
  for (const ChannelView& c : v.channels) body.add(channel_element(s_flag, c));
  add_sizes(&body, "qmxMatrixDimDivide", v.dim_divide);
  add_sizes(&body, "qmxMatrixBlockSize", v.block_size);
  add_sizes(&body, "qmxMatrixPixelSize", v.pixel_size);
  if (s_flag) {
    for (int slot = 0; slot < kMxScriptSlots; ++slot)
      if (v.cal[slot]) body.add(phase_element(slot, v.cal[slot], nullptr));
    for (int mode = 0; mode <= kClientMode; ++mode) add_mode_phases(&body, m, mode, true);
  } else {
    add_mode_phases(&body, m, kClientMode, false);
  }
  return List(get_symbol_ascii("status"), general_element(v), body.head, ZU_LIST_END);
}

ZU_SEXP* get_mx_status(int s_flag, MX_ENTRY* e) {
  if (lock_mx_entry(e) != 0) return error_text_at(nullptr, ZU_ER_PARAM, kFunc, "id value");
  // Given back however the status ends, a refusal for memory included.
  Owned<MX_ENTRY, unlock_mx_entry> locked(e);
  return _get_mx_status(s_flag, e);
}

ZU_SEXP* open_status_related(int s_flag, const L_CHAR* path, ZU_SEXP* form) {
  Tagged<L_CHAR> candidates[2];
  ZU_GETFILE* rule = nullptr;
  if (ZU_SEXP* err = get_path(candidates, &rule, path, form, l_string(std_cm, "Get"))) return err;
  ZU_SEXP* r = nullptr;
  if (!getfile_mode_is(rule, "lod")) r = error_text_at(form, ZU_ER_NOT_AVAILABLE, "Get", "unsupport Get mode");
  for (const Tagged<L_CHAR>& candidate : candidates) {
    if (r || !candidate) continue;
    bool opened = false;
    if (MX_ENTRY* e = open_mxread(nullptr, candidate.get(), nullptr, 1, nullptr, &opened))
      r = status_and_release(s_flag, e, opened);
  }
  // None of the candidates opened (one or two): the command's own refusal.
  return r ? r : error_at(form, ZU_ER_OPEN, kFunc, nullptr);
}

ZU_SEXP* _qn_qmxStatus(int s_flag, ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf) {
  const L_CHAR* type = head_option(sf, "path-type");
  const L_CHAR* id = head_option(sf, "id");
  if (!s_flag && (!type || option_is(type, "absolute") || id))
    return error_text_at(form, ZU_ER_DENIED, kFunc, "file path(path-type = absolute, id access in Env0 mode)");
  if (id) {
    EntryHold e(hold_mx_entry(option_int(id)));
    if (!e) return error_text_at(form, ZU_ER_PARAM, kFunc, "id value");
    return get_mx_status(s_flag, e.get());
  }
  ZU_SEXP* path = get_el(form, 1);
  if (!is_string(path)) return error_at(form, ZU_ER_TYPE, kFunc, nullptr);
  return status_by_path(s_flag, type, path, form);
}

ZU_SEXP* qn_qmxStatus_s(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  return _qn_qmxStatus(1, env, form, args_env, sf);
}

ZU_SEXP* qn_qmxStatus_n(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  return _qn_qmxStatus(0, env, form, args_env, sf);
}
