// Lock files: an exclusive lockf lock over a whole file, never waited for.
//
// Release deletes the file, so two things keep a lock exclusive: release
// unlinks while it still holds the lock, and acquire checks after locking
// that the name still names the file it locked (another process may have
// deleted it between our open and our lock).
//
// The file is opened, and created when missing, by one call relative to the
// caller's directory descriptor: a registry lookup opens a few lock files
// per entry, and path walks and stats would dominate it. Only a missing
// parent directory, or a path that one call cannot serve, goes step by step
// by the full path, which tells the causes apart.
#include "platform/locks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include "platform/console.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/sys.h"
#include "trace/trace.h"

namespace {

constexpr int kLockAttempts = 5;
constexpr int kRetry = 1;  // the file changed under us: start again
// O_NONBLOCK: a FIFO or device planted at the name must not block the open.
constexpr int kOpenFlags = O_RDWR | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK;
constexpr mode_t kLockFileMode = 0600;

// A lock file is never reached through a symbolic link: a planted link
// would make us create or lock its target, outside the registry. The link
// itself lies where the lock file belongs, so it goes, and a regular file
// takes its place.
void RemoveLink(int dirFd, const char* name, const std::string& path) {
  TraceMessage("WARNING: AcquireFileLock(): Path %S is a symbolic link; removing it", path.c_str());
  (void)::unlinkat(dirFd, name, 0);
}

// A FIFO, socket or device at a lock's name can be neither locked nor
// trusted: like a link, it makes way for a lock file.
void RemoveSpecialFile(int dirFd, const char* name, const std::string& path) {
  TraceMessage("WARNING: AcquireFileLock(): Path %S is not a regular file; removing it",
               path.c_str());
  (void)::unlinkat(dirFd, name, 0);
}

// A lock file that cannot be opened because another user owns it (left by
// a run as root that kept the user's HOME, say) stops every lookup: the
// user is told once which file and whose.
void ReportForeignLockFile(const std::string& path, const struct stat& info) {
  static std::set<std::string> reported;
  if (info.st_uid == ::geteuid() || !reported.insert(path).second) return;
  ReportToUser("cannot open the lock file " + PrintableText(path, kQuotedTextBytes) +
               ": it belongs to uid " + std::to_string(info.st_uid));
}

// The lock file at `path` when one call could not create it: its parent is
// made when missing, then the file is created by the full path.
int CreateStepByStep(const std::string& path, int* fd) {
  TraceMessage("AcquireFileLock(): Path %S is invalid; Checking parent...", path.c_str());
  std::string parent;
  if (GetParentDirPath(path, parent) != 0) {
    TraceMessage("ERROR: AcquireFileLock(): Could not get parent directory for %S", path.c_str());
    return kLockNoParent;
  }
  if (!IsNullOrEmpty(parent) && IsPathValid(parent)) {
    TraceMessage("AcquireFileLock(): Parent path is valid");
    if (!IsPathDirectory(parent)) {
      TraceMessage("ERROR: AcquireFileLock(): Parent path %S is valid, but not a directory",
                   parent.c_str());
      return kLockParentNotDirectory;
    }
  } else {
    TraceMessage("AcquireFileLock(): Parent path does not exist; creating it...");
    if (MkDirs(parent) != 0) {
      TraceMessage("ERROR: AcquireFileLock(): Could not create directory hierarchy for parent %S",
                   path.c_str());
      return kLockParentNotMade;
    }
  }
  *fd = ::open(path.c_str(), kOpenFlags | O_CREAT, kLockFileMode);
  if (*fd < 0 && errno == ELOOP) return kRetry;  // a link appeared meanwhile
  if (*fd < 0) {
    TraceMessage("ERROR: AcquireFileLock(): Error while creating file %S; ec = %d", path.c_str(),
                 errno);
    return kLockCreateFailed;
  }
  return 0;
}

// Opens the lock file, creating it when missing. 0, kRetry, or a code of
// AcquireFileLockAt.
int OpenLockFile(int dirFd, const char* name, const std::string& path, int* fd) {
  // A plain path with a parent of its own is created by the one call; the
  // others (no parent, a parent at the root, quotes) take the steps.
  std::string_view text = TextView(path);
  size_t slash = text.rfind('/');
  bool plain = dirFd != AT_FDCWD || (slash != std::string_view::npos && slash != 0 &&
                                     text.front() != '"' && text.back() != '"');
  // Only the trace tells whether the file was made: the question is asked
  // only when tracing.
  bool traced_new = TraceEnabled() && plain &&
                    ::faccessat(dirFd, name, F_OK, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
  *fd = ::openat(dirFd, name, kOpenFlags | (plain ? O_CREAT : 0), kLockFileMode);
  int error = errno;
  if (*fd >= 0) {
    if (traced_new) {
      // The lines of the step-by-step creation, the parent's lookup among
      // them.
      TraceMessage("AcquireFileLock(): Path %S is invalid; Checking parent...", path.c_str());
      std::string parent;
      (void)GetParentDirPath(path, parent);
      TraceMessage("AcquireFileLock(): Parent path is valid");
    }
    return 0;
  }
  switch (error) {
  case EISDIR:
    return kLockBadArguments;
  case ELOOP:
    RemoveLink(dirFd, name, path);
    return kRetry;
  case ENOENT:
  case ENOTDIR:
    // A directory open on dirFd that has been deleted: the caller finds
    // it again (it may have been made anew) rather than a path outside.
    if (dirFd != AT_FDCWD) return kLockDirGone;
    // No parent, or a path to take step by step: the full path serves.
    return CreateStepByStep(path, fd);
  default:
    break;
  }
  struct stat info;
  if (::fstatat(dirFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
    TraceMessage("ERROR: AcquireFileLock(): Error while creating file %S; ec = %d", path.c_str(),
                 error);
    return kLockCreateFailed;
  }
  if (S_ISDIR(info.st_mode)) {
    TraceMessage("ERROR: AcquireFileLock(): Path %S exists, and is not a file", path.c_str());
    return kLockNotRegular;
  }
  if (!S_ISREG(info.st_mode)) {  // a socket refuses open()
    RemoveSpecialFile(dirFd, name, path);
    return kRetry;
  }
  TraceMessage("ERROR: AcquireFileLock(): Could not open file %S; ec = %d", path.c_str(), error);
  ReportForeignLockFile(path, info);
  return kLockOpenFailed;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

int AcquireFileLockAt(int dirFd, const char* name, const std::string& path, int* fileHandle) {
  if (fileHandle == nullptr) return kLockBadArguments;
  *fileHandle = -1;
  TraceMessage("AcquireFileLock(): path = %S", path.c_str());
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    UniqueFd fd;
    int raw = -1;
    int result = OpenLockFile(dirFd, name, path, &raw);
    fd.Reset(raw);
    if (result == kRetry) continue;
    if (result != 0) return result;
    struct stat by_fd, by_name;
    if (::fstat(fd.Get(), &by_fd) == 0 && !S_ISREG(by_fd.st_mode)) {
      RemoveSpecialFile(dirFd, name, path);
      continue;
    }
    if (::lockf(fd.Get(), F_TLOCK, 0) != 0) {
      TraceMessage("ERROR: AcquireFileLock(): Error locking file %S; ec = %d", path.c_str(), errno);
      return kLockBusy;
    }
    if (::fstatat(dirFd, name, &by_name, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(by_fd, by_name)) {
      TraceMessage("AcquireFileLock(): Locking file %S successful", path.c_str());
      *fileHandle = fd.Release();
      return 0;
    }
    // We locked a file that its holder deleted on release; try the new one.
  }
  TraceMessage("ERROR: AcquireFileLock(): Error locking file %S; ec = %d", path.c_str(), EAGAIN);
  return kLockBusy;
}

int AcquireFileLock(const std::string& path, int* fileHandle) {
  if (fileHandle == nullptr || IsPathDirectory(path)) return kLockBadArguments;
  return AcquireFileLockAt(AT_FDCWD, path.c_str(), path, fileHandle);
}

int ReleaseFileLockAt(int dirFd, const char* name, const std::string& path, int* fileHandle) {
  if (fileHandle == nullptr) return kReleaseFileGone;
  bool named = !IsNullOrEmpty(path);
  if (*fileHandle < 0) {
    struct stat info;
    if (!named || ::fstatat(dirFd, name, &info, 0) != 0 || !S_ISREG(info.st_mode))
      return kReleaseFileGone;
    TraceMessage("ERROR: ReleaseFileLock(): File handle is invalid. Path to unlock = %S",
                 path.c_str());
    return kReleaseBadHandle;
  }
  int fd = *fileHandle;
  // Deleted while still locked, so that nobody can lock the file anew while
  // it still bears the name.
  bool deleted = named && ::unlinkat(dirFd, name, 0) == 0;
  int delete_errno = errno;
  if (!deleted &&
      (!named || delete_errno == ENOENT || delete_errno == EISDIR || delete_errno == ENOTDIR)) {
    // The file has gone (an entry deleted with its lock inside): the lock
    // itself must still end here.
    (void)::lockf(fd, F_ULOCK, 0);
    CloseFd(fd);
    *fileHandle = -1;
    return kReleaseFileGone;
  }
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
    return unlocked ? kReleaseCloseFailed : kReleaseUnlockFailed;
  }
  if (!deleted) {
    TraceMessage("ERROR: ReleaseFileLock(): Error while deleting lock file %S; ec = %d",
                 path.c_str(), delete_errno);
    return unlocked ? kReleaseDeleteFailed : kReleaseUnlockFailed;
  }
  TraceMessage("ReleaseFileLock(): File %S unlocked and deleted", path.c_str());
  return unlocked ? 0 : kReleaseUnlockFailed;
}

int ReleaseFileLock(const std::string& path, int* fileHandle) {
  return ReleaseFileLockAt(AT_FDCWD, path.c_str(), path, fileHandle);
}
