// The exit codes quarn gives, besides the command's own, and when it stops
// running a command again.
#ifndef QUARN_PROTOCOL_EXIT_CODES_H_
#define QUARN_PROTOCOL_EXIT_CODES_H_

/// quarn could not run the command: no daemon, a refused or broken
/// conversation, output that could not be written.
constexpr int kFrontEndFailureExitCode = 13;
/// The daemon asks for the command to be run again on a fresh daemon.
constexpr int kRerunExitCode = 49;
/// No exit code arrived, or quarn could not start up: exit status 255.
constexpr int kNoExitCode = -1;
/// Re-runs allowed in one invocation before quarn gives up.
constexpr int kMaxReruns = 10;

#endif  // QUARN_PROTOCOL_EXIT_CODES_H_
