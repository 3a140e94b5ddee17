#include "launcher/trace_init.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/console.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/sys.h"
#include "trace/trace.h"

namespace {

constexpr int kMaxSameNameRuns = 1000;

// "<base>/trace", created when it does not exist; false when it is not a
// directory.
bool MakeTraceDirectory(const std::string& base, std::string& dir) {
  dir = base;
  if (PathConcatenate(dir, "trace") != 0) return false;
  struct stat info;  // one look when it is there, as it is after the first run
  if (::stat(dir.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  return MkDirs(dir) == 0 && IsPathDirectory(dir);
}

// Trace files hold the daemon's key and the whole environment: their
// directory must be the user's own, not a link, and writable by nobody else.
bool IsPrivateDirectory(const std::string& dir) {
  struct stat info;
  const char* why = nullptr;
  if (::lstat(dir.c_str(), &info) != 0 || S_ISLNK(info.st_mode)) {
    why = "it is a symbolic link";
  } else if (info.st_uid != ::geteuid()) {
    why = "it belongs to another user";
  } else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    why = "others may write to it";
  }
  if (why == nullptr) return true;
  ReportToUser("not writing the trace file to " + PrintableText(dir, kQuotedTextBytes) + ": " +
               why);
  return false;
}

// Creates this run's file in `dir`, never opening an existing one: a file
// planted at the name, a FIFO or another run of the same millisecond
// makes us take the next free name.
bool CreateTraceFile(const std::string& dir, const std::string& timestamp, std::string& path) {
  std::string prefix = dir;
  if (PathConcatenate(prefix, "quarn_c_") != 0) return false;
  prefix += timestamp;
  for (int n = 0; n <= kMaxSameNameRuns; ++n) {
    path = prefix + (n == 0 ? std::string() : "_" + std::to_string(n)) + ".txt";
    if (path.size() + 1 > kTraceFilePathSize) return false;  // SetTraceFilePath would refuse it
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                    0600);
    if (fd >= 0) {
      CloseFd(fd);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

}  // namespace

void TraceInit(const char* configDir) {
  std::string bases[2];
  if (configDir != nullptr) bases[0] = configDir;
  bool tracing = TraceEnabled();
  std::string timestamp;
  for (int i = 0; i < 2; ++i) {
    if (i == 1 && GetTempDirectory(bases[1]) != 0) return;
    std::string dir;
    if ((i == 0 && configDir == nullptr) || !MakeTraceDirectory(bases[i], dir)) continue;
    // The directory is made on every run; the file only when tracing is on.
    if (!tracing) return;
    if (!IsPrivateDirectory(dir)) continue;
    // The clock's time zone costs a file read: taken only by a run that traces.
    if (timestamp.empty()) FormatTraceTimestamp(timestamp);
    std::string path;
    if (!CreateTraceFile(dir, timestamp, path)) continue;
    (void)SetTraceFilePath(path);
    return;
  }
}
