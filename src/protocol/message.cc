// Message framing: type "." then ` "field"`... and a line feed, with four
// bytes escaped inside fields.
//
// The reader must leave everything after the line feed in the socket, since
// the handshake reader and the message reader take turns on it without a
// shared buffer. Rather than one receive call per byte, it peeks at what has
// arrived, runs the state machine over the peeked bytes, and then consumes
// exactly the bytes the machine used (discarding them in the kernel where
// the socket allows it, so they are copied once). The first peek of a
// message is sized after the previous message, so a stream of equal
// messages copies little beyond each message itself.
#include <sys/socket.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/sys.h"
#include "protocol/protocol.h"
#include "trace/trace.h"

namespace {

constexpr size_t kPeekSize = 64 * 1024;
constexpr size_t kPeekSlack = 256;
// The size of the last message read on this thread: a hint, not data.
thread_local size_t t_last_message_size = 0;
const char kLowerHex[] = "0123456789abcdef";

bool IsTypeByte(unsigned char c) { return c >= 0x21 && c <= 0x7A && c != 0x2E; }

bool IsEscapeDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

int HexValue(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

constexpr size_t kWord = 16;  // the widest store CopyPlainRun makes

// Copies field bytes from data[i, size) to `out` up to the first quote
// byte or backslash (or the end), sixteen bytes at a time where SSE2 is
// there; returns the input position reached and advances `out`. `out` needs
// kWord bytes of slack: whole blocks are stored before the special byte in
// them is found.
size_t CopyPlainRun(const char* data, size_t i, size_t size, char*& out) {
#if defined(__SSE2__)
  const __m128i quotes = _mm_set1_epi8('"');
  const __m128i backslashes = _mm_set1_epi8('\\');
  while (i + 16 <= size) {
    __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), block);
    int hits = _mm_movemask_epi8(
        _mm_or_si128(_mm_cmpeq_epi8(block, quotes), _mm_cmpeq_epi8(block, backslashes)));
    if (hits != 0) {
      size_t k = static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(hits)));
      out += k;
      return i + k;
    }
    i += 16;
    out += 16;
  }
#endif
  while (i < size && data[i] != '"' && data[i] != '\\') *out++ = data[i++];
  return i;
}

