// Lock files: an exclusive lockf lock over a whole file, never waited for.
//
// Release deletes the file, so two things keep a lock exclusive: release
// unlinks while it still holds the lock, and acquire checks after locking
// that the path still names the file it locked (another process may have
// unlinked it between our open and our lock).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/sys.h"
#include "trace/trace.h"

namespace {

constexpr int kLockAttempts = 5;
constexpr int kVanished = 1;  // the file went between our stat and open

// 0 when the path names the very file open on `fd`.
bool StillNamesFile(const std::string& path, int fd) {
  struct stat by_path;
  struct stat by_fd;
  if (::fstat(fd, &by_fd) != 0 || ::stat(path.c_str(), &by_path) != 0) return false;
  return by_path.st_dev == by_fd.st_dev && by_path.st_ino == by_fd.st_ino;
}

int OpenLockFile(const std::string& path, int* fileHandle) {
  struct stat info;
  bool exists = !IsNullOrEmpty(path) && ::stat(path.c_str(), &info) == 0;
  if (exists) {
    if (!S_ISREG(info.st_mode)) {
      TraceMessage("ERROR: AcquireFileLock(): Path %S exists, and is not a file", path.c_str());
      return -2;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) return kVanished;
    if (fd < 0) {
      TraceMessage("ERROR: AcquireFileLock(): Could not open file %S; ec = %d", path.c_str(), errno);
      return -3;
    }
    *fileHandle = fd;
    return 0;
  }
  TraceMessage("AcquireFileLock(): Path %S is invalid; Checking parent...", path.c_str());
  std::string parent;
  if (GetParentDirPath(path, parent) != 0) {
    TraceMessage("ERROR: AcquireFileLock(): Could not get parent directory for %S", path.c_str());
    return -4;
  }
  if (!IsNullOrEmpty(parent) && IsPathValid(parent)) {
    TraceMessage("AcquireFileLock(): Parent path is valid");
    if (!IsPathDirectory(parent)) {
      TraceMessage("ERROR: AcquireFileLock(): Parent path %S is valid, but not a directory",
                   parent.c_str());
      return -5;
    }
  } else {
    TraceMessage("AcquireFileLock(): Parent path does not exist; creating it...");
    if (MkDirs(parent) != 0) {
      TraceMessage("ERROR: AcquireFileLock(): Could not create directory hierarchy for parent %S",
                   path.c_str());
      return -6;
    }
  }
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    TraceMessage("ERROR: AcquireFileLock(): Error while creating file %S; ec = %d", path.c_str(),
                 errno);
    return -7;
  }
  *fileHandle = fd;
  return 0;
}

}  // namespace

int AcquireFileLock(const std::string& path, int* fileHandle) {
  if (fileHandle == nullptr || IsPathDirectory(path)) return -1;
  TraceMessage("AcquireFileLock(): path = %S", path.c_str());
  *fileHandle = -1;
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    int result = OpenLockFile(path, fileHandle);
    if (result == kVanished) continue;
    if (result != 0) return result;
    int fd = *fileHandle;
    if (::lockf(fd, F_TLOCK, 0) != 0) {
      int saved_errno = errno;
      CloseFd(fd);
      *fileHandle = -1;
      TraceMessage("ERROR: AcquireFileLock(): Error locking file %S; ec = %d", path.c_str(),
                   saved_errno);
      return kLockBusy;
    }
    if (StillNamesFile(path, fd)) {
      TraceMessage("AcquireFileLock(): Locking file %S successful", path.c_str());
      return 0;
    }
    // We locked a file that its holder deleted on release; try the new one.
    CloseFd(fd);
    *fileHandle = -1;
  }
  TraceMessage("ERROR: AcquireFileLock(): Error locking file %S; ec = %d", path.c_str(), EAGAIN);
  return kLockBusy;
}

int ReleaseFileLock(const std::string& path, int* fileHandle) {
  if (fileHandle == nullptr) return -1;
  if (IsNullOrEmpty(path) || !IsPathFile(path)) {
    // The file has gone (an entry deleted with its lock inside): the lock
    // itself must still end here.
    if (*fileHandle >= 0) {
      (void)::lockf(*fileHandle, F_ULOCK, 0);
      CloseFd(*fileHandle);
      *fileHandle = -1;
    }
    return -1;
  }
  if (*fileHandle < 0) {
    TraceMessage("ERROR: ReleaseFileLock(): File handle is invalid. Path to unlock = %S",
                 path.c_str());
    return -2;
  }
  int fd = *fileHandle;
  bool deleted = ::unlink(path.c_str()) == 0;
  int delete_errno = errno;
  bool unlocked = ::lockf(fd, F_ULOCK, 0) == 0;
  if (!unlocked) {
    TraceMessage("ERROR: ReleaseFileLock(): Error while unlocking file %S; ec = %d", path.c_str(),
                 errno);
  }
  bool closed = CloseFd(fd) == 0;
  *fileHandle = -1;
  if (!closed) {
    TraceMessage("ERROR: ReleaseFileLock(): Error while closing file handle of %S; ec = %d",
                 path.c_str(), errno);
    return unlocked ? -4 : -3;
  }
  if (!deleted) {
    TraceMessage("ERROR: ReleaseFileLock(): Error while deleting lock file %S; ec = %d", path.c_str(),
                 delete_errno);
    return unlocked ? -5 : -3;
  }
  TraceMessage("ReleaseFileLock(): File %S unlocked and deleted", path.c_str());
  return unlocked ? 0 : -3;
}
