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
#include "platform/descriptors.h"
#include "platform/strings.h"
#include "platform/sys.h"
#include "protocol/connection.h"
#include "protocol/console_requests.h"
#include "protocol/failure_lines.h"
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
        return out ? kExchangeStdoutWithoutField : kExchangeStderrWithoutField;
      }
    } else if (type == kTypeStdinRequest) {
      served = ServeStdinRequest(socket, message, relay);
    } else if (type == kTypePasswordRead) {
      served = ServePasswordRead(socket, message, relay);
    } else if (type == kTypeExitCode) {
      if (message.fields.empty()) return kExchangeExitCodeWithoutField;
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
      return kExchangeUnknownType;
    }
    if (served != 0) {
      *exitCode = kFrontEndFailureExitCode;
      return served;
    }
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
        return kExchangeNotConverted;
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
      return kExchangeNotConverted;
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

  UniqueFd socket_fd(OpenStreamSocket());
  int fd = socket_fd.Get();
  if (!socket_fd.Valid()) {
    int error = errno;
    TraceMessage("ERROR: DoExecuteCommand(): Could not create socket; ec = %d", error);
    ExplainFailure(kExchangeNoSocket, *exitCode, false, location.port, error, 0, "", nullptr);
    return kExchangeNoSocket;
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
  int connected = ::connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address));
  // The handshake and the messages share the connection's buffer.
  Connection connection(fd);
  Relay relay;
  bool exit_code_seen = false;
  const char* malformed = nullptr;
  if (connected != 0) {
    error = errno;
    TraceMessage("ERROR: DoExecuteCommand(): Error connecting to daemon; result = %d; ec = %d",
                 connected, error);
    result = kExchangeNotConnected;
  } else if (negotiated = Negotiate(connection, key, &detail, &detail); negotiated != 0) {
    TraceMessage("ERROR: DoExecuteCommand(): Negotiate failed; result = %d", negotiated);
    result = kExchangeHandshakeFailed;
  } else if (PrepareDescription(transcode, argc, argv, envp, cwd, args, environment, cwd_text) !=
             0) {
    result = kExchangeNotConverted;
  } else if (int described =
                 WriteSubCommandDescription(&fd, argc - 1, args, environment, cwd_text.c_str());
             described != 0) {
    TraceMessage("ERROR: DoExecuteCommand(): Error sending command details; result = %d",
                 described);
    result = kExchangeDescriptionNotSent;
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
  bool refusal = (result == kExchangeNotConnected && error == ECONNREFUSED) ||
                 (result == kExchangeHandshakeFailed && negotiated == kNegotiateLineUnread &&
                  !connection.ReceivedAny());
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
