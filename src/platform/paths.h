// Paths and environment: joining and parents with the quote rules, path
// predicates, and the install, configuration, temporary and current
// directories. Nothing here creates or changes files.
#ifndef QUARN_PLATFORM_PATHS_H_
#define QUARN_PLATFORM_PATHS_H_

#include <string>

constexpr int kCwdBufferSize = 32768;

/// Appends "/" (unless present) and `component` to `base`, honouring
/// enclosing quotes. 0; -1 null component; -2 empty base (base unchanged).
[[nodiscard]] int PathConcatenate(std::string& base, const char* component);
/// Everything before the last "/". 0; -1 empty path; -2 no "/".
[[nodiscard]] int GetParentDirPath(const std::string& path, std::string& parent);
/// The directory holding the executable named by argv[0]. 0 (possibly empty
/// when PATH has no match); -1 empty path; -2 no parent; -3 cwd join failed;
/// -4 parent of the joined path; -6 split; -5 PATH undefined or -7 PATH
/// empty, when the running program's own file cannot be read either.
[[nodiscard]] int GetInstallDirPath(const std::string& executable, std::string& installDir);
/// The running program's own file, links resolved, where the system tells
/// it (not every system does). false when it cannot be known.
bool RunningProgramPath(std::string& path);
/// The user configuration directory. Always 0.
[[nodiscard]] int GetUserConfigDirPath(std::string& configDir);
/// TMPDIR, /tmp, HOME or USERPROFILE. 0; -1 none.
[[nodiscard]] int GetTempDirectory(std::string& tempDir);
/// The process's current directory, empty when it cannot be read.
void GetCWD(std::string& out);

bool IsPathValid(const std::string& path);
bool IsPathFile(const std::string& path);
bool IsPathDirectory(const std::string& path);
/// A regular file with the owner's read and execute bits (0500).
bool IsFileExecutable(const std::string& path);
/// The path itself is a symbolic link (not followed).
bool IsPathSymlink(const std::string& path);
/// Starts with "/" or "~/".
bool IsPathAbsolute(const std::string& path);

// The named interface: operations the design names that the program itself
// does not call (tests and other front ends may). Not on quarn's path.
/// The variable's value, null when undefined, "" for a null name.
const char* GetEnv(const char* name);

#endif  // QUARN_PLATFORM_PATHS_H_
