#include "trace/trace.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

char TraceFilePath[kTraceFilePathSize] = {0};

bool SetTraceFilePath(const std::string& path) {
  if (path.size() + 1 > kTraceFilePathSize || path.find('\0') != std::string::npos) {
    TraceFilePath[0] = '\0';
    return false;
  }
  std::memcpy(TraceFilePath, path.c_str(), path.size() + 1);
  return true;
}

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

void AppendEscapedByte(std::string& line, unsigned char byte) {
  if (byte >= 0x20 && byte <= 0x7E) {
    line.push_back(static_cast<char>(byte));
    return;
  }
  line.append("0x");
  line.push_back(kHexDigits[byte >> 4]);
  line.push_back(kHexDigits[byte & 0x0F]);
}

// Writes all of `data`, retrying short writes and EINTR; gives up quietly,
// as no trace failure may reach the caller.
void WriteQuietly(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

}  // namespace

namespace {

// -1: look the variable up at every call; else the answer fixed by
// TraceFreezeSwitch.
int g_frozen_switch = -1;
// The trace file could not be opened once it was in use: no more lines.
bool g_trace_failed = false;

}  // namespace

bool TraceEnabled() {
  if (g_frozen_switch >= 0) return g_frozen_switch != 0;
  return std::getenv("QUARN_NATIVE_TRACE_ENABLE") != nullptr;
}

void TraceFreezeSwitch() {
  g_frozen_switch = std::getenv("QUARN_NATIVE_TRACE_ENABLE") != nullptr ? 1 : 0;
}

void FormatTraceTimestamp(std::string& out) {
  time_t now = time(nullptr);
  struct tm local = {};
  localtime_r(&now, &local);
  struct timeval tv = {};
  gettimeofday(&tv, nullptr);
  char buffer[64];
  snprintf(buffer, sizeof(buffer), "%04d.%02d.%02d_%02d.%02d.%02d.%03ld", local.tm_year + 1900,
           local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
           static_cast<long>(tv.tv_usec / 1000));
  out.assign(buffer);
}

namespace {

// Appends `text`, bytes outside 0x20..0x7E as "0x" and two upper-case hex
// digits.
void PrintString(std::string& line, const char* text) {
  if (text == nullptr) return;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    AppendEscapedByte(line, *p);
  }
}

// The line's text after the timestamp, without the line feed.
void FormatBody(std::string& line, const char* format, va_list args) {
  for (const char* p = format; *p != 0; ++p) {
    if (*p != '%') {
      line.push_back(*p);
      continue;
    }
    char conversion = p[1];
    if (conversion == 0) break;  // a lone '%' at the end writes nothing
    ++p;
    char number[32];
    switch (conversion) {
    case 's':
    case 'S':
      PrintString(line, va_arg(args, const char*));
      break;
    case 'd':
      snprintf(number, sizeof(number), "%d", va_arg(args, int));
      line.append(number);
      break;
    case 'x':
      snprintf(number, sizeof(number), "%x", static_cast<unsigned>(va_arg(args, int)));
      line.append(number);
      break;
    case 'c':
      line.push_back(static_cast<char>(va_arg(args, int) & 0xFF));
      break;
    case 'C':
      AppendEscapedByte(line, static_cast<unsigned char>(va_arg(args, int) & 0xFF));
      break;
    default:
      break;
    }
  }
}

}  // namespace

void TraceMessage(const char* format, ...) {
  if (!TraceEnabled() || format == nullptr) return;
  int saved_errno = errno;  // tracing must not disturb the caller's errno

  std::string line;
  FormatTraceTimestamp(line);
  line.append("    ");
  va_list args;
  va_start(args, format);
  FormatBody(line, format, args);
  va_end(args);
  line.push_back('\n');

  if (TraceFilePath[0] != 0 && !g_trace_failed) {
    // 0600, no symbolic link, and no wait on a FIFO: lines hold keys and
    // the whole environment.
    int fd = ::open(TraceFilePath,
                    O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd >= 0) {
      WriteQuietly(fd, line.data(), line.size());
      ::close(fd);
    } else {
      // Never on standard error instead: the lines hold the key, the
      // environment and console answers, and the terminal is not private.
      // The user is told once, and the rest of the run is not traced.
      g_trace_failed = true;
      std::string notice = "quarn: cannot write the trace file ";
      PrintString(notice, TraceFilePath);
      notice.append(": ").append(std::strerror(errno)).push_back('\n');
      WriteQuietly(STDERR_FILENO, notice.data(), notice.size());
    }
  }
  errno = saved_errno;
}
