#include "platform/files.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "support/test_support.h"

namespace {

class FilesTest : public QuarnTest {};

TEST_F(FilesTest, MkDirsCreatesChainWithMode0700) {
  std::string deep = temp_.Sub("a/b/c");
  EXPECT_EQ(0, MkDirs(deep));
  struct stat info;
  ASSERT_EQ(0, stat(deep.c_str(), &info));
  EXPECT_EQ(0700u, info.st_mode & 0777);
  ASSERT_EQ(0, stat(temp_.Sub("a").c_str(), &info));
  EXPECT_EQ(0700u, info.st_mode & 0777);

  WriteFile(temp_.Sub("file"), "x");
  EXPECT_EQ(0, MkDirs(temp_.Sub("file")));   // exists: nothing to do
  EXPECT_EQ(-1, MkDirs(temp_.Sub("new/")));  // created by recursion, then mkdir fails
  EXPECT_TRUE(Exists(temp_.Sub("new")));
  EXPECT_EQ(-1, MkDirs(temp_.Sub("file/sub")));
  // A relative name of one component lies in the current directory.
  char old_cwd[4096];
  ASSERT_NE(nullptr, getcwd(old_cwd, sizeof(old_cwd)));
  ASSERT_EQ(0, chdir(temp_.path().c_str()));
  EXPECT_EQ(0, MkDirs("relative"));
  EXPECT_EQ(0, MkDirs("relative/sub"));
  ASSERT_EQ(0, chdir(old_cwd));
  EXPECT_TRUE(Exists(temp_.Sub("relative/sub")));
}

TEST_F(FilesTest, ListEntries) {
  std::vector<std::string> names = {"stale"};
  EXPECT_EQ(0, ListFileSystemEntries(temp_.path(), names, true));
  EXPECT_TRUE(names.empty());
  mkdir(temp_.Sub("d1").c_str(), 0700);
  WriteFile(temp_.Sub("f1"), "x");
  ASSERT_EQ(0, symlink(temp_.Sub("d1").c_str(), temp_.Sub("dlink").c_str()));
  ASSERT_EQ(0, symlink(temp_.Sub("nowhere").c_str(), temp_.Sub("dangling").c_str()));
  EXPECT_EQ(0, ListFileSystemEntries(temp_.path(), names, true));
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{"d1", "dlink"}), names);
  EXPECT_EQ(0, ListFileSystemEntries(temp_.path(), names, false));
  EXPECT_EQ(4u, names.size());
  EXPECT_EQ(-1, ListFileSystemEntries(temp_.Sub("f1"), names, false));
  EXPECT_EQ(-1, ListFileSystemEntries("", names, false));
}

TEST_F(FilesTest, ReadLines) {
  std::vector<std::string> lines = {"kept"};
  WriteFile(temp_.Sub("f"), "a\n\nb");
  EXPECT_EQ(0, ReadAsciiFileAsLines(temp_.Sub("f"), lines));
  EXPECT_EQ((std::vector<std::string>{"kept", "a", "", "b"}), lines);
  lines.clear();
  WriteFile(temp_.Sub("crlf"), " x \r\n   \r\ny\n");
  EXPECT_EQ(0, ReadAsciiFileAsLines(temp_.Sub("crlf"), lines));
  EXPECT_EQ((std::vector<std::string>{"x", "", "y"}), lines);
  lines.clear();
  WriteFile(temp_.Sub("empty"), "");
  EXPECT_EQ(0, ReadAsciiFileAsLines(temp_.Sub("empty"), lines));
  EXPECT_TRUE(lines.empty());
  WriteFile(temp_.Sub("spaces"), "  ");  // non-empty before trimming: one empty line
  EXPECT_EQ(0, ReadAsciiFileAsLines(temp_.Sub("spaces"), lines));
  EXPECT_EQ((std::vector<std::string>{""}), lines);
  EXPECT_EQ(-1, ReadAsciiFileAsLines(temp_.Sub("missing"), lines));
}

TEST_F(FilesTest, TrashDirectoryRemovesTree) {
  std::string root = temp_.Sub("root");
  ASSERT_EQ(0, MkDirs(root + "/a/b"));
  WriteFile(root + "/a/b/f", "x");
  WriteFile(root + "/g", "x");
  EXPECT_EQ(0, TrashDirectory(root));
  EXPECT_FALSE(Exists(root));
  EXPECT_EQ(-1, TrashDirectory(root));
  WriteFile(temp_.Sub("file"), "x");
  EXPECT_EQ(-1, TrashDirectory(temp_.Sub("file")));
}

TEST_F(FilesTest, TrashDirectoryNeverFollowsLinks) {
  std::string outside = temp_.Sub("outside");
  ASSERT_EQ(0, MkDirs(outside + "/sub"));
  WriteFile(outside + "/precious", "keep");
  WriteFile(outside + "/sub/deep", "keep");
  std::string root = temp_.Sub("entry");
  ASSERT_EQ(0, MkDirs(root));
  ASSERT_EQ(0, symlink(outside.c_str(), (root + "/dirlink").c_str()));
  ASSERT_EQ(0, symlink((outside + "/precious").c_str(), (root + "/filelink").c_str()));
  EXPECT_EQ(0, TrashDirectory(root));
  EXPECT_FALSE(Exists(root));
  EXPECT_EQ("keep", ReadFile(outside + "/precious"));
  EXPECT_EQ("keep", ReadFile(outside + "/sub/deep"));

  // The argument itself a link to a directory: only the link goes.
  std::string link = temp_.Sub("linkentry");
  ASSERT_EQ(0, symlink(outside.c_str(), link.c_str()));
  EXPECT_EQ(0, TrashDirectory(link));
  EXPECT_FALSE(Exists(link));
  EXPECT_EQ("keep", ReadFile(outside + "/precious"));
}

// Root ignores permission bits, so the failing deletions run as nobody.
int TrashAsNobody(void* arg) {
  const std::string& root = *static_cast<std::string*>(arg);
  if (getuid() == 0) {
    struct passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) return 99;
  }
  int result = TrashDirectory(root);
  return result < 0 ? -result : 100 + result;
}

TEST_F(FilesTest, TrashDirectoryPartialFailure) {
  // "locked" cannot lose its entries; the other entries still go.
  std::string root = temp_.Sub("tree");
  ASSERT_EQ(0, MkDirs(root + "/locked"));
  WriteFile(root + "/locked/f", "x");
  WriteFile(root + "/other", "x");
  chmod(temp_.path().c_str(), 0777);
  if (getuid() == 0) {
    struct passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nullptr, nobody);
    ASSERT_EQ(0, chown(root.c_str(), nobody->pw_uid, nobody->pw_gid));
    ASSERT_EQ(0, chown((root + "/other").c_str(), nobody->pw_uid, nobody->pw_gid));
  }
  chmod((root + "/locked").c_str(), 0555);
  pid_t pid = ForkChild(TrashAsNobody, &root);
  int code = WaitChild(pid);
  // Whatever the listing order, the tree cannot go: -2 (the file was last)
  // or -3 (rmdir of the non-empty directory); never success.
  EXPECT_TRUE(code == 2 || code == 3) << code;
  EXPECT_TRUE(Exists(root + "/locked/f"));
  EXPECT_FALSE(Exists(root + "/other"));
}

}  // namespace
