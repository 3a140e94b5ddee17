// The receiving side of one connection to a daemon: a buffer that the
// handshake reader and the message reader share, so that bytes received
// ahead of one reader's end are there for the next, never lost.
#ifndef QUARN_PROTOCOL_CONNECTION_H_
#define QUARN_PROTOCOL_CONNECTION_H_

#include <sys/types.h>

#include <cstddef>
#include <memory>

class Connection {
 public:
  /// Receives from `fd` (not owned). Without `readAhead` nothing past what
  /// the readers take ever leaves the socket: bytes are peeked and only those
  /// taken are removed, for callers that hand the socket on.
  explicit Connection(int fd, bool readAhead = true);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  int fd() const { return fd_; }
  /// The bytes received and not yet taken.
  const char* data() const { return buffer_.get() + start_; }
  size_t size() const { return end_ - start_; }
  /// Takes `count` bytes of data(). false when they could not be removed
  /// from the socket (without read-ahead only; errno tells why).
  [[nodiscard]] bool Take(size_t count);
  /// Receives more, appending to data(): at most `maxBytes` (0: as much as
  /// fits), and with `dontWait` only what has arrived. > 0 bytes received;
  /// 0 the peer closed; -1 error (errno; EAGAIN when `dontWait` found
  /// nothing). Without read-ahead everything received must have been taken
  /// first.
  ssize_t Receive(bool dontWait = false, size_t maxBytes = 0);
  /// Whether any byte has ever arrived on this connection.
  bool ReceivedAny() const { return received_any_; }

 private:
  int fd_;
  bool read_ahead_;
  size_t capacity_;
  std::unique_ptr<char[]> buffer_;
  size_t start_ = 0, end_ = 0;
  bool received_any_ = false;
};

#endif  // QUARN_PROTOCOL_CONNECTION_H_
