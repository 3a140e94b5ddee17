// The test side's own encoder and decoder of framed messages, written apart
// from the product's so that the two check each other.
#ifndef QUARN_TESTS_SUPPORT_WIRE_H_
#define QUARN_TESTS_SUPPORT_WIRE_H_

#include <string>
#include <vector>

// The handshake as a daemon expects and answers it: the tests' own copy,
// so that a typo in the product's does not pass.
constexpr char kTestRequestLine[] =
    "GET /com.dorvane.team.filesystem.cli.client.internal.daemon.CommandLineClient HTTP/1.1";
constexpr char kTestUpgradeHeader[] = "Upgrade: vnd.dorvane.mellix.cli.minimal-1.0";
/// A 101 response that accepts the upgrade.
constexpr char kTestAccept[] =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: vnd.dorvane.mellix.cli.minimal-1.0\r\n\r\n";

struct WireMessage {
  std::string type;
  std::vector<std::string> fields;
};

/// type "." then ` "field"` per field, escaping LF, CR, quote, backslash.
std::string EncodeWire(const std::string& type, const std::vector<std::string>& fields);

/// A blocking connection with a byte-at-a-time reader.
class WireConnection {
 public:
  explicit WireConnection(int fd);
  ~WireConnection();
  int fd() const { return fd_; }
  /// Reads HTTP headers up to the empty line; returns them with CR LFs.
  std::string ReadHeaders();
  /// Decodes one message; false at end of stream or on bad input.
  bool Read(WireMessage& message);
  void Send(const std::string& bytes);
  void Close();

 private:
  bool ReadByte(char& c);
  int fd_;
};

/// Listens on 127.0.0.1, port chosen by the system.
int ListenLoopback(int* port);

#endif  // QUARN_TESTS_SUPPORT_WIRE_H_
