#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "platform/sys.h"
#include "protocol/connection.h"
#include "protocol/protocol.h"
#include "support/test_support.h"
#include "support/wire.h"

namespace {

class MessageTest : public QuarnTest {
 protected:
  void SetUp() override {
    QuarnTest::SetUp();
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_));
  }
  void TearDown() override {
    for (int fd : fds_) {
      if (fd >= 0) close(fd);
    }
    QuarnTest::TearDown();
  }
  std::string Drain() {
    shutdown(fds_[0], SHUT_WR);
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds_[1], buffer, sizeof(buffer))) > 0) out.append(buffer, n);
    return out;
  }
  void Feed(const std::string& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(fds_[1], bytes.data(), bytes.size()));
  }
  int fds_[2] = {-1, -1};
};

TEST_F(MessageTest, WorkedExamplesOnTheWire) {
  ASSERT_EQ(0, WriteMessage(&fds_[0], "stdout", "%s", "hi"));
  ASSERT_EQ(0, WriteMessage(&fds_[0], "env", "%s%s", "PATH", "/bin"));
  ASSERT_EQ(0, WriteMessage(&fds_[0], "preamble-done", ""));
  ASSERT_EQ(0, WriteMessage(&fds_[0], "arg", "%s", "a\"b\\c\r\n"));
  ASSERT_EQ(0, WriteMessage(&fds_[0], "t", "%s-%s%", "x", "y"));  // '-' and lone '%' ignored
  ASSERT_EQ(0, WriteMessage(&fds_[0], "stdin-response", "%s", std::string("a\0b", 3)));
  EXPECT_EQ(std::string("stdout. \"hi\"\n"
                        "env. \"PATH\" \"/bin\"\n"
                        "preamble-done.\n"
                        "arg. \"a\\22b\\5cc\\0d\\0a\"\n"
                        "t. \"x\" \"y\"\n"
                        "stdin-response. \"a\0b\"\n",
                        13 + 19 + 15 + 23 + 11 + 22),
            Drain());
}

TEST_F(MessageTest, RefusesBadArguments) {
  Message message;
  int bad = -1;
  EXPECT_EQ(-1, WriteMessage(nullptr, "t", ""));
  EXPECT_EQ(-1, WriteMessage(&bad, "t", ""));
  EXPECT_EQ(-1, ReadMessage(&bad, &message));
  EXPECT_EQ(-1, ReadMessage(&fds_[0], nullptr));
}

TEST_F(MessageTest, ReadsWellFormedMessagesOneAtATime) {
  Feed(
      "arg. \"a\\22b\\5cc\\0d\\0a\"\nx.\n. \"\"\nstdout. \"hi\\0d\\0a\"\n"
      "t. \"\\41\"\nt. \"raw\nline\r\"\n");
  Message m;
  ASSERT_EQ(0, ReadMessage(&fds_[0], &m));
  EXPECT_EQ("arg", m.type);
  EXPECT_EQ((std::vector<std::string>{"a\"b\\c\n"}), m.fields);
  ASSERT_EQ(0, ReadMessage(&fds_[0], &m));
  EXPECT_EQ("x", m.type);
  EXPECT_TRUE(m.fields.empty());
  ASSERT_EQ(0, ReadMessage(&fds_[0], &m));
  EXPECT_EQ("", m.type);
  EXPECT_EQ((std::vector<std::string>{""}), m.fields);
  ASSERT_EQ(0, ReadMessage(&fds_[0], &m));
  EXPECT_EQ((std::vector<std::string>{"hi\n"}), m.fields);
  ASSERT_EQ(0, ReadMessage(&fds_[0], &m));
  EXPECT_EQ((std::vector<std::string>{"A"}), m.fields);
  ASSERT_EQ(0, ReadMessage(&fds_[0], &m));
  EXPECT_EQ((std::vector<std::string>{"raw\nline\r"}), m.fields);
}

TEST_F(MessageTest, MalformedInputCodes) {
  struct Case {
    std::string bytes;
    int code;
  } cases[] = {
      {"t. \"\\4A\"\n", -6}, {"t. \"\\G0\"\n", -5},
      {"t.  \"a\"\n", -4},   {"t. \"a\"\"b\"\n", -3},
      {"t. \"a\"\r\n", -3},  {"t{.\n", -1},
      {"t .\n", -1},         {"", -1},
      {"t. \"a", -2},        {"t", -1},
  };
  for (const Case& c : cases) {
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
    ASSERT_EQ(static_cast<ssize_t>(c.bytes.size()), write(pair[1], c.bytes.data(), c.bytes.size()));
    close(pair[1]);
    Message m;
    m.type = "stale";
    EXPECT_EQ(c.code, ReadMessage(&pair[0], &m)) << c.bytes;
    EXPECT_EQ("", m.type) << c.bytes;
    close(pair[0]);
  }
}

