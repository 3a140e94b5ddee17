// Readers of a registry entry's files.
#include "registry/entry_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/charsets.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/sys.h"
#include "registry/layout.h"
#include "registry/registry.h"
#include "trace/trace.h"

void GenerateKeyString(const unsigned char* bytes, std::string& key) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text(kKeyBytes * 2, '0');
  for (size_t i = 0; i < kKeyBytes; ++i) {
    text[2 * i] = digits[bytes[i] >> 4];
    text[2 * i + 1] = digits[bytes[i] & 0x0F];
  }
  key = std::move(text);
}

int ReadLocationFile(const std::string& path, int32_t& port, std::string& key) {
  return ReadLocationFileAt(AT_FDCWD, path.c_str(), path, port, key);
}

int ReadLocationFileAt(int dirFd, const char* name, const std::string&, int32_t& port,
                       std::string& key) {
  TraceMessage("----------------------------READ LOCATION---------------------------------");
  if (*name == '\0') return -1;
  // O_NONBLOCK: a file swapped for a FIFO must not hang the lookup; a link
  // is never followed out of the registry.
  UniqueFd fd(::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
  struct stat info;
  if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  // One read of the record; whatever follows it is never read.
  unsigned char record[kLocationRecordSize];
  ssize_t got;
  do {
    got = Sys().read(fd.Get(), record, sizeof(record));
  } while (got < 0 && errno == EINTR);
  int result = 0;
  if (got < static_cast<ssize_t>(sizeof(record))) {
    result = -2;
  } else {
    DecodeLocationRecord(record, port, key);
    TraceMessage("ReadLocationFile(): Port = %d", port);
    TraceMessage("ReadLocationFile(): Key = %s", key.c_str());
  }
  if (CloseFd(fd.Release()) != 0 && result == 0) result = -4;
  return result;
}

int ReadSandboxesFile(const std::string& path, std::vector<std::string>& sandboxes) {
  return ReadSandboxesFileAt(AT_FDCWD, path.c_str(), path, sandboxes) == 0 ? 0 : -1;
}

int ReadSandboxesFileAt(int dirFd, const char* name, const std::string& path,
                        std::vector<std::string>& sandboxes) {
  sandboxes.clear();
  TraceMessage("----------------------------READ SANDBOXES---------------------------------");
  if (*name == '\0') return -1;
  std::vector<std::string> lines;
  int result = ReadAsciiFileAsLinesAt(dirFd, name, path, lines, true);
  if (result == kNotRegularFile) return -1;
  if (result != 0) {
    TraceMessage("ERROR: ReadSandboxesFile(): Error reading sandbox file data; result = %d",
                 result);
    return result == kFileTooLarge ? kEntryFileTooLarge : -1;
  }
  TraceMessage("ReadSandboxesFile(): # of lines = %d", static_cast<int>(lines.size()));
  for (const std::string& line : lines) {
    std::string converted;
    // A line that does not convert whole is used as read: a truncated root
    // would be a shorter prefix and match directories it should not.
    if (ConvertUtf8ToString(line.c_str(), converted) != 0) {
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
  if (*name == '\0') return -1;
  std::vector<std::string> lines;
  int result = ReadAsciiFileAsLinesAt(dirFd, name, path, lines, true);
  if (result == kNotRegularFile) return -1;
  if (result != 0) {
    TraceMessage("ERROR: ReadPropertiesFile(): Error reading properties file %S; result = %d",
                 path.c_str(), result);
    return result == kFileTooLarge ? kEntryFileTooLarge : -1;
  }
  for (const std::string& line : lines) {
    if (line.empty()) continue;
    size_t split = line.find_first_of(": ");
    if (split == std::string::npos || split == 0) continue;
    std::string value = split + 2 <= line.size() ? line.substr(split + 2) : std::string();
    properties[line.substr(0, split)] = std::move(value);
  }
  return 0;
}

void DestroyDaemonRegistryList(DaemonRegistryList& list) { list.clear(); }
