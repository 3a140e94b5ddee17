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

#include "platform/console.h"
#include "platform/strings.h"
#include "platform/sys.h"
#include "protocol/protocol.h"
#include "trace/trace.h"

namespace {

const char kSecretMask[] = "********";

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

void ServeStdinRequest(int* socket, const Message& message) {
  std::string input;
  if (!message.fields.empty()) {
    int max_bytes = ConvertStringToInt(message.fields[0].c_str(), 10);
    ReadFromStdIn(input, max_bytes, false);
  }
  TraceMessage("DoExecuteCommand(): Read input of size %d bytes", static_cast<int>(input.size()));
  if (!input.empty()) {
    int result = WriteMessage(socket, "stdin-response", "%s", input);
    if (result != 0) {
      TraceMessage(
          "ERROR: DoExecuteCommand(): Error sending stdin_response message; result = %d; input = %s",
          result, input.c_str());
    }
    return;
  }
  TraceMessage(
      "ERROR: DoExecuteCommand(): Error reading input or converting from stdin; sending "
      "stdin_closed");
  int result = WriteMessage(socket, "stdin-closed", "");
  if (result != 0) {
    TraceMessage("ERROR: DoExecuteCommand(): Error sending stdin_closed message; result = %d",
                 result);
  }
}

void ServePasswordRead(int* socket, const Message& message) {
  if (message.fields.size() < 2) {
    TraceMessage(
        "ERROR: DoExecuteCommand(): Insufficient # of arguments for password_read request; size = "
        "%d",
        static_cast<int>(message.fields.size()));
    return;
  }
  bool echo_off = IsEchoOffFlag(message.fields[1]);
  WriteToStdOut(message.fields[0]);
  std::string secret;
  ReadFromStdIn(secret, kMaxConsoleRead, echo_off);
  TrimSpaces(secret, true, true);
  if (!secret.empty()) {
    int result = WriteMessage(socket, "password-entered", "%s", secret);
    if (result != 0) {
      TraceMessage(
          "ERROR: DoExecuteCommand(): Error sending password_response message; result = %d; input "
          "= %s",
          result, kSecretMask);
    }
  } else {
    TraceMessage(
        "ERROR: DoExecuteCommand(): Error reading password input or converting from stdin");
    int result = WriteMessage(socket, "password-entered", "%s", "");
    if (result != 0) {
      TraceMessage(
          "ERROR: DoExecuteCommand(): Error sending empty password_response message; result = %d",
          result);
    }
  }
  // Wipe the secret before its memory is reused.
  std::memset(&secret[0], 0, secret.size());
  WriteToStdOut("\n");
}

// Serves messages until the daemon closes; returns the result code.
int RelayResponses(int* socket, int* exitCode) {
  Message message;
  for (;;) {
    int result = ReadMessage(socket, &message);
    if (result != 0) {
      TraceMessage(
          "ERROR: DoExecuteCommand(): Reading response from daemon failed; result = %d; response "
          "type = %s",
          result, message.type.c_str());
      return 0;
    }
    const std::string& type = message.type;
    if (type == "stdout") {
      if (message.fields.empty()) {
        TraceMessage("ERROR: DoExecuteCommand(): Invalid # of field for stdout message");
        return -9;
      }
      WriteToStdOut(message.fields[0]);
    } else if (type == "stderr") {
      if (message.fields.empty()) {
        TraceMessage("ERROR: DoExecuteCommand(): Invalid # of field for stderr message");
        return -10;
      }
      WriteToStdErr(message.fields[0]);
    } else if (type == "stdin-request") {
      ServeStdinRequest(socket, message);
    } else if (type == "password-read") {
      ServePasswordRead(socket, message);
    } else if (type == "exit-code") {
      if (message.fields.empty()) return -13;
      const std::string& field = message.fields[0];
      *exitCode = field.empty() ? 0 : static_cast<int>(static_cast<int8_t>(field[0]));
    } else {
      TraceMessage("WARNING: DoExecuteCommand(): Unknown response %s", type.c_str());
      *exitCode = kFrontEndFailureExitCode;
      return -14;
    }
  }
}

// Builds the three outgoing texts; -8 after telling the user when an
// argument or the working directory cannot be converted.
int PrepareDescription(bool transcode, int argc, char** argv, char** envp, const std::string& cwd,
                       std::vector<std::string>& args, std::vector<std::string>& environment,
                       std::string& cwd_text) {
  for (int i = 1; i < argc; ++i) {
    std::string text;
    if (argv[i] != nullptr && PrepareText(transcode, argv[i], text) != 0) {
      TraceMessage("ERROR: DoExecuteCommand(): Error while converting arg %s to UTF-8", argv[i]);
      if (argv[i][0] != '\0') {
        std::string message = "quarn: argument " + std::to_string(i) +
                              " cannot be converted to UTF-8; the command was not sent\n";
        WriteToStdErr(message);
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
  if (PrepareText(transcode, cwd.c_str(), cwd_text) != 0) {
    TraceMessage("ERROR: DoExecuteCommand(): Error while converting cwd %S to UTF-8", cwd.c_str());
    if (!IsNullOrEmpty(cwd)) {
      WriteToStdErr("quarn: the working directory cannot be converted to UTF-8; the command was not sent\n");
      TraceMessage("ERROR: DoExecuteCommand(): Working directory cannot be converted to UTF-8");
      return -8;
    }
  }
  return 0;
}

}  // namespace

int DoExecuteCommand(const DaemonLocation& location, int argc, char** argv, char** envp,
                     const std::string& cwd, int* exitCode) {
  bool transcode = std::getenv("QUARN_TRANSCODE_UTF8") != nullptr;
  TraceMessage("----------------------------EXECUTE COMMAND---------------------------------");
  std::string key = location.key;
  *exitCode = kFrontEndFailureExitCode;

  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    TraceMessage("ERROR: DoExecuteCommand(): Could not create socket; ec = %d", errno);
    return -4;
  }
  int result = 0;
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
  if (connected != 0) {
    TraceMessage("ERROR: DoExecuteCommand(): Error connecting to daemon; result = %d; ec = %d",
                 connected, errno);
    result = -5;
  } else if (int negotiated = Negotiate(&fd, key); negotiated != 0) {
    TraceMessage("ERROR: DoExecuteCommand(): Negotiate failed; result = %d", negotiated);
    result = -6;
  } else if (PrepareDescription(transcode, argc, argv, envp, cwd, args, environment, cwd_text) !=
             0) {
    result = -8;
  } else if (int described = WriteSubCommandDescription(&fd, argc - 1, args, environment,
                                                        cwd_text.c_str());
             described != 0) {
    TraceMessage("ERROR: DoExecuteCommand(): Error sending command details; result = %d",
                 described);
    result = -7;
  } else {
    *exitCode = -1;
    TraceMessage("----------------------------READ RESPONSES---------------------------------");
    result = RelayResponses(&fd, exitCode);
  }

  if (::close(fd) != 0 && errno != EINTR) {
    TraceMessage("ERROR: DoExecuteCommand(): Could not close socket; ec = %d", errno);
  }
  return result;
}
