#include <cstring>

#include "launcher/launcher.h"
#include "platform/paths.h"
#include "trace/trace.h"

void GetCurrentWorkingDirPath(int argc, char** argv, std::string& cwd) {
  int match = -1;
  for (int i = 0; i < argc; ++i) {
    if (argv[i] != nullptr &&
        (std::strcmp(argv[i], "-d") == 0 || std::strcmp(argv[i], "--directory") == 0)) {
      match = i;
      break;
    }
  }
  if (match < 0 || match + 1 >= argc || argv[match + 1] == nullptr) {
    GetCWD(cwd);
    return;
  }
  const char* value = argv[match + 1];
  cwd = value;
  TraceMessage("GetCurrentWorkingDirPath(): -d argument mentioned as %S", value);
  if (IsPathAbsolute(cwd)) return;
  TraceMessage("GetCurrentWorkingDirPath(): Path does not seems absolute");
  GetCWD(cwd);
  if (PathConcatenate(cwd, value) != 0) {
    TraceMessage(
        "ERROR: GetCurrentWorkingDirPath(): Error concatenating paths while computing CWD: %S, %S",
        cwd.c_str(), value);
  }
}
