// The conversation with a daemon over one TCP connection: framed messages,
// the Upgrade handshake, the command description and the command exchange.
#ifndef QUARN_PROTOCOL_PROTOCOL_H_
#define QUARN_PROTOCOL_PROTOCOL_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/location.h"

/// One framed message: a type name and its decoded fields in wire order.
struct Message {
  std::string type;
  std::vector<std::string> fields;
  /// Per field: its first byte arrived as the escape of a carriage return,
  /// which the field itself drops (an exit code of 13 arrives so).
  std::vector<bool> escaped_cr_first;
};

constexpr int kFrontEndFailureExitCode = 13;
constexpr int kRerunExitCode = 49;
/// The handshake's code for headers that end before an Upgrade header.
constexpr int kNegotiateNoUpgradeHeader = -5;
/// The exchange's code for output that could not be written to the user.
constexpr int kOutputFailed = -11;

/// Sends one message: the type, a full stop, one quoted escaped field per
/// "%s" of `format` taken from `texts`, a line feed; one send call.
/// 0; -1 bad arguments; -2 send failed; -3 partial send.
[[nodiscard]] int WriteMessageFields(int* socket, const char* type, const char* format,
                                     const std::string_view* texts, size_t count, int flags = 0);

/// WriteMessage(socket, type, format, text...): each text a C string or a
/// std::string (sent whole, NUL bytes included). Codes as WriteMessageFields.
template <typename... Texts>
[[nodiscard]] int WriteMessage(int* socket, const char* type, const char* format,
                               const Texts&... texts) {
  std::string_view views[] = {std::string_view(texts)..., std::string_view()};
  return WriteMessageFields(socket, type, format, views, sizeof...(texts));
}

/// Reads exactly one message, consuming nothing after its line feed.
/// 0; -1 bad arguments, or failure/close/bad byte in the type name; -2 failure
/// or close after the full stop; -3 bad byte between fields; -4 a field does
/// not start with a quote; -5/-6 bad first/second escape digit. On failure
/// `type` is empty and completed fields stay.
[[nodiscard]] int ReadMessage(int* socket, Message* message);

/// Reads one CR LF line (trimmed), consuming nothing after it.
/// 0 CR LF; 1 CR followed by another byte; -1 bad socket; -2 receive failed
/// or connection closed.
[[nodiscard]] int ReadLine(int* socket, std::string& line);

/// The Upgrade handshake carrying `key`. 0 accepted; -1 bad arguments, failed
/// transcoding or send; -2 a line could not be read; -3 no "101"; -4 wrong
/// Upgrade token; kNegotiateNoUpgradeHeader headers ended without Upgrade.
/// `failedLine`, when given, receives the response line refused (-3, -4).
[[nodiscard]] int Negotiate(int* socket, const std::string& key,
                            std::string* failedLine = nullptr);

/// Sends "app", one "arg" per argument (the first argCount), one "env" per
/// entry, "cwd", "preamble-done". 0; -1 bad arguments; -2 app; -3 arg;
/// -4 env; -5 cwd; -6 preamble-done not sent.
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
/// standard error.
[[nodiscard]] int DoExecuteCommand(const DaemonLocation& location, int argc, char** argv,
                                   char** envp, const std::string& cwd, int* exitCode);

#endif  // QUARN_PROTOCOL_PROTOCOL_H_
