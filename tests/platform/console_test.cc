#include "platform/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "platform/descriptors.h"
#include "platform/sys.h"
#include "support/test_support.h"

namespace {

class ConsoleTest : public QuarnTest {};

bool EchoIsOn(int fd) {
  struct termios mode;
  return tcgetattr(fd, &mode) == 0 && (mode.c_lflag & ECHO);
}

// Waits (up to five seconds) for the echo to be `on`; whether it is.
bool WaitForEcho(int fd, bool on) {
  for (int i = 0; i < 5000 && EchoIsOn(fd) != on; ++i) usleep(1000);
  return EchoIsOn(fd) == on;
}

// A password read from the terminal `slave`, in a process group of its own
// (so that stop signals are not discarded), also watching `watch[0]` when
// given; 0 when it read "secret\n", 2 when the watch ended first.
pid_t ReadPassword(int slave, int* watch = nullptr) {
  return ForkChild([slave, watch] {
    setpgid(0, 0);
    dup2(slave, 0);
    if (watch) close(watch[1]);
    std::string out;
    ConsoleResult read = ReadConsole(out, 100, true, watch ? watch[0] : -1, true);
    return out == "secret\n" ? 0 : read == ConsoleResult::kWatchEnded ? 2 : 1;
  });
}

TEST_F(ConsoleTest, EchoOffDuringTheReadAndBackAfterIt) {
  int master, slave;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    GTEST_SKIP() << "no pseudo-terminal can be opened here (is /dev/pts mounted?)";
  }
  pid_t pid = ReadPassword(slave);
  EXPECT_TRUE(WaitForEcho(slave, false));
  ASSERT_EQ(7, write(master, "secret\n", 7));
  EXPECT_EQ(0, WaitChild(pid));
  EXPECT_TRUE(EchoIsOn(slave));
  fcntl(master, F_SETFL, O_NONBLOCK);
  char echoed[64];
  ssize_t n = read(master, echoed, sizeof(echoed));
  EXPECT_EQ(std::string::npos, std::string(echoed, n > 0 ? n : 0).find("secret"));
  // A signal that ends the read gives the terminal its echo back.
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGPIPE, SIGVTALRM,
                  SIGPROF, SIGXCPU, SIGXFSZ}) {
    pid = ReadPassword(slave);
    WaitForEcho(slave, false);
    kill(pid, sig);
    EXPECT_EQ(128 + sig, WaitChild(pid)) << "the signal still ends the process";
    EXPECT_TRUE(EchoIsOn(slave)) << "signal " << sig;
  }
  // Suspended, it drops what was typed and gives the shell its echo; on
  // resume echo is off again and the read goes on.
  for (int sig : {SIGTSTP, SIGTTIN, SIGTTOU}) {
    pid = ReadPassword(slave);
    WaitForEcho(slave, false);
    ASSERT_EQ(4, write(master, "half", 4));
    kill(pid, sig);
    int status;
    ASSERT_EQ(pid, waitpid(pid, &status, WUNTRACED));
    ASSERT_TRUE(WIFSTOPPED(status)) << sig;
    EXPECT_TRUE(EchoIsOn(slave)) << sig;
    kill(pid, SIGCONT);
    EXPECT_TRUE(WaitForEcho(slave, false)) << sig;
    ASSERT_EQ(7, write(master, "secret\n", 7));
    EXPECT_EQ(0, WaitChild(pid)) << "the half-typed input was dropped, signal " << sig;
  }
  // The daemon going away ends the wait for input, and echo comes back.
  int watch[2];
  ASSERT_EQ(0, OpenSocketPair(watch));
  pid = ReadPassword(slave, watch);
  WaitForEcho(slave, false);
  close(watch[1]);
  EXPECT_EQ(2, WaitChild(pid));
  EXPECT_TRUE(EchoIsOn(slave));
  close(watch[0]);
  // A message arriving does not end it.
  ASSERT_EQ(0, OpenSocketPair(watch));
  pid = ReadPassword(slave, watch);
  WaitForEcho(slave, false);
  ASSERT_EQ(1, write(watch[1], "m", 1));
  ASSERT_EQ(7, write(master, "secret\n", 7));
  EXPECT_EQ(0, WaitChild(pid));
  close(watch[0]);
  close(watch[1]);
  close(master);
  close(slave);
}

int g_reads = 0;
ssize_t FailingRead(int, void*, size_t) {
  ++g_reads;
  errno = EIO;
  return -1;
}

TEST_F(ConsoleTest, AReadErrorEndsInputForGood) {
  EXPECT_EQ(0, RunChild([] {
                 ScopedSysOverride<decltype(SysCalls::read)> fail(&SysCalls::read, &FailingRead);
                 std::string first = "x", second = "x";
                 ConsoleResult a = ReadConsole(first, 100, false, -1, false);
                 ConsoleResult b = ReadConsole(second, 100, false, -1, false);
                 bool ended = a == ConsoleResult::kRead && b == ConsoleResult::kRead;
                 return ended && first.empty() && second.empty() && g_reads == 1 ? 0 : 1;
               }).status);
}

}  // namespace
