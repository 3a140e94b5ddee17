// The entry readers relative to an open entry directory: what the scan
// uses, so that each file costs a short relative walk.
#ifndef QUARN_REGISTRY_ENTRY_FILES_H_
#define QUARN_REGISTRY_ENTRY_FILES_H_

#include <map>
#include <string>
#include <vector>

#include "registry/registry.h"

/// The sandboxes and properties readers' code for a file past the text
/// file limit: the entry cannot be read (an empty list would make it serve
/// every directory).
constexpr int kEntryFileTooLarge = -2;
/// Every reader's code for a file that belongs to another user: another
/// user's daemon, never ours to use.
constexpr int kEntryFileForeign = -5;

/// Sandbox roots beyond use: a root longer than any working directory can
/// be, and roots past the first kMaxSandboxRoots distinct ones.
constexpr size_t kMaxSandboxRootBytes = 32768;
constexpr size_t kMaxSandboxRoots = 4096;

/// As ReadLocationFile, for `name` in the directory open on `dirFd`; `path`
/// is its full path.
int ReadLocationFileAt(int dirFd, const char* name, const std::string& path, int32_t& port,
                       std::string& key);
/// *rootsDropped, when given, tells whether roots beyond use were dropped.
int ReadSandboxesFileAt(int dirFd, const char* name, const std::string& path,
                        std::vector<std::string>& sandboxes, bool* rootsDropped = nullptr);
int ReadPropertiesFileAt(int dirFd, const char* name, const std::string& path,
                         std::map<std::string, std::string>& properties);

#endif  // QUARN_REGISTRY_ENTRY_FILES_H_
