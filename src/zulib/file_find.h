// The pattern expansion behind FindFile: a path pattern whose components
// may hold "*" (any run of characters) or be "**" (every directory and file
// below, at any depth) becomes the list of paths it names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Condition bits of FindFile: kinds wanted, then what the corresponding
// target must be.
constexpr int kFindFile = 1;
constexpr int kFindDir = 2;
constexpr int kFindExist = 4;
constexpr int kFindNotExist = 8;
constexpr int kFindTouch = 16;
constexpr int kFindNoTouch = 32;
constexpr int kFindAll = 63;

// One found path.
struct DIR_LIST {
  std::string name;
  int flags;  // 1 a regular file, 2 a directory, 0 not looked at yet
  bool link;  // a directory found as a symbolic link: listed, never searched
};

// The paths that `pattern` names, for the kinds in condition's bits 1 and
// 2 (directories only for the components before the last). Names beginning
// with "." are never taken, and a directory that a wildcard finds as a
// symbolic link is never looked into (so a link back up the tree cannot
// make a walk endless): it is listed only by the last component. Entries that cannot be examined and directories
// that cannot be read are reported on the process's standard error. The
// order follows the directories as read.
std::vector<DIR_LIST> expand_dir_list(const std::string& pattern, int condition);
