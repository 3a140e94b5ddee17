#include "platform/sys.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/features.h"

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

#if !QUARN_HAVE_MSG_NOSIGNAL && !QUARN_HAVE_SO_NOSIGPIPE
namespace {

// Holds SIGPIPE back for one send, and takes the one that send raised
// before letting the signal through again; one already pending stays.
class SigpipeHeld {
 public:
  SigpipeHeld() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    blocked_ = pthread_sigmask(SIG_BLOCK, &pipe_, &saved_) == 0;
    // Only a SIGPIPE held back before can be pending already.
    was_pending_ = blocked_ && sigismember(&saved_, SIGPIPE) == 1 && Pending();
  }
  ~SigpipeHeld() {
    if (!blocked_) return;
    int saved_errno = errno;
    int signal_number;
    if (broken_ && !was_pending_ && Pending()) (void)sigwait(&pipe_, &signal_number);
    (void)pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    errno = saved_errno;
  }
  SigpipeHeld(const SigpipeHeld&) = delete;
  SigpipeHeld& operator=(const SigpipeHeld&) = delete;

  /// The send failed with EPIPE: it raised SIGPIPE.
  void Broken() { broken_ = true; }

 private:
  static bool Pending() {
    sigset_t pending;
    return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  }
  sigset_t pipe_, saved_;
  bool blocked_ = false, was_pending_ = false, broken_ = false;
};

}  // namespace
#endif

ssize_t SendOnce(int fd, const void* data, size_t size, int flags) {
#if QUARN_HAVE_MSG_NOSIGNAL
  flags |= MSG_NOSIGNAL;
#elif !QUARN_HAVE_SO_NOSIGPIPE
  SigpipeHeld held;  // with SO_NOSIGPIPE the socket was made without it
#endif
  for (;;) {
    ssize_t n = Sys().send(fd, data, size, flags);
    if (n < 0 && errno == EINTR) continue;
#if !QUARN_HAVE_MSG_NOSIGNAL && !QUARN_HAVE_SO_NOSIGPIPE
    if (n < 0 && errno == EPIPE) held.Broken();
#endif
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

ssize_t RecvNoWait(int fd, void* data, size_t size, int flags) {
#if QUARN_HAVE_MSG_DONTWAIT
  return RecvRetry(fd, data, size, flags | MSG_DONTWAIT);
#else
  // Only this process reads the socket: once poll finds bytes (or the
  // end), the receive does not wait for more.
  struct pollfd readable = {fd, POLLIN, 0};
  int ready;
  while ((ready = ::poll(&readable, 1, 0)) < 0 && errno == EINTR) {
  }
  if (ready == 0) errno = EAGAIN;
  if (ready <= 0) return -1;
  return RecvRetry(fd, data, size, flags);
#endif
}

ssize_t RecvDiscard(int fd, void* spare, size_t size) {
#if QUARN_HAVE_RECV_DISCARD
  return RecvRetry(fd, spare, size, MSG_TRUNC);
#else
  return RecvRetry(fd, spare, size, 0);
#endif
}

int SendMoreFlag() {
#if QUARN_HAVE_MSG_MORE
  return MSG_MORE;
#else
  return 0;
#endif
}
