// Lock files: an exclusive lockf lock over a whole file, never waited for,
// released by deleting the file.
#ifndef QUARN_PLATFORM_LOCKS_H_
#define QUARN_PLATFORM_LOCKS_H_

#include <string>

/// AcquireFileLock's codes besides 0 (locked, handle set).
constexpr int kLockBadArguments = -1;  // a null handle, or a directory at the path
constexpr int kLockNotRegular = -2;
constexpr int kLockOpenFailed = -3;
constexpr int kLockNoParent = -4;
constexpr int kLockParentNotDirectory = -5;
constexpr int kLockParentNotMade = -6;
constexpr int kLockCreateFailed = -7;
constexpr int kLockBusy = -8;  // held by another process (handle left at -1)
/// AcquireFileLockAt only: the directory open on dirFd has been deleted.
constexpr int kLockDirGone = -9;

/// ReleaseFileLock's codes besides 0.
constexpr int kReleaseFileGone = -1;  // or a null handle or empty path; a valid handle still ends
constexpr int kReleaseBadHandle = -2;
constexpr int kReleaseUnlockFailed = -3;
constexpr int kReleaseCloseFailed = -4;
constexpr int kReleaseDeleteFailed = -5;

/// Opens (creating with mode 0600 and missing parents) and locks the whole
/// file without waiting; the descriptor is close-on-exec.
[[nodiscard]] int AcquireFileLock(const std::string& path, int* fileHandle);
/// Deletes the lock file while still holding it, then unlocks and closes;
/// the handle ends at -1.
[[nodiscard]] int ReleaseFileLock(const std::string& path, int* fileHandle);

// The same on the file `name` relative to the directory open on `dirFd`.
// `path` names the same file in full, for the trace; with AT_FDCWD `name`
// is that path, and a missing parent is made step by step. A FIFO, socket
// or device at the name is removed and a lock file takes its place, as a
// link is.
[[nodiscard]] int AcquireFileLockAt(int dirFd, const char* name, const std::string& path,
                                    int* fileHandle);
[[nodiscard]] int ReleaseFileLockAt(int dirFd, const char* name, const std::string& path,
                                    int* fileHandle);

#endif  // QUARN_PLATFORM_LOCKS_H_
