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
  std::vector<std::string> unset_env;                        // removed first,
  std::vector<std::pair<std::string, std::string>> set_env;  // then these set
  std::string stdin_text;
  bool stdin_held_open = false;     // stdin: a pipe that stays open, empty, until the end
  std::string cwd;                  // empty: the test's own
  std::string argv0;                // the name it is started under (default: its path)
  std::string stdout_file;          // descriptor 1 opened on this file, not captured
  bool stdout_broken_pipe = false;  // descriptor 1: a pipe whose reader has gone
  bool stdout_nonblocking = false;  // captured through a non-blocking pipe, read once full
  bool close_stdout = false;        // start with descriptor 1 closed
  bool ignore_sigpipe = false;
  int timeout_seconds = 0;  // > 0: SIGALRM ends a process that hangs
};

/// Closes every descriptor above 2 (in a child, before running the code
/// under test), so that what it leaks is its own.
void CloseAbove2();

/// Runs argv[0] with the options and waits for it; its standard output and
/// error are captured.
ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options);

/// Makes this process adopt orphaned descendants (daemons started by quarn),
/// so tests can reap them.
void BecomeSubreaper();

/// Reaps every child that has ended, without waiting.
void ReapEnded();

/// True while `pid` is running (not a zombie, not gone).
bool ProcessRunning(pid_t pid);

#endif  // QUARN_TESTS_SUPPORT_PROCESS_H_
