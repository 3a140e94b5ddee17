// The end-to-end fixture: the real quarn binary against the reference
// daemon (or a fake), in a configuration directory of the test's own.
// Daemons that quarn starts outlive it; the test adopts them (subreaper)
// and stops them all at the end.
#ifndef QUARN_TESTS_SUPPORT_E2E_FIXTURE_H_
#define QUARN_TESTS_SUPPORT_E2E_FIXTURE_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "support/test_support.h"

/// The number after "pid: " in `text` (a status or a properties file), or -1.
int PidIn(const std::string& text);

class QuarnE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!BecomeSubreaper()) {
      GTEST_SKIP() << "these tests adopt the daemons they start, to count and stop them: "
                      "a child subreaper, which only Linux offers";
    }
  }
  void TearDown() override { StopAllDaemons(); }

  /// Runs quarn with `args`, in the test's configuration directory unless
  /// `args` or the options name another.
  ChildResult Quarn(std::vector<std::string> args, ChildOptions options = {},
                    const std::string& name = "");
  /// The names in the registry directory.
  std::vector<std::string> Entries();
  /// The daemons adopted by this process.
  std::vector<pid_t> Children();
  void StopAllDaemons();

  TempDir temp_;
  std::string config_ = temp_.Sub("config");
};

#endif  // QUARN_TESTS_SUPPORT_E2E_FIXTURE_H_
