// Message framing: type "." then ` "field"`... and a line feed, with four
// bytes escaped inside fields.
//
// The reader runs one state machine over the bytes the connection has
// received, taking all it looks at up to the message's line feed; the rest
// stays in the connection's buffer for the next read. Fields are decoded
// straight into their destination: the message's field, or the relay for
// the text of "stdout" and "stderr".
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/console.h"
#include "platform/sys.h"
#include "platform/vector_lanes.h"
#include "protocol/connection.h"
#include "protocol/field_decoder.h"
#include "protocol/protocol.h"
#include "protocol/relay.h"
#include "trace/trace.h"

namespace {

const char kLowerHex[] = "0123456789abcdef";

bool IsTypeByte(unsigned char c) { return c >= 0x21 && c <= 0x7A && c != 0x2E; }

// Appends `text` with the four escapes, written through a pointer into room
// for the worst case (every byte escaped), then trimmed.
bool NeedsEscape(char c) { return c == '\n' || c == '\r' || c == '"' || c == '\\'; }

// The first byte in [src, end) that a field escapes, or `end`: a lane's
// width at a time, the plain loop for the rest.
const char* FindEscaped(const char* src, const char* end) {
  if (src < end && NeedsEscape(*src)) return src;  // escapes often come in a row
  for (; end - src >= NarrowLanes::kWidth; src += NarrowLanes::kWidth) {
    uint64_t mask = NarrowLanes::MarkEscaped(src);
    if (mask != 0) return src + __builtin_ctzll(mask);
  }
  while (src < end && !NeedsEscape(*src)) ++src;
  return src;
}

void AppendEscaped(std::string& out, std::string_view text) {
  size_t base = out.size();
  out.resize(base + 3 * text.size());
  char* dest = &out[base];
  const char* src = text.data();
  const char* end = src + text.size();
  while (src < end) {
    const char* run = src;
    src = FindEscaped(src, end);
    std::memcpy(dest, run, static_cast<size_t>(src - run));
    dest += src - run;
    if (src == end) break;
    unsigned char c = static_cast<unsigned char>(*src++);
    dest[0] = '\\';
    dest[1] = kLowerHex[c >> 4];
    dest[2] = kLowerHex[c & 0x0F];
    dest += 3;
  }
  out.resize(static_cast<size_t>(dest - out.data()));
}

// Builds type "." and one ` "field"` per "%s" of the format.
void Encode(std::string& out, const char* type, const char* format, const std::string_view* texts,
            size_t count, bool mask) {
  size_t room = std::strlen(type) + 2;
  for (size_t i = 0; i < count; ++i) room += 3 * texts[i].size() + 3;
  out.reserve(out.size() + room);
  out.append(type);
  out.push_back('.');
  size_t next = 0;
  for (const char* p = format; *p != 0; ++p) {
    if (p[0] != '%' || p[1] != 's') continue;
    if (next >= count) break;
    out.append(" \"");
    if (mask && !texts[next].empty()) {  // an empty answer shows as one
      out.append(kSecretMask);
      ++next;
    } else {
      AppendEscaped(out, texts[next++]);
    }
    out.push_back('"');
  }
  out.push_back('\n');
}

enum class State { kType, kBetweenFields, kExpectingField, kInField, kEscape0, kEscape1 };

struct Parser {
  State state = State::kType;
  std::string type;
  std::string field;
  char first_digit = 0;
  bool lead_pending = false;  // nothing of the current field decoded yet
  bool lead_cr = false;       // the current field began with an escaped CR
  int relay_stream = 0;       // 1 or 2: field 0 of this message goes to the relay
  bool relaying = false;      // the current field goes to the relay
  bool relayed = false;       // a field was opened in the relay
  size_t field_limit = 0;
  bool output = false;  // a "stdout" or "stderr" message
  size_t held = 0;      // bytes held against the message's bound
  size_t max_held = 0;
  const char* malformed = nullptr;  // what was wrong, when the reader refused it
};

constexpr int kNeedMore = 1;
constexpr size_t kFieldGrowthStep = 64 * 1024;

// The field states over [p, end): decoded bytes go to `out` (which has
// room for end - p: decoding never grows the text). Stops after the closing quote (*closed), at a
// bad escape digit (*error), or at the end; returns the position reached.
// Plain text and whole escapes go through the vector decoder; the rest, an
// escape split by the end of what arrived or a bad one, through the states.
const char* DecodeField(Parser& parser, const char* p, const char* end, char*& out, int* error,
                        bool* closed) {
  FieldOutput field = {out, parser.lead_pending, parser.lead_cr};
  while (p < end) {
    if (parser.state == State::kInField) {
      if (!field.lead_pending && end - p >= kBlockReach) {
        Decoded decoded = DecodeBlocks(p, end, field.out);
        p = decoded.in;
        field.out = decoded.out;
        if (p == end) break;
      }
      char c = *p++;
      if (c == '"') {
        *closed = true;
        break;
      }
      if (c == '\\') {
        parser.state = State::kEscape0;
      } else {
        *field.out++ = c;
        field.lead_pending = false;
      }
      continue;
    }
    char c = *p++;
    if (parser.state == State::kEscape0) {
      if (!IsEscapeDigit(c)) {
        TraceMessage("ERROR: ReadMessage(): Unexpected character %c while in field escape 0", c);
        parser.malformed = "a bad escape";
        *error = -5;
        break;
      }
      parser.first_digit = c;
      parser.state = State::kEscape1;
      continue;
    }
    if (!IsEscapeDigit(c)) {
      TraceMessage("ERROR: ReadMessage(): Unexpected character %c while in field escape 1", c);
      parser.malformed = "a bad escape";
      *error = -6;
      break;
    }
    AppendEscape(field, HexValue(parser.first_digit) * 16 + HexValue(c));
    parser.state = State::kInField;
  }
  out = field.out;
  parser.lead_pending = field.lead_pending;
  parser.lead_cr = field.lead_cr;
  return p;
}

// One step of a field; returns 0 (go on), a failure code, or
// kRelayWriteFailed.
int FeedField(Parser& parser, Message& message, Relay* relay, const char*& p, const char* end) {
  int error = 0;
  bool closed = false;
  if (parser.relaying) {
    size_t room = 0;
    char* out = relay->Reserve(parser.relay_stream, &room);
    if (out == nullptr) return kRelayWriteFailed;
    char* const start = out;
    p = DecodeField(parser, p, std::min(end, p + room), out, &error, &closed);
    relay->Produced(static_cast<size_t>(out - start));
  } else {
    // The field's own bound, or what the message's bound leaves; the text
    // of an output message (its first field) counts against its own alone.
    bool text = parser.output && message.fields.empty();
    size_t limit =
        text ? parser.field_limit : std::min(parser.field_limit, parser.max_held - parser.held);
    // Decoding never grows the text: room for the input, up to one byte
    // past the limit.
    size_t base = parser.field.size();
    size_t span = std::min(static_cast<size_t>(end - p), limit + 1 - base);
    // No room past the field's closing quote, its first quote byte (an
    // escape never holds one): the rest of what arrived is other messages.
    if (const void* quote = std::memchr(p, '"', span)) {
      span = static_cast<size_t>(static_cast<const char*>(quote) - p) + 1;
    }
    // A field past the usual size gets its whole bound at once: growing by
    // doubling would hold the old copy and the new one side by side.
    if (base + span > parser.field.capacity() && base + span > kFieldGrowthStep) {
      parser.field.reserve(limit + 1);
    }
    parser.field.resize(base + span);
    char* out = &parser.field[base];
    char* const start = out;
    p = DecodeField(parser, p, p + span, out, &error, &closed);
    parser.field.resize(base + static_cast<size_t>(out - start));
    if (parser.field.size() > limit) {
      TraceMessage("ERROR: ReadMessage(): Field %d is longer than %d bytes",
                   static_cast<int>(message.fields.size()), static_cast<int>(limit));
      parser.malformed = limit < parser.field_limit ? "a message too large" : "a field too long";
      return -4;
    }
    if (closed && !text) parser.held += parser.field.size();
  }
  if (error != 0) return error;
  if (closed) {
    message.fields.push_back(std::move(parser.field));  // empty for the relayed field
    message.escaped_cr_first.push_back(parser.lead_cr);
    parser.field.clear();
    parser.relaying = false;
    parser.state = State::kBetweenFields;
  }
  return 0;
}

// Runs the state machine over data[0, size); sets *used to the bytes taken
// (up to and including the line feed or the offending byte).
int Feed(Parser& parser, Message& message, Relay* relay, const MessageLimits& limits,
         const char* data, size_t size, size_t* used) {
  const char* p = data;
  const char* end = data + size;
  int status = kNeedMore;
  while (p < end && status == kNeedMore) {
    switch (parser.state) {
    case State::kType: {
      const char* start = p;
      while (p < end && IsTypeByte(static_cast<unsigned char>(*p))) ++p;
      parser.type.append(start, static_cast<size_t>(p - start));
      if (parser.type.size() > limits.max_type) {
        TraceMessage("ERROR: ReadMessage(): Message type longer than %d bytes",
                     static_cast<int>(limits.max_type));
        parser.malformed = "a type name too long";
        status = -1;
        break;
      }
      if (p == end) break;
      char c = *p++;
      if (c != '.') {
        TraceMessage("ERROR: ReadMessage(): Read invalid char %c while reading message type", c);
        parser.malformed = "a bad byte in its type name";
        status = -1;
        break;
      }
      int stream = OutputStreamOf(parser.type);
      bool output = stream != 0;
      if (relay != nullptr) parser.relay_stream = stream;
      parser.output = output;
      parser.field_limit = output ? limits.max_output_field : limits.max_field;
      parser.max_held = limits.max_held;
      parser.held = std::min(parser.type.size(), limits.max_held);
      parser.state = State::kBetweenFields;
      break;
    }
    case State::kBetweenFields: {
      char c = *p++;
      if (c == ' ') {
        parser.state = State::kExpectingField;
      } else if (c == '\n') {
        status = 0;
      } else {
        TraceMessage("ERROR: ReadMessage(): Unexpected character %c while in between fields", c);
        parser.malformed = "a bad byte between fields";
        status = -3;
      }
      break;
    }
    case State::kExpectingField: {
      char c = *p++;
      if (c != '"') {
        TraceMessage("ERROR: ReadMessage(): Unexpected character %c while expecting a field", c);
        parser.malformed = "a field without its opening quote";
        status = -4;
        break;
      }
      if (message.fields.size() >= limits.max_fields) {
        TraceMessage("ERROR: ReadMessage(): More than %d fields",
                     static_cast<int>(limits.max_fields));
        parser.malformed = "too many fields";
        status = -4;
        break;
      }
      parser.lead_pending = true;
      parser.lead_cr = false;
      parser.relaying = parser.relay_stream != 0 && message.fields.empty();
      if (parser.relaying) {
        relay->BeginField();
        parser.relayed = true;
      }
      parser.state = State::kInField;
      break;
    }
    default:
      status = FeedField(parser, message, relay, p, end);
      if (status == 0) status = kNeedMore;
      break;
    }
  }
  *used = static_cast<size_t>(p - data);
  return status;
}

int ReceiveFailure(const Parser& parser, ssize_t received, int error) {
  bool in_type = parser.state == State::kType;
  if (received < 0) {
    if (in_type) {
      TraceMessage("ReadMessage(): recv returned -1; possibly reached EOS");
      return -1;
    }
    TraceMessage("ERROR: ReadMessage(): Error while reading from socket; ec = %d", error);
    return -2;
  }
  if (in_type) {
    TraceMessage("ERROR: ReadMessage(): recv returned 0; connection is closed; ec = %d", error);
    return -1;
  }
  TraceMessage("ERROR: ReadMessage(): recv returned 0; possibly connection is closed; ec = %d",
               error);
  return -2;
}

// Receives more: Connection::Receive's result, unless writing the output
// failed first (*writeFailed). With output waiting, a receive that would
// block writes the output first: interactive text is never held back. Into
// a pipe, text goes in pieces the pipe holds and no more is received at a
// time, so that the pipe's reader drains one piece while the next is
// decoded.
ssize_t ReceiveMore(Connection& connection, Relay* relay, bool* writeFailed) {
  *writeFailed = false;
  if (relay == nullptr) return connection.Receive();
  size_t piece = relay->Piece();
  if (piece != 0 && relay->Pending() >= piece && relay->Flush() != 0) {
    *writeFailed = true;
    return -1;
  }
  if (relay->Pending() > 0) {
    ssize_t n = connection.Receive(true, piece);
    if (n >= 0 || errno != EAGAIN) return n;
    if (relay->Flush() != 0) {
      *writeFailed = true;
      return -1;
    }
  }
  return connection.Receive(false, piece);
}

void TraceMessageRead(const Message& message, const std::string* relayed) {
  TraceMessage("ReadMessage(): Retrieved message of type %s; # of fields %d", message.type.c_str(),
               static_cast<int>(message.fields.size()));
  for (size_t i = 0; i < message.fields.size(); ++i) {
    const std::string& text = i == 0 && relayed != nullptr ? *relayed : message.fields[i];
    TraceMessage("ReadMessage(): Field %d = %s", static_cast<int>(i), text.c_str());
  }
}

}  // namespace

