// The real quarn binary against the reference daemon, and faults around it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <regex>
#include <set>

#include "platform/files.h"
#include "platform/paths.h"
#include "support/e2e_fixture.h"
#include "support/registry_support.h"

namespace {

ChildOptions Env(std::vector<std::pair<std::string, std::string>> set,
                 std::vector<std::string> unset = {}) {
  ChildOptions options;
  options.set_env = std::move(set);
  options.unset_env = std::move(unset);
  return options;
}

TEST_F(QuarnE2E, CommandsThroughOneDaemon) {
  std::string build_dir = std::string(QUARN_BINARY).substr(0, std::string(QUARN_BINARY).rfind('/'));
  ChildOptions input, from_parent, none = Env({}, {"PATH"});
  input.stdin_text = "line one\nline two\nno newline";
  from_parent.cwd = build_dir.substr(0, build_dir.rfind('/'));
  std::string relative = build_dir.substr(build_dir.rfind('/') + 1) + "/quarn";
  // Started by a name not on PATH, quarn finds its own file where the
  // system tells it; elsewhere, with no PATH to go by, it says it cannot.
  std::string self;
  bool self_known = RunningProgramPath(self);
  std::string alias_out = self_known ? "hi\n" : "";
  std::string alias_err =
      self_known ? ""
                 : "quarn: cannot find the directory that holds quarn (started as 'quarn-alias')\n";
  int alias_status = self_known ? 0 : 255;
  struct Case {
    std::vector<std::string> args;
    ChildOptions options;
    std::string name;  // argv[0]; empty: the binary's path
    int status;
    std::string out, err;
  } cases[] = {
      {{"echo", "hello", "world"}, {}, "", 0, "hello world\n", ""},
      {{"fail", "13"}, {}, "", 13, "", ""},  // the byte 0x0D travels as the escape \0d
      {{"nothing"}, {}, "", 1, "", "unknown command: nothing\n"},  // the daemon's error, relayed
      {{"cat"}, input, "", 0, input.stdin_text, ""},
      {{"args", "a b", "--x"}, {}, "", 0, "--config\n" + config_ + "\nargs\na b\n--x\n", ""},
      // Run by a relative path, or by a name not on PATH: quarn finds its
      // own file, and the daemon beside it.
      {{"echo", "hi"}, from_parent, relative, 0, "hi\n", ""},
      {{"echo", "hi"}, Env({{"PATH", "/nonexistent"}}), "quarn-alias", 0, "hi\n", ""},
      {{"echo", "hi"}, Env({{"PATH", ""}}), "quarn-alias", alias_status, alias_out, alias_err},
      {{"echo", "hi"}, none, "quarn-alias", alias_status, alias_out, alias_err},
      // Run again: a second daemon starts; and not without end.
      {{"rerun-once", temp_.Sub("marker")}, {}, "", 0, "re-run done\n", ""},
      {{"rerun-always"},
       {},
       "",
       13,
       "",
       "quarn: the daemon kept asking for the command to be run again; giving up\n"},
  };
  for (const Case& c : cases) {
    ChildResult r = Quarn(c.args, c.options, c.name);
    EXPECT_EQ(c.status, r.status) << c.args[0] << " " << c.name;
    EXPECT_EQ(c.out, r.out) << c.args[0] << " " << c.name;
    EXPECT_EQ(c.err, r.err) << c.args[0] << " " << c.name;
  }
}

TEST_F(QuarnE2E, OverlappingRunsShareOneDaemon) {
  // Each of `processes` makes `runs` commands; all start at once.
  auto overlap = [&](int processes, int runs) {
    std::vector<pid_t> pids;
    for (int i = 0; i < processes; ++i) {
      pids.push_back(ForkChild([&] {
        for (int k = 0; k < runs; ++k) {
          ChildResult r = Quarn({"echo", "hi"});
          if (r.status != 0 || r.out != "hi\n") return 1;
        }
        return 0;
      }));
    }
    for (pid_t pid : pids) EXPECT_EQ(0, WaitChild(pid)) << "a command went unanswered";
  };
  // A fresh configuration; the start lock held a moment, so that they all
  // meet there.
  ASSERT_EQ(0, MkDirs(config_ + "/daemons"));
  LockHolder start({config_ + "/daemons/start.lock"}, 300);
  overlap(16, 1);
  start.Release();
  overlap(16, 1);  // one daemon running
  overlap(4, 20);  // loops of warm commands
  // A daemon that has ended is not counted.
  while (waitpid(-1, nullptr, WNOHANG) > 0) continue;
  EXPECT_EQ(1u, Entries().size());
  EXPECT_EQ(1u, Children().size()) << "daemons running";
  for (std::string lock :
       {std::string("lock"), std::string("start.lock"), Entries().at(0) + "/lock"}) {
    EXPECT_FALSE(Exists(config_ + "/daemons/" + lock)) << lock;
  }
}

TEST_F(QuarnE2E, ColdStartsStartOnlyTheDaemonsNeeded) {
  // A daemon that prints its key in lower case is found at once, the
  // start lock not held for the wait's whole bound; the trace has a line
  // for each step of the run.
  ChildOptions lower =
      Env({{"TREL_REFERENCE_KEY_LOWER_CASE", ""}, {"QUARN_NATIVE_TRACE_ENABLE", ""}});
  lower.cwd = temp_.path();
  EXPECT_EQ(3, Quarn({"--directory", "rel", "fail", "3"}, lower).status);
  std::vector<std::string> traces;
  ASSERT_EQ(0, ListFileSystemEntries(config_ + "/trace", traces, false));
  ASSERT_EQ(1u, traces.size());
  std::string trace = ReadFile(config_ + "/trace/" + traces[0]);
  for (std::string expected :
       {"argv[0] = " + std::string(QUARN_BINARY) + "\n", std::string("argv[5] = fail\n"),
        "main(): Effective CWD = " + temp_.Sub("rel") + "\n",
        "main(): Daemon Registry Path computed as " + config_ + "/daemons\n",
        std::string("StartNewDaemon(): Read data from daemon process stdout: Port = "),
        std::string("The new daemon's entry is listed after"),
        std::string("main(): Command exited with 3\n")}) {
    EXPECT_NE(std::string::npos, trace.find(expected)) << expected;
  }
  EXPECT_EQ(std::string::npos, trace.find("not listed"));
  StopAllDaemons();
  // A working directory that does not exist is served by one daemon, which
  // says what is wrong; runs at once start one between them.
  config_ = temp_.Sub("missing-dir");
  std::vector<pid_t> runs;
  for (int i = 0; i < 10; ++i) {
    runs.push_back(ForkChild([&] { return Quarn({"-d", "/nonexistent", "pwd"}).status; }));
  }
  for (pid_t pid : runs) EXPECT_EQ(1, WaitChild(pid));
  EXPECT_EQ(1, Quarn({"-d", temp_.Sub("a-file"), "pwd"}).status);
  EXPECT_EQ(1u, Entries().size());
  // An empty --config: the daemon gets the directory really used.
  ChildOptions named = Env({{"TREL_CONFIG_DIRECTORY", temp_.Sub("from-env")}});
  EXPECT_EQ("hi\n", Quarn({"--config", "", "echo", "hi"}, named).out);
  EXPECT_TRUE(Exists(temp_.Sub("from-env/daemons")));
}

TEST_F(QuarnE2E, ConvertsThroughACharacterSetGlibcLoadsAsAModule) {
  // quarn is linked statically, glibc included, and glibc loads the
  // converters of most character sets at run time: one of them, through
  // the real binary, in a locale made for the test.
  std::string locales = temp_.Sub("locales");
  ASSERT_EQ(0, MkDirs(locales));
  std::string make =
      "localedef -i en_US -f ISO-8859-15 " + locales + "/en_US.ISO-8859-15 >/dev/null 2>&1";
  if (system(make.c_str()) != 0) GTEST_SKIP() << "localedef cannot make the locale here";
  ChildOptions latin9 =
      Env({{"LOCPATH", locales}, {"LC_ALL", "en_US.ISO-8859-15"}, {"QUARN_TRANSCODE_UTF8", ""}});
  // Options set after the fixture's own: this LC_ALL wins.
  ChildResult r = Quarn({"echo", "caf\xE9 \xA4"}, latin9);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("caf\xC3\xA9 \xE2\x82\xAC\n", r.out);  // the daemon's UTF-8, é and the euro sign
}

// Standard output as the command finds it, set up in the child.
void StdoutOnto(const char* path) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  dup2(fd, 1);
}

