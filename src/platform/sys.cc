#include "platform/sys.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace {

ssize_t RealRead(int fd, void* data, size_t size) { return ::read(fd, data, size); }
ssize_t RealWrite(int fd, const void* data, size_t size) { return ::write(fd, data, size); }
pid_t RealFork() { return ::fork(); }
int RealOpenAt(int dirFd, const char* name, int flags, mode_t mode) {
  return ::openat(dirFd, name, flags, mode);
}

}  // namespace

SysCalls& Sys() {
  static SysCalls calls = {&::send, &::recv, &RealRead, &RealWrite, &RealFork, &RealOpenAt};
  return calls;
}

int WriteAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = Sys().write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

ssize_t SendOnce(int fd, const void* data, size_t size, int flags) {
  for (;;) {
    ssize_t n = Sys().send(fd, data, size, flags | MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

ssize_t RecvRetry(int fd, void* data, size_t size, int flags) {
  for (;;) {
    ssize_t n = Sys().recv(fd, data, size, flags);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

int CloseFd(int fd) {
  if (::close(fd) == 0) return 0;
  return errno == EINTR ? 0 : -1;
}

void CloseDescriptorsAbove2() {
  if (::close_range(3, ~0U, 0) == 0) return;
  std::vector<int> open_fds;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    int own = ::dirfd(dir);
    while (struct dirent* entry = ::readdir(dir)) {
      int fd = std::atoi(entry->d_name);
      if (entry->d_name[0] != '.' && fd > 2 && fd != own) open_fds.push_back(fd);
    }
    ::closedir(dir);
  }
  for (int fd : open_fds) CloseFd(fd);
}
