// Helpers shared by the matrix commands beyond the kit of every folder that
// writes built-ins (zu/builtin_kit.h): stored modes by name, the store's
// refusals as error values, the trace switch, and the two guards every
// command that moves pixels through an entry's cache uses.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "agent/mx_entry.h"
#include "matrix/dim_code.h"
#include "matrix/element_cache.h"
#include "zu/value.h"

// A stored mode named by text: "direct" 0, "server" 1, "client" 2; -1 for
// any other text.
int qmx_mode_number(const L_CHAR* text);

// A dim code of m from a list of dim + 1 integers, or null.
MxDimCode qmx_dim_code(MATRIX* m, ZU_SEXP* s);

// A refusal of the matrix store: code 0x80041015 with the store's result,
// at the position of `at` from function `func`; a refusal of the whole
// file (-127 changed, -128 busy, -129 not a valid matrix file) has the
// words of its cause after the code, (code "cause").
ZU_SEXP* qmx_store_error(ZU_SEXP* at, const char* func, int result);

// A node a command could not read or write: 0x80040501 with data
// ("invalid object in channel of NODE" reason (code dcl)), and for a load
// fault (matrix/node.h) a text naming its cause after them. dcl is the
// node's dim code as a list.
ZU_SEXP* qmx_node_error(ZU_SEXP* at, const char* func, const char* reason, int code, ZU_SEXP* dcl);
// The same with reason "others" for the node of m at dim code dc (its
// coordinates taken to the node's origin).
ZU_SEXP* qmx_node_fault(ZU_SEXP* at, const char* func, const MATRIX* m, const int64_t* dc, int code);

// A matrix file a command could not take as a whole (busy, changed or
// damaged; a load fault of matrix/node.h): 0x80041015 with data (file code
// cause), the file as m was opened by.
ZU_SEXP* qmx_file_error(ZU_SEXP* at, const char* func, MATRIX* m, int code);

// A matrix file (or its journal, at path) that could not be written:
// 0x80041015 with data (path "the file could not be written" reason), the
// reason the system's text for err.
ZU_SEXP* qmx_write_error(ZU_SEXP* at, const char* func, const std::string& path, int err);
// The write-backs of the matrix files a command writes (one, or two for a
// command between two matrices; a null matrix is none), watched from the
// command's beginning: fault() answers, as it ends, a failure that a
// write-back of one of them met while it ran and that no later one got
// past (its data are not all on disk): qmx_write_error for that file.
// Null otherwise; a failure older than the command, which no write-back
// during it met, is not the command's.
class WriteWatch {
 public:
  explicit WriteWatch(MATRIX* m, MATRIX* other = nullptr);
  ZU_SEXP* fault(ZU_SEXP* at, const char* func) const;

 private:
  MATRIX* m_[2];
  uint32_t since_[2] = {};
};

// Non-zero when QNMX_TRACE is set: per-call debug lines go to standard
// error only then.
bool qmx_trace();

// The matrix that command func reads by name, opened for reading as
// open_mxread opens it, by path type: "absolute" or none (the file at that
// path, phase 0; a peer reads only where it may, and only the file that was
// judged), "network" (phase 1) or "key" (phase key_phase). *opened (if
// given) as there. Null with *err the error when it cannot be opened (the
// peer's refusal, the store's, or ZU_ER_OPEN); null with *err null when the
// type is none of these.
MX_ENTRY* open_mxread_typed(ZU_SEXP* form, const char* func, const L_CHAR* type, const L_CHAR* name, int key_phase,
                            bool* opened, ZU_SEXP** err);

// An entry used by one command: a reference and its command lock, given
// back when the command ends (null when no entry has the id; id 0 names
// none). The node its cache holds is released on both ends, so that the
// scripts the store fires meanwhile can take that node's channels and no
// channel lock outlives the command.
class EntryUse {
 public:
  explicit EntryUse(int id) : e_(use_mx_entry(id)) {
    if (e_) flush_mx_cache(&e_->c, 0);
  }
  ~EntryUse() {
    if (!e_) return;
    flush_mx_cache(&e_->c, 0);
    done_mx_entry(e_);
  }
  EntryUse(const EntryUse&) = delete;
  EntryUse& operator=(const EntryUse&) = delete;
  MX_ENTRY* get() const { return e_; }
  MATRIX* matrix() const { return e_->c.m; }

 private:
  MX_ENTRY* e_;
};

// A reference a command was handed (hold_mx_entry, open_mxread) and, once
// lock() succeeded, the entry's command lock: given back when the command
// ends, also when a refusal for memory unwinds through it (a reference or
// a command lock left behind would make every close wait for good). With
// close_at_end, the entry this command opened is closed instead.
class EntryHold {
 public:
  explicit EntryHold(MX_ENTRY* e, bool close_at_end = false) : e_(e), close_(close_at_end) {}
  ~EntryHold();
  EntryHold(const EntryHold&) = delete;
  EntryHold& operator=(const EntryHold&) = delete;
  // The command lock: 0, or -1 when the entry is being closed.
  int lock();
  // Gives the command lock back; the node the cache holds is released.
  void unlock();
  MX_ENTRY* get() const { return e_; }
  explicit operator bool() const { return e_ != nullptr; }

 private:
  MX_ENTRY* e_;
  bool close_;
  bool locked_ = false;
};

// The node access of an entry's cache for the time of a pixel loop: the
// held node is released and the settings set; on leaving, the node is
// released again and the entry's settings come back.
class CacheAccess {
 public:
  CacheAccess(MX_CACHE* c, int tree, int create, int wait) : c_(c) {
    flush_mx_cache(c, 0);
    saved_[0] = std::exchange(c->gn_tree_node, tree);
    saved_[1] = std::exchange(c->gn_create, create);
    saved_[2] = std::exchange(c->gn_wait, wait);
  }
  ~CacheAccess() {
    flush_mx_cache(c_, 0);
    c_->gn_tree_node = saved_[0];
    c_->gn_create = saved_[1];
    c_->gn_wait = saved_[2];
  }
  CacheAccess(const CacheAccess&) = delete;
  CacheAccess& operator=(const CacheAccess&) = delete;

 private:
  MX_CACHE* c_;
  int saved_[3];
};