TEST_F(QuarnE2E, OutputThatCannotBeWrittenEndsTheRun) {
  const std::string no_space = "quarn: cannot write to standard output: No space left on device\n";
  struct Case {
    std::vector<std::string> args;
    std::function<void()> in_child;
    bool nonblocking;
    int status;
    std::string err;
    size_t out_bytes;
  } cases[] = {
      // Closed, twice: nothing reaches the registry's files (or the
      // daemon's socket) in its place; the third run finds them intact.
      {{"echo", "hi"}, [] { close(1); }, false, 0, "", 0},
      {{"echo", "hi"}, [] { close(1); }, false, 0, "", 0},
      {{"echo", "hi"}, nullptr, false, 0, "", 3},
      {{"flood", "1000000"}, [] { StdoutOnto("/dev/full"); }, false, 13, no_space, 0},
      {{"echo", "hi"}, [] { StdoutOnto("/dev/full"); }, false, 13, no_space, 0},  // the last flush
      // A reader that has gone, SIGPIPE ignored: the flood stops at once, it
      // is not drained into the closed pipe (the alarm would end that drain).
      {{"flood", "100000000000"},
       [] {
         int ends[2];
         if (pipe(ends) != 0) _exit(125);
         dup2(ends[1], 1);
         close(ends[0]);
         signal(SIGPIPE, SIG_IGN);
       },
       false,
       13,
       "quarn: cannot write to standard output: Broken pipe\n",
       0},
      // A full non-blocking pipe is waited for, never an error.
      {{"flood", "1000000"}, nullptr, true, 0, "", 1000000},
  };
  for (const Case& c : cases) {
    ChildOptions options;
    options.in_child = c.in_child;
    options.stdout_nonblocking = c.nonblocking;
    options.timeout_seconds = 20;
    ChildResult r = Quarn(c.args, options);
    EXPECT_EQ(c.status, r.status) << c.args[1];
    EXPECT_EQ(c.err, r.err) << c.args[1];
    EXPECT_EQ(c.out_bytes, r.out.size()) << c.args[1];
  }
}

