// The conversation's words, shared by both ends: the handshake's request
// line and header names, and the message types. What each means is told
// where it is used; the words themselves are written only here.
#ifndef QUARN_PROTOCOL_VOCABULARY_H_
#define QUARN_PROTOCOL_VOCABULARY_H_

#include <string_view>

/// The handshake's request line, without its CR LF, and the protocol that
/// the Upgrade header names: the daemon's side checks them as sent.
constexpr char kHandshakeRequestLine[] =
    "GET /com.dorvane.team.filesystem.cli.client.internal.daemon.CommandLineClient HTTP/1.1";
constexpr char kUpgradeToken[] = "vnd.dorvane.mellix.cli.minimal-1.0";
constexpr char kHeaderSecretKey[] = "X-Secret-Key";
constexpr char kHeaderAcceptCharset[] = "Accept-Charset";
constexpr char kHeaderUpgrade[] = "Upgrade";

// The command description, front end to daemon.
constexpr char kTypeApp[] = "app";
constexpr char kTypeArg[] = "arg";
constexpr char kTypeEnv[] = "env";
constexpr char kTypeCwd[] = "cwd";
constexpr char kTypePreambleDone[] = "preamble-done";
// The exchange: daemon to front end, and the answers.
constexpr char kTypeStdout[] = "stdout";
constexpr char kTypeStderr[] = "stderr";
constexpr char kTypeStdinRequest[] = "stdin-request";
constexpr char kTypeStdinResponse[] = "stdin-response";
constexpr char kTypeStdinClosed[] = "stdin-closed";
constexpr char kTypePasswordRead[] = "password-read";
constexpr char kTypePasswordEntered[] = "password-entered";
constexpr char kTypeExitCode[] = "exit-code";

/// The stream a message's text goes to: 1 for "stdout", 2 for "stderr",
/// 0 for any other type (not output).
inline int OutputStreamOf(std::string_view type) {
  return type == kTypeStdout ? 1 : type == kTypeStderr ? 2 : 0;
}

#endif  // QUARN_PROTOCOL_VOCABULARY_H_
