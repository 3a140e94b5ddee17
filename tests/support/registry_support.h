// Registry entries on disk for tests, and a forked process that holds locks.
#ifndef QUARN_TESTS_SUPPORT_REGISTRY_SUPPORT_H_
#define QUARN_TESTS_SUPPORT_REGISTRY_SUPPORT_H_

#include <sys/types.h>

#include <string>
#include <vector>

/// Writes entry `name` under `registry`: a location record (port, key bytes
/// 0x00..0x0F), sandboxes (when not null) and a "name" property.
void MakeEntry(const std::string& registry, const std::string& name, int port,
               const char* sandboxes);

/// A child process holding lockf locks on files (created when missing, not
/// deleted) until Release() or destruction, or for `holdMs` when given.
class LockHolder {
 public:
  explicit LockHolder(const std::vector<std::string>& paths, int holdMs = -1);
  ~LockHolder();
  void Release();

 private:
  pid_t pid_ = -1;
  int release_[2] = {-1, -1};  // closed by the holder: the child lets go
};

#endif  // QUARN_TESTS_SUPPORT_REGISTRY_SUPPORT_H_
