#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "launch/launch.h"
#include "platform/sys.h"
#include "support/process.h"
#include "support/test_support.h"

namespace {

struct StartReport {
  int code = 0;
  int port = 0;
  std::string key, err;
};

class StartDaemonTest : public QuarnTest {
 protected:
  void SetUp() override {
    QuarnTest::SetUp();
    BecomeSubreaper();
    install_ = temp_.Sub("bin");
    mkdir(install_.c_str(), 0700);
  }
  void TearDown() override {
    // Daemons that a successful start left running, and the fakes' orphans.
    if (Exists(temp_.Sub("daemon.pid")))
      kill(std::stoi(ReadFile(temp_.Sub("daemon.pid"))), SIGKILL);
    int status;
    while (waitpid(-1, &status, 0) > 0) {
    }
    QuarnTest::TearDown();
  }
  std::string Fake(const std::string& name, const std::string& body) {
    std::string path = install_ + "/" + name;
    WriteFile(path, "#!/bin/sh\n" + body, 0755);
    return path;
  }
  // Runs StartNewDaemon in a child with standard error on a file.
  StartReport Start() {
    pid_t pid = fork();
    if (pid == 0) {
      CloseAbove2();
      int err = open(temp_.Sub("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(err, 2);
      close(err);
      // As a shell or an IDE might: a descriptor left open across exec.
      if (open("/dev/null", O_RDONLY) < 0) _exit(1);
      DaemonLocation location;
      int code = StartNewDaemon(install_, temp_.Sub("config"), &location);
      FILE* report = fopen(temp_.Sub("report").c_str(), "w");
      fprintf(report, "%d %d [%s]", code, location.port, location.key.c_str());
      fclose(report);
      _exit(0);
    }
    EXPECT_EQ(0, WaitChild(pid));
    StartReport report;
    std::string text = ReadFile(temp_.Sub("report"));
    EXPECT_EQ(2, sscanf(text.c_str(), "%d %d", &report.code, &report.port)) << text;
    size_t open = text.find('['), close = text.rfind(']');
    if (open != std::string::npos && close != std::string::npos) {
      report.key = text.substr(open + 1, close - open - 1);
    }
    report.err = ReadFile(temp_.Sub("err"));
    return report;
  }
  std::string install_;
};

TEST_F(StartDaemonTest, ReadsPortAndKeyOfTheDefaultProgram) {
  Fake("trel", "echo $$ > " + temp_.Sub("daemon.pid") +
                   "\nprintf 'Port: 4242\\nKey: K3Y\\n'\nexec sleep 30\n");
  ScopedEnv unset("TREL_DAEMON_PATH", nullptr);
  StartReport r = Start();
  EXPECT_EQ(0, r.code);
  EXPECT_EQ(4242, r.port);
  EXPECT_EQ("K3Y", r.key);
}

TEST_F(StartDaemonTest, CommandLineAndDescriptors) {
  std::string fake = Fake("fake", "for a in \"$@\"; do printf '[%s]' \"$a\"; done > " +
                                      temp_.Sub("args") + "\nls -l /proc/self/fd > " +
                                      temp_.Sub("fds") + "\nprintf 'Port: 1\\nKey: k\\n'\n");
  ScopedEnv path("TREL_DAEMON_PATH", fake.c_str());
  ScopedEnv connection("TREL_DAEMON_CONNECTION_TIME_OUT", "");
  ScopedEnv inactive("TREL_DAEMON_INACTIVE_TIME_OUT", "99");
  {
    ScopedEnv debug("TREL_DAEMON_START_DEBUG", nullptr);
    EXPECT_EQ(0, Start().code);
    EXPECT_EQ("[--config][" + temp_.Sub("config") +
                  "][daemon][start][--connection-timeout][][--inactive-timeout][99]",
              ReadFile(temp_.Sub("args")));
  }
  // Only the standard descriptors (and the shell's own script) reach it.
  std::string fds = ReadFile(temp_.Sub("fds"));
  ExpectOnlyStandardDescriptors(fds, fake);
  ScopedEnv debug("TREL_DAEMON_START_DEBUG", "");
  EXPECT_EQ(0, Start().code);
  EXPECT_EQ("[--config][" + temp_.Sub("config") +
                "][daemon][start][--connection-timeout][][--inactive-timeout][99][]",
            ReadFile(temp_.Sub("args")));
}

TEST_F(StartDaemonTest, StartupLineRules) {
  struct Case {
    std::string output;
    int code, port;
    std::string key;
    bool stays = true;  // keeps running after its output, to be killed
  } cases[] = {
      {"Listening for transport dt_socket at address: 5005\\nPort: 5\\nKey: k\\n", 0, 5, "k"},
      {"Port: 7\\nKey:   xyz  \\r\\n", 0, 7, "  xyz"},
      {"Port: 12a\\nKey: k\\n", -11, 0, ""},
      {"Port: -5\\nKey: k\\n", -11, 0, ""},
      {"Port: 5\\nKey: \\n", -10, 0, ""},
      {"Port: \\nKey: k\\n", -8, 0, ""},
      {"Hello\\n", -8, 0, ""},
      {"Port: 5\\nNoKey\\n", -10, 0, ""},
      {"Port: 5\\n", -9, 0, "", false},
      {"Port: " + std::string(70000, '1') + "\\n", -6, 0, ""},  // past the line limit
      {"Listening for transport dt_socket\\n", -7, 0, "", false},
  };
  for (const Case& c : cases) {
    std::string fake = Fake("fake", "echo $$ > " + temp_.Sub("fake.pid") + "\nprintf '" + c.output +
                                        (c.stays ? "'\nexec sleep 30\n" : "'\n"));
    ScopedEnv path("TREL_DAEMON_PATH", fake.c_str());
    StartReport r = Start();
    EXPECT_EQ(c.code, r.code) << c.output;
    if (c.code == 0) {
      EXPECT_EQ(c.port, r.port);
      EXPECT_EQ(c.key, r.key);
      kill(std::stoi(ReadFile(temp_.Sub("fake.pid"))), SIGKILL);
    } else {
      // A failed daemon was killed, not left behind.
      EXPECT_FALSE(ProcessRunning(std::stoi(ReadFile(temp_.Sub("fake.pid"))))) << c.output;
    }
  }
}

TEST_F(StartDaemonTest, EarlyExitShowsTheDaemonsErrors) {
  std::string fake =
      Fake("fake", "echo 'first problem' >&2\nprintf 'second\\nunterminated' >&2\nexit 3\n");
  ScopedEnv path("TREL_DAEMON_PATH", fake.c_str());
  StartReport r = Start();
  EXPECT_EQ(-6, r.code);
  EXPECT_EQ("first problem\nsecond\n", r.err);
}

TEST_F(StartDaemonTest, ProgramThatCannotRunSaysWhy) {
  ScopedEnv path("TREL_DAEMON_PATH", "");
  StartReport r = Start();
  EXPECT_EQ(-6, r.code);
  EXPECT_NE(std::string::npos, r.err.find("cannot run the daemon program ''")) << r.err;
  ScopedEnv missing("TREL_DAEMON_PATH", temp_.Sub("nothing-here").c_str());
  r = Start();
  EXPECT_EQ(-6, r.code);
  EXPECT_NE(std::string::npos, r.err.find("No such file or directory")) << r.err;
}

pid_t FailingFork() {
  errno = EAGAIN;
  return -1;
}

TEST_F(StartDaemonTest, EarlyFailuresCloseEverything) {
  DaemonLocation location;
  EXPECT_EQ(-1, StartNewDaemon(temp_.Sub("missing"), "", &location));
  EXPECT_EQ(-1, StartNewDaemon(install_, "", nullptr));
  ScopedSysOverride<decltype(SysCalls::fork)> fail(&SysCalls::fork, &FailingFork);
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
  std::string fake = Fake("fake", "exit 3\n");
  ScopedEnv path("TREL_DAEMON_PATH", fake.c_str());
  ScopedTrace trace(temp_.Sub("trace.txt"));
  ScopedSysOverride<decltype(SysCalls::fork)> ends(&SysCalls::fork, &ForkWhoseChildEndsFirst);
  StartReport r = Start();
  EXPECT_EQ(-6, r.code);
  EXPECT_NE(std::string::npos, trace.Contents().find("Check returned with result "));
  EXPECT_EQ(std::string::npos, trace.Contents().find("Kill Daemon reached"));
}

TEST_F(StartDaemonTest, ReadLineFromPipe) {
  int fds[2];
  ASSERT_EQ(0, pipe2(fds, O_CLOEXEC | O_NONBLOCK));
  ASSERT_EQ(14, write(fds[1], "  one \r\npart", 12) + 2);
  close(fds[1]);
  std::string line;
  EXPECT_EQ(0, ReadLineFromPipe(fds[0], line));
  EXPECT_EQ("one", line);
  EXPECT_EQ(1, ReadLineFromPipe(fds[0], line));
  EXPECT_EQ("part", line);
  EXPECT_EQ(-1, ReadLineFromPipe(-1, line));
  close(fds[0]);
}

}  // namespace
