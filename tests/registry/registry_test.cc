#include "registry/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "platform/files.h"
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
  // Names of listed live entries, in listing order.
  std::vector<std::string> Listed(int expectedResult = 0) {
    DaemonRegistryList list;
    EXPECT_EQ(expectedResult, ListDaemons(registry_, cwd_, list));
    std::vector<std::string> names;
    for (auto& record : list) names.push_back(record.properties["name"]);
    DestroyDaemonRegistryList(list);
    return names;
  }
  std::string registry_, cwd_;
};

TEST_F(RegistryTest, LocationFiles) {
  std::string path = temp_.Sub("location");
  int32_t port = 7;
  std::string key = "k";
  WriteFile(path, std::string("\x00\x00\x1F\x90", 4) + std::string(16, '\xAB') + "tail");
  EXPECT_EQ(0, ReadLocationFile(path, port, key));
  EXPECT_EQ(8080, port);
  EXPECT_EQ("ABABABABABABABABABABABABABABABAB", key);
  WriteFile(path, std::string("\x80\x00\x00\x01", 4) + std::string(16, '\x01'));
  EXPECT_EQ(0, ReadLocationFile(path, port, key));
  EXPECT_EQ(INT32_MIN + 1, port);
  EXPECT_EQ("01010101010101010101010101010101", key);
  port = 5;
  WriteFile(path, std::string(19, '\x01'));
  EXPECT_EQ(-2, ReadLocationFile(path, port, key));
  EXPECT_EQ(5, port);
  EXPECT_EQ(-1, ReadLocationFile(temp_.Sub("missing"), port, key));
  EXPECT_EQ(-1, ReadLocationFile(temp_.path(), port, key));
  ASSERT_EQ(0, mkfifo(temp_.Sub("fifo").c_str(), 0600));
  EXPECT_EQ(-1, ReadLocationFile(temp_.Sub("fifo"), port, key));
}

TEST_F(RegistryTest, SandboxAndPropertyFiles) {
  ScopedEnv lc_all("LC_ALL", "C.UTF-8");
  std::vector<std::string> sandboxes = {"stale"};
  WriteFile(temp_.Sub("s1"), "/a/b\n/c");
  EXPECT_EQ(0, ReadSandboxesFile(temp_.Sub("s1"), sandboxes));
  EXPECT_EQ((std::vector<std::string>{"/a/b", "/c"}), sandboxes);
  WriteFile(temp_.Sub("s2"), "/a\r\n\r\n  /b  \r\n");
  EXPECT_EQ(0, ReadSandboxesFile(temp_.Sub("s2"), sandboxes));
  EXPECT_EQ((std::vector<std::string>{"/a", "", "/b"}), sandboxes);
  WriteFile(temp_.Sub("s3"), "");
  EXPECT_EQ(0, ReadSandboxesFile(temp_.Sub("s3"), sandboxes));
  EXPECT_TRUE(sandboxes.empty());
  EXPECT_EQ(-1, ReadSandboxesFile(temp_.Sub("missing"), sandboxes));
  // A line that does not convert is used whole, never cut short.
  WriteFile(temp_.Sub("s4"), "/w/caf\xE9/x\n/w/\xC3\xA9t\xC3\xA9\n");
  EXPECT_EQ(0, ReadSandboxesFile(temp_.Sub("s4"), sandboxes));
  EXPECT_EQ((std::vector<std::string>{"/w/caf\xE9/x", "/w/\xC3\xA9t\xC3\xA9"}), sandboxes);

  std::map<std::string, std::string> properties = {{"stale", "x"}};
  WriteFile(temp_.Sub("p"), "pid: 12\nnosep\n: empty name\nstart: a: b\npid: 13\nempty: \n\n");
  EXPECT_EQ(0, ReadPropertiesFile(temp_.Sub("p"), properties));
  EXPECT_EQ((std::map<std::string, std::string>{{"pid", "13"}, {"start", "a: b"}, {"empty", ""}}),
            properties);
  EXPECT_EQ(-1, ReadPropertiesFile(temp_.Sub("missing"), properties));
  EXPECT_TRUE(properties.empty());

  // A file that is there but cannot be read (here: a link, never followed)
  // is reported by the readers; a missing one is not.
  ScopedTrace trace(temp_.Sub("trace.txt"));
  ASSERT_EQ(0, symlink(temp_.Sub("s1").c_str(), temp_.Sub("linked").c_str()));
  EXPECT_EQ(-1, ReadSandboxesFile(temp_.Sub("linked"), sandboxes));
  EXPECT_EQ(-1, ReadPropertiesFile(temp_.Sub("linked"), properties));
  int32_t port = -1;
  std::string key;
  EXPECT_EQ(-1, ReadLocationFile(temp_.Sub("linked"), port, key));
  std::string text = trace.Contents();
  EXPECT_NE(std::string::npos,
            text.find("ERROR: ReadAsciiFileAsLines(): Could not open file to read: " +
                      temp_.Sub("linked")));
  EXPECT_NE(std::string::npos,
            text.find("ERROR: ReadSandboxesFile(): Error reading sandbox file data; result = -1"));
  EXPECT_NE(std::string::npos,
            text.find("ERROR: ReadPropertiesFile(): Error reading properties file"));
  EXPECT_EQ(std::string::npos, text.find(temp_.Sub("missing")));
}

