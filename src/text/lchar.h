// Wide characters. Values below 0x80000000 are Unicode scalar values; the
// high-bit ranges are tagged legacy codes and encoding identifiers.
//
// Tagged ranges: 0x80000000-0xBFFFFFFF are code sets of 24-bit codes,
// 0xC0000000-0xDFFFFFFF code sets of 16-bit codes and 0xE0000000-0xEFFFFFFF
// code sets of 8-bit codes. A legacy character that has no Unicode mapping
// keeps its own code in one of the sets below, so no text is lost.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/l_char.h"

// U+FFFD: what a byte sequence that is not valid text decodes to.
constexpr L_CHAR LC_REPLACEMENT = 0xFFFD;
// JIS X 0208 characters without a Unicode mapping: this | EUC code (A1A1-FEFE).
constexpr L_CHAR LC_JISX0208 = 0xC0010000;
// JIS X 0212 characters without a Unicode mapping: this | EUC code (A1A1-FEFE).
constexpr L_CHAR LC_JISX0212 = 0xC0020000;
// Half-width katakana without a Unicode mapping: this | byte (A1-DF).
constexpr L_CHAR LC_KANA = 0xE0010000;
// Encoding identifiers live in this 16-bit code set; ASCII is LC_ENCODING | 1.
constexpr L_CHAR LC_ENCODING = 0xDFFF0000;
// The identifier answered for an encoding name nobody knows.
constexpr L_CHAR LC_UNKNOWN_ENCODING = 0xDFFFFFFF;

// Number of codes before the terminating 0.
size_t l_strlen(const L_CHAR* s);
// Compares code by code as signed 32-bit values; a proper prefix sorts
// first. Returns -1, 0 or 1. Neither may be null.
int l_strcmp(const L_CHAR* a, const L_CHAR* b);
// Copies src with its terminator into dst; returns dst.
L_CHAR* l_strcpy(L_CHAR* dst, const L_CHAR* src);

// A tagged copy of a wide string; null gives null.
L_CHAR* xx_ll_copy_str(const L_CHAR* s, const char* file, int line);
// An escaped tagged copy: "&" -> "&amp;", "<" -> "&lt;", a backslash doubled,
// line feed and carriage return as backslash-n. Null gives null. The caller
// frees it.
L_CHAR* xx_safety_string(const L_CHAR* s, const char* file, int line);

#define ll_copy_str(s) xx_ll_copy_str((s), __FILE__, __LINE__)
#define safety_string(s) xx_safety_string((s), __FILE__, __LINE__)
