#include "platform/descriptors.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/features.h"
#include "platform/random.h"
#include "platform/sys.h"
#include "support/test_support.h"
#include "support/wire.h"

namespace {

class DescriptorsTest : public QuarnTest {};

bool CloseOnExec(int fd) { return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }
bool NonBlocking(int fd) { return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }

// Whichever form the build took, a descriptor is close-on-exec from the
// moment it is handed out, and non-blocking only when asked.
TEST_F(DescriptorsTest, MadeCloseOnExec) {
  int port = 0;
  int listener = ListenLoopback(&port);
  ASSERT_GE(listener, 0);
  int client = ConnectLoopback(port);
  int accepted = AcceptConnection(listener);
  int pipe_ends[2], quick_ends[2], pair[2];
  ASSERT_EQ(0, OpenPipe(pipe_ends));
  ASSERT_EQ(0, OpenPipe(quick_ends, true));
  ASSERT_EQ(0, OpenSocketPair(pair));
  struct Row {
    const char* what;
    int fd;
    bool non_blocking;
  } rows[] = {
      {"listener", listener, false},
      {"connected", client, false},
      {"accepted", accepted, false},
      {"pipe read end", pipe_ends[0], false},
      {"pipe write end", pipe_ends[1], false},
      {"non-blocking read end", quick_ends[0], true},
      {"non-blocking write end", quick_ends[1], true},
      {"socket pair", pair[0], false},
      {"its other end", pair[1], false},
  };
  for (const Row& row : rows) {
    ASSERT_GE(row.fd, 0) << row.what;
    EXPECT_TRUE(CloseOnExec(row.fd)) << row.what;
    EXPECT_EQ(row.non_blocking, NonBlocking(row.fd)) << row.what;
    close(row.fd);
  }
}

// A daemon to be keeps 0, 1 and 2 and nothing else, up to the highest
// descriptor the process may have.
TEST_F(DescriptorsTest, ClosesEverythingAboveTwo) {
  ChildResult r = RunChild([] {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 10;
    limit.rlim_cur = 256;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 10;
    int highest = 255;
    if (dup2(0, 3) != 3 || dup2(0, 200) != 200 || dup2(0, highest) != highest) return 11;
    CloseDescriptorsAbove2();
    for (int fd : {3, 200, highest}) {
      if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) return 12;
    }
    for (int fd : {0, 1, 2}) {
      if (fcntl(fd, F_GETFD) == -1) return 13;
    }
    return 0;
  });
  EXPECT_EQ(0, r.status);
}

// Sends to a peer that has gone fail with EPIPE and never kill the sender
// (SIGPIPE left at its default); a SIGPIPE that was already waiting, held
// back by the program, is still waiting afterwards.
TEST_F(DescriptorsTest, SendsNeverRaiseSigpipe) {
  for (bool already_pending : {false, true}) {
    ChildResult r = RunChild([already_pending] {
      signal(SIGPIPE, SIG_DFL);
      sigset_t pipe_set;
      sigemptyset(&pipe_set);
      sigaddset(&pipe_set, SIGPIPE);
      if (already_pending &&
          (sigprocmask(SIG_BLOCK, &pipe_set, nullptr) != 0 || raise(SIGPIPE) != 0))
        return 10;
      int pair[2];
      if (OpenSocketPair(pair) != 0) return 11;
      close(pair[1]);
      if (SendOnce(pair[0], "x", 1, 0) != -1 || errno != EPIPE) return 12;
      sigset_t pending;
      if (sigpending(&pending) != 0) return 13;
      return sigismember(&pending, SIGPIPE) == (already_pending ? 1 : 0) ? 0 : 14;
    });
    EXPECT_EQ(0, r.status) << "already pending: " << already_pending;
  }
}

// What the receives without waiting and the discarding receive see.
TEST_F(DescriptorsTest, ReceivesTakeWhatArrived) {
  int pair[2];
  ASSERT_EQ(0, OpenSocketPair(pair));
  char buffer[16];
  errno = 0;
  EXPECT_EQ(-1, RecvNoWait(pair[0], buffer, sizeof(buffer), 0));
  EXPECT_EQ(EAGAIN, errno);
  ASSERT_EQ(6, SendOnce(pair[1], "abcdef", 6, 0));
  EXPECT_EQ(6, RecvNoWait(pair[0], buffer, sizeof(buffer), MSG_PEEK));
  EXPECT_EQ(4, RecvDiscard(pair[0], buffer, 4));
  ASSERT_EQ(2, RecvNoWait(pair[0], buffer, sizeof(buffer), 0));
  EXPECT_EQ("ef", std::string(buffer, 2));
  close(pair[1]);
  EXPECT_EQ(0, RecvNoWait(pair[0], buffer, sizeof(buffer), 0));
  close(pair[0]);
}

// A pipe's capacity where the system tells it, else none; never for a
// socket. Random bytes fill all their room, differently each time.
TEST_F(DescriptorsTest, PipeCapacityAndRandomBytes) {
  int ends[2], pair[2];
  ASSERT_EQ(0, OpenPipe(ends));
  ASSERT_EQ(0, OpenSocketPair(pair));
#if QUARN_HAVE_F_GETPIPE_SZ
  EXPECT_EQ(static_cast<size_t>(fcntl(ends[1], F_GETPIPE_SZ)), PipeCapacity(ends[1]));
#else
  EXPECT_EQ(0u, PipeCapacity(ends[1]));
#endif
  EXPECT_EQ(0u, PipeCapacity(pair[0]));
  for (int fd : {ends[0], ends[1], pair[0], pair[1]}) close(fd);

  std::string first(4096, '\0'), second(4096, '\0');
  ASSERT_TRUE(FillRandom(reinterpret_cast<unsigned char*>(&first[0]), first.size()));
  ASSERT_TRUE(FillRandom(reinterpret_cast<unsigned char*>(&second[0]), second.size()));
  EXPECT_NE(first, second);
  EXPECT_NE(std::string::npos, first.substr(4000).find_first_not_of('\0'));  // the end is filled
}

}  // namespace
