// The field decoder's pieces: the escape rule, and the block decoder that
// takes plain text and whole escapes 64 bytes at a time with the widest
// lanes the processor has (platform/vector_lanes.h). The message reader's states take
// what the block decoder leaves (an escape split by the end of what
// arrived, a bad one, the closing quote).
#ifndef QUARN_PROTOCOL_FIELD_DECODER_H_
#define QUARN_PROTOCOL_FIELD_DECODER_H_

#include <cstddef>
#include <cstdint>

// Lower-case hexadecimal digits and their values; -1 for any other byte.
struct HexDigits {
  int8_t value[256];
  constexpr HexDigits() : value() {
    for (int c = 0; c < 256; ++c) {
      value[c] = c >= '0' && c <= '9'   ? static_cast<int8_t>(c - '0')
                 : c >= 'a' && c <= 'f' ? static_cast<int8_t>(c - 'a' + 10)
                                        : -1;
    }
  }
};
constexpr HexDigits kHexDigits;

inline int HexValue(char c) { return kHexDigits.value[static_cast<unsigned char>(c)]; }
inline bool IsEscapeDigit(char c) { return HexValue(c) >= 0; }

// The one rule about an escape's byte: a carriage return that arrived
// escaped is dropped, a field never holds one.
constexpr bool IsDroppedEscape(int value) { return value == 0x0D; }
// The input bytes an escape removes from the text: its digits, and its
// backslash too when its byte is dropped.
constexpr ptrdiff_t InputDropped(int value) { return IsDroppedEscape(value) ? 3 : 2; }

// Where a field is being decoded to, and whether its first byte has been
// decoded yet (an exit code of 13 arrives as a field led by "\0d").
struct FieldOutput {
  char* out;
  bool lead_pending;
  bool lead_cr;
};

// The byte of one escape: appended, unless it is a carriage return, which
// a field never holds when it arrived escaped.
inline void AppendEscape(FieldOutput& field, int value) {
  bool carriage_return = IsDroppedEscape(value);
  if (field.lead_pending) field.lead_cr = carriage_return;
  field.lead_pending = false;
  if (!carriage_return) *field.out++ = static_cast<char>(value);
}

// Decodes plain text and whole escapes from [p, end), 64 bytes at a time:
// the block is stored whole, then each escape in it writes its byte and
// moves the rest of the block to its place. A block with one or two
// escapes, the common case of text with a line feed every few dozen bytes,
// takes them without a branch that depends on how many there are; others
// go through the loop over the block's special bytes. Stops at a quote
// byte, at a bad escape, or when fewer than kBlockReach bytes are left; the
// field states take it from there. Returns the position reached. Called
// past a field's first byte only (the states note how a field begins).

constexpr ptrdiff_t kBlock = 64;
constexpr ptrdiff_t kBlockReach = 2 * kBlock + 3;  // an escape's digits and the moved rest

struct Decoded {
  const char* in;
  char* out;
};
/// The block decoder chosen for this processor (or, without vector
/// instructions, one that decodes nothing and leaves it all to the states).
Decoded DecodeBlocks(const char* p, const char* end, char* out);

#endif  // QUARN_PROTOCOL_FIELD_DECODER_H_
