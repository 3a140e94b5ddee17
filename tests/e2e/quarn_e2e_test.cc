// The real quarn binary against the reference daemon, each test with a
// configuration directory of its own. Daemons that quarn starts outlive it;
// the test adopts them (subreaper) and stops them all at the end.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <regex>

#include "platform/files.h"
#include "support/e2e_fixture.h"
#include "support/process.h"
#include "support/registry_support.h"
#include "support/test_support.h"

namespace {

TEST_F(QuarnE2E, FirstCommandStartsADaemonTheNextReusesIt) {
  ProcessResult r = Quarn({"echo", "hello", "world"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("hello world\n", r.out);
  EXPECT_EQ("", r.err);
  int first = DaemonPid();
  EXPECT_GT(first, 0);
  EXPECT_EQ(first, DaemonPid());
  ASSERT_EQ(1u, Entries().size());
  // Nothing but the entry is left in the registry: every lock file went.
  EXPECT_FALSE(Exists(config_ + "/daemons/lock"));
  EXPECT_FALSE(Exists(config_ + "/daemons/" + Entries()[0] + "/lock"));
}

TEST_F(QuarnE2E, ExitCodesAndStreams) {
  EXPECT_EQ(7, Quarn({"fail", "7"}).status);
  EXPECT_EQ(13, Quarn({"fail", "13"}).status);  // the byte 0x0D travels as the escape \0d
  ProcessResult r = Quarn({"fail", "255"});
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("", r.err);  // 0xFF is an exit code, not the lack of one
  EXPECT_EQ(0, Quarn({"fail", "0"}).status);
  r = Quarn({"stderr", "to err"});
  EXPECT_EQ("to err\n", r.err);
  EXPECT_EQ("", r.out);
  r = Quarn({"no-such-command"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("unknown command: no-such-command\n", r.err);
  ProcessOptions input;
  input.stdin_text = "line one\nline two\nno newline";
  r = Quarn({"--config", config_, "cat"}, input);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(input.stdin_text, r.out);
  r = Quarn({"args", "a b", "--x"});
  EXPECT_EQ("--config\n" + config_ + "\nargs\na b\n--x\n", r.out);
}

TEST_F(QuarnE2E, DirectoryOptionChoosesTheDaemonBySandbox) {
  std::string a = temp_.Sub("repo-a"), b = temp_.Sub("repo-b");
  mkdir(a.c_str(), 0700);
  mkdir(b.c_str(), 0700);
  mkdir((a + "/sub").c_str(), 0700);
  ASSERT_EQ(0, Quarn({"-d", a, "sandbox", "add", a}).status);
  // No root of the first daemon holds b, and it is committed: a second starts.
  ASSERT_EQ(0, Quarn({"--directory", b, "sandbox", "add", b}).status);
  int daemon_a = DaemonPid({"-d", a + "/sub"});
  int daemon_b = DaemonPid({"-d", b});
  EXPECT_GT(daemon_a, 0);
  EXPECT_GT(daemon_b, 0);
  EXPECT_NE(daemon_a, daemon_b);
  EXPECT_EQ(2u, Entries().size());
  ProcessOptions in_b;
  in_b.cwd = b;
  ProcessResult r = Quarn({"--config", config_, "pwd"}, in_b);
  EXPECT_EQ(b + "\n", r.out);
  r = Quarn({"-d", "sub", "pwd"});
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
  EXPECT_EQ(std::string(cwd) + "/sub\n", r.out);
}

TEST_F(QuarnE2E, KilledDaemonLeavesAStaleEntryThatTheNextCommandPurges) {
  int first = DaemonPid();
  ASSERT_GT(first, 0);
  std::vector<std::string> before = Entries();
  ASSERT_EQ(1u, before.size());
  kill(first, SIGKILL);
  for (int i = 0; i < 500 && ProcessRunning(first); ++i) {
    ReapEnded();
    usleep(2000);
  }
  ReapEnded();
  ASSERT_TRUE(Exists(config_ + "/daemons/" + before[0]));
  int second = DaemonPid();
  EXPECT_GT(second, 0);
  EXPECT_NE(first, second);
  std::vector<std::string> after = Entries();
  ASSERT_EQ(1u, after.size());
  EXPECT_NE(before[0], after[0]);
}

TEST_F(QuarnE2E, RerunStartsASecondDaemonAndSendsTheCommandAgain) {
  ProcessResult r = Quarn({"rerun-once", temp_.Sub("marker")});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("re-run done\n", r.out);
  r = Quarn({"rerun-always"});
  EXPECT_EQ(13, r.status);
  EXPECT_NE(std::string::npos, r.err.find("kept asking for the command to be run again")) << r.err;
}

TEST_F(QuarnE2E, OverlappingRunsShareOneDaemon) {
  // Each of `processes` makes `runs` commands; all start at once.
  auto overlap = [&](int processes, int runs) {
    std::vector<pid_t> pids;
    for (int i = 0; i < processes; ++i) {
      pid_t pid = fork();
      if (pid == 0) {
        for (int k = 0; k < runs; ++k) {
          ProcessResult r = Quarn({"echo", "hi"});
          if (r.status != 0 || r.out != "hi\n") _exit(1);
        }
        _exit(0);
      }
      pids.push_back(pid);
    }
    for (pid_t pid : pids) EXPECT_EQ(0, WaitChild(pid)) << "a command went unanswered";
  };
  overlap(16, 1);  // a fresh configuration
  overlap(16, 1);  // one daemon running
  overlap(4, 20);  // loops of warm commands
  ReapEnded();
  EXPECT_EQ(1u, Entries().size());
  EXPECT_EQ(1u, Children().size()) << "daemons running";
  for (std::string lock :
       {std::string("lock"), std::string("start.lock"), Entries().at(0) + "/lock"}) {
    EXPECT_FALSE(Exists(config_ + "/daemons/" + lock)) << lock;
  }
}

TEST_F(QuarnE2E, RegistryHeldForGoodEndsTheRunAfterItsWaits) {
  ASSERT_EQ(0, MkDirs(config_ + "/daemons"));
  LockHolder other({config_ + "/daemons/lock"});
  ProcessResult r = Quarn({"echo", "hi"});
  // The lookups give up, and so does the daemon that cannot register.
  EXPECT_EQ(13, r.status);
  EXPECT_NE(std::string::npos, r.err.find("trel: cannot lock")) << r.err;
  EXPECT_EQ("", r.out);
  EXPECT_EQ(std::vector<std::string>{"lock"}, Entries());  // the holder's, nothing else
}

TEST_F(QuarnE2E, StartupFailuresReportTheDaemonsErrors) {
  struct Case {
    std::string script, err;
  } cases[] = {
      {"echo 'trel: broken install' >&2\necho 'trel: second line' >&2\nexit 1\n",
       "trel: broken install\ntrel: second line\n"},
      {"echo nothing useful\nexit 0\n",
       "quarn: the daemon program 'FAKE' did not report its port; it printed: nothing useful\n"},
      {"echo 'Port: 1234'\necho 'Key: '\n",
       "quarn: the daemon program 'FAKE' did not report its key; it printed: Key:\n"},
      {"exit 0\n", "quarn: the daemon program 'FAKE' ended without reporting its port\n"},
  };
  std::string fake = temp_.Sub("fake-trel");
  for (Case& c : cases) {
    WriteFile(fake, "#!/bin/sh\n" + c.script, 0755);
    ProcessOptions options;
    options.set_env = {{"TREL_DAEMON_PATH", fake}};
    ProcessResult r = Quarn({"--config", config_, "echo", "hi"}, options);
    EXPECT_EQ(13, r.status) << c.script;
    size_t at = c.err.find("FAKE");
    if (at != std::string::npos) c.err.replace(at, 4, fake);
    EXPECT_EQ(c.err, r.err) << c.script;
    EXPECT_EQ("", r.out);
  }
  ProcessOptions options;
  options.set_env = {{"TREL_DAEMON_PATH", temp_.Sub("does-not-exist")}};
  ProcessResult r = Quarn({"--config", config_, "echo", "hi"}, options);
  EXPECT_EQ(13, r.status);
  EXPECT_NE(std::string::npos, r.err.find("does-not-exist")) << r.err;
}

TEST_F(QuarnE2E, TraceFileOfOneRun) {
  ProcessOptions options;
  options.set_env = {{"QUARN_NATIVE_TRACE_ENABLE", ""}};
  ProcessResult r = Quarn({"--config", config_, "-d", "rel", "fail", "3"}, options);
  EXPECT_EQ(3, r.status);
  DIR* dir = opendir((config_ + "/trace").c_str());
  ASSERT_NE(nullptr, dir);
  std::string name;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') name = e->d_name;
  }
  closedir(dir);
  EXPECT_TRUE(std::regex_match(
      name, std::regex(R"(quarn_c_\d{4}\.\d\d\.\d\d_\d\d\.\d\d\.\d\d\.\d{3}\.txt)")))
      << name;
  std::string path = config_ + "/trace/" + name;
  struct stat info;
  ASSERT_EQ(0, stat(path.c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 0777);
  std::string text = ReadFile(path);
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
  for (std::string expected :
       {std::string("------------------------CONFIG DATA--------------------------\n"),
        "argv[0] = " + std::string(QUARN_BINARY) + "\n", std::string("argv[5] = fail\n"),
        "main(): Effective CWD = " + std::string(cwd) + "/rel\n",
        "main(): Daemon Registry Path computed as " + config_ + "/daemons\n",
        std::string("StartNewDaemon(): Read data from daemon process stdout: Port = "),
        std::string("----------------------------DONE---------------------------------\n"),
        std::string("main(): Command exited with 3\n")}) {
    EXPECT_NE(std::string::npos, text.find(expected)) << expected;
  }
}

TEST_F(QuarnE2E, ClosedStandardOutputDoesNotReachTheRegistry) {
  ProcessOptions options;
  options.close_stdout = true;
  ProcessResult r = Quarn({"--config", config_, "echo", "hi"}, options);
  EXPECT_EQ(0, r.status);
  r = Quarn({"--config", config_, "echo", "hi"}, options);
  EXPECT_EQ(0, r.status);
  ASSERT_EQ(1u, Entries().size());
  EXPECT_EQ("hi\n", Quarn({"echo", "hi"}).out);
}

TEST_F(QuarnE2E, PasswordThroughATerminal) {
  Quarn({"echo", "warm"});  // the daemon is running
  int master;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    for (auto& [k, v] : base_.set_env) setenv(k.c_str(), v.c_str(), 1);
    CloseAbove2();
    execl(QUARN_BINARY, QUARN_BINARY, "--config", config_.c_str(), "login", nullptr);
    _exit(127);
  }
  std::string seen;
  char buffer[256];
  while (seen.find("Password: ") == std::string::npos) {
    ssize_t n = read(master, buffer, sizeof(buffer));
    if (n <= 0) break;
    seen.append(buffer, n);
  }
  ASSERT_NE(std::string::npos, seen.find("Password: "));
  ASSERT_EQ(10, write(master, "hunter22\r\n", 10));
  std::string rest;
  for (;;) {
    ssize_t n = read(master, buffer, sizeof(buffer));
    if (n <= 0) break;
    rest.append(buffer, n);
  }
  EXPECT_EQ(0, WaitChild(pid));
  EXPECT_EQ(std::string::npos, rest.find("hunter22")) << "the secret was echoed";
  close(master);
}

TEST_F(QuarnE2E, OutputThatCannotBeWrittenEndsTheRun) {
  ProcessOptions full;
  full.stdout_file = "/dev/full";
  ProcessResult r = Quarn({"--config", config_, "flood", "1000000"}, full);
  EXPECT_EQ(13, r.status);
  EXPECT_EQ("quarn: cannot write to standard output: No space left on device\n", r.err);
  // A reader that has gone, SIGPIPE ignored: the flood stops at once, it is
  // not drained into the closed pipe (the alarm would end that drain).
  ProcessOptions gone;
  gone.stdout_broken_pipe = true;
  gone.ignore_sigpipe = true;
  gone.timeout_seconds = 20;
  r = Quarn({"--config", config_, "flood", "100000000000"}, gone);
  EXPECT_EQ(13, r.status);
  EXPECT_EQ("quarn: cannot write to standard output: Broken pipe\n", r.err);
  // A full non-blocking pipe is waited for, never an error.
  ProcessOptions nonblocking;
  nonblocking.stdout_nonblocking = true;
  r = Quarn({"--config", config_, "flood", "1000000"}, nonblocking);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(1000000u, r.out.size());
  EXPECT_EQ("", r.err);
}

TEST_F(QuarnE2E, RelativeProgramAndConfigurationPaths) {
  std::string program = QUARN_BINARY;
  std::string build_dir = program.substr(0, program.rfind('/'));
  ProcessOptions from_parent;
  from_parent.cwd = build_dir.substr(0, build_dir.rfind('/'));
  from_parent.argv0 = build_dir.substr(build_dir.rfind('/') + 1) + "/quarn";
  EXPECT_EQ("hi\n", Quarn({"--config", config_, "echo", "hi"}, from_parent).out);
  ProcessOptions alias;  // not on PATH: quarn finds its own file
  alias.argv0 = "quarn-alias";
  alias.set_env = {{"PATH", "/nonexistent"}};
  EXPECT_EQ("hi\n", Quarn({"--config", temp_.Sub("alias"), "echo", "hi"}, alias).out);
  alias.set_env.clear();
  alias.unset_env = {"PATH"};
  ProcessResult r = Quarn({"--config", temp_.Sub("alias"), "echo", "hi"}, alias);
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("quarn: cannot find the directory that holds quarn (started as 'quarn-alias')\n",
            r.err);

  // Relative configuration directories of one component, made where the
  // command runs; the daemon keeps none of that directory busy.
  ProcessOptions here;
  here.cwd = temp_.path();
  EXPECT_EQ("hi\n", Quarn({"--config", "rel", "echo", "hi"}, here).out);
  EXPECT_TRUE(Exists(temp_.Sub("rel/daemons")));
  here.set_env = {{"TREL_CONFIG_DIRECTORY", "rel2"}};
  r = Quarn({"daemon", "status"}, here);
  EXPECT_EQ(0, r.status);
  std::smatch pid;
  ASSERT_TRUE(std::regex_search(r.out, pid, std::regex("pid: (\\d+)")));
  char cwd[64] = {};
  EXPECT_GT(readlink(("/proc/" + pid[1].str() + "/cwd").c_str(), cwd, sizeof(cwd) - 1), 0);
  EXPECT_STREQ("/", cwd);
  // A path in a command is the command's, not the daemon's.
  r = Quarn({"rerun-once", "marker"}, here);
  EXPECT_EQ("re-run done\n", r.out);
  EXPECT_TRUE(Exists(temp_.Sub("marker")));
}

}  // namespace
