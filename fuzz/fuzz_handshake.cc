// The handshake's response side: ReadLine and Negotiate on any bytes.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/descriptors.h"
#include "protocol/connection.h"
#include "protocol/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fds[2];
  if (OpenSocketPair(fds) != 0) return 0;
  int buffer = 1 << 20;
  setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
  setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
  std::string response(reinterpret_cast<const char*>(data), size);
  if (!response.empty() && write(fds[1], response.data(), response.size()) < 0) {
    close(fds[0]);
    close(fds[1]);
    return 0;
  }
  shutdown(fds[1], SHUT_WR);
  // The handshake and the messages after it share the connection's buffer.
  Connection connection(fds[0]);
  std::string refused;
  int code = Negotiate(connection, "0123456789ABCDEF0123456789ABCDEF", &refused);
  if (code > 0) __builtin_trap();
  Message message;
  while (ReadMessage(connection, message, nullptr, MessageLimits()) == 0) {
  }
  close(fds[0]);
  close(fds[1]);
  return 0;
}
