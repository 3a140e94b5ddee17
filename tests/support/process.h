// Running the real binaries in tests.
#ifndef QUARN_TESTS_SUPPORT_PROCESS_H_
#define QUARN_TESTS_SUPPORT_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

struct ProcessResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

struct ProcessOptions {
  std::vector<std::string> unset_env;                          // removed first,
  std::vector<std::pair<std::string, std::string>> set_env;  // then these set
  std::string stdin_text;
  std::string cwd;            // empty: the test's own
  bool close_stdout = false;  // start with descriptor 1 closed
  int timeout_seconds = 0;    // > 0: SIGALRM ends a process that hangs
};

/// Closes every descriptor above 2 (in a child, before running the code
/// under test), so that what it leaks is its own.
void CloseAbove2();

/// Runs argv[0] with the options; waits for it; its output is captured.
ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options,
                         const std::string& scratch_dir);

/// Starts argv without waiting (stdin/out/err on /dev/null); returns the pid.
pid_t SpawnProcess(const std::vector<std::string>& argv, const ProcessOptions& options);

/// Makes this process adopt orphaned descendants (daemons started by quarn),
/// so tests can reap them.
void BecomeSubreaper();

/// Reaps every child that has ended, without waiting.
void ReapEnded();

/// True while `pid` is running (not a zombie, not gone).
bool ProcessRunning(pid_t pid);

#endif  // QUARN_TESTS_SUPPORT_PROCESS_H_