TEST_F(RegistryTest, PurgeDeletesStaleEntriesOnly) {
  MakeEntry(registry_, "live", 1000, "/x\n");
  MakeEntry(registry_, "stale", 1001, "/x\n");
  MakeEntry(registry_, "stale-no-alivelock", 1002, nullptr);
  WriteFile(Entry("stale") + "/alivelock", "");  // left by a daemon that died
  LockHolder daemon({Entry("live") + "/alivelock"});
  EXPECT_EQ(0, PurgeStaleDaemonEntries(registry_));
  EXPECT_EQ((std::vector<std::string>{"live"}), EntryNames());
  EXPECT_TRUE(Exists(Entry("live") + "/location"));
  EXPECT_FALSE(Exists(Entry("live") + "/lock"));
  EXPECT_FALSE(Exists(registry_ + "/lock"));
  EXPECT_EQ(-1, PurgeStaleDaemonEntries(temp_.Sub("nothere")));
}

TEST_F(RegistryTest, BusyEntriesAreNeitherReadNorDeleted) {
  MakeEntry(registry_, "busy-stale", 1000, "/x\n");
  MakeEntry(registry_, "busy-live", 1001, "/x\n");
  LockHolder busy({Entry("busy-stale") + "/lock", Entry("busy-live") + "/lock",
                   Entry("busy-live") + "/alivelock"});
  EXPECT_TRUE(Listed().empty());
  EXPECT_EQ((std::vector<std::string>{"busy-live", "busy-stale"}), EntryNames());
}

TEST_F(RegistryTest, ScanSkipsUnreadableLocationsAndListsUncommitted) {
  MakeEntry(registry_, "short", 1000, "/x\n");
  MakeEntry(registry_, "nolocation", 1001, "/x\n");
  MakeEntry(registry_, "nosandboxes", 1002, nullptr);
  MakeEntry(registry_, "hugesandboxes", 1003, "");
  WriteFile(Entry("short") + "/location", std::string(19, '\x01'));
  unlink((Entry("nolocation") + "/location").c_str());
  // Past the size limit an entry cannot be read: it is not taken for one
  // without sandboxes, which would serve every directory.
  ASSERT_EQ(0, truncate((Entry("hugesandboxes") + "/sandboxes").c_str(), 1 << 30));
  LockHolder daemons({Entry("short") + "/alivelock", Entry("nolocation") + "/alivelock",
                      Entry("nosandboxes") + "/alivelock", Entry("hugesandboxes") + "/alivelock"});
  DaemonRegistryList list;
  ASSERT_EQ(0, ListDaemons(registry_, cwd_, list));
  ASSERT_EQ(1u, list.size());
  EXPECT_EQ(1002, list[0].port);
  EXPECT_EQ(KeyFor(0), list[0].key);
  EXPECT_TRUE(list[0].sandboxes.empty());
  DestroyDaemonRegistryList(list);
  EXPECT_EQ(4u, EntryNames().size());  // live entries are never deleted
}

