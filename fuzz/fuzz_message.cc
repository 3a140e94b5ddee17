// The message reader over a real socket pair, the way the exchange reads:
// from a connection's buffer, the daemon's output going to a relay.
// Whatever bytes arrive, it returns a code and never crashes. The first
// byte chooses how: the receive size, read-ahead or peeking, the relay, and
// small limits that the input can reach. Without the relay, what it decodes
// must be what it decodes one byte at a time (where the bulk decoder never
// runs): the two decoders check each other.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/descriptors.h"
#include "platform/sys.h"
#include "protocol/connection.h"
#include "protocol/protocol.h"
#include "protocol/relay.h"

namespace {

size_t g_receive_cap = 1;
ssize_t CappedRecv(int fd, void* data, size_t size, int flags) {
  return ::recv(fd, data, std::min(size, g_receive_cap), flags);
}

// Every message read, then the code that ended the reading.
std::vector<std::vector<std::string>> Decode(const uint8_t* data, size_t size, uint8_t mode,
                                             size_t cap) {
  std::vector<std::vector<std::string>> decoded;
  int fds[2];
  if (OpenSocketPair(fds) != 0) return decoded;
  int buffer = 1 << 20;
  setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
  size_t sent = 0;
  while (sent < size) {
    ssize_t n = write(fds[1], data + sent, size - sent);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  close(fds[1]);
  g_receive_cap = cap;
  ScopedSysOverride<decltype(SysCalls::recv)> capped(&SysCalls::recv, &CappedRecv);
  Connection connection(fds[0], (mode & 8) == 0);
  Relay relay;
  MessageLimits limits;
  if (mode & 32) limits = {8, 3, 16, 32};
  Message message;
  int code;
  while ((code = ReadMessage(connection, message, (mode & 16) ? &relay : nullptr, limits)) == 0) {
    // Nothing decoded is longer than what was sent.
    for (const std::string& field : message.fields) {
      if (field.size() > size) __builtin_trap();
    }
    message.fields.insert(message.fields.begin(), message.type);
    decoded.push_back(message.fields);
  }
  decoded.push_back({std::to_string(code)});
  (void)relay.Flush();
  close(fds[0]);
  return decoded;
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
  const size_t caps[] = {1, 2, 3, 7, 64, 131, 4096, 1 << 20};
  auto decoded = Decode(data + 1, size - 1, mode, caps[mode & 7]);
  if ((mode & 16) == 0 && (mode & 7) != 0 && decoded != Decode(data + 1, size - 1, mode, 1)) {
    __builtin_trap();
  }
  return 0;
}
