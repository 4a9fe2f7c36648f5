// Traces of the network services. Lines printed per request or per message
// go to the standard error only when QNMX_TRACE is set; peer text in them
// has its control characters replaced by "?".
#pragma once

#include <string>
#include <string_view>

// Whether QNMX_TRACE is set (read once).
bool net_trace_on();
// text with every control character (and DEL) replaced by "?".
std::string net_printable(std::string_view text);

// Where a byte dump stands in the text: the masking of passwd= values goes
// on across the pieces of one direction of a stream.
struct SECRET_MASK {
  int matched;  // bytes of "passwd=" matched so far
  int mode;     // 0 plain text, 1 after "=", 2 in a quoted value, 3 in a bare value, 4 after "\" in a quoted one
};
// A dump of bytes for a trace: each byte below 32 or from 128 up as
// "$%x$", the others as they are; the value after every passwd= (quoted or
// bare, any case) shown as "****".
std::string net_masked_dump(SECRET_MASK* mask, const unsigned char* p, size_t n);
