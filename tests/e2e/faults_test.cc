// Faults and hostile input, end to end with the real binary: a daemon that
// dies at every stage, a registry under churn, hostile registry contents,
// descriptors reaching a new daemon, and secrets in files.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <set>

#include "platform/files.h"
#include "support/e2e_fixture.h"
#include "support/registry_support.h"
#include "support/wire.h"

namespace {

const char* const kAccept = kTestAccept;

class Faults : public QuarnE2E {
 protected:
  // A scripted daemon in a child process, registered as the only live
  // (uncommitted) entry so that quarn connects to it.
  // Without a script, nothing listens on the registered port.
  void StartFake(std::function<void(WireConnection&)> script) {
    int port = 0;
    int listener = ListenLoopback(&port);
    ASSERT_GE(listener, 0);
    script_ = std::move(script);
    fake_ = script_ ? fork() : -1;
    if (fake_ == 0) {
      int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      {
        WireConnection connection(fd);
        script_(connection);
      }
      _exit(0);
    }
    close(listener);
    MakeEntry(config_ + "/daemons", "fake", port, nullptr);
    holder_ =
        std::make_unique<LockHolder>(std::vector<std::string>{config_ + "/daemons/fake/alivelock"});
  }
  ProcessResult RunAgainstFake(const std::vector<std::string>& args, const std::string& input = "",
                               bool holdStdin = false) {
    ProcessOptions options;
    options.stdin_text = input;
    options.stdin_held_open = holdStdin;
    options.timeout_seconds = 20;
    options.unset_env = base_.unset_env;
    options.set_env = base_.set_env;
    std::vector<std::string> full = {QUARN_BINARY, "--config", config_};
    full.insert(full.end(), args.begin(), args.end());
    ProcessResult r = RunProcess(full, options);
    if (fake_ > 0) {
      EXPECT_EQ(0, WaitChild(fake_));
    }
    holder_.reset();
    return r;
  }
  static void Described(WireConnection& c) {
    c.ReadHeaders();
    c.Send(kAccept);
    WireMessage m;
    while (c.Read(m) && m.type != "preamble-done") {
    }
  }
  std::function<void(WireConnection&)> script_;
  pid_t fake_ = -1;
  std::unique_ptr<LockHolder> holder_;
};

TEST_F(Faults, DaemonDiesAtEveryStage) {
  const std::string no_exit_code = "ended the conversation without an exit code";
  struct Case {
    const char* stage;
    std::function<void(WireConnection&)> script;
    int status;
    std::string out, err;     // err: a part of the one line quarn writes, or none
    bool hold_stdin = false;  // console input that never comes
  } cases[] = {
      {"not listening", nullptr, 13, "", "cannot connect to the daemon at 127.0.0.1:"},
      {"before the 101", [](WireConnection& c) { c.ReadHeaders(); }, 13, "", "handshake with"},
      {"refusing the key",
       [](WireConnection& c) {
         c.ReadHeaders();
         c.Send("HTTP/1.1 403 Forbidden\r\n\r\n");
       },
       13, "", "refused the connection: HTTP/1.1 403 Forbidden"},
      {"in the headers",
       [](WireConnection& c) {
         c.ReadHeaders();
         c.Send("HTTP/1.1 101 Switching Protocols\r\nUpgr");
       },
       13, "", "handshake with"},
      {"in a message",
       [](WireConnection& c) {
         Described(c);
         c.Send(EncodeWire("stdout", {"whole\n"}));
         c.Send("stdout. \"partial");
       },
       255, "whole\n", no_exit_code},
      {"after exit-code",
       [](WireConnection& c) {
         Described(c);
         c.Send(EncodeWire("exit-code", {"\x05"}));
       },
       5, "", ""},
      {"waiting for console input",
       [](WireConnection& c) {
         Described(c);
         c.Send(EncodeWire("stdin-request", {"100"}));
       },
       255, "", no_exit_code},
      {"while quarn waits for console input",
       [](WireConnection& c) {
         Described(c);
         c.Send(EncodeWire("stdin-request", {"100"}));
       },
       255, "", no_exit_code, true},
      {"while a password is answered",
       [](WireConnection& c) {
         Described(c);
         c.Send(EncodeWire("password-read", {"Password: ", "true"}));
       },
       255, "Password: \n", no_exit_code},
      {"after a garbled message",
       [](WireConnection& c) {
         Described(c);
         c.Send("stdout \"no full stop\"\n");
       },
       255, "", no_exit_code},
      {"after an unknown message",
       [](WireConnection& c) {
         Described(c);
         c.Send(EncodeWire("exit-code", {"\x02"}) + EncodeWire("bogus", {}));
       },
       13, "", "sent an unknown message 'bogus'"},
  };
  for (auto& c : cases) {
    StartFake(c.script);
    ProcessResult r = RunAgainstFake({"anything"}, "typed line\nsecret\n", c.hold_stdin);
    EXPECT_EQ(c.status, r.status) << c.stage;  // a signal would show as 128+n
    EXPECT_EQ(c.out, r.out) << c.stage;
    if (c.err.empty()) {
      EXPECT_EQ("", r.err) << c.stage;
    } else {
      EXPECT_EQ(0u, r.err.find("quarn: ")) << c.stage << ": " << r.err;
      EXPECT_NE(std::string::npos, r.err.find(c.err)) << c.stage << ": " << r.err;
      EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << c.stage << ": " << r.err;
    }
  }
}

TEST_F(Faults, TerminalComesBackWhenTheDaemonLeavesAPasswordPrompt) {
  StartFake([](WireConnection& c) {
    Described(c);
    c.Send(EncodeWire("password-read", {"Password: ", "true"}));
  });
  int master;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    for (auto& [k, v] : base_.set_env) setenv(k.c_str(), v.c_str(), 1);
    CloseAbove2();
    alarm(20);
    execl(QUARN_BINARY, QUARN_BINARY, "--config", config_.c_str(), "login", nullptr);
    _exit(127);
  }
  char buffer[256];
  while (read(master, buffer, sizeof(buffer)) > 0) {
  }
  EXPECT_EQ(255, WaitChild(pid));  // not stuck until Enter is pressed
  struct termios mode;
  ASSERT_EQ(0, tcgetattr(master, &mode));
  EXPECT_TRUE(mode.c_lflag & ECHO);
  close(master);
  EXPECT_EQ(0, WaitChild(fake_));
  holder_.reset();
}

