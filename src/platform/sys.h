// The few system calls whose faults tests must be able to inject (short
// sends, EINTR, fork failure, a registry changed under a pass) go through
// one table; the retry loops live beside it, written once. Everything else
// calls the system directly.
#ifndef QUARN_PLATFORM_SYS_H_
#define QUARN_PLATFORM_SYS_H_

#include <sys/types.h>

#include <cstddef>
#include <utility>

struct SysCalls {
  ssize_t (*send)(int fd, const void* data, size_t size, int flags);
  ssize_t (*recv)(int fd, void* data, size_t size, int flags);
  ssize_t (*read)(int fd, void* data, size_t size);
  ssize_t (*write)(int fd, const void* data, size_t size);
  pid_t (*fork)();
  // Opens a directory in the registry or in a tree being deleted: tests
  // change the tree at that moment, as another process could.
  int (*openat)(int dirFd, const char* name, int flags, mode_t mode);
};

/// The table in force; tests swap single entries with ScopedSysOverride.
SysCalls& Sys();

/// Restores one entry of the table when it goes out of scope.
template <typename Fn>
class ScopedSysOverride {
 public:
  ScopedSysOverride(Fn SysCalls::*slot, Fn replacement) : slot_(slot), saved_(Sys().*slot) {
    Sys().*slot_ = replacement;
  }
  ~ScopedSysOverride() { Sys().*slot_ = saved_; }
  ScopedSysOverride(const ScopedSysOverride&) = delete;
  ScopedSysOverride& operator=(const ScopedSysOverride&) = delete;

 private:
  Fn SysCalls::*slot_;
  Fn saved_;
};

/// Writes all `size` bytes, retrying short writes and EINTR.
/// 0 on success; -1 with errno set on failure.
[[nodiscard]] int WriteAll(int fd, const void* data, size_t size);

/// One send call (retried only on EINTR), never raising SIGPIPE: a peer
/// gone mid-conversation is a send failure, not a signal that kills us.
/// (Where the system's only way is the socket's own option, the sockets
/// from platform/descriptors.h have it.)
ssize_t SendOnce(int fd, const void* data, size_t size, int flags);

/// The send flag that holds a send back for the next one, so that both
/// leave together, where the system has one; else 0.
int SendMoreFlag();

/// recv retried on EINTR.
ssize_t RecvRetry(int fd, void* data, size_t size, int flags);

/// recv that never waits: -1 with EAGAIN when nothing has arrived.
ssize_t RecvNoWait(int fd, void* data, size_t size, int flags);

/// Takes `size` bytes already looked at with MSG_PEEK off the socket:
/// dropped without a copy where the system can, else copied into `spare`.
/// As recv.
ssize_t RecvDiscard(int fd, void* spare, size_t size);

/// close() that treats EINTR as closed (Linux always releases the
/// descriptor). 0 or -1 with errno.
int CloseFd(int fd);

/// Owns one descriptor; closes it on destruction unless released.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.Release();
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() { return std::exchange(fd_, -1); }
  void Reset(int fd = -1) {
    if (fd_ >= 0) CloseFd(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

#endif  // QUARN_PLATFORM_SYS_H_