TEST_F(QuarnE2E, RelativeConfigurationPaths) {
  // Relative configuration directories of one component, made where the
  // command runs; the daemon keeps none of that directory busy.
  ChildOptions here;
  here.cwd = temp_.path();
  EXPECT_EQ("hi\n", Quarn({"--config", "rel", "echo", "hi"}, here).out);
  EXPECT_TRUE(Exists(temp_.Sub("rel/daemons")));
  here.set_env = {{"TREL_CONFIG_DIRECTORY", "rel2"}};
  std::string pid = std::to_string(PidIn(Quarn({"daemon", "status"}, here).out));
  if (Exists("/proc/self/cwd")) {  // another process's directory: Linux's /proc alone tells
    char cwd[64] = {};
    EXPECT_GT(readlink(("/proc/" + pid + "/cwd").c_str(), cwd, sizeof(cwd) - 1), 0);
    EXPECT_STREQ("/", cwd);
  }
  // A path in a command is the command's, not the daemon's.
  EXPECT_EQ("re-run done\n", Quarn({"rerun-once", "marker"}, here).out);
  EXPECT_TRUE(Exists(temp_.Sub("marker")));
  EXPECT_TRUE(Exists(temp_.Sub("rel2/daemons")));
}

// Faults and hostile input: hostile registry contents, descriptors reaching
// a new daemon, secrets in files, and a registry under churn.

// Everything below `dir` but `skip`: names, types, modes, owners, contents
// and link targets, never following a link.
std::string TreeSnapshot(const std::string& dir, const std::string& skip) {
  namespace fs = std::filesystem;
  std::set<std::string> lines;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
       ++it) {
    std::string path = it->path().string();
    if (path == skip) {
      it.disable_recursion_pending();
      continue;
    }
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) continue;
    std::string line =
        path + " " + std::to_string(info.st_mode) + " " + std::to_string(info.st_uid);
    if (S_ISREG(info.st_mode)) line += " " + ReadFile(path);
    if (S_ISLNK(info.st_mode)) line += " -> " + fs::read_symlink(path).string();
    lines.insert(line);
  }
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

