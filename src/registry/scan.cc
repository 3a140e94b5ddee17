// The purge and scan passes over the registry, each under the registry lock.
//
// A lookup touches a handful of files in every entry, so each pass opens
// the registry directory and each entry directory once and reaches their
// files by short relative names.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/backoff.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/sys.h"
#include "registry/entry_files.h"
#include "registry/registry.h"
#include "trace/trace.h"

namespace {

std::string Join(const std::string& base, const char* name) {
  std::string path = base;
  if (PathConcatenate(path, name) != 0) path = base + "/" + name;
  return path;
}

// A directory open for relative access, or, when it cannot be opened, the
// working directory with full paths (the rules for a vanished entry then
// apply unchanged).
class OpenDir {
 public:
  // An entry is opened without following a link; the registry itself may
  // well be reached through one.
  OpenDir(int parent_fd, const char* name, const std::string& path, bool follow = false)
      : path_(path) {
    int flags = O_PATH | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
    fd_.Reset(::openat(parent_fd, name, flags));
    if (!fd_.Valid()) linked_ = errno == ELOOP || errno == ENOTDIR;
  }
  bool linked() const { return linked_; }
  // After the entry lock: when the entry was deleted meanwhile and taking
  // its lock recreated it, the rest of the entry is read and released
  // through the directory the lock file really lies in.
  void FollowRecreated(int parent_fd, const char* name) {
    struct stat info;
    if (!fd_.Valid() || ::fstat(fd_.Get(), &info) != 0 || info.st_nlink > 0) return;
    fd_.Reset(::openat(parent_fd, name, O_PATH | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
  }
  const std::string& path() const { return path_; }
  int fd() const { return fd_.Valid() ? fd_.Get() : AT_FDCWD; }
  // A file of the directory: its full path in `full`, and what to pass
  // with fd() to reach it.
  const char* File(const char* name, std::string& full) const {
    full = Join(path_, name);
    return fd_.Valid() ? name : full.c_str();
  }

 private:
  std::string path_;
  UniqueFd fd_;
  bool linked_ = false;
};

// An entry that is a symbolic link is no daemon's: its lock files would lie
// outside the registry, so it is never locked, read or descended into.
bool IsLinkedEntry(bool listed_as_link, const OpenDir& entry, const char* pass) {
  if (!listed_as_link && !entry.linked()) return false;
  std::string line = std::string("WARNING: ") + pass + "(): Entry %S is a symbolic link";
  TraceMessage(line.c_str(), entry.path().c_str());
  return true;
}

// Another lookup holds the registry lock for one pass, a few hundred
// microseconds: waiting for it is far cheaper than starting a daemon.
int AcquireRegistryLock(const OpenDir& registry, std::string& lock_path, int* handle,
                        Backoff& wait, const char* pass) {
  const char* lock = registry.File("lock", lock_path);
  wait.Restart();
  for (;;) {
    int result = AcquireFileLockAt(registry.fd(), lock, lock_path, handle, true);
    if (result != kLockBusy) return result;
    int waited = wait.Pause();
    if (waited == 0) return result;
    std::string line = std::string(pass) + "(): Waited %d us for lock %S";
    TraceMessage(line.c_str(), waited, lock_path.c_str());
  }
}

int ReleaseRegistryLock(const OpenDir& registry, int* handle) {
  std::string lock_path;
  const char* lock = registry.File("lock", lock_path);
  return ReleaseFileLockAt(registry.fd(), lock, lock_path, handle);
}

void PurgeEntry(const OpenDir& registry, const std::string& name, bool listed_as_link) {
  OpenDir entry(registry.fd(), name.c_str(), Join(registry.path(), name.c_str()));
  TraceMessage("PurgeStaleDaemonEntries(): Found directory %S", name.c_str());
  if (IsLinkedEntry(listed_as_link, entry, "PurgeStaleDaemonEntries")) {
    // Removing the link itself touches nothing outside the registry.
    int trashed = TrashDirectory(entry.path());
    if (trashed != 0) {
      TraceMessage("WARNING: PurgeStaleDaemonEntries(): Failed to trash directory %S; result = %d",
                   entry.path().c_str(), trashed);
    }
    return;
  }
  std::string lock_path;
  const char* lock = entry.File("lock", lock_path);
  int entry_lock = -1;
  int locked = AcquireFileLockAt(entry.fd(), lock, lock_path, &entry_lock, true);
  if (locked != 0) {
    TraceMessage(
        "PurgeStaleDaemonEntries(): Failed to acquire lock on the daemon entry; result = %d; %S",
        locked, lock_path.c_str());
    return;
  }
  entry.FollowRecreated(registry.fd(), name.c_str());
  std::string alive_path;
  const char* alive = entry.File("alivelock", alive_path);
  int alive_lock = -1;
  if (AcquireFileLockAt(entry.fd(), alive, alive_path, &alive_lock, false) == 0) {
    TraceMessage("PurgeStaleDaemonEntries(): Daemon registry entry %S seems to be stale; purging it",
                 entry.path().c_str());
    int released = ReleaseFileLockAt(entry.fd(), alive, alive_path, &alive_lock);
    if (released != 0) {
      TraceMessage("ERROR: PurgeStaleDaemonEntries(): Failed to release alive lock @ %S; result = %d",
                   alive_path.c_str(), released);
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
  int released = ReleaseFileLockAt(entry.fd(), lock, lock_path, &entry_lock);
  if (released != 0) {
    TraceMessage(
        "WARNING: PurgeStaleDaemonEntries(): Error releasing daemon entry lock; @ %S; result = %d",
        lock_path.c_str(), released);
  }
}

// Reads one entry under its entry lock; appends it when live. An entry
// whose lock another process holds sets *skipped_busy.
void ScanEntry(const OpenDir& registry, const std::string& name, bool listed_as_link,
               DaemonRegistryList& entries, bool* skipped_busy) {
  int32_t port = -1;
  std::string key;
  OpenDir entry(registry.fd(), name.c_str(), Join(registry.path(), name.c_str()));
  TraceMessage("ListDaemons(): Found directory %S", name.c_str());
  if (IsLinkedEntry(listed_as_link, entry, "ListDaemons")) return;
  std::string lock_path;
  const char* lock = entry.File("lock", lock_path);
  int entry_lock = -1;
  int locked = AcquireFileLockAt(entry.fd(), lock, lock_path, &entry_lock, true);
  if (locked != 0) {
    TraceMessage("ListDaemons(): Failed to acquire lock on the daemon entry; result = %d; %S", locked,
                 lock_path.c_str());
    if (locked == kLockBusy) *skipped_busy = true;
    return;
  }
  entry.FollowRecreated(registry.fd(), name.c_str());
  std::string location_path;
  const char* location = entry.File("location", location_path);
  int read = ReadLocationFileAt(entry.fd(), location, location_path, port, key);
  if (read != 0) {
    TraceMessage("WARNING: ListDaemons(): Error while reading location file of daemon @ %S; result = %d",
                 location_path.c_str(), read);
  } else {
    std::string alive_path;
    const char* alive = entry.File("alivelock", alive_path);
    int alive_lock = -1;
    if (AcquireFileLockAt(entry.fd(), alive, alive_path, &alive_lock, false) == 0) {
      TraceMessage("ListDaemons(): Daemon registry entry %S seems to be stale; ignoring it",
                   entry.path().c_str());
      int released = ReleaseFileLockAt(entry.fd(), alive, alive_path, &alive_lock);
      if (released != 0) {
        TraceMessage("ERROR: ListDaemons(): Failed to release alive lock @ %S; result = %d",
                     alive_path.c_str(), released);
      }
    } else {
      auto* record = new DaemonRegistryEntryInfo();
      record->port = port;
      record->key = key;
      std::string sandboxes_path;
      const char* sandboxes = entry.File("sandboxes", sandboxes_path);
      int read_sandboxes =
          ReadSandboxesFileAt(entry.fd(), sandboxes, sandboxes_path, record->sandboxes);
      if (read_sandboxes != 0) {
        TraceMessage("WARNING: ListDaemons(): Error reading sandbox file @ %S; result = %d",
                     sandboxes_path.c_str(), read_sandboxes);
      }
      std::string properties_path;
      const char* properties = entry.File("daemon.properties", properties_path);
      int read_properties =
          ReadPropertiesFileAt(entry.fd(), properties, properties_path, record->properties);
      if (read_properties != 0) {
        TraceMessage("WARNING: ListDaemons(): Error reading properties file @ %S; result = %d",
                     properties_path.c_str(), read_properties);
      }
      if (read_sandboxes == kEntryFileTooLarge || read_properties == kEntryFileTooLarge) {
        TraceMessage("WARNING: ListDaemons(): Entry %S cannot be read; skipping it",
                     entry.path().c_str());
        delete record;
      } else {
        entries.push_back(record);
      }
    }
  }
  int released = ReleaseFileLockAt(entry.fd(), lock, lock_path, &entry_lock);
  if (released != 0) {
    TraceMessage("WARNING: ListDaemons(): Error releasing daemon entry lock; @ %S; result = %d",
                 lock_path.c_str(), released);
  }
}

// The scan pass: every live entry, read under the registry lock.
int ScanPass(const std::string& registryPath, DaemonRegistryList& entries, Backoff& wait,
             bool* skippedBusy) {
  OpenDir registry(AT_FDCWD, registryPath.c_str(), registryPath, true);
  std::string lock_path;
  int registry_lock = -1;
  if (AcquireRegistryLock(registry, lock_path, &registry_lock, wait, "ListDaemons") != 0) {
    TraceMessage("ERROR: ListDaemons(): Failed to acquire registry dir lock; %S", lock_path.c_str());
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
  int released = ReleaseRegistryLock(registry, &registry_lock);
  if (released != 0) {
    TraceMessage("WARNING: ListDaemons(): Error releasing daemon registry lock; @ %S; result = %d",
                 lock_path.c_str(), released);
    if (result == 0) result = -3;
  }
  return result;
}

}  // namespace

int PurgeStaleDaemonEntries(const std::string& registryPath, Backoff& wait) {
  TraceMessage("----------------------------PURGE DAEMONS---------------------------------");
  if (!IsPathDirectory(registryPath)) return -1;
  OpenDir registry(AT_FDCWD, registryPath.c_str(), registryPath, true);
  std::string lock_path;
  int registry_lock = -1;
  if (AcquireRegistryLock(registry, lock_path, &registry_lock, wait, "PurgeStaleDaemonEntries") !=
      0) {
    TraceMessage("ERROR: PurgeStaleDaemonEntries(): Failed to acquire registry dir lock; %S",
                 lock_path.c_str());
    return -1;
  }
  int result = 0;
  std::vector<std::string> names;
  std::vector<bool> links;
  if (ListFileSystemEntries(registryPath, names, true, &links) != 0) {
    TraceMessage("ERROR: PurgeStaleDaemonEntries(): Error while retrieving directory contents for %S",
                 registryPath.c_str());
    result = -2;
    names.clear();
  }
  for (size_t i = 0; i < names.size(); ++i) PurgeEntry(registry, names[i], links[i]);
  int released = ReleaseRegistryLock(registry, &registry_lock);
  if (released != 0) {
    TraceMessage(
        "WARNING: PurgeStaleDaemonEntries(): Error releasing daemon registry lock; @ %S; result = %d",
        lock_path.c_str(), released);
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
    TraceMessage("WARNING: ListDaemons(): Could not purge stale daemon entries; result = %d", purged);
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
  Backoff poll(kNewEntryWaitUs, 500, 50000);
  Backoff lock_wait(kRegistryLockWaitUs);
  int waited = 0;
  for (;;) {
    DaemonRegistryList entries;
    bool skipped_busy = false;
    bool found = false;
    if (IsPathDirectory(registryPath) &&
        ScanPass(registryPath, entries, lock_wait, &skipped_busy) == 0) {
      for (const DaemonRegistryEntryInfo* record : entries) {
        found = found || (record->port == location.port && record->key == location.key);
      }
    }
    DestroyDaemonRegistryList(entries);
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
