#include "platform/console.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/strings.h"
#include "platform/sys.h"
#include "trace/trace.h"

namespace {

// State for putting the terminal back from a signal handler: an echo-off
// read that is interrupted by Ctrl-C must not leave the shell without echo.
const int kGuardedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kGuardedCount = sizeof(kGuardedSignals) / sizeof(kGuardedSignals[0]);
struct termios g_saved_mode;
struct sigaction g_previous[kGuardedCount];
bool g_installed[kGuardedCount];

void RestoreTerminalAndReraise(int signal_number) {
  ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_mode);
  for (int i = 0; i < kGuardedCount; ++i) {
    if (kGuardedSignals[i] == signal_number) ::sigaction(signal_number, &g_previous[i], nullptr);
  }
  ::raise(signal_number);  // delivered once this handler returns
}

void InstallEchoGuards() {
  for (int i = 0; i < kGuardedCount; ++i) {
    g_installed[i] = false;
    struct sigaction current;
    if (::sigaction(kGuardedSignals[i], nullptr, &current) != 0) continue;
    if (current.sa_handler == SIG_IGN) continue;
    struct sigaction guard;
    std::memset(&guard, 0, sizeof(guard));
    guard.sa_handler = &RestoreTerminalAndReraise;
    sigemptyset(&guard.sa_mask);
    for (int sig : kGuardedSignals) sigaddset(&guard.sa_mask, sig);
    if (::sigaction(kGuardedSignals[i], &guard, &g_previous[i]) == 0) g_installed[i] = true;
  }
}

void RemoveEchoGuards() {
  for (int i = 0; i < kGuardedCount; ++i) {
    if (g_installed[i]) ::sigaction(kGuardedSignals[i], &g_previous[i], nullptr);
    g_installed[i] = false;
  }
}

void WriteBytes(int fd, const char* data, size_t size) {
  // Nothing to report to: the daemon's text has nowhere else to go.
  (void)WriteAll(fd, data, size);
}

// Reads one line of at most max_bytes from the stdin stream.
void ReadLineFromStream(std::string& text, int max_bytes) {
  static bool buffered = false;
  if (!buffered) {
    // Large reads for piped input; a terminal still returns per line.
    std::setvbuf(stdin, nullptr, _IOFBF, 65536);
    buffered = true;
  }
  if (std::feof(stdin)) return;
  flockfile(stdin);
  while (static_cast<int>(text.size()) < max_bytes) {
    int c = getc_unlocked(stdin);
    if (c == EOF) break;
    text.push_back(static_cast<char>(c));
    if (c == '\n') break;
  }
  funlockfile(stdin);
}

// Converts text holding NUL bytes piece by piece, keeping the NULs.
int ConvertKeepingNuls(const std::string& text, std::string& out) {
  out.clear();
  size_t start = 0;
  for (;;) {
    size_t nul = text.find('\0', start);
    std::string piece = text.substr(start, nul == std::string::npos ? std::string::npos : nul - start);
    if (!piece.empty()) {
      std::string converted;
      int result = ConvertStringToUtf8(piece.c_str(), converted);
      if (result != 0) return result;
      out.append(TextView(converted));
    }
    if (nul == std::string::npos) break;
    out.push_back('\0');
    start = nul + 1;
  }
  return out.empty() ? -1 : 0;
}

}  // namespace

void WriteToStdOut(const std::string& text) { WriteBytes(STDOUT_FILENO, text.data(), text.size()); }
void WriteToStdErr(const std::string& text) { WriteBytes(STDERR_FILENO, text.data(), text.size()); }

void WriteToStdOut(const char* text) {
  if (text != nullptr) WriteBytes(STDOUT_FILENO, text, std::strlen(text));
}

void WriteToStdErr(const char* text) {
  if (text != nullptr) WriteBytes(STDERR_FILENO, text, std::strlen(text));
}

void ReadFromStdIn(std::string& out, int maxBytes, bool echoOff) {
  bool transcode = std::getenv("QUARN_TRANSCODE_UTF8") != nullptr;
  out.clear();
  if (maxBytes < 1) return;
  if (maxBytes > kMaxConsoleRead) {
    TraceMessage("ERROR: ReadFromStdin(): Too many characters requested; %d", maxBytes);
    return;
  }

  bool mode_saved = false;
  if (echoOff) {
    struct termios mode;
    if (::tcgetattr(STDIN_FILENO, &mode) != 0) {
      TraceMessage("ERROR: ReadFromStdIn(): Could not get the console mode; ec = %d", errno);
    } else {
      g_saved_mode = mode;
      mode_saved = true;
      InstallEchoGuards();
      mode.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      if (::tcsetattr(STDIN_FILENO, TCSANOW, &mode) != 0) {
        TraceMessage("ERROR: ReadFromStdIn(): Could not set the console mode; ec = %d", errno);
      }
    }
  }

  std::string text;
  ReadLineFromStream(text, maxBytes);

  if (mode_saved) {
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

  if (!transcode) {
    out = std::move(text);
    return;
  }
  std::string converted;
  int result = ConvertKeepingNuls(text, converted);
  if (result != 0) {
    TraceMessage("ERROR: ReadFromStdIn(): Could not convert %S to UTF-8; result = %d", text.c_str(),
                 result);
    return;
  }
  out = std::move(converted);
}
