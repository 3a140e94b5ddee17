// Choosing a daemon for the working directory.
#include "platform/paths.h"
#include "platform/strings.h"
#include "registry/registry.h"
#include "trace/trace.h"

int FindDaemon(const std::string& registryPath, const std::string& workingDirPath,
               DaemonLocation* location) {
  TraceMessage("------------------------FIND DAEMON--------------------------");
  if (location == nullptr || !IsPathDirectory(registryPath) || !IsPathDirectory(workingDirPath)) {
    return -1;
  }
  TraceMessage("FindDaemon(): Daemon Registry Path = %S", registryPath.c_str());
  location->key.clear();
  location->port = -1;

  DaemonRegistryList entries;
  int listed = ListDaemons(registryPath, workingDirPath, entries);
  if (listed != 0) {
    TraceMessage("ERROR: FindDaemon(): Error while listing daemons; result = %d", listed);
    DestroyDaemonRegistryList(entries);
    return -2;
  }
  TraceMessage("List daemon returns; # = %d", static_cast<int>(entries.size()));
  TraceMessage("---------------------SEARCH DAEMON ENTRIES-----------------------");

  const DaemonRegistryEntryInfo* uncommitted = nullptr;
  for (const DaemonRegistryEntryInfo* record : entries) {
    if (record == nullptr) continue;
    if (record->sandboxes.empty()) {
      uncommitted = record;
      continue;
    }
    for (const std::string& sandbox : record->sandboxes) {
      TraceMessage("FindDaemon(): CWD = %S; Sandbox = %S", workingDirPath.c_str(), sandbox.c_str());
      if (StringStartsWith(workingDirPath, sandbox)) {
        location->key = record->key;
        location->port = record->port;
        TraceMessage(
            "FindDaemon(): Found a daemon to hook onto; sandbox = %S, key = %s, port = %d",
            sandbox.c_str(), location->key.c_str(), location->port);
        DestroyDaemonRegistryList(entries);
        return 0;
      }
    }
  }
  int result;
  if (uncommitted != nullptr) {
    location->key = uncommitted->key;
    location->port = uncommitted->port;
    TraceMessage("FindDaemon(): Found an uncommitted entry; key = %s, port = %d",
                 location->key.c_str(), location->port);
    result = 0;
  } else {
    location->key.clear();
    location->port = -1;
    TraceMessage("FindDaemon(): No daemon found");
    result = -3;
  }
  DestroyDaemonRegistryList(entries);
  return result;
}