TEST_F(RegistryTest, ShortBusyLocksAreWaitedFor) {
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
}

TEST_F(RegistryTest, RegistryLockHeldForGoodFailsTheLookupAfterTheWait) {
  MakeEntry(registry_, "stale", 1000, "/x\n");
  LockHolder other({registry_ + "/lock"});
  DaemonLocation location;
  location.port = 5;
  location.key = "x";
  EXPECT_EQ(-2, FindDaemon(registry_, cwd_, &location));
  EXPECT_EQ(-1, location.port);
  EXPECT_EQ("", location.key);
  EXPECT_TRUE(Exists(Entry("stale")));
}

TEST_F(RegistryTest, SelectionRules) {
  std::string w = temp_.Sub("w");
  std::string proj = w + "/proj";
  // Two matching entries (one with the shorter root) and uncommitted ones.
  MakeEntry(registry_, "a", 1, (w + "\n").c_str(), 1);
  MakeEntry(registry_, "b", 2, ("/elsewhere\n" + proj + "\n").c_str(), 2);
  MakeEntry(registry_, "u1", 3, nullptr, 3);
  MakeEntry(registry_, "u2", 4, "", 4);
  MakeEntry(registry_, "nomatch", 5, (proj + "/src/\n/W\n").c_str(), 5);
  LockHolder daemons({Entry("a") + "/alivelock", Entry("b") + "/alivelock",
                      Entry("u1") + "/alivelock", Entry("u2") + "/alivelock",
                      Entry("nomatch") + "/alivelock"});
  std::vector<std::string> order = Listed();
  ASSERT_EQ(5u, order.size());
  auto position = [&](const std::string& name) {
    return std::find(order.begin(), order.end(), name) - order.begin();
  };
  DaemonLocation location;
  EXPECT_EQ(0, FindDaemon(registry_, cwd_, &location));
  int first_match = position("a") < position("b") ? 1 : 2;
  EXPECT_EQ(first_match, location.port);
  EXPECT_EQ(KeyFor(first_match), location.key);

  // Outside every root: the last uncommitted entry in listing order.
  std::string other = temp_.Sub("other");
  ASSERT_EQ(0, MkDirs(other));
  EXPECT_EQ(0, FindDaemon(registry_, other, &location));
  int last_uncommitted = position("u1") > position("u2") ? 3 : 4;
  EXPECT_EQ(last_uncommitted, location.port);
}

TEST_F(RegistryTest, EmptySandboxLineMatchesEverything) {
  MakeEntry(registry_, "e", 77, "/nowhere\n\n/else\n");
  LockHolder daemon({Entry("e") + "/alivelock"});
  DaemonLocation location;
  EXPECT_EQ(0, FindDaemon(registry_, cwd_, &location));
  EXPECT_EQ(77, location.port);
}

TEST_F(RegistryTest, NothingFoundAndBadArguments) {
  DaemonLocation location;
  location.port = 9;
  location.key = "k";
  EXPECT_EQ(-1, FindDaemon(registry_, temp_.Sub("missing"), &location));
  EXPECT_EQ(9, location.port);
  EXPECT_EQ(-1, FindDaemon(temp_.Sub("missing"), cwd_, &location));
  EXPECT_EQ(-1, FindDaemon(registry_, cwd_, nullptr));
  EXPECT_EQ(-3, FindDaemon(registry_, cwd_, &location));
  EXPECT_EQ(-1, location.port);
  EXPECT_EQ("", location.key);
}

