#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "base/dir.h"
#include "support/temp_dir.h"

namespace {

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

TEST(Dir, RemovalFlagsOnATreeWithALinkLeadingOutside) {
  TempDir tmp("dir");
  std::string outside = tmp.at("outside"), tree = tmp.at("tree");
  tmp.file("outside/keep", "x");
  tmp.file("tree/sub/f", "x");
  tmp.file("tree/sub/deep/g", "x");
  tmp.file("tree/file", "x");
  ASSERT_EQ(mkdir((tree + "/empty").c_str(), 0755), 0);
  ASSERT_EQ(symlink(outside.c_str(), (tree + "/sub/link").c_str()), 0);

  // Flag 2 takes files only; flag 4 only empty directories.
  EXPECT_LT(u_rm((tree + "/sub").c_str(), kRmFile), 0);
  EXPECT_LT(u_rm((tree + "/sub").c_str(), kRmEmptyDir), 0);
  EXPECT_LT(u_rm((tree + "/file").c_str(), kRmEmptyDir), 0);
  EXPECT_TRUE(exists(tree + "/sub/f") && exists(tree + "/file"));
  EXPECT_EQ(u_rm((tree + "/file").c_str(), kRmFile), 0);
  EXPECT_EQ(u_rm((tree + "/empty").c_str(), kRmEmptyDir), 0);
  EXPECT_FALSE(exists(tree + "/file") || exists(tree + "/empty"));

  // Flag 1 takes the tree and the link, never what the link points to.
  EXPECT_EQ(u_rm(tree.c_str(), kRmTree), 0);
  EXPECT_FALSE(exists(tree));
  EXPECT_TRUE(exists(outside + "/keep"));
  EXPECT_LT(u_rm(tree.c_str(), kRmTree), 0);

  // A link given as the path itself is removed as a link.
  std::string link = tmp.at("link");
  ASSERT_EQ(symlink(outside.c_str(), link.c_str()), 0);
  EXPECT_EQ(u_rm((link + "/").c_str(), kRmTree), 0);
  EXPECT_FALSE(exists(link));
  EXPECT_LT(u_rm((outside + "/..").c_str(), kRmTree), 0);
  EXPECT_TRUE(exists(outside + "/keep"));
}

TEST(Dir, MkdirModesAndStatTimes) {
  TempDir tmp("dir");
  mode_t old = umask(077);
  std::string a = tmp.at("a"), m = tmp.at("m");
  EXPECT_EQ(u_mkdir((a + "/").c_str(), 0755), 0);
  EXPECT_EQ(u_mkdir(a.c_str(), 0755), -1);  // exists already
  EXPECT_EQ(u_mkdir("/", 0755), -1);        // too short
  EXPECT_EQ(u_mkdir(tmp.at("missing/b").c_str(), 0755), -1);
  EXPECT_EQ(m_mkdir(m.c_str(), 0755), 0);
  errno = 0;
  EXPECT_LT(m_mkdir(m.c_str(), 0755), 0);
  EXPECT_EQ(errno, EEXIST);
  umask(old);
  U_STAT st;
  ASSERT_EQ(u_stat(a.c_str(), &st), 0);
  EXPECT_EQ(st.us_mode & 0xF000, 0x4000u);
  EXPECT_EQ(st.us_mode & 07777, 0755u);  // not cut by the umask
  ASSERT_EQ(u_stat(m.c_str(), &st), 0);
  EXPECT_EQ(st.us_mode & 07777, 0700u);  // this one is

  // Times count from 2001 and never wrap: the epoch itself and a file from
  // 1990 both read as 0.
  std::string f = tmp.file("f", "x");
  ASSERT_EQ(u_stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.us_mode & 0xF000, 0x8000u);
  EXPECT_EQ(st.us_uid, getuid());
  EXPECT_LE(std::llabs(static_cast<int64_t>(st.us_mtime) - (time(nullptr) - kZuEpochOffset)), 5);
  struct timespec times[2] = {{kZuEpochOffset + 7, 0}, {631152000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, f.c_str(), times, 0), 0);
  ASSERT_EQ(u_stat(f.c_str(), &st), 0);
  EXPECT_EQ((std::pair{st.us_atime, st.us_mtime}), (std::pair{decltype(st.us_atime){7}, decltype(st.us_mtime){0}}));
  EXPECT_LT(u_stat(tmp.at("none").c_str(), &st), 0);
}

}  // namespace
