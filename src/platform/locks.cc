// Lock files: an exclusive lockf lock over a whole file, never waited for.
//
// Release deletes the file, so two things keep a lock exclusive: release
// unlinks while it still holds the lock, and acquire checks after locking
// that the path still names the file it locked (another process may have
// deleted it between our open and our lock).
//
// The usual cases (the file exists, or it is missing in an existing
// directory) are served by trying the open first, relative to a directory
// descriptor where the caller has one: path walks and stats dominate a
// registry lookup. Anything unusual takes the step-by-step path, which
// tells the causes apart.
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
constexpr int kRetry = 1;  // the file changed under us: start again

// A lock file is never reached through a symbolic link: a planted link
// would make us create or lock its target, outside the registry. The link
// itself lies where the lock file belongs, so it goes, and a regular file
// takes its place.
void RemoveLink(int dirFd, const char* name, const std::string& path) {
  TraceMessage("WARNING: AcquireFileLock(): Path %S is a symbolic link; removing it", path.c_str());
  (void)::unlinkat(dirFd, name, 0);
}

// Step-by-step open of the lock file at `path`, creating it (and missing
// parents) when it does not exist.
int OpenLockFileSlowly(const std::string& path, int* fileHandle) {
  struct stat info;
  bool exists = !IsNullOrEmpty(path) && ::lstat(path.c_str(), &info) == 0;
  if (exists && S_ISLNK(info.st_mode)) {
    RemoveLink(AT_FDCWD, path.c_str(), path);
    return kRetry;
  }
  if (exists) {
    if (!S_ISREG(info.st_mode)) {
      TraceMessage("ERROR: AcquireFileLock(): Path %S exists, and is not a file", path.c_str());
      return -2;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0 && (errno == ENOENT || errno == ELOOP)) return kRetry;
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
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600);
  if (fd < 0 && errno == ELOOP) return kRetry;  // a link appeared meanwhile
  if (fd < 0) {
    TraceMessage("ERROR: AcquireFileLock(): Error while creating file %S; ec = %d", path.c_str(),
                 errno);
    return -7;
  }
  *fileHandle = fd;
  return 0;
}

constexpr int kIsDirectory = 2;

