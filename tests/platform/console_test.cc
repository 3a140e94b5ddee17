#include "platform/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "support/test_support.h"

namespace {

class ConsoleTest : public QuarnTest {};

struct ReadPlan {
  std::string input_path, report_path;
  std::vector<int> limits;
  bool echo_off;
};

// In a child: stdin from the file, one ReadFromStdIn per limit, each result
// written to the report as "<size>:<bytes>|".
int ReadInChild(void* arg) {
  ReadPlan* plan = static_cast<ReadPlan*>(arg);
  int in = open(plan->input_path.c_str(), O_RDONLY);
  dup2(in, 0);
  std::string report;
  for (int limit : plan->limits) {
    std::string out;
    ReadFromStdIn(out, limit, plan->echo_off);
    report += std::to_string(out.size()) + ":" + out + "|";
  }
  WriteFile(plan->report_path, report);
  return 0;
}

std::string RunReads(TempDir& temp, const std::string& input, std::vector<int> limits,
                     bool echoOff = false) {
  WriteFile(temp.Sub("in"), input);
  ReadPlan plan{temp.Sub("in"), temp.Sub("report"), limits, echoOff};
  EXPECT_EQ(0, WaitChild(ForkChild(ReadInChild, &plan)));
  return ReadFile(temp.Sub("report"));
}

TEST_F(ConsoleTest, LineLimitsAndEndOfInput) {
  EXPECT_EQ("4:abc\n|0:|0:|2:de|2:f\n|2:gh|0:|0:|",
            RunReads(temp_, "abc\ndef\ngh", {10, 0, -3, 2, 10, 10, 10, 32769}));
  EXPECT_EQ(std::string("3:\xFF\0z|", 6), RunReads(temp_, std::string("\xFF\0z", 3), {3}));
  // A file is no terminal: echo-off reads it all the same.
  EXPECT_EQ("3:pw\n|", RunReads(temp_, "pw\n", {100}, true));
}

TEST_F(ConsoleTest, TranscodeFailureGivesEmpty) {
  ScopedEnv transcode("QUARN_TRANSCODE_UTF8", "");
  ScopedEnv lc_all("LC_ALL", "C.UTF-8");
  EXPECT_EQ("3:ok\n|0:|0:|", RunReads(temp_, "ok\nbad\xFF\n", {100, 100, 100}));
}

TEST_F(ConsoleTest, WritesKeepNulBytes) {
  int pipe_fds[2];
  ASSERT_EQ(0, pipe2(pipe_fds, O_CLOEXEC));
  int saved = dup(1);
  dup2(pipe_fds[1], 1);
  WriteToStdOut(std::string("a\0b", 3));
  WriteToStdOut("c\0d");
  WriteToStdOut(static_cast<const char*>(nullptr));
  dup2(saved, 1);
  close(saved);
  close(pipe_fds[1]);
  char buffer[16];
  ssize_t n = read(pipe_fds[0], buffer, sizeof(buffer));
  close(pipe_fds[0]);
  EXPECT_EQ(std::string("a\0bc", 4), std::string(buffer, n));
}

bool EchoIsOn(int fd) {
  struct termios mode;
  return tcgetattr(fd, &mode) == 0 && (mode.c_lflag & ECHO);
}

void WaitForEcho(int fd, bool on) {
  for (int i = 0; i < 5000 && EchoIsOn(fd) != on; ++i) usleep(1000);
}

int ReadPasswordFromTerminal(void* arg) {
  int slave = *static_cast<int*>(arg);
  dup2(slave, 0);
  std::string out;
  ReadFromStdIn(out, 100, true);
  return out == "secret\n" ? 0 : 1;
}

TEST_F(ConsoleTest, EchoOffAndRestoredAfterARead) {
  int master, slave;
  ASSERT_EQ(0, openpty(&master, &slave, nullptr, nullptr, nullptr));
  pid_t pid = ForkChild(ReadPasswordFromTerminal, &slave);
  WaitForEcho(slave, false);
  EXPECT_FALSE(EchoIsOn(slave));
  ASSERT_EQ(7, write(master, "secret\n", 7));
  EXPECT_EQ(0, WaitChild(pid));
  EXPECT_TRUE(EchoIsOn(slave));
  // Nothing typed was echoed back to the terminal.
  fcntl(master, F_SETFL, O_NONBLOCK);
  char echoed[64];
  ssize_t n = read(master, echoed, sizeof(echoed));
  EXPECT_EQ(std::string::npos, std::string(echoed, n > 0 ? n : 0).find("secret"));
  close(master);
  close(slave);
}

TEST_F(ConsoleTest, EchoRestoredWhenASignalEndsTheRead) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGPIPE, SIGVTALRM,
                  SIGPROF, SIGXCPU, SIGXFSZ}) {
    int master, slave;
    ASSERT_EQ(0, openpty(&master, &slave, nullptr, nullptr, nullptr));
    pid_t pid = ForkChild(ReadPasswordFromTerminal, &slave);
    WaitForEcho(slave, false);
    ASSERT_FALSE(EchoIsOn(slave));
    kill(pid, sig);
    EXPECT_EQ(128 + sig, WaitChild(pid)) << "the signal still ends the process";
    EXPECT_TRUE(EchoIsOn(slave)) << "signal " << sig;
    close(master);
    close(slave);
  }
}

int ReadPasswordInOwnGroup(void* arg) {
  setpgid(0, 0);  // a group with a parent outside it: stop signals are not discarded
  return ReadPasswordFromTerminal(arg);
}

TEST_F(ConsoleTest, SuspendedReadShowsNothingTypedAndResumesWithEchoOff) {
  int master, slave;
  ASSERT_EQ(0, openpty(&master, &slave, nullptr, nullptr, nullptr));
  for (int sig : {SIGTSTP, SIGTTIN, SIGTTOU}) {
    pid_t pid = ForkChild(ReadPasswordInOwnGroup, &slave);
    WaitForEcho(slave, false);
    ASSERT_EQ(4, write(master, "half", 4));  // typed, not yet entered
    kill(pid, sig);
    int status;
    ASSERT_EQ(pid, waitpid(pid, &status, WUNTRACED));
    ASSERT_TRUE(WIFSTOPPED(status)) << sig;
    EXPECT_TRUE(EchoIsOn(slave)) << "the shell gets its echo back, signal " << sig;
    kill(pid, SIGCONT);
    WaitForEcho(slave, false);
    EXPECT_FALSE(EchoIsOn(slave)) << sig;
    ASSERT_EQ(7, write(master, "secret\n", 7));
    EXPECT_EQ(0, WaitChild(pid)) << "the half-typed input was dropped, signal " << sig;
  }
  close(master);
  close(slave);
}

}  // namespace
