#include "protocol/connection.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/sys.h"

namespace {

// Large receives: a flood of output costs few calls and wake-ups. Without
// read-ahead a peek never needs much.
constexpr size_t kReceiveBuffer = 256 * 1024;
constexpr size_t kPeekBuffer = 16 * 1024;

ssize_t ReceiveFrom(int fd, void* data, size_t size, int flags, bool dontWait) {
  return dontWait ? RecvNoWait(fd, data, size, flags) : RecvRetry(fd, data, size, flags);
}

}  // namespace

Connection::Connection(int fd, bool readAhead)
    : fd_(fd),
      read_ahead_(readAhead),
      capacity_(readAhead ? kReceiveBuffer : kPeekBuffer),
      buffer_(new char[capacity_]) {}

bool Connection::Take(size_t count) {
  start_ += count;
  if (!read_ahead_) {
    // The peeked bytes taken leave the socket now, dropped without a copy
    // where the system can, else copied into the spent buffer.
    while (count > 0) {
      ssize_t n = RecvDiscard(fd_, buffer_.get(), count);
      if (n <= 0) {
        if (n == 0) errno = ECONNRESET;
        return false;
      }
      count -= static_cast<size_t>(n);
    }
  }
  if (start_ == end_) start_ = end_ = 0;
  return true;
}

ssize_t Connection::Receive(bool dontWait, size_t maxBytes) {
  if (!read_ahead_) {
    // Everything peeked before has been taken and removed: what a peek sees
    // now is new.
    ssize_t n = ReceiveFrom(fd_, buffer_.get(), capacity_, MSG_PEEK, dontWait);
    received_any_ = received_any_ || n > 0;
    start_ = 0;
    end_ = n > 0 ? static_cast<size_t>(n) : 0;
    return n;
  }
  if (start_ > 0 && capacity_ - end_ < capacity_ / 4) {
    std::memmove(buffer_.get(), buffer_.get() + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
  }
  if (end_ == capacity_) {
    errno = ENOBUFS;  // the readers take what they look at: never reached
    return -1;
  }
  size_t room = capacity_ - end_;
  if (maxBytes != 0 && maxBytes < room) room = maxBytes;
  ssize_t n = ReceiveFrom(fd_, buffer_.get() + end_, room, 0, dontWait);
  if (n > 0) end_ += static_cast<size_t>(n);
  received_any_ = received_any_ || n > 0;
  return n;
}
