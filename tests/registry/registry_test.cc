#include "registry/registry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "platform/files.h"
#include "platform/sys.h"
#include "support/registry_support.h"
#include "support/test_support.h"

namespace {

class RegistryTest : public QuarnTest {
 protected:
  void SetUp() override {
    QuarnTest::SetUp();
    registry_ = temp_.Sub("daemons");
    cwd_ = temp_.Sub("w/proj/src");
    ASSERT_EQ(0, MkDirs(registry_));
    ASSERT_EQ(0, MkDirs(cwd_));
  }
  std::string Entry(const std::string& name) { return registry_ + "/" + name; }
  std::vector<std::string> EntryNames() {
    std::vector<std::string> names;
    EXPECT_EQ(0, ListFileSystemEntries(registry_, names, true));
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string registry_, cwd_;
};

bool g_interrupted = false;
ssize_t InterruptedOnce(int fd, void* data, size_t size) {
  if (std::exchange(g_interrupted, true)) return ::read(fd, data, size);
  errno = EINTR;
  return -1;
}

TEST_F(RegistryTest, EntryFiles) {
  std::string path = temp_.Sub("location");
  int32_t port = 7;
  std::string key;
  WriteFile(path, std::string("\x80\x00\x1F\x90", 4) + std::string(16, '\xAB') + "tail");
  EXPECT_EQ(0, ReadLocationFile(path, port, key));
  EXPECT_EQ(static_cast<int32_t>(0x80001F90u), port);
  EXPECT_EQ("ABABABABABABABABABABABABABABABAB", key);
  {
    ScopedSysOverride<decltype(SysCalls::read)> interrupted(&SysCalls::read, &InterruptedOnce);
    EXPECT_EQ(0, ReadLocationFile(path, port, key));  // a signal meanwhile: read again
  }
  WriteFile(path, std::string(19, '\x01'));
  EXPECT_EQ(-2, ReadLocationFile(path, port, key));

  ScopedEnv lc_all("LC_ALL", "C.UTF-8");
  std::vector<std::string> sandboxes = {"stale"};
  // Trimmed lines, CR LF ends, and a line that does not convert used whole.
  // (A trailing space is cut together with what follows a NUL byte.)
  WriteFile(temp_.Sub("s"),
            std::string("/a\r\n\r\n  /b  \r\n/n \0tail\n/w/caf\xE9/x\n/w/\xC3\xA9t\xC3\xA9 ", 42));
  EXPECT_EQ(0, ReadSandboxesFile(temp_.Sub("s"), sandboxes));
  EXPECT_EQ(
      (std::vector<std::string>{"/a", "", "/b", "/n", "/w/caf\xE9/x", "/w/\xC3\xA9t\xC3\xA9"}),
      sandboxes);
  WriteFile(temp_.Sub("max"), std::string(1 << 20, '/'));  // at the size limit: still read
  EXPECT_EQ(0, ReadSandboxesFile(temp_.Sub("max"), sandboxes));
  std::map<std::string, std::string> properties;
  WriteFile(temp_.Sub("p"), "  pid: 42  \r\nname: x y\n:v\n\nk:\n");
  EXPECT_EQ(0, ReadPropertiesFile(temp_.Sub("p"), properties));
  EXPECT_EQ((std::map<std::string, std::string>{{"pid", "42"}, {"name", "x y"}, {"k", ""}}),
            properties);
  std::vector<std::string> lines;  // the same lines, by the named interface's reader
  EXPECT_EQ(0, ReadAsciiFileAsLines(temp_.Sub("p"), lines));
  EXPECT_EQ((std::vector<std::string>{"pid: 42", "name: x y", ":v", "", "k:"}), lines);
  // Links are never followed: a file that cannot be read, and its reader says so.
  ASSERT_EQ(0, symlink(temp_.Sub("s").c_str(), temp_.Sub("linked").c_str()));
  ScopedTrace trace(temp_.Sub("trace.txt"));
  EXPECT_EQ(-1, ReadSandboxesFile(temp_.Sub("linked"), sandboxes));
  EXPECT_NE(std::string::npos, trace.Contents().find("Could not open file to read"));
  EXPECT_NE(std::string::npos, trace.Contents().find("Error reading sandbox file data"));
  EXPECT_EQ(-1, ReadPropertiesFile(temp_.Sub("linked"), properties));
  EXPECT_EQ(-1, ReadLocationFile(temp_.Sub("linked"), port, key));
}

TEST_F(RegistryTest, PurgeDeletesStaleEntriesAndTheScanSkipsWhatItCannotRead) {
  MakeEntry(registry_, "live", 1000, nullptr);
  MakeEntry(registry_, "stale", 1001, "/x\n");
  MakeEntry(registry_, "stale-no-alivelock", 1002, nullptr);
  WriteFile(Entry("stale") + "/alivelock", "");  // left by a daemon that died
  for (const char* name : {"busy-stale", "busy-live", "short", "nolocation", "huge"}) {
    MakeEntry(registry_, name, 1003, "");
  }
  WriteFile(Entry("short") + "/location", std::string(19, '\x01'));
  ASSERT_EQ(0, symlink((Entry("live") + "/location").c_str(), Entry("filelink").c_str()));
  unlink((Entry("nolocation") + "/location").c_str());
  // Past the size limit an entry cannot be read: it is not taken for one
  // without sandboxes, which would serve every directory.
  ASSERT_EQ(0, truncate((Entry("huge") + "/sandboxes").c_str(), 1 << 30));
  LockHolder daemons({Entry("live") + "/alivelock", Entry("busy-live") + "/alivelock",
                      Entry("short") + "/alivelock", Entry("nolocation") + "/alivelock",
                      Entry("huge") + "/alivelock"});
  LockHolder busy({Entry("busy-stale") + "/lock", Entry("busy-live") + "/lock"});
  EXPECT_EQ(0, PurgeStaleDaemonEntries(registry_));
  std::vector<std::string> kept = {"busy-live", "busy-stale", "huge",
                                   "live",      "nolocation", "short"};
  EXPECT_EQ(kept, EntryNames());
  EXPECT_FALSE(Exists(Entry("live") + "/lock"));
  EXPECT_FALSE(Exists(registry_ + "/lock"));
  // Busy entries are neither read nor deleted; live ones never deleted.
  DaemonRegistryList list;
  EXPECT_EQ(0, ListDaemons(registry_, cwd_, list));
  ASSERT_EQ(1u, list.size());
  EXPECT_EQ(1000, list[0].port);
  EXPECT_EQ("000102030405060708090A0B0C0D0E0F", list[0].key);
  EXPECT_TRUE(list[0].sandboxes.empty());
  EXPECT_EQ("live", list[0].properties["name"]);
  EXPECT_EQ(kept, EntryNames());
}

// The entry named here vanishes just after a pass has opened it (its
// daemon deleting it, say), before the pass takes its lock; the opens
// before that are counted down first.
std::string g_vanishing;
int g_opens_before = 0;
int OpenThenVanish(int dirFd, const char* name, int flags, mode_t mode) {
  int fd = ::openat(dirFd, name, flags, mode);
  std::string base = g_vanishing.substr(g_vanishing.rfind('/') + 1);
  if (!g_vanishing.empty() && base == name && g_opens_before-- == 0) {
    EXPECT_EQ(0, system(("rm -rf '" + g_vanishing + "'").c_str()));
    g_vanishing.clear();
  }
  return fd;
}

TEST_F(RegistryTest, AnEntryDeletedUnderTheScanIsLockedAndReleasedWhereItIsNow) {
  MakeEntry(registry_, "vanishing", 5, nullptr);
  LockHolder daemon({Entry("vanishing") + "/alivelock"});
  ScopedTrace trace(temp_.Sub("trace.txt"));
  ScopedSysOverride<int (*)(int, const char*, int, mode_t)> hook(&SysCalls::openat,
                                                                 &OpenThenVanish);
  g_vanishing = Entry("vanishing");
  g_opens_before = 1;  // the purge's
  DaemonRegistryList list;
  EXPECT_EQ(0, ListDaemons(registry_, cwd_, list));
  EXPECT_TRUE(list.empty());
  // Made again as its lock's parent, and the lock released there.
  EXPECT_TRUE(Exists(Entry("vanishing")));
  EXPECT_FALSE(Exists(Entry("vanishing") + "/lock"));
  EXPECT_EQ(std::string::npos, trace.Contents().find("Error while deleting lock file"));
  daemon.Release();
  EXPECT_EQ(0, PurgeStaleDaemonEntries(registry_));
  EXPECT_EQ(std::vector<std::string>{}, EntryNames());
}

TEST_F(RegistryTest, BusyLocksAreWaitedForAWhile) {
  MakeEntry(registry_, "only", 42, nullptr);
  LockHolder daemon({Entry("only") + "/alivelock"});
  // Another lookup's registry lock, then the only live entry's lock, held
  // for 150 ms: the lookup waits and finds the daemon.
  for (const std::string& held : {registry_ + "/lock", Entry("only") + "/lock"}) {
    LockHolder other({held}, 150);
    DaemonLocation location;
    EXPECT_EQ(0, FindDaemon(registry_, cwd_, &location)) << held;
    EXPECT_EQ(42, location.port) << held;
  }
  // A working directory that is not there is looked up by its text.
  DaemonLocation location;
  EXPECT_EQ(0, FindDaemon(registry_, temp_.Sub("missing"), &location));
  EXPECT_EQ(42, location.port);
  // Held for good: the lookup gives up after its wait (-2).
  LockHolder other({registry_ + "/lock"});
  EXPECT_EQ(-2, FindDaemon(registry_, cwd_, &location));
}

TEST_F(RegistryTest, SelectionRules) {
  std::string w = temp_.Sub("w"), proj = w + "/proj";
  // Two matching entries (one with the shorter root) and uncommitted ones.
  MakeEntry(registry_, "a", 1, (w + "\n").c_str());
  MakeEntry(registry_, "b", 2, ("/elsewhere\n" + proj + "\n").c_str());
  MakeEntry(registry_, "u1", 3, nullptr);
  MakeEntry(registry_, "u2", 4, "");
  MakeEntry(registry_, "nomatch", 5, (proj + "/src/\n/W\n").c_str());
  LockHolder daemons({Entry("a") + "/alivelock", Entry("b") + "/alivelock",
                      Entry("u1") + "/alivelock", Entry("u2") + "/alivelock",
                      Entry("nomatch") + "/alivelock"});
  DaemonRegistryList list;
  ASSERT_EQ(0, ListDaemons(registry_, cwd_, list));
  std::string order;  // the ports, one digit each, in listing order
  for (const auto& entry : list) order += std::to_string(entry.port);
  DaemonLocation location;
  EXPECT_EQ(0, FindDaemon(registry_, cwd_, &location));
  EXPECT_EQ(order.find('1') < order.find('2') ? 1 : 2, location.port);
  // Outside every root: the last uncommitted entry in listing order.
  EXPECT_EQ(0, FindDaemon(registry_, temp_.path(), &location));
  EXPECT_EQ(order.find('3') < order.find('4') ? 4 : 3, location.port);
  // An empty sandbox line matches every directory.
  std::string other = temp_.Sub("other");
  MakeEntry(other, "e", 77, "/nowhere\n\n/else\n");
  MakeEntry(other, "nomatch", 78, "/nowhere\n");
  LockHolder more({other + "/e/alivelock", other + "/nomatch/alivelock"});
  EXPECT_EQ(0, FindDaemon(other, cwd_, &location));
  EXPECT_EQ(77, location.port);
}

}  // namespace
