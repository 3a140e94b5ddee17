#include "platform/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/test_support.h"

namespace {

class PathsTest : public QuarnTest {};

TEST_F(PathsTest, ConcatenateTable) {
  struct Case {
    std::string base;
    const char* component;
    int result;
    std::string out;
  } cases[] = {
      {"/a", "b", 0, "/a/b"},
      {"/a/", "b", 0, "/a/b"},
      {"/a", "", 0, "/a/"},
      {"/a", "/b", 0, "/a//b"},
      {"", "b", -2, ""},
      {"\"/my dir\"", "x", 0, "\"/my dir/x\""},
      {"\"/mydir\"", "x", 0, "/mydir/x"},
      {"/a", "\"b c\"", 0, "\"/a/b c\""},
      {"\"\"", "x", -2, "\"\""},
  };
  for (const Case& c : cases) {
    std::string base = c.base;
    EXPECT_EQ(c.result, PathConcatenate(base, c.component)) << c.base << " + " << c.component;
    EXPECT_EQ(c.out, base) << c.base << " + " << c.component;
  }
  std::string base = "/a";
  EXPECT_EQ(-1, PathConcatenate(base, nullptr));
  EXPECT_EQ("/a", base);
}

TEST_F(PathsTest, ParentTable) {
  struct Case {
    std::string path;
    int result;
    std::string parent;
  } cases[] = {
      {"/a/b", 0, "/a"},
      {"/a/b/", 0, "/a/b"},
      {"/a", 0, ""},
      {"name", -2, ""},
      {"", -1, ""},
      {"\"/my dir/x\"", 0, "\"/my dir\""},
      {"\"/mydir/x\"", 0, "/mydir"},
  };
  for (const Case& c : cases) {
    std::string parent = "stale";
    EXPECT_EQ(c.result, GetParentDirPath(c.path, parent)) << c.path;
    EXPECT_EQ(c.parent, parent) << c.path;
  }
}

TEST_F(PathsTest, Predicates) {
  WriteFile(temp_.Sub("file"), "x", 0644);
  WriteFile(temp_.Sub("tool"), "#!/bin/sh\n", 0500);
  WriteFile(temp_.Sub("noexec"), "x", 0400);
  ASSERT_EQ(0, symlink(temp_.path().c_str(), temp_.Sub("link").c_str()));
  EXPECT_TRUE(IsPathValid(temp_.Sub("file")));
  EXPECT_FALSE(IsPathValid(temp_.Sub("missing")));
  EXPECT_FALSE(IsPathValid(""));
  EXPECT_TRUE(IsPathFile(temp_.Sub("file")));
  EXPECT_FALSE(IsPathFile(temp_.path()));
  EXPECT_TRUE(IsPathDirectory(temp_.path()));
  EXPECT_TRUE(IsPathDirectory(temp_.Sub("link")));
  EXPECT_TRUE(IsPathSymlink(temp_.Sub("link")));
  EXPECT_FALSE(IsPathSymlink(temp_.path()));
  EXPECT_TRUE(IsFileExecutable(temp_.Sub("tool")));
  EXPECT_FALSE(IsFileExecutable(temp_.Sub("noexec")));
  EXPECT_FALSE(IsFileExecutable(temp_.path()));
  EXPECT_TRUE(IsPathAbsolute("/x"));
  EXPECT_TRUE(IsPathAbsolute("~/x"));
  EXPECT_FALSE(IsPathAbsolute("~"));
  EXPECT_FALSE(IsPathAbsolute("x"));
  EXPECT_FALSE(IsPathAbsolute("\"/x\""));
}

TEST_F(PathsTest, InstallDirFromPath) {
  std::string bin1 = temp_.Sub("bin1"), bin2 = temp_.Sub("bin2"), bin3 = temp_.Sub("bin3");
  mkdir(bin1.c_str(), 0700);
  mkdir(bin2.c_str(), 0700);
  mkdir(bin3.c_str(), 0700);
  WriteFile(bin1 + "/quarn", "x", 0644);  // not executable: passed over
  WriteFile(bin3 + "/quarn", "x", 0755);
  std::string path = "::" + bin1 + ":" + bin2 + ":" + bin3 + "/:" + bin1;
  ScopedEnv env("PATH", path.c_str());
  std::string dir;
  EXPECT_EQ(0, GetInstallDirPath("quarn", dir));
  EXPECT_EQ(bin3 + "/", dir);  // as written in PATH
  // Not on PATH: the directory of the running program itself.
  EXPECT_EQ(0, GetInstallDirPath("nothere", dir));
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
  EXPECT_EQ(std::string(self).substr(0, std::string(self).rfind('/')), dir);
  {
    ScopedEnv empty("PATH", "");
    EXPECT_EQ(-7, GetInstallDirPath("quarn", dir));
  }
  {
    ScopedEnv unset("PATH", nullptr);
    EXPECT_EQ(-5, GetInstallDirPath("quarn", dir));
  }
  EXPECT_EQ(-1, GetInstallDirPath("", dir));
  EXPECT_EQ(0, GetInstallDirPath("/usr/bin/quarn", dir));
  EXPECT_EQ("/usr/bin", dir);
}

TEST_F(PathsTest, InstallDirRelativeToCwd) {
  char old_cwd[4096];
  ASSERT_NE(nullptr, getcwd(old_cwd, sizeof(old_cwd)));
  ASSERT_EQ(0, chdir(temp_.path().c_str()));
  std::string dir, cwd;
  GetCWD(cwd);
  EXPECT_EQ(0, GetInstallDirPath("./quarn", dir));
  EXPECT_EQ(cwd + "/.", dir);
  EXPECT_EQ(0, GetInstallDirPath("build/quarn", dir));  // as the shell ran it
  EXPECT_EQ(cwd + "/build", dir);
  ASSERT_EQ(0, chdir(old_cwd));
}

TEST_F(PathsTest, UserConfigDirFallbacks) {
  ScopedEnv trel("TREL_CONFIG_DIRECTORY", nullptr);
  ScopedEnv local("LOCALAPPDATA", nullptr);
  ScopedEnv home("HOME", "/home/u");
  ScopedEnv profile("USERPROFILE", nullptr);
  std::string dir;
  EXPECT_EQ(0, GetUserConfigDirPath(dir));
  EXPECT_EQ("/home/u/.mellix-trel", dir);
  {
    ScopedEnv local2("LOCALAPPDATA", "/appdata");
    EXPECT_EQ(0, GetUserConfigDirPath(dir));
    EXPECT_EQ("/appdata/mellix-trel", dir);
  }
  {
    ScopedEnv local2("LOCALAPPDATA", "");
    EXPECT_EQ(0, GetUserConfigDirPath(dir));
    EXPECT_EQ("/home/u/.mellix-trel", dir);
  }
  {
    ScopedEnv explicit_dir("TREL_CONFIG_DIRECTORY", "");
    EXPECT_EQ(0, GetUserConfigDirPath(dir));
    EXPECT_EQ("", dir);
  }
  {
    ScopedEnv no_home("HOME", nullptr);
    ScopedEnv profile2("USERPROFILE", "/profile");
    EXPECT_EQ(0, GetUserConfigDirPath(dir));
    EXPECT_EQ("/profile/.mellix-trel", dir);
  }
  {
    ScopedEnv empty_home("HOME", "");
    EXPECT_EQ(0, GetUserConfigDirPath(dir));
    EXPECT_EQ("", dir);
  }
}

TEST_F(PathsTest, TempDirectoryFallbacks) {
  std::string dir;
  {
    ScopedEnv tmp("TMPDIR", "/somewhere");
    EXPECT_EQ(0, GetTempDirectory(dir));
    EXPECT_EQ("/somewhere", dir);
  }
  ScopedEnv tmp("TMPDIR", "");
  EXPECT_EQ(0, GetTempDirectory(dir));
  EXPECT_EQ("/tmp", dir);
}

}  // namespace
