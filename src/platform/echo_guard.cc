// The terminal's echo during a password read, and its guards: an echo-off
// read ended by a signal must not leave the shell without echo, and a read
// suspended by Ctrl-Z must not show the password typed after `fg`.
#include "platform/echo_guard.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "trace/trace.h"

namespace {

// The signals whose handlers put the terminal back.
struct Guard {
  int signal;
  bool stops;  // job control: stop, and switch echo off again on resume
};
const Guard kGuards[] = {
    {SIGINT, false},  {SIGTERM, false}, {SIGHUP, false},  {SIGQUIT, false},   {SIGALRM, false},
    {SIGUSR1, false}, {SIGUSR2, false}, {SIGPIPE, false}, {SIGVTALRM, false}, {SIGPROF, false},
    {SIGXCPU, false}, {SIGXFSZ, false}, {SIGTSTP, true},  {SIGTTIN, true},    {SIGTTOU, true},
};
constexpr int kGuardCount = sizeof(kGuards) / sizeof(kGuards[0]);
struct termios g_saved_mode;
struct sigaction g_previous[kGuardCount];
bool g_installed[kGuardCount];

void SetEchoOff() {
  struct termios mode = g_saved_mode;
  mode.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  (void)::tcsetattr(STDIN_FILENO, TCSANOW, &mode);
}

void RestoreTerminalAndReraise(int signalNumber) {
  (void)::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_mode);
  for (int i = 0; i < kGuardCount; ++i) {
    if (kGuards[i].signal == signalNumber) ::sigaction(signalNumber, &g_previous[i], nullptr);
  }
  ::raise(signalNumber);  // delivered once this handler returns
}

void RestoreTerminalAndStop(int signalNumber) {
  int saved_errno = errno;
  // What was typed so far goes: the shell must never read part of a secret.
  (void)::tcflush(STDIN_FILENO, TCIFLUSH);
  (void)::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_mode);
  struct sigaction stop, ours;
  std::memset(&stop, 0, sizeof(stop));
  stop.sa_handler = SIG_DFL;
  sigemptyset(&stop.sa_mask);
  ::sigaction(signalNumber, &stop, &ours);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signalNumber);
  ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(signalNumber);  // stops here until SIGCONT
  ::sigprocmask(SIG_BLOCK, &only, nullptr);
  ::sigaction(signalNumber, &ours, nullptr);
  SetEchoOff();
  errno = saved_errno;
}

void InstallEchoGuards() {
  for (int i = 0; i < kGuardCount; ++i) {
    g_installed[i] = false;
    struct sigaction current;
    if (::sigaction(kGuards[i].signal, nullptr, &current) != 0) continue;
    if (current.sa_handler == SIG_IGN) continue;
    struct sigaction guard;
    std::memset(&guard, 0, sizeof(guard));
    guard.sa_handler = kGuards[i].stops ? &RestoreTerminalAndStop : &RestoreTerminalAndReraise;
    guard.sa_flags = kGuards[i].stops ? SA_RESTART : 0;
    sigemptyset(&guard.sa_mask);
    for (const Guard& other : kGuards) sigaddset(&guard.sa_mask, other.signal);
    if (::sigaction(kGuards[i].signal, &guard, &g_previous[i]) == 0) g_installed[i] = true;
  }
}

void RemoveEchoGuards() {
  for (int i = 0; i < kGuardCount; ++i) {
    if (g_installed[i]) ::sigaction(kGuards[i].signal, &g_previous[i], nullptr);
    g_installed[i] = false;
  }
}

}  // namespace

bool SwitchEchoOff() {
  struct termios mode;
  if (::tcgetattr(STDIN_FILENO, &mode) != 0) {
    TraceMessage("ERROR: ReadFromStdIn(): Could not get the console mode; ec = %d", errno);
    return false;
  }
  g_saved_mode = mode;
  InstallEchoGuards();
  mode.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  if (::tcsetattr(STDIN_FILENO, TCSANOW, &mode) != 0) {
    TraceMessage("ERROR: ReadFromStdIn(): Could not set the console mode; ec = %d", errno);
  }
  return true;
}

void SwitchEchoBack() {
  // The local flags saved, over whatever else changed meanwhile.
  struct termios mode;
  if (::tcgetattr(STDIN_FILENO, &mode) == 0) {
    mode.c_lflag = g_saved_mode.c_lflag;
  } else {
    mode = g_saved_mode;
  }
  if (::tcsetattr(STDIN_FILENO, TCSANOW, &mode) != 0) {
    TraceMessage("ERROR: ReadFromStdIn(): Could not reset the console mode; ec = %d", errno);
  }
  RemoveEchoGuards();
}
