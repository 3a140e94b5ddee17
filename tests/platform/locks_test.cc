#include "platform/locks.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"
#include "support/test_support.h"

namespace {

class LocksTest : public QuarnTest {};

struct HoldArgs {
  std::string path;
  Handshake* locked;
  Handshake* release;
};

int HoldLock(void* arg) {
  HoldArgs* args = static_cast<HoldArgs*>(arg);
  int handle = -1;
  if (AcquireFileLock(args->path, &handle) != 0) return 1;
  args->locked->Signal();
  args->release->Wait();
  return 0;  // exit drops the lock
}

TEST_F(LocksTest, CreatesChainAndFileWithPrivateModes) {
  std::string path = temp_.Sub("x/y/lock");
  int handle = -1;
  ASSERT_EQ(0, AcquireFileLock(path, &handle));
  ASSERT_GE(handle, 0);
  struct stat info;
  ASSERT_EQ(0, stat(path.c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 0777);
  ASSERT_EQ(0, stat(temp_.Sub("x").c_str(), &info));
  EXPECT_EQ(0700u, info.st_mode & 0777);
  EXPECT_TRUE(fcntl(handle, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(0, ReleaseFileLock(path, &handle));
  EXPECT_EQ(-1, handle);
  EXPECT_FALSE(Exists(path));
}

TEST_F(LocksTest, ContentionGivesBusyAtOnceUntilHolderExits) {
  std::string path = temp_.Sub("lock");
  Handshake locked, release;
  HoldArgs args{path, &locked, &release};
  pid_t pid = ForkChild(HoldLock, &args);
  locked.Wait();
  int handle = 123;
  EXPECT_EQ(kLockBusy, AcquireFileLock(path, &handle));
  EXPECT_EQ(-1, handle);  // closed at once, nothing left open
  release.Signal();
  EXPECT_EQ(0, WaitChild(pid));
  // The holder died without releasing: its file stays, its lock is gone.
  EXPECT_TRUE(Exists(path));
  EXPECT_EQ(0, AcquireFileLock(path, &handle));
  EXPECT_EQ(0, ReleaseFileLock(path, &handle));
}

TEST_F(LocksTest, ReleaseAfterFileDeletedClosesHandle) {
  std::string path = temp_.Sub("lock");
  int handle = -1;
  ASSERT_EQ(0, AcquireFileLock(path, &handle));
  ASSERT_EQ(0, unlink(path.c_str()));
  int fds_before = CountOpenFds();
  EXPECT_EQ(-1, ReleaseFileLock(path, &handle));
  EXPECT_EQ(-1, handle);
  EXPECT_EQ(fds_before - 1, CountOpenFds());
}

TEST_F(LocksTest, BadArguments) {
  int handle = -1;
  EXPECT_EQ(-1, AcquireFileLock(temp_.path(), &handle));
  EXPECT_EQ(-1, AcquireFileLock(temp_.Sub("l"), nullptr));
  ASSERT_EQ(0, mkfifo(temp_.Sub("fifo").c_str(), 0600));
  EXPECT_EQ(-2, AcquireFileLock(temp_.Sub("fifo"), &handle));
  WriteFile(temp_.Sub("file"), "x");
  EXPECT_EQ(-5, AcquireFileLock(temp_.Sub("file/lock"), &handle));
  EXPECT_EQ(-4, AcquireFileLock("nolock", &handle));
  EXPECT_EQ(-1, ReleaseFileLock(temp_.Sub("missing"), &handle));
  EXPECT_EQ(-1, ReleaseFileLock("", &handle));
  EXPECT_EQ(-2, ReleaseFileLock(temp_.Sub("file"), &handle));
  EXPECT_TRUE(Exists(temp_.Sub("file")));
}

TEST_F(LocksTest, NeverThroughALink) {
  std::string outside = temp_.Sub("outside");
  WriteFile(outside, "precious");
  for (std::string target : {outside, temp_.Sub("dangling-target")}) {
    std::string path = temp_.Sub("lock");
    ASSERT_EQ(0, symlink(target.c_str(), path.c_str()));
    int handle = -1;
    ASSERT_EQ(0, AcquireFileLock(path, &handle));
    struct stat info;
    ASSERT_EQ(0, lstat(path.c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode));  // the link made way for a lock file
    EXPECT_EQ(0, ReleaseFileLock(path, &handle));
    EXPECT_FALSE(Exists(path));
  }
  EXPECT_EQ("precious", ReadFile(outside));
  EXPECT_FALSE(Exists(temp_.Sub("dangling-target")));
}

TEST_F(LocksTest, LockInADeletedDirectoryIsTakenWhereItWasRecreated) {
  std::string entry = temp_.Sub("entry");
  ASSERT_EQ(0, mkdir(entry.c_str(), 0700));
  int dir = open(entry.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dir, 0);
  ASSERT_EQ(0, rmdir(entry.c_str()));  // deleted after it was opened
  int handle = -1;
  EXPECT_EQ(0, AcquireFileLockAt(dir, "lock", entry + "/lock", &handle));
  EXPECT_EQ(0, ReleaseFileLock(entry + "/lock", &handle));
  EXPECT_FALSE(Exists(entry + "/lock"));
  close(dir);
}

struct LoopArgs {
  std::string lock;
  std::string marker;
  int rounds;
};

// Takes the lock in a loop; inside it, the marker file must not exist.
int LockLoop(void* arg) {
  LoopArgs* args = static_cast<LoopArgs*>(arg);
  int done = 0;
  while (done < args->rounds) {
    int handle = -1;
    int result = AcquireFileLock(args->lock, &handle);
    if (result == kLockBusy) continue;
    if (result != 0) return 10 - result;
    int marker = open(args->marker.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (marker < 0) return 3;  // someone else is inside
    close(marker);
    if (unlink(args->marker.c_str()) != 0) return 4;
    if (ReleaseFileLock(args->lock, &handle) != 0) return 5;
    ++done;
  }
  return 0;
}

TEST_F(LocksTest, ManyProcessesNeverInsideTogether) {
  LoopArgs args{temp_.Sub("reg/lock"), temp_.Sub("inside"), 300};
  std::vector<pid_t> children;
  for (int i = 0; i < 6; ++i) children.push_back(ForkChild(LockLoop, &args));
  for (pid_t pid : children) EXPECT_EQ(0, WaitChild(pid));
  EXPECT_FALSE(Exists(args.lock));
}

}  // namespace
