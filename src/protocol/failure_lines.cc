// The lines quarn writes when a conversation fails without the daemon's word.
#include "protocol/failure_lines.h"

#include <cstring>

#include "platform/console.h"
#include "platform/strings.h"
#include "protocol/protocol.h"
#include "protocol/relay.h"
#include "trace/trace.h"

// Writes the daemon's text to standard output (1) or error (2). A failed
// write ends the run: nothing the daemon sends can reach the user any more.
int ReportWriteFailure(int stream, int error) {
  const char* name = stream == 1 ? "standard output" : "standard error";
  TraceMessage("ERROR: DoExecuteCommand(): Could not write to %s; ec = %d", name, error);
  ReportToUser(std::string("cannot write to ") + name + ": " + std::strerror(error));
  return kOutputFailed;
}

int ReportRelayFailure(const Relay& relay) {
  return ReportWriteFailure(relay.failed_stream(), relay.error());
}

// One line for the user when the run ends with 13 or 255 and the daemon
// has said nothing that explains it.
void ExplainFailure(int result, int exitCode, bool exitCodeSeen, int port, int error,
                    int negotiated, const std::string& detail, const char* malformed) {
  std::string daemon = "the daemon on port " + std::to_string(port);
  switch (result) {
  case 0:
    if (malformed != nullptr) {
      // Said also after an exit code: the run ends with it, the rest unread.
      ReportToUser(daemon + " sent a message quarn cannot read (" + malformed + ")");
    } else if (!exitCodeSeen) {
      ReportToUser(daemon + " ended the conversation without an exit code");
    }
    return;
  case kExchangeNoSocket:
    ReportToUser(std::string("cannot create a socket to reach the daemon: ") +
                 std::strerror(error));
    return;
  case kExchangeNotConnected:
    ReportToUser("cannot connect to the daemon at 127.0.0.1:" + std::to_string(port) + ": " +
                 std::strerror(error));
    return;
  case kExchangeHandshakeFailed:
    if (negotiated == kNegotiateNo101) {
      ReportToUser(daemon + " refused the connection: " + PrintableText(detail, kQuotedTextBytes));
    } else if (negotiated == kNegotiateWrongUpgrade) {
      ReportToUser(daemon + " answered with an unexpected Upgrade header: " +
                   PrintableText(detail, kQuotedTextBytes));
    } else if (negotiated == kNegotiateNoUpgradeHeader) {
      ReportToUser(daemon + " answered without an Upgrade header");
    } else {
      ReportToUser("the handshake with " + daemon +
                   " failed: " + (detail.empty() ? std::string("the connection ended") : detail));
    }
    return;
  case kExchangeDescriptionNotSent:
    ReportToUser("lost the connection to " + daemon + " while sending the command");
    return;
  case kExchangeStdoutWithoutField:
  case kExchangeStderrWithoutField:
  case kExchangeExitCodeWithoutField:
    if (!exitCodeSeen || exitCode == kFrontEndFailureExitCode) {
      const char* what = result == kExchangeStdoutWithoutField   ? "'stdout'"
                         : result == kExchangeStderrWithoutField ? "'stderr'"
                                                                 : "'exit-code'";
      ReportToUser(daemon + " sent a " + what + " message without its field");
    }
    return;
  case kExchangeUnknownType:
    ReportToUser(daemon + " sent an unknown message '" + PrintableText(detail, 64) + "'");
    return;
  default:  // the line is already written (-8, kOutputFailed)
    return;
  }
}