namespace {

// One message on the socket, traced with its fields masked when `secret`.
int SendMessage(int* socket, const char* type, const char* format, const std::string_view* texts,
                size_t count, int flags, bool secret) {
  if (socket == nullptr || type == nullptr || format == nullptr || *socket < 0) return -1;
  std::string encoded;
  Encode(encoded, type, format, texts, count, false);
  if (TraceEnabled()) {
    if (secret) {
      std::string masked;
      Encode(masked, type, format, texts, count, true);
      TraceMessage("WriteMessage(): Sending... %s", masked.c_str());
    } else {
      TraceMessage("WriteMessage(): Sending... %s", encoded.c_str());
    }
  }
  ssize_t sent = SendOnce(*socket, encoded.data(), encoded.size(), flags);
  if (sent < 0) {
    TraceMessage("ERROR: WriteMessage(): Error while sending data; ec = %d", errno);
    return -2;
  }
  if (static_cast<size_t>(sent) != encoded.size()) {
    TraceMessage(
        "ERROR: WriteMessage(): Partial data sent; Total # of bytes = %d; Bytes sent = %d; ec= %d",
        static_cast<int>(encoded.size()), static_cast<int>(sent), errno);
    return -3;
  }
  return 0;
}

}  // namespace

void MessageBatch::Add(const char* type, const char* format, const std::string_view* texts,
                       size_t count) {
  size_t start = bytes_.size();
  Encode(bytes_, type, format, texts, count, false);
  if (TraceEnabled()) {
    TraceMessage("WriteMessage(): Sending... %s", bytes_.substr(start).c_str());
  }
}

