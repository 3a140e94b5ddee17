#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <vector>

#include "launch/launch.h"
#include "platform/sys.h"
#include "support/test_support.h"

namespace {

class StartDaemonTest : public QuarnTest {
 protected:
  void SetUp() override {
    QuarnTest::SetUp();
    BecomeSubreaper();
    install_ = temp_.Sub("bin");
    mkdir(install_.c_str(), 0700);
  }
  void TearDown() override {
    while (wait(nullptr) > 0) continue;  // the fake daemons, adopted
    QuarnTest::TearDown();
  }
  // The daemon program: a script that notes its pid, then runs `body`.
  std::string Fake(const std::string& body) {
    WriteFile(install_ + "/trel", "#!/bin/sh\necho $$ > " + temp_.Sub("pid") + "\n" + body, 0755);
    return install_ + "/trel";
  }
  // StartNewDaemon in a child; the report is "code port [key]".
  ChildResult Start() {
    ChildOptions options;
    options.timeout_seconds = 30;  // a start that hangs fails the test
    return RunChild(
        [&] {
          DaemonLocation location;
          int code = StartNewDaemon(install_, temp_.Sub("config"), &location);
          dprintf(3, "%d %d [%s]", code, location.port, location.key.c_str());
          return 0;
        },
        options);
  }
  std::string install_;
};

TEST_F(StartDaemonTest, StartupLinesAndWhatTheUserIsTold) {
  const std::string program = "quarn: the daemon program '" + install_ + "/trel' ";
  struct Case {
    std::string script, report;
    std::string err;  // a part of standard error
  } cases[] = {
      {"printf 'Listening for transport dt_socket at address: 5005\\nPort: 5\\nKey: k\\n'",
       "0 5 [k]", ""},
      {"printf 'Port: 7\\nKey:   xyz  \\r\\n'", "0 7 [  xyz]", ""},
      {"printf 'Port: 12a\\nKey: k\\n'", "-11 ", "reported an invalid port or an empty key"},
      {"printf 'Port: -5\\nKey: k\\n'", "-11 ", ""},
      {"printf 'Port: 5\\nKey: \\n'", "-10 ",
       program + "did not report its key; it printed: Key:\n"},
      {"printf 'Port: \\nKey: k\\n'", "-8 ", ""},
      {"echo nothing useful", "-8 ",
       program + "did not report its port; it printed: nothing useful\n"},
      {"printf 'Port: 5\\n'; exit 0", "-9 ", "stopped after its port, without reporting its key"},
      {"printf 'Port: " + std::string(70000, '1') + "\\n'", "-6 ", ""},  // past the line limit
      {"echo 'Listening for transport dt_socket'; exit 0", "-7 ", "after its debugger notice"},
      {"exit 0", "-6 ", program + "ended without reporting its port\n"},
      {"echo 'trel: broken install' >&2; echo 'trel: second line' >&2; exit 1", "-6 ",
       "trel: broken install\ntrel: second line\n"},
  };
  ScopedEnv path("TREL_DAEMON_PATH", nullptr);  // the program next to quarn
  for (const Case& c : cases) {
    Fake(c.script + "\nexec sleep 30\n");
    ChildResult r = Start();
    EXPECT_EQ(0u, r.report.find(c.report)) << c.script << ": " << r.report;
    EXPECT_NE(std::string::npos, r.err.find(c.err)) << c.script << ": " << r.err;
    pid_t daemon = std::stoi(ReadFile(temp_.Sub("pid")));
    if (c.report[0] == '0') {
      kill(daemon, SIGKILL);
    } else {
      EXPECT_FALSE(ProcessRunning(daemon)) << c.script;  // a failed daemon is killed
    }
  }
  ScopedEnv missing("TREL_DAEMON_PATH", temp_.Sub("missing").c_str());
  EXPECT_EQ("quarn: cannot run the daemon program '" + temp_.Sub("missing") +
                "': No such file or directory\n",
            Start().err);
}

pid_t FailingFork() {
  errno = EAGAIN;
  return -1;
}

TEST_F(StartDaemonTest, ForkFailureLeaksNothing) {
  ScopedSysOverride<decltype(SysCalls::fork)> fail(&SysCalls::fork, &FailingFork);
  DaemonLocation location;
  EXPECT_EQ(-3, StartNewDaemon(install_, "", &location));
  // The fixture's descriptor count shows that both pipes were closed.
}

// A fork after which the child has already ended (not yet reaped) by the
// time the parent goes on.
pid_t ForkWhoseChildEndsFirst() {
  pid_t pid = fork();
  siginfo_t info;
  if (pid > 0) waitid(P_PID, pid, &info, WEXITED | WNOWAIT);
  return pid;
}

TEST_F(StartDaemonTest, ChildReapedByTheCheckIsNeverKilled) {
  ScopedEnv path("TREL_DAEMON_PATH", Fake("exit 3\n").c_str());
  ScopedTrace trace(temp_.Sub("trace.txt"));
  ScopedSysOverride<decltype(SysCalls::fork)> ends(&SysCalls::fork, &ForkWhoseChildEndsFirst);
  EXPECT_EQ(0u, Start().report.find("-6 "));
  EXPECT_NE(std::string::npos, trace.Contents().find("Check returned with result "));
  // Its group is ended (a wrapper's children may live there), the child
  // itself neither killed nor waited for again.
  EXPECT_NE(std::string::npos, trace.Contents().find("Kill Daemon reached"));
  EXPECT_EQ(std::string::npos, trace.Contents().find("Waiting for daemon to terminate"));
}

// The process group and session of `pid`.
std::vector<long> ProcessIds(pid_t pid) { return {getpgid(pid), getsid(pid)}; }

TEST_F(StartDaemonTest, TheDaemonLivesApartAndItsErrorsNeverBlockTheStart) {
  ScopedEnv path("TREL_DAEMON_PATH", nullptr);
  std::string flood = "i=0; while [ $i -lt 20000 ]; do echo \"warning $i\" >&2; i=$((i+1)); done\n";
  // A megabyte and more on standard error before the lines: served.
  Fake(flood + "printf 'Port: 5\\nKey: k\\n'\nexec sleep 30\n");
  ChildResult r = Start();
  EXPECT_EQ("0 5 [k]", r.report);
  EXPECT_EQ("", r.err);
  // A session and process group of its own: the terminal's signals for
  // quarn never reach it.
  pid_t daemon = std::stoi(ReadFile(temp_.Sub("pid")));
  EXPECT_EQ((std::vector<long>{daemon, daemon}), ProcessIds(daemon));
  EXPECT_NE(ProcessIds(getpid()), ProcessIds(daemon));
  kill(daemon, SIGKILL);
  // The same, then it ends: the last lines are shown, within the tail kept.
  Fake(flood + "exit 1\n");
  r = Start();
  EXPECT_EQ(0u, r.report.find("-6 "));
  EXPECT_GT(r.err.size(), 60000u);
  EXPECT_LE(r.err.size(), 64u * 1024);
  EXPECT_EQ("warning 19999\n", r.err.substr(r.err.size() - 14));
  EXPECT_EQ(0u, r.err.find("warning "));  // whole lines only
  // A wrapper that fails leaves no child of its own behind.
  Fake("sleep 300 >/dev/null 2>&1 &\necho $! > " + temp_.Sub("child") + "\nexit 3\n");
  r = Start();
  EXPECT_EQ(0u, r.report.find("-6 "));
  pid_t child = std::stoi(ReadFile(temp_.Sub("child")));
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) continue;  // adopted: reap it
  EXPECT_FALSE(ProcessRunning(child));
}

}  // namespace