TEST_F(MessageTest, CompletedFieldsStayAfterAFailure) {
  Feed("t. \"one\" \"two\" x");
  Message m;
  EXPECT_EQ(-4, ReadMessage(&fds_[0], &m));
  EXPECT_EQ((std::vector<std::string>{"one", "two"}), m.fields);
}

TEST_F(MessageTest, NothingAfterTheLineFeedIsConsumed) {
  Feed("a. \"1\"\nHTTP-ish tail");
  Message m;
  ASSERT_EQ(0, ReadMessage(&fds_[0], &m));
  char rest[64];
  ssize_t n = recv(fds_[0], rest, sizeof(rest), MSG_DONTWAIT);
  EXPECT_EQ("HTTP-ish tail", std::string(rest, n > 0 ? n : 0));
}

TEST_F(MessageTest, SplitDeliveryAcrossManyWrites) {
  std::string bytes = EncodeWire("stdout", {std::string(100000, 'x') + "\"\\\n"}) +
                      EncodeWire("exit-code", {"\x01"});
  std::thread writer([&] {
    for (size_t i = 0; i < bytes.size(); i += 777) {
      std::string piece = bytes.substr(i, 777);
      if (write(fds_[1], piece.data(), piece.size()) < 0) return;
    }
  });
  Message m;
  EXPECT_EQ(0, ReadMessage(&fds_[0], &m));
  EXPECT_EQ(std::string(100000, 'x') + "\"\\\n", m.fields.at(0));
  EXPECT_EQ(0, ReadMessage(&fds_[0], &m));
  EXPECT_EQ("exit-code", m.type);
  writer.join();
}

// Receives of at most a few bytes: every state of the reader meets a chunk
// boundary, escapes split across chunks included.
size_t g_recv_cap = 1;
ssize_t TinyRecv(int fd, void* data, size_t size, int flags) {
  return ::recv(fd, data, std::min(size, g_recv_cap), flags);
}

TEST_F(MessageTest, TinyReceivesDecodeTheSame) {
  std::string stream = "arg. \"a\\22b\\5cc\\0d\\0a\"\nx.\n. \"\" \"\\41\\42\"\nt. \"\\4";
  for (size_t cap : {1, 2, 3, 5}) {
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
    ASSERT_EQ(static_cast<ssize_t>(stream.size()), write(pair[1], stream.data(), stream.size()));
    ASSERT_EQ(2, write(pair[1], "A\"", 2));
    close(pair[1]);
    g_recv_cap = cap;
    ScopedSysOverride<decltype(SysCalls::recv)> tiny(&SysCalls::recv, &TinyRecv);
    Message m;
    ASSERT_EQ(0, ReadMessage(&pair[0], &m)) << cap;
    EXPECT_EQ((std::vector<std::string>{"a\"b\\c\n"}), m.fields);
    ASSERT_EQ(0, ReadMessage(&pair[0], &m));
    EXPECT_EQ("x", m.type);
    ASSERT_EQ(0, ReadMessage(&pair[0], &m));
    EXPECT_EQ((std::vector<std::string>{"", "AB"}), m.fields);
    EXPECT_EQ(-6, ReadMessage(&pair[0], &m)) << cap;  // \4A: upper-case second digit
    close(pair[0]);
  }
}

// Long fields of every kind of byte, the escaped ones at every offset of
// the decoder's blocks, read under receive sizes that cut them anywhere.
TEST_F(MessageTest, LongFieldsDecodeTheSameUnderEveryReceiveSize) {
  std::string text;
  const char kinds[] = {'a', '\n', '\r', '"', '\\', '\0', '\xff', ' '};
  for (int i = 0; text.size() < 5000; ++i) {
    text.append(static_cast<size_t>(i % 70), 'x');
    text.push_back(kinds[i % 8]);
    if (i % 5 == 0) text.append("\n\n\n");
  }
  std::string expected = text;
  expected.erase(std::remove(expected.begin(), expected.end(), '\r'), expected.end());
  // And escapes alone in a block at its last two bytes, their digits past it.
  std::string x63(63, 'x'), tail(200, 'y');
  std::vector<std::string> lone = {x63 + "\n" + tail, x63 + "x\n" + tail, x63 + "x\r" + tail};
  std::string stream = EncodeWire("stdout", {text, "second"}) + EncodeWire("t", {text}) +
                       EncodeWire("t", lone) + "x.\n";
  for (size_t cap : {1, 2, 3, 7, 64, 65, 130, 131, 132, 1000, 65536}) {
    for (bool read_ahead : {true, false}) {
      int pair[2];
      ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
      int size = 1 << 20;
      setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
      ASSERT_EQ(static_cast<ssize_t>(stream.size()), write(pair[1], stream.data(), stream.size()));
      close(pair[1]);
      g_recv_cap = cap;
      ScopedSysOverride<decltype(SysCalls::recv)> tiny(&SysCalls::recv, &TinyRecv);
      Connection connection(pair[0], read_ahead);
      Message m;
      ASSERT_EQ(0, ReadMessage(connection, m, nullptr, MessageLimits())) << cap;
      EXPECT_EQ((std::vector<std::string>{expected, "second"}), m.fields) << cap;
      ASSERT_EQ(0, ReadMessage(connection, m, nullptr, MessageLimits())) << cap;
      EXPECT_EQ(expected, m.fields.at(0)) << cap;
      ASSERT_EQ(0, ReadMessage(connection, m, nullptr, MessageLimits())) << cap;
      EXPECT_EQ((std::vector<std::string>{lone[0], lone[1], x63 + "x" + tail}), m.fields) << cap;
      ASSERT_EQ(0, ReadMessage(connection, m, nullptr, MessageLimits())) << cap;
      EXPECT_EQ("x", m.type);
      close(pair[0]);
    }
  }
}

