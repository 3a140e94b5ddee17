// The daemon's requests for console input and passwords, answered from
// standard input.
#include "protocol/console_requests.h"

#include <unistd.h>

#include "platform/console.h"
#include "platform/strings.h"
#include "protocol/failure_lines.h"
#include "protocol/protocol.h"
#include "protocol/relay.h"
#include "trace/trace.h"

namespace {

bool IsEchoOffFlag(const std::string& flag) {
  return flag == "true" || flag == "TRUE" || flag == "True";
}

void TraceConnectionEnded() {
  TraceMessage(
      "DoExecuteCommand(): The daemon closed the connection while waiting for console input");
}

// White space off both ends of the whole secret: a NUL byte in it is data.
void TrimSecret(std::string& secret) {
  size_t end = secret.size();
  while (end > 0 && IsWhiteSpace(static_cast<unsigned char>(secret[end - 1]))) --end;
  size_t begin = 0;
  while (begin < end && IsWhiteSpace(static_cast<unsigned char>(secret[begin]))) ++begin;
  secret.erase(end);
  secret.erase(0, begin);
}

}  // namespace

int ServeStdinRequest(int* socket, const Message& message, Relay& relay) {
  std::string input;
  if (!message.fields.empty() && !ConsoleInputEnded()) {
    // What the daemon wrote before it asked is on the console first.
    if (relay.Flush() != 0) return ReportRelayFailure(relay);
    int max_bytes = ConvertStringToInt(message.fields[0].c_str(), 10);
    ConsoleResult read = ReadConsole(input, max_bytes, false, *socket, false);
    if (read == ConsoleResult::kWatchEnded) {
      TraceConnectionEnded();
      return 0;
    }
    if (read == ConsoleResult::kNotConverted) {
      EndConsoleInput();
      ReportToUser("console input does not convert to UTF-8; the daemon is told that input ended");
    }
  }
  TraceMessage("DoExecuteCommand(): Read input of size %d bytes", static_cast<int>(input.size()));
  if (!input.empty()) {
    int result = WriteMessage(socket, kTypeStdinResponse, "%s", input);
    if (result != 0) {
      TraceMessage(
          "ERROR: DoExecuteCommand(): Error sending stdin_response message; result = %d; input = %s",
          result, input.c_str());
    }
    return 0;
  }
  TraceMessage(
      "ERROR: DoExecuteCommand(): Error reading input or converting from stdin; sending "
      "stdin_closed");
  int result = WriteMessage(socket, kTypeStdinClosed, "");
  if (result != 0) {
    TraceMessage("ERROR: DoExecuteCommand(): Error sending stdin_closed message; result = %d",
                 result);
  }
  return 0;
}

int ServePasswordRead(int* socket, const Message& message, Relay& relay) {
  if (message.fields.size() < 2) {
    TraceMessage(
        "ERROR: DoExecuteCommand(): Insufficient # of arguments for password_read request; size = "
        "%d",
        static_cast<int>(message.fields.size()));
    return 0;
  }
  bool echo_off = IsEchoOffFlag(message.fields[1]);
  if (relay.Flush() != 0) return ReportRelayFailure(relay);
  if (ConsoleInputEnded() && ::isatty(STDIN_FILENO) == 0) {
    // The daemon was told that input ended: the next line piped in is not
    // a password, and is never taken for one. (At a terminal the user
    // types at the prompt knowingly, so a password is still read there.)
    static bool said = false;
    if (!said) {
      ReportToUser(
          "console input has ended; password requests are answered with an empty password");
      said = true;
    }
    TraceMessage("DoExecuteCommand(): Console input has ended; sending an empty password");
    int result = WriteSecretMessage(socket, kTypePasswordEntered, "");
    if (result != 0) {
      TraceMessage(
          "ERROR: DoExecuteCommand(): Error sending empty password_response message; result = %d",
          result);
    }
    return 0;
  }
  std::string secret;
  ConsoleResult read =
      ReadConsole(secret, kMaxConsoleRead, echo_off, *socket, true, &message.fields[0]);
  if (read == ConsoleResult::kPromptFailed) return ReportWriteFailure(1, errno);
  if (read == ConsoleResult::kWatchEnded) {
    TraceConnectionEnded();
  } else {
    if (read == ConsoleResult::kNotConverted) {
      ReportToUser("the password does not convert to UTF-8; an empty one is sent");
    }
    TrimSecret(secret);
    if (!secret.empty()) {
      int result = WriteSecretMessage(socket, kTypePasswordEntered, secret);
      if (result != 0) {
        TraceMessage(
            "ERROR: DoExecuteCommand(): Error sending password_response message; result = %d; "
            "input = %s",
            result, kSecretMask);
      }
    } else {
      TraceMessage(
          "ERROR: DoExecuteCommand(): Error reading password input or converting from stdin");
      int result = WriteSecretMessage(socket, kTypePasswordEntered, "");
      if (result != 0) {
        TraceMessage(
            "ERROR: DoExecuteCommand(): Error sending empty password_response message; result = "
            "%d",
            result);
      }
    }
  }
  // Wipe the secret, the room its trimming left included.
  secret.assign(secret.capacity(), '\0');
  return WriteToStdOut("\n") == 0 ? 0 : ReportWriteFailure(1, errno);
}
