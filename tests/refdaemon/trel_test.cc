// What quarn relies on in the reference daemon; everything else about it
// is driven by the end-to-end tests.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <regex>

#include "launch/launch.h"
#include "registry/registry.h"
#include "support/e2e_fixture.h"
#include "support/test_support.h"
#include "support/wire.h"

namespace {

class TrelContract : public QuarnTest {
 protected:
  // Started as quarn starts it; it is this process's child.
  DaemonLocation Start(const char* connectionMs, const char* inactiveMs) {
    ScopedEnv path("TREL_DAEMON_PATH", TREL_BINARY);
    ScopedEnv connection("TREL_DAEMON_CONNECTION_TIME_OUT", connectionMs);
    ScopedEnv inactive("TREL_DAEMON_INACTIVE_TIME_OUT", inactiveMs);
    DaemonLocation location;
    EXPECT_EQ(0, StartNewDaemon(temp_.path(), temp_.Sub("config"), &location));
    return location;
  }
  std::string Registry() { return temp_.Sub("config/daemons"); }
};

std::string Request(const std::string& key, const std::string& line = kTestRequestLine,
                    const std::string& upgrade = kTestUpgradeHeader) {
  return line + "\r\nX-Secret-Key: " + key + "\r\nConnection: Upgrade\r\n" + upgrade + "\r\n\r\n";
}

TEST_F(TrelContract, RegisteredBeforeItPrintsItsPortAndEndsWhenIdle) {
  DaemonLocation started = Start("5000", "1000");
  DaemonLocation found;
  ASSERT_EQ(0, FindDaemon(Registry(), temp_.path(), &found));  // no wait needed
  EXPECT_EQ(started.port, found.port);
  EXPECT_EQ(started.key, found.key);
  EXPECT_EQ(0, WaitChild(-1));  // idle for a second, it ends by itself
  EXPECT_EQ(-3, FindDaemon(Registry(), temp_.path(), &found));  // its entry went with it
  EXPECT_EQ(-1, found.port);                                    // and the location is emptied
}

TEST_F(TrelContract, RefusalsAndConnectionTimeOut) {
  DaemonLocation daemon = Start("300", "60000");
  struct Case {
    std::string request, status;
  } cases[] = {
      {Request(std::string(32, '0')), "HTTP/1.1 403 "},
      {Request(daemon.key.substr(0, 31)), "HTTP/1.1 403 "},
      {Request(daemon.key, "GET / HTTP/1.1"), "HTTP/1.1 400 "},
      {Request(daemon.key, kTestRequestLine, "Upgrade: other"), "HTTP/1.1 400 "},
      {Request(daemon.key), "HTTP/1.1 101 "},
      {"GET /com", ""},  // and nothing more: closed after the time-out
  };
  for (const Case& c : cases) {
    WireConnection connection(ConnectLoopback(daemon.port));
    connection.Send(c.request);
    EXPECT_EQ(0u, connection.ReadHeaders().find(c.status)) << c.request;
    EXPECT_EQ("", connection.ReadMessage()) << c.request;  // closed by the daemon
  }
  DaemonRegistryList entries;
  ASSERT_EQ(0, ListDaemons(Registry(), temp_.path(), entries));
  ASSERT_EQ(1u, entries.size());
  kill(std::stoi(entries[0].properties["pid"]), SIGKILL);
  EXPECT_GT(wait(nullptr), 0);
}

// What a newcomer types first, through quarn: help, usage, version, and
// which program serves.
TEST_F(QuarnE2E, TrelAnswersANewcomer) {
  ChildResult help = Quarn({"--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_EQ(0u, help.out.find("usage: trel ")) << help.out;
  EXPECT_NE(std::string::npos, help.out.find("\n  daemon stop "));
  EXPECT_EQ(help.out, Quarn({"-h"}).out);
  EXPECT_EQ(help.out, Quarn({"help"}).out);
  ChildResult none = Quarn({});
  EXPECT_EQ(2, none.status);
  EXPECT_EQ("", none.out);
  EXPECT_EQ(help.out, none.err);
  std::regex version(R"(trel \(quarn's reference daemon\) \d+\.\d+\.\d+\n)");
  EXPECT_TRUE(std::regex_match(Quarn({"--version"}).out, version));
  EXPECT_TRUE(std::regex_match(Quarn({"version"}).out, version));
  std::string status = Quarn({"daemon", "status"}).out;
  EXPECT_EQ(0u, status.find("program: " + std::string(TREL_BINARY) + "\nversion: ")) << status;
  EXPECT_GT(PidIn(status), 0);
}

}  // namespace
