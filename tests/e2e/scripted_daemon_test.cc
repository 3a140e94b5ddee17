// Quarn against a daemon played by the test: the conversation's bytes, a
// daemon that dies at every stage, console input and passwords, and what
// quarn writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "platform/descriptors.h"
#include "support/e2e_fixture.h"
#include "support/registry_support.h"
#include "support/wire.h"

namespace {

class Scripted : public QuarnE2E {
 protected:
  // Quarn against `daemon`, registered as the only live (uncommitted) entry.
  ChildResult Against(ScriptedDaemon& daemon, ChildOptions options = {},
                      const std::vector<std::string>& args = {"anything"}) {
    MakeEntry(config_ + "/daemons", "fake", daemon.port(), nullptr);
    LockHolder alive({config_ + "/daemons/fake/alivelock"});
    options.timeout_seconds = 20;
    ChildResult r = Quarn(args, options);
    daemon.Join();
    return r;
  }
};

TEST_F(Scripted, DaemonDiesAtEveryStageAndExitCodeRules) {
  const std::string none = "ended the conversation without an exit code";
  const std::string unreadable = "sent a message quarn cannot read (";
  std::string many_fields = "t.";
  for (int i = 0; i < 65; ++i) many_fields += " \"\"";
  many_fields += "\n";
  std::vector<std::string> extra_fields(63, std::string(1024 * 1024, 'e'));
  extra_fields.insert(extra_fields.begin(), "text");
  struct Case {
    std::string bytes;  // what the daemon sends, then it hangs up
    int status;
    std::string out, err;     // err: a part of the one line quarn writes, or none
    bool accepts = true;      // answers 101 and reads the description first
    bool hold_stdin = false;  // console input that never comes
    bool listens = true;
  } cases[] = {
      {"HTTP/1.1 403 Forbidden\r\n\r\n", 13, "", "refused the connection: HTTP/1.1 403 Forbidden",
       false},
      {"HTTP/1.1 101 Switching Protocols\r\nUpgr", 13, "", "failed: the connection ended", false},
      {"HTTP/1.1 101 X\rX", 13, "", "failed: a carriage return without a line feed", false},
      {"HTTP/1.1 101 " + std::string(70000, 'x') + "\r\n", 13, "",
       "failed: the response line was too long", false},
      {"", 255, "", none},
      {EncodeWire("stdout", {"whole\n"}) + "stdout. \"partial", 255, "whole\n", none},
      {EncodeWire("stdin-request", {"100"}), 255, "", none},
      {EncodeWire("stdin-request", {"100"}), 255, "", none, true, true},
      {EncodeWire("password-read", {"Password: ", "true"}), 255, "Password: \n", none},
      // A message quarn cannot read ends the conversation, named as such;
      // after an exit code the run ends with that code.
      {"stdout \"no full stop\"\n", 255, "", unreadable + "a bad byte in its type name)"},
      {"t. \"\\G0\"\n", 255, "", unreadable + "a bad escape)"},
      {many_fields, 255, "", unreadable + "too many fields)"},
      {std::string(100 * 1024, 't') + ".\n", 255, "", unreadable + "a type name too long)"},
      {EncodeWire("stdout", extra_fields), 255, "", unreadable + "a message too large)"},
      {EncodeWire("exit-code", {"\x07"}) + "t. \"\\4\"\n", 7, "", unreadable + "a bad escape)"},
      {EncodeWire("exit-code", {"\x02"}) + EncodeWire("bogus", {}), 13, "",
       "sent an unknown message 'bogus'"},
      {EncodeWire("exit-code", {}), 255, "", "sent a 'exit-code' message without its field"},
      {EncodeWire("stdout", {}), 255, "", "sent a 'stdout' message without its field"},
      {EncodeWire("stderr", {}), 255, "", "sent a 'stderr' message without its field"},
      // Exit codes: the first byte, the last message's; an escaped CR, which
      // the field drops, still counts, also ahead of a long field; the other
      // escaped bytes are the field's.
      {EncodeWire("exit-code", {""}), 0, "", ""},
      {EncodeWire("exit-code", {"\xFF"}), 255, "", ""},
      {EncodeWire("exit-code", {"70"}), 55, "", ""},
      {EncodeWire("exit-code", {"\x05"}) + EncodeWire("exit-code", {"\x07"}), 7, "", ""},
      {EncodeWire("exit-code", {"\x03"}) + EncodeWire("exit-code", {}), 3, "", ""},
      {"exit-code. \"\\0d\"\n", 13, "", ""},
      {EncodeWire("exit-code", {"\r" + std::string(200, 'x')}), 13, "", ""},
      {EncodeWire("exit-code", {"\r\x05"}), 13, "", ""},
      {EncodeWire("exit-code", {"\n"}), 10, "", ""},
      {EncodeWire("exit-code", {"\""}), 34, "", ""},
      {EncodeWire("exit-code", {"\\"}), 92, "", ""},
  };
  ASSERT_EQ(0, mkfifo(temp_.Sub("never").c_str(), 0600));
  for (const Case& c : cases) {
    ScriptedDaemon daemon({{c.bytes}}, c.accepts, c.listens);
    ChildOptions options;
    options.stdin_text = "typed line\nsecret\n";
    if (c.hold_stdin) {
      options.in_child = [&] {  // a FIFO open at both ends: input that never comes
        dup2(open(temp_.Sub("never").c_str(), O_RDWR | O_CLOEXEC), 0);
      };
    }
    ChildResult r = Against(daemon, options);
    EXPECT_EQ(c.status, r.status) << c.bytes;  // a signal would show as 128+n
    EXPECT_EQ(c.out, r.out) << c.bytes;
    bool one_line = r.err.rfind("quarn: ", 0) == 0 && r.err.find('\n') == r.err.size() - 1;
    EXPECT_TRUE(c.err.empty() ? r.err.empty() : one_line && r.err.find(c.err) != std::string::npos)
        << c.bytes << ": " << r.err;
  }
}

TEST_F(Scripted, ARegistryDaemonThatRefusesIsPassedOver) {
  // Nothing listens on its port, or it closes before any byte of the
  // response (shutting down, its alivelock still held): the command runs
  // once, on a daemon started in its place, which the next runs find.
  for (bool listens : {false, true}) {
    SCOPED_TRACE(listens ? "closes before the response" : "refuses the connection");
    config_ = temp_.Sub(listens ? "closes" : "refuses");
    ScriptedDaemon daemon({{""}}, false, listens);
    MakeEntry(config_ + "/daemons", "fake", daemon.port(), nullptr);
    LockHolder alive({config_ + "/daemons/fake/alivelock"});
    ChildOptions options;
    options.timeout_seconds = 20;
    ChildResult r = Quarn({"echo", "once"}, options);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("once\n", r.out);
    std::string passed = "quarn: the daemon on port " + std::to_string(daemon.port()) +
                         " (registry entry fake) refused the connection; ";
    EXPECT_EQ(0u, r.err.find(passed + "started a new daemon on port ")) << r.err;
    daemon.Join();
    ASSERT_EQ(2u, Entries().size());
    // Overlapping runs that meet it again start no further daemon.
    std::vector<pid_t> runs;
    for (int i = 0; i < 8; ++i) {
      runs.push_back(ForkChild([&] {
        ChildResult again = Quarn({"echo", "again"}, options);
        bool passed_over =
            again.err.empty() || again.err.find(passed + "using the daemon on port ") == 0;
        return again.status == 0 && again.out == "again\n" && passed_over ? 0 : 1;
      }));
    }
    for (pid_t pid : runs) EXPECT_EQ(0, WaitChild(pid));
    EXPECT_EQ(2u, Entries().size());
    alive.Release();
    StopAllDaemons();
  }
}

TEST_F(Scripted, ADaemonThatAnswersOrWasStartedHereIsNeverPassedOver) {
  // It answered: alive, and another would not help.
  ScriptedDaemon forbidden({{"HTTP/1.1 403 Forbidden\r\n\r\n"}}, false);
  ChildResult r = Against(forbidden);
  EXPECT_EQ(13, r.status);
  EXPECT_EQ(std::vector<std::string>{"fake"}, Entries());
  // Started by this run, and it refuses: the run ends with its line.
  std::string fake = temp_.Sub("fake-trel");
  int port = 0;
  close(ListenLoopback(&port));  // a port nothing listens on
  WriteFile(fake,
            "#!/bin/sh\necho 'Port: " + std::to_string(port) + "'\necho 'Key: k'\nexec sleep 30\n",
            0755);
  ChildOptions options;
  options.set_env = {{"TREL_DAEMON_PATH", fake}};
  options.timeout_seconds = 20;
  config_ = temp_.Sub("started");
  r = Quarn({"echo", "hi"}, options);
  EXPECT_EQ(13, r.status);
  EXPECT_EQ("quarn: cannot connect to the daemon at 127.0.0.1:" + std::to_string(port) +
                ": Connection refused\n",
            r.err);
}

TEST_F(Scripted, DescriptionAndOutput) {
  ChildOptions options;
  options.in_child = [] {  // the whole environment, entries no setenv makes among it
    static const char* raw[] = {"A=1=2", "B=", "=X", "NOEQ", nullptr};
    environ = const_cast<char**>(raw);
  };
  options.cwd = temp_.path();
  ScriptedDaemon daemon(
      {{EncodeWire("stdout", {"hi"}) + EncodeWire("stderr", {"oops\n", "ignored"}) +
        EncodeWire("stdout", {std::string("a\0b", 3)}) +
        EncodeWire("exit-code", {std::string(1, '\0')})}});
  ChildResult r = Against(daemon, options, {"-d", "config", "echo", "x\"y\n"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(std::string("hia\0b", 5), r.out);
  EXPECT_EQ("oops\n", r.err);
  EXPECT_EQ(
      "app. \"quarn\"\narg. \"--config\"\narg. \"" + config_ +
          "\"\narg. \"-d\"\narg. \"config\"\narg. \"echo\"\narg. \"x\\22y\\0a\"\nenv. \"A\" \"1=2\"\nenv. \"B\" \"\"\n"
          "env. \"\" \"\"\nenv. \"\" \"\"\ncwd. \"" +
          config_ + "\"\npreamble-done.\n",
      daemon.description);
  // A description many times the socket's buffer arrives whole, the same
  // bytes as ever.
  std::vector<std::string> big;
  std::string expected = EncodeWire("app", {"quarn"}) + EncodeWire("arg", {"--config"}) +
                         EncodeWire("arg", {config_}) + EncodeWire("arg", {"x"});
  for (int i = 0; i < 1000; ++i) {
    big.push_back("V" + std::to_string(i) + "=" + std::string(300, '"'));
    expected += EncodeWire("env", {"V" + std::to_string(i), std::string(300, '"')});
  }
  options.in_child = [&] {
    static std::vector<char*> raw;
    for (std::string& entry : big) raw.push_back(&entry[0]);
    raw.push_back(nullptr);
    environ = raw.data();
  };
  ScriptedDaemon large({{EncodeWire("exit-code", {""})}});
  EXPECT_EQ(0, Against(large, options, {"x"}).status);
  expected += EncodeWire("cwd", {temp_.path()}) + "preamble-done.\n";
  EXPECT_TRUE(expected == large.description) << large.description.size() << " bytes";
}

TEST_F(Scripted, RelayKeepsOrderAndNeverHoldsBack) {
  // Standard output and error are one pipe, read by the daemon itself.
  int console[2];
  ASSERT_EQ(0, OpenPipe(console));
  ChildOptions merged;
  merged.in_child = [&] {
    dup2(console[1], 1);
    dup2(1, 2);
  };
  std::string big, burst, expected, seen;
  for (int i = 0; big.size() < 3 * 1024 * 1024; ++i)
    big += "line " + std::to_string(i) + " \"x\"\\\n";
  for (int i = 0; i < 100; ++i) burst += EncodeWire("stdout", {std::to_string(i) + ","});
  for (int i = 0; i < 100; ++i) expected += std::to_string(i) + ",";
  auto read_until = [&](size_t size) {
    char buffer[65536];
    struct pollfd ready = {console[0], POLLIN, 0};  // a quarn that holds back fails, not hangs
    for (ssize_t n; seen.size() < size && poll(&ready, 1, 20000) > 0 &&
                    (n = read(console[0], buffer, sizeof(buffer))) > 0;)
      seen.append(buffer, static_cast<size_t>(n));
  };
  ScriptedDaemon daemon({{burst + EncodeWire("stderr", {"E"}) + EncodeWire("stdout", {"O"})}}, true,
                        true, [&](WireConnection& c) {
                          // Nothing more comes until the text so far is on the console.
                          read_until(expected.size() + 2);
                          std::thread rest([&] {
                            c.Send(EncodeWire("stdout", {big}) + EncodeWire("exit-code", {"\x03"}));
                          });
                          read_until(expected.size() + 2 + big.size());
                          rest.join();
                        });
  EXPECT_EQ(3, Against(daemon, merged).status);
  EXPECT_EQ(expected + "EO" + big, seen);
  close(console[0]);
  close(console[1]);
  // Past the hold limit a text is written as it arrives: a refusal (a bad
  // escape after 2 MiB) cuts it where it stands.
  std::string head(2 * 1024 * 1024, 'a');
  ScriptedDaemon refusing({{"stdout. \"" + head + "\\G0\"\n"}});
  ChildResult r = Against(refusing);
  EXPECT_EQ(255, r.status);
  EXPECT_GE(r.out.size(), 1024u * 1024u);
  EXPECT_EQ(0u, head.find(r.out));
}

TEST_F(Scripted, ConsoleInputAndPasswords) {
  ChildOptions input;
  input.stdin_text = std::string("abc\n\nrest\0x\n  s3cret  \n   \n p\0w \n", 32);
  input.set_env = {{"QUARN_NATIVE_TRACE_ENABLE", ""}};
  std::vector<Step> script;
  auto ask = [&](const char* type, std::vector<std::string> fields) {
    script.push_back({EncodeWire(type, fields), true});
  };
  for (const char* limit : {"10", "10", "2", "abc", "0", "40000", "100"})
    ask("stdin-request", {limit});
  script.push_back({EncodeWire("password-read", {"Password: "})});  // one field: ignored
  for (const char* flag : {"true", "yes", "TRUE"}) ask("password-read", {"P: ", flag});
  ask("stdin-request", {"100"});
  ask("stdin-request", {});
  script.push_back({EncodeWire("exit-code", {""})});
  ScriptedDaemon daemon(script);
  ChildResult r = Against(daemon, input);
  // An empty line is input; a password of spaces only is empty.
  static const char answers[] =
      "stdin-response. \"abc\\0a\"\nstdin-response. \"\\0a\"\nstdin-response. \"re\"\n"
      "stdin-closed.\nstdin-closed.\nstdin-closed.\nstdin-response. \"st\0x\\0a\"\n"
      "password-entered. \"s3cret\"\npassword-entered. \"\"\npassword-entered. \"p\0w\"\n"
      "stdin-closed.\nstdin-closed.\n";
  EXPECT_EQ(std::string(answers, sizeof(answers) - 1), daemon.answers);
  EXPECT_EQ("P: \nP: \nP: \n", r.out);
  EXPECT_EQ(0, r.status);
  // Echo switched off for "true" and "TRUE" alone (stdin is no terminal:
  // the trace says so at each).
  std::string trace = "cat " + config_ + "/trace/*";
  std::string steps = " | grep -oE 'Field 1 = (true|yes|TRUE)$|console mode' | tr '\\n' ,";
  std::string expected = "Field 1 = true,console mode,Field 1 = yes,Field 1 = TRUE,console mode,";
  EXPECT_EQ(0, system((trace + steps + " | grep -qx '" + expected + "'").c_str()));
  // An empty answer is traced as it was sent: nothing to hide.
  EXPECT_EQ(0, system((trace + " | grep -qa 'Sending... password-entered. \"\"0x0A'").c_str()));
}

TEST_F(Scripted, TextsThatDoNotConvert) {
  ChildOptions options;
  options.set_env = {{"QUARN_TRANSCODE_UTF8", "1"},
                     {"BAD", "\xFF"},
                     {"GOOD", "1"},
                     {"QUARN_NATIVE_TRACE_ENABLE", ""}};
  options.stdin_text = "pw\xFFsecret\nok\nbad\xFF\nmore\n";
  std::vector<Step> script = {{EncodeWire("password-read", {"P: ", "true"}), true}};
  for (int i = 0; i < 3; ++i) script.push_back({EncodeWire("stdin-request", {"100"}), true});
  // Input has ended: the next line piped in is no password, and not read.
  for (int i = 0; i < 2; ++i)
    script.push_back({EncodeWire("password-read", {"P: ", "true"}), true});
  script.push_back({EncodeWire("exit-code", {""})});
  ScriptedDaemon daemon(script);
  ChildResult r = Against(daemon, options, {"", "ok"});
  // A password that does not convert: the empty answer, input stays on; a
  // line that does not convert ends console input for good.
  EXPECT_EQ(
      "password-entered. \"\"\nstdin-response. \"ok\\0a\"\nstdin-closed.\nstdin-closed.\n"
      "password-entered. \"\"\npassword-entered. \"\"\n",
      daemon.answers);
  EXPECT_EQ(
      "quarn: the password does not convert to UTF-8; an empty one is sent\n"
      "quarn: console input does not convert to UTF-8; the daemon is told that input ended\n"
      "quarn: console input has ended; password requests are answered with an empty password\n",
      r.err);
  EXPECT_EQ("P: \n", r.out);  // no prompt for the requests not read
  // The bad environment entry is left out; an empty argument still goes.
  EXPECT_EQ(std::string::npos, daemon.description.find("BAD"));
  EXPECT_NE(std::string::npos, daemon.description.find("env. \"GOOD\" \"1\"\n"));
  EXPECT_NE(std::string::npos, daemon.description.find("arg. \"\"\narg. \"ok\"\n"));
  // An argument that does not convert is never sent.
  ScriptedDaemon never({});
  r = Against(never, options, {"ok", "bad\xFF"});
  EXPECT_EQ(13, r.status);
  EXPECT_NE(std::string::npos, r.err.find("argument 4")) << r.err;
  EXPECT_EQ("", never.description);
}

}  // namespace
