// One command on one daemon: connect, handshake, description, then serve
// the daemon's messages until it closes the connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/charsets.h"
#include "platform/console.h"
#include "platform/strings.h"
#include "platform/sys.h"
#include "protocol/connection.h"
#include "protocol/protocol.h"
#include "protocol/relay.h"
#include "trace/trace.h"

namespace {

constexpr int kCarriageReturn = 0x0D;

// Convert-or-copy of one outgoing text. With transcoding on, a text that
// stops converting part-way is reported (never sent truncated).
int PrepareText(bool transcode, const char* text, std::string& out) {
  out.clear();
  if (text == nullptr) return 0;
  if (!transcode) {
    out.assign(text);
    return 0;
  }
  std::string converted;
  int result = ConvertStringToUtf8(text, converted);
  out.assign(TextView(converted));
  return result;
}

bool IsEchoOffFlag(const std::string& flag) {
  return flag == "true" || flag == "TRUE" || flag == "True";
}

// Once a line of console input did not convert, the daemon has been told
// that input ended: for the rest of the process, re-runs included, it stays
// ended and nothing more is read.
bool g_console_input_off = false;

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

void TraceConnectionEnded() {
  TraceMessage(
      "DoExecuteCommand(): The daemon closed the connection while waiting for console input");
}

int ServeStdinRequest(int* socket, const Message& message, Relay& relay) {
  std::string input;
  if (!message.fields.empty() && !g_console_input_off) {
    // What the daemon wrote before it asked is on the console first.
    if (relay.Flush() != 0) return ReportRelayFailure(relay);
    int max_bytes = ConvertStringToInt(message.fields[0].c_str(), 10);
    ConsoleResult read = ReadConsole(input, max_bytes, false, *socket, false);
    if (read == ConsoleResult::kWatchEnded) {
      TraceConnectionEnded();
      return 0;
    }
    if (read == ConsoleResult::kNotConverted) {
      g_console_input_off = true;
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

// White space off both ends of the whole secret: a NUL byte in it is data.
void TrimSecret(std::string& secret) {
  size_t end = secret.size();
  while (end > 0 && IsWhiteSpace(static_cast<unsigned char>(secret[end - 1]))) --end;
  size_t begin = 0;
  while (begin < end && IsWhiteSpace(static_cast<unsigned char>(secret[begin]))) ++begin;
  secret.erase(end);
  secret.erase(0, begin);
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
  if (g_console_input_off && ::isatty(STDIN_FILENO) == 0) {
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

// Serves messages until the daemon closes; returns the result code.
// *exitCodeSeen tells an exit code of 0xFF (-1) from none at all.
// A message the reader refused ends the conversation as a failed read
// does; *malformed then names what was wrong with it.
int RelayResponses(Connection& connection, Relay& relay, int* exitCode, bool* exitCodeSeen,
                   std::string& unknownType, const char** malformed) {
  int fd = connection.fd();
  int* socket = &fd;  // the replies are written straight to it
  Message message;
  for (;;) {
    int result = ReadMessage(connection, message, &relay, MessageLimits(), malformed);
    if (result == kRelayWriteFailed) {
      *exitCode = kFrontEndFailureExitCode;
      return ReportRelayFailure(relay);
    }
    if (result != 0) {
      TraceMessage(
          "ERROR: DoExecuteCommand(): Reading response from daemon failed; result = %d; response "
          "type = %s",
          result, message.type.c_str());
      return 0;
    }
    const std::string& type = message.type;
    int served = 0;
    if (OutputStreamOf(type) != 0) {
      // Its text is in the relay already.
      if (message.fields.empty()) {
        bool out = OutputStreamOf(type) == 1;
        TraceMessage(out ? "ERROR: DoExecuteCommand(): Invalid # of field for stdout message"
                         : "ERROR: DoExecuteCommand(): Invalid # of field for stderr message");
        return out ? -9 : -10;
      }
    } else if (type == kTypeStdinRequest) {
      served = ServeStdinRequest(socket, message, relay);
    } else if (type == kTypePasswordRead) {
      served = ServePasswordRead(socket, message, relay);
    } else if (type == kTypeExitCode) {
      if (message.fields.empty()) return -13;
      const std::string& field = message.fields[0];
      if (!message.escaped_cr_first.empty() && message.escaped_cr_first[0]) {
        *exitCode = kCarriageReturn;  // the byte that the field dropped
      } else {
        *exitCode = field.empty() ? 0 : static_cast<int>(static_cast<int8_t>(field[0]));
      }
      *exitCodeSeen = true;
    } else {
      TraceMessage("WARNING: DoExecuteCommand(): Unknown response %s", type.c_str());
      *exitCode = kFrontEndFailureExitCode;
      unknownType = type;
      return -14;
    }
    if (served != 0) {
      *exitCode = kFrontEndFailureExitCode;
      return served;
    }
  }
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
  case -4:
    ReportToUser(std::string("cannot create a socket to reach the daemon: ") +
                 std::strerror(error));
    return;
  case -5:
    ReportToUser("cannot connect to the daemon at 127.0.0.1:" + std::to_string(port) + ": " +
                 std::strerror(error));
    return;
  case -6:
    if (negotiated == -3) {
      ReportToUser(daemon + " refused the connection: " + PrintableText(detail, kQuotedTextBytes));
    } else if (negotiated == -4) {
      ReportToUser(daemon + " answered with an unexpected Upgrade header: " +
                   PrintableText(detail, kQuotedTextBytes));
    } else if (negotiated == kNegotiateNoUpgradeHeader) {
      ReportToUser(daemon + " answered without an Upgrade header");
    } else {
      ReportToUser("the handshake with " + daemon +
                   " failed: " + (detail.empty() ? std::string("the connection ended") : detail));
    }
    return;
  case -7:
    ReportToUser("lost the connection to " + daemon + " while sending the command");
    return;
  case -9:
  case -10:
  case -13:
    if (!exitCodeSeen || exitCode == kFrontEndFailureExitCode) {
      const char* what = result == -9 ? "'stdout'" : result == -10 ? "'stderr'" : "'exit-code'";
      ReportToUser(daemon + " sent a " + what + " message without its field");
    }
    return;
  case -14:
    ReportToUser(daemon + " sent an unknown message '" + PrintableText(detail, 64) + "'");
    return;
  default:  // the line is already written (-8, kOutputFailed)
    return;
  }
}

// Builds the three outgoing texts; -8 after telling the user when an
// argument or the working directory cannot be converted.
int PrepareDescription(bool transcode, int argc, char** argv, char** envp, const std::string& cwd,
                       std::vector<std::string>& args, std::vector<std::string>& environment,
                       std::string& cwdText) {
  for (int i = 1; i < argc; ++i) {
    std::string text;
    if (argv[i] != nullptr && PrepareText(transcode, argv[i], text) != 0) {
      TraceMessage("ERROR: DoExecuteCommand(): Error while converting arg %s to UTF-8", argv[i]);
      if (argv[i][0] != '\0') {
        ReportToUser("argument " + std::to_string(i) +
                     " cannot be converted to UTF-8; the command was not sent");
        TraceMessage("ERROR: DoExecuteCommand(): Argument %d cannot be converted to UTF-8", i);
        return -8;
      }
    }
    args.push_back(std::move(text));
  }
  for (char** entry = envp; entry != nullptr && *entry != nullptr; ++entry) {
    std::string text;
    if (PrepareText(transcode, *entry, text) != 0) {
      TraceMessage("ERROR: DoExecuteCommand(): Error while converting env %S to UTF-8", *entry);
      if ((*entry)[0] != '\0') {
        TraceMessage("WARNING: DoExecuteCommand(): Leaving out environment entry %S", *entry);
        continue;
      }
    }
    environment.push_back(std::move(text));
  }
  if (PrepareText(transcode, cwd.c_str(), cwdText) != 0) {
    TraceMessage("ERROR: DoExecuteCommand(): Error while converting cwd %S to UTF-8", cwd.c_str());
    if (!IsNullOrEmpty(cwd)) {
      ReportToUser("the working directory cannot be converted to UTF-8; the command was not sent");
      TraceMessage("ERROR: DoExecuteCommand(): Working directory cannot be converted to UTF-8");
      return -8;
    }
  }
  return 0;
}

}  // namespace

int DoExecuteCommand(const DaemonLocation& location, int argc, char** argv, char** envp,
                     const std::string& cwd, int* exitCode, bool* refused) {
  bool transcode = TranscodeToUtf8();
  TraceMessage("----------------------------EXECUTE COMMAND---------------------------------");
  std::string key = location.key;
  *exitCode = kFrontEndFailureExitCode;

  UniqueFd socket_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int fd = socket_fd.Get();
  if (!socket_fd.Valid()) {
    int error = errno;
    TraceMessage("ERROR: DoExecuteCommand(): Could not create socket; ec = %d", error);
    ExplainFailure(-4, *exitCode, false, location.port, error, 0, "", nullptr);
    return -4;
  }
  int result = 0;
  int error = 0;
  int negotiated = 0;
  std::string detail;
  struct sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = inet_addr("127.0.0.1");
  address.sin_port = htons(static_cast<uint16_t>(static_cast<uint32_t>(location.port) & 0xFFFF));
  TraceMessage("DoExecuteCommand(): Server Address = %x; port = %d",
               static_cast<int>(address.sin_addr.s_addr), static_cast<int>(address.sin_port));
  int one = 1;
  // Replies are small and answer a waiting daemon: send them at once.
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));

  std::vector<std::string> args;
  std::vector<std::string> environment;
  std::string cwd_text;
  // No signal handler runs here, so connect is not interrupted (a retried
  // connect would report the first one's progress, not a connection).
  int connected = ::connect(fd, reinterpret_cast<struct sockaddr*>(&address), 16);
  // The handshake and the messages share the connection's buffer.
  Connection connection(fd);
  Relay relay;
  bool exit_code_seen = false;
  const char* malformed = nullptr;
  if (connected != 0) {
    error = errno;
    TraceMessage("ERROR: DoExecuteCommand(): Error connecting to daemon; result = %d; ec = %d",
                 connected, error);
    result = -5;
  } else if (negotiated = Negotiate(connection, key, &detail, &detail); negotiated != 0) {
    TraceMessage("ERROR: DoExecuteCommand(): Negotiate failed; result = %d", negotiated);
    result = -6;
  } else if (PrepareDescription(transcode, argc, argv, envp, cwd, args, environment, cwd_text) !=
             0) {
    result = -8;
  } else if (int described =
                 WriteSubCommandDescription(&fd, argc - 1, args, environment, cwd_text.c_str());
             described != 0) {
    TraceMessage("ERROR: DoExecuteCommand(): Error sending command details; result = %d",
                 described);
    result = -7;
  } else {
    *exitCode = kNoExitCode;
    TraceMessage("----------------------------READ RESPONSES---------------------------------");
    result = RelayResponses(connection, relay, exitCode, &exit_code_seen, detail, &malformed);
    if (result != kOutputFailed && relay.Flush() != 0) {
      *exitCode = kFrontEndFailureExitCode;
      result = ReportRelayFailure(relay);
    }
  }

  // Nothing of the command reached a daemon that refused the connection or
  // closed it before answering: the caller may turn to another one, and
  // says so itself.
  bool refusal = (result == -5 && error == ECONNREFUSED) ||
                 (result == -6 && negotiated == -2 && !connection.ReceivedAny());
  if (refused != nullptr) *refused = refusal;

  // Closed at once, unread data and all: a daemon still sending stops.
  if (CloseFd(socket_fd.Release()) != 0) {
    TraceMessage("ERROR: DoExecuteCommand(): Could not close socket; ec = %d", errno);
  }
  if (!(refusal && refused != nullptr)) {
    ExplainFailure(result, *exitCode, exit_code_seen, location.port, error, negotiated, detail,
                   malformed);
  }
  return result;
}
