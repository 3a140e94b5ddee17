// The handshake and the messages: what goes on the wire and how every
// reader takes what arrives.
#include "protocol/protocol.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "platform/descriptors.h"
#include "platform/sys.h"
#include "protocol/connection.h"
#include "protocol/field_decoder.h"
#include "support/test_support.h"
#include "support/wire.h"

namespace {

class ProtocolTest : public QuarnTest {};

// A socket pair: the test writes `bytes` into [1] (then closes it) and
// reads from [0]. More than the socket holds is written by a thread, until
// the reader stops reading.
struct Pair {
  explicit Pair(const std::string& bytes) {
    EXPECT_EQ(0, OpenSocketPair(fds));
    int size = 4 << 20;
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    if (bytes.size() <= 2u << 20) {
      EXPECT_EQ(static_cast<ssize_t>(bytes.size()), write(fds[1], bytes.data(), bytes.size()));
      close(fds[1]);
      return;
    }
    writer = std::thread([this, bytes] {
      for (size_t done = 0; done < bytes.size();) {
        ssize_t n = SendOnce(fds[1], bytes.data() + done, bytes.size() - done, 0);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
      close(fds[1]);
    });
  }
  ~Pair() {
    shutdown(fds[0], SHUT_RDWR);  // a writer still sending stops
    if (writer.joinable()) writer.join();
    close(fds[0]);
  }
  int fds[2];
  std::thread writer;
};

// Every reader's code, what a refusal leaves and the cause it names; each
// bound met exactly and passed by one byte.
TEST_F(ProtocolTest, ReaderCodesAndBounds) {
  const std::vector<std::string> any = {"*"};  // fields not compared
  std::string many_fields = "t.";
  for (int i = 0; i < 65; ++i) many_fields += " \"\"";
  std::vector<std::string> extra(63, std::string(1024 * 1024, 'e'));
  extra.insert(extra.begin(), "text");
  std::vector<std::string> at_bound(17, std::string(64 * 1024, 'f'));
  at_bound.front() = std::string(1024 * 1024, 't');  // the text counts apart
  at_bound.back().resize(64 * 1024 - 6);             // 1 MiB with the type
  std::vector<std::string> past_bound = at_bound;
  past_bound.back().push_back('f');
  struct Case {
    std::string bytes;
    int code;
    std::vector<std::string> fields;  // what a failure leaves, or the message
    const char* malformed = nullptr;
  } cases[] = {
      {"x.\n", 0, {}},
      {". \"\"\n", 0, {""}},
      {"arg. \"a\\22b\\5cc\\0d\\0a\"\n", 0, {"a\"b\\c\n"}},
      {"t. \"\\41\" \"raw\nline\r\"\n", 0, {"A", "raw\nline\r"}},
      {"t. \"\\09\\9f\\fe\"\n", 0, {"\t\x9f\xfe"}},  // every digit's value
      {"t. \"\\4A\"\n", -6, {}, "a bad escape"},
      {"t. \"\\G0\"\n", -5, {}, "a bad escape"},
      {"t.  \"a\"\n", -4, {}, "a field without its opening quote"},
      {"t. \"one\" \"two\" x", -4, {"one", "two"}, "a field without its opening quote"},
      {"t. \"a\"\"b\"\n", -3, {"a"}, "a bad byte between fields"},
      {"t. \"a\"\r\n", -3, {"a"}, "a bad byte between fields"},
      {"t{.\n", -1, {}, "a bad byte in its type name"},
      {"t .\n", -1, {}, "a bad byte in its type name"},
      {"", -1, {}},  // the connection ended: nothing malformed
      {"t", -1, {}},
      {"t. \"a", -2, {}},
      {std::string(64 * 1024 + 1, 't') + ".\n", -1, {}, "a type name too long"},
      {many_fields + "\n", -4, any, "too many fields"},
      {EncodeWire("arg", {std::string(64 * 1024 + 1, 'a')}), -4, any, "a field too long"},
      {EncodeWire("stdout", {std::string(1024 * 1024 + 1, 'a')}), -4, any, "a field too long"},
      {EncodeWire("stdout", {std::string(1024 * 1024, 'a')}), 0, any},
      {EncodeWire("stdout", extra), -4, any, "a message too large"},
      {EncodeWire("stdout", at_bound), 0, any},
      {EncodeWire("stdout", past_bound), -4, any, "a message too large"},
  };
  for (const Case& c : cases) {
    std::string name = c.bytes.substr(0, 40);
    Pair pair(c.bytes);
    Connection connection(pair.fds[0]);
    Message m;
    m.type = "stale";
    const char* malformed = "stale";
    EXPECT_EQ(c.code, ReadMessage(connection, m, nullptr, MessageLimits(), &malformed)) << name;
    EXPECT_STREQ(c.malformed, malformed) << name;
    if (c.fields == any) continue;
    EXPECT_EQ(c.code == 0 ? c.bytes.substr(0, c.bytes.find('.')) : "", m.type) << name;
    EXPECT_EQ(c.fields, m.fields) << name;
  }
  // The descriptor form takes nothing after the message's line feed.
  Pair pair("a. \"1\"\nHTTP-ish tail");
  Message m;
  ASSERT_EQ(0, ReadMessage(&pair.fds[0], &m));
  char rest[64];
  ssize_t n = RecvNoWait(pair.fds[0], rest, sizeof(rest), 0);
  EXPECT_EQ("HTTP-ish tail", std::string(rest, n > 0 ? n : 0));
}

size_t g_recv_cap = 1;
ssize_t CappedRecv(int fd, void* data, size_t size, int flags) {
  return ::recv(fd, data, std::min(size, g_recv_cap), flags);
}

// Every state of the reader meets a receive's end: short fields, escapes
// split anywhere, and long fields of every kind of byte whose escapes fall
// at every offset of the decoder's blocks.
TEST_F(ProtocolTest, DecodeUnderEveryReceiveSize) {
  std::string text;
  const char kinds[] = {'a', '\n', '\r', '"', '\\', '\0', '\xff', ' '};
  for (int i = 0; text.size() < 5000; ++i) {
    text.append(static_cast<size_t>(i % 70), 'x');
    text.push_back(kinds[i % 8]);
    if (i % 5 == 0) text.append("\n\n\n");
  }
  std::string expected = text;
  expected.erase(std::remove(expected.begin(), expected.end(), '\r'), expected.end());
  // The writer escapes the same bytes at every offset of its scan: its
  // bytes are the tests' own encoder's.
  for (size_t from : {size_t{0}, size_t{1}, size_t{7}, size_t{15}, size_t{16}, size_t{33}}) {
    int pair[2];
    ASSERT_EQ(0, OpenSocketPair(pair));
    int size = 1 << 20;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    std::string part = text.substr(from);
    ASSERT_EQ(0, WriteMessage(&pair[0], "stdout", "%s", part));
    close(pair[0]);
    std::string sent = WireConnection(pair[1]).ReadMessage();
    EXPECT_EQ(EncodeWire("stdout", {part}), sent) << from;
  }
  // And escapes alone in a block at its last two bytes, their digits past it.
  std::string x63(63, 'x'), tail(200, 'y');
  std::vector<std::string> lone = {x63 + "\n" + tail, x63 + "x\n" + tail, x63 + "x\r" + tail};
  std::vector<std::vector<std::string>> decoded = {
      {"a\"b\\c\n"}, {"", "AB"}, {expected, "second"}, {lone[0], lone[1], x63 + "x" + tail}};
  std::string stream = "arg. \"a\\22b\\5cc\\0d\\0a\"\n. \"\" \"\\41\\42\"\n" +
                       EncodeWire("stdout", {text, "second"}) + EncodeWire("t", lone) +
                       "t. \"\\4A\"\n";
  for (size_t cap : {1, 2, 3, 5, 64, 65, 130, 131, 132, 1000, 65536}) {
    for (bool read_ahead : {true, false}) {
      Pair pair(stream);
      g_recv_cap = cap;
      ScopedSysOverride<decltype(SysCalls::recv)> capped(&SysCalls::recv, &CappedRecv);
      Connection connection(pair.fds[0], read_ahead);
      Message m;
      std::vector<std::vector<std::string>> got;
      int code;
      while ((code = ReadMessage(connection, m, nullptr, MessageLimits())) == 0)
        got.push_back(m.fields);
      EXPECT_EQ(-6, code) << cap;  // at "\4A"
      EXPECT_EQ(decoded, got) << cap;
    }
  }
}

// The block decoder takes every whole block it can, escapes and all (the
// message's states would give the same bytes, slower): it stops only at a
// quote or for want of reach.
TEST_F(ProtocolTest, BlockDecoderTakesWholeBlocks) {
  std::string tail(kBlockReach, 't');
  for (int escapes : {1, 2, 3, 7}) {
    for (const char* escape : {"\\00", "\\0a", "\\0d", "\\5c"}) {
      std::string in, expected;
      for (int block = 0; block < 4; ++block) {
        std::string text(64, 'a' + block);
        for (int k = 0; k < escapes; ++k) text.replace(static_cast<size_t>(60 - 9 * k), 3, escape);
        in += text;
      }
      in += tail + "\"";
      std::string out(in.size() + kBlockReach, '\0');
      Decoded d = DecodeBlocks(in.data(), in.data() + in.size(), &out[0]);
      EXPECT_GE(d.in - in.data(), 4 * 64) << escapes << escape;
      Pair pair("t. \"" + in.substr(0, static_cast<size_t>(d.in - in.data())) + "\"\n");
      Message m;
      ASSERT_EQ(0, ReadMessage(&pair.fds[0], &m)) << escapes << escape;
      EXPECT_EQ(m.fields.at(0), out.substr(0, static_cast<size_t>(d.out - &out[0]))) << escape;
    }
  }
  // A quote ends it where it stands.
  std::string quoted = std::string(100, 'q') + "\"" + tail;
  std::string out(quoted.size() + kBlockReach, '\0');
  EXPECT_EQ(quoted.data() + 100,
            DecodeBlocks(quoted.data(), quoted.data() + quoted.size(), &out[0]).in);
}

ssize_t ShortSend(int, const void*, size_t size, int) { return static_cast<ssize_t>(size / 2); }

TEST_F(ProtocolTest, SendFailures) {
  int fds[2];
  ASSERT_EQ(0, OpenSocketPair(fds));
  // A peer that has gone: an error code, not SIGPIPE.
  close(fds[1]);
  EXPECT_EQ(-2, WriteMessage(&fds[0], "t", "%s", "x"));
  {
    // The description goes in one send: its failure is the first message's.
    ScopedTrace trace(temp_.Sub("trace.txt"));
    EXPECT_EQ(-2, WriteSubCommandDescription(&fds[0], 1, {"echo"}, {"A=1"}, "/"));
    EXPECT_NE(std::string::npos, trace.Contents().find("Error while sending data"));
    EXPECT_NE(std::string::npos, trace.Contents().find("Error while writing message app name"));
  }
  Connection connection(fds[0]);
  std::string cause;
  EXPECT_EQ(-1, Negotiate(connection, "key", nullptr, &cause));
  EXPECT_EQ("the request could not be sent: Broken pipe", cause);
  ScopedSysOverride<decltype(SysCalls::send)> shortened(&SysCalls::send, &ShortSend);
  EXPECT_EQ(-3, WriteMessage(&fds[0], "t", "%s", "x"));
  MessageBatch halves;  // taken a half at a time, until nothing more is taken
  halves.Add("t", "%s", nullptr, 0);
  EXPECT_EQ(-3, halves.Send(&fds[0]));
  EXPECT_EQ(-1, Negotiate(connection, "key", nullptr, &cause));  // the request sent in part
  EXPECT_EQ("the request could not be sent whole", cause);
  close(fds[0]);
}

const char kKey[] = "0123456789ABCDEF0123456789ABCDEF";

// Negotiate against a canned response; its code, the request sent, and
// the cause it gives for -1 and -2.
int Negotiated(const std::string& response, std::string* request = nullptr,
               std::string* cause = nullptr, const char* key = kKey) {
  int pair[2];
  EXPECT_EQ(0, OpenSocketPair(pair));
  EXPECT_EQ(static_cast<ssize_t>(response.size()),
            write(pair[1], response.data(), response.size()));
  shutdown(pair[1], SHUT_WR);
  int code;
  if (cause != nullptr) {
    Connection connection(pair[0]);
    code = Negotiate(connection, key, nullptr, cause);
  } else {
    code = Negotiate(&pair[0], key);
  }
  close(pair[0]);  // what was sent stays to be read
  WireConnection peer(pair[1]);
  if (request) *request = peer.ReadHeaders();
  return code;
}

TEST_F(ProtocolTest, RequestAndResponses) {
  std::string upgrade = kTestUpgradeHeader, token = upgrade.substr(9), request;
  {
    ScopedEnv transcode("QUARN_TRANSCODE_UTF8", nullptr);
    ScopedEnv lc_all("LC_ALL", "C.UTF-8");
    EXPECT_EQ(0, Negotiated(kTestAccept, &request));
    EXPECT_EQ(std::string(kTestRequestLine) + "\r\nX-Secret-Key: " + kKey +
                  "\r\nAccept-Charset: UTF-8\r\nConnection: Upgrade\r\n" + upgrade + "\r\n\r\n",
              request);
  }
  ScopedEnv transcode("QUARN_TRANSCODE_UTF8", "");  // set, even empty: no charset header
  EXPECT_EQ(0, Negotiated(kTestAccept, &request));
  EXPECT_EQ(std::string::npos, request.find("Accept-Charset"));
  struct Case {
    std::string response;
    int code;
    std::string cause;  // for -2
  } cases[] = {
      {"HTTP/1.1 101 X\r\nA: b\r\n" + upgrade + "\r\nC: d\r\n   \r\n", 0, ""},
      {"HTTP/1.1 200 OK\r\n\r\n", -3, ""},
      {"HTTP/1.1 21012 Odd\r\nUpgradeX " + token + "\r\n\r\n", 0, ""},
      {"HTTP/1.1 101 X\r\nupgrade: " + token + "\r\n\r\n", kNegotiateNoUpgradeHeader, ""},
      {"HTTP/1.1 101 X\r\nUpgrade: websocket\r\n\r\n", -4, ""},
      {"HTTP/1.1 101 X\rX", -2, "a carriage return without a line feed"},
      {"HTTP/1.1 101 X\r\n", -2, "the connection ended"},
      {"HTTP/1.1 101 " + std::string(64 * 1024, 'x') + "\r\n\r\n", -2,
       "the response line was too long"},
  };
  for (const Case& c : cases) {
    std::string cause;
    EXPECT_EQ(c.code, Negotiated(c.response, nullptr, &cause)) << c.response.substr(0, 60);
    EXPECT_EQ(c.cause, cause) << c.response.substr(0, 60);
  }
  // A request that does not convert is never sent.
  ScopedEnv lc_all("LC_ALL", "C");
  std::string cause;
  EXPECT_EQ(-1, Negotiated(kTestAccept, &request, &cause, "caf\xE9"));
  EXPECT_EQ("the request could not be converted to UTF-8", cause);
  EXPECT_EQ("", request);
}

TEST_F(ProtocolTest, HandshakeAndMessagesShareTheConnectionsBuffer) {
  int pair[2];
  ASSERT_EQ(0, OpenSocketPair(pair));
  // The response and the first messages arrive in one piece: what the
  // handshake receives past its empty line is the message reader's.
  std::string bytes = std::string(kTestAccept) + "stdout. \"early\"\nexit-code. \"\\05\"\n";
  ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(pair[1], bytes.data(), bytes.size()));
  Connection connection(pair[0]);
  EXPECT_EQ(0, Negotiate(connection, kKey, nullptr));
  Message m;
  ASSERT_EQ(0, ReadMessage(connection, m, nullptr, MessageLimits()));
  EXPECT_EQ((std::vector<std::string>{"early"}), m.fields);
  ASSERT_EQ(0, ReadMessage(connection, m, nullptr, MessageLimits()));
  EXPECT_EQ("exit-code", m.type);
  close(pair[0]);
  close(pair[1]);
}

}  // namespace
