// The purge and scan passes over the registry, each under the registry lock.
//
// Other processes write to the registry, so every file is reached through
// a descriptor: the registry's own (checked once per run), then each
// entry's, opened without following a link, and short names below them.
// Names read from the directory are names: joined literally, never as
// paths. Full paths serve only the trace.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "platform/backoff.h"
#include "platform/files.h"
#include "platform/locks.h"
#include "platform/paths.h"
#include "platform/sys.h"
#include "registry/entry_dir.h"
#include "registry/entry_files.h"
#include "registry/layout.h"
#include "registry/registry.h"
#include "trace/trace.h"

namespace {

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

// A stale entry holding a file of another user is not ours to delete.
bool HoldsForeignFile(const EntryDir& entry) {
  for (const char* file : {kLocationName, kSandboxesName, kPropertiesName}) {
    struct stat info;
    if (::fstatat(entry.fd(), file, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        info.st_uid != ::geteuid()) {
      TraceMessage(
          "WARNING: PurgeStaleDaemonEntries(): Entry %S holds a file of another user; skipping it",
          entry.path().c_str());
      return true;
    }
  }
  return false;
}

// `body` for one listed entry, under its entry lock, with the pass's lines
// around it. An entry whose lock another process holds sets *skippedBusy.
template <typename Body>
void UnderEntryLock(const RegistryDir& registry, const std::string& name, bool listedAsLink,
                    const char* pass, bool* skippedBusy, Body body) {
  EntryDir entry(registry, name, pass);
  std::string prefix = std::string(pass) + "(): ";
  TraceMessage((prefix + "Found directory %S").c_str(), name.c_str());
  if (!entry.Open(listedAsLink)) return;
  int entry_handle = -1;
  int locked = entry.AcquireEntryLock(&entry_handle);
  if (locked != 0) {
    TraceMessage((prefix + "Failed to acquire lock on the daemon entry; result = %d; %S").c_str(),
                 locked, entry.PathOf(kEntryLockName).c_str());
    if (locked == kLockBusy && skippedBusy != nullptr) *skippedBusy = true;
    return;
  }
  LockIn entry_lock(entry.fd(), kEntryLockName, entry.PathOf(kEntryLockName));
  *entry_lock.handle() = entry_handle;
  body(entry);
  int released = entry_lock.Release();
  if (released != 0) {
    TraceMessage(
        ("WARNING: " + prefix + "Error releasing daemon entry lock; @ %S; result = %d").c_str(),
        entry_lock.path().c_str(), released);
  }
}

// The entry's alivelock was taken, so its daemon has died: the pass says
// what it does about it, and lets the lock go.
void LetStaleEntryGo(LockIn& aliveLock, const EntryDir& entry, const char* pass, const char* what) {
  std::string stale = std::string(pass) + "(): Daemon registry entry %S seems to be stale; " + what;
  TraceMessage(stale.c_str(), entry.path().c_str());
  int released = aliveLock.Release();
  if (released != 0) {
    std::string failed =
        std::string("ERROR: ") + pass + "(): Failed to release alive lock @ %S; result = %d";
    TraceMessage(failed.c_str(), aliveLock.path().c_str(), released);
  }
}

// Deletes the entry when its alivelock can be taken (its daemon has died).
void PurgeStaleEntry(const RegistryDir& registry, const EntryDir& entry) {
  LockIn alive_lock(entry.fd(), kAliveLockName, entry.PathOf(kAliveLockName));
  if (alive_lock.Acquire() != 0) return;
  LetStaleEntryGo(alive_lock, entry, "PurgeStaleDaemonEntries", "purging it");
  if (HoldsForeignFile(entry)) return;
  int trashed =
      TrashDirectoryAt(registry.fd(), entry.name().c_str(), entry.path(), registry.device());
  if (trashed == 0) {
    TraceMessage("PurgeStaleDaemonEntries(): Successfully purged daemon entry @ %S",
                 entry.path().c_str());
  } else {
    TraceMessage("WARNING: PurgeStaleDaemonEntries(): Failed to trash directory %S; result = %d",
                 entry.path().c_str(), trashed);
  }
}

// A live entry's files, read under its entry lock; false when one is past
// its size limit or another user's, and the entry cannot be used.
bool ReadLiveEntry(const EntryDir& entry, DaemonRegistryEntryInfo& record) {
  std::string sandboxes = entry.PathOf(kSandboxesName);
  int read_sandboxes = ReadSandboxesFileAt(entry.fd(), kSandboxesName, sandboxes, record.sandboxes,
                                           &record.roots_dropped);
  if (read_sandboxes != 0) {
    TraceMessage("WARNING: ListDaemons(): Error reading sandbox file @ %S; result = %d",
                 sandboxes.c_str(), read_sandboxes);
  }
  std::string properties = entry.PathOf(kPropertiesName);
  int read_properties =
      ReadPropertiesFileAt(entry.fd(), kPropertiesName, properties, record.properties);
  if (read_properties != 0) {
    TraceMessage("WARNING: ListDaemons(): Error reading properties file @ %S; result = %d",
                 properties.c_str(), read_properties);
  }
  auto unusable = [](int read) { return read == kEntryFileTooLarge || read == kEntryFileForeign; };
  if (!unusable(read_sandboxes) && !unusable(read_properties)) return true;
  TraceMessage("WARNING: ListDaemons(): Entry %S cannot be read; skipping it",
               entry.path().c_str());
  return false;
}

// Reads an entry, its lock held; appends it to `entries` when live.
void ScanLockedEntry(const EntryDir& entry, DaemonRegistryList& entries) {
  DaemonRegistryEntryInfo record;
  record.entry = entry.name();
  std::string location = entry.PathOf(kLocationName);
  int read = ReadLocationFileAt(entry.fd(), kLocationName, location, record.port, record.key);
  if (read != 0) {
    TraceMessage(
        "WARNING: ListDaemons(): Error while reading location file of daemon @ %S; result = %d",
        location.c_str(), read);
    return;
  }
  LockIn alive_lock(entry.fd(), kAliveLockName, entry.PathOf(kAliveLockName));
  int alive = alive_lock.Acquire();
  if (alive == kLockDirGone) {
    // Deleted under us by its daemon: nothing left to use.
    TraceMessage("WARNING: ListDaemons(): Entry %S has gone; ignoring it", entry.path().c_str());
  } else if (alive == 0) {
    LetStaleEntryGo(alive_lock, entry, "ListDaemons", "ignoring it");
  } else if (ReadLiveEntry(entry, record)) {
    entries.push_back(std::move(record));
  }
}

// One pass: `visit` for each listed entry, under the registry lock. The
// pass's result: 0 or a kPass code.
template <typename Visit>
int UnderRegistryLock(const RegistryDir& registry, Backoff& wait, const char* pass, Visit visit) {
  LockIn registry_lock(registry.fd(), kRegistryLockName, registry.Join(kRegistryLockName));
  if (AcquireRegistryLock(registry_lock, wait, pass) != 0) {
    TraceMessage(
        (std::string("ERROR: ") + pass + "(): Failed to acquire registry dir lock; %S").c_str(),
        registry_lock.path().c_str());
    return kPassNotPossible;
  }
  int result = 0;
  std::vector<std::string> names;
  std::vector<bool> links;
  if (ListFileSystemEntriesAt(registry.fd(), registry.path(), names, true, &links,
                              &registry.listing()) != 0) {
    TraceMessage(
        (std::string("ERROR: ") + pass + "(): Error while retrieving directory contents for %S")
            .c_str(),
        registry.path().c_str());
    result = kPassListingFailed;
  } else {
    visit(names, links);
  }
  int released = registry_lock.Release();
  if (released != 0) {
    TraceMessage((std::string("WARNING: ") + pass +
                  "(): Error releasing daemon registry lock; @ %S; result = %d")
                     .c_str(),
                 registry_lock.path().c_str(), released);
    if (result == 0) result = kPassReleaseFailed;
  }
  return result;
}

// A "Key: " text of 32 hexadecimal digits names the key bytes, in either
// case; any other text is the daemon's own, and the port alone tells.
bool IsNewDaemonsEntry(const DaemonRegistryEntryInfo& record, const DaemonLocation& location) {
  if (record.port != location.port) return false;
  const std::string& key = location.key;
  bool hex = key.size() == kKeyBytes * 2 &&
             key.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
  if (!hex) return true;
  return std::equal(key.begin(), key.end(), record.key.begin(), record.key.end(),
                    [](char a, char b) { return std::toupper(a) == std::toupper(b); });
}

// The scan pass: every live entry, read under the registry lock; with
// `wanted`, it stops at the entry of that daemon.
int ScanPass(const RegistryDir& registry, DaemonRegistryList& entries, Backoff& wait,
             bool* skippedBusy, const DaemonLocation* wanted = nullptr) {
  return UnderRegistryLock(
      registry, wait, "ListDaemons",
      [&](const std::vector<std::string>& names, const std::vector<bool>& links) {
        TraceMessage("ListDaemons(): Found %d daemon entries", static_cast<int>(names.size()));
        TraceMessage("----------------------------READ ENTRIES---------------------------------");
        for (size_t i = 0; i < names.size(); ++i) {
          UnderEntryLock(registry, names[i], links[i], "ListDaemons", skippedBusy,
                         [&](const EntryDir& entry) { ScanLockedEntry(entry, entries); });
          if (wanted != nullptr && !entries.empty() && IsNewDaemonsEntry(entries.back(), *wanted)) {
            break;
          }
        }
      });
}

}  // namespace

int PurgeStaleDaemonEntries(const RegistryDir& registry, Backoff& wait) {
  TraceMessage("----------------------------PURGE DAEMONS---------------------------------");
  if (!registry.IsOpen()) return kPassNotPossible;
  return UnderRegistryLock(
      registry, wait, "PurgeStaleDaemonEntries",
      [&](const std::vector<std::string>& names, const std::vector<bool>& links) {
        for (size_t i = 0; i < names.size(); ++i) {
          UnderEntryLock(registry, names[i], links[i], "PurgeStaleDaemonEntries", nullptr,
                         [&](const EntryDir& entry) { PurgeStaleEntry(registry, entry); });
        }
      });
}

int PurgeStaleDaemonEntries(const std::string& registryPath) {
  RegistryDir registry;
  (void)registry.Open(registryPath);
  Backoff wait(kRegistryLockWaitUs);
  return PurgeStaleDaemonEntries(registry, wait);
}

int ListDaemons(const RegistryDir& registry, const std::string& workingDirPath,
                DaemonRegistryList& entries, Backoff& wait, bool* skippedBusy, bool purge) {
  TraceMessage("----------------------------LIST DAEMONS---------------------------------");
  (void)workingDirPath;  // looked up by its text alone: it need not exist
  if (!registry.IsOpen()) return kPassNotPossible;
  DestroyDaemonRegistryList(entries);
  int purged = purge ? PurgeStaleDaemonEntries(registry, wait) : 0;
  if (purged != 0) {
    TraceMessage("WARNING: ListDaemons(): Could not purge stale daemon entries; result = %d",
                 purged);
  }
  return ScanPass(registry, entries, wait, skippedBusy);
}

int ListDaemons(const std::string& registryPath, const std::string& workingDirPath,
                DaemonRegistryList& entries) {
  RegistryDir registry;
  (void)registry.Open(registryPath);
  Backoff wait(kRegistryLockWaitUs);
  bool skipped_busy = false;
  return ListDaemons(registry, workingDirPath, entries, wait, &skipped_busy);
}

namespace {

// True when the started daemon has failed: ended with a non-zero status
// or by a signal. One that ended with 0 (a wrapper that forked the real
// daemon) is waited for.
bool DaemonFailed(pid_t pid, bool* ended) {
  if (pid <= 0 || *ended) return false;
  int status = 0;
  if (::waitpid(pid, &status, WNOHANG) != pid) return false;
  *ended = true;
  return !WIFEXITED(status) || WEXITSTATUS(status) != 0;
}

}  // namespace

int AwaitDaemonEntry(const RegistryDir& registry, const DaemonLocation& location, pid_t pid) {
  ListingScope listing(registry);
  // The first look is at once; then from half a millisecond up to 50 ms apart.
  Backoff poll(kNewEntryWaitUs, 500, 50000);
  Backoff lock_wait(kRegistryLockWaitUs);
  int waited = 0;
  bool ended = false;
  for (;;) {
    DaemonRegistryList entries;
    bool skipped_busy = false;
    bool found = false;
    if (registry.IsOpen() &&
        ScanPass(registry, entries, lock_wait, &skipped_busy, &location) == 0) {
      for (const DaemonRegistryEntryInfo& record : entries) {
        found = found || IsNewDaemonsEntry(record, location);
      }
    }
    if (found) {
      TraceMessage("AwaitDaemonEntry(): The new daemon's entry is listed after %d us", waited);
      return 0;
    }
    if (DaemonFailed(pid, &ended)) {
      TraceMessage("WARNING: AwaitDaemonEntry(): The new daemon has failed after %d us", waited);
      return kEntryNotListed;
    }
    int step = poll.Pause();
    if (step == 0) {
      TraceMessage("WARNING: AwaitDaemonEntry(): The new daemon's entry is not listed after %d us",
                   waited);
      return kEntryNotListed;
    }
    waited += step;
  }
}
