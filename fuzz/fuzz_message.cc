// The message reader over a real socket pair: whatever bytes arrive, it
// returns a code, never reads past a message's end, and never crashes.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
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
  Message message;
  size_t consumed_fields = 0;
  while (ReadMessage(&fds[0], &message) == 0) {
    consumed_fields += message.fields.size();
    // A decoded field never holds a carriage return that arrived escaped,
    // and nothing decoded can be longer than what was sent.
    for (const std::string& field : message.fields) {
      if (field.size() > size) __builtin_trap();
    }
  }
  (void)consumed_fields;
  close(fds[0]);
  return 0;
}
