#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/features.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/sys.h"
#include "trace/trace.h"

namespace {

// What a listing says an entry is, where the system's listing says it.
enum class Listed { kUnknown, kDirectory, kLink, kOther };

Listed ListedType(const struct dirent& entry) {
#if QUARN_HAVE_DIRENT_D_TYPE
  switch (entry.d_type) {
  case DT_UNKNOWN:
    return Listed::kUnknown;
  case DT_DIR:
    return Listed::kDirectory;
  case DT_LNK:
    return Listed::kLink;
  default:
    return Listed::kOther;
  }
#else
  (void)entry;
  return Listed::kUnknown;
#endif
}

}  // namespace

int MkDirs(const std::string& dir) {
  if (!IsNullOrEmpty(dir) && IsPathValid(dir)) {
    TraceMessage("MkDirs(): Directory %S is valid", dir.c_str());
    return 0;
  }
  TraceMessage("MkDirs(): Directory %S is invalid", dir.c_str());
  std::string parent;
  int found = GetParentDirPath(dir, parent);
  // A relative name of one component lies in the current directory.
  bool in_current_dir = found == -2;
  if (found != 0 && !in_current_dir) return -1;
  if (in_current_dir) parent = ".";
  TraceMessage("MkDirs(): Parent is %S.. Checking parent", parent.c_str());
  if (!in_current_dir && MkDirs(parent) != 0) return -1;
  TraceMessage("MkDirs(): Parent %S exists; Creating directory %S", parent.c_str(), dir.c_str());
  if (::mkdir(dir.c_str(), 0700) != 0) {
    int error = errno;
    // Another process made it between our test and our mkdir: it exists,
    // which is what was asked. (A trailing "/" names the directory the
    // recursion just made, and keeps failing as it always has.)
    if (error == EEXIST && TextView(dir).back() != '/' && IsPathDirectory(dir)) return 0;
    TraceMessage("ERROR: Could not create directory %S; ec = %d", dir.c_str(), error);
    return -1;
  }
  return 0;
}

void DirectoryListing::Reset() {
  if (handle_ != nullptr) (void)::closedir(static_cast<DIR*>(handle_));
  handle_ = nullptr;
}

int ListFileSystemEntriesAt(int dirFd, const std::string& path, std::vector<std::string>& names,
                            bool directoriesOnly, std::vector<bool>* isLink,
                            DirectoryListing* listing) {
  TraceMessage("----------------------------LIST FS ENTRIES---------------------------------");
  names.clear();
  if (isLink) isLink->clear();
  TraceMessage("ListFileSystemEntries(): Directory Path = %S", path.c_str());
  DIR* handle = listing != nullptr ? static_cast<DIR*>(listing->handle_) : nullptr;
  if (handle != nullptr) {
    ::rewinddir(handle);  // read again from the start, as the directory is now
  } else {
    // A descriptor of its own for the stream, so the caller's stays put.
    int fd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      handle = ::fdopendir(fd);
      if (handle == nullptr) CloseFd(fd);
    }
    if (handle == nullptr) {
      TraceMessage("ERROR: ListFileSystemEntries(): Could not open directory %S; ec = %d",
                   path.c_str(), errno);
      return -1;
    }
    if (listing != nullptr) listing->handle_ = handle;
  }
  int own = ::dirfd(handle);
  errno = 0;
  while (struct dirent* entry = ::readdir(handle)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    // The directory's own type field spares a stat for plain entries;
    // links (followed, as a stat would) and unknown types are asked about.
    Listed type = ListedType(*entry);
    bool link = type == Listed::kLink;
    if (type == Listed::kUnknown) {
      struct stat own_status;
      if (::fstatat(own, name, &own_status, AT_SYMLINK_NOFOLLOW) == 0) {
        link = S_ISLNK(own_status.st_mode);
        type = S_ISDIR(own_status.st_mode) ? Listed::kDirectory
               : link                      ? Listed::kLink
                                           : Listed::kOther;
      }
    }
    if (directoriesOnly) {
      bool is_directory = type == Listed::kDirectory;
      if (link) {
        struct stat target;
        is_directory = ::fstatat(own, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
      }
      if (!is_directory) continue;
      TraceMessage("ListFileSystemEntries(): Found directory entry %S", name);
    } else {
      TraceMessage("ListFileSystemEntries(): Found entry %S", name);
    }
    names.emplace_back(name);
    if (isLink) isLink->push_back(link);
    errno = 0;
  }
  TraceMessage("ListFileSystemEntries(): Reached the end of directory; ec = %d", errno);
  if (listing == nullptr && ::closedir(handle) != 0) {
    TraceMessage(
        "ERROR: ListFileSystemEntries(): Could not close the find handle of dir %S; ec = %d",
        path.c_str(), errno);
    return -2;
  }
  return 0;
}

