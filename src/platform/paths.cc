#include "platform/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/strings.h"
#include "trace/trace.h"

namespace {

bool StatPath(const std::string& path, struct stat& info) {
  if (IsNullOrEmpty(path)) return false;
  return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

int PathConcatenate(std::string& base, const char* component) {
  if (component == nullptr) return -1;
  std::string unquoted_base;
  bool base_quoted = RemoveEnclosingQuotes(base, unquoted_base);
  if (!base_quoted) unquoted_base.assign(TextView(base));
  std::string component_string(component);
  std::string unquoted_component;
  bool component_quoted = RemoveEnclosingQuotes(component_string, unquoted_component);
  if (!component_quoted) unquoted_component = component_string;

  std::string_view base_text = TextView(unquoted_base);
  if (base_text.empty()) return -2;
  std::string joined(base_text);
  if (joined.back() != '/') joined.push_back('/');
  joined.append(TextView(unquoted_component));

  if (base_quoted || component_quoted) {
    AddEnclosingQuotes(joined, base, true);
  } else {
    base = std::move(joined);
  }
  return 0;
}

int GetParentDirPath(const std::string& path, std::string& parent) {
  parent.clear();
  if (IsNullOrEmpty(path)) return -1;
  std::string working;
  bool removed = RemoveEnclosingQuotes(path, working);
  if (!removed) working.assign(TextView(path));
  TraceMessage("GetParentDirPath(): removed? = %s", removed ? "true" : "false");
  std::string_view text = TextView(working);
  size_t slash = text.rfind('/');
  if (slash == std::string_view::npos) {
    TraceMessage("ERROR: GetParentDirPath(): Could not find the file separator; path = %S",
                 path.c_str());
    return -2;
  }
  TraceMessage("GetParentDirPath(): tempPath = %S", working.c_str());
  std::string result(text.substr(0, slash));
  TraceMessage("GetParentDirPath(): tempParentPath = %S", result.c_str());
  if (removed) {
    AddEnclosingQuotes(result, parent, true);
  } else {
    parent = std::move(result);
  }
  TraceMessage("GetParentDirPath(): Returning %S", parent.c_str());
  return 0;
}

int GetInstallDirPath(const std::string& executable, std::string& installDir) {
  installDir.clear();
  if (IsNullOrEmpty(executable)) {
    TraceMessage("ERROR: GetInstallDirPath(): Empty executable path");
    return -1;
  }
  char first = executable[0];
  // A relative path with a slash ran from the current directory, as the
  // shell did; only a bare name was found through PATH.
  bool relative_with_slash = first != '/' && executable.find('/') != std::string::npos;
  if (first == '.' || relative_with_slash) {
    std::string joined;
    GetCWD(joined);
    int result = PathConcatenate(joined, executable.c_str());
    if (result != 0) {
      TraceMessage(
          "ERROR: GetInstallDirPath(): Could not concatenate current directory and executable "
          "path; result = %d",
          result);
      return -3;
    }
    result = GetParentDirPath(joined, installDir);
    if (result != 0) {
      TraceMessage(
          "ERROR: GetInstallDirPath(): Could not compute parent directory for %s; result = %d",
          joined.c_str(), result);
      return -4;
    }
    return 0;
  }
  if (first == '/') {
    int result = GetParentDirPath(executable, installDir);
    if (result != 0) {
      TraceMessage(
          "ERROR: GetInstallDirPath(): Could not parent directory of executable %S; result = %d",
          executable.c_str(), result);
      return -2;
    }
    return 0;
  }
  const char* path_variable = std::getenv("PATH");
  std::vector<std::string> fragments;
  if (path_variable == nullptr) {
    TraceMessage("ERROR: GetInstallDirPath(): Undefined PATH environment variable!!");
  } else if (int result = SplitByToken(path_variable, ':', fragments); result != 0) {
    TraceMessage("ERROR: GetInstallDirPath(): Error splitting PATH variable!!; result = %d",
                 result);
    return -6;
  } else if (fragments.empty()) {
    TraceMessage(
        "ERROR: GetInstallDirPath(): No fragments recovered after splitting PATH variable");
  }
  for (const std::string& fragment : fragments) {
    std::string candidate = fragment;
    if (PathConcatenate(candidate, executable.c_str()) != 0) {
      TraceMessage("ERROR: GetInstallDirPath(): Error concatenating path fragments %S, %S",
                   fragment.c_str(), executable.c_str());
      continue;
    }
    if (!IsPathFile(candidate)) {
      TraceMessage("GetInstallDirPath(): %S is not a file; ignoring", candidate.c_str());
      continue;
    }
    if (!IsFileExecutable(candidate)) continue;
    TraceMessage("GetInstallDirPath(): Found an executable file: %S", candidate.c_str());
    installDir = fragment;
    return 0;
  }
  // Not on PATH, or no PATH at all (a shell alias, a program started with
  // another argv[0], `env -u PATH`): the running program's own file, links
  // resolved by the system.
  std::string own;
  if (RunningProgramPath(own)) {
    if (GetParentDirPath(own, installDir) == 0) {
      TraceMessage("GetInstallDirPath(): Not found on PATH; using the running program %S",
                   own.c_str());
      return 0;
    }
  }
  // Nothing to go by: the codes for a missing or empty PATH stand.
  if (path_variable == nullptr) return -5;
  if (fragments.empty()) return -7;
  return 0;
}

int GetUserConfigDirPath(std::string& configDir) {
  configDir.clear();
  if (const char* explicit_dir = std::getenv("TREL_CONFIG_DIRECTORY")) {
    configDir.assign(explicit_dir);
    TraceMessage(
        "GetUserConfigDirPath(): TREL_CONFIG_DIRECTORY environment variable is defined as %S; "
        "using it",
        configDir.c_str());
    return 0;
  }
  if (const char* local_app_data = std::getenv("LOCALAPPDATA")) {
    configDir.assign(local_app_data);
    if (PathConcatenate(configDir, "mellix-trel") == 0) {
      TraceMessage("GetUserConfigDirPath(): Config directory computed from LOCALAPPDATA as %S",
                   configDir.c_str());
      return 0;
    }
    TraceMessage(
        "GetUserConfigDirPath(): Error concatenating paths while computing User Config Dir: %S, %S",
        configDir.c_str(), "mellix-trel");
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr) home = std::getenv("USERPROFILE");
  if (home != nullptr) {
    configDir.assign(home);
    if (PathConcatenate(configDir, ".mellix-trel") != 0) {
      TraceMessage(
          "GetUserConfigDirPath(): Error concatenating paths while computing User Config Dir: %S, "
          "%S",
          configDir.c_str(), ".mellix-trel");
    }
  }
  TraceMessage("GetUserConfigDirPath(): User Config Dir: %S", configDir.c_str());
  if (IsNullOrEmpty(configDir) || !IsPathValid(configDir)) {
    TraceMessage("WARNING: GetUserConfigDirPath(): User Config Dir %S does not exist",
                 configDir.c_str());
  }
  return 0;
}

int GetTempDirectory(std::string& tempDir) {
  tempDir.clear();
  const char* tmpdir = std::getenv("TMPDIR");
  if (tmpdir != nullptr && *tmpdir != 0) {
    tempDir.assign(tmpdir);
    return 0;
  }
  if (IsPathDirectory("/tmp")) {
    tempDir.assign("/tmp");
    return 0;
  }
  for (const char* name : {"HOME", "USERPROFILE"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != 0) {
      tempDir.assign(value);
      return 0;
    }
  }
  return -1;
}

void GetCWD(std::string& out) {
  out.clear();
  std::vector<char> buffer(kCwdBufferSize, '\0');
  if (::getcwd(buffer.data(), buffer.size()) != nullptr) out.assign(buffer.data());
  TraceMessage("GetCWD(): CWD = %S", out.c_str());
}

const char* GetEnv(const char* name) {
  if (name == nullptr) return "";
  return std::getenv(name);
}

bool IsPathValid(const std::string& path) {
  struct stat info;
  return StatPath(path, info);
}

bool IsPathFile(const std::string& path) {
  struct stat info;
  return StatPath(path, info) && S_ISREG(info.st_mode);
}

bool IsPathDirectory(const std::string& path) {
  struct stat info;
  return StatPath(path, info) && S_ISDIR(info.st_mode);
}

bool IsFileExecutable(const std::string& path) {
  struct stat info;
  return StatPath(path, info) && S_ISREG(info.st_mode) && (info.st_mode & 0500) == 0500;
}

bool IsPathSymlink(const std::string& path) {
  struct stat info;
  if (IsNullOrEmpty(path)) return false;
  return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

bool IsPathAbsolute(const std::string& path) {
  TraceMessage("IsPathAbsolute(): path = %S", path.c_str());
  std::string_view text = TextView(path);
  if (!text.empty() && text[0] == '/') {
    TraceMessage("IsPathAbsolute(): Path starts with /");
    return true;
  }
  if (text.size() >= 2 && text[0] == '~' && text[1] == '/') {
    TraceMessage("IsPathAbsolute(): Path starts with ~/");
    return true;
  }
  TraceMessage("IsPathAbsolute(): Path is not absolute");
  return false;
}
