#include "platform/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/files.h"
#include "platform/strings.h"
#include "support/test_support.h"

namespace {

class PathsTest : public QuarnTest {};

TEST_F(PathsTest, JoinsAndQuotes) {
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
  struct Quote {
    std::string in;
    bool removed;
    std::string unquoted, added;  // RemoveEnclosingQuotes, AddEnclosingQuotes(only if needed)
  } quotes[] = {
      {"\"\"", true, "", "\"\""},
      {"\"", true, "", "\""},
      {"\"a \"b\" c\"", true, "a \"b\" c", "\"a \"b\" c\""},
      {"\"abc", false, "\"abc", "\"abc"},
      {"/my dir", false, "/my dir", "\"/my dir\""},
      {"/mydir", false, "/mydir", "/mydir"},
  };
  for (const Quote& q : quotes) {
    std::string out = "unchanged";
    EXPECT_EQ(q.removed, RemoveEnclosingQuotes(q.in, out)) << q.in;
    EXPECT_EQ(q.unquoted, out) << q.in;
    AddEnclosingQuotes(q.in, out, true);
    EXPECT_EQ(q.added, out) << q.in;
  }
}

TEST_F(PathsTest, InstallDirectory) {
  std::string bin1 = temp_.Sub("bin1"), bin3 = temp_.Sub("bin3"), bin4 = temp_.Sub("bin4");
  for (const std::string& bin : {bin1, bin3, bin4}) mkdir(bin.c_str(), 0700);
  WriteFile(bin1 + "/quarn", "x", 0644);  // not executable: passed over
  WriteFile(bin3 + "/quarn", "x", 0755);
  WriteFile(bin4 + "/quarn", "x", 0755);  // after the first match: never reached
  std::string list = "::" + bin1 + ":" + temp_.Sub("bin2") + ":" + bin3 + "/:" + bin4;
  ScopedEnv path("PATH", list.c_str());
  std::string self_dir = std::filesystem::read_symlink("/proc/self/exe").parent_path();
  std::string cwd = std::filesystem::current_path();
  struct Case {
    std::string executable;
    int result;
    std::string dir;
  } cases[] = {
      {"quarn", 0, bin3 + "/"},  // the PATH entry as written
      {"nothere", 0, self_dir},  // not on PATH: the running program's own directory
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

TEST_F(PathsTest, ConvertStringToInt) {
  struct Case {
    const char* text;
    int base, value;
  } cases[] = {
      {"-", 10, 0},
      {"", 10, 0},
      {"ff", 16, 255},
      {"FF", 16, 255},
      {"+1", 10, -4},
      {"1F", 10, -4},
      {"1g", 16, -3},
      {"12", 8, -2},
      {"4294967297", 10, 1},
      {"-42", 10, -42},
      {"0x10", 16, -3},
      {"32768", 10, 32768},
      {"2147483648", 10, INT32_MIN},
  };
  for (const Case& c : cases) EXPECT_EQ(c.value, ConvertStringToInt(c.text, c.base)) << c.text;
}

TEST_F(PathsTest, MakeDirectories) {
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
