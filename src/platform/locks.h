// Lock files: an exclusive lockf lock over a whole file, never waited for,
// released by deleting the file.
#ifndef QUARN_PLATFORM_LOCKS_H_
#define QUARN_PLATFORM_LOCKS_H_

#include <string>

constexpr int kLockBusy = -8;
/// AcquireFileLockAt only: the directory open on dirFd has been deleted.
constexpr int kLockDirGone = -9;
/// Opens (creating with mode 0600 and missing parents) and locks the whole
/// file without waiting; the descriptor is close-on-exec. 0 locked (handle
/// set); -1 null handle or a directory; -2 not a regular file; -3 open;
/// -4 no parent; -5 parent not a directory; -6 parent not creatable;
/// -7 create; -8 held by another process (handle left at -1).
[[nodiscard]] int AcquireFileLock(const std::string& path, int* fileHandle);
/// Deletes the lock file while still holding it, then unlocks and closes;
/// the handle ends at -1. 0; -1 null handle, empty path, or the file has
/// gone (a valid handle is still unlocked and closed); -2 handle below 0;
/// -3 unlock failed; -4 close failed; -5 delete failed.
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