// Appends `text` with the four escapes, written through a pointer into room
// for the worst case (every byte escaped), then trimmed.
void AppendEscaped(std::string& out, std::string_view text) {
  size_t base = out.size();
  out.resize(base + 3 * text.size());
  char* dest = &out[base];
  const char* src = text.data();
  const char* end = src + text.size();
  while (src < end) {
    const char* run = src;
    while (src < end && *src != '\n' && *src != '\r' && *src != '"' && *src != '\\') ++src;
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
  out.reserve(room);
  out.assign(type);
  out.push_back('.');
  size_t next = 0;
  for (const char* p = format; *p != 0; ++p) {
    if (p[0] != '%' || p[1] != 's') continue;
    if (next >= count) break;
    out.append(" \"");
    if (mask) {
      out.append("********");
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
};

// Notes, for the field's first byte only, whether it was an escaped CR.
void NoteEscape(Parser& parser, char first, char second) {
  if (!parser.lead_pending) return;
  parser.lead_cr = first == '0' && second == 'd';
  parser.lead_pending = false;
}

constexpr int kNeedMore = 1;
constexpr int kComplete = 0;

// Runs the state machine over data[0, size); sets *used to the bytes taken
// (up to and including the line feed or the offending byte).
int Feed(Parser& parser, Message& message, const char* data, size_t size, size_t* used) {
  size_t i = 0;
  while (i < size) {
    char c = data[i];
    switch (parser.state) {
    case State::kType: {
      size_t start = i;
      while (i < size && IsTypeByte(static_cast<unsigned char>(data[i]))) ++i;
      parser.type.append(data + start, i - start);
      if (i == size) break;
      c = data[i++];
      if (c == '.') {
        parser.state = State::kBetweenFields;
        break;
      }
      *used = i;
      TraceMessage("ERROR: ReadMessage(): Read invalid char %c while reading message type", c);
      return -1;
    }
    case State::kBetweenFields:
      ++i;
      if (c == ' ') {
        parser.state = State::kExpectingField;
      } else if (c == '\n') {
        *used = i;
        return kComplete;
      } else {
        *used = i;
        TraceMessage("ERROR: ReadMessage(): Unexpected character %c while in between fields", c);
        return -3;
      }
      break;
    case State::kExpectingField:
      ++i;
      if (c != '"') {
        *used = i;
        TraceMessage("ERROR: ReadMessage(): Unexpected character %c while expecting a field", c);
        return -4;
      }
      parser.field.clear();
      parser.lead_pending = true;
      parser.lead_cr = false;
      parser.state = State::kInField;
      break;
    case State::kInField: {
      // Runs and whole escapes are decoded straight into the field; only an
      // escape split across two chunks goes through the escape states.
      size_t base = parser.field.size();
      // Decoding never grows the text; the slack takes whole-word stores.
      parser.field.resize(base + (size - i) + kWord);
      char* out = &parser.field[base];
      char* const out_start = out;
      int failure = 0;
      while (i < size) {
        size_t run_start = i;
        i = CopyPlainRun(data, i, size, out);
        if (i != run_start) parser.lead_pending = false;
        if (i == size || data[i] == '"' || size - i < 3) break;
        char first = data[i + 1], second = data[i + 2];
        if (!IsEscapeDigit(first)) {
          i += 2;
          failure = -5;
          break;
        }
        if (!IsEscapeDigit(second)) {
          i += 3;
          failure = -6;
          break;
        }
        NoteEscape(parser, first, second);
        // An escaped carriage return is dropped: fields never hold one.
        if (!(first == '0' && second == 'd')) {
          *out++ = static_cast<char>(HexValue(first) * 16 + HexValue(second));
        }
        i += 3;
      }
      parser.field.resize(base + static_cast<size_t>(out - out_start));
      if (failure != 0) {
        *used = i;
        char offending = data[i - 1];
        if (failure == -5) {
          TraceMessage("ERROR: ReadMessage(): Unexpected character %c while in field escape 0",
                       offending);
        } else {
          TraceMessage("ERROR: ReadMessage(): Unexpected character %c while in field escape 1",
                       offending);
        }
        return failure;
      }
      if (i == size) break;
      c = data[i++];
      if (c == '\\') {
        parser.state = State::kEscape0;
      } else {
        message.fields.push_back(std::move(parser.field));
        message.escaped_cr_first.push_back(parser.lead_cr);
        parser.field.clear();
        parser.state = State::kBetweenFields;
      }
      break;
    }
    case State::kEscape0:
      ++i;
      if (!IsEscapeDigit(c)) {
        *used = i;
        TraceMessage("ERROR: ReadMessage(): Unexpected character %c while in field escape 0", c);
        return -5;
      }
      parser.first_digit = c;
      parser.state = State::kEscape1;
      break;
    case State::kEscape1:
      ++i;
      if (!IsEscapeDigit(c)) {
        *used = i;
        TraceMessage("ERROR: ReadMessage(): Unexpected character %c while in field escape 1", c);
        return -6;
      }
      NoteEscape(parser, parser.first_digit, c);
      // An escaped carriage return is dropped: fields never hold one.
      if (!(parser.first_digit == '0' && c == 'd')) {
        parser.field.push_back(static_cast<char>(HexValue(parser.first_digit) * 16 + HexValue(c)));
      }
      parser.state = State::kInField;
      break;
    }
  }
  *used = size;
  return kNeedMore;
}

// Consumes `count` bytes that a peek has shown are there. MSG_TRUNC makes
// TCP drop them without copying; other sockets copy them into `buffer`.
bool Consume(int fd, char* buffer, size_t count) {
  while (count > 0) {
    ssize_t n = RecvRetry(fd, buffer, count, MSG_TRUNC);
    if (n <= 0) return false;
    count -= static_cast<size_t>(n);
  }
  return true;
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

}  // namespace

int WriteMessageFields(int* socket, const char* type, const char* format,
                       const std::string_view* texts, size_t count, int flags) {
  if (socket == nullptr || type == nullptr || format == nullptr || *socket < 0) return -1;
  std::string encoded;
  Encode(encoded, type, format, texts, count, false);
  if (TraceEnabled()) {
    // A secret typed at a password prompt never reaches the trace file.
    if (std::strcmp(type, "password-entered") == 0) {
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

int ReadMessage(int* socket, Message* message) {
  if (socket == nullptr || message == nullptr || *socket < 0) return -1;
  message->type.clear();
  message->fields.clear();
  message->escaped_cr_first.clear();
  int fd = *socket;
  Parser parser;
  char buffer[kPeekSize];
  size_t peek_size = std::min(kPeekSize, t_last_message_size + kPeekSlack);
  size_t total = 0;
  for (;;) {
    ssize_t peeked = RecvRetry(fd, buffer, peek_size, MSG_PEEK);
    if (peeked <= 0) return ReceiveFailure(parser, peeked, errno);
    size_t used = 0;
    int status = Feed(parser, *message, buffer, static_cast<size_t>(peeked), &used);
    if (!Consume(fd, buffer, used)) return ReceiveFailure(parser, -1, errno);
    total += used;
    peek_size = kPeekSize;
    if (status == kNeedMore) continue;
    t_last_message_size = total;
    if (status != kComplete) return status;
    message->type = std::move(parser.type);
    if (TraceEnabled()) {
      TraceMessage("ReadMessage(): Retrieved message of type %s; # of fields %d",
                   message->type.c_str(), static_cast<int>(message->fields.size()));
      for (size_t i = 0; i < message->fields.size(); ++i) {
        TraceMessage("ReadMessage(): Field %d = %s", static_cast<int>(i), message->fields[i].c_str());
      }
    }
    return 0;
  }
}