TEST_F(Faults, HostileRegistryContents) {
  std::string registry = config_ + "/daemons";
  std::string outside = temp_.Sub("outside");
  mkdir(outside.c_str(), 0700);
  WriteFile(outside + "/lock", "outside lock");
  WriteFile(outside + "/alivelock", "outside alivelock");
  WriteFile(outside + "/location", std::string(20, '\x01'));
  mkdir(config_.c_str(), 0700);
  mkdir(registry.c_str(), 0700);
  ASSERT_EQ(0, symlink(outside.c_str(), (registry + "/linked").c_str()));
  std::vector<std::string> alive;
  for (int length = 0; length < 20; ++length) {
    std::string name = "short" + std::to_string(length);
    MakeEntry(registry, name, 1, nullptr);
    WriteFile(registry + "/" + name + "/location",
              std::string(static_cast<size_t>(length), '\x7f'));
    alive.push_back(registry + "/" + name + "/alivelock");
  }
  MakeEntry(registry, "nuls", 2, nullptr);
  WriteFile(registry + "/nuls/sandboxes",
            std::string("\0/x\n\xff\xfe\n", 6) + std::string(1 << 20, 'a'));
  WriteFile(registry + "/nuls/daemon.properties",
            std::string("a\0b: c\nhuge: ", 13) + std::string(1 << 20, 'v'));
  mkdir((registry + "/nuls/location.d").c_str(), 0700);
  ASSERT_EQ(0, symlink(outside.c_str(), (registry + "/nuls/dirlink").c_str()));
  alive.push_back(registry + "/nuls/alivelock");
  MakeEntry(registry, "fifo", 3, nullptr);
  unlink((registry + "/fifo/location").c_str());
  ASSERT_EQ(0, mkfifo((registry + "/fifo/location").c_str(), 0600));
  alive.push_back(registry + "/fifo/alivelock");
  LockHolder daemons(alive);

  ProcessOptions options;
  options.timeout_seconds = 20;
  ProcessResult r = Quarn({"--config", config_, "echo", "still works"}, options);
  // The "nuls" entry is live and uncommitted but its port (2) is nobody's:
  // the command fails cleanly, never crashes.
  EXPECT_TRUE(r.status == 0 || r.status == 13) << r.status;
  EXPECT_EQ("outside lock", ReadFile(outside + "/lock"));
  EXPECT_EQ("outside alivelock", ReadFile(outside + "/alivelock"));
  EXPECT_FALSE(Exists(registry + "/linked"));          // the link itself was removed
  EXPECT_TRUE(Exists(registry + "/short5/location"));  // live entries stay
}

TEST_F(Faults, NoDescriptorReachesANewDaemon) {
  std::string registry = config_ + "/daemons";
  for (int i = 0; i < 3; ++i) MakeEntry(registry, "stale" + std::to_string(i), 10 + i, nullptr);
  MakeEntry(registry, "busy", 20, nullptr);
  LockHolder busy({registry + "/busy/lock"});
  std::string fds = temp_.Sub("fds");
  std::string fake = temp_.Sub("fake-daemon");
  WriteFile(fake, "#!/bin/sh\nls -l /proc/self/fd > " + fds + "\necho 'Port: -1'\necho 'Key: k'\n",
            0755);
  ProcessOptions options;
  options.set_env = {{"TREL_DAEMON_PATH", fake}, {"QUARN_NATIVE_TRACE_ENABLE", "1"}};
  options.timeout_seconds = 20;
  ProcessResult r = Quarn({"--config", config_, "echo", "hi"}, options);
  EXPECT_EQ(13, r.status);
  std::string listing = ReadFile(fds);
  ASSERT_FALSE(listing.empty());
  ExpectOnlyStandardDescriptors(listing, fake);
  EXPECT_FALSE(Exists(registry + "/stale0"));
  EXPECT_TRUE(Exists(registry + "/busy"));
}

