// The purge and scan passes over the registry, each under the registry lock.
//
// A lookup touches a handful of files in every entry, so each pass opens
// the registry directory and each entry directory once and reaches their
// files by a descriptor and a short name. Full paths serve the trace, and
// the one case that needs them: a lock whose entry was deleted meanwhile.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/backoff.h"
#include "platform/files.h"
#include "platform/locks.h"
#include "platform/paths.h"
#include "platform/sys.h"
#include "registry/entry_files.h"
#include "registry/layout.h"
#include "registry/registry.h"
#include "trace/trace.h"

namespace {

// base/name, by the path rules (quotes honoured); a plain base, the usual
// case, is joined without them: a lookup joins a few names per entry.
std::string Join(const std::string& base, const char* name) {
  bool plain = !base.empty() && base.front() != '"' && base.back() != '"' && name[0] != '"';
  if (plain) return base.back() == '/' ? base + name : base + "/" + name;
  std::string path = base;
  if (PathConcatenate(path, name) != 0) path = base + "/" + name;
  return path;
}

// A directory reached through a descriptor: its own, or, when it could not
// be opened (deleted meanwhile), its parent's, with its name put before
// the name of each of its files.
class DirRef {
 public:
  // An entry is opened without following a link; the registry itself may
  // well be reached through one.
  DirRef(int parentFd, std::string name, std::string path, bool followLink = false)
      : parent_fd_(parentFd), name_(std::move(name)), path_(std::move(path)) {
    Open(followLink);
    if (!fd_.Valid()) linked_ = errno == ELOOP || errno == ENOTDIR;
  }

  bool linked() const { return linked_; }
  const std::string& path() const { return path_; }
  int fd() const { return fd_.Valid() ? fd_.Get() : parent_fd_; }

  // One of its files: the name to pass with fd(), and the full path.
  struct File {
    std::string name, path;
  };
  File Of(const char* file) const {
    return {fd_.Valid() ? std::string(file) : name_ + "/" + file, Join(path_, file)};
  }

  // After the entry lock: when the entry was deleted meanwhile and taking
  // its lock made it again, the rest of the entry is read and released
  // through the directory the lock file really lies in.
  void FollowRecreated() {
    struct stat info;
    if (fd_.Valid() && ::fstat(fd_.Get(), &info) == 0 && info.st_nlink > 0) return;
    Open(false);
  }

 private:
  void Open(bool followLink) {
    int flags = O_PATH | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
    fd_.Reset(::openat(parent_fd_, name_.c_str(), flags));
  }

  int parent_fd_;
  std::string name_, path_;
  UniqueFd fd_;
  bool linked_ = false;
};

// A lock file of a directory, taken and released by the same name.
struct LockIn {
  LockIn(const DirRef& dir, const char* file) : fd(dir.fd()), file(dir.Of(file)) {}
  int Acquire() { return AcquireFileLockAt(fd, file.name.c_str(), file.path, &handle); }
  int Release() { return ReleaseFileLockAt(fd, file.name.c_str(), file.path, &handle); }
  const std::string& path() const { return file.path; }

