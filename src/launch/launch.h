// Starting a daemon: fork and exec `trel ... daemon start ...` with its
// standard output and error on pipes, and read its "Port: " and "Key: ".
#ifndef QUARN_LAUNCH_LAUNCH_H_
#define QUARN_LAUNCH_LAUNCH_H_

#include <sys/types.h>

#include <string>

#include "platform/location.h"

/// The time-outs a new daemon gets, in milliseconds, unless
/// TREL_DAEMON_CONNECTION_TIME_OUT or TREL_DAEMON_INACTIVE_TIME_OUT say
/// otherwise: a connection's wait for a front end's command, and the idle
/// time after which the daemon ends.
constexpr char kDefaultConnectionTimeoutMs[] = "120000";
constexpr char kDefaultInactiveTimeoutMs[] = "7200000";

/// The code when the no-hang check on the new child fails.
constexpr int kDaemonGoneAtStart = -4;
/// The extra argument of a daemon started in debug mode.
constexpr char kDaemonDebugArgument[] = "";

/// Starts a daemon and fills `location` from its first lines. 0 running;
/// -1 bad arguments; -2 pipe; -3 fork; kDaemonGoneAtStart; -6 no first line;
/// -7 no line after the debugger notice; -8 no "Port: "; -9 no key line;
/// -10 no "Key: "; -11 negative port or empty key; -12 closing a read end
/// failed. The daemon runs in a session and process group of its own; a
/// failed one is killed, its group with it, and reaped. While quarn waits
/// for the lines, the daemon's standard error is taken as it comes (the
/// last 64 KiB kept, and shown when the start fails). `daemonPid`, when
/// given, receives the started daemon's pid.
[[nodiscard]] int StartNewDaemon(const std::string& installDir, const std::string& configDir,
                                 DaemonLocation* location, pid_t* daemonPid = nullptr);

/// One LF-terminated line (trimmed), waiting while the non-blocking pipe is
/// empty. 0 line; 1 end of file (line holds what came, untrimmed); -1 bad
/// descriptor; -2 read error, or a line past 64 KiB.
[[nodiscard]] int ReadLineFromPipe(int descriptor, std::string& line);

/// Copies the pipe's lines to standard error until it ends; returns how
/// many it copied.
int HandleDaemonStartFailure(int descriptor);

#endif  // QUARN_LAUNCH_LAUNCH_H_