void CollectFiles(const std::string& dir, std::vector<std::string>& files) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string path = dir + "/" + name;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      CollectFiles(path, files);
    } else if (S_ISREG(info.st_mode)) {
      files.push_back(path);
    }
  }
  closedir(d);
}

TEST_F(Faults, SecretsStayOutOfFiles) {
  std::string tmp = temp_.Sub("tmp");
  mkdir(tmp.c_str(), 0700);
  ProcessOptions options;
  options.set_env = {{"QUARN_NATIVE_TRACE_ENABLE", ""}, {"TMPDIR", tmp}};
  options.stdin_text = "  Tr0ub4dor&3-horse  \n";
  options.timeout_seconds = 20;
  ProcessResult r = Quarn({"--config", config_, "login"}, options);
  EXPECT_EQ(0, r.status);
  std::vector<std::string> files;
  CollectFiles(config_, files);
  CollectFiles(tmp, files);
  bool saw_trace = false;
  for (const std::string& file : files) {
    EXPECT_EQ(std::string::npos, ReadFile(file).find("Tr0ub4dor")) << file;
    if (file.find("/trace/") != std::string::npos) {
      saw_trace = true;
      struct stat info;
      ASSERT_EQ(0, stat(file.c_str(), &info));
      EXPECT_EQ(0600u, info.st_mode & 0777) << file;
    }
  }
  EXPECT_TRUE(saw_trace);
}

TEST_F(Faults, RegistryUnderChurn) {
  // For a bounded time: loops of commands, daemons started and killed with
  // SIGKILL, fake entries added and removed.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  std::string registry = config_ + "/daemons";
  std::vector<pid_t> loops;
  for (int i = 0; i < 3; ++i) mkdir(temp_.Sub("loop" + std::to_string(i)).c_str(), 0700);
  for (int i = 0; i < 3; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      while (std::chrono::steady_clock::now() < deadline) {
        ProcessOptions options;
        options.set_env = {{"TREL_DAEMON_INACTIVE_TIME_OUT", "60000"}};
        options.timeout_seconds = 20;
        options.cwd = temp_.Sub("loop" + std::to_string(i));
        ProcessResult r = RunProcess({QUARN_BINARY, "--config", config_, "echo", "churn"}, options);
        // Success, or a daemon killed under it (13, or 255 mid-command).
        if (r.status != 0 && r.status != 13 && r.status != 255) _exit(1);
      }
      _exit(0);
    }
    loops.push_back(pid);
  }
  int round = 0;
  std::set<pid_t> mine(loops.begin(), loops.end());
  while (std::chrono::steady_clock::now() < deadline) {
    for (pid_t pid : Children()) {
      if (mine.count(pid)) continue;
      if (round % 3 == 0) kill(pid, SIGKILL);
      int status;
      waitpid(pid, &status, WNOHANG);  // reap what died; the loops are waited below
    }
    // A stale entry appears whole (built aside, renamed in), and an older
    // one goes, as lookups purge them.
    std::string staging = temp_.Sub("staging");
    MakeEntry(staging, "fake", 1, nullptr);
    rename((staging + "/fake").c_str(), (registry + "/fake" + std::to_string(round)).c_str());
    if (round > 2) (void)TrashDirectory(registry + "/fake" + std::to_string(round - 2));
    usleep(20000);
    ++round;
  }
  for (pid_t pid : loops) EXPECT_EQ(0, WaitChild(pid));
  ReapEnded();
  // Every running daemon still has its entry; one more lookup leaves no
  // stale entry; no lock file is left once everyone has finished.
  ProcessResult r = Quarn({"echo", "after"});
  EXPECT_EQ(0, r.status);
  std::set<std::string> live_dirs;
  for (const std::string& name : Entries()) {
    std::ifstream props(registry + "/" + name + "/daemon.properties");
    std::string line;
    pid_t pid = -1;
    while (std::getline(props, line)) {
      if (line.rfind("pid: ", 0) == 0) pid = std::stoi(line.substr(5));
    }
    EXPECT_TRUE(pid > 0 && ProcessRunning(pid)) << "stale entry survived: " << name;
    EXPECT_FALSE(Exists(registry + "/" + name + "/lock")) << name;
  }
  for (pid_t pid : Children()) {
    if (!ProcessRunning(pid)) continue;
    bool found = false;
    for (const std::string& name : Entries()) {
      std::string props = ReadFile(registry + "/" + name + "/daemon.properties");
      if (props.find("pid: " + std::to_string(pid) + "\n") != std::string::npos) found = true;
    }
    EXPECT_TRUE(found) << "a live daemon lost its entry: " << pid;
  }
  EXPECT_FALSE(Exists(registry + "/lock"));
}

}  // namespace
