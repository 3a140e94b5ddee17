#include "protocol/field_decoder.h"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace {

#define QUARN_MOVE_REST(Vector, Load, Store, at, shift)                    \
  for (int i = 0; i < kLanes; ++i) {                                       \
    Vector rest = Load(reinterpret_cast<const Vector*>(p + (at) + 3) + i); \
    Store(reinterpret_cast<Vector*>(out + (at) + 3 - (shift)) + i, rest);  \
  }

#define QUARN_DECODE_BLOCKS(Vector, Load, Store, Splat, Equal, Or, Mask)                  \
  const Vector quotes = Splat('"');                                                       \
  const Vector backslashes = Splat('\\');                                                 \
  constexpr int kLanes = static_cast<int>(kBlock / sizeof(Vector));                       \
  while (end - p >= kBlockReach) {                                                        \
    uint64_t specials = 0;                                                                \
    for (int i = 0; i < kLanes; ++i) {                                                    \
      Vector part = Load(reinterpret_cast<const Vector*>(p) + i);                         \
      Store(reinterpret_cast<Vector*>(out) + i, part);                                    \
      uint64_t hits =                                                                     \
          static_cast<uint32_t>(Mask(Or(Equal(part, quotes), Equal(part, backslashes)))); \
      specials |= hits << (i * static_cast<int>(sizeof(Vector)));                         \
    }                                                                                     \
    if (specials == 0) {                                                                  \
      p += kBlock;                                                                        \
      out += kBlock;                                                                      \
      continue;                                                                           \
    }                                                                                     \
    ptrdiff_t taken = kBlock; /* the block's bytes, and an escape's past its end */       \
    ptrdiff_t shift = 0;      /* input bytes that decoded to nothing */                   \
    uint64_t later = specials & (specials - 1);                                           \
    if ((later & (later - 1)) == 0) {                                                     \
      /* One or two escapes. A missing second one is at kBlock: its rest moved */         \
      /* again is the same bytes, and its byte goes to kBlock + 2, which that   */        \
      /* move writes over (a first escape at 62 or 63 ends past kBlock).        */        \
      ptrdiff_t first = __builtin_ctzll(specials);                                        \
      ptrdiff_t second = later != 0 ? __builtin_ctzll(later) : kBlock;                    \
      int high1 = HexValue(p[first + 1]), low1 = HexValue(p[first + 2]);                  \
      int high2 = HexValue(p[second + 1]), low2 = HexValue(p[second + 2]);                \
      bool has_second = second < kBlock;                                                  \
      bool bad = p[first] == '"' || (high1 | low1) < 0 ||                                 \
                 (has_second && (p[second] == '"' || (high2 | low2) < 0));                \
      if (!bad) {                                                                         \
        int value1 = high1 * 16 + low1, value2 = high2 * 16 + low2;                       \
        /* An escaped carriage return is dropped: the moved rest covers its byte. */      \
        out[first] = static_cast<char>(value1);                                           \
        shift = InputDropped(value1);                                                     \
        QUARN_MOVE_REST(Vector, Load, Store, first, shift)                                \
        out[has_second ? second - shift : kBlock + 2] = static_cast<char>(value2);        \
        shift += has_second ? InputDropped(value2) : 0;                                   \
        QUARN_MOVE_REST(Vector, Load, Store, second, shift)                               \
        ptrdiff_t last = (has_second ? second : first) + 3;                               \
        taken = last > kBlock ? last : kBlock;                                            \
        p += taken;                                                                       \
        out += taken - shift;                                                             \
        continue;                                                                         \
      }                                                                                   \
    }                                                                                     \
    for (; specials != 0; specials &= specials - 1) {                                     \
      ptrdiff_t at = __builtin_ctzll(specials);                                           \
      int high = HexValue(p[at + 1]), low = HexValue(p[at + 2]);                          \
      if (p[at] == '"' || (high | low) < 0) return {p + at, out + at - shift};            \
      int value = high * 16 + low;                                                        \
      out[at - shift] = static_cast<char>(value);                                         \
      shift += InputDropped(value);                                                       \
      QUARN_MOVE_REST(Vector, Load, Store, at, shift)                                     \
      if (at + 3 > taken) taken = at + 3;                                                 \
    }                                                                                     \
    p += taken;                                                                           \
    out += taken - shift;                                                                 \
  }                                                                                       \
  return {p, out};

using BlockDecoder = Decoded (*)(const char* p, const char* end, char* out);

#if defined(__SSE2__)
Decoded DecodeBlocksSse2(const char* p, const char* end, char* out) {
  QUARN_DECODE_BLOCKS(__m128i, _mm_loadu_si128, _mm_storeu_si128, _mm_set1_epi8, _mm_cmpeq_epi8,
                      _mm_or_si128, _mm_movemask_epi8)
}

__attribute__((target("avx2"))) Decoded DecodeBlocksAvx2(const char* p, const char* end, char* out){
    QUARN_DECODE_BLOCKS(__m256i, _mm256_loadu_si256, _mm256_storeu_si256, _mm256_set1_epi8,
                        _mm256_cmpeq_epi8, _mm256_or_si256, _mm256_movemask_epi8)}

// The widest the processor has, chosen once.
BlockDecoder ChooseBlockDecoder() {
  return __builtin_cpu_supports("avx2") ? &DecodeBlocksAvx2 : &DecodeBlocksSse2;
}
#else
Decoded DecodeBlocksPlain(const char* p, const char*, char* out) { return {p, out}; }
BlockDecoder ChooseBlockDecoder() { return &DecodeBlocksPlain; }
#endif

#undef QUARN_DECODE_BLOCKS
#undef QUARN_MOVE_REST

const BlockDecoder kChosenDecoder = ChooseBlockDecoder();

}  // namespace

Decoded DecodeBlocks(const char* p, const char* end, char* out) {
  return kChosenDecoder(p, end, out);
}
