// Readers of a registry entry's files.
#include "registry/entry_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <unordered_set>

#include "platform/charsets.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/sys.h"
#include "registry/layout.h"
#include "registry/registry.h"
#include "trace/trace.h"

int ReadLocationFile(const std::string& path, int32_t& port, std::string& key) {
  return ReadLocationFileAt(AT_FDCWD, path.c_str(), path, port, key);
}

int ReadLocationFileAt(int dirFd, const char* name, const std::string&, int32_t& port,
                       std::string& key) {
  TraceMessage("----------------------------READ LOCATION---------------------------------");
  if (*name == '\0') return kEntryFileUnreadable;
  // O_NONBLOCK: a file swapped for a FIFO must not hang the lookup; a link
  // is never followed out of the registry.
  UniqueFd fd(::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
  struct stat info;
  if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode))
    return kEntryFileUnreadable;
  // Another user's file names another user's daemon: never ours to use.
  if (info.st_uid != ::geteuid()) return kEntryFileForeign;
  // One read of the record; whatever follows it is never read.
  unsigned char record[kLocationRecordSize];
  ssize_t got;
  do {
    got = Sys().read(fd.Get(), record, sizeof(record));
  } while (got < 0 && errno == EINTR);
  int result = 0;
  if (got < static_cast<ssize_t>(sizeof(record))) {
    result = kLocationFileShort;
  } else {
    DecodeLocationRecord(record, port, key);
    TraceMessage("ReadLocationFile(): Port = %d", port);
    TraceMessage("ReadLocationFile(): Key = %s", key.c_str());
  }
  if (CloseFd(fd.Release()) != 0 && result == 0) result = kLocationCloseFailed;
  return result;
}

namespace {

// An entry file's text: 0; kNotRegularFile missing or not a regular file;
// kEntryFileForeign; or ReadSmallFileAt's failure, for the caller's line.
int ReadEntryFile(int dirFd, const char* name, const std::string& path, std::string& text) {
  if (*name == '\0') return kNotRegularFile;
  struct stat info;
  int result = ReadSmallFileAt(dirFd, name, path, text, &info);
  if (result == 0 && info.st_uid != ::geteuid()) {
    TraceMessage("WARNING: ReadEntryFile(): File %S belongs to another user (uid %d)", path.c_str(),
                 static_cast<int>(info.st_uid));
    return kEntryFileForeign;
  }
  return result;
}

// The readers' code for ReadSmallFileAt's failure.
int ReadFailure(int result) {
  return result == kFileTooLarge ? kEntryFileTooLarge : kEntryFileUnreadable;
}

}  // namespace

int ReadSandboxesFile(const std::string& path, std::vector<std::string>& sandboxes) {
  return ReadSandboxesFileAt(AT_FDCWD, path.c_str(), path, sandboxes) == 0 ? 0 : -1;
}

int ReadSandboxesFileAt(int dirFd, const char* name, const std::string& path,
                        std::vector<std::string>& sandboxes, bool* rootsDropped) {
  sandboxes.clear();
  if (rootsDropped != nullptr) *rootsDropped = false;
  TraceMessage("----------------------------READ SANDBOXES---------------------------------");
  std::string text;
  int result = ReadEntryFile(dirFd, name, path, text);
  if (result == kNotRegularFile) return kEntryFileUnreadable;
  if (result == kEntryFileForeign) return result;
  if (result != 0) {
    TraceMessage("ERROR: ReadSandboxesFile(): Error reading sandbox file data; result = %d",
                 result);
    return ReadFailure(result);
  }
  // Only distinct roots that some working directory could lie in are kept,
  // so memory and time follow what the daemon can serve, not the file's
  // size. Keeping the first of duplicates keeps the order that decides.
  std::vector<std::string_view> roots;
  std::unordered_set<std::string_view> seen;
  int lines = 0, too_long = 0, too_many = 0;
  ForEachLine(text, [&](std::string_view line) {
    ++lines;
    if (line.size() > kMaxSandboxRootBytes) {
      ++too_long;
      TraceMessage(
          "WARNING: ReadSandboxesFile(): Dropping a root of %d bytes; no directory can lie in it",
          static_cast<int>(line.size()));
      return;
    }
    // Past the bound every line is dropped, a duplicate or not; runs of
    // one line (empty ones, mostly) cost no lookup.
    if (roots.size() >= kMaxSandboxRoots) {
      ++too_many;
      return;
    }
    if ((!roots.empty() && roots.back() == line) || seen.count(line) != 0) return;
    seen.insert(line);
    roots.push_back(line);
  });
  TraceMessage("ReadSandboxesFile(): # of lines = %d", lines);
  if (rootsDropped != nullptr) *rootsDropped = too_long > 0 || too_many > 0;
  if (too_many > 0) {
    TraceMessage("WARNING: ReadSandboxesFile(): Dropping the %d lines after the first %d roots",
                 too_many, static_cast<int>(kMaxSandboxRoots));
  }
  Utf8Decoder decoder;
  for (std::string_view root : roots) {
    std::string line(root);
    std::string converted;
    // ASCII reads the same in every locale's character set: most roots
    // need no converter. A line that does not convert whole is used as
    // read: a truncated root would be a shorter prefix and match
    // directories it should not.
    if (IsAscii(root)) {
      converted.assign(line.c_str());
    } else if (decoder.Convert(line.c_str(), converted) != 0) {
      converted = line;
    } else {
      converted.resize(TextView(converted).size());
    }
    TrimSpaces(converted, true, true);
    TraceMessage("ReadSandboxesFile(): read sandbox %S %S", line.c_str(), converted.c_str());
    sandboxes.push_back(std::move(converted));
  }
  TraceMessage("ReadSandboxesFile(): # of sandboxes found = %d",
               static_cast<int>(sandboxes.size()));
  return 0;
}

int ReadPropertiesFile(const std::string& path, std::map<std::string, std::string>& properties) {
  return ReadPropertiesFileAt(AT_FDCWD, path.c_str(), path, properties) == 0 ? 0 : -1;
}

int ReadPropertiesFileAt(int dirFd, const char* name, const std::string& path,
                         std::map<std::string, std::string>& properties) {
  properties.clear();
  TraceMessage("----------------------------READ PROPERTIES---------------------------------");
  std::string text;
  int result = ReadEntryFile(dirFd, name, path, text);
  if (result == kNotRegularFile) return kEntryFileUnreadable;
  if (result == kEntryFileForeign) return result;
  if (result != 0) {
    TraceMessage("ERROR: ReadPropertiesFile(): Error reading properties file %S; result = %d",
                 path.c_str(), result);
    return ReadFailure(result);
  }
  ForEachLine(text, [&](std::string_view line) {
    if (line.empty()) return;
    size_t split = line.find_first_of(": ");
    if (split == std::string_view::npos || split == 0) return;
    std::string_view value = split + 2 <= line.size() ? line.substr(split + 2) : std::string_view();
    properties[std::string(line.substr(0, split))] = std::string(value);
  });
  return 0;
}

void DestroyDaemonRegistryList(DaemonRegistryList& list) { list.clear(); }