TEST_F(QuarnE2E, HostileRegistryTouchesNothingOutsideIt) {
  // Each row plants something in a fresh registry, beside a tree that must
  // come out byte-identical, and runs one command.
  const uid_t nobody = 65534;
  const bool can_chown = geteuid() == 0;
  struct Row {
    std::string name;
    bool needs_root;
    int status;                     // 13: the registry refused, with its line
    size_t daemons;                 // running afterwards
    std::vector<std::string> kept;  // in the registry afterwards
    std::function<void(const std::string& registry, const std::string& outside)> plant;
  };
  std::vector<std::unique_ptr<LockHolder>> holders;
  auto hold = [&](std::vector<std::string> paths) {
    holders.push_back(std::make_unique<LockHolder>(paths));
  };
  auto live_daemon = [&](const std::string& sandboxes) {
    return [&, sandboxes](auto& registry, auto&) {
      ASSERT_EQ(0, Quarn({"echo", "start"}).status);
      WriteFile(registry + "/" + Entries().at(0) + "/sandboxes", sandboxes);
    };
  };
  // The command runs in the row's directory, inside temp_.
  std::string many;
  for (int i = 0; i < 100000; ++i)
    many += (i == 10 ? temp_.path() : "/r" + std::to_string(i)) + "\n";
  auto quoted_parents = [](auto& registry, auto&) {
    ASSERT_EQ(0, mkdir((registry + "/\"..\"").c_str(), 0700));
    ASSERT_EQ(0, mkdir((registry + "/\"..\"..\"").c_str(), 0700));
    ASSERT_EQ(0, mkdir((registry + "/../\"..\"").c_str(), 0700));
  };
  auto quoted_live = [&](auto& registry, auto&) {
    ASSERT_EQ(0, Quarn({"echo", "start"}).status);
    ASSERT_EQ(0, mkdir((registry + "/\"" + Entries().at(0) + "\"").c_str(), 0700));
  };
  auto linked_entry = [&](auto& registry, auto& outside) {
    MakeEntry(outside, "entry", 1, nullptr);
    hold({outside + "/entry/alivelock"});
    ASSERT_EQ(0, symlink((outside + "/entry").c_str(), (registry + "/linked").c_str()));
  };
  auto unreadable_and_links = [&](auto& registry, auto& outside) {
    MakeEntry(registry, "short", 1, nullptr);
    WriteFile(registry + "/short/location", "\x7f\x7f\x7f");
    MakeEntry(registry, "fifo", 2, nullptr);
    ASSERT_EQ(0, unlink((registry + "/fifo/location").c_str()));
    ASSERT_EQ(0, mkfifo((registry + "/fifo/location").c_str(), 0600));
    hold({registry + "/short/alivelock", registry + "/fifo/alivelock"});
    MakeEntry(registry, "stale", 3, nullptr);  // its alivelock and a link inside: links
    ASSERT_EQ(0,
              symlink((outside + "/tree/lock").c_str(), (registry + "/stale/alivelock").c_str()));
    ASSERT_EQ(0, symlink(outside.c_str(), (registry + "/stale/dirlink").c_str()));
    ASSERT_EQ(0, symlink((outside + "/made").c_str(), (registry + "/lock").c_str()));
  };
  auto fifo_locks = [](auto& registry, auto&) {
    MakeEntry(registry, "stale", 1, nullptr);
    for (std::string lock : {"lock", "start.lock", "stale/lock", "stale/alivelock"}) {
      ASSERT_EQ(0, mkfifo((registry + "/" + lock).c_str(), 0600)) << lock;
    }
  };
  auto their_entries = [&](auto& registry, auto&) {
    MakeEntry(registry, "theirs", 1, nullptr);
    MakeEntry(registry, "their-file", 2, nullptr);
    ASSERT_EQ(0, system(("chown -R 65534 '" + registry + "/theirs'").c_str()));
    ASSERT_EQ(0, chown((registry + "/their-file/location").c_str(), nobody, nobody));
  };
  auto their_registry = [&](auto& registry, auto&) {
    ASSERT_EQ(0, chown(registry.c_str(), nobody, nobody));
  };
  auto open_registry = [&](auto& registry, auto&) { ASSERT_EQ(0, chmod(registry.c_str(), 0777)); };
  std::vector<Row> rows = {
      {"quoted parent names", false, 0, 1, {}, quoted_parents},
      {"a live entry's name in quotes", false, 0, 1, {}, quoted_live},
      {"a linked entry whose alivelock is held", false, 0, 1, {"linked"}, linked_entry},
      {"unreadable live entries", false, 0, 1, {"fifo", "short"}, unreadable_and_links},
      {"FIFOs at every lock's name", false, 0, 1, {}, fifo_locks},
      {"another user's entry", true, 0, 1, {"their-file", "theirs"}, their_entries},
      {"another user's registry", true, 13, 0, {}, their_registry},
      {"a registry others may write to", false, 13, 0, {}, open_registry},
      // The daemon started first serves when one of its roots holds the
      // working directory; a root it cannot have makes a second start.
      {"a million empty sandbox lines", false, 0, 1, {}, live_daemon(std::string(1 << 20, '\n'))},
      {"one sandbox line of a mebibyte", false, 0, 2, {}, live_daemon(std::string(1 << 20, '/'))},
      {"a hundred thousand roots", false, 0, 1, {}, live_daemon(many)},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    if (row.needs_root && !can_chown) {
      std::cout << "[ SKIPPED ] " << row.name << ": changing owners needs root\n";
      continue;
    }
    std::string base = temp_.Sub("row" + std::to_string(i));
    config_ = base + "/home/cfg";
    std::string registry = config_ + "/daemons", outside = base + "/home/outside";
    ASSERT_EQ(0, MkDirs(registry));
    ASSERT_EQ(0, MkDirs(outside + "/tree"));
    WriteFile(base + "/home/precious", "precious");
    WriteFile(outside + "/tree/lock", "a file named like a lock");
    row.plant(registry, outside);
    std::string before = TreeSnapshot(base, config_);
    ChildOptions options;
    options.timeout_seconds = 20;
    options.cwd = base;
    ChildResult r = Quarn({"echo", "hi"}, options);
    EXPECT_EQ(row.status, r.status) << row.name << ": " << r.err;
    EXPECT_EQ(row.status == 0 ? "hi\n" : "", r.out) << row.name;
    std::string err = row.status == 13 ? "quarn: not using the daemon registry " : "";
    EXPECT_EQ(0u, r.err.rfind(err, 0)) << row.name << ": " << r.err;
    EXPECT_EQ(before, TreeSnapshot(base, config_)) << row.name;
    holders.clear();
    while (waitpid(-1, nullptr, WNOHANG) > 0) continue;
    EXPECT_EQ(row.daemons, Children().size()) << row.name;
    std::vector<std::string> names = Entries();
    for (const std::string& kept : row.kept) {
      EXPECT_NE(names.end(), std::find(names.begin(), names.end(), kept))
          << row.name << ": " << kept;
    }
    StopAllDaemons();
  }
}

