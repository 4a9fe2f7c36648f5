// Helpers shared by the file, path and rule built-ins.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/alloc.h"
#include "text/convert.h"
#include "zu/eval.h"
#include "zu/value.h"

// The text of a string value in the standard encoding, as the operating
// system takes paths.
std::string narrow_text(ZU_SEXP* s);
// A string value from narrow text in the standard encoding.
inline ZU_SEXP* narrow_string(const std::string& s) { return n_get_string(s.c_str()); }

// True when an option's text is the ASCII word.
inline bool option_is(const L_CHAR* text, const char* word) { return text && zu_wcmp_ascii(text, word) == 0; }

// The refusal of a file-editing built-in called for a peer (over its link,
// or on its behalf): null when the caller evaluates for no peer or the peer
// may edit `path` (a string value), else the denial positioned at the call
// form. The path is judged where it leads, every symlink resolved: an
// access file and a place outside every registered tree are refused;
// elsewhere the access files of its document path decide, asked with the
// built-in's name as the operation. With whole_tree (the edit takes all
// below the path with it) every entry below a directory is judged so too,
// as if it were edited alone.
ZU_SEXP* peer_edit_refusal(ZU_SEXP* form, ZU_SEXP* path, const char* op, bool whole_tree);

// Star patterns of one path component, compiled once and matched against
// many names without allocating. In a find pattern "*" stands for any run
// of characters; in a rule pattern for a run of one or more.
class StarPattern {
 public:
  StarPattern() = default;
  StarPattern(std::string_view text, bool one_or_more);
  bool matches(std::string_view name) const;
  bool only_stars() const { return only_stars_; }

 private:
  static constexpr int kStar = -1;  // any run, possibly empty
  static constexpr int kAny = -2;   // exactly one character
  std::basic_string<int> tokens_;
  bool only_stars_ = false;
};

// The kind of an existing path as the walks see it.
enum class FileKind { none, dir, file, other };
