// qmxScan, qmxCopy and qmxCache (qmx_scan.h).
#include "agent/qmx_scan.h"

#include <climits>
#include <vector>

#include "agent/agent_impl.h"
#include "agent/mx_entry.h"
#include "base/alloc.h"
#include "matrix/node.h"
#include "matrix/node_copy.h"
#include "matrix/scan.h"
#include "store/l_favt64.h"
#include "store/pdb64.h"
#include "zu/builtin_kit.h"

namespace {

// ---- qmxScan

ZU_SEXP* scan_error(ZU_SEXP* form, const char* reason) {
  return error_at(form, ZU_ER_PARAM, "qmxScan", data_list("invalida parameter (attribute id)", reason));
}

// Where a walk's fault is named: a level below 0 until a node is (the
// file itself could not be taken then).
std::vector<int64_t> fault_place(int dim) {
  std::vector<int64_t> at(static_cast<size_t>(1 + dim));
  at[0] = -1;
  return at;
}

// A walk over stored nodes that could not take its file, or met a node it
// could not read: the error naming the file or the node; otherwise the
// walk's integer result (0, or the scan's last code).
ZU_SEXP* walk_result(ZU_SEXP* form, const char* func, MATRIX* m, int r, const std::vector<int64_t>& at) {
  if (mx_is_load_fault(r) && at[0] < 0) return qmx_file_error(form, func, m, r);
  if (mx_is_load_fault(r)) return qmx_node_fault(form, func, m, at.data(), r);
  return get_integer(r, nullptr);
}

int dim_of(MATRIX* m) {
  lock_task(matrix_lock);
  int dim = m->p.dim;
  unlock_task(matrix_lock, "qmxScan");
  return dim;
}

ZU_SEXP* scan(ZU_SEXP* form, MATRIX* m, int dir, int area) {
  MxDimCode start = qmx_dim_code(m, get_el(form, 1));
  MxDimCode end = start ? qmx_dim_code(m, get_el(form, 2)) : nullptr;
  std::vector<int64_t> at = fault_place(dim_of(m));
  if (!start) return scan_error(form, "dim_code format (start)");
  if (!end) return scan_error(form, "dim_code format (end)");
  // The walk saves what is changed first, and its scripts change nodes.
  const WriteWatch writes(m);
  const int r = matrix_scan(m, dir, area, start.get(), end.get(), nullptr, nullptr, at.data());
  if (mx_is_load_fault(r)) return walk_result(form, "qmxScan", m, r, at);
  if (ZU_SEXP* err = writes.fault(form, "qmxScan")) return err;
  return get_integer(r, nullptr);
}

// ---- qmxCopy

constexpr const char* kCopy = "qmxCopy";

struct COPY_FLAG {
  const char* name;
  int flag;
};
constexpr COPY_FLAG kCopyFlags[] = {{"MF_SEND", kMxChSend},
                                    {"MF_FILE", kMxChFile},
                                    {"MF_VISU", kMxChVisu},
                                    {"MF_SEND_FILE", kMxChSendFile},
                                    {"MF_SEND_VISU", kMxChSendVisu}};

ZU_SEXP* copy_error(ZU_SEXP* form, ZU_SEXP* what) {
  return error_at(form, ZU_ER_PARAM, kCopy, data_list("invalida parameter", what));
}

// The entry id of attribute `name`, or 0 when it is missing.
int entry_id(ZU_SYM_FIELD* sf, const char* name) {
  const L_CHAR* text = head_option(sf, name);
  return text ? option_int(text) : 0;
}

// Reads the channels (ended by -1) and the flag mask of the copy from
// items: null, or the error of an item that is neither.
ZU_SEXP* copy_spec(ZU_SEXP* form, ZU_SEXP* items, int channel_nos, std::vector<int>* channels, int* mask) {
  for (ZU_SEXP* p = items; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* item = p->pair.car;
    if (is_integer(item)) {
      // A channel the source does not have would be skipped without a word.
      auto ch = static_cast<int32_t>(item->integer.num);
      if (ch < 0 || ch >= channel_nos) return copy_error(form, get_string_ascii("channel"));
      channels->push_back(ch);
      continue;
    }
    const COPY_FLAG* f = nullptr;
    for (const COPY_FLAG& k : kCopyFlags)
      if (is_string(item) && option_is(str_text(item), k.name)) f = &k;
    if (!f) return error_at(form, ZU_ER_TYPE, kCopy, nullptr);
    *mask |= f->flag;
  }
  channels->push_back(-1);
  return nullptr;
}

int channel_count(MATRIX* m) {
  lock_task(matrix_lock);
  int n = m->p.channel_nos;
  unlock_task(matrix_lock, "qmxCopy");
  return n;
}

}  // namespace

