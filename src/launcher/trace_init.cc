#include "launcher/trace_init.h"

#include <cstring>
#include <string>

#include "platform/files.h"
#include "platform/paths.h"
#include "trace/trace.h"

namespace {

// "<base>/trace/quarn_c_" when base/trace exists or can be made a directory.
bool TraceFilePrefix(const std::string& base, std::string& prefix) {
  prefix = base;
  if (PathConcatenate(prefix, "trace") != 0) return false;
  if (!IsPathValid(prefix) && MkDirs(prefix) != 0) return false;
  if (!IsPathDirectory(prefix)) return false;
  return PathConcatenate(prefix, "quarn_c_") == 0;
}

}  // namespace

void TraceInit(const char* configDir) {
  std::string prefix;
  bool usable = configDir != nullptr && TraceFilePrefix(configDir, prefix);
  if (!usable) {
    std::string temp_dir;
    if (GetTempDirectory(temp_dir) != 0 || !TraceFilePrefix(temp_dir, prefix)) return;
  }
  // The file's name matters only to a run that traces; the clock's time zone
  // costs a file read at every start.
  if (!TraceEnabled()) return;
  std::string timestamp;
  FormatTraceTimestamp(timestamp);
  std::string path = prefix + timestamp + ".txt";
  // A path that does not fit is not truncated: a cut path could name
  // another file.
  if (path.size() + 1 > kTraceFilePathSize || path.find('\0') != std::string::npos) return;
  std::memcpy(TraceFilePath, path.c_str(), path.size() + 1);
}
