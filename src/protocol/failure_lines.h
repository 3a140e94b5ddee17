// The one line quarn writes when a conversation fails and the daemon has
// not said why: what failed, and where.
#ifndef QUARN_PROTOCOL_FAILURE_LINES_H_
#define QUARN_PROTOCOL_FAILURE_LINES_H_

#include <string>

class Relay;

/// Standard output (1) or error (2) could not be written: the trace line
/// and the user's line. Returns kOutputFailed.
int ReportWriteFailure(int stream, int error);
/// The same for the stream the relay failed on.
int ReportRelayFailure(const Relay& relay);

/// The user's line for DoExecuteCommand's `result`, when the run ends with
/// 13 or 255 and the daemon has said nothing that explains it: `error` the
/// errno of a socket or connect failure, `negotiated` the handshake's code
/// with its `detail` (the refused line, or the cause), `malformed` what was
/// wrong with a message the reader refused.
void ExplainFailure(int result, int exitCode, bool exitCodeSeen, int port, int error,
                    int negotiated, const std::string& detail, const char* malformed);

#endif  // QUARN_PROTOCOL_FAILURE_LINES_H_
