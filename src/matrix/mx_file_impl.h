// Inside the matrix file code: checked record reads and writes, the node
// tree, faults, and the validation of a whole file.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "matrix/mx_file.h"
#include "store/favt64.h"

// A record read from the file (file byte order), freed with the holder.
struct MxRecord {
  PN64_HEADER* h = nullptr;
  MxRecord() = default;
  MxRecord(const MxRecord&) = delete;
  MxRecord& operator=(const MxRecord&) = delete;
  ~MxRecord();
  std::span<const uint8_t> body() const;
};

// Reads the record at fofs: it must have type `type` and a body of
// min_body bytes or more (at most max_body when that is not negative).
// 0, or -1 with nothing read.
int mx_read_record(PDB64* p, int64_t fofs, uint16_t type, int64_t min_body, int64_t max_body, MxRecord* r);
// Reads the record at fofs whatever its type, which the caller checks
// (one read where the type decides what the record is). 0, or -1.
int mx_read_any_record(PDB64* p, int64_t fofs, MxRecord* r);
// Memory size of the record at fofs when it has type `type`, else -1.
int64_t mx_record_size(PDB64* p, int64_t fofs, uint16_t type);
// Writes a whole record (file order, as mx_format.h's encoders make them)
// over the one at fofs, which has its type and size; pages that would not
// change are not written. 0 or -1.
int mx_write_record(PDB64* p, int64_t fofs, std::span<const uint8_t> rec);
// Writes the open file's subheader (w->subheader, host order) over its
// record. 0 or -1.
int mx_write_subheader(MX_FILE_WORK* w);
// Writes it over the record at fofs when that has the same type and size
// (pages that would not change are not written), else frees that one (when
// fofs is not 0) and writes a new one. The offset, or -1.
int64_t mx_put_record(PDB64* p, int64_t fofs, std::span<const uint8_t> rec);
// The same for a record given as its header (file order) and body pieces
// (fewer than kFacMaxPieces, held by the caller).
int64_t mx_put_record_pieces(PDB64* p, int64_t fofs, const PN64_HEADER* h, std::span<const iovec> body);
// A new record: its offset, or -1.
int64_t mx_new_record(PDB64* p, std::span<const uint8_t> rec);

// Takes m's file access only when the file is open: 0 with it held, or
// -128 with nothing held (a closed file is not opened).
int mx_take_open_file_access(MATRIX* m);

// The node tree of the open file (pinned; l_favt64_release), its loaded
// keys checked against m's geometry; null with *errp.
FAVT64_ROOT* mx_node_root(MATRIX* m, MX_FILE_WORK* w, int* errp);
// The node tree's key of dc.
struct MxKey {
  MX_DIM_CODE k;
  int len;
};
MxKey mx_key_of(const MATRIX* m, int64_t fofs, const int64_t* dc);
// The tree entry equal to key: 1 found (*fofs its node record), 0 none,
// -1 the tree cannot be read.
int mx_tree_find(MATRIX* m, MX_FILE_WORK* w, MxKey* key, int64_t* fofs);

// Reports a matrix file that does not hold together (log record and
// standard error) and returns kMxInvalidFile.
int mx_file_fault(const MATRIX* m, const char* what, int64_t fofs);

// The matrix a header describes, for checking a file without a MATRIX of
// its own; freed with the holder.
struct MxScratchMatrix {
  MATRIX m{};
  MxScratchMatrix() = default;
  MxScratchMatrix(const MxScratchMatrix&) = delete;
  MxScratchMatrix& operator=(const MxScratchMatrix&) = delete;
  ~MxScratchMatrix();
};
// Applies a decoded header's parameters and sizes to a matrix that has
// none (matrix_lock held for a shared matrix). 0, or -1 refused.
int mx_apply_header(MATRIX* m, const PN64_MX_HEADER& h);
// Finds and decodes the 0x600 record: 0, -1 none, -2 it does not decode.
// *body_rec keeps the bytes the channel table points into.
int mx_find_header(PDB64* p, int64_t* fofs, PN64_MX_HEADER* h, MxRecord* body_rec);
// How many records of each type the file holds, found by one walk from
// offset 0 along the records' own headers: 0 when the record file's header
// reads as written and every record reads, the last one ending at the end
// of the file; -1 otherwise (counts up to where the walk stopped).
struct MxCensus {
  std::map<uint16_t, int64_t> count;
};
int mx_record_census(PDB64* p, MxCensus* c);
// True when the file holds nothing but a sound record-file header, its
// free list and free space: a file that a matrix was never written into.
// A file cut short or damaged anywhere is not new.
bool mx_file_is_new(PDB64* p);

// Writes back m's open file (the access held once: a take inside another
// may be in the middle of its work) when the page cache is full of dirty
// pages: the caller is at a point where the file's records hold together,
// which a write-back the cache makes for room never is. A file whose last
// write-back failed is tried again once the backoff lets it
// (fac_retry_due), and put off till then. 0, or the errno of the failure
// (the file keeps it for its command and its close to say).
int mx_write_back_if_pressed(MATRIX* m);

// Checks a whole matrix file (see mx_file.h): 0 valid, -1 not (why says
// what, at where; either may be null).
int mx_validate_file(PDB64* p, std::string* why, int64_t* at);
// Checks the file at path that a dead process left open, as recovering it
// would leave it, without changing it: 0 valid, -1 not.
int mx_check_stale(const char* path);
