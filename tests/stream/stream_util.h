// Helpers shared by the stream tests.
#pragma once

#include <string>

#include "stream/stream.h"

// The bytes up to and including the next line feed, or to the end.
inline std::string read_line(STREAM* s) {
  std::string line;
  char c;
  while ((line.empty() || line.back() != '\n') && s_read(s, &c, 1) == 1) line += c;
  return line;
}

// Everything up to the end of input.
inline std::string read_all(STREAM* s) {
  std::string out;
  char buf[256];
  for (int r; (r = s_read(s, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(r));
  return out;
}