TEST_F(RegistryTest, LinkedEntriesNeverReachOutside) {
  std::string outside = temp_.Sub("outside");
  ASSERT_EQ(0, MkDirs(outside + "/sub"));
  WriteFile(outside + "/lock", "precious lock-named file");
  WriteFile(outside + "/alivelock", "precious");
  WriteFile(outside + "/sub/data", "precious");
  MakeEntry(outside, "looks-like-entry", 1, nullptr);
  ASSERT_EQ(0, symlink(outside.c_str(), Entry("linked").c_str()));
  MakeEntry(registry_, "holds-links", 2, nullptr);
  ASSERT_EQ(0, symlink(outside.c_str(), (Entry("holds-links") + "/dirlink").c_str()));
  ASSERT_EQ(0, symlink((outside + "/lock").c_str(), (Entry("holds-links") + "/filelink").c_str()));

  // Lock files planted as links: never followed, and no lookup blocked.
  MakeEntry(registry_, "alive-link", 3, nullptr);
  ASSERT_EQ(
      0, symlink((outside + "/alivelock").c_str(), (Entry("alive-link") + "/alivelock").c_str()));
  ASSERT_EQ(0, symlink(temp_.Sub("made-outside").c_str(), (registry_ + "/lock").c_str()));

  DaemonLocation location;
  EXPECT_EQ(-3, FindDaemon(registry_, cwd_, &location));
  EXPECT_TRUE(EntryNames().empty());  // the alivelock link made its entry stale
  EXPECT_FALSE(Exists(temp_.Sub("made-outside")));
  EXPECT_FALSE(Exists(registry_ + "/lock"));
  EXPECT_EQ("precious lock-named file", ReadFile(outside + "/lock"));
  EXPECT_EQ("precious", ReadFile(outside + "/alivelock"));
  EXPECT_EQ("precious", ReadFile(outside + "/sub/data"));
  EXPECT_TRUE(Exists(outside + "/looks-like-entry/location"));
}

struct LookupArgs {
  std::string registry, cwd;
  int rounds;
};

int LookupLoop(void* arg) {
  auto* args = static_cast<LookupArgs*>(arg);
  for (int i = 0; i < args->rounds; ++i) {
    DaemonLocation location;
    int result = FindDaemon(args->registry, args->cwd, &location);
    // Busy registry locks give -2; any answer must be a live daemon's.
    if (result == 0 && (location.port < 100 || location.port >= 200)) return 1;
  }
  return 0;
}

TEST_F(RegistryTest, ManyConcurrentLookupsKeepTheRegistryClean) {
  std::vector<std::string> alive;
  for (int i = 0; i < 8; ++i) {
    MakeEntry(registry_, "live" + std::to_string(i), 100 + i, i % 2 ? nullptr : "/nomatch\n");
    alive.push_back(Entry("live" + std::to_string(i)) + "/alivelock");
  }
  for (int i = 0; i < 8; ++i) {
    MakeEntry(registry_, "stale" + std::to_string(i), 200 + i, nullptr);
    if (i % 2) WriteFile(Entry("stale" + std::to_string(i)) + "/alivelock", "");
  }
  {
    LockHolder daemons(alive);
    LookupArgs args{registry_, cwd_, 40};
    std::vector<pid_t> children;
    for (int i = 0; i < 6; ++i) children.push_back(ForkChild(LookupLoop, &args));
    for (pid_t pid : children) EXPECT_EQ(0, WaitChild(pid));
    std::vector<std::string> names = EntryNames();
    ASSERT_EQ(8u, names.size());
    for (const std::string& name : names) EXPECT_EQ(0u, name.find("live")) << name;
    EXPECT_FALSE(Exists(registry_ + "/lock"));
    for (int i = 0; i < 8; ++i) EXPECT_FALSE(Exists(Entry("live" + std::to_string(i)) + "/lock"));
  }
}

}  // namespace
