// The test side of the wire: its own encoder of messages, written apart
// from the product's so that the two check each other, and loopback
// sockets.
#ifndef QUARN_TESTS_SUPPORT_WIRE_H_
#define QUARN_TESTS_SUPPORT_WIRE_H_

#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

// The handshake as a daemon expects and answers it: the tests' own copy,
// so that a typo in the product's does not pass.
constexpr char kTestRequestLine[] =
    "GET /com.dorvane.team.filesystem.cli.client.internal.daemon.CommandLineClient HTTP/1.1";
constexpr char kTestUpgradeHeader[] = "Upgrade: vnd.dorvane.mellix.cli.minimal-1.0";
/// A 101 response that accepts the upgrade.
constexpr char kTestAccept[] =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: vnd.dorvane.mellix.cli.minimal-1.0\r\n\r\n";

/// type "." then ` "field"` per field, escaping LF, CR, quote, backslash.
std::string EncodeWire(const std::string& type, const std::vector<std::string>& fields);

/// A blocking connection read a byte at a time, so that nothing past what
/// it returns is taken. A message is one line: its line feeds are escaped.
class WireConnection {
 public:
  explicit WireConnection(int fd);
  ~WireConnection() { close(fd_); }
  /// HTTP headers up to the empty line, with their CR LFs.
  std::string ReadHeaders() { return ReadUntil("\r\n\r\n"); }
  /// One message as it came, its line feed included; "" at the end.
  std::string ReadMessage() { return ReadUntil("\n"); }
  void Send(const std::string& bytes);

 private:
  std::string ReadUntil(const std::string& end);
  int fd_;
};

/// One thing a scripted daemon sends; `answered`: it then reads the reply.
struct Step {
  std::string bytes;
  bool answered = false;
};

/// A daemon played by the test on loopback, in a thread of its own. It
/// reads the request and answers kTestAccept (unless `accepts` is false:
/// then the steps follow the request at once), reads the description, sends
/// the steps and reads the replies, runs `more`, and hangs up. With
/// `listens` false nothing listens on its port.
class ScriptedDaemon {
 public:
  explicit ScriptedDaemon(std::vector<Step> script, bool accepts = true, bool listens = true,
                          std::function<void(WireConnection&)> more = nullptr);
  ~ScriptedDaemon() { Join(); }
  int port() const { return port_; }
  /// Waits for the conversation to end (call it once the client has
  /// finished); what it read is then complete.
  void Join();
  std::string request, description, answers;

 private:
  int port_ = 0, listener_ = -1;
  std::thread thread_;
};

/// Listens on 127.0.0.1, port chosen by the system.
int ListenLoopback(int* port);
/// A connection to 127.0.0.1:port, or -1.
int ConnectLoopback(int port);

#endif  // QUARN_TESTS_SUPPORT_WIRE_H_