int ListFileSystemEntries(const std::string& dir, std::vector<std::string>& names,
                          bool directoriesOnly) {
  names.clear();
  if (IsNullOrEmpty(dir) || !IsPathDirectory(dir)) {
    TraceMessage("----------------------------LIST FS ENTRIES---------------------------------");
    return -1;
  }
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.Valid()) {
    TraceMessage("----------------------------LIST FS ENTRIES---------------------------------");
    TraceMessage("ListFileSystemEntries(): Directory Path = %S", dir.c_str());
    TraceMessage("ERROR: ListFileSystemEntries(): Could not open directory %S; ec = %d",
                 dir.c_str(), errno);
    return -1;
  }
  return ListFileSystemEntriesAt(fd.Get(), dir, names, directoriesOnly, nullptr);
}

namespace {

std::string JoinForTrace(const std::string& dir, const char* name) {
  std::string path = dir;
  if (PathConcatenate(path, name) != 0) {
    TraceMessage(
        "ERROR: TrashDirectory(): Cannot concatenate %S with %S; trying to concatenate manually",
        dir.c_str(), name);
    path = dir + "/" + name;
  }
  return path;
}

}  // namespace

int TrashDirectoryAt(int parentFd, const char* name, const std::string& path, dev_t device) {
  // The directory itself, never a link in its place; another file system
  // mounted here is not ours to empty.
  UniqueFd dir(Sys().openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0));
  struct stat info;
  if (!dir.Valid() || ::fstat(dir.Get(), &info) != 0) {
    if (errno != ELOOP && errno != ENOTDIR) return -1;
    // Swapped for a link (or a file) since it was listed: removed as such.
    TraceMessage("TrashDirectory(): Deleting file %S", path.c_str());
    if (::unlinkat(parentFd, name, 0) != 0) {
      TraceMessage("WARNING: TrashDirectory(): Could not delete file %S", path.c_str());
      return -2;
    }
    return 0;
  }
  if (info.st_dev != device) {
    TraceMessage("WARNING: TrashDirectory(): Could not delete directory %S", path.c_str());
    return -3;
  }
  std::vector<std::string> names;
  if (ListFileSystemEntriesAt(dir.Get(), path, names, false, nullptr) != 0) {
    TraceMessage("ERROR: TrashDirectory(): Could not list file system entries of %S", path.c_str());
    return -2;
  }
  int status = 0;
  for (const std::string& entry_name : names) {
    std::string entry = JoinForTrace(path, entry_name.c_str());
    // The entry as it is, not what a link leads to: a link is a file here.
    struct stat entry_info;
    bool is_directory =
        ::fstatat(dir.Get(), entry_name.c_str(), &entry_info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(entry_info.st_mode);
    if (is_directory) {
      status = TrashDirectoryAt(dir.Get(), entry_name.c_str(), entry, device);
      if (status != 0) {
        TraceMessage("ERROR: TrashDirectory(): Could not completely delete directory %S",
                     entry.c_str());
      }
    } else {
      TraceMessage("TrashDirectory(): Deleting file %S", entry.c_str());
      if (::unlinkat(dir.Get(), entry_name.c_str(), 0) != 0) {
        TraceMessage("WARNING: TrashDirectory(): Could not delete file %S", entry.c_str());
        status = -2;
      } else {
        status = 0;
      }
    }
  }
  if (status != 0) return status;
  TraceMessage("TrashDirectory(): Deleting directory %S", path.c_str());
  // By name in its parent: a link swapped in meanwhile is not a directory
  // and stays.
  if (::unlinkat(parentFd, name, AT_REMOVEDIR) != 0) {
    TraceMessage("WARNING: TrashDirectory(): Could not delete directory %S", path.c_str());
    return -3;
  }
  return 0;
}

