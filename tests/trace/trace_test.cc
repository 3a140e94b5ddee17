#include "trace/trace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <set>

#include "launcher/trace_init.h"
#include "platform/files.h"
#include "support/test_support.h"

namespace {

class TraceTest : public QuarnTest {};

std::string Body(const std::string& line) { return line.substr(27); }

TEST_F(TraceTest, LineFormatAndConversions) {
  ScopedTrace trace(temp_.Sub("t.txt"));
  TraceMessage("plain %s|%S|%d|%c|%C|%x|%%|%q|%s|end", "a\tb\xC3\xA9", "ok", -42, 'Z', '\n',
               0x7f000001, nullptr);
  std::string text = trace.Contents();
  std::regex shape(R"(^\d{4}\.\d{2}\.\d{2}_\d{2}\.\d{2}\.\d{2}\.\d{3}    .*\n$)");
  EXPECT_TRUE(std::regex_match(text, shape)) << text;
  EXPECT_EQ("plain a0x09b0xC30xA9|ok|-42|Z|0x0A|7f000001||||end\n", Body(text));
  struct stat info;
  ASSERT_EQ(0, stat(temp_.Sub("t.txt").c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 0777);
}

TEST_F(TraceTest, OffWithoutVariableAndDroppedWithoutPath) {
  {
    ScopedTrace trace(temp_.Sub("t.txt"));
    ScopedEnv off("QUARN_NATIVE_TRACE_ENABLE", nullptr);
    TraceMessage("nothing");
  }
  EXPECT_FALSE(Exists(temp_.Sub("t.txt")));
  ScopedEnv on("QUARN_NATIVE_TRACE_ENABLE", "");
  SetTraceFilePath("");
  TraceMessage("dropped");  // no path yet: goes nowhere
  TraceMessage(nullptr);
}

TEST_F(TraceTest, PlantedSymlinkIsNotFollowed) {
  std::string victim = temp_.Sub("victim");
  WriteFile(victim, "original");
  ASSERT_EQ(0, symlink(victim.c_str(), temp_.Sub("t.txt").c_str()));
  int saved_stderr = dup(STDERR_FILENO);
  int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  dup2(devnull, STDERR_FILENO);
  {
    ScopedTrace trace(temp_.Sub("t.txt"));
    TraceMessage("secret");
  }
  dup2(saved_stderr, STDERR_FILENO);
  close(saved_stderr);
  close(devnull);
  EXPECT_EQ("original", ReadFile(victim));
}

TEST_F(TraceTest, InitPlacesFileUnderConfigDir) {
  ScopedEnv on("QUARN_NATIVE_TRACE_ENABLE", "1");
  std::string config = temp_.Sub("cfg/deeper");
  TraceInit(config.c_str());
  std::string path = TraceFilePath;
  SetTraceFilePath("");
  std::regex shape(config +
                   R"(/trace/quarn_c_\d{4}\.\d{2}\.\d{2}_\d{2}\.\d{2}\.\d{2}\.\d{3}\.txt)");
  EXPECT_TRUE(std::regex_match(path, shape)) << path;
  struct stat info;
  ASSERT_EQ(0, stat((config + "/trace").c_str(), &info));
  EXPECT_EQ(0700u, info.st_mode & 0777);
  ASSERT_EQ(0, lstat(path.c_str(), &info));  // created at once, the user's alone
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(0600u, info.st_mode & 0777);
}

TEST_F(TraceTest, InitNeverOpensAFileThatIsAlreadyThere) {
  ScopedEnv on("QUARN_NATIVE_TRACE_ENABLE", "1");
  std::string dir = temp_.Sub("cfg/trace");
  ASSERT_EQ(0, MkDirs(dir));
  // Planted at this moment's name: a file of another mode, and a FIFO that
  // would hang a writer.
  std::string now;
  FormatTraceTimestamp(now);
  WriteFile(dir + "/quarn_c_" + now + ".txt", "planted", 0644);
  ASSERT_EQ(0, mkfifo((dir + "/quarn_c_" + now + "_1.txt").c_str(), 0666));
  std::set<std::string> paths;
  for (int run = 0; run < 50; ++run) {  // many runs within one millisecond
    TraceInit(temp_.Sub("cfg").c_str());
    paths.insert(TraceFilePath);
    TraceMessage("run %d", run);
  }
  SetTraceFilePath("");
  EXPECT_EQ(50u, paths.size());
  EXPECT_EQ("planted", ReadFile(dir + "/quarn_c_" + now + ".txt"));
}

TEST_F(TraceTest, InitCreatesTheDirectoryEvenWithTracingOff) {
  ScopedEnv off("QUARN_NATIVE_TRACE_ENABLE", nullptr);
  TraceInit(temp_.Sub("fresh/config").c_str());
  EXPECT_TRUE(Exists(temp_.Sub("fresh/config/trace")));
  EXPECT_EQ('\0', TraceFilePath[0]);
}

TEST_F(TraceTest, InitFallsBackToTempDir) {
  ScopedEnv on("QUARN_NATIVE_TRACE_ENABLE", "1");
  ScopedEnv tmp("TMPDIR", temp_.Sub("tmp").c_str());
  mkdir(temp_.Sub("tmp").c_str(), 0700);
  std::string config = temp_.Sub("cfg"), linked = temp_.Sub("linked"), open = temp_.Sub("open");
  mkdir(config.c_str(), 0700);
  WriteFile(config + "/trace", "not a directory");
  // A trace directory that is a link, or that others may write to, is not used.
  ASSERT_EQ(0, MkDirs(temp_.Sub("elsewhere")));
  ASSERT_EQ(0, MkDirs(linked));
  ASSERT_EQ(0, symlink(temp_.Sub("elsewhere").c_str(), (linked + "/trace").c_str()));
  ASSERT_EQ(0, MkDirs(open + "/trace"));
  chmod((open + "/trace").c_str(), 0777);
  for (const char* dir :
       {config.c_str(), "", static_cast<const char*>(nullptr), linked.c_str(), open.c_str()}) {
    TraceInit(dir);
    std::string path = TraceFilePath;
    SetTraceFilePath("");
    EXPECT_EQ(0u, path.find(temp_.Sub("tmp/trace/quarn_c_"))) << path;
  }
  std::vector<std::string> names;
  EXPECT_EQ(0, ListFileSystemEntries(temp_.Sub("elsewhere"), names, false));
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(0, ListFileSystemEntries(open + "/trace", names, false));
  EXPECT_TRUE(names.empty());
}

}  // namespace
