// The purge and scan passes over the registry, each under the registry lock.
#include "platform/files.h"
#include "platform/paths.h"
#include "registry/registry.h"
#include "trace/trace.h"

namespace {

std::string Join(const std::string& base, const char* name) {
  std::string path = base;
  if (PathConcatenate(path, name) != 0) path = base + "/" + name;
  return path;
}

// An entry that is a symbolic link is no daemon's: its lock files would lie
// outside the registry, so it is never locked, read or descended into.
bool IsLinkedEntry(const std::string& entry, const char* pass) {
  if (!IsPathSymlink(entry)) return false;
  std::string line = std::string("WARNING: ") + pass + "(): Entry %S is a symbolic link";
  TraceMessage(line.c_str(), entry.c_str());
  return true;
}

}  // namespace

int PurgeStaleDaemonEntries(const std::string& registryPath) {
  TraceMessage("----------------------------PURGE DAEMONS---------------------------------");
  if (!IsPathDirectory(registryPath)) return -1;
  std::string registry_lock_path = Join(registryPath, "lock");
  int registry_lock = -1;
  if (AcquireFileLock(registry_lock_path, &registry_lock) != 0) {
    TraceMessage("ERROR: PurgeStaleDaemonEntries(): Failed to acquire registry dir lock; %S",
                 registry_lock_path.c_str());
    return -1;
  }
  int result = 0;
  std::vector<std::string> names;
  if (ListFileSystemEntries(registryPath, names, true) != 0) {
    TraceMessage("ERROR: PurgeStaleDaemonEntries(): Error while retrieving directory contents for %S",
                 registryPath.c_str());
    result = -2;
    names.clear();
  }
  for (const std::string& name : names) {
    std::string entry = Join(registryPath, name.c_str());
    TraceMessage("PurgeStaleDaemonEntries(): Found directory %S", name.c_str());
    if (IsLinkedEntry(entry, "PurgeStaleDaemonEntries")) {
      // Removing the link itself touches nothing outside the registry.
      int trashed = TrashDirectory(entry);
      if (trashed != 0) {
        TraceMessage("WARNING: PurgeStaleDaemonEntries(): Failed to trash directory %S; result = %d",
                     entry.c_str(), trashed);
      }
      continue;
    }
    std::string entry_lock_path = Join(entry, "lock");
    int entry_lock = -1;
    int locked = AcquireFileLock(entry_lock_path, &entry_lock);
    if (locked != 0) {
      TraceMessage(
          "PurgeStaleDaemonEntries(): Failed to acquire lock on the daemon entry; result = %d; %S",
          locked, entry_lock_path.c_str());
      continue;
    }
    std::string alive_path = Join(entry, "alivelock");
    int alive_lock = -1;
    if (AcquireFileLock(alive_path, &alive_lock) == 0) {
      TraceMessage("PurgeStaleDaemonEntries(): Daemon registry entry %S seems to be stale; purging it",
                   entry.c_str());
      int released = ReleaseFileLock(alive_path, &alive_lock);
      if (released != 0) {
        TraceMessage("ERROR: PurgeStaleDaemonEntries(): Failed to release alive lock @ %S; result = %d",
                     alive_path.c_str(), released);
      }
      int trashed = TrashDirectory(entry);
      if (trashed == 0) {
        TraceMessage("PurgeStaleDaemonEntries(): Successfully purged daemon entry @ %S",
                     entry.c_str());
      } else {
        TraceMessage("WARNING: PurgeStaleDaemonEntries(): Failed to trash directory %S; result = %d",
                     entry.c_str(), trashed);
      }
    }
    int released = ReleaseFileLock(entry_lock_path, &entry_lock);
    if (released != 0) {
      TraceMessage(
          "WARNING: PurgeStaleDaemonEntries(): Error releasing daemon entry lock; @ %S; result = %d",
          entry_lock_path.c_str(), released);
    }
  }
  int released = ReleaseFileLock(registry_lock_path, &registry_lock);
  if (released != 0) {
    TraceMessage(
        "WARNING: PurgeStaleDaemonEntries(): Error releasing daemon registry lock; @ %S; result = %d",
        registry_lock_path.c_str(), released);
    if (result == 0) result = -3;
  }
  return result;
}

