// The start lock: one front end at a time starts a daemon, and the others,
// once they get the lock, find that daemon instead of starting their own.
// A plain file in the registry directory, which no scan takes for an entry.
#include "platform/backoff.h"
#include "platform/files.h"
#include "platform/locks.h"
#include "registry/layout.h"
#include "registry/registry.h"
#include "trace/trace.h"

int AcquireStartLock(RegistryDir& registry, int* handle) {
  if (!registry.IsOpen()) {
    // The first run of all: the registry is made here, as the lock's parent.
    (void)MkDirs(registry.path());
    int opened = registry.Open(registry.path());
    if (opened == kRegistryUntrusted) return kRegistryUntrusted;
    if (opened != 0) return kLockParentNotMade;
  }
  std::string path = registry.Join(kStartLockName);
  // A start takes a few milliseconds; a holder that dies frees the lock.
  Backoff wait(kStartLockWaitUs);
  for (;;) {
    int result = AcquireFileLockAt(registry.fd(), kStartLockName, path, handle);
    if (result != kLockBusy) return result;
    int waited = wait.Pause();
    if (waited == 0) return result;
    TraceMessage("AcquireStartLock(): Waited %d us for lock %S", waited, path.c_str());
  }
}

int ReleaseStartLock(const RegistryDir& registry, int* handle) {
  return ReleaseFileLockAt(registry.fd(), kStartLockName, registry.Join(kStartLockName), handle);
}
