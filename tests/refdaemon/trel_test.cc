// The reference daemon driven directly over its socket by the test's own
// wire client.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/files.h"
#include "registry/registry.h"
#include "support/process.h"
#include "support/test_support.h"
#include "support/wire.h"

namespace {

struct Trel {
  pid_t pid = -1;
  int port = -1;
  std::string key;
};

class TrelTest : public QuarnTest {
 protected:
  void SetUp() override {
    QuarnTest::SetUp();
    config_ = temp_.Sub("config");
  }
  void TearDown() override {
    for (const Trel& t : started_) {
      kill(t.pid, SIGKILL);
      WaitChild(t.pid);
    }
    QuarnTest::TearDown();
  }
  // Starts trel and reads its two lines; err collects its standard error.
  Trel Start(const std::string& connectionMs = "5000", const std::string& inactiveMs = "60000",
             std::vector<std::string> argv = {}) {
    if (argv.empty()) {
      argv = {
          TREL_BINARY,  "--config",           config_,   "daemon", "start", "--connection-timeout",
          connectionMs, "--inactive-timeout", inactiveMs};
    }
    int out[2];
    EXPECT_EQ(0, pipe2(out, O_CLOEXEC));
    std::string err_path = temp_.Sub("trel.err");
    Trel t;
    t.pid = fork();
    if (t.pid == 0) {
      dup2(out[1], 1);
      int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(err, 2);
      std::vector<char*> args;
      for (std::string& a : argv) args.push_back(&a[0]);
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(out[1]);
    std::string text;
    char c;
    while (read(out[0], &c, 1) == 1) {
      text += c;
      if (text.find("Key: ") != std::string::npos && c == '\n') break;
    }
    close(out[0]);
    if (sscanf(text.c_str(), "Port: %d", &t.port) == 1) {
      t.key = text.substr(text.find("Key: ") + 5, 32);
      started_.push_back(t);
    }
    return t;
  }
  int Connect(const Trel& t) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(t.port));
    EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    return fd;
  }
  static std::string Request(const std::string& key, const std::string& line = kTestRequestLine,
                             bool upgrade = true) {
    std::string r = line + "\r\nX-Secret-Key: " + key + "\r\nConnection: Upgrade\r\n";
    if (upgrade) r += std::string(kTestUpgradeHeader) + "\r\n";
    return r + "\r\n";
  }
  // Handshake and description; returns the connection ready for replies.
  void Begin(WireConnection& c, const Trel& t, const std::vector<std::string>& args) {
    c.Send(Request(t.key));
    std::string response = c.ReadHeaders();
    ASSERT_NE(std::string::npos, response.find(" 101 ")) << response;
    c.Send(EncodeWire("app", {"quarn"}));
    for (const std::string& a : args) c.Send(EncodeWire("arg", {a}));
    c.Send(EncodeWire("env", {"NAME", "value=1"}));
    c.Send(EncodeWire("cwd", {"/some/where"}));
    c.Send(EncodeWire("preamble-done", {}));
  }
  std::vector<WireMessage> Rest(WireConnection& c) {
    std::vector<WireMessage> all;
    WireMessage m;
    while (c.Read(m)) all.push_back(m);
    return all;
  }
  std::string config_;
  std::vector<Trel> started_;
};

TEST_F(TrelTest, PublishesAnEntryTheRegistryReads) {
  Trel t = Start();
  ASSERT_GT(t.port, 0);
  EXPECT_EQ(32u, t.key.size());
  DaemonLocation location;
  ASSERT_EQ(0, FindDaemon(config_ + "/daemons", temp_.path(), &location));
  EXPECT_EQ(t.port, location.port);
  EXPECT_EQ(t.key, location.key);
  // Killed, it leaves a stale entry that the next lookup deletes.
  kill(t.pid, SIGKILL);
  WaitChild(t.pid);
  started_.clear();
  EXPECT_EQ(-3, FindDaemon(config_ + "/daemons", temp_.path(), &location));
  std::vector<std::string> names;
  EXPECT_EQ(0, ListFileSystemEntries(config_ + "/daemons", names, true));
  EXPECT_TRUE(names.empty());
}

TEST_F(TrelTest, HandshakeRefusals) {
  Trel t = Start();
  struct Case {
    std::string request, status;
  } cases[] = {
      {Request(std::string(32, '0')), " 403 "},
      {Request(t.key.substr(0, 31)), " 403 "},
      {Request(t.key, "GET / HTTP/1.1"), " 400 "},
      {Request(t.key, kTestRequestLine, false), " 400 "},
  };
  for (const Case& c : cases) {
    WireConnection conn(Connect(t));
    conn.Send(c.request);
    std::string response = conn.ReadHeaders();
    EXPECT_NE(std::string::npos, response.find(c.status)) << response;
    EXPECT_EQ(std::string::npos, response.find("101"));
    WireMessage m;
    EXPECT_FALSE(conn.Read(m));  // closed
  }
}

