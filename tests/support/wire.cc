#include "support/wire.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

std::string EncodeWire(const std::string& type, const std::vector<std::string>& fields) {
  std::string out = type + ".";
  for (const std::string& field : fields) {
    out += " \"";
    for (char c : field) {
      char escaped[4];
      switch (c) {
      case '\n':
      case '\r':
      case '"':
      case '\\':
        snprintf(escaped, sizeof(escaped), "\\%02x", static_cast<unsigned char>(c));
        out += escaped;
        break;
      default:
        out += c;
      }
    }
    out += "\"";
  }
  return out + "\n";
}

WireConnection::WireConnection(int fd) : fd_(fd) {
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));  // fails quietly on AF_UNIX
}

WireConnection::~WireConnection() { Close(); }

void WireConnection::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool WireConnection::ReadByte(char& c) {
  for (;;) {
    ssize_t n = recv(fd_, &c, 1, 0);
    if (n == 1) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

std::string WireConnection::ReadHeaders() {
  std::string headers;
  char c;
  while (ReadByte(c)) {
    headers += c;
    if (headers.size() >= 4 && headers.compare(headers.size() - 4, 4, "\r\n\r\n") == 0) break;
  }
  return headers;
}

bool WireConnection::Read(WireMessage& message) {
  message = WireMessage();
  char c;
  while (ReadByte(c) && c != '.') message.type += c;
  if (c != '.') return false;
  for (;;) {
    if (!ReadByte(c)) return false;
    if (c == '\n') return true;
    if (c != ' ' || !ReadByte(c) || c != '"') return false;
    std::string field;
    for (;;) {
      if (!ReadByte(c)) return false;
      if (c == '"') break;
      if (c == '\\') {
        char hex[3] = {0, 0, 0};
        if (!ReadByte(hex[0]) || !ReadByte(hex[1])) return false;
        char value = static_cast<char>(strtol(hex, nullptr, 16));
        if (value != '\r') field += value;
      } else {
        field += c;
      }
    }
    message.fields.push_back(field);
  }
}

void WireConnection::Send(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

int ListenLoopback(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in address;
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(fd, 16) != 0) {
    close(fd);
    return -1;
  }
  socklen_t length = sizeof(address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}