// A file that exists, or is missing from an existing directory, opened
// without a stat; kRetry sends the caller to the step-by-step path. Lock
// files are usually missing (release deletes them), alivelocks usually
// there: `likely_missing` says which open to try first.
int OpenLockFileQuickly(int dirFd, const char* name, const std::string& path, int* fileHandle,
                        bool trace_path, bool likely_missing) {
  const int kOpen = O_RDWR | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW;
  // Only a plain path with a non-empty parent is created here; the others
  // (no parent, a parent at the root, quotes) follow the step-by-step rules.
  std::string_view text = TextView(path);
  size_t slash = text.rfind('/');
  bool may_create = slash != std::string_view::npos && slash != 0 && text.front() != '"' &&
                    text.back() != '"';
  int fd = -1;
  bool created = false;
  if (likely_missing && may_create) {
    fd = ::openat(dirFd, name, kOpen | O_CREAT | O_EXCL, 0600);
    created = fd >= 0;
    if (fd < 0 && errno != EEXIST) return kRetry;
  }
  if (fd < 0) fd = ::openat(dirFd, name, kOpen);
  if (fd < 0 && errno == EISDIR) return kIsDirectory;
  if (fd < 0 && errno == ELOOP) {
    if (trace_path) TraceMessage("AcquireFileLock(): path = %S", path.c_str());
    RemoveLink(dirFd, name, path);
    return kRetry;
  }
  if (trace_path) TraceMessage("AcquireFileLock(): path = %S", path.c_str());
  if (fd < 0 && errno == ENOENT && may_create && !likely_missing) {
    fd = ::openat(dirFd, name, kOpen | O_CREAT | O_EXCL, 0600);
    created = fd >= 0;
  }
  if (fd < 0) return kRetry;
  if (created) {
    // The same trace lines as the step-by-step creation of a missing file.
    TraceMessage("AcquireFileLock(): Path %S is invalid; Checking parent...", path.c_str());
    if (TraceEnabled()) {
      std::string parent;
      (void)GetParentDirPath(path, parent);
    }
    TraceMessage("AcquireFileLock(): Parent path is valid");
  }
  *fileHandle = fd;
  return 0;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

int AcquireFileLockAt(int dirFd, const char* name, const std::string& path, int* fileHandle,
                      bool likelyMissing) {
  if (fileHandle == nullptr) return -1;
  bool quick = !IsNullOrEmpty(path);
  bool traced = false;
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    int result = kRetry;
    // Opened by its full path, the file is checked by that path too: the
    // directory on dirFd may be a deleted one that the path has recreated.
    bool by_path = false;
    if (quick) {
      result = OpenLockFileQuickly(dirFd, name, path, fileHandle, !traced, likelyMissing);
      if (result == kIsDirectory) return -1;
      traced = true;
    }
    if (result == kRetry) {
      if (!traced) TraceMessage("AcquireFileLock(): path = %S", path.c_str());
      traced = true;
      quick = false;
      result = OpenLockFileSlowly(path, fileHandle);
      by_path = true;
    }
    if (result == kRetry) continue;
    if (result != 0) {
      *fileHandle = -1;
      return result;
    }
    int fd = *fileHandle;
    if (::lockf(fd, F_TLOCK, 0) != 0) {
      int saved_errno = errno;
      CloseFd(fd);
      *fileHandle = -1;
      TraceMessage("ERROR: AcquireFileLock(): Error locking file %S; ec = %d", path.c_str(),
                   saved_errno);
      return kLockBusy;
    }
    struct stat by_fd, by_name;
    if (::fstat(fd, &by_fd) == 0 && !S_ISREG(by_fd.st_mode)) {
      (void)::lockf(fd, F_ULOCK, 0);
      CloseFd(fd);
      *fileHandle = -1;
      TraceMessage("ERROR: AcquireFileLock(): Path %S exists, and is not a file", path.c_str());
      return -2;
    }
    int check_dir = by_path ? AT_FDCWD : dirFd;
    const char* check_name = by_path ? path.c_str() : name;
    if (::fstatat(check_dir, check_name, &by_name, AT_SYMLINK_NOFOLLOW) == 0 &&
        SameFile(by_fd, by_name)) {
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

int AcquireFileLock(const std::string& path, int* fileHandle) {
  if (fileHandle == nullptr || IsPathDirectory(path)) return -1;
  return AcquireFileLockAt(AT_FDCWD, path.c_str(), path, fileHandle, false);
}

int ReleaseFileLockAt(int dirFd, const char* name, const std::string& path, int* fileHandle) {
  if (fileHandle == nullptr) return -1;
  bool named = !IsNullOrEmpty(path);
  if (*fileHandle < 0) {
    struct stat info;
    if (!named || ::fstatat(dirFd, name, &info, 0) != 0 || !S_ISREG(info.st_mode)) return -1;
    TraceMessage("ERROR: ReleaseFileLock(): File handle is invalid. Path to unlock = %S",
                 path.c_str());
    return -2;
  }
  int fd = *fileHandle;
  // Deleted while still locked, so that nobody can lock the file anew while
  // it still bears the name.
  bool deleted = named && ::unlinkat(dirFd, name, 0) == 0;
  int delete_errno = errno;
  if (!deleted && (!named || delete_errno == ENOENT || delete_errno == EISDIR ||
                   delete_errno == ENOTDIR)) {
    // The file has gone (an entry deleted with its lock inside): the lock
    // itself must still end here.
    (void)::lockf(fd, F_ULOCK, 0);
    CloseFd(fd);
    *fileHandle = -1;
    return -1;
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

int ReleaseFileLock(const std::string& path, int* fileHandle) {
  return ReleaseFileLockAt(AT_FDCWD, path.c_str(), path, fileHandle);
}
