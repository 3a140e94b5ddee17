// The registry directory as one run uses it: opened once, checked to be the
// user's own, and reached only through that descriptor from then on, so
// that whatever is renamed or linked in its place later is never used.
#ifndef QUARN_REGISTRY_REGISTRY_DIR_H_
#define QUARN_REGISTRY_REGISTRY_DIR_H_

#include <sys/types.h>

#include <string>

#include "platform/files.h"
#include "platform/sys.h"

/// RegistryDir::Open's codes besides 0.
constexpr int kRegistryMissing = 1;  // not there yet: a new daemon makes it
constexpr int kRegistryNotADirectory = -1;
constexpr int kRegistryUntrusted = -2;  // another user's, or others may write to it

class RegistryDir {
 public:
  /// Opens `path` (links on the way are the user's choice and followed) and
  /// checks it: owned by the effective user, not writable by others (group
  /// write is accepted: every entry is checked on its own). 0; or a code
  /// above, with why() telling the user which check failed.
  [[nodiscard]] int Open(const std::string& path);

  bool IsOpen() const { return fd_.Valid(); }
  int fd() const { return fd_.Get(); }
  const std::string& path() const { return path_; }
  dev_t device() const { return device_; }
  const std::string& why() const { return why_; }
  /// `name` in the registry, joined literally: a name is never read as a
  /// quoted path.
  std::string Join(const std::string& name) const;
  /// The registry's listing stream, kept across the passes of one lookup
  /// (see ListingScope).
  DirectoryListing& listing() const { return listing_; }

 private:
  UniqueFd fd_;
  mutable DirectoryListing listing_;
  std::string path_, why_;
  dev_t device_ = 0;
};

/// The registry's listing stream serves one lookup's passes (or one wait's)
/// and goes with this scope: its buffer is not kept through the
/// conversation.
class ListingScope {
 public:
  explicit ListingScope(const RegistryDir& registry) : registry_(registry) {}
  ~ListingScope() { registry_.listing().Reset(); }
  ListingScope(const ListingScope&) = delete;
  ListingScope& operator=(const ListingScope&) = delete;

 private:
  const RegistryDir& registry_;
};

#endif  // QUARN_REGISTRY_REGISTRY_DIR_H_