ZU_SEXP* qn_qmxScan(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  const L_CHAR* id = head_option(sf, "id");
  if (!id) return scan_error(form, "id");
  EntryUse use(option_int(id));
  if (!use.get()) return scan_error(form, "value of id");
  const L_CHAR* dir = head_option(sf, "call-dir");
  if (dir && !option_is(dir, "pre") && !option_is(dir, "post")) return scan_error(form, "value of call-dir");
  const L_CHAR* area = head_option(sf, "area");
  if (!area) return scan_error(form, "area");
  int slot = option_int(area);
  if (slot < 0 || slot >= kMxScriptSlots) return scan_error(form, "area boundary");
  // "pre" runs a node's children before the node: pyramids are built
  // bottom-up with it.
  return scan(form, use.matrix(), option_is(dir, "post") ? 1 : 0, slot);
}

ZU_SEXP* qn_qmxCopy(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  const int src_id = entry_id(sf, "src"), dest_id = entry_id(sf, "dest");
  // Two commands copying between the same two entries take them in the
  // same order. A matrix is not copied onto itself (id 0 names no entry).
  const bool src_first = src_id <= dest_id;
  EntryUse first(src_first ? src_id : dest_id);
  EntryUse second(src_id == dest_id ? 0 : src_first ? dest_id : src_id);
  MX_ENTRY* src = src_first ? first.get() : second.get();
  MX_ENTRY* dest = src_first ? second.get() : first.get();
  if (!src) return copy_error(form, get_string_ascii("attribute src"));
  if (!dest) return copy_error(form, get_string_ascii("attribute dest"));
  ZU_SEXP* arg = get_el(form, 1);
  ZU_SEXP* items = get_type(arg) == ZU_TYPE_LIST ? arg : form->pair.cdr;
  std::vector<int> channels;
  int mask = 0;
  if (ZU_SEXP* err = copy_spec(form, items, channel_count(src->c.m), &channels, &mask)) return err;
  set_matrix_env(dest->c.m, "create-node", "enable");
  std::vector<int64_t> at = fault_place(dim_of(src->c.m));
  // The copy writes the destination, and saves what was changed in the
  // source before it walks it.
  const WriteWatch writes(dest->c.m, src->c.m);
  int r = matrix_copy(dest->c.m, src->c.m, channels.data(), mask, at.data());
  if (mx_is_load_fault(r)) return walk_result(form, kCopy, src->c.m, r, at);
  if (r < 0) return copy_error(form, get_integer(r, nullptr));
  return writes.fault(form, kCopy);
}

ZU_SEXP* qn_qmxCache(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  const L_CHAR* size = head_option(sf, "size");
  int64_t bytes = option_int64(size);
  if (!size || bytes < 0 || bytes / 4096 > INT_MAX) return error_at(form, ZU_ER_PARAM, "qmxCache", nullptr);
  // Set under the record-store lock, which every reader of the limit holds.
  lock_task(l_favt64_lock);
  fac_set_total_entries(static_cast<int>(bytes / 4096));
  unlock_task(l_favt64_lock, "qmxCache");
  lock_task(matrix_lock);
  node_cache_bytes = bytes;
  unlock_task(matrix_lock, "qmxCache");
  return nullptr;
}
