// The subcommands of mxop_check, each a row of a table: its name, its
// entry (the arguments after the name) and whether it needs the runtime
// (the matrix worker and the collector) or only the store.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Exit statuses shared by the subcommands.
constexpr int kMxopRefused = 1;  // block subcommands: refused, the reason on standard error
constexpr int kMxopUsage = 2;

struct MxopCommand {
  const char* name;
  int (*run)(int argc, char** argv);
  bool runtime;
};
// The block subcommands (mxop_blocks.cc); the table ends with a null name.
extern const MxopCommand kMxopBlockCommands[];

// "1:2:3" -> {1, 2, 3}.
std::vector<int64_t> mxop_numbers(const std::string& text, char sep);
