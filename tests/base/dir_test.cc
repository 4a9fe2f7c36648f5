#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "base/dir.h"

namespace {

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/qnmx-dir-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { u_rm(path_.c_str(), kRmTree); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void write_file(const std::string& path) { std::ofstream(path) << "x"; }
bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

TEST(Dir, RemovalFlagsOnATreeWithALinkLeadingOutside) {
  TempDir tmp;
  std::string outside = tmp / "outside";
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  write_file(outside + "/keep");
  std::string tree = tmp / "tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((tree + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((tree + "/empty").c_str(), 0755), 0);
  write_file(tree + "/sub/f");
  write_file(tree + "/file");
  ASSERT_EQ(symlink(outside.c_str(), (tree + "/sub/link").c_str()), 0);
  ASSERT_EQ(mkdir((tree + "/sub/deep").c_str(), 0755), 0);
  write_file(tree + "/sub/deep/g");

  // Flag 2 takes files only; flag 4 only empty directories.
  EXPECT_LT(u_rm((tree + "/sub").c_str(), kRmFile), 0);
  EXPECT_LT(u_rm((tree + "/sub").c_str(), kRmEmptyDir), 0);
  EXPECT_LT(u_rm((tree + "/file").c_str(), kRmEmptyDir), 0);
  EXPECT_TRUE(exists(tree + "/sub/f"));
  EXPECT_TRUE(exists(tree + "/file"));
  EXPECT_EQ(u_rm((tree + "/file").c_str(), kRmFile), 0);
  EXPECT_FALSE(exists(tree + "/file"));
  EXPECT_EQ(u_rm((tree + "/empty").c_str(), kRmEmptyDir), 0);
  EXPECT_FALSE(exists(tree + "/empty"));

  // Flag 1 takes the tree and the link, never what the link points to.
  EXPECT_EQ(u_rm(tree.c_str(), kRmTree), 0);
  EXPECT_FALSE(exists(tree));
  EXPECT_TRUE(exists(outside + "/keep"));
  EXPECT_LT(u_rm(tree.c_str(), kRmTree), 0);

  // A link given as the path itself is removed as a link.
  std::string link = tmp / "link";
  ASSERT_EQ(symlink(outside.c_str(), link.c_str()), 0);
  EXPECT_EQ(u_rm((link + "/").c_str(), kRmTree), 0);
  EXPECT_FALSE(exists(link));
  EXPECT_TRUE(exists(outside + "/keep"));
  EXPECT_LT(u_rm((outside + "/..").c_str(), kRmTree), 0);
  EXPECT_TRUE(exists(outside + "/keep"));
}

TEST(Dir, MkdirModesAndFailures) {
  TempDir tmp;
  mode_t old = umask(077);
  std::string a = tmp / "a";
  EXPECT_EQ(u_mkdir((a + "/").c_str(), 0755), 0);
  EXPECT_EQ(u_mkdir(a.c_str(), 0755), -1);  // exists already
  EXPECT_EQ(u_mkdir("/", 0755), -1);        // too short
  EXPECT_EQ(u_mkdir((tmp / "missing/b").c_str(), 0755), -1);
  std::string m = tmp / "m";
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
}

TEST(Dir, StatTimesCountFrom2001AndNeverWrap) {
  TempDir tmp;
  std::string f = tmp / "f";
  write_file(f);
  U_STAT st;
  ASSERT_EQ(u_stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.us_mode & 0xF000, 0x8000u);
  EXPECT_EQ(st.us_uid, getuid());
  int64_t now_zu = static_cast<int64_t>(time(nullptr)) - kZuEpochOffset;
  EXPECT_LE(std::llabs(static_cast<int64_t>(st.us_mtime) - now_zu), 5);

  // Exactly the epoch, and a file from 1990, both read as 0.
  struct timespec times[2] = {{kZuEpochOffset + 7, 0}, {631152000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, f.c_str(), times, 0), 0);
  ASSERT_EQ(u_stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.us_atime, 7u);
  EXPECT_EQ(st.us_mtime, 0u);

  EXPECT_LT(u_stat((tmp / "none").c_str(), &st), 0);
}

}  // namespace
