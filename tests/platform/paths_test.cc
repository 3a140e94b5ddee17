#include "platform/paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/features.h"
#include "platform/files.h"
#include "support/test_support.h"

namespace {

class PathsTest : public QuarnTest {};

TEST_F(PathsTest, Joins) {
  struct Join {
    std::string base;
    const char* component;
    int result;
    std::string out;
  } joins[] = {
      {"/a", "b", 0, "/a/b"},
      {"/a/", "b", 0, "/a/b"},
      {"/a", "", 0, "/a/"},
      {"/a", "/b", 0, "/a//b"},
      {"", "b", -2, ""},
      {"/a", nullptr, -1, "/a"},
      {"\"/my dir\"", "x", 0, "\"/my dir/x\""},
      {"\"/mydir\"", "x", 0, "/mydir/x"},
  };
  for (const Join& j : joins) {
    std::string base = j.base;
    EXPECT_EQ(j.result, PathConcatenate(base, j.component)) << j.base;
    EXPECT_EQ(j.out, base) << j.base;
  }
  for (const char* path : {"/x", "~/x"}) EXPECT_TRUE(IsPathAbsolute(path)) << path;
  for (const char* path : {"~", "x", "\"/x\""}) EXPECT_FALSE(IsPathAbsolute(path)) << path;
  EXPECT_FALSE(IsPathFile(temp_.path()));  // a directory is no file
}

TEST_F(PathsTest, InstallDirectory) {
  std::string bin1 = temp_.Sub("bin1"), bin3 = temp_.Sub("bin3"), bin4 = temp_.Sub("bin4");
  for (const std::string& bin : {bin1, bin3, bin4}) mkdir(bin.c_str(), 0700);
  WriteFile(bin1 + "/quarn", "x", 0644);  // not executable: passed over
  WriteFile(bin3 + "/quarn", "x", 0755);
  WriteFile(bin4 + "/quarn", "x", 0755);  // after the first match: never reached
  std::string list = "::" + bin1 + ":" + temp_.Sub("bin2") + ":" + bin3 + "/:" + bin4;
  ScopedEnv path("PATH", list.c_str());
  // The running program's file, where the system tells it: Linux's exe
  // link, when this build uses it, says the same.
  std::string self, self_dir;
  ASSERT_EQ(
      QUARN_HAVE_LINUX_PROC || QUARN_HAVE_NSGETEXECUTABLEPATH || QUARN_HAVE_KERN_PROC_PATHNAME,
      RunningProgramPath(self));
  if (QUARN_HAVE_LINUX_PROC) {
    EXPECT_EQ(std::filesystem::read_symlink("/proc/self/exe"), self);
  }
  if (!self.empty()) self_dir = std::filesystem::path(self).parent_path();
  std::string cwd = std::filesystem::current_path();
  struct Case {
    std::string executable;
    int result;
    std::string dir;
  } cases[] = {
      {"quarn", 0, bin3 + "/"},  // the PATH entry as written
      {"nothere", 0, self_dir},  // not on PATH: the running program's own directory, if known
      {"/usr/bin/quarn", 0, "/usr/bin"},
      {"./quarn", 0, cwd + "/."},
      {"build/quarn", 0, cwd + "/build"},  // as the shell ran it
      {"", -1, ""},
  };
  for (const Case& c : cases) {
    std::string dir = "stale";
    EXPECT_EQ(c.result, GetInstallDirPath(c.executable, dir)) << c.executable;
    EXPECT_EQ(c.dir, dir) << c.executable;
  }
}

TEST_F(PathsTest, ConfigurationAndTemporaryDirectories) {
  struct Case {
    const char *trel, *local_app_data, *home, *profile, *expected;
  } cases[] = {
      {nullptr, nullptr, "/home/u", nullptr, "/home/u/.mellix-trel"},
      {nullptr, "/appdata", "/home/u", nullptr, "/appdata/mellix-trel"},
      {nullptr, "", "/home/u", nullptr, "/home/u/.mellix-trel"},
      {"", "/appdata", "/home/u", nullptr, ""},
      {nullptr, nullptr, nullptr, "/profile", "/profile/.mellix-trel"},
      {nullptr, nullptr, "", nullptr, ""},
  };
  for (const Case& c : cases) {
    ScopedEnv trel("TREL_CONFIG_DIRECTORY", c.trel), local("LOCALAPPDATA", c.local_app_data),
        home("HOME", c.home), profile("USERPROFILE", c.profile);
    std::string dir = "stale";
    EXPECT_EQ(0, GetUserConfigDirPath(dir));
    EXPECT_EQ(c.expected, dir);
  }
  std::string dir;
  ScopedEnv tmp("TMPDIR", "");  // empty: falls through to /tmp
  EXPECT_EQ(0, GetTempDirectory(dir));
  EXPECT_EQ("/tmp", dir);
}

}  // namespace
