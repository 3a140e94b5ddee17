// Child processes for the tests and the benchmarks: no test framework
// here, so that the benchmark driver shares them.
#ifndef QUARN_TESTS_SUPPORT_PROCESSES_H_
#define QUARN_TESTS_SUPPORT_PROCESSES_H_

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

/// Starts `body` in a child without waiting; returns its pid.
pid_t ForkChild(const std::function<int()>& body);
/// Waits for `pid`; its exit status, or 128 + signal.
int WaitChild(pid_t pid);
/// True while `pid` runs (not a zombie, not gone): from /proc where there
/// is one, else from ps.
bool ProcessRunning(pid_t pid);
/// Makes this process adopt orphaned descendants (daemons started by
/// quarn). false where the system has no way (only Linux's is used).
bool BecomeSubreaper();
/// What the shell command `command` prints on standard output.
std::string OutputOf(const std::string& command);
/// This process's children, adopted ones included: from /proc where there
/// is one, else from ps.
std::vector<pid_t> ChildProcesses();

#endif  // QUARN_TESTS_SUPPORT_PROCESSES_H_