int MessageBatch::Send(int* socket) {
  if (socket == nullptr || *socket < 0) return -1;
  // A blocking send takes it all; it returns early only when a signal
  // interrupts it after part was sent, and the rest follows.
  size_t done = 0;
  while (done < bytes_.size()) {
    ssize_t sent = SendOnce(*socket, bytes_.data() + done, bytes_.size() - done, 0);
    if (sent < 0 && done == 0) {
      TraceMessage("ERROR: WriteMessage(): Error while sending data; ec = %d", errno);
      return -2;
    }
    if (sent <= 0) {
      TraceMessage(
          "ERROR: WriteMessage(): Partial data sent; Total # of bytes = %d; Bytes sent = %d; ec= %d",
          static_cast<int>(bytes_.size()), static_cast<int>(done), errno);
      return -3;
    }
    done += static_cast<size_t>(sent);
  }
  return 0;
}

int WriteMessageFields(int* socket, const char* type, const char* format,
                       const std::string_view* texts, size_t count, int flags) {
  return SendMessage(socket, type, format, texts, count, flags, false);
}

int WriteSecretMessage(int* socket, const char* type, std::string_view secret) {
  return SendMessage(socket, type, "%s", &secret, 1, 0, true);
}

std::string EncodeMessage(const char* type, const char* format, const std::string_view* texts,
                          size_t count) {
  std::string encoded;
  Encode(encoded, type, format, texts, count, false);
  return encoded;
}

