// Association files: record files that map keys to ZU values. A file holds
// named indexes, each an integer index (32-bit keys in one tree) or a
// string index (a data tree: a tree of trees with one level per character
// of the key). Every value is kept as its printed text in a record of its
// own; a data tree can also keep several values under one key (a value
// list) and find the longest stored prefix of a string.
//
// The functions without l_ expect the caller to hold the record-store lock;
// the l_ forms take it. Values travel as stored texts in the *_text forms;
// the ZU-value forms print and read values through the operations the ZU
// layer installs with set_assoc64_value_ops, and the l_ forms do that
// printing and reading outside the lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/favt64.h"
#include "store/pdb64.h"
#include "text/lchar.h"

struct ZU_SEXP;

constexpr uint16_t kPn64DtreeDataType = 0x0105;   // value list
constexpr uint16_t kPn64AssocHeaderType = 0x0201;
constexpr uint16_t kPn64AssocDataType = 0x0202;   // printed value

// Key types of the index trees.
constexpr int kAssocIntegerKeyType = 0x100;
constexpr int kDtreeTopKeyType = 0x103;
constexpr int kDtreeKeyType = 2;

// Index types.
constexpr int kAssocIntegerIndex = 1;
constexpr int kAssocStringIndex = 2;

constexpr int kAssocSlots = 10;  // keys 1 to 9

// Keys of the index trees, host order in memory (big-endian stored).
#pragma pack(push, 4)
struct ASSOC64_INTEGER {
  int32_t data;   // the key
  int64_t fofs;   // value record
};
struct DTREE64_NODE {
  L_CHAR ch;      // one character, ordered as unsigned
  uint64_t tree;  // root of the next character's tree, 0 for none
  uint64_t data;  // value record or value list of the string ending here
};
#pragma pack(pop)
static_assert(sizeof(ASSOC64_INTEGER) == 12);
static_assert(sizeof(DTREE64_NODE) == 20);

// One entry of the association header (stored as 16 bytes).
struct ASSOC64_INDEX {
  int64_t fofs;   // the index's tree root
  int16_t type;   // kAssocIntegerIndex or kAssocStringIndex
  int16_t name;   // the caller's name, unique in the file
};

// An open association file.
struct ASSOC64_KEY {
  PDB64* p;
  ACC_PN64_HEADER* fheader;  // file header record as read (file order)
  PN64_HEADER* assoc;        // association header record (file order), or null
  uint64_t assoc_fofs;
  int assoc_len;             // number of indexes
};
extern ASSOC64_KEY as_key64[kAssocSlots];

// Search options of string indexes: flags 1 exact match, 0 longest stored
// prefix; size receives the number of characters matched.
struct ASSOC64_STRING_OPT {
  int flags;
  int size;
};

// Byte order and comparisons of the index keys.
void integer_endian64(void* data, int64_t len);
void dtree64_endian(void* data, int64_t len);
int integer_cmp64(void* node_data, void* key, void* w);
int dtree64_cmp(void* node_data, void* key, void* w);

// ---------------------------------------------------------------------------
// Data trees

// Longest key a data tree takes (walks recurse once per character).
constexpr size_t kDtreeMaxKey = 1024;

// An empty tree of the given key type; null when no space.
FAVT64_ROOT* alloc64_dtree(PDB64* p, int type);
// Stores a value record holding `text` (a zero byte is added when the text
// does not end in one; the body is at least 8 bytes). Its offset, or -1.
int64_t alloc64_data(PDB64* p, std::string_view text);
// Puts `data` under str: with old 0 a value is added (a second one makes a
// value list), with old given, old is replaced. 0, or -1.
int insert_dtree64(int* errp, FAVT64_ROOT* r, const L_CHAR* str, uint64_t old, uint64_t data);
// Removes every value of str (old 0) or the value old; nodes and trees left
// empty go. The value records themselves stay. 0, or -1.
int delete_dtree64(int* errp, FAVT64_ROOT* r, const L_CHAR* str, uint64_t old);
// The value (record or list offset) under str, 0 when none. perfect_flag 0:
// the value of the longest stored prefix of str, its length in *sizep.
uint64_t search_dtree64(int* errp, int* sizep, FAVT64_ROOT* r, const L_CHAR* str, int perfect_flag);
// func(offset, record, w) for every value in key order: once per entry of a
// value list (record null), once with the record read for a single value.
// The first non-zero result ends the walk and is returned.
using DTREE64_FUNC = int (*)(uint64_t fofs, PN64_HEADER* rec, void* w);
int dtree64_trace_from_small(int* errp, FAVT64_ROOT* r, DTREE64_FUNC func, void* work);
int dtree64_trace_from_large(int* errp, FAVT64_ROOT* r, DTREE64_FUNC func, void* work);
// Value lists: add or replace (data_segment64), remove (delete_data_segment64)
// in the value slot *datap. 0, or -1.
int data_segment64(PDB64* p, uint64_t* datap, uint64_t old, uint64_t data);
int delete_data_segment64(PDB64* p, uint64_t* datap, uint64_t old);
// The value records of a slot (one, or the entries of a list); false when a
// record cannot be read or is of another type.
bool dtree64_values(PDB64* p, uint64_t slot, std::vector<uint64_t>* out);

