#include "trace/trace.h"

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

TEST_F(TraceTest, LinesConversionsAndLinks) {
  {
    ScopedTrace trace(temp_.Sub("t.txt"));
    TraceMessage("plain %s|%S|%d|%c|%C|%x|%%|%q|%s|end", "a\tb\xC3\xA9", "ok", -42, 'Z', '\n',
                 0x7f000001, nullptr);
    std::regex shape(R"(^\d{4}\.\d{2}\.\d{2}_\d{2}\.\d{2}\.\d{2}\.\d{3}    (.*)\n$)");
    std::smatch m;
    std::string text = trace.Contents();
    ASSERT_TRUE(std::regex_match(text, m, shape)) << text;
    EXPECT_EQ("plain a0x09b0xC30xA9|ok|-42|Z|0x0A|7f000001||||end", m[1].str());
    ScopedEnv off("QUARN_NATIVE_TRACE_ENABLE", nullptr);
    TraceMessage("not written");
    EXPECT_EQ(text, trace.Contents());
  }
  // Never through a link, and never on standard error instead: lines hold
  // secrets. One line says so, and the run is traced no more.
  WriteFile(temp_.Sub("victim"), "original");
  ASSERT_EQ(0, symlink(temp_.Sub("victim").c_str(), temp_.Sub("link.txt").c_str()));
  ChildResult r = RunChild([&] {
    ScopedTrace trace(temp_.Sub("link.txt"));
    TraceMessage("secret");
    unlink(temp_.Sub("link.txt").c_str());
    TraceMessage("another secret");
    return 0;
  });
  EXPECT_EQ("original", ReadFile(temp_.Sub("victim")));
  EXPECT_EQ("quarn: cannot write the trace file " + temp_.Sub("link.txt") +
                ": Too many levels of symbolic links\n",
            r.err);
  EXPECT_FALSE(Exists(temp_.Sub("link.txt")));
}

TEST_F(TraceTest, InitPlacesANewPrivateFile) {
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
