// Directories and file status: the file layer's view of the tree. Paths are
// narrow texts; modes are the system's own permission bits.
#pragma once

#include <cstdint>

// Seconds between the Unix epoch and 2001-01-01 00:00 UTC (the ZU epoch).
constexpr int64_t kZuEpochOffset = 978307200;

// Status of a file. Times are whole seconds since the ZU epoch; a time
// before it reads as 0, so older files never look newer than recent ones.
struct U_STAT {
  unsigned int us_mode;  // kind (0xF000 mask: 0x4000 directory, 0x8000 file) and permissions
  unsigned int us_uid;
  unsigned int us_gid;
  uint32_t us_atime;
  uint32_t us_mtime;
  uint32_t us_ctime;
};

// 0 on success, negative when the path cannot be examined (missing included).
// Symbolic links are followed.
int u_stat(const char* path, U_STAT* st);

// Makes one directory (a trailing "/" is dropped) and sets its permissions
// to exactly `mode`, whatever the umask. 0 on success; -1 on failure or for a
// path shorter than 2 characters.
int u_mkdir(const char* path, int mode);
// Makes one directory with `mode` cut by the umask; negative on failure with
// errno set (EEXIST when it exists already).
int m_mkdir(const char* path, int mode);

// Flags of u_rm; they may be combined.
constexpr int kRmTree = 1;      // the whole tree below and including the path
constexpr int kRmFile = 2;      // a path that is not a directory
constexpr int kRmEmptyDir = 4;  // a directory, only when it is empty
// Removes a path as the flags allow. Symbolic links are removed, never
// followed (also when the path ends in "/"). The root and paths ending in
// "." or ".." are refused. 0 when something was removed, -1 otherwise (errno set); callers
// that report nothing may ignore the result.
int u_rm(const char* path, int flags);

// Directory reading. u_opendir gives null when the directory cannot be
// opened; u_readdir gives the next entry ("." and ".." included; callers skip
// names beginning with "." as they see fit), null at the end. An entry stays
// valid until the next u_readdir or u_closedir on the same directory.
struct U_DIR;
struct U_DIRENT {
  const char* name;
};
U_DIR* u_opendir(const char* path);
U_DIRENT* u_readdir(U_DIR* dir);
int u_closedir(U_DIR* dir);
