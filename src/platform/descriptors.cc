#include "platform/descriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "platform/features.h"
#include "platform/sys.h"

namespace {

// Keeps errno across the clean-up after a failure.
void CloseKeepingErrno(int fd) {
  int saved = errno;
  CloseFd(fd);
  errno = saved;
}

// Sets on a new descriptor what the system could not set as it made it:
// close-on-exec unless `cloexecSet`, non-blocking when asked, and no
// SIGPIPE for a socket where that is the socket's own option. 0, or -1
// with errno and `fd` closed.
int Finish(int fd, bool cloexecSet, bool nonBlocking, bool socket) {
  if (fd < 0) return -1;
  bool failed = !cloexecSet && ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0;
  if (!failed && nonBlocking) {
    int status = ::fcntl(fd, F_GETFL);
    failed = status < 0 || ::fcntl(fd, F_SETFL, status | O_NONBLOCK) != 0;
  }
#if !QUARN_HAVE_MSG_NOSIGNAL && QUARN_HAVE_SO_NOSIGPIPE
  int one = 1;
  failed = failed || (socket && ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof(one)) != 0);
#else
  (void)socket;
#endif
  if (!failed) return 0;
  CloseKeepingErrno(fd);
  return -1;
}

// Finishes both ends of a pair; 0, or -1 with errno and both closed.
int FinishPair(int ends[2], bool cloexecSet, bool nonBlocking, bool socket) {
  if (Finish(ends[0], cloexecSet, nonBlocking, socket) != 0) {
    CloseKeepingErrno(ends[1]);
    return -1;
  }
  if (Finish(ends[1], cloexecSet, nonBlocking, socket) != 0) {
    CloseKeepingErrno(ends[0]);
    return -1;
  }
  return 0;
}

#if QUARN_HAVE_SOCK_CLOEXEC
constexpr int kSocketCloexec = SOCK_CLOEXEC;
#else
constexpr int kSocketCloexec = 0;
#endif
constexpr bool kSocketCloexecSet = kSocketCloexec != 0;

}  // namespace

int OpenPipe(int ends[2], bool nonBlocking) {
#if QUARN_HAVE_PIPE2
  return ::pipe2(ends, O_CLOEXEC | (nonBlocking ? O_NONBLOCK : 0));
#else
  if (::pipe(ends) != 0) return -1;
  return FinishPair(ends, false, nonBlocking, false);
#endif
}

int OpenStreamSocket() {
  int fd = ::socket(AF_INET, SOCK_STREAM | kSocketCloexec, 0);
  return Finish(fd, kSocketCloexecSet, false, true) == 0 ? fd : -1;
}

int OpenSocketPair(int ends[2]) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | kSocketCloexec, 0, ends) != 0) return -1;
  return FinishPair(ends, kSocketCloexecSet, false, true);
}

int AcceptConnection(int listener) {
  for (;;) {
#if QUARN_HAVE_ACCEPT4
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    constexpr bool kCloexecSet = true;
#else
    int fd = ::accept(listener, nullptr, nullptr);
    constexpr bool kCloexecSet = false;
#endif
    if (fd < 0 && errno == EINTR) continue;
    return Finish(fd, kCloexecSet, false, true) == 0 ? fd : -1;
  }
}

int DirectoryHandleFlags() {
#if QUARN_HAVE_O_PATH
  return O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#else
  return O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#endif
}

void CloseDescriptorsAbove2() {
#if QUARN_HAVE_CLOSE_RANGE
  if (::close_range(3, ~0U, 0) == 0) return;
#endif
#if QUARN_HAVE_LINUX_PROC
  // A kernel without close_range lists what is open: cheaper than the
  // loop below when the limit is high (a million in some containers).
  std::vector<int> open_fds;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    int own = ::dirfd(dir);
    while (struct dirent* entry = ::readdir(dir)) {
      int fd = std::atoi(entry->d_name);
      if (entry->d_name[0] != '.' && fd > 2 && fd != own) open_fds.push_back(fd);
    }
    ::closedir(dir);
    for (int fd : open_fds) CloseFd(fd);
    return;
  }
#endif
  // Descriptors at or above the limit cannot have been opened under it;
  // an unlimited one is taken as the system's own bound.
  struct rlimit limit;
  long last = ::sysconf(_SC_OPEN_MAX);
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    last = static_cast<long>(std::min<rlim_t>(limit.rlim_cur, INT_MAX));
  }
  if (last <= 0) last = 1024;
  for (long fd = 3; fd < last; ++fd) (void)::close(static_cast<int>(fd));
}

size_t PipeCapacity(int fd) {
#if QUARN_HAVE_F_GETPIPE_SZ
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode)) return 0;
  int capacity = ::fcntl(fd, F_GETPIPE_SZ);
  return capacity > 0 ? static_cast<size_t>(capacity) : 0;
#else
  (void)fd;
  return 0;
#endif
}