int ReadMessage(Connection& connection, Message& message, Relay* relay, const MessageLimits& limits,
                const char** malformed) {
  if (malformed != nullptr) *malformed = nullptr;
  message.type.clear();
  message.fields.clear();
  message.escaped_cr_first.clear();
  Parser parser;
  for (;;) {
    if (connection.size() == 0) {
      bool write_failed = false;
      ssize_t received = ReceiveMore(connection, relay, &write_failed);
      int status = write_failed    ? kRelayWriteFailed
                   : received <= 0 ? ReceiveFailure(parser, received, errno)
                                   : 0;
      if (status != 0) {
        if (parser.relayed) relay->DropField();
        return status;
      }
    }
    size_t used = 0;
    int status = Feed(parser, message, relay, limits, connection.data(), connection.size(), &used);
    if (!connection.Take(used)) status = ReceiveFailure(parser, -1, errno);
    if (status == kNeedMore) continue;
    if (status != 0) {
      if (parser.relayed) relay->DropField();
      if (malformed != nullptr) *malformed = parser.malformed;
      return status;
    }
    message.type = std::move(parser.type);
    bool tracing = TraceEnabled();
    std::string relayed;
    if (parser.relayed) relay->CommitField(tracing ? &relayed : nullptr);
    if (tracing) TraceMessageRead(message, parser.relayed ? &relayed : nullptr);
    return 0;
  }
}

int ReadMessage(int* socket, Message* message) {
  if (socket == nullptr || message == nullptr || *socket < 0) return -1;
  Connection connection(*socket, false);
  return ReadMessage(connection, *message, nullptr, MessageLimits());
}
