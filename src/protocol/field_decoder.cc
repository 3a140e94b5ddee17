#include "protocol/field_decoder.h"

#include "platform/vector_lanes.h"

namespace {

// The block decoder over lanes of some vector width. `Lanes` supplies
// CopyAndMark (copies kWidth bytes, returns the bit mask of the quotes and
// backslashes among them) and Copy. Vectors never cross its functions'
// boundaries, so a variant compiled for wider instructions than the rest
// of the program passes nothing in registers the caller would not have.
template <typename Lanes>
struct BlockDecoderOf {
  static constexpr int kLanes = static_cast<int>(kBlock / Lanes::kWidth);

  // The block's rest after an escape at `at`, moved back over what the
  // escape's input bytes left behind.
  static void MoveRest(const char* p, char* out, ptrdiff_t at, ptrdiff_t shift) {
    for (int i = 0; i < kLanes; ++i) {
      Lanes::Copy(p + at + 3 + i * Lanes::kWidth, out + at + 3 - shift + i * Lanes::kWidth);
    }
  }

  static Decoded Decode(const char* p, const char* end, char* out) {
    while (end - p >= kBlockReach) {
      uint64_t specials = 0;
      for (int i = 0; i < kLanes; ++i) {
        uint64_t hits = Lanes::CopyAndMark(p + i * Lanes::kWidth, out + i * Lanes::kWidth);
        specials |= hits << (i * Lanes::kWidth);
      }
      if (specials == 0) {
        p += kBlock;
        out += kBlock;
        continue;
      }
      ptrdiff_t taken = kBlock;  // the block's bytes, and an escape's past its end
      ptrdiff_t shift = 0;       // input bytes that decoded to nothing
      uint64_t later = specials & (specials - 1);
      if ((later & (later - 1)) == 0 && TakeOneOrTwo(p, out, specials, later, taken, shift)) {
        p += taken;
        out += taken - shift;
        continue;
      }
      for (; specials != 0; specials &= specials - 1) {
        ptrdiff_t at = __builtin_ctzll(specials);
        int high = HexValue(p[at + 1]), low = HexValue(p[at + 2]);
        if (p[at] == '"' || (high | low) < 0) return {p + at, out + at - shift};
        int value = high * 16 + low;
        out[at - shift] = static_cast<char>(value);
        shift += InputDropped(value);
        MoveRest(p, out, at, shift);
        if (at + 3 > taken) taken = at + 3;
      }
      p += taken;
      out += taken - shift;
    }
    return {p, out};
  }

  // One or two escapes, taken without a branch that depends on how many
  // there are. A missing second one is at kBlock: its rest moved again is
  // the same bytes, and its byte goes to kBlock + 2, which that move writes
  // over (a first escape at 62 or 63 ends past kBlock). False, nothing
  // written past the block, when either is a quote or a bad escape.
  static bool TakeOneOrTwo(const char* p, char* out, uint64_t specials, uint64_t later,
                           ptrdiff_t& taken, ptrdiff_t& shift) {
    ptrdiff_t first = __builtin_ctzll(specials);
    ptrdiff_t second = later != 0 ? __builtin_ctzll(later) : kBlock;
    int high1 = HexValue(p[first + 1]), low1 = HexValue(p[first + 2]);
    int high2 = HexValue(p[second + 1]), low2 = HexValue(p[second + 2]);
    bool has_second = second < kBlock;
    if (p[first] == '"' || (high1 | low1) < 0 ||
        (has_second && (p[second] == '"' || (high2 | low2) < 0))) {
      return false;
    }
    int value1 = high1 * 16 + low1, value2 = high2 * 16 + low2;
    // An escaped carriage return is dropped: the moved rest covers its byte.
    out[first] = static_cast<char>(value1);
    shift = InputDropped(value1);
    MoveRest(p, out, first, shift);
    out[has_second ? second - shift : kBlock + 2] = static_cast<char>(value2);
    shift += has_second ? InputDropped(value2) : 0;
    MoveRest(p, out, second, shift);
    ptrdiff_t last = (has_second ? second : first) + 3;
    taken = last > kBlock ? last : kBlock;
    return true;
  }
};

using BlockDecoder = Decoded (*)(const char* p, const char* end, char* out);

Decoded DecodeBlocksNarrow(const char* p, const char* end, char* out) {
  return BlockDecoderOf<NarrowLanes>::Decode(p, end, out);
}

#if QUARN_WIDE_LANES
QUARN_WIDE_LANES_FUNCTION Decoded DecodeBlocksWide(const char* p, const char* end, char* out) {
  return BlockDecoderOf<WideLanes>::Decode(p, end, out);
}
#endif

// The widest lanes the processor has, chosen once.
BlockDecoder ChooseBlockDecoder() {
#if QUARN_WIDE_LANES
  if (ProcessorHasWideLanes()) return &DecodeBlocksWide;
#endif
  return &DecodeBlocksNarrow;
}

const BlockDecoder kChosenDecoder = ChooseBlockDecoder();

}  // namespace

Decoded DecodeBlocks(const char* p, const char* end, char* out) {
  return kChosenDecoder(p, end, out);
}
