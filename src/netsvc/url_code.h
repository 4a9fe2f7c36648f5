// Percent-coding of text for URLs, on the bytes of its encoding.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "text/lchar.h"

// Appends bytes to *out with every byte below 0x20, from 0x80 on, and each
// of space # % * / : ? written as "%" and two upper-case hexadecimal digits;
// every other byte is copied.
void url_string_code(std::string_view bytes, std::string* out);
// The bytes of text with each "%xy" escape taken as the byte 0xXY (a digit
// that is not hexadecimal counts as 0) and every other character as its low
// eight bits. A "%" followed by fewer than two characters is taken as it
// stands. The result ends at its first zero byte.
std::string decode_url_string(const L_CHAR* text, size_t len);
