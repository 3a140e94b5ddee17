// The start lock: one front end at a time starts a daemon, and the others,
// once they get the lock, find that daemon instead of starting their own.
// A plain file in the registry directory, which no scan takes for an entry.
#include "platform/backoff.h"
#include "platform/files.h"
#include "platform/locks.h"
#include "platform/paths.h"
#include "registry/layout.h"
#include "registry/registry.h"
#include "trace/trace.h"

namespace {

std::string StartLockPath(const std::string& registryPath) {
  std::string path = registryPath;
  if (PathConcatenate(path, kStartLockName) != 0) path = registryPath + "/" + kStartLockName;
  return path;
}

}  // namespace

int AcquireStartLock(const std::string& registryPath, int* handle) {
  std::string path = StartLockPath(registryPath);
  // A start takes a few milliseconds; a holder that dies frees the lock.
  Backoff wait(kStartLockWaitUs);
  for (;;) {
    int result = AcquireFileLock(path, handle);
    if (result != kLockBusy) return result;
    int waited = wait.Pause();
    if (waited == 0) return result;
    TraceMessage("AcquireStartLock(): Waited %d us for lock %S", waited, path.c_str());
  }
}

int ReleaseStartLock(const std::string& registryPath, int* handle) {
  return ReleaseFileLock(StartLockPath(registryPath), handle);
}
