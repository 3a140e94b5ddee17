#include "platform/console.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/charsets.h"
#include "platform/echo_guard.h"
#include "platform/features.h"
#include "platform/strings.h"
#include "platform/sys.h"
#include "trace/trace.h"

namespace {

// Writes all of data; a full non-blocking descriptor is waited for, not an
// error. 0, or -1 with errno.
int WriteWaiting(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = Sys().write(fd, data, size);
    if (n > 0) {
      data += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      struct pollfd writable = {fd, POLLOUT, 0};
      (void)::poll(&writable, 1, -1);
      continue;
    }
    if (n == 0) errno = EIO;
    return -1;
  }
  return 0;
}

// Standard input through a buffer of our own, so that the wait for input
// can also watch the daemon's connection while nothing is buffered.
// Twice the largest read, so that a read's line and what came after it
// fit together.
constexpr size_t kStdinBufferSize = 2 * kMaxConsoleRead;
struct StdinBuffer {
  char data[kStdinBufferSize];
  size_t start = 0, end = 0;
  bool ended = false;  // end of input (or a read error): nothing more is read
};
StdinBuffer g_stdin;

enum class Fill { kData, kEnded, kWatchEnded };

// What an event on the watched connection means. Where poll has one for
// the peer's end alone (POLLRDHUP), a message arriving raises none, and
// any event is the end (or an error). Elsewhere the connection is readable
// both when the peer ended and when a message came, and a peek tells
// which; once a message is waiting, the end behind it cannot be seen
// without reading it, so the wait goes on for standard input alone.
enum class Watched { kEnded, kMessageWaiting, kNothing };
#if QUARN_HAVE_POLLRDHUP
constexpr short kWatchEvents = POLLRDHUP;
Watched WatchedEvent(int) { return Watched::kEnded; }
#else
constexpr short kWatchEvents = POLLIN;
Watched WatchedEvent(int watchFd) {
  char byte;
  ssize_t peeked = RecvNoWait(watchFd, &byte, 1, MSG_PEEK);
  if (peeked > 0 || (peeked < 0 && errno == ENOTSOCK)) return Watched::kMessageWaiting;
  if (peeked < 0 && errno == EAGAIN) return Watched::kNothing;
  return Watched::kEnded;
}
#endif

// True when `watchFd` ended before standard input had something to read.
bool WatchEndsFirst(int watchFd) {
  if (watchFd < 0) return false;
  for (;;) {
    struct pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {watchFd, kWatchEvents, 0}};
    int ready = ::poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return false;  // read, and let the read tell
    if (fds[1].revents != 0) {
      Watched watched = WatchedEvent(watchFd);
      if (watched == Watched::kEnded) return true;
      if (watched == Watched::kMessageWaiting) watchFd = -1;  // poll passes a negative one over
    }
    if (fds[0].revents != 0) return false;
  }
}

Fill FillStdin(int watchFd) {
  for (;;) {
    if (g_stdin.ended) return Fill::kEnded;
    if (WatchEndsFirst(watchFd)) return Fill::kWatchEnded;
    ssize_t n = Sys().read(STDIN_FILENO, g_stdin.data, sizeof(g_stdin.data));
    if (n > 0) {
      g_stdin.start = 0;
      g_stdin.end = static_cast<size_t>(n);
      return Fill::kData;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (watchFd < 0) {
        struct pollfd readable = {STDIN_FILENO, POLLIN, 0};
        (void)::poll(&readable, 1, -1);
      }
      continue;
    }
    g_stdin.ended = true;
  }
}

// Appends one line of at most maxBytes (the line feed kept) to `text`.
Fill ReadLineFromStdin(std::string& text, size_t maxBytes, int watchFd) {
  while (text.size() < maxBytes) {
    if (g_stdin.start == g_stdin.end) {
      Fill fill = FillStdin(watchFd);
      if (fill == Fill::kWatchEnded) return fill;
      if (fill == Fill::kEnded) return text.empty() ? fill : Fill::kData;
    }
    const char* begin = g_stdin.data + g_stdin.start;
    size_t room = std::min(maxBytes - text.size(), g_stdin.end - g_stdin.start);
    const void* lf = std::memchr(begin, '\n', room);
    size_t take = lf ? static_cast<size_t>(static_cast<const char*>(lf) - begin) + 1 : room;
    text.append(begin, take);
    g_stdin.start += take;
    if (lf) break;
  }
  return Fill::kData;
}

// Converts text holding NUL bytes piece by piece, keeping the NULs.
int ConvertKeepingNuls(const std::string& text, std::string& out) {
  out.clear();
  size_t start = 0;
  for (;;) {
    size_t nul = text.find('\0', start);
    std::string piece =
        text.substr(start, nul == std::string::npos ? std::string::npos : nul - start);
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

int WriteToStdOut(std::string_view text) {
  return WriteWaiting(STDOUT_FILENO, text.data(), text.size());
}
int WriteToStdErr(std::string_view text) {
  return WriteWaiting(STDERR_FILENO, text.data(), text.size());
}

int WriteToStdOut(const char* text) {
  return text == nullptr ? 0 : WriteWaiting(STDOUT_FILENO, text, std::strlen(text));
}

int WriteToStdErr(const char* text) {
  return text == nullptr ? 0 : WriteWaiting(STDERR_FILENO, text, std::strlen(text));
}

void ReportToUser(const std::string& text) {
  std::string line = "quarn: " + text + "\n";
  // Nowhere else to report to when standard error itself fails.
  (void)WriteWaiting(STDERR_FILENO, line.data(), line.size());
}

ConsoleResult ReadConsole(std::string& out, int maxBytes, bool echoOff, int watchFd, bool secret,
                          const std::string* prompt) {
  bool transcode = TranscodeToUtf8();
  out.clear();
  if (maxBytes < 1) return ConsoleResult::kRead;
  if (maxBytes > kMaxConsoleRead) {
    TraceMessage("ERROR: ReadFromStdin(): Too many characters requested; %d", maxBytes);
    return ConsoleResult::kRead;
  }

  bool echo_off = echoOff && SwitchEchoOff();

  std::string text;
  Fill fill = Fill::kEnded;
  bool prompted = prompt == nullptr || WriteToStdOut(*prompt) == 0;
  int prompt_error = errno;
  if (prompted) fill = ReadLineFromStdin(text, static_cast<size_t>(maxBytes), watchFd);

  if (echo_off) SwitchEchoBack();
  if (!prompted) {
    errno = prompt_error;
    return ConsoleResult::kPromptFailed;
  }
  if (fill == Fill::kWatchEnded) return ConsoleResult::kWatchEnded;

  if (!transcode) {
    out = std::move(text);
    return ConsoleResult::kRead;
  }
  std::string converted;
  int result = ConvertKeepingNuls(text, converted);
  if (result != 0) {
    TraceMessage("ERROR: ReadFromStdIn(): Could not convert %S to UTF-8; result = %d",
                 secret && !text.empty() ? kSecretMask : text.c_str(), result);
    std::fill(text.begin(), text.end(), '\0');
    // End of input converts to nothing, which is no conversion failure.
    return text.empty() ? ConsoleResult::kRead : ConsoleResult::kNotConverted;
  }
  out = std::move(converted);
  return ConsoleResult::kRead;
}

void ReadFromStdIn(std::string& out, int maxBytes, bool echoOff) {
  (void)ReadConsole(out, maxBytes, echoOff, -1, false);
}

namespace {
bool g_console_input_ended = false;
}  // namespace

bool ConsoleInputEnded() { return g_console_input_ended; }
void EndConsoleInput() { g_console_input_ended = true; }
