// The registry's layout on disk, which every daemon that registers itself
// and every front end share: the names of its directory and files, and the
// location record.
#ifndef QUARN_REGISTRY_LAYOUT_H_
#define QUARN_REGISTRY_LAYOUT_H_

#include <cstddef>
#include <cstdint>
#include <string>

/// The registry directory, in the configuration directory.
constexpr char kRegistryDirName[] = "daemons";
/// In the registry directory: the registry lock, and quarn's own start lock
/// (plain files, never taken for entries; each sub-directory is an entry).
constexpr char kRegistryLockName[] = "lock";
constexpr char kStartLockName[] = "start.lock";
/// In an entry directory.
constexpr char kEntryLockName[] = "lock";
constexpr char kAliveLockName[] = "alivelock";
constexpr char kLocationName[] = "location";
constexpr char kSandboxesName[] = "sandboxes";
constexpr char kPropertiesName[] = "daemon.properties";

/// The location record: the port as 4 bytes, most significant first, then
/// the 16 key bytes.
constexpr size_t kLocationRecordSize = 20;
constexpr size_t kKeyBytes = 16;

/// The 16 key bytes as 32 upper-case hexadecimal digits.
void GenerateKeyString(const unsigned char* bytes, std::string& key);
std::string EncodeLocationRecord(int32_t port, const unsigned char* keyBytes);
/// Port and key text from a whole record (kLocationRecordSize bytes).
void DecodeLocationRecord(const unsigned char* record, int32_t& port, std::string& key);

#endif  // QUARN_REGISTRY_LAYOUT_H_
