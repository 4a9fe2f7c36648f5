// The wide character type shared by every layer. Values below 0x80000000
// are Unicode scalar values; text/lchar.h gives the tagged ranges above and
// the string functions. It lives here so that base can hold wide keys
// without depending on text.
#pragma once

#include <cstdint>

using L_CHAR = uint32_t;
