// A registry entry as the passes reach it: its directory opened without
// following a link, and its lock files released where they were taken.
#ifndef QUARN_REGISTRY_ENTRY_DIR_H_
#define QUARN_REGISTRY_ENTRY_DIR_H_

#include <string>
#include <utility>

#include "platform/sys.h"
#include "registry/registry_dir.h"

/// One entry directory of `registry`. A skipped entry (a link, or another
/// user's) is neither locked, read nor deleted.
class EntryDir {
 public:
  /// `pass` names the pass in the trace lines.
  EntryDir(const RegistryDir& registry, std::string name, const char* pass);

  const std::string& name() const { return name_; }
  const std::string& path() const { return path_; }
  int fd() const { return fd_.Get(); }
  std::string PathOf(const char* file) const { return path_ + "/" + file; }

  /// Opens the entry; false (traced) when it is to be skipped. An entry
  /// deleted since it was listed is made again, as the parent of its lock
  /// file: the next purge deletes it.
  bool Open(bool listedAsLink);
  /// The entry lock, taken in the directory the entry is now: once more
  /// after reopening when the directory open on fd() was deleted
  /// meanwhile. Codes as AcquireFileLockAt (-4 when it is gone for good).
  int AcquireEntryLock(int* handle);

 private:
  bool Skip(const char* line);

  const RegistryDir& registry_;
  std::string name_, path_;
  const char* pass_;
  UniqueFd fd_;
};

/// A lock file of a directory, released in the directory it was taken in.
class LockIn {
 public:
  LockIn(int dirFd, const char* name, std::string path)
      : dir_fd_(dirFd), name_(name), path_(std::move(path)) {}
  int Acquire();
  int Release();
  const std::string& path() const { return path_; }
  int* handle() { return &handle_; }

 private:
  int dir_fd_;
  const char* name_;
  std::string path_;
  int handle_ = -1;
};

#endif  // QUARN_REGISTRY_ENTRY_DIR_H_
