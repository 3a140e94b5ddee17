#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/sys.h"
#include "trace/trace.h"

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

int ListFileSystemEntries(const std::string& dir, std::vector<std::string>& names,
                          bool directoriesOnly, std::vector<bool>* isLink) {
  TraceMessage("----------------------------LIST FS ENTRIES---------------------------------");
  names.clear();
  if (isLink) isLink->clear();
  if (IsNullOrEmpty(dir) || !IsPathDirectory(dir)) return -1;
  TraceMessage("ListFileSystemEntries(): Directory Path = %S", dir.c_str());
  DIR* handle = ::opendir(dir.c_str());
  if (handle == nullptr) {
    TraceMessage("ERROR: ListFileSystemEntries(): Could not open directory %S; ec = %d",
                 dir.c_str(), errno);
    return -1;
  }
  int dir_fd = ::dirfd(handle);
  errno = 0;
  while (struct dirent* entry = ::readdir(handle)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    // The directory's own type field spares a stat for plain entries;
    // links (followed, as a stat would) and unknown types are asked about.
    unsigned char type = entry->d_type;
    bool link = type == DT_LNK;
    if (type == DT_UNKNOWN) {
      struct stat own;
      if (::fstatat(dir_fd, name, &own, AT_SYMLINK_NOFOLLOW) == 0) {
        link = S_ISLNK(own.st_mode);
        type = S_ISDIR(own.st_mode) ? DT_DIR : link ? DT_LNK : DT_REG;
      }
    }
    if (directoriesOnly) {
      bool is_directory = type == DT_DIR;
      if (link) {
        struct stat target;
        is_directory = ::fstatat(dir_fd, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
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
  if (::closedir(handle) != 0) {
    TraceMessage(
        "ERROR: ListFileSystemEntries(): Could not close the find handle of dir %S; ec = %d",
        dir.c_str(), errno);
    return -2;
  }
  return 0;
}

int ListFileSystemEntries(const std::string& dir, std::vector<std::string>& names,
                          bool directoriesOnly) {
  return ListFileSystemEntries(dir, names, directoriesOnly, nullptr);
}

int TrashDirectory(const std::string& dir) {
  if (IsNullOrEmpty(dir) || !IsPathDirectory(dir)) return -1;
  // A link that leads to a directory is removed as a link: deleting a
  // registry entry must never reach outside it.
  if (IsPathSymlink(dir)) {
    TraceMessage("TrashDirectory(): Deleting file %S", dir.c_str());
    if (::unlink(dir.c_str()) != 0) {
      TraceMessage("WARNING: TrashDirectory(): Could not delete file %S", dir.c_str());
      return -2;
    }
    return 0;
  }
  std::vector<std::string> names;
  if (ListFileSystemEntries(dir, names, false) != 0) {
    TraceMessage("ERROR: TrashDirectory(): Could not list file system entries of %S", dir.c_str());
    return -2;
  }
  int status = 0;
  for (const std::string& name : names) {
    std::string entry = dir;
    if (PathConcatenate(entry, name.c_str()) != 0) {
      TraceMessage(
          "ERROR: TrashDirectory(): Cannot concatenate %S with %S; trying to concatenate manually",
          dir.c_str(), name.c_str());
      entry = dir + "/" + name;
    }
    // lstat, not stat: a link inside the tree is never descended into.
    struct stat info;
    bool is_directory = ::lstat(entry.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    if (is_directory) {
      status = TrashDirectory(entry);
      if (status != 0) {
        TraceMessage("ERROR: TrashDirectory(): Could not completely delete directory %S",
                     entry.c_str());
      }
    } else {
      TraceMessage("TrashDirectory(): Deleting file %S", entry.c_str());
      if (::unlink(entry.c_str()) != 0) {
        TraceMessage("WARNING: TrashDirectory(): Could not delete file %S", entry.c_str());
        status = -2;
      } else {
        status = 0;
      }
    }
  }
  if (status != 0) return status;
  TraceMessage("TrashDirectory(): Deleting directory %S", dir.c_str());
  if (::rmdir(dir.c_str()) != 0) {
    TraceMessage("WARNING: TrashDirectory(): Could not delete directory %S", dir.c_str());
    return -3;
  }
  return 0;
}

int ReadAsciiFileAsLinesAt(int dirFd, const char* name, const std::string& path,
                           std::vector<std::string>& lines, bool onlyRegular) {
  // Never through a link; O_NONBLOCK: a FIFO must not hang the reader.
  UniqueFd fd(::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
  // Only a missing file skips the reader's own trace; one that exists and
  // cannot be read (a link among them) is reported.
  if (!fd.Valid() && onlyRegular && (errno == ENOENT || errno == ENOTDIR)) return kNotRegularFile;
  if (!fd.Valid()) {
    TraceMessage("ERROR: ReadAsciiFileAsLines(): Could not open file to read: %s", path.c_str());
    return -1;
  }
  // A regular file's size says when the text is complete: one read for the
  // small files of a registry entry.
  struct stat info;
  bool regular = ::fstat(fd.Get(), &info) == 0 && S_ISREG(info.st_mode);
  if (!regular && onlyRegular) return kNotRegularFile;
  size_t expected = regular ? static_cast<size_t>(info.st_size) : static_cast<size_t>(-1);
  // Whatever the file claims or holds, no more than the limit is read.
  bool too_large = regular && expected > kMaxTextFileSize;
  std::string text;
  char buffer[4096];
  while (!too_large) {
    ssize_t count = ::read(fd.Get(), buffer, sizeof(buffer));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;  // end of file; a read error ends the text too
    text.append(buffer, static_cast<size_t>(count));
    too_large = text.size() > kMaxTextFileSize;
    if (text.size() >= expected) break;
  }
  if (too_large) {
    TraceMessage("ERROR: ReadAsciiFileAsLines(): File %s is larger than %d bytes", path.c_str(),
                 static_cast<int>(kMaxTextFileSize));
    return kFileTooLarge;
  }
  std::string current;
  for (char c : text) {
    if (c != '\n') {
      current.push_back(c);
      continue;
    }
    TrimSpaces(current, true, true);
    lines.push_back(std::move(current));
    current.clear();
  }
  if (!current.empty()) {
    TrimSpaces(current, true, true);
    lines.push_back(std::move(current));
  }
  if (CloseFd(fd.Release()) != 0) {
    TraceMessage("ERROR: ReadAsciiFileAsLines(): Error closing file after read");
    return -2;
  }
  return 0;
}

int ReadAsciiFileAsLines(const std::string& path, std::vector<std::string>& lines) {
  return ReadAsciiFileAsLinesAt(AT_FDCWD, path.c_str(), path, lines, false);
}