TEST_F(QuarnE2E, NewDaemonsCommandLineAndNoOtherDescriptor) {
  std::string registry = config_ + "/daemons";
  for (int i = 0; i < 3; ++i) MakeEntry(registry, "stale" + std::to_string(i), 10 + i, nullptr);
  MakeEntry(registry, "busy", 20, nullptr);
  LockHolder busy({registry + "/busy/lock"});
  std::string fake = temp_.Sub("fake-daemon");
  WriteFile(fake,
            "#!/bin/sh\nls -l /proc/self/fd > " + temp_.Sub("fds") +
                "\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done > " + temp_.Sub("args") +
                "\necho 'Port: -1'\necho 'Key: k'\n",
            0755);
  ChildOptions options;
  options.set_env = {{"TREL_DAEMON_PATH", fake},
                     {"QUARN_NATIVE_TRACE_ENABLE", "1"},
                     {"TREL_DAEMON_CONNECTION_TIME_OUT", ""},
                     {"TREL_DAEMON_INACTIVE_TIME_OUT", "99"},
                     {"TREL_DAEMON_START_DEBUG", ""}};
  options.timeout_seconds = 20;
  EXPECT_EQ(13, Quarn({"echo", "hi"}, options).status);
  EXPECT_EQ("[--config][" + config_ +
                "][daemon][start][--connection-timeout][][--inactive-timeout][99][]",
            ReadFile(temp_.Sub("args")));
  // The standard descriptors and the shell's own script, nothing else
  // (each descriptor's target: Linux's /proc alone lists them).
  if (Exists("/proc/self/fd")) {
    EXPECT_EQ("", StrayDescriptors(ReadFile(temp_.Sub("fds")), fake));
  }
  EXPECT_FALSE(Exists(registry + "/stale0"));
  EXPECT_TRUE(Exists(registry + "/busy"));
}

