// DoExecuteCommand against a scripted daemon on loopback. The client runs
// in a forked child with its standard streams on files; the test plays the
// daemon with its own encoder and decoder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "platform/sys.h"
#include "protocol/protocol.h"
#include "support/test_support.h"
#include "support/wire.h"

extern char** environ;

namespace {

const char kKey[] = "00112233445566778899AABBCCDDEEFF";
const char* const kAccept = kTestAccept;

struct Outcome {
  int result = 0;
  int exit_code = 0;
  int writes = 0;  // write calls on standard output and error
  std::string out, err;
  std::vector<WireMessage> description;  // up to preamble-done
};

int g_writes = 0;
ssize_t CountingWrite(int fd, const void* data, size_t size) {
  if (fd == 1 || fd == 2) ++g_writes;
  return ::write(fd, data, size);
}

class ExchangeTest : public QuarnTest {
 protected:
  bool merge_streams_ = false;  // standard output and error into one file

  // Runs the client with `args` and `stdin_text`; `daemon` scripts the rest
  // of the conversation after the description has been read.
  Outcome Run(std::vector<std::string> args, const std::string& stdinText,
              const std::function<void(WireConnection&)>& daemon, char** env = nullptr,
              bool accept = true) {
    Outcome outcome;
    int port = 0;
    int listener = ListenLoopback(&port);
    EXPECT_GE(listener, 0);
    WriteFile(temp_.Sub("in"), stdinText);
    args.insert(args.begin(), "quarn");
    pid_t pid = fork();
    if (pid == 0) {
      close(listener);
      int in = open(temp_.Sub("in").c_str(), O_RDONLY);
      int out = open(temp_.Sub("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
      int err =
          merge_streams_ ? out : open(temp_.Sub("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(in, 0);
      dup2(out, 1);
      dup2(err, 2);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(&a[0]);
      argv.push_back(nullptr);
      DaemonLocation location;
      location.port = port;
      location.key = kKey;
      int exit_code = 0;
      ScopedSysOverride<decltype(SysCalls::write)> count(&SysCalls::write, &CountingWrite);
      int result = DoExecuteCommand(location, static_cast<int>(args.size()), argv.data(),
                                    env ? env : environ, "/work/dir", &exit_code);
      FILE* report = fopen(temp_.Sub("report").c_str(), "w");
      fprintf(report, "%d %d %d", result, exit_code, g_writes);
      fclose(report);
      _exit(0);
    }
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    {
      WireConnection connection(fd);
      std::string headers = connection.ReadHeaders();
      EXPECT_NE(std::string::npos, headers.find(std::string("X-Secret-Key: ") + kKey));
      if (!accept) {
        connection.Send("HTTP/1.1 403 Forbidden\r\n\r\n");
      } else {
        connection.Send(kAccept);
        WireMessage message;
        while (connection.Read(message)) {
          outcome.description.push_back(message);
          if (message.type == "preamble-done") break;
        }
        daemon(connection);
      }
    }
    EXPECT_EQ(0, WaitChild(pid));
    FILE* report = fopen(temp_.Sub("report").c_str(), "r");
    EXPECT_NE(nullptr, report);
    if (report) {
      EXPECT_EQ(3,
                fscanf(report, "%d %d %d", &outcome.result, &outcome.exit_code, &outcome.writes));
      fclose(report);
    }
    outcome.out = ReadFile(temp_.Sub("out"));
    outcome.err = ReadFile(temp_.Sub("err"));
    return outcome;
  }
};

void Say(WireConnection& c, const std::string& type, const std::vector<std::string>& fields) {
  c.Send(EncodeWire(type, fields));
}

TEST_F(ExchangeTest, DescriptionAndOutput) {
  char env0[] = "A=1=2", env1[] = "B=", env2[] = "=X", env3[] = "NOEQ";
  char* env[] = {env0, env1, env2, env3, nullptr};
  Outcome o = Run(
      {"echo", "x\"y\n"}, "",
      [](WireConnection& c) {
        Say(c, "stdout", {"hi"});
        Say(c, "stderr", {"oops\n", "ignored"});
        Say(c, "stdout", {std::string("a\0b", 3)});
        Say(c, "exit-code", {std::string(1, '\0')});
      },
      env);
  EXPECT_EQ(0, o.result);
  EXPECT_EQ(0, o.exit_code);
  EXPECT_EQ(std::string("hia\0b", 5), o.out);
  EXPECT_EQ("oops\n", o.err);
  std::vector<std::string> types;
  for (auto& m : o.description) types.push_back(m.type);
  EXPECT_EQ((std::vector<std::string>{"app", "arg", "arg", "env", "env", "env", "env", "cwd",
                                      "preamble-done"}),
            types);
  EXPECT_EQ("quarn", o.description[0].fields.at(0));
  EXPECT_EQ("x\"y\n", o.description[2].fields.at(0));
  EXPECT_EQ((std::vector<std::string>{"A", "1=2"}), o.description[3].fields);
  EXPECT_EQ((std::vector<std::string>{"B", ""}), o.description[4].fields);
  EXPECT_EQ((std::vector<std::string>{"", ""}), o.description[5].fields);
  EXPECT_EQ((std::vector<std::string>{"", ""}), o.description[6].fields);
  EXPECT_EQ("/work/dir", o.description[7].fields.at(0));
}

// Waits (up to ten seconds) until `path` holds `text`.
bool Shows(const std::string& path, const std::string& text) {
  for (int i = 0; i < 10000 && ReadFile(path).find(text) == std::string::npos; ++i) usleep(1000);
  return ReadFile(path).find(text) != std::string::npos;
}

TEST_F(ExchangeTest, RelayKeepsOrderCoalescesAndNeverHoldsBack) {
  merge_streams_ = true;
  std::string big;
  for (int i = 0; big.size() < 3 * 1024 * 1024; ++i)
    big += "line " + std::to_string(i) + " \"x\"\\\n";
  Outcome o = Run({}, "", [&](WireConnection& c) {
    std::string burst;
    for (int i = 0; i < 100; ++i) burst += EncodeWire("stdout", {std::to_string(i) + ","});
    c.Send(burst + EncodeWire("stderr", {"E"}) + EncodeWire("stdout", {"O"}));
    // Nothing more comes until the text so far is on the console.
    EXPECT_TRUE(Shows(temp_.Sub("out"), "99,EO"));
    c.Send(EncodeWire("stdout", {big}) + EncodeWire("exit-code", {"\x03"}));
  });
  std::string expected;
  for (int i = 0; i < 100; ++i) expected += std::to_string(i) + ",";
  EXPECT_EQ(expected + "EO" + big, ReadFile(temp_.Sub("out")));
  EXPECT_EQ(3, o.exit_code);
  EXPECT_LE(o.writes, 3 + 10) << "the burst goes out in one write per stream";
}

TEST_F(ExchangeTest, RefusedLongFieldIsCutWhereItStands) {
  std::string head = std::string(2 * 1024 * 1024, 'a');
  Outcome o = Run({}, "", [&](WireConnection& c) {
    c.Send("stdout. \"" + head + "\\G0\"\n");  // a bad escape after 2 MiB
  });
  EXPECT_EQ(0, o.result);
  EXPECT_EQ(-1, o.exit_code);
  EXPECT_GE(o.out.size(), 1024u * 1024u);
  EXPECT_EQ(0u, head.find(o.out)) << "a prefix of the field, nothing else";
}

TEST_F(ExchangeTest, ExitCodeRules) {
  struct Case {
    std::vector<std::vector<std::string>> codes;  // exit-code messages sent
    int result, exit_code;
  } cases[] = {
      {{}, 0, -1},
      {{{""}}, 0, 0},
      {{{"\xFF"}}, 0, -1},
      {{{"12"}}, 0, 49},
      {{{"\x05"}, {"\x07"}}, 0, 7},
      // The four escaped bytes, "\0d" (dropped from the field) included.
      {{{"\r"}}, 0, 13},
      {{{"\r\x05"}}, 0, 13},
      {{{"\n"}}, 0, 10},
      {{{"\""}}, 0, 34},
      {{{"\\"}}, 0, 92},
      {{{}}, -13, -1},
      {{{"\x03"}, {}}, -13, 3},
  };
  for (const Case& c : cases) {
    Outcome o = Run({}, "", [&](WireConnection& conn) {
      for (const auto& fields : c.codes) Say(conn, "exit-code", fields);
    });
    EXPECT_EQ(c.result, o.result);
    EXPECT_EQ(c.exit_code, o.exit_code);
  }
}

TEST_F(ExchangeTest, BadMessagesEndTheExchange) {
  Outcome o = Run({}, "", [](WireConnection& c) {
    Say(c, "exit-code", {"\x02"});
    Say(c, "STDOUT", {"x"});
  });
  EXPECT_EQ(-14, o.result);
  EXPECT_EQ(13, o.exit_code);
  o = Run({}, "", [](WireConnection& c) { Say(c, "stdout", {}); });
  EXPECT_EQ(-9, o.result);
  EXPECT_EQ(-1, o.exit_code);
  o = Run({}, "", [](WireConnection& c) { Say(c, "stderr", {}); });
  EXPECT_EQ(-10, o.result);
}

TEST_F(ExchangeTest, StdinRequests) {
  std::vector<WireMessage> answers;
  Outcome o = Run({}, "abc\n\nrest", [&](WireConnection& c) {
    for (const char* limit : {"10", "10", "2", "abc", "0", "40000", "100", "100"}) {
      Say(c, "stdin-request", {limit});
      WireMessage m;
      ASSERT_TRUE(c.Read(m));
      answers.push_back(m);
    }
    Say(c, "stdin-request", {});
    WireMessage m;
    ASSERT_TRUE(c.Read(m));
    answers.push_back(m);
    Say(c, "exit-code", {""});
  });
  ASSERT_EQ(9u, answers.size());
  EXPECT_EQ((std::vector<std::string>{"abc\n"}), answers[0].fields);
  EXPECT_EQ((std::vector<std::string>{"\n"}), answers[1].fields);
  EXPECT_EQ((std::vector<std::string>{"re"}), answers[2].fields);
  for (int i : {3, 4, 5}) {
    EXPECT_EQ("stdin-closed", answers[i].type);
    EXPECT_TRUE(answers[i].fields.empty());
  }
  EXPECT_EQ((std::vector<std::string>{"st"}), answers[6].fields);
  EXPECT_EQ("stdin-closed", answers[7].type);
  EXPECT_EQ("stdin-closed", answers[8].type);
  EXPECT_EQ(0, o.exit_code);
}

TEST_F(ExchangeTest, InputWithNulBytesIsSentWhole) {
  std::vector<WireMessage> answers;
  Run({}, std::string("\0x\n", 3), [&](WireConnection& c) {
    Say(c, "stdin-request", {"100"});
    WireMessage m;
    ASSERT_TRUE(c.Read(m));
    answers.push_back(m);
  });
  ASSERT_EQ(1u, answers.size());
  EXPECT_EQ("stdin-response", answers[0].type);
  EXPECT_EQ(std::string("\0x\n", 3), answers[0].fields.at(0));
}

TEST_F(ExchangeTest, PasswordRequests) {
  std::vector<WireMessage> answers;
  ScopedTrace trace(temp_.Sub("trace.txt"));
  Outcome o = Run({}, std::string("  s3cret  \n   \n p\0w \n", 20), [&](WireConnection& c) {
    Say(c, "password-read", {"Password: "});  // one field: ignored
    Say(c, "password-read", {"Password: ", "true"});
    WireMessage m;
    ASSERT_TRUE(c.Read(m));
    answers.push_back(m);
    Say(c, "password-read", {"Again: ", "yes"});
    ASSERT_TRUE(c.Read(m));
    answers.push_back(m);
    Say(c, "password-read", {"Nul: ", "true"});
    ASSERT_TRUE(c.Read(m));
    answers.push_back(m);
    Say(c, "exit-code", {""});
  });
  ASSERT_EQ(3u, answers.size());
  EXPECT_EQ((std::vector<std::string>{"s3cret"}), answers[0].fields);
  EXPECT_EQ((std::vector<std::string>{""}), answers[1].fields);
  EXPECT_EQ((std::vector<std::string>{std::string("p\0w", 3)}), answers[2].fields);
  EXPECT_EQ("Password: \nAgain: \nNul: \n", o.out);
  EXPECT_EQ(std::string::npos, trace.Contents().find("s3cret"));
}

TEST_F(ExchangeTest, UnconvertibleConsoleInput) {
  ScopedEnv lc_all("LC_ALL", "C.UTF-8");
  ScopedEnv transcode("QUARN_TRANSCODE_UTF8", "1");
  ScopedTrace trace(temp_.Sub("trace.txt"));
  std::vector<WireMessage> answers;
  Outcome o = Run({}, "pw\xFFsecret\nok\nbad\xFF\nmore\n", [&](WireConnection& c) {
    // A password that does not convert: the empty answer, input stays on.
    Say(c, "password-read", {"Password: ", "true"});
    for (int i = 0; i < 4; ++i) {
      WireMessage m;
      ASSERT_TRUE(c.Read(m));
      answers.push_back(m);
      Say(c, "stdin-request", {"100"});
    }
    Say(c, "exit-code", {""});
  });
  ASSERT_EQ(4u, answers.size());
  EXPECT_EQ((std::vector<std::string>{""}), answers[0].fields);
  EXPECT_EQ((std::vector<std::string>{"ok\n"}), answers[1].fields);
  // A line that does not convert ends console input for good: "more" is
  // never read, nor sent.
  EXPECT_EQ("stdin-closed", answers[2].type);
  EXPECT_EQ("stdin-closed", answers[3].type);
  EXPECT_EQ(
      "quarn: the password does not convert to UTF-8; an empty one is sent\n"
      "quarn: console input does not convert to UTF-8; the daemon is told that input ended\n",
      o.err);
  EXPECT_EQ(std::string::npos, trace.Contents().find("secret"));
}

TEST_F(ExchangeTest, RefusedHandshakeAndNoDaemon) {
  Outcome o = Run(
      {}, "", [](WireConnection&) {}, nullptr, false);
  EXPECT_EQ(-6, o.result);
  EXPECT_EQ(13, o.exit_code);

  int port = 0;
  int listener = ListenLoopback(&port);
  close(listener);  // nobody listens there now
  DaemonLocation location;
  location.port = port;
  location.key = kKey;
  int exit_code = 0;
  char arg0[] = "quarn";
  char* argv[] = {arg0, nullptr};
  EXPECT_EQ(-5, DoExecuteCommand(location, 1, argv, environ, "/", &exit_code));
  EXPECT_EQ(13, exit_code);
}

TEST_F(ExchangeTest, UnconvertibleArgumentIsNeverSent) {
  ScopedEnv lc_all("LC_ALL", "C.UTF-8");
  ScopedEnv transcode("QUARN_TRANSCODE_UTF8", "1");
  char bad_env[] = "BAD=\xFF", good_env[] = "GOOD=1";
  char* env[] = {bad_env, good_env, nullptr};
  Outcome o = Run(
      {"ok", "bad\xFF"}, "", [](WireConnection&) {}, env);
  EXPECT_EQ(-8, o.result);
  EXPECT_EQ(13, o.exit_code);
  EXPECT_NE(std::string::npos, o.err.find("argument 2"));
  ASSERT_EQ(0u, o.description.size());

  o = Run(
      {"", "ok"}, "", [](WireConnection& c) { Say(c, "exit-code", {""}); }, env);
  EXPECT_EQ(0, o.result);
  std::vector<std::string> envs;
  for (auto& m : o.description) {
    if (m.type == "env") envs.push_back(m.fields.at(0));
  }
  EXPECT_EQ((std::vector<std::string>{"GOOD"}), envs);  // the bad entry left out
  EXPECT_EQ("", o.description.at(1).fields.at(0));      // an empty argument still goes
}

}  // namespace
