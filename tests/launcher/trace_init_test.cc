#include "launcher/trace_init.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <set>

#include "support/test_support.h"
#include "trace/trace.h"

namespace {

class TraceInitTest : public QuarnTest {};

TEST_F(TraceInitTest, InitPlacesANewPrivateFile) {
  ScopedEnv on("QUARN_NATIVE_TRACE_ENABLE", "1");
  std::string config = temp_.Sub("cfg/deeper");
  TraceInit(config.c_str());
  std::string path = TraceFilePath;
  std::regex shape(config +
                   R"(/trace/quarn_c_\d{4}\.\d{2}\.\d{2}_\d{2}\.\d{2}\.\d{2}\.\d{3}\.txt)");
  EXPECT_TRUE(std::regex_match(path, shape)) << path;
  struct stat info;
  ASSERT_EQ(0, lstat(path.c_str(), &info));  // created at once, the user's alone
  EXPECT_EQ(0600u, info.st_mode & 0777);
  // A file or a FIFO already at this moment's names is never opened; many
  // runs of one millisecond get files of their own.
  std::string dir = config + "/trace", now;
  FormatTraceTimestamp(now);
  WriteFile(dir + "/quarn_c_" + now + ".txt", "planted", 0644);
  ASSERT_EQ(0, mkfifo((dir + "/quarn_c_" + now + "_1.txt").c_str(), 0666));
  std::set<std::string> paths;
  for (int run = 0; run < 50; ++run) {
    TraceInit(config.c_str());
    paths.insert(TraceFilePath);
    TraceMessage("run %d", run);
  }
  SetTraceFilePath("");
  EXPECT_EQ(50u, paths.size());
  EXPECT_EQ("planted", ReadFile(dir + "/quarn_c_" + now + ".txt"));
  // With tracing off the directory is still made, but no file.
  ScopedEnv off("QUARN_NATIVE_TRACE_ENABLE", nullptr);
  TraceInit(temp_.Sub("fresh/config").c_str());
  EXPECT_TRUE(Exists(temp_.Sub("fresh/config/trace")));
  EXPECT_EQ('\0', TraceFilePath[0]);
}

}  // namespace