TEST_F(QuarnE2E, SecretsStayOutOfFiles) {
  std::string tmp = temp_.Sub("tmp");
  ASSERT_EQ(0, MkDirs(tmp));
  ChildOptions options;
  options.set_env = {{"QUARN_NATIVE_TRACE_ENABLE", ""}, {"TMPDIR", tmp}};
  options.stdin_text = "  Tr0ub4dor&3-horse  \n";
  options.timeout_seconds = 20;
  EXPECT_EQ(0, Quarn({"login"}, options).status);
  // In no file (grep finds nothing: 1), and there was a trace of the run.
  EXPECT_EQ(1, WEXITSTATUS(system(("grep -rqa Tr0ub4dor " + config_ + " " + tmp).c_str())));
  EXPECT_EQ(0, WEXITSTATUS(system(("grep -rq 'exited with 0' " + config_ + "/trace").c_str())));
  // A trace file that cannot be opened mid-run (no descriptor left): one
  // line says so, and no trace line, key or environment reaches the
  // terminal.
  for (int limit : {6, 7, 8, 9, 10}) {
    ChildOptions few;
    few.set_env = {{"QUARN_NATIVE_TRACE_ENABLE", ""}, {"SECRET_VARIABLE", "Tr0ub4dor"}};
    few.timeout_seconds = 20;
    ChildResult r =
        RunProgram({"/bin/sh", "-c", "ulimit -n " + std::to_string(limit) + "; exec \"$0\" \"$@\"",
                    QUARN_BINARY, "--config", config_, "echo", "hi"},
                   few);
    EXPECT_EQ(std::string::npos, r.err.find("Tr0ub4dor")) << limit;
    EXPECT_EQ(std::string::npos, r.err.find("Key")) << limit;
    EXPECT_EQ(std::string::npos, r.err.find("():")) << limit;
    size_t notice = r.err.find("quarn: cannot write the trace file ");
    EXPECT_EQ(notice, r.err.rfind("quarn: cannot write the trace file ")) << limit;
  }
}

TEST_F(QuarnE2E, RegistryUnderChurn) {
  // For a bounded time: loops of commands, daemons started and killed with
  // SIGKILL, fake entries added and removed.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  std::string registry = config_ + "/daemons";
  std::vector<pid_t> loops;
  for (int i = 0; i < 3; ++i) {
    ChildOptions options;
    options.timeout_seconds = 20;
    options.cwd = temp_.Sub("loop" + std::to_string(i));
    ASSERT_EQ(0, MkDirs(options.cwd));
    loops.push_back(ForkChild([&, options] {
      while (std::chrono::steady_clock::now() < deadline) {
        int status = Quarn({"echo", "churn"}, options).status;
        // Success, or a daemon killed under it (13, or 255 mid-command).
        if (status != 0 && status != 13 && status != 255) return 1;
      }
      return 0;
    }));
  }
  std::set<pid_t> mine(loops.begin(), loops.end());
  for (int round = 0; std::chrono::steady_clock::now() < deadline; ++round) {
    for (pid_t pid : Children()) {
      if (mine.count(pid)) continue;
      if (round % 3 == 0) kill(pid, SIGKILL);
      waitpid(pid, nullptr, WNOHANG);  // reap what died; the loops are waited below
    }
    // A stale entry appears whole (built aside, renamed in), and an older
    // one goes, as lookups purge them.
    std::string staging = temp_.Sub("staging");
    MakeEntry(staging, "fake", 1, nullptr);
    rename((staging + "/fake").c_str(), (registry + "/fake" + std::to_string(round)).c_str());
    if (round > 2) (void)TrashDirectory(registry + "/fake" + std::to_string(round - 2));
    usleep(20000);
  }
  for (pid_t pid : loops) EXPECT_EQ(0, WaitChild(pid));
  while (waitpid(-1, nullptr, WNOHANG) > 0) continue;  // the daemons killed
  // One more lookup leaves no stale entry; every running daemon still has
  // its entry; no lock file is left once everyone has finished.
  EXPECT_EQ(0, Quarn({"echo", "after"}).status);
  std::set<pid_t> registered;
  for (const std::string& name : Entries()) {
    pid_t pid = PidIn(ReadFile(registry + "/" + name + "/daemon.properties"));
    EXPECT_TRUE(pid > 0 && ProcessRunning(pid)) << "stale entry survived: " << name;
    registered.insert(pid);
    EXPECT_FALSE(Exists(registry + "/" + name + "/lock")) << name;
  }
  for (pid_t pid : Children()) {
    EXPECT_TRUE(!ProcessRunning(pid) || registered.count(pid))
        << "a live daemon lost its entry: " << pid;
  }
  EXPECT_FALSE(Exists(registry + "/lock"));
}

}  // namespace
