// Choosing a daemon for the working directory.
#include "platform/backoff.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "registry/registry.h"
#include "trace/trace.h"

namespace {

// Chooses among the listed entries; 0 with `location` set, else -3.
int ChooseDaemon(const DaemonRegistryList& entries, const std::string& workingDirPath,
                 DaemonLocation* location, const std::set<std::string>* passOver) {
  TraceMessage("List daemon returns; # = %d", static_cast<int>(entries.size()));
  TraceMessage("---------------------SEARCH DAEMON ENTRIES-----------------------");
  const DaemonRegistryEntryInfo* uncommitted = nullptr;
  for (const DaemonRegistryEntryInfo& record : entries) {
    if (passOver != nullptr && passOver->count(record.entry) != 0) {
      TraceMessage("FindDaemon(): Passing over entry %S, whose daemon refused this run",
                   record.entry.c_str());
      continue;
    }
    if (record.sandboxes.empty()) {
      if (!record.roots_dropped) uncommitted = &record;
      continue;
    }
    for (const std::string& sandbox : record.sandboxes) {
      TraceMessage("FindDaemon(): CWD = %S; Sandbox = %S", workingDirPath.c_str(), sandbox.c_str());
      if (StringStartsWith(workingDirPath, sandbox)) {
        *location = static_cast<const DaemonLocation&>(record);
        TraceMessage("FindDaemon(): Found a daemon to hook onto; sandbox = %S, key = %s, port = %d",
                     sandbox.c_str(), location->key.c_str(), location->port);
        return 0;
      }
    }
  }
  if (uncommitted != nullptr) {
    *location = static_cast<const DaemonLocation&>(*uncommitted);
    TraceMessage("FindDaemon(): Found an uncommitted entry; key = %s, port = %d",
                 location->key.c_str(), location->port);
    return 0;
  }
  *location = DaemonLocation();
  TraceMessage("FindDaemon(): No daemon found");
  return kFindNoneQualified;
}

}  // namespace

int FindDaemon(const RegistryDir& registry, const std::string& workingDirPath,
               DaemonLocation* location, const std::set<std::string>* passOver, bool purge) {
  TraceMessage("------------------------FIND DAEMON--------------------------");
  if (location == nullptr || !registry.IsOpen()) return kFindBadArguments;
  TraceMessage("FindDaemon(): Daemon Registry Path = %S", registry.path().c_str());
  // A daemon serves the command by the directory's text, and tells the
  // user itself that it is missing; starting one per run would not help.
  // The question is asked only for the trace.
  if (TraceEnabled() && !IsPathDirectory(workingDirPath)) {
    TraceMessage("WARNING: FindDaemon(): Working directory %S does not exist",
                 workingDirPath.c_str());
  }
  *location = DaemonLocation();

  ListingScope listing(registry);
  Backoff lock_wait(kRegistryLockWaitUs);
  // The only live entry may be busy for a moment (another lookup reads it,
  // its daemon rewrites it): without looking again we would start a daemon.
  Backoff busy_wait(kBusyEntryRetryUs);
  for (;;) {
    DaemonRegistryList entries;
    bool skipped_busy = false;
    int listed = ListDaemons(registry, workingDirPath, entries, lock_wait, &skipped_busy, purge);
    if (listed != 0) {
      TraceMessage("ERROR: FindDaemon(): Error while listing daemons; result = %d", listed);
      return kFindScanFailed;
    }
    int chosen = ChooseDaemon(entries, workingDirPath, location, passOver);
    if (chosen == 0 || !skipped_busy) return chosen;
    int waited = busy_wait.Pause();
    if (waited == 0) return chosen;
    TraceMessage("FindDaemon(): An entry was busy; looking again after %d us", waited);
  }
}

int FindDaemon(const std::string& registryPath, const std::string& workingDirPath,
               DaemonLocation* location) {
  RegistryDir registry;
  (void)registry.Open(registryPath);
  return FindDaemon(registry, workingDirPath, location);
}
