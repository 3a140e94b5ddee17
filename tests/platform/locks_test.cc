#include "platform/locks.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "support/registry_support.h"
#include "support/test_support.h"

namespace {

class LocksTest : public QuarnTest {};

TEST_F(LocksTest, TakenWithoutWaitingAndReleasedByDeletion) {
  std::string path = temp_.Sub("x/y/lock");
  int handle = -1;
  ASSERT_EQ(0, AcquireFileLock(path, &handle));  // the directories are made too
  {
    // A new lock file in a directory that exists: the lines of the steps,
    // the parent's lookup among them.
    ScopedTrace trace(temp_.Sub("trace.txt"));
    int other = -1;
    ASSERT_EQ(0, AcquireFileLock(temp_.Sub("x/new"), &other));
    EXPECT_EQ(0, ReleaseFileLock(temp_.Sub("x/new"), &other));
    std::string text = trace.Contents();
    size_t at = 0;
    for (std::string line : {"Path " + temp_.Sub("x/new") + " is invalid; Checking parent...",
                             std::string("GetParentDirPath(): removed? = false"),
                             "GetParentDirPath(): tempPath = " + temp_.Sub("x/new"),
                             "GetParentDirPath(): tempParentPath = " + temp_.Sub("x"),
                             "GetParentDirPath(): Returning " + temp_.Sub("x"),
                             std::string("AcquireFileLock(): Parent path is valid")}) {
      at = text.find(line, at);
      EXPECT_NE(std::string::npos, at) << line;
    }
  }
  // Another process is refused at once, and nothing stays open there; a
  // name without a directory is refused (in the child's directory, ours).
  EXPECT_EQ(0, RunChild([&] {
                 int other = 123, bare = 123;
                 return AcquireFileLock(path, &other) != kLockBusy || other != -1 ||
                        chdir(temp_.path().c_str()) != 0 || AcquireFileLock("nolock", &bare) != -4;
               }).status);
  EXPECT_FALSE(Exists(temp_.Sub("nolock")));
  EXPECT_EQ(0, ReleaseFileLock(path, &handle));
  EXPECT_EQ(-1, handle);
  EXPECT_FALSE(Exists(path));
  // A holder that dies leaves its file, but not its lock.
  { LockHolder dead({path}); }
  EXPECT_TRUE(Exists(path));
  EXPECT_EQ(0, AcquireFileLock(path, &handle));
  // A release whose file someone deleted still closes the descriptor (the
  // fixture counts them).
  ASSERT_EQ(0, unlink(path.c_str()));
  EXPECT_EQ(-1, ReleaseFileLock(path, &handle));
}

TEST_F(LocksTest, OnlyEverARegularFileOfItsOwn) {
  std::string outside = temp_.Sub("outside");
  WriteFile(outside, "precious");
  // Whatever lies at the name but a directory makes way for a lock file:
  // a link is never followed, a FIFO or a socket never opened.
  std::string path = temp_.Sub("lock");
  std::function<void()> plants[] = {
      [&] { ASSERT_EQ(0, symlink(outside.c_str(), path.c_str())); },
      [&] { ASSERT_EQ(0, symlink(temp_.Sub("dangling-target").c_str(), path.c_str())); },
      [&] { ASSERT_EQ(0, mkfifo(path.c_str(), 0600)); },
      [&] {
        int sock = socket(AF_UNIX, SOCK_STREAM, 0);  // closed at once
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        ASSERT_EQ(0, bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
        close(sock);
      },
  };
  for (auto& plant : plants) {
    plant();
    int handle = -1;
    ASSERT_EQ(0, AcquireFileLock(path, &handle));
    struct stat info;
    ASSERT_EQ(0, lstat(path.c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(0, ReleaseFileLock(path, &handle));
  }
  EXPECT_EQ("precious", ReadFile(outside));
  EXPECT_FALSE(Exists(temp_.Sub("dangling-target")));
  // A directory is left alone, and refused.
  ASSERT_EQ(0, mkdir(path.c_str(), 0700));
  int handle = -1;
  EXPECT_EQ(-1, AcquireFileLock(path, &handle));
  EXPECT_EQ(-1, AcquireFileLockAt(AT_FDCWD, path.c_str(), path, &handle));
  EXPECT_TRUE(Exists(path));
}

TEST_F(LocksTest, AnotherUsersLockFileIsNamedToTheUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to be another user than the file's owner";
  std::string dir = temp_.Sub("reg"), path = dir + "/lock";
  ASSERT_EQ(0, mkdir(dir.c_str(), 0777));
  ASSERT_EQ(0, chmod(temp_.path().c_str(), 0755));
  WriteFile(path, "", 0600);
  ChildResult r = RunChild([&] {
    if (setgid(65534) != 0 || setuid(65534) != 0) return 10;
    int handle = -1;
    return -AcquireFileLock(path, &handle);
  });
  EXPECT_EQ(3, r.status);
  EXPECT_EQ("quarn: cannot open the lock file " + path + ": it belongs to uid 0\n", r.err);
}

TEST_F(LocksTest, ManyProcessesNeverInsideTogether) {
  std::string lock = temp_.Sub("reg/lock"), inside = temp_.Sub("inside");
  auto loop = [&] {
    for (int done = 0; done < 300;) {
      int handle = -1;
      int result = AcquireFileLock(lock, &handle);
      if (result == kLockBusy) continue;
      if (result != 0) return 10 - result;
      // Inside the lock the marker must not exist.
      int marker = open(inside.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
      if (marker < 0) return 3;
      close(marker);
      if (unlink(inside.c_str()) != 0 || ReleaseFileLock(lock, &handle) != 0) return 4;
      ++done;
    }
    return 0;
  };
  std::vector<pid_t> children;
  for (int i = 0; i < 6; ++i) children.push_back(ForkChild(loop));
  for (pid_t pid : children) EXPECT_EQ(0, WaitChild(pid));
  EXPECT_FALSE(Exists(lock));
}

}  // namespace
