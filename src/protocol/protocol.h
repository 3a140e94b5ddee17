// The conversation with a daemon over one TCP connection: framed messages,
// the Upgrade handshake, the command description and the command exchange.
#ifndef QUARN_PROTOCOL_PROTOCOL_H_
#define QUARN_PROTOCOL_PROTOCOL_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/location.h"
#include "protocol/exit_codes.h"
#include "protocol/vocabulary.h"

class Connection;
class Relay;

/// One framed message: a type name and its decoded fields in wire order.
struct Message {
  std::string type;
  std::vector<std::string> fields;
  /// Per field: its first byte arrived as the escape of a carriage return,
  /// which the field itself drops (an exit code of 13 arrives so).
  std::vector<bool> escaped_cr_first;
};

/// Negotiate's codes besides 0.
constexpr int kNegotiateFailed = -1;           // bad arguments, a request not converted or sent
constexpr int kNegotiateLineUnread = -2;       // a response line could not be read
constexpr int kNegotiateNo101 = -3;            // the status line has no "101"
constexpr int kNegotiateWrongUpgrade = -4;     // the Upgrade header names another protocol
constexpr int kNegotiateNoUpgradeHeader = -5;  // the headers ended without one

/// DoExecuteCommand's codes besides 0 (-1 for bad arguments).
constexpr int kExchangeNoSocket = -4;
constexpr int kExchangeNotConnected = -5;
constexpr int kExchangeHandshakeFailed = -6;
constexpr int kExchangeDescriptionNotSent = -7;
constexpr int kExchangeNotConverted = -8;
constexpr int kExchangeStdoutWithoutField = -9;
constexpr int kExchangeStderrWithoutField = -10;
constexpr int kOutputFailed = -11;  // standard output or error could not be written
constexpr int kExchangeExitCodeWithoutField = -13;
constexpr int kExchangeUnknownType = -14;

/// Sends one message: the type, a full stop, one quoted escaped field per
/// "%s" of `format` taken from `texts`, a line feed; one send call.
/// 0; -1 bad arguments; -2 send failed; -3 partial send.
[[nodiscard]] int WriteMessageFields(int* socket, const char* type, const char* format,
                                     const std::string_view* texts, size_t count, int flags = 0);

/// One field sent as WriteMessageFields does, traced masked: a secret
/// typed by the user never reaches the trace file (an empty one shows).
[[nodiscard]] int WriteSecretMessage(int* socket, const char* type, std::string_view secret);
/// Messages sent together in one send: each is encoded and traced as
/// WriteMessageFields would when it is added.
class MessageBatch {
 public:
  void Add(const char* type, const char* format, const std::string_view* texts, size_t count);
  /// Sends all of them. Codes as WriteMessageFields: -1 bad socket; -2 the
  /// send failed; -3 it stopped after part of the bytes.
  [[nodiscard]] int Send(int* socket);

 private:
  std::string bytes_;
};
/// The bytes WriteMessageFields would send, for a sender that sends them
/// itself (many times, say).
std::string EncodeMessage(const char* type, const char* format, const std::string_view* texts,
                          size_t count);

/// WriteMessage(socket, type, format, text...): each text a C string or a
/// std::string (sent whole, NUL bytes included). Codes as WriteMessageFields.
template <typename... Texts>
[[nodiscard]] int WriteMessage(int* socket, const char* type, const char* format,
                               const Texts&... texts) {
  std::string_view views[] = {std::string_view(texts)..., std::string_view()};
  return WriteMessageFields(socket, type, format, views, sizeof...(texts));
}

/// What a reader takes from a peer, whatever it sends.
struct MessageLimits {
  size_t max_type = 64 * 1024;
  size_t max_fields = 64;
  size_t max_field = 64 * 1024;           // any field of a message but "stdout" and "stderr"
  size_t max_output_field = 1024 * 1024;  // any field of "stdout" and "stderr"
  // The type and every field held, the text of "stdout" and "stderr" (its
  // first field) aside: a message never costs more, whatever its shape.
  size_t max_held = 1024 * 1024;
};
/// ReadMessage's code when the relay could not write the daemon's output.
constexpr int kRelayWriteFailed = -7;
/// ReadLine's code for a line longer than kMaxLineLength.
constexpr int kLineTooLong = -3;
constexpr size_t kMaxLineLength = 64 * 1024;

