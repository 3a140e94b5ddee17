// The real quarn binary against the reference daemon, and faults around it.
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
#include "support/e2e_fixture.h"
#include "support/registry_support.h"

namespace {

TEST_F(QuarnE2E, CommandsThroughOneDaemon) {
  struct Case {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string out, err;
  } cases[] = {
      {{"echo", "hello", "world"}, "", 0, "hello world\n", ""},
      {{"fail", "13"}, "", 13, "", ""},  // the byte 0x0D travels as the escape \0d
      {{"nothing"}, "", 1, "", "unknown command: nothing\n"},  // the daemon's error, relayed
      {{"cat"}, "line one\nline two\nno newline", 0, "line one\nline two\nno newline", ""},
      {{"args", "a b", "--x"}, "", 0, "--config\n" + config_ + "\nargs\na b\n--x\n", ""},
  };
  for (const Case& c : cases) {
    ChildOptions options;
    options.stdin_text = c.input;
    ChildResult r = Quarn(c.args, options);
    EXPECT_EQ(c.status, r.status) << c.args[0];
    EXPECT_EQ(c.out, r.out) << c.args[0];
    EXPECT_EQ(c.err, r.err) << c.args.back();
  }
  EXPECT_EQ(1u, Entries().size());
}

TEST_F(QuarnE2E, RerunStartsASecondDaemonAndSendsTheCommandAgain) {
  EXPECT_EQ("re-run done\n", Quarn({"rerun-once", temp_.Sub("marker")}).out);
  ChildResult r = Quarn({"rerun-always"});
  EXPECT_EQ(13, r.status);
  EXPECT_EQ("quarn: the daemon kept asking for the command to be run again; giving up\n", r.err);
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

TEST_F(QuarnE2E, RegistryHeldForGoodEndsTheRunAfterItsWaits) {
  ASSERT_EQ(0, MkDirs(config_ + "/daemons"));
  LockHolder other({config_ + "/daemons/lock"});
  ChildResult r = Quarn({"echo", "hi"});
  // The lookups give up, and so does the daemon that cannot register.
  EXPECT_EQ(13, r.status);
  EXPECT_NE(std::string::npos, r.err.find("trel: cannot lock")) << r.err;
  EXPECT_EQ(std::vector<std::string>{"lock"}, Entries());  // the holder's, nothing else
}

TEST_F(QuarnE2E, StartupFailuresReportTheDaemonsErrors) {
  std::string fake = temp_.Sub("fake-trel");
  struct Case {
    std::string script, err;
  } cases[] = {
      {"echo 'trel: broken install' >&2\necho 'trel: second line' >&2\nexit 1\n",
       "trel: broken install\ntrel: second line\n"},
      {"echo nothing useful\nexit 0\n",
       "quarn: the daemon program '" + fake +
           "' did not report its port; it printed: nothing useful\n"},
      {"echo 'Port: 1234'\necho 'Key: '\n",
       "quarn: the daemon program '" + fake + "' did not report its key; it printed: Key:\n"},
      {"exit 0\n", "quarn: the daemon program '" + fake + "' ended without reporting its port\n"},
      {"", "quarn: cannot run the daemon program '" + temp_.Sub("missing") +
               "': No such file or directory\n"},
  };
  for (const Case& c : cases) {
    WriteFile(fake, "#!/bin/sh\n" + c.script, 0755);
    ChildOptions options;
    options.set_env = {{"TREL_DAEMON_PATH", c.script.empty() ? temp_.Sub("missing") : fake}};
    ChildResult r = Quarn({"echo", "hi"}, options);
    EXPECT_EQ(13, r.status) << c.script;
    EXPECT_EQ(c.err, r.err);
  }
}

TEST_F(QuarnE2E, ColdStartsStartOnlyTheDaemonsNeeded) {
  // A daemon that prints its key in lower case is found at once, the
  // start lock not held for the wait's whole bound.
  ChildOptions lower;
  lower.set_env = {{"TREL_REFERENCE_KEY_LOWER_CASE", ""}, {"QUARN_NATIVE_TRACE_ENABLE", ""}};
  EXPECT_EQ("hi\n", Quarn({"echo", "hi"}, lower).out);
  std::vector<std::string> traces;
  ASSERT_EQ(0, ListFileSystemEntries(config_ + "/trace", traces, false));
  ASSERT_EQ(1u, traces.size());
  std::string trace = ReadFile(config_ + "/trace/" + traces[0]);
  EXPECT_NE(std::string::npos, trace.find("The new daemon's entry is listed after"));
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
  ChildResult r = Quarn({"-d", temp_.Sub("a-file"), "pwd"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(1u, Entries().size());
  // An empty --config: the daemon gets the directory really used.
  ChildOptions named;
  named.set_env = {{"TREL_CONFIG_DIRECTORY", temp_.Sub("from-env")}};
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
  ChildOptions latin9;
  latin9.set_env = {
      {"LOCPATH", locales}, {"LC_ALL", "en_US.ISO-8859-15"}, {"QUARN_TRANSCODE_UTF8", ""}};
  // Options set after the fixture's own: this LC_ALL wins.
  ChildResult r = Quarn({"echo", "caf\xE9 \xA4"}, latin9);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("caf\xC3\xA9 \xE2\x82\xAC\n", r.out);  // the daemon's UTF-8, é and the euro sign
}

TEST_F(QuarnE2E, TraceFileOfOneRun) {
  ChildOptions options;
  options.set_env = {{"QUARN_NATIVE_TRACE_ENABLE", ""}};
  options.cwd = temp_.path();
  EXPECT_EQ(3, Quarn({"--directory", "rel", "fail", "3"}, options).status);
  std::vector<std::string> names;
  ASSERT_EQ(0, ListFileSystemEntries(config_ + "/trace", names, false));
  ASSERT_EQ(1u, names.size());
  // One line for each step of the run.
  std::string text = ReadFile(config_ + "/trace/" + names[0]);
  for (std::string expected :
       {"argv[0] = " + std::string(QUARN_BINARY) + "\n", std::string("argv[5] = fail\n"),
        "main(): Effective CWD = " + temp_.Sub("rel") + "\n",
        "main(): Daemon Registry Path computed as " + config_ + "/daemons\n",
        std::string("StartNewDaemon(): Read data from daemon process stdout: Port = "),
        std::string("main(): Command exited with 3\n")}) {
    EXPECT_NE(std::string::npos, text.find(expected)) << expected;
  }
}

TEST_F(QuarnE2E, OutputThatCannotBeWrittenEndsTheRun) {
  // Closed: nothing reaches the registry's files in its place.
  ChildOptions closed;
  closed.close_stdout = true;
  EXPECT_EQ(0, Quarn({"echo", "hi"}, closed).status);
  EXPECT_EQ(0, Quarn({"echo", "hi"}, closed).status);
  EXPECT_EQ("hi\n", Quarn({"echo", "hi"}).out);
  ChildOptions full;
  full.stdout_file = "/dev/full";
  ChildResult r = Quarn({"flood", "1000000"}, full);
  EXPECT_EQ(13, r.status);
  EXPECT_EQ("quarn: cannot write to standard output: No space left on device\n", r.err);
  // A reader that has gone, SIGPIPE ignored: the flood stops at once, it is
  // not drained into the closed pipe (the alarm would end that drain).
  ChildOptions gone;
  gone.stdout_broken_pipe = true;
  gone.timeout_seconds = 20;
  r = Quarn({"flood", "100000000000"}, gone);
  EXPECT_EQ(13, r.status);
  EXPECT_EQ("quarn: cannot write to standard output: Broken pipe\n", r.err);
  // A full non-blocking pipe is waited for, never an error.
  ChildOptions nonblocking;
  nonblocking.stdout_nonblocking = true;
  r = Quarn({"flood", "1000000"}, nonblocking);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(1000000u, r.out.size());
  EXPECT_EQ("", r.err);
}

TEST_F(QuarnE2E, RelativeProgramAndConfigurationPaths) {
  std::string build_dir = std::string(QUARN_BINARY).substr(0, std::string(QUARN_BINARY).rfind('/'));
  ChildOptions from_parent;
  from_parent.cwd = build_dir.substr(0, build_dir.rfind('/'));
  std::string relative = build_dir.substr(build_dir.rfind('/') + 1) + "/quarn";
  EXPECT_EQ("hi\n", Quarn({"echo", "hi"}, from_parent, relative).out);
  ChildOptions alias;  // not on PATH: quarn finds its own file
  alias.set_env = {{"PATH", "/nonexistent"}};
  EXPECT_EQ("hi\n", Quarn({"echo", "hi"}, alias, "quarn-alias").out);
  alias.set_env = {{"PATH", ""}};  // nor with an empty PATH, or none
  EXPECT_EQ("hi\n", Quarn({"echo", "hi"}, alias, "quarn-alias").out);
  alias.set_env.clear();
  alias.unset_env = {"PATH"};
  EXPECT_EQ("hi\n", Quarn({"echo", "hi"}, alias, "quarn-alias").out);

  // Relative configuration directories of one component, made where the
  // command runs; the daemon keeps none of that directory busy.
  ChildOptions here;
  here.cwd = temp_.path();
  EXPECT_EQ("hi\n", Quarn({"--config", "rel", "echo", "hi"}, here).out);
  EXPECT_TRUE(Exists(temp_.Sub("rel/daemons")));
  here.set_env = {{"TREL_CONFIG_DIRECTORY", "rel2"}};
  std::string pid = std::to_string(PidIn(Quarn({"daemon", "status"}, here).out));
  char cwd[64] = {};
  EXPECT_GT(readlink(("/proc/" + pid + "/cwd").c_str(), cwd, sizeof(cwd) - 1), 0);
  EXPECT_STREQ("/", cwd);
  // A path in a command is the command's, not the daemon's.
  EXPECT_EQ("re-run done\n", Quarn({"rerun-once", "marker"}, here).out);
  EXPECT_TRUE(Exists(temp_.Sub("marker")));
  EXPECT_TRUE(Exists(temp_.Sub("rel2/daemons")));
}

// Faults and hostile input: hostile registry contents, descriptors reaching
// a new daemon, secrets in files, and a registry under churn.

TEST_F(QuarnE2E, HostileRegistryContents) {
  std::string registry = config_ + "/daemons", outside = temp_.Sub("outside");
  ASSERT_EQ(0, MkDirs(outside));
  ASSERT_EQ(0, MkDirs(registry));
  WriteFile(outside + "/lock", "outside lock");
  WriteFile(outside + "/alivelock", "outside alivelock");
  WriteFile(outside + "/location", std::string(20, '\x01'));
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
  ASSERT_EQ(0, MkDirs(registry + "/nuls/location.d"));
  alive.push_back(registry + "/nuls/alivelock");
  // Lock files planted as links: never followed, and no lookup blocked; the
  // stale entry goes, links and all, and nothing they point to.
  MakeEntry(registry, "alive-link", 4, nullptr);
  ASSERT_EQ(0, MkDirs(registry + "/alive-link/sub/deeper"));
  ASSERT_EQ(0, symlink(outside.c_str(), (registry + "/alive-link/sub/dirlink").c_str()));
  ASSERT_EQ(0, symlink((outside + "/lock").c_str(), (registry + "/alive-link/filelink").c_str()));
  ASSERT_EQ(
      0, symlink((outside + "/alivelock").c_str(), (registry + "/alive-link/alivelock").c_str()));
  ASSERT_EQ(0, symlink(temp_.Sub("made-outside").c_str(), (registry + "/lock").c_str()));
  MakeEntry(registry, "fifo", 3, nullptr);
  unlink((registry + "/fifo/location").c_str());
  ASSERT_EQ(0, mkfifo((registry + "/fifo/location").c_str(), 0600));
  alive.push_back(registry + "/fifo/alivelock");
  LockHolder daemons(alive);

  ChildOptions options;
  options.timeout_seconds = 20;
  ChildResult r = Quarn({"echo", "still works"}, options);
  // No entry can be read, so a daemon starts; nothing hangs or crashes.
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("outside lock", ReadFile(outside + "/lock"));
  EXPECT_EQ("outside alivelock", ReadFile(outside + "/alivelock"));
  EXPECT_TRUE(Exists(outside + "/location"));
  EXPECT_FALSE(Exists(temp_.Sub("made-outside")));
  EXPECT_TRUE(Exists(registry + "/linked"));           // a linked entry is nobody's to delete
  EXPECT_FALSE(Exists(registry + "/alive-link"));      // a linked alivelock is nobody's
  EXPECT_TRUE(Exists(registry + "/short5/location"));  // live entries stay
}

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
    std::function<void(const std::string& registry, const std::string& outside)> plant;
    bool needs_root;
    int status;
    std::string err;                     // a prefix of standard error
    size_t daemons;                      // running afterwards
    std::vector<std::string> kept = {};  // in the registry afterwards
  };
  std::vector<std::unique_ptr<LockHolder>> holders;
  auto live_daemon = [&](const std::string& sandboxes) {
    return [&, sandboxes](const std::string& registry, const std::string&) {
      ASSERT_EQ(0, Quarn({"echo", "start"}).status);
      std::string entry = registry + "/" + Entries().at(0);
      WriteFile(entry + "/sandboxes", sandboxes);
    };
  };
  // The command runs in the row's directory, inside temp_.
  std::string many;
  for (int i = 0; i < 100000; ++i)
    many += (i == 10 ? temp_.path() : "/r" + std::to_string(i)) + "\n";
  std::vector<Row> rows = {
      {"quoted parent names",
       [](const std::string& registry, const std::string&) {
         ASSERT_EQ(0, mkdir((registry + "/\"..\"").c_str(), 0700));
         ASSERT_EQ(0, mkdir((registry + "/\"..\"..\"").c_str(), 0700));
         ASSERT_EQ(0, mkdir((registry + "/../\"..\"").c_str(), 0700));
       },
       false, 0, "", 1},
      {"a live entry's name in quotes",
       [&](const std::string& registry, const std::string&) {
         ASSERT_EQ(0, Quarn({"echo", "start"}).status);
         std::string live = Entries().at(0);
         ASSERT_EQ(0, mkdir((registry + "/\"" + live + "\"").c_str(), 0700));
       },
       false, 0, "", 1},
      {"a linked entry whose alivelock is held",
       [&](const std::string& registry, const std::string& outside) {
         ASSERT_EQ(0, MkDirs(outside + "/entry"));
         MakeEntry(outside, "entry", 1, nullptr);
         holders.push_back(
             std::make_unique<LockHolder>(std::vector<std::string>{outside + "/entry/alivelock"}));
         ASSERT_EQ(0, symlink((outside + "/entry").c_str(), (registry + "/linked").c_str()));
       },
       false,
       0,
       "",
       1,
       {"linked"}},
      {"FIFOs at every lock's name",
       [](const std::string& registry, const std::string&) {
         MakeEntry(registry, "stale", 1, nullptr);
         for (std::string lock : {"lock", "start.lock", "stale/lock", "stale/alivelock"}) {
           ASSERT_EQ(0, mkfifo((registry + "/" + lock).c_str(), 0600)) << lock;
         }
       },
       false, 0, "", 1},
      {"another user's entry",
       [&](const std::string& registry, const std::string&) {
         MakeEntry(registry, "theirs", 1, nullptr);
         MakeEntry(registry, "their-file", 2, nullptr);
         ASSERT_EQ(0, system(("chown -R 65534 '" + registry + "/theirs'").c_str()));
         ASSERT_EQ(0, chown((registry + "/their-file/location").c_str(), nobody, nobody));
       },
       true,
       0,
       "",
       1,
       {"their-file", "theirs"}},
      {"another user's registry",
       [&](const std::string& registry, const std::string&) {
         ASSERT_EQ(0, chown(registry.c_str(), nobody, nobody));
       },
       true, 13, "quarn: not using the daemon registry ", 0},
      {"a registry others may write to",
       [&](const std::string& registry, const std::string&) {
         ASSERT_EQ(0, chmod(registry.c_str(), 0777));
       },
       false, 13, "quarn: not using the daemon registry ", 0},
      // The daemon started first serves when one of its roots holds the
      // working directory; a root it cannot have makes a second start.
      {"a million empty sandbox lines", live_daemon(std::string(1 << 20, '\n')), false, 0, "", 1},
      {"one sandbox line of a mebibyte", live_daemon(std::string(1 << 20, '/')), false, 0, "", 2},
      {"a hundred thousand roots", live_daemon(many), false, 0, "", 1},
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
    EXPECT_EQ(0u, r.err.rfind(row.err, 0)) << row.name << ": " << r.err;
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
  // The standard descriptors and the shell's own script, nothing else.
  EXPECT_EQ("", StrayDescriptors(ReadFile(temp_.Sub("fds")), fake));
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