TEST_F(MessageTest, EveryReaderHasABound) {
  MessageLimits limits;
  std::string many_fields = "t.";
  for (int i = 0; i < 65; ++i) many_fields += " \"\"";
  struct Case {
    std::string bytes;
    int code;
  } cases[] = {
      {std::string(64 * 1024 + 1, 't') + ".\n", -1},
      {many_fields + "\n", -4},
      {EncodeWire("arg", {std::string(64 * 1024 + 1, 'a')}), -4},
      {EncodeWire("stdout", {std::string(1024 * 1024 + 1, 'a')}), -4},
      {EncodeWire("stdout", {std::string(1024 * 1024, 'a')}), 0},
  };
  for (const Case& c : cases) {
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
    std::thread writer([&] {
      if (send(pair[1], c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL) < 0) return;
    });
    Connection connection(pair[0]);
    Message m;
    EXPECT_EQ(c.code, ReadMessage(connection, m, nullptr, limits)) << c.bytes.size();
    close(pair[0]);  // ends the writer of a refused message
    writer.join();
    close(pair[1]);
  }
}

int g_recv_calls = 0;
ssize_t CountingRecv(int fd, void* data, size_t size, int flags) {
  ++g_recv_calls;
  return ::recv(fd, data, size, flags);
}

TEST_F(MessageTest, TwoMessagesOf32KiBCostAtMostTwoReceives) {
  int size = 1 << 20;
  setsockopt(fds_[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
  setsockopt(fds_[0], SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  std::string text;
  for (int i = 0; text.size() < 32768; ++i) text += "line " + std::to_string(i) + "\n";
  text.resize(32768);
  std::string bytes = EncodeWire("stdout", {text});
  Feed(bytes + bytes);
  ScopedSysOverride<decltype(SysCalls::recv)> count(&SysCalls::recv, &CountingRecv);
  g_recv_calls = 0;
  Connection connection(fds_[0]);
  Message m;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(0, ReadMessage(connection, m, nullptr, MessageLimits()));
    EXPECT_EQ(text, m.fields.at(0));
  }
  EXPECT_LE(g_recv_calls, 2);
}

ssize_t FailingSend(int, const void*, size_t, int) {
  errno = EPIPE;
  return -1;
}
ssize_t ShortSend(int, const void*, size_t size, int) { return static_cast<ssize_t>(size / 2); }

TEST_F(MessageTest, SendFailures) {
  {
    ScopedSysOverride<decltype(SysCalls::send)> fail(&SysCalls::send, &FailingSend);
    EXPECT_EQ(-2, WriteMessage(&fds_[0], "t", "%s", "x"));
  }
  {
    ScopedSysOverride<decltype(SysCalls::send)> shortened(&SysCalls::send, &ShortSend);
    EXPECT_EQ(-3, WriteMessage(&fds_[0], "t", "%s", "x"));
  }
  // A peer that has gone: an error code, not SIGPIPE.
  close(fds_[1]);
  fds_[1] = -1;
  EXPECT_EQ(-2, WriteMessage(&fds_[0], "t", "%s", "x"));
}

TEST_F(MessageTest, PasswordIsMaskedInTheTrace) {
  ScopedTrace trace(temp_.Sub("t.txt"));
  ASSERT_EQ(0, WriteMessage(&fds_[0], "password-entered", "%s", "hunter2"));
  std::string text = trace.Contents();
  EXPECT_EQ(std::string::npos, text.find("hunter2"));
  EXPECT_NE(std::string::npos,
            text.find("WriteMessage(): Sending... password-entered. \"********\"0x0A"));
  EXPECT_EQ("password-entered. \"hunter2\"\n", Drain());
}

}  // namespace