namespace {

// Reads one entry under its entry lock; appends it when live.
void ScanEntry(const std::string& registryPath, const std::string& name,
               DaemonRegistryList& entries) {
  int32_t port = -1;
  std::string key;
  std::string entry = Join(registryPath, name.c_str());
  TraceMessage("ListDaemons(): Found directory %S", name.c_str());
  if (IsLinkedEntry(entry, "ListDaemons")) return;
  std::string entry_lock_path = Join(entry, "lock");
  int entry_lock = -1;
  int locked = AcquireFileLock(entry_lock_path, &entry_lock);
  if (locked != 0) {
    TraceMessage("ListDaemons(): Failed to acquire lock on the daemon entry; result = %d; %S", locked,
                 entry_lock_path.c_str());
    return;
  }
  std::string location_path = Join(entry, "location");
  int read = ReadLocationFile(location_path, port, key);
  if (read != 0) {
    TraceMessage("WARNING: ListDaemons(): Error while reading location file of daemon @ %S; result = %d",
                 location_path.c_str(), read);
  } else {
    std::string alive_path = Join(entry, "alivelock");
    int alive_lock = -1;
    if (AcquireFileLock(alive_path, &alive_lock) == 0) {
      TraceMessage("ListDaemons(): Daemon registry entry %S seems to be stale; ignoring it",
                   entry.c_str());
      int released = ReleaseFileLock(alive_path, &alive_lock);
      if (released != 0) {
        TraceMessage("ERROR: ListDaemons(): Failed to release alive lock @ %S; result = %d",
                     alive_path.c_str(), released);
      }
    } else {
      auto* record = new DaemonRegistryEntryInfo();
      record->port = port;
      record->key = key;
      std::string sandboxes_path = Join(entry, "sandboxes");
      int sandboxes = ReadSandboxesFile(sandboxes_path, record->sandboxes);
      if (sandboxes != 0) {
        TraceMessage("WARNING: ListDaemons(): Error reading sandbox file @ %S; result = %d",
                     sandboxes_path.c_str(), sandboxes);
      }
      std::string properties_path = Join(entry, "daemon.properties");
      int properties = ReadPropertiesFile(properties_path, record->properties);
      if (properties != 0) {
        TraceMessage("WARNING: ListDaemons(): Error reading properties file @ %S; result = %d",
                     properties_path.c_str(), properties);
      }
      entries.push_back(record);
    }
  }
  int released = ReleaseFileLock(entry_lock_path, &entry_lock);
  if (released != 0) {
    TraceMessage("WARNING: ListDaemons(): Error releasing daemon entry lock; @ %S; result = %d",
                 entry_lock_path.c_str(), released);
  }
}

}  // namespace

int ListDaemons(const std::string& registryPath, const std::string& workingDirPath,
                DaemonRegistryList& entries) {
  TraceMessage("----------------------------LIST DAEMONS---------------------------------");
  if (!IsPathDirectory(registryPath) || !IsPathDirectory(workingDirPath)) return -1;
  DestroyDaemonRegistryList(entries);
  int purged = PurgeStaleDaemonEntries(registryPath);
  if (purged != 0) {
    TraceMessage("WARNING: ListDaemons(): Could not purge stale daemon entries; result = %d", purged);
  }
  std::string registry_lock_path = Join(registryPath, "lock");
  int registry_lock = -1;
  if (AcquireFileLock(registry_lock_path, &registry_lock) != 0) {
    TraceMessage("ERROR: ListDaemons(): Failed to acquire registry dir lock; %S",
                 registry_lock_path.c_str());
    return -1;
  }
  int result = 0;
  std::vector<std::string> names;
  if (ListFileSystemEntries(registryPath, names, true) != 0) {
    TraceMessage("ERROR: ListDaemons(): Error while retrieving directory contents for %S",
                 registryPath.c_str());
    result = -2;
  } else {
    TraceMessage("ListDaemons(): Found %d daemon entries", static_cast<int>(names.size()));
    TraceMessage("----------------------------READ ENTRIES---------------------------------");
    for (const std::string& name : names) ScanEntry(registryPath, name, entries);
  }
  int released = ReleaseFileLock(registry_lock_path, &registry_lock);
  if (released != 0) {
    TraceMessage("WARNING: ListDaemons(): Error releasing daemon registry lock; @ %S; result = %d",
                 registry_lock_path.c_str(), released);
    if (result == 0) result = -3;
  }
  return result;
}