  int fd;
  DirRef::File file;
  int handle = -1;
};

// An entry that is a symbolic link is no daemon's: its lock files would lie
// outside the registry, so it is never locked, read or descended into.
bool IsLinkedEntry(bool listedAsLink, const DirRef& entry, const char* pass) {
  if (!listedAsLink && !entry.linked()) return false;
  std::string line = std::string("WARNING: ") + pass + "(): Entry %S is a symbolic link";
  TraceMessage(line.c_str(), entry.path().c_str());
  return true;
}

// Another lookup holds the registry lock for one pass, a few hundred
// microseconds: waiting for it is far cheaper than starting a daemon.
int AcquireRegistryLock(LockIn& lock, Backoff& wait, const char* pass) {
  wait.Restart();
  for (;;) {
    int result = lock.Acquire();
    if (result != kLockBusy) return result;
    int waited = wait.Pause();
    if (waited == 0) return result;
    std::string line = std::string(pass) + "(): Waited %d us for lock %S";
    TraceMessage(line.c_str(), waited, lock.path().c_str());
  }
}

DirRef OpenEntry(const DirRef& registry, const std::string& name) {
  DirRef::File entry = registry.Of(name.c_str());
  return DirRef(registry.fd(), entry.name, entry.path);
}

void PurgeEntry(const DirRef& registry, const std::string& name, bool listedAsLink) {
  DirRef entry = OpenEntry(registry, name);
  TraceMessage("PurgeStaleDaemonEntries(): Found directory %S", name.c_str());
  if (IsLinkedEntry(listedAsLink, entry, "PurgeStaleDaemonEntries")) {
    // Removing the link itself touches nothing outside the registry.
    int trashed = TrashDirectory(entry.path());
    if (trashed != 0) {
      TraceMessage("WARNING: PurgeStaleDaemonEntries(): Failed to trash directory %S; result = %d",
                   entry.path().c_str(), trashed);
    }
    return;
  }
  LockIn entry_lock(entry, kEntryLockName);
  int locked = entry_lock.Acquire();
  if (locked != 0) {
    TraceMessage(
        "PurgeStaleDaemonEntries(): Failed to acquire lock on the daemon entry; result = %d; %S",
        locked, entry_lock.path().c_str());
    return;
  }
  entry.FollowRecreated();
  LockIn alive_lock(entry, kAliveLockName);
  if (alive_lock.Acquire() == 0) {
    TraceMessage(
        "PurgeStaleDaemonEntries(): Daemon registry entry %S seems to be stale; purging it",
        entry.path().c_str());
    int released = alive_lock.Release();
    if (released != 0) {
      TraceMessage(
          "ERROR: PurgeStaleDaemonEntries(): Failed to release alive lock @ %S; result = %d",
          alive_lock.path().c_str(), released);
    }
    int trashed = TrashDirectory(entry.path());
    if (trashed == 0) {
      TraceMessage("PurgeStaleDaemonEntries(): Successfully purged daemon entry @ %S",
                   entry.path().c_str());
    } else {
      TraceMessage("WARNING: PurgeStaleDaemonEntries(): Failed to trash directory %S; result = %d",
                   entry.path().c_str(), trashed);
    }
  }
  int released = entry_lock.Release();
  if (released != 0) {
    TraceMessage(
        "WARNING: PurgeStaleDaemonEntries(): Error releasing daemon entry lock; @ %S; result = %d",
        entry_lock.path().c_str(), released);
  }
}

// A live entry's files, read under its entry lock; false when one is past
// its size limit and the entry cannot be read.
bool ReadLiveEntry(const DirRef& entry, DaemonRegistryEntryInfo& record) {
  DirRef::File sandboxes = entry.Of(kSandboxesName);
  int read_sandboxes =
      ReadSandboxesFileAt(entry.fd(), sandboxes.name.c_str(), sandboxes.path, record.sandboxes);
  if (read_sandboxes != 0) {
    TraceMessage("WARNING: ListDaemons(): Error reading sandbox file @ %S; result = %d",
                 sandboxes.path.c_str(), read_sandboxes);
  }
  DirRef::File properties = entry.Of(kPropertiesName);
  int read_properties =
      ReadPropertiesFileAt(entry.fd(), properties.name.c_str(), properties.path, record.properties);
  if (read_properties != 0) {
    TraceMessage("WARNING: ListDaemons(): Error reading properties file @ %S; result = %d",
                 properties.path.c_str(), read_properties);
  }
  if (read_sandboxes != kEntryFileTooLarge && read_properties != kEntryFileTooLarge) return true;
  TraceMessage("WARNING: ListDaemons(): Entry %S cannot be read; skipping it",
               entry.path().c_str());
  return false;
}

// Reads one entry under its entry lock; appends it when live. An entry
// whose lock another process holds sets *skippedBusy.
void ScanEntry(const DirRef& registry, const std::string& name, bool listedAsLink,
               DaemonRegistryList& entries, bool* skippedBusy) {
  DirRef entry = OpenEntry(registry, name);
  TraceMessage("ListDaemons(): Found directory %S", name.c_str());
  if (IsLinkedEntry(listedAsLink, entry, "ListDaemons")) return;
  LockIn entry_lock(entry, kEntryLockName);
  int locked = entry_lock.Acquire();
  if (locked != 0) {
    TraceMessage("ListDaemons(): Failed to acquire lock on the daemon entry; result = %d; %S",
                 locked, entry_lock.path().c_str());
    if (locked == kLockBusy) *skippedBusy = true;
    return;
  }
  entry.FollowRecreated();
  DaemonRegistryEntryInfo record;
  DirRef::File location = entry.Of(kLocationName);
  int read =
      ReadLocationFileAt(entry.fd(), location.name.c_str(), location.path, record.port, record.key);
  if (read != 0) {
    TraceMessage(
        "WARNING: ListDaemons(): Error while reading location file of daemon @ %S; result = %d",
        location.path.c_str(), read);
  } else {
    LockIn alive_lock(entry, kAliveLockName);
    if (alive_lock.Acquire() == 0) {
      TraceMessage("ListDaemons(): Daemon registry entry %S seems to be stale; ignoring it",
                   entry.path().c_str());
      int released = alive_lock.Release();
      if (released != 0) {
        TraceMessage("ERROR: ListDaemons(): Failed to release alive lock @ %S; result = %d",
                     alive_lock.path().c_str(), released);
      }
    } else if (ReadLiveEntry(entry, record)) {
      entries.push_back(std::move(record));
    }
  }
  int released = entry_lock.Release();
  if (released != 0) {
    TraceMessage("WARNING: ListDaemons(): Error releasing daemon entry lock; @ %S; result = %d",
                 entry_lock.path().c_str(), released);
  }
}

// The scan pass: every live entry, read under the registry lock.
int ScanPass(const std::string& registryPath, DaemonRegistryList& entries, Backoff& wait,
             bool* skippedBusy) {
  DirRef registry(AT_FDCWD, registryPath, registryPath, true);
  LockIn registry_lock(registry, kRegistryLockName);
  if (AcquireRegistryLock(registry_lock, wait, "ListDaemons") != 0) {
    TraceMessage("ERROR: ListDaemons(): Failed to acquire registry dir lock; %S",
                 registry_lock.path().c_str());
    return -1;
  }
  int result = 0;
  std::vector<std::string> names;
  std::vector<bool> links;
  if (ListFileSystemEntries(registryPath, names, true, &links) != 0) {
    TraceMessage("ERROR: ListDaemons(): Error while retrieving directory contents for %S",
                 registryPath.c_str());
    result = -2;
  } else {
    TraceMessage("ListDaemons(): Found %d daemon entries", static_cast<int>(names.size()));
    TraceMessage("----------------------------READ ENTRIES---------------------------------");
    for (size_t i = 0; i < names.size(); ++i) {
      ScanEntry(registry, names[i], links[i], entries, skippedBusy);
    }
  }
  int released = registry_lock.Release();
  if (released != 0) {
    TraceMessage("WARNING: ListDaemons(): Error releasing daemon registry lock; @ %S; result = %d",
                 registry_lock.path().c_str(), released);
    if (result == 0) result = -3;
  }
  return result;
}

}  // namespace

