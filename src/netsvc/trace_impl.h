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
