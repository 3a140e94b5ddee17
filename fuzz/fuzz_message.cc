// The message reader over a real socket pair, the way the exchange reads:
// from a connection's buffer, the daemon's output going to a relay.
// Whatever bytes arrive, it returns a code and never crashes. The first
// byte chooses how: the receive size, read-ahead or peeking, the relay, and
// small limits that the input can reach.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/sys.h"
#include "protocol/connection.h"
#include "protocol/protocol.h"
#include "protocol/relay.h"

namespace {

size_t g_receive_cap = 1;
ssize_t CappedRecv(int fd, void* data, size_t size, int flags) {
  return ::recv(fd, data, std::min(size, g_receive_cap), flags);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The relayed "stdout" text goes nowhere; "stderr" text joins the log.
  static const bool kOutputDiscarded = [] {
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null_fd, 1);
    close(null_fd);
    return true;
  }();
  (void)kOutputDiscarded;
  if (size == 0) return 0;
  uint8_t mode = data[0];
  ++data;
  --size;
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  int buffer = 1 << 20;
  setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
  size_t sent = 0;
  while (sent < size) {
    ssize_t n = write(fds[1], data + sent, size - sent);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  close(fds[1]);
  const size_t caps[] = {1, 2, 3, 7, 64, 131, 4096, 1 << 20};
  g_receive_cap = caps[mode & 7];
  ScopedSysOverride<decltype(SysCalls::recv)> capped(&SysCalls::recv, &CappedRecv);
  Connection connection(fds[0], (mode & 8) == 0);
  Relay relay;
  MessageLimits limits;
  if (mode & 32) limits = {8, 3, 16, 32};
  Message message;
  while (ReadMessage(connection, message, (mode & 16) ? &relay : nullptr, limits) == 0) {
    // Nothing decoded is longer than what was sent.
    for (const std::string& field : message.fields) {
      if (field.size() > size) __builtin_trap();
    }
  }
  (void)relay.Flush();
  close(fds[0]);
  return 0;
}
