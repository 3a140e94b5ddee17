// File-system operations and lock files.
#ifndef QUARN_PLATFORM_FILES_H_
#define QUARN_PLATFORM_FILES_H_

#include <string>
#include <vector>

/// Creates `dir` and its missing parents with mode 0700. 0; -1 failed.
[[nodiscard]] int MkDirs(const std::string& dir);
/// Names (not paths) of the entries of `dir`, without "." and "..".
/// 0; -1 not a readable directory; -2 closing failed (names kept).
[[nodiscard]] int ListFileSystemEntries(const std::string& dir, std::vector<std::string>& names,
                                        bool directoriesOnly);
/// Removes `dir` and everything below it, never following a symbolic link:
/// links are removed themselves. 0; -1 not a directory; -2 listing or the
/// last file's deletion failed; -3 removing dir failed; or a nested code.
[[nodiscard]] int TrashDirectory(const std::string& dir);
/// Appends the file's lines, trimmed at both ends. 0; -1 open; -2 close;
/// kFileTooLarge past kMaxTextFileSize (nothing appended).
constexpr int kFileTooLarge = -3;
constexpr size_t kMaxTextFileSize = 1024 * 1024;
[[nodiscard]] int ReadAsciiFileAsLines(const std::string& path, std::vector<std::string>& lines);

// The same operations on `name` relative to the directory open on `dirFd`
// (AT_FDCWD: the working directory); `path` names the same file in full,
// for the trace and for creating missing parents. A lookup walks many
// entries: short relative walks keep it cheap.
/// With `onlyRegular`, a missing or non-regular file gives kNotRegularFile
/// and no trace line (the readers that test for a regular file first).
constexpr int kNotRegularFile = 1;
[[nodiscard]] int ReadAsciiFileAsLinesAt(int dirFd, const char* name, const std::string& path,
                                         std::vector<std::string>& lines, bool onlyRegular);
/// ListFileSystemEntries that also tells, per name, whether the entry
/// itself is a symbolic link.
[[nodiscard]] int ListFileSystemEntries(const std::string& dir, std::vector<std::string>& names,
                                        bool directoriesOnly, std::vector<bool>* isLink);

#endif  // QUARN_PLATFORM_FILES_H_