// ---------------------------------------------------------------------------
// Associations (record-store lock held)

// A key 1 to 9, or -1 (no free slot, or the file cannot be opened or is
// damaged).
int open_associate64(const char* filename, int oflags, int mode, uint32_t flags, int type, const char* encoding);
// 0, or negative (bad key, or the file could not be written back).
int close_associate64(int key);
int new_index64(int key, int type, int name);
int get_index64(int key, int name);
int get_index_type64(int key, int index);
// The encoding named in the file header ("" for a bad key).
std::string assoc64_encoding(int key);

// `from` points to an int32_t for an integer index, to a zero-terminated
// L_CHAR string for a string index.
int insert_associate64_text(int key, int index, const void* from, std::string_view text);
// 1 with the stored body (text, terminator and fill) in *out, 0 when absent,
// -1 for a bad key or index or a damaged record.
int search_associate64_text(int key, int index, const void* from, ASSOC64_STRING_OPT* opt, std::string* out);
// String indexes only: removes the key's values and their records. 0, or -1.
int delete_associate64(int key, int index, const void* from);
// Every stored body of the index in ascending key order; 0, or -1.
int get_assoc64_all_text(int key, int index, std::vector<std::string>* out);

// How ZU values become stored texts and back; installed by the ZU layer.
struct ASSOC64_VALUE_OPS {
  // The printed text of v in `encoding`, ending in the encoding's
  // terminator. 0, or negative when v cannot be printed.
  int (*print)(ZU_SEXP* v, const char* encoding, std::string* out);
  // The values of stored bodies (as search_associate64_text gives them) as a
  // ZU list in order; the empty list for none. `label` names the source.
  ZU_SEXP* (*read_list)(const std::vector<std::string>& bodies, const char* encoding, const char* label);
  // One value from a stored body.
  ZU_SEXP* (*read)(const std::string& body, const char* encoding, const char* label);
  // An error value for a damaged record or a failed read.
  ZU_SEXP* (*error)(int code);
};
void set_assoc64_value_ops(const ASSOC64_VALUE_OPS* ops);
const ASSOC64_VALUE_OPS* get_assoc64_value_ops();
// Installs the ZU printer and reader as the value operations (init_l_favt64
// does so at start-up): values are stored in list form with the encoding's
// terminator and read back under the source name "associate"; a damaged
// record reads as error 0x80040a06 from "associate". They must be called by
// a thread holding the memory lock; the values they make are pinned in its
// top collector frame.
void init_assoc64_zu();

// ZU-value forms: -1 / null while no operations are installed.
int insert_associate64(int key, int index, const void* from, ZU_SEXP* data);
ZU_SEXP* search_associate64(int key, int index, const void* from, ASSOC64_STRING_OPT* opt);
ZU_SEXP* get_assoc64_all(int key, int index);

// ---------------------------------------------------------------------------
// Locked forms

int l_open_associate64(const char* filename, int oflags, int mode, uint32_t flags, int type, const char* encoding);
int l_close_associate64(int key);
int l_new_index64(int key, int type, int name);
int l_get_index64(int key, int name);
int l_get_index_type64(int key, int index);
int l_insert_associate64(int key, int index, const void* from, ZU_SEXP* data);
ZU_SEXP* l_search_associate64(int key, int index, const void* from, ASSOC64_STRING_OPT* opt);
ZU_SEXP* l_get_assoc64_all(int key, int index);
int l_delete_associate64(int key, int index, const void* from);
int l_insert_associate64_text(int key, int index, const void* from, std::string_view text);
int l_search_associate64_text(int key, int index, const void* from, ASSOC64_STRING_OPT* opt, std::string* out);
int l_get_assoc64_all_text(int key, int index, std::vector<std::string>* out);
