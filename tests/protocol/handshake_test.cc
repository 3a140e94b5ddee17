#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "protocol/connection.h"
#include "protocol/protocol.h"
#include "support/test_support.h"
#include "support/wire.h"

namespace {

class HandshakeTest : public QuarnTest {
 protected:
  // Runs Negotiate against a canned response; returns its code and the request.
  int Run(const std::string& response, std::string* request = nullptr) {
    int pair[2];
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
    EXPECT_EQ(static_cast<ssize_t>(response.size()),
              write(pair[1], response.data(), response.size()));
    shutdown(pair[1], SHUT_WR);
    int code = Negotiate(&pair[0], "0123456789ABCDEF0123456789ABCDEF");
    WireConnection peer(pair[1]);
    std::string headers = peer.ReadHeaders();
    if (request) *request = headers;
    close(pair[0]);
    return code;
  }
};

const char* const kOk = kTestAccept;
const std::string kUpgrade = kTestUpgradeHeader;

TEST_F(HandshakeTest, RequestBytes) {
  ScopedEnv transcode("QUARN_TRANSCODE_UTF8", nullptr);
  ScopedEnv lc_all("LC_ALL", "C.UTF-8");
  std::string request;
  EXPECT_EQ(0, Run(kOk, &request));
  EXPECT_EQ(std::string(kTestRequestLine) +
                "\r\nX-Secret-Key: 0123456789ABCDEF0123456789ABCDEF\r\n"
                "Accept-Charset: UTF-8\r\n"
                "Connection: Upgrade\r\n" +
                kUpgrade + "\r\n\r\n",
            request);
  ScopedEnv on("QUARN_TRANSCODE_UTF8", "");
  EXPECT_EQ(0, Run(kOk, &request));
  EXPECT_EQ(std::string::npos, request.find("Accept-Charset"));
}

TEST_F(HandshakeTest, ResponseTable) {
  struct Case {
    std::string response;
    int code;
  } cases[] = {
      {kOk, 0},
      {"HTTP/1.1 101 X\r\nA: b\r\n" + kUpgrade + "\r\nC: d\r\n   \r\n", 0},
      {"HTTP/1.1 200 OK\r\n\r\n", -3},
      {"HTTP/1.1 21012 Odd\r\nUpgradeX " + kUpgrade.substr(9) + "\r\n\r\n", 0},
      {"HTTP/1.1 101 X\r\nupgrade: " + kUpgrade.substr(9) + "\r\n\r\n", kNegotiateNoUpgradeHeader},
      {"HTTP/1.1 101 X\r\nUpgrade: websocket\r\n\r\n", -4},
      {"HTTP/1.1 101 X\rX", -2},
      {"HTTP/1.1 101 X\r\n", -2},
      {"", -2},
  };
  for (const Case& c : cases) EXPECT_EQ(c.code, Run(c.response)) << c.response;
}

TEST_F(HandshakeTest, HandshakeAndMessagesShareTheConnectionsBuffer) {
  int pair[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
  // The response and the first messages arrive in one piece: what the
  // handshake receives past its empty line is the message reader's.
  std::string bytes = std::string(kOk) + "stdout. \"early\"\nexit-code. \"\\05\"\n";
  ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(pair[1], bytes.data(), bytes.size()));
  Connection connection(pair[0]);
  std::string refused;
  EXPECT_EQ(0, Negotiate(connection, "0123456789ABCDEF0123456789ABCDEF", &refused));
  Message m;
  ASSERT_EQ(0, ReadMessage(connection, m, nullptr, MessageLimits()));
  EXPECT_EQ((std::vector<std::string>{"early"}), m.fields);
  ASSERT_EQ(0, ReadMessage(connection, m, nullptr, MessageLimits()));
  EXPECT_EQ("exit-code", m.type);
  // A response line past its limit is a malformed response.
  std::string huge = "HTTP/1.1 101 " + std::string(64 * 1024, 'x') + "\r\n\r\n";
  ASSERT_EQ(static_cast<ssize_t>(huge.size()), write(pair[1], huge.data(), huge.size()));
  EXPECT_EQ(-2, Negotiate(connection, "0123456789ABCDEF0123456789ABCDEF", &refused));
  close(pair[0]);
  close(pair[1]);
}

TEST_F(HandshakeTest, ReadLineKeepsWhatFollows) {
  int pair[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
  std::string bytes = "  one\n two \r\nx\ry\r\nmsg. \"a\"\n";
  ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(pair[1], bytes.data(), bytes.size()));
  std::string line;
  EXPECT_EQ(0, ReadLine(&pair[0], line));
  EXPECT_EQ("one\n two", line);
  EXPECT_EQ(1, ReadLine(&pair[0], line));
  EXPECT_EQ("x", line);
  EXPECT_EQ(0, ReadLine(&pair[0], line));  // the 'y' after the lone CR's byte
  Message m;
  EXPECT_EQ(0, ReadMessage(&pair[0], &m));
  EXPECT_EQ("msg", m.type);
  int bad = -1;
  EXPECT_EQ(-1, ReadLine(&bad, line));
  EXPECT_EQ(-1, Negotiate(&pair[0], ""));
  close(pair[0]);
  close(pair[1]);
}

}  // namespace
