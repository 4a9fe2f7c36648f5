// Helpers shared by the matrix commands (agent_impl.h).
#include <cstdlib>
#include <cstring>
#include <string>

#include "agent/agent_impl.h"
#include "matrix/mx_file.h"
#include "matrix/node.h"
#include "runtime/call_lock.h"
#include "runtime/peer_read.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/errcodes.h"
#include "zu/gc.h"

namespace {

// A file refused as busy: the lock service, when it was why (it could not
// be reached, hung up or did not admit), names itself and what it did.
std::string busy_cause() {
  std::string why = call_lock_refusal_cause();
  return why.empty() ? "the matrix file is busy in another process" : why;
}

// What a load fault says of the node's file.
std::string load_fault_cause(int code) {
  switch (code) {
    case kMxNoAccess:
      return "the matrix file changed since it was read";
    case kMxFileBusy:
      return busy_cause();
    case kMxInvalidFile:
      return "damaged record in the matrix file";
    case kMxNewFile:
      return "the matrix file is empty";
    default:
      return "the matrix file cannot be opened";
  }
}

// What the store's refusal of a whole matrix file says, in the words the
// README gives its codes; null for the codes that name no state of the
// file.
std::string file_refusal_cause(int code) {
  if (code == kMxInvalidFile) return "not a matrix file, or a damaged one";
  return code == kMxNoAccess || code == kMxFileBusy ? load_fault_cause(code) : std::string();
}

}  // namespace

MxDimCode qmx_dim_code(MATRIX* m, ZU_SEXP* s) {
  for (ZU_SEXP* p = s; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr)
    if (!is_integer(p->pair.car)) return nullptr;
  return get_dim_code_from_sexp(m, s);
}

int qmx_mode_number(const L_CHAR* text) {
  static const char* const kModes[] = {"direct", "server", "client"};
  for (int i = 0; i < 3; ++i)
    if (option_is(text, kModes[i])) return i;
  return -1;
}

ZU_SEXP* qmx_store_error(ZU_SEXP* at, const char* func, int result) {
  if (std::string cause = file_refusal_cause(result); !cause.empty())
    return error_at(at, ZU_ER_STORE, func, data_list(result, cause.c_str()));
  return error_at(at, ZU_ER_STORE, func, get_integer(result, nullptr));
}

ZU_SEXP* qmx_node_error(ZU_SEXP* at, const char* func, const char* reason, int code, ZU_SEXP* dcl) {
  constexpr const char* kNode = "invalid object in channel of NODE";
  ZU_SEXP* data = mx_is_load_fault(code) ? data_list(kNode, reason, data_list(code, dcl), load_fault_cause(code).c_str())
                                          : data_list(kNode, reason, data_list(code, dcl));
  return error_at(at, ZU_ER_NO_OBJECT, func, data);
}

ZU_SEXP* qmx_node_fault(ZU_SEXP* at, const char* func, const MATRIX* m, const int64_t* dc, int code) {
  return qmx_node_error(at, func, "others", code, get_sexp_from_dim_code(m, dc));
}

ZU_SEXP* qmx_file_error(ZU_SEXP* at, const char* func, MATRIX* m, int code) {
  lock_task(matrix_lock);
  const L_CHAR* name = m->filename ? m->filename : m->key ? m->key : m->neturl;
  unlock_task(matrix_lock, func);
  // The name stays while the command's entry holds the matrix open.
  return error_at(at, ZU_ER_STORE, func, data_list(get_string(name), code, load_fault_cause(code).c_str()));
}

ZU_SEXP* qmx_write_error(ZU_SEXP* at, const char* func, const std::string& path, int err) {
  return error_at(at, ZU_ER_STORE, func,
                  data_list(n_get_string(path.c_str()), "the file could not be written", std::strerror(err)));
}

WriteWatch::WriteWatch(MATRIX* m, MATRIX* other) : m_{m, other} {
  for (int i = 0; i < 2; ++i)
    if (m_[i]) since_[i] = mx_file_write_faults(m_[i]);
}

ZU_SEXP* WriteWatch::fault(ZU_SEXP* at, const char* func) const {
  for (int i = 0; i < 2; ++i) {
    std::string path;
    if (const int err = m_[i] ? mx_file_write_fault(m_[i], &path, &since_[i]) : 0)
      return qmx_write_error(at, func, path, err);
  }
  return nullptr;
}

bool qmx_trace() {
  static const bool on = std::getenv("QNMX_TRACE") != nullptr;
  return on;
}

namespace {

// The file at path as open_mxread opens it (phase 0): an entry whose matrix
// reads another file than the one judged (the path was swapped, or the
// matrix of that name was opened from another file) is given back and
// refused. Null with *refusal set when a peer may not read it.
MX_ENTRY* open_mxread_path(ZU_SEXP* form, const char* func, const L_CHAR* path, int* refused, bool* opened,
                           ZU_SEXP** refusal) {
  *refusal = nullptr;
  *opened = false;
  PeerReadFile judged;
  if ((*refusal = peer_read_judge(form, n_string(std_cm, path), func, &judged))) return nullptr;
  MX_ENTRY* e = open_mxread(nullptr, path, nullptr, 0, refused, opened);
  if (!e || mx_file_is_judged(e->c.m, judged)) return e;
  EntryHold given_back(e, *opened);
  *opened = false;
  *refusal = peer_not_own(form, func);
  return nullptr;
}

}  // namespace

MX_ENTRY* open_mxread_typed(ZU_SEXP* form, const char* func, const L_CHAR* type, const L_CHAR* name, int key_phase,
                            bool* opened, ZU_SEXP** err) {
  *err = nullptr;
  bool own = false;
  int refused = 0;
  MX_ENTRY* e = nullptr;
  if (!type || option_is(type, "absolute")) {
    e = open_mxread_path(form, func, name, &refused, &own, err);
    if (*err) return nullptr;
  } else if (option_is(type, "network")) {
    e = open_mxread(name, nullptr, nullptr, 1, &refused, &own);
  } else if (option_is(type, "key")) {
    e = open_mxread(nullptr, nullptr, name, key_phase, &refused, &own);
  } else {
    return nullptr;
  }
  if (opened) *opened = own;
  if (!e) *err = refused ? qmx_store_error(form, func, refused) : error_at(form, ZU_ER_OPEN, func, nullptr);
  return e;
}

EntryHold::~EntryHold() {
  if (!e_) return;
  // Runs while a refusal unwinds too: nothing in it may throw.
  NoRefusal finish;
  if (locked_) unlock();
  if (close_) close_mx_entry(e_);
  else drop_mx_entry(e_);
}

int EntryHold::lock() {
  locked_ = lock_mx_entry(e_) == 0;
  return locked_ ? 0 : -1;
}

void EntryHold::unlock() {
  flush_mx_cache(&e_->c, 0);
  unlock_mx_entry(e_);
  locked_ = false;
}
