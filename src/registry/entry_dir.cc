#include "registry/entry_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/descriptors.h"
#include "platform/locks.h"
#include "registry/layout.h"
#include "trace/trace.h"

EntryDir::EntryDir(const RegistryDir& registry, std::string name, const char* pass)
    : registry_(registry), name_(std::move(name)), path_(registry.Join(name_)), pass_(pass) {}

bool EntryDir::Open(bool listedAsLink) {
  if (listedAsLink) return Skip("%s(): Entry %S is a symbolic link");
  int flags = DirectoryHandleFlags();
  fd_.Reset(Sys().openat(registry_.fd(), name_.c_str(), flags, 0));
  if (!fd_.Valid() && errno == ENOENT) {
    TraceMessage("AcquireFileLock(): Parent path does not exist; creating it...");
    if (::mkdirat(registry_.fd(), name_.c_str(), 0700) != 0 && errno != EEXIST) {
      TraceMessage("ERROR: Could not create directory %S; ec = %d", path_.c_str(), errno);
      return false;
    }
    fd_.Reset(Sys().openat(registry_.fd(), name_.c_str(), flags, 0));
  }
  if (!fd_.Valid()) {
    if (errno == ELOOP || errno == ENOTDIR) return Skip("%s(): Entry %S is a symbolic link");
    TraceMessage("ERROR: %s(): Could not open entry %S; ec = %d", pass_, path_.c_str(), errno);
    return false;
  }
  struct stat info;
  if (::fstat(fd_.Get(), &info) != 0 || info.st_uid != ::geteuid()) {
    return Skip("%s(): Entry %S belongs to another user; skipping it");
  }
  return true;
}

int EntryDir::AcquireEntryLock(int* handle) {
  int result = AcquireFileLockAt(fd(), kEntryLockName, PathOf(kEntryLockName), handle);
  if (result == kLockDirGone && Open(false)) {
    result = AcquireFileLockAt(fd(), kEntryLockName, PathOf(kEntryLockName), handle);
  }
  return result == kLockDirGone ? -4 : result;
}

bool EntryDir::Skip(const char* line) {
  TraceMessage((std::string("WARNING: ") + line).c_str(), pass_, path_.c_str());
  fd_.Reset();
  return false;
}

int LockIn::Acquire() { return AcquireFileLockAt(dir_fd_, name_, path_, &handle_); }
int LockIn::Release() { return ReleaseFileLockAt(dir_fd_, name_, path_, &handle_); }
