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
