// The daemon registry (its layout: registry/layout.h): one sub-directory per
// daemon holding its location (port and key), sandboxes and properties, and
// an entry lock and an alivelock. Lock order: registry lock, entry lock,
// alivelock; released in reverse; an entry lock is never waited for.
#ifndef QUARN_REGISTRY_REGISTRY_H_
#define QUARN_REGISTRY_REGISTRY_H_

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/location.h"
#include "registry/layout.h"
#include "registry/registry_dir.h"

class Backoff;

/// One live entry as read by the scan: where its daemon listens, the
/// sandbox roots it serves and its properties.
struct DaemonRegistryEntryInfo : DaemonLocation {
  std::vector<std::string> sandboxes;
  /// Roots were dropped as beyond use: even with no root left, the entry
  /// is not one that serves every directory.
  bool roots_dropped = false;
  std::map<std::string, std::string> properties;
};

/// The live entries of one scan, in listing order.
using DaemonRegistryList = std::vector<DaemonRegistryEntryInfo>;

// Waits for what other processes hold for a moment. Lookups by other front
// ends never wait: what they see of the lock files does not change.
/// One lookup's wait for the registry lock, both passes together.
constexpr long long kRegistryLockWaitUs = 1000000;
/// A lookup that found no daemon but skipped a busy entry looks again
/// within this much waiting.
constexpr long long kBusyEntryRetryUs = 200000;
/// The wait for the start lock, which ends early when its holder dies.
constexpr long long kStartLockWaitUs = 30000000;
/// The wait for a new daemon's entry to be listed.
constexpr long long kNewEntryWaitUs = 2000000;

/// The entry readers' codes besides 0 (and those in entry_files.h).
constexpr int kEntryFileUnreadable = -1;  // not a regular file, or it cannot be opened or read
constexpr int kLocationFileShort = -2;    // fewer bytes than a location record
constexpr int kLocationCloseFailed = -4;

/// The passes' codes besides 0.
constexpr int kPassNotPossible = -1;  // the registry is not open, or its lock stayed busy
constexpr int kPassListingFailed = -2;
constexpr int kPassReleaseFailed = -3;  // the registry lock could not be released

/// FindDaemon's codes besides 0 (chosen).
constexpr int kFindBadArguments = -1;  // the location is left unchanged
constexpr int kFindScanFailed = -2;
constexpr int kFindNoneQualified = -3;

/// AwaitDaemonEntry's code: not listed in time, or the new daemon failed.
constexpr int kEntryNotListed = -1;

/// Port (big-endian, bytes 0-3) and key text (bytes 4-19) of a location file.
[[nodiscard]] int ReadLocationFile(const std::string& path, int32_t& port, std::string& key);
/// One sandbox root per line, converted from UTF-8 and trimmed.
[[nodiscard]] int ReadSandboxesFile(const std::string& path, std::vector<std::string>& sandboxes);
/// "name: value" lines.
[[nodiscard]] int ReadPropertiesFile(const std::string& path,
                                     std::map<std::string, std::string>& properties);
/// Empties the list.
void DestroyDaemonRegistryList(DaemonRegistryList& list);

// The passes, by the registry's path: each opens and checks it first (a
// registry that is not the user's own is refused like a missing one).
/// Deletes every entry whose alivelock nobody holds. 0, or a kPass code.
[[nodiscard]] int PurgeStaleDaemonEntries(const std::string& registryPath);
/// Purges, then reads every live entry into `entries` (listing order).
/// 0, or a kPass code.
[[nodiscard]] int ListDaemons(const std::string& registryPath, const std::string& workingDirPath,
                              DaemonRegistryList& entries);
/// The first live entry with a sandbox root that prefixes the working
/// directory, else the last entry without sandboxes. The working directory
/// is matched by its text and need not exist. 0 chosen, or a kFind code.
/// When none qualified but an entry was busy, it looks again.
[[nodiscard]] int FindDaemon(const std::string& registryPath, const std::string& workingDirPath,
                             DaemonLocation* location);

// The same through a registry opened once for the whole run (a registry
// not open is a missing one), waiting for the registry lock within `wait`;
// an entry skipped because another process held its lock sets *skippedBusy.
[[nodiscard]] int PurgeStaleDaemonEntries(const RegistryDir& registry, Backoff& wait);
/// With `purge` false the scan pass runs alone: for a lookup right after
/// one that purged, where stale entries are only passed by.
[[nodiscard]] int ListDaemons(const RegistryDir& registry, const std::string& workingDirPath,
                              DaemonRegistryList& entries, Backoff& wait, bool* skippedBusy,
                              bool purge = true);
/// Entries named in `passOver` (daemons that refused this run) are not
/// chosen.
[[nodiscard]] int FindDaemon(const RegistryDir& registry, const std::string& workingDirPath,
                             DaemonLocation* location,
                             const std::set<std::string>* passOver = nullptr, bool purge = true);

/// Polls the registry until the new daemon's entry is listed: its port,
/// and its key when the daemon printed 32 hexadecimal digits (either case).
/// 0 listed; kEntryNotListed not within kNewEntryWaitUs, or the daemon
/// started as `pid` has failed (ended with a non-zero status or by a signal).
int AwaitDaemonEntry(const RegistryDir& registry, const DaemonLocation& location, pid_t pid);

/// The start lock, kStartLockName in the registry directory: one front end
/// at a time starts a daemon. A registry not open yet is made and opened
/// first. Waits while the lock is held, up to kStartLockWaitUs. Codes as
/// AcquireFileLock; kRegistryUntrusted when the registry just made is not
/// the user's own.
[[nodiscard]] int AcquireStartLock(RegistryDir& registry, int* handle);
[[nodiscard]] int ReleaseStartLock(const RegistryDir& registry, int* handle);

#endif  // QUARN_REGISTRY_REGISTRY_H_