int PurgeStaleDaemonEntries(const std::string& registryPath, Backoff& wait) {
  TraceMessage("----------------------------PURGE DAEMONS---------------------------------");
  if (!IsPathDirectory(registryPath)) return -1;
  DirRef registry(AT_FDCWD, registryPath, registryPath, true);
  LockIn registry_lock(registry, kRegistryLockName);
  if (AcquireRegistryLock(registry_lock, wait, "PurgeStaleDaemonEntries") != 0) {
    TraceMessage("ERROR: PurgeStaleDaemonEntries(): Failed to acquire registry dir lock; %S",
                 registry_lock.path().c_str());
    return -1;
  }
  int result = 0;
  std::vector<std::string> names;
  std::vector<bool> links;
  if (ListFileSystemEntries(registryPath, names, true, &links) != 0) {
    TraceMessage(
        "ERROR: PurgeStaleDaemonEntries(): Error while retrieving directory contents for %S",
        registryPath.c_str());
    result = -2;
    names.clear();
  }
  for (size_t i = 0; i < names.size(); ++i) PurgeEntry(registry, names[i], links[i]);
  int released = registry_lock.Release();
  if (released != 0) {
    TraceMessage(
        "WARNING: PurgeStaleDaemonEntries(): Error releasing daemon registry lock; @ %S; result = %d",
        registry_lock.path().c_str(), released);
    if (result == 0) result = -3;
  }
  return result;
}

int PurgeStaleDaemonEntries(const std::string& registryPath) {
  Backoff wait(kRegistryLockWaitUs);
  return PurgeStaleDaemonEntries(registryPath, wait);
}

int ListDaemons(const std::string& registryPath, const std::string& workingDirPath,
                DaemonRegistryList& entries, Backoff& wait, bool* skippedBusy) {
  TraceMessage("----------------------------LIST DAEMONS---------------------------------");
  if (!IsPathDirectory(registryPath) || !IsPathDirectory(workingDirPath)) return -1;
  DestroyDaemonRegistryList(entries);
  int purged = PurgeStaleDaemonEntries(registryPath, wait);
  if (purged != 0) {
    TraceMessage("WARNING: ListDaemons(): Could not purge stale daemon entries; result = %d",
                 purged);
  }
  return ScanPass(registryPath, entries, wait, skippedBusy);
}

int ListDaemons(const std::string& registryPath, const std::string& workingDirPath,
                DaemonRegistryList& entries) {
  Backoff wait(kRegistryLockWaitUs);
  bool skipped_busy = false;
  return ListDaemons(registryPath, workingDirPath, entries, wait, &skipped_busy);
}

int AwaitDaemonEntry(const std::string& registryPath, const DaemonLocation& location) {
  // The first look is at once; then from half a millisecond up to 50 ms apart.
  Backoff poll(kNewEntryWaitUs, 500, 50000);
  Backoff lock_wait(kRegistryLockWaitUs);
  int waited = 0;
  for (;;) {
    DaemonRegistryList entries;
    bool skipped_busy = false;
    bool found = false;
    if (IsPathDirectory(registryPath) &&
        ScanPass(registryPath, entries, lock_wait, &skipped_busy) == 0) {
      for (const DaemonRegistryEntryInfo& record : entries) {
        found = found || (record.port == location.port && record.key == location.key);
      }
    }
    if (found) {
      TraceMessage("AwaitDaemonEntry(): The new daemon's entry is listed after %d us", waited);
      return 0;
    }
    int step = poll.Pause();
    if (step == 0) {
      TraceMessage("WARNING: AwaitDaemonEntry(): The new daemon's entry is not listed after %d us",
                   waited);
      return -1;
    }
    waited += step;
  }
}
