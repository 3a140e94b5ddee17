// Starting a daemon: fork and exec `trel ... daemon start ...` with its
// standard output and error on pipes, and read its "Port: " and "Key: ".
#ifndef QUARN_LAUNCH_LAUNCH_H_
#define QUARN_LAUNCH_LAUNCH_H_

#include <string>

#include "platform/location.h"

/// The code when the no-hang check on the new child fails.
constexpr int kDaemonGoneAtStart = -4;
/// The extra argument of a daemon started in debug mode.
constexpr char kDaemonDebugArgument[] = "";

/// Starts a daemon and fills `location` from its first lines. 0 running;
/// -1 bad arguments; -2 pipe; -3 fork; kDaemonGoneAtStart; -6 no first line;
/// -7 no line after the debugger notice; -8 no "Port: "; -9 no key line;
/// -10 no "Key: "; -11 negative port or empty key; -12/-13 closing a read or
/// write end failed. A failed daemon is killed and reaped.
[[nodiscard]] int StartNewDaemon(const std::string& installDir, const std::string& configDir,
                                 DaemonLocation* location);

/// One LF-terminated line (trimmed), waiting while the non-blocking pipe is
/// empty. 0 line; 1 end of file (line holds what came, untrimmed); -1 bad
/// descriptor; -2 read error, or a line past 64 KiB.
[[nodiscard]] int ReadLineFromPipe(int descriptor, std::string& line);

/// Copies the pipe's lines to standard error until it ends.
void HandleDaemonStartFailure(int descriptor);

#endif  // QUARN_LAUNCH_LAUNCH_H_
