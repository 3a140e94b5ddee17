#include "trace/trace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>

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

}  // namespace