int TrashDirectory(const std::string& dir) {
  if (IsNullOrEmpty(dir) || !IsPathDirectory(dir)) return -1;
  // A link that leads to a directory is removed as a link: deleting a
  // registry entry must never reach outside it.
  struct stat info;
  if (::lstat(dir.c_str(), &info) != 0) return -1;
  if (S_ISLNK(info.st_mode)) {
    TraceMessage("TrashDirectory(): Deleting file %S", dir.c_str());
    if (::unlink(dir.c_str()) != 0) {
      TraceMessage("WARNING: TrashDirectory(): Could not delete file %S", dir.c_str());
      return -2;
    }
    return 0;
  }
  return TrashDirectoryAt(AT_FDCWD, dir.c_str(), dir, info.st_dev);
}

std::string_view TrimmedView(std::string_view text) {
  // As TrimSpaces: only the bytes before a NUL are looked at, and trailing
  // space is cut together with whatever follows the NUL.
  size_t text_length = std::min(text.find('\0'), text.size());
  size_t count = 0;
  while (count < text_length && IsWhiteSpace(static_cast<unsigned char>(text[count]))) ++count;
  text.remove_prefix(count);
  text_length -= count;
  if (text_length == 0) return text;
  size_t end = text_length;
  while (end > 0 && IsWhiteSpace(static_cast<unsigned char>(text[end - 1]))) --end;
  return end < text_length ? text.substr(0, end) : text;
}

int ReadSmallFileAt(int dirFd, const char* name, const std::string& path, std::string& text,
                    struct stat* info) {
  text.clear();
  // Never through a link; O_NONBLOCK: a FIFO must not hang the reader.
  UniqueFd fd(::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
  // Only a missing file skips the reader's own trace; one that exists and
  // cannot be read (a link among them) is reported.
  if (!fd.Valid() && (errno == ENOENT || errno == ENOTDIR)) return kNotRegularFile;
  if (!fd.Valid()) {
    TraceMessage("ERROR: ReadAsciiFileAsLines(): Could not open file to read: %s", path.c_str());
    return -1;
  }
  if (::fstat(fd.Get(), info) != 0 || !S_ISREG(info->st_mode)) return kNotRegularFile;
  // The size says when the text is complete: one read for the small files
  // of a registry entry. Whatever the file claims or holds, no more than
  // the limit is read.
  size_t expected = static_cast<size_t>(info->st_size);
  bool too_large = expected > kMaxTextFileSize;
  // Straight into the text, in one read for the small files of an entry;
  // one byte more than the limit at most, so a file that grows past it
  // while it is read is still refused.
  size_t got = 0;
  if (!too_large) text.resize(expected + 1);
  while (!too_large) {
    if (got == text.size()) text.resize(std::min(2 * text.size(), kMaxTextFileSize + 1));
    ssize_t count = ::read(fd.Get(), &text[got], text.size() - got);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;  // end of file; a read error ends the text too
    got += static_cast<size_t>(count);
    too_large = got > kMaxTextFileSize;
    if (got >= expected) break;
  }
  text.resize(got);
  if (too_large) {
    text.clear();
    TraceMessage("ERROR: ReadAsciiFileAsLines(): File %s is larger than %d bytes", path.c_str(),
                 static_cast<int>(kMaxTextFileSize));
    return kFileTooLarge;
  }
  if (CloseFd(fd.Release()) != 0) {
    TraceMessage("ERROR: ReadAsciiFileAsLines(): Error closing file after read");
    return -2;
  }
  return 0;
}

int ReadAsciiFileAsLines(const std::string& path, std::vector<std::string>& lines) {
  std::string text;
  struct stat info;
  int result = ReadSmallFileAt(AT_FDCWD, path.c_str(), path, text, &info);
  if (result == kNotRegularFile) {
    TraceMessage("ERROR: ReadAsciiFileAsLines(): Could not open file to read: %s", path.c_str());
    return -1;
  }
  if (result != 0) return result;
  ForEachLine(text, [&](std::string_view line) { lines.emplace_back(line); });
  return 0;
}
