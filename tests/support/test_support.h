// Shared test helpers: a temporary directory per test, leak checks for
// descriptors and children, small file helpers.
#ifndef QUARN_TESTS_SUPPORT_TEST_SUPPORT_H_
#define QUARN_TESTS_SUPPORT_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

/// Number of open descriptors of this process.
int CountOpenFds();

/// Creates a fresh directory under TMPDIR (or /tmp); removes it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string Sub(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

/// Fixture: a temp dir, and no descriptor or child process left behind.
class QuarnTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  TempDir temp_;

 private:
  int fds_at_start_ = 0;
};

void WriteFile(const std::string& path, const std::string& content, int mode = 0644);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);

/// Checks an `ls -l /proc/self/fd` listing taken by a shell script
/// `script`: only 0, 1, 2, the script itself and ls's own /proc handle.
void ExpectOnlyStandardDescriptors(const std::string& listing, const std::string& script);

/// Sets (or, with null, unsets) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();

 private:
  std::string name_;
  bool had_value_;
  std::string old_value_;
};

/// Turns tracing on into a file of the temp dir for one scope.
class ScopedTrace {
 public:
  explicit ScopedTrace(const std::string& path);
  ~ScopedTrace();
  std::string Contents() const;

 private:
  ScopedEnv enable_;
  std::string path_;
};

/// Forks a child that runs `body` and ends with _exit(its result).
pid_t ForkChild(int (*body)(void*), void* arg);
/// Waits for `pid`; returns its exit status, or 128+signal.
int WaitChild(pid_t pid);

/// A one-byte pipe handshake between parent and child.
class Handshake {
 public:
  Handshake();
  ~Handshake();
  void Signal();  // write one byte
  void Wait();    // read one byte
  void CloseAll();

 private:
  int fds_[2];
};

#endif  // QUARN_TESTS_SUPPORT_TEST_SUPPORT_H_