/// Reads exactly one message from what `connection` receives; bytes after
/// its line feed stay in the connection for the next read. With a `relay`,
/// the text of "stdout" and "stderr" (their first field) is decoded into
/// it, and left empty in `fields`. 0; -1 failure/close/bad byte in the type
/// name, or a type past its limit; -2 failure or close after the full stop;
/// -3 bad byte between fields; -4 a field does not start with a quote, is
/// past its limit, or one field too many; -5/-6 bad first/second escape
/// digit; kRelayWriteFailed. On failure `type` is empty, completed fields
/// stay, and the relay holds nothing of the message below its hold limit.
/// `malformed`, when given, names what was wrong with a message the reader
/// refused (and stays null when the connection failed or ended).
[[nodiscard]] int ReadMessage(Connection& connection, Message& message, Relay* relay,
                              const MessageLimits& limits, const char** malformed = nullptr);

/// Reads one CR LF line (trimmed); what follows stays in the connection.
/// 0 CR LF; 1 CR followed by another byte; -2 receive failed or connection
/// closed; kLineTooLong.
[[nodiscard]] int ReadLine(Connection& connection, std::string& line);

/// The Upgrade handshake carrying `key`. 0 accepted; -1 bad arguments, failed
/// transcoding or send; -2 a line could not be read; -3 no "101"; -4 wrong
/// Upgrade token; kNegotiateNoUpgradeHeader headers ended without Upgrade.
/// `failedLine`, when given, receives the response line refused (-3, -4);
/// `cause`, what made it fail for -1 and -2, in words for the user.
[[nodiscard]] int Negotiate(Connection& connection, const std::string& key, std::string* failedLine,
                            std::string* cause = nullptr);

/// Sends "app", one "arg" per argument (the first argCount), one "env" per
/// entry, "cwd", "preamble-done", all in one send. 0; -1 bad arguments;
/// -2 not sent (reported as the first message's failure: the daemon has
/// none of it).
[[nodiscard]] int WriteSubCommandDescription(int* socket, int argCount,
                                             const std::vector<std::string>& args,
                                             const std::vector<std::string>& environment,
                                             const char* cwd);

/// Runs one command on the daemon at `location` and sets `exitCode` on every
/// path. 0 the daemon ended the conversation (exit code from "exit-code", or
/// -1 if none came); -4 socket; -5 connect; -6 handshake; -7 description;
/// -8 a text could not be converted to UTF-8; -9/-10 stdout/stderr without
/// field; kOutputFailed standard output or error could not be written (exit
/// code 13); -13 exit-code without field; -14 unknown message type. A run
/// that ends with 13 or 255 without the daemon's word gets one line on
/// standard error. With `refused`, a daemon that refused the connection or
/// closed it before any byte of the handshake's response (-5 or -6; the
/// command was not sent) sets *refused and gets no line: the caller turns
/// to another daemon, or says so.
[[nodiscard]] int DoExecuteCommand(const DaemonLocation& location, int argc, char** argv,
                                   char** envp, const std::string& cwd, int* exitCode,
                                   bool* refused = nullptr);

// The named interface: operations the design names that the program itself
// does not call (tests and other front ends may). Not on quarn's path.
/// ReadMessage on a socket, taking nothing from it after the message's
/// line feed; -1 also for bad arguments.
[[nodiscard]] int ReadMessage(int* socket, Message* message);
/// ReadLine on a socket, taking nothing from it after the line; -1 for a
/// bad socket.
[[nodiscard]] int ReadLine(int* socket, std::string& line);
/// Negotiate on a socket, taking nothing from it after the headers.
[[nodiscard]] int Negotiate(int* socket, const std::string& key, std::string* failedLine = nullptr);

#endif  // QUARN_PROTOCOL_PROTOCOL_H_
