#include "support/wire.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/descriptors.h"
#include "platform/sys.h"

std::string EncodeWire(const std::string& type, const std::vector<std::string>& fields) {
  static const char hex[] = "0123456789abcdef";
  std::string out = type + ".";
  for (const std::string& field : fields) {
    out += " \"";
    for (char c : field) {
      if (c == '\n' || c == '\r' || c == '"' || c == '\\') {
        out += {'\\', hex[(c >> 4) & 0xF], hex[c & 0xF]};
      } else {
        out += c;
      }
    }
    out += "\"";
  }
  return out + "\n";
}

WireConnection::WireConnection(int fd) : fd_(fd) {
  int one = 1;  // small messages go at once (fails quietly on AF_UNIX)
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

std::string WireConnection::ReadUntil(const std::string& end) {
  std::string text;
  char c;
  ssize_t n;
  while (text.size() < end.size() || text.compare(text.size() - end.size(), end.size(), end) != 0) {
    while ((n = recv(fd_, &c, 1, 0)) < 0 && errno == EINTR) {
    }
    if (n != 1) return end == "\n" ? "" : text;
    text += c;
  }
  return text;
}

void WireConnection::Send(const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = SendOnce(fd_, bytes.data() + done, bytes.size() - done, 0);
    if (n <= 0 && errno != EINTR) return;
    done += n > 0 ? static_cast<size_t>(n) : 0;
  }
}

ScriptedDaemon::ScriptedDaemon(std::vector<Step> script, bool accepts, bool listens,
                               std::function<void(WireConnection&)> more)
    : listener_(ListenLoopback(&port_)) {
  if (!listens) close(listener_), listener_ = -1;
  if (listener_ < 0) return;
  thread_ = std::thread([this, script = std::move(script), accepts, more = std::move(more)] {
    WireConnection c(AcceptConnection(listener_));
    request = c.ReadHeaders();
    if (accepts) c.Send(kTestAccept);
    while (accepts && description.find("preamble-done.\n") == std::string::npos) {
      std::string message = c.ReadMessage();
      if (message.empty()) break;
      description += message;
    }
    for (const Step& step : script) {
      c.Send(step.bytes);
      if (step.answered) answers += c.ReadMessage();
    }
    if (more) more(c);
  });
}

void ScriptedDaemon::Join() {
  // A client that never came ends the wait for it instead of hanging.
  if (listener_ >= 0) shutdown(listener_, SHUT_RDWR);
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) close(listener_);
  listener_ = -1;
}

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

}  // namespace

int ConnectLoopback(int port) {
  int fd = OpenStreamSocket();
  sockaddr_in address = Loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return fd;
  close(fd);
  return -1;
}

int ListenLoopback(int* port) {
  int fd = OpenStreamSocket();
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}