TEST_F(TrelTest, Commands) {
  Trel t = Start();
  struct Case {
    std::vector<std::string> args;
    std::string out, err;
    char code;
  } cases[] = {
      {{"--config", "x", "-d", "y", "echo", "a", "b"}, "a b\n", "", 0},
      {{"env", "NAME"}, "value=1\n", "", 0},
      {{"env", "MISSING"}, "", "", 1},
      {{"pwd"}, "/some/where\n", "", 0},
      {{"fail", "200"}, "", "", static_cast<char>(200)},
      {{"stderr", "boom"}, "", "boom\n", 0},
      {{"bogus"}, "", "unknown command: bogus\n", 1},
      {{"flood", "70000", "32768"}, std::string(), "", 0},
  };
  for (const Case& c : cases) {
    WireConnection conn(Connect(t));
    Begin(conn, t, c.args);
    std::string out, err;
    std::vector<WireMessage> all = Rest(conn);
    ASSERT_FALSE(all.empty());
    for (size_t i = 0; i + 1 < all.size(); ++i) {
      (all[i].type == "stdout" ? out : err) += all[i].fields.at(0);
    }
    EXPECT_EQ("exit-code", all.back().type);
    EXPECT_EQ(std::string(1, c.code), all.back().fields.at(0));
    if (c.args[0] == "flood") {
      EXPECT_EQ(70000u, out.size());
      EXPECT_EQ(3u, all.size() - 1);
    } else {
      EXPECT_EQ(c.out, out);
    }
    EXPECT_EQ(c.err, err);
  }
}

TEST_F(TrelTest, ConsoleRequestsAndConcurrentConnections) {
  Trel t = Start();
  WireConnection cat(Connect(t));
  Begin(cat, t, {"cat"});
  WireMessage m;
  ASSERT_TRUE(cat.Read(m));
  EXPECT_EQ("stdin-request", m.type);
  EXPECT_EQ("32768", m.fields.at(0));
  // While that command waits for input, another is served.
  WireConnection echo(Connect(t));
  Begin(echo, t, {"echo", "meanwhile"});
  std::vector<WireMessage> all = Rest(echo);
  ASSERT_EQ(2u, all.size());
  EXPECT_EQ("meanwhile\n", all[0].fields.at(0));
  cat.Send(EncodeWire("stdin-response", {"typed\n"}));
  ASSERT_TRUE(cat.Read(m));
  EXPECT_EQ("typed\n", m.fields.at(0));
  ASSERT_TRUE(cat.Read(m));
  EXPECT_EQ("stdin-request", m.type);
  cat.Send(EncodeWire("stdin-closed", {}));
  ASSERT_TRUE(cat.Read(m));
  EXPECT_EQ("exit-code", m.type);

  WireConnection login(Connect(t));
  Begin(login, t, {"login"});
  ASSERT_TRUE(login.Read(m));
  EXPECT_EQ((std::vector<std::string>{"Password: ", "true"}), m.fields);
  login.Send(EncodeWire("password-entered", {""}));
  all = Rest(login);
  ASSERT_EQ(2u, all.size());
  EXPECT_EQ("stderr", all[0].type);
  EXPECT_EQ(std::string(1, 1), all[1].fields.at(0));
}

TEST_F(TrelTest, ConnectionTimeoutClosesASilentClient) {
  Trel t = Start("200");
  WireConnection conn(Connect(t));
  conn.Send("GET /com");  // and nothing more
  WireMessage m;
  EXPECT_FALSE(conn.Read(m));  // closed by the daemon, not by us
}

TEST_F(TrelTest, InactivityEndsTheDaemonAndDeletesItsEntry) {
  Trel t = Start("5000", "300");
  ASSERT_GT(t.port, 0);
  EXPECT_EQ(0, WaitChild(t.pid));
  started_.clear();
  std::vector<std::string> names;
  EXPECT_EQ(0, ListFileSystemEntries(config_ + "/daemons", names, true));
  EXPECT_TRUE(names.empty());
}

TEST_F(TrelTest, StopDeletesTheEntry) {
  Trel t = Start();
  WireConnection conn(Connect(t));
  Begin(conn, t, {"daemon", "stop"});
  Rest(conn);
  EXPECT_EQ(0, WaitChild(t.pid));
  started_.clear();
  std::vector<std::string> names;
  EXPECT_EQ(0, ListFileSystemEntries(config_ + "/daemons", names, true));
  EXPECT_TRUE(names.empty());
}

TEST_F(TrelTest, UsageErrors) {
  for (std::vector<std::string> argv :
       {std::vector<std::string>{TREL_BINARY},
        {TREL_BINARY, "--config", "x", "daemon", "stop"},
        {TREL_BINARY, "--config", config_, "daemon", "start", "--connection-timeout", "abc",
         "--inactive-timeout", "1"}}) {
    Trel t = Start("", "", argv);
    EXPECT_EQ(-1, t.port);
    EXPECT_EQ(2, WaitChild(t.pid));
    EXPECT_NE(std::string::npos, ReadFile(temp_.Sub("trel.err")).find("usage: trel"));
  }
}

}  // namespace
