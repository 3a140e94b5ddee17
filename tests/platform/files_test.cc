#include "platform/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/sys.h"
#include "support/test_support.h"

namespace {

class FilesTest : public QuarnTest {};

// What the deletion walk opens next is swapped, once, for a link to the
// victim: as another user racing the walk would.
std::string g_swap_name, g_swap_dir, g_victim, g_moved;
int SwapThenOpen(int dirFd, const char* name, int flags, mode_t mode) {
  if (!g_swap_name.empty() && g_swap_name == name) {
    g_swap_name.clear();
    std::string at = g_swap_dir + "/" + name;
    if (rename(at.c_str(), g_moved.c_str()) != 0 || symlink(g_victim.c_str(), at.c_str()) != 0) {
      ADD_FAILURE() << "could not swap " << at;
    }
  }
  return ::openat(dirFd, name, flags, mode);
}

TEST_F(FilesTest, TrashNeverFollowsALinkSwappedIn) {
  g_victim = temp_.Sub("victim");
  ASSERT_EQ(0, MkDirs(g_victim + "/deep"));
  for (int i = 0; i < 20; ++i) WriteFile(g_victim + "/f" + std::to_string(i), "keep");
  WriteFile(g_victim + "/deep/g", "keep");
  ScopedSysOverride<int (*)(int, const char*, int, mode_t)> hook(&SysCalls::openat, &SwapThenOpen);
  // Inside the tree, and the tree itself.
  for (std::string swapped : {"sub", "tree"}) {
    std::string tree = temp_.Sub("tree");
    ASSERT_EQ(0, MkDirs(tree + "/sub/inner"));
    WriteFile(tree + "/sub/inner/x", "x");
    WriteFile(tree + "/file", "x");
    g_swap_name = swapped;
    g_swap_dir = swapped == "tree" ? temp_.path() : tree;
    g_moved = temp_.Sub("moved");
    int parent = open(temp_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat info;
    ASSERT_EQ(0, fstat(parent, &info));
    EXPECT_EQ(0, TrashDirectoryAt(parent, "tree", tree, info.st_dev)) << swapped;
    close(parent);
    EXPECT_FALSE(Exists(tree)) << swapped;  // the link went as a link
    std::vector<std::string> names;
    ASSERT_EQ(0, ListFileSystemEntries(g_victim, names, false));
    EXPECT_EQ(21u, names.size()) << swapped;
    EXPECT_EQ("keep", ReadFile(g_victim + "/deep/g")) << swapped;
    EXPECT_EQ(0, TrashDirectory(g_moved));
  }
}

TEST_F(FilesTest, MakeDirectories) {
  struct stat info;
  EXPECT_EQ(0, MkDirs(temp_.Sub("a/b/c")));
  ASSERT_EQ(0, stat(temp_.Sub("a").c_str(), &info));
  EXPECT_EQ(0700u, info.st_mode & 0777);
  WriteFile(temp_.Sub("file"), "x");
  EXPECT_EQ(0, MkDirs(temp_.Sub("file")));       // exists: nothing to do
  EXPECT_EQ(-1, MkDirs(temp_.Sub("new/")));      // made by the recursion, then mkdir fails
  EXPECT_EQ(-1, MkDirs(temp_.Sub("file/sub")));  // the parent is a file
  // A relative name of one component lies in the current directory.
  EXPECT_EQ(0,
            RunChild([&] { return chdir(temp_.path().c_str()) != 0 || MkDirs("rel/sub"); }).status);
  EXPECT_TRUE(Exists(temp_.Sub("rel/sub")));
}

}  // namespace
