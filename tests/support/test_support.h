// Shared test helpers: a temporary directory per test and a fixture that
// fails any test leaking a descriptor or a child; files; the environment;
// and one way to run a function or a program in a child.
#ifndef QUARN_TESTS_SUPPORT_TEST_SUPPORT_H_
#define QUARN_TESTS_SUPPORT_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/processes.h"

/// Number of open descriptors of this process.
int CountOpenFds();

/// A fresh directory under TMPDIR (or /tmp), removed on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  /// Where temporary directories go: TMPDIR, else /tmp.
  static std::string Base();
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
bool Exists(const std::string& path);  // the path itself, a link not followed

/// The lines of `ls -l /proc/self/fd`, run by a daemon script, that show a
/// descriptor above 2 other than the script itself and the listing's own.
std::string StrayDescriptors(const std::string& listing, const std::string& script);

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

/// Tracing on, into `path`, for one scope.
class ScopedTrace {
 public:
  explicit ScopedTrace(const std::string& path);
  ~ScopedTrace();
  std::string Contents() const { return ReadFile(path_); }

 private:
  ScopedEnv enable_;
  std::string path_;
};

/// How a child runs: its environment, directory and standard streams.
struct ChildOptions {
  std::vector<std::string> unset_env;                        // removed first,
  std::vector<std::pair<std::string, std::string>> set_env;  // then these set
  std::string cwd;                                           // empty: the test's own
  std::string stdin_text;
  bool stdout_nonblocking = false;  // a non-blocking pipe, read only once it is full
  int timeout_seconds = 0;          // > 0: SIGALRM ends a child that hangs
  std::function<void()> in_child;   // run last in the child: other descriptors, environ
};

struct ChildResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
  std::string report;  // what the child wrote to descriptor 3
};

/// Runs `body` in a child (its result is the exit status) and waits for it;
/// its standard output and error, and descriptor 3, are captured.
ChildResult RunChild(const std::function<int()>& body, const ChildOptions& options = {});
/// RunChild for a program: argv[0] is its path, `name` what it sees as its
/// argv[0] (default: the path). Descriptors above 2 are closed first.
ChildResult RunProgram(const std::vector<std::string>& argv, const ChildOptions& options = {},
                       const std::string& name = "");
#endif  // QUARN_TESTS_SUPPORT_TEST_SUPPORT_H_
