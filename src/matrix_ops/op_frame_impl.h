// What every matrix operation shares beyond the built-ins' kit
// (zu/builtin_kit.h): its running token, data items, the names of accesses
// and node statuses, and the operations' error values.
// Operations hold no lock of their own: they reach nodes and matrices
// through the store's locked calls.
#pragma once

#include <cstdint>
#include <vector>

#include "matrix/matrix.h"
#include "matrix/node.h"
#include "zu/value.h"

// The token the matrix worker is running, found through the environment's
// work pointer; null outside a matrix script.
MATRIX_TOKEN* mx_op_token(ZUISP_ENV* env);

// f() under the store's lock: reads of matrix and node fields.
template <class F>
auto mx_locked(F f) {
  lock_task(matrix_lock);
  auto r = f();
  unlock_task(matrix_lock, "matrix operation");
  return r;
}
inline MATRIX_PARAM mx_op_param(MATRIX* m) {
  return mx_locked([m] { return m->p; });
}
inline bool mx_op_has_channels(MATRIX_NODE* n) {
  return mx_locked([n] { return n->channel != nullptr; });
}

// The data item (data dim-code value) of the node at dc.
ZU_SEXP* mx_data_item(const MATRIX* m, const int64_t* dc, ZU_SEXP* value);

// Access names "MI_DEF" 0 .. "MI_VISU_2" 18 and status names "MS_OK" 2 ..
// "MS_EDIT_ERR_2" 6: the value, -1 for an absent name, -2 for another.
int get_access(const L_CHAR* name);
int get_jump_status(const L_CHAR* name);

// 0x80040503 "invalid parameter in <func>".
ZU_SEXP* mx_param_error(ZU_SEXP* form, const char* func);
// 0x80030806 with nil data: an argument of the wrong type.
ZU_SEXP* mx_type_error(ZU_SEXP* form, const char* func);
// 0x80040501 "invalid matrix loading".
ZU_SEXP* mx_loading_error(ZU_SEXP* form, const char* func);
// 0x80040501 ("invalid object in channel of NODE" reason info).
ZU_SEXP* mx_object_error(ZU_SEXP* form, const char* func, const char* reason, ZU_SEXP* info);
// 0x80040609 (text read_file read_net write_file): no hook for the request.
ZU_SEXP* mx_no_hook_error(ZU_SEXP* form, const char* func, const char* text, const MATRIX_PARAM& p);

// The node at dc asked for the token with `access`: the node
// locked for t, or null with *ret the value to return: the object error
// with `reason` when no node came back (or it failed), else the wait
// (code 1). *info (when given) receives (err dim-code), led by "parent"
// when `parent` is set.
MATRIX_NODE* mx_op_node(MATRIX_TOKEN* t, MATRIX* m, const int64_t* dc, int access, ZU_SEXP* form, const char* func,
                        const char* reason, bool parent, ZU_SEXP** ret, ZU_SEXP** info);
// The matrix named by the attributes neturl, filename and key, opened with
// the current matrix's open method when none is: null with *out set once
// it is open, else the value to return (the wait while it opens, or an
// error).
ZU_SEXP* mx_other_matrix(MATRIX_TOKEN* t, ZU_SYM_FIELD* sf, ZU_SEXP* form, const char* func, MATRIX** out);

// ---- children read in place
//
// mxCH type="children" copies every child's datum into a new vector, since
// the script may keep it. A kernel that only reads the children needs no
// copy: it arms a reader for the argument it is about to evaluate, and
// mxCH, called for exactly that written form on this thread, takes each
// child as it would (the same nodes asked for, the same waits, the same
// errors when a child has no datum) but, instead of copying the datum,
// notes the child in the reader and answers (Children). The kernel then
// reads each child's datum where it is, under that child's channel lock,
// one child at a time as the copies were made. The nodes stay locked for
// the token, as mxCH leaves them.
struct MX_HELD_CHILD {
  int64_t dc[1 + kMxMaxDim];  // the child's code as its data item names it
  MATRIX_NODE* n;             // locked for the token
};

class MxChildrenRead {
 public:
  // Arms the reader for the written form `target` (a list; null arms
  // nothing) on this thread. One armed not to hold only notes the channel
  // mxCH reads, which copies the children as it would unarmed.
  explicit MxChildrenRead(ZU_SEXP* target, bool hold = true);
  ~MxChildrenRead();
  MxChildrenRead(const MxChildrenRead&) = delete;
  MxChildrenRead& operator=(const MxChildrenRead&) = delete;
  // Stops matching further calls (the argument has been evaluated).
  void disarm();
  // Whether mxCH read the children into this reader; which channel, and
  // the children, the last one first (as mxCH lists them).
  bool taken() const { return taken_ && holds_; }
  int channel() const { return channel_; }
  bool holds() const { return holds_; }
  const std::vector<MX_HELD_CHILD>& children() const { return kids_; }

  // For mxCH: the reader armed for the call whose evaluated form is
  // `form` (same head as the written one), now taken; else null.
  static MxChildrenRead* claim(ZU_SEXP* form);
  // For mxCH: the channel it reads, before any child; then each child n
  // at dc, whose channel has a datum.
  void read_channel(int ch) { channel_ = ch; }
  void hold(const MATRIX* m, const int64_t* dc, MATRIX_NODE* n);

 private:
  ZU_SEXP* head_;
  MxChildrenRead* outer_;  // the reader armed before this one on the thread
  bool holds_;
  bool armed_ = true;
  bool taken_ = false;
  int channel_ = -1;
  std::vector<MX_HELD_CHILD> kids_;
};
