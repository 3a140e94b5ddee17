// File-system operations and lock files.
#ifndef QUARN_PLATFORM_FILES_H_
#define QUARN_PLATFORM_FILES_H_

#include <sys/types.h>

#include <string>
#include <string_view>
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
/// The same for the directory `name` in the directory open on `parentFd`,
/// walked through descriptors alone: every name is taken relative to its
/// own directory's descriptor, a link is never followed (one swapped in for
/// a directory during the walk is removed as a link), and nothing on
/// another file system than `device` is entered.
[[nodiscard]] int TrashDirectoryAt(int parentFd, const char* name, const std::string& path,
                                   dev_t device);
/// A text file's bound, and the code for a file past it.
constexpr int kFileTooLarge = -3;
constexpr size_t kMaxTextFileSize = 1024 * 1024;

// The same operations on `name` relative to the directory open on `dirFd`
// (AT_FDCWD: the working directory); `path` names the same file in full,
// for the trace and for creating missing parents. A lookup walks many
// entries: short relative walks keep it cheap.
constexpr int kNotRegularFile = 1;
/// A directory's stream kept for several listings of it, each read from
/// the start again: one open serves them all.
class DirectoryListing {
 public:
  DirectoryListing() = default;
  ~DirectoryListing() { Reset(); }
  DirectoryListing(const DirectoryListing&) = delete;
  DirectoryListing& operator=(const DirectoryListing&) = delete;
  /// Closes the stream; the next listing opens one again.
  void Reset();

 private:
  friend int ListFileSystemEntriesAt(int, const std::string&, std::vector<std::string>&, bool,
                                     std::vector<bool>*, DirectoryListing*);
  void* handle_ = nullptr;  // a DIR*, of a descriptor of its own
};

/// ListFileSystemEntries of the directory open on `dirFd` (its own
/// descriptor is not moved), `path` naming it for the trace; `isLink`, when
/// given, tells per name whether the entry itself is a symbolic link.
/// `listing`, when given, keeps the stream for the next listing of the
/// same directory.
[[nodiscard]] int ListFileSystemEntriesAt(int dirFd, const std::string& path,
                                          std::vector<std::string>& names, bool directoriesOnly,
                                          std::vector<bool>* isLink,
                                          DirectoryListing* listing = nullptr);
/// A small file's whole text (at most kMaxTextFileSize bytes) and its
/// status, never through a link and never blocking on a FIFO. 0;
/// kNotRegularFile missing or not a regular file (no trace line); -1 open;
/// -2 close; kFileTooLarge.
[[nodiscard]] int ReadSmallFileAt(int dirFd, const char* name, const std::string& path,
                                  std::string& text, struct stat* info);
/// Calls `visit` with each line of `text`, trimmed at both ends, as
/// ReadAsciiFileAsLines splits them.
template <typename Visit>
void ForEachLine(std::string_view text, Visit visit);

std::string_view TrimmedView(std::string_view text);

template <typename Visit>
void ForEachLine(std::string_view text, Visit visit) {
  while (!text.empty()) {
    if (text.front() == '\n') {  // an empty line, often one of a long run
      visit(text.substr(0, 0));
      text.remove_prefix(1);
      continue;
    }
    size_t end = text.find('\n');
    bool last = end == std::string_view::npos;
    visit(TrimmedView(text.substr(0, last ? text.size() : end)));
    text.remove_prefix(last ? text.size() : end + 1);
  }
}

// The named interface: operations the design names that the program itself
// does not call (tests and other front ends may). Not on quarn's path.
/// Appends the file's lines, trimmed at both ends. 0; -1 open; -2 close;
/// kFileTooLarge past kMaxTextFileSize (nothing appended).
[[nodiscard]] int ReadAsciiFileAsLines(const std::string& path, std::vector<std::string>& lines);

#endif  // QUARN_PLATFORM_FILES_H_
