// The HTTP/1.1 Upgrade handshake that opens every conversation.
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/charsets.h"
#include "platform/strings.h"
#include "platform/sys.h"
#include "protocol/connection.h"
#include "protocol/protocol.h"
#include "trace/trace.h"

namespace {

int ReceiveError(ssize_t received) {
  if (received < 0) {
    TraceMessage("ERROR: ReadLine(): Error receiving data; ec = %d", errno);
  } else {
    TraceMessage("ERROR: ReadLine(): Possibly connection closed; ec = %d", errno);
  }
  return -2;
}

bool Contains(const std::string& text, const char* needle) {
  return TextView(text).find(needle) != std::string_view::npos;
}

// What failed, for the user's line: the handshake's codes -1 and -2 have
// several causes.
void SetCause(std::string* cause, std::string text) {
  if (cause != nullptr) *cause = std::move(text);
}

int NegotiateOn(Connection& connection, const std::string& key, std::string* failedLine,
                std::string* cause, bool transcode) {
  TraceMessage("Negotiate(): Received Key = %s", key.c_str());

  std::string request = kHandshakeRequestLine;
  request.append("\r\n");
  request.append(kHeaderSecretKey).append(": ").append(TextView(key));
  if (!transcode) {
    std::string charset;
    request.append("\r\n")
        .append(kHeaderAcceptCharset)
        .append(": ")
        .append(GetCurrentCharset(charset));
  }
  request.append("\r\nConnection: Upgrade\r\n").append(kHeaderUpgrade).append(": ");
  request.append(kUpgradeToken).append("\r\n\r\n");
  if (transcode) {
    std::string converted;
    if (ConvertStringToUtf8(request.c_str(), converted) != 0) {
      TraceMessage("ERROR: Negotiate(): Transcoding message to UTF-8 failed; returning error");
      SetCause(cause, "the request could not be converted to UTF-8");
      return kNegotiateFailed;
    }
    request.assign(TextView(converted));
  }

  TraceMessage("Negotiate(): Sending protocol headers; %s", request.c_str());
  ssize_t sent = SendOnce(connection.fd(), request.data(), request.size(), 0);
  if (sent < 0) {
    int error = errno;
    TraceMessage("ERROR: Negotiate(): Error while sending message headers; ec = %d", error);
    SetCause(cause, std::string("the request could not be sent: ") + std::strerror(error));
    return kNegotiateFailed;
  }
  if (static_cast<size_t>(sent) != request.size()) {
    TraceMessage(
        "ERROR: Negotiate(): Partial data sent; Total # of bytes = %d; Bytes sent = %d; ec = %d",
        static_cast<int>(request.size()), static_cast<int>(sent), errno);
    SetCause(cause, "the request could not be sent whole");
    return kNegotiateFailed;
  }

  enum class State { kStatus, kHeaders, kUpgraded } state = State::kStatus;
  std::string line;
  for (;;) {
    int result = ReadLine(connection, line);
    if (result != 0) {
      TraceMessage("ERROR: Negotiate(): Error while reading a response line; returned %d", result);
      SetCause(cause, result == 1              ? "a carriage return without a line feed"
                      : result == kLineTooLong ? "the response line was too long"
                                               : "the connection ended");
      return kNegotiateLineUnread;
    }
    std::string_view text = TextView(line);
    switch (state) {
    case State::kStatus:
      if (!Contains(line, "101")) {
        if (failedLine) *failedLine = line;
        TraceMessage("ERROR: Negotiate(): No 101 status in the response status line; %s",
                     line.c_str());
        return kNegotiateNo101;
      }
      state = State::kHeaders;
      break;
    case State::kHeaders:
      if (text.empty()) {
        TraceMessage("ERROR: Negotiate(): Unexpected response termination");
        return kNegotiateNoUpgradeHeader;
      }
      if (text.substr(0, sizeof(kHeaderUpgrade) - 1) == kHeaderUpgrade) {
        if (!Contains(line, kUpgradeToken)) {
          if (failedLine) *failedLine = line;
          TraceMessage("ERROR: Negotiate(): Unexpected Upgrade header: %s", line.c_str());
          return kNegotiateWrongUpgrade;
        }
        state = State::kUpgraded;
      }
      break;
    case State::kUpgraded:
      if (text.empty()) return 0;
      break;
    }
  }
}

}  // namespace

int ReadLine(Connection& connection, std::string& line) {
  line.clear();
  bool after_cr = false;
  for (;;) {
    if (connection.size() == 0) {
      ssize_t received = connection.Receive();
      if (received <= 0) return ReceiveError(received);
    }
    const char* data = connection.data();
    if (after_cr) {
      // The one byte after the CR ends the line, whatever it is.
      char after = data[0];
      if (!connection.Take(1)) return ReceiveError(-1);
      TrimSpaces(line, true, true);
      return after == '\n' ? 0 : 1;
    }
    size_t size = connection.size();
    const char* cr = static_cast<const char*>(std::memchr(data, '\r', size));
    size_t take = cr ? static_cast<size_t>(cr - data) + 1 : size;
    size_t text = cr ? take - 1 : take;
    if (line.size() + text > kMaxLineLength) {
      TraceMessage("ERROR: ReadLine(): Line longer than %d bytes",
                   static_cast<int>(kMaxLineLength));
      return kLineTooLong;
    }
    line.append(data, text);
    if (!connection.Take(take)) return ReceiveError(-1);
    after_cr = cr != nullptr;
  }
}

int ReadLine(int* socket, std::string& line) {
  if (socket == nullptr || *socket < 0) return -1;
  Connection connection(*socket, false);
  return ReadLine(connection, line);
}

int Negotiate(int* socket, const std::string& key, std::string* failedLine) {
  bool transcode = TranscodeToUtf8();
  TraceMessage("----------------------------NEGOTIATE---------------------------------");
  if (socket == nullptr || *socket < 0 || IsNullOrEmpty(key)) return kNegotiateFailed;
  Connection connection(*socket, false);
  return NegotiateOn(connection, key, failedLine, nullptr, transcode);
}

int Negotiate(Connection& connection, const std::string& key, std::string* failedLine,
              std::string* cause) {
  bool transcode = TranscodeToUtf8();
  TraceMessage("----------------------------NEGOTIATE---------------------------------");
  if (connection.fd() < 0 || IsNullOrEmpty(key)) return kNegotiateFailed;
  return NegotiateOn(connection, key, failedLine, cause, transcode);
}
