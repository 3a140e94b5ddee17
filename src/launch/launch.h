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

/// StartNewDaemon's codes: what stopped the start.
constexpr int kStartBadArguments = -1;       // no location, or the install directory is none
constexpr int kStartNoPipe = -2;             // a pipe could not be made
constexpr int kStartNoFork = -3;             // fork failed
constexpr int kDaemonGoneAtStart = -4;       // the no-hang check on the new child failed
constexpr int kStartNoFirstLine = -6;        // its standard output ended or failed at once
constexpr int kStartNoLineAfterNotice = -7;  // nothing after the debugger notice
constexpr int kStartNoPortLine = -8;         // the line was not "Port: "
constexpr int kStartNoKeyLine = -9;          // nothing after the port
constexpr int kStartNoKey = -10;             // the line was not "Key: "
constexpr int kStartBadPortOrKey = -11;      // a negative port or an empty key
constexpr int kStartCloseFailed = -12;       // closing a read end failed

/// ReadLineFromPipe's codes besides 0 (a line).
constexpr int kPipeEnded = 1;  // the line holds what came, untrimmed
constexpr int kPipeBadDescriptor = -1;
constexpr int kPipeFailed = -2;  // a read error, or a line past 64 KiB

/// The extra argument of a daemon started in debug mode.
constexpr char kDaemonDebugArgument[] = "";

/// Starts a daemon and fills `location` from its first lines. 0 running,
/// else one of the kStart codes above. The daemon runs in a session and process group of its own; a
/// failed one is killed, its group with it, and reaped. While quarn waits
/// for the lines, the daemon's standard error is taken as it comes (the
/// last 64 KiB kept, and shown when the start fails). `daemonPid`, when
/// given, receives the started daemon's pid.
[[nodiscard]] int StartNewDaemon(const std::string& installDir, const std::string& configDir,
                                 DaemonLocation* location, pid_t* daemonPid = nullptr);

/// One LF-terminated line (trimmed), waiting while the non-blocking pipe is
/// empty. 0 line, else one of the kPipe codes above.
[[nodiscard]] int ReadLineFromPipe(int descriptor, std::string& line);

/// Copies the pipe's lines to standard error until it ends; returns how
/// many it copied.
int HandleDaemonStartFailure(int descriptor);

#endif  // QUARN_LAUNCH_LAUNCH_H_
