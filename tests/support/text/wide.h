// Test support at the text layer: wide (L_CHAR) text from the literals and
// strings tests write.
//   W(U"...")            the literal itself as L_CHAR text (no copy)
//   W(u32string_view)    a wide copy (null-terminated, as c_str() is)
//   W(string_view)       a wide copy of ASCII text, byte for byte
#pragma once

#include <string>
#include <string_view>

#include "text/lchar.h"

using WString = std::basic_string<L_CHAR>;

inline const L_CHAR* W(const char32_t* s) { return reinterpret_cast<const L_CHAR*>(s); }
inline WString W(std::u32string_view s) { return WString(s.begin(), s.end()); }
inline WString W(std::string_view ascii) { return WString(ascii.begin(), ascii.end()); }
