// Lanes for scanning text many bytes at a time, in the instruction sets
// the compiler offers: SSE2 (and AVX2, used where the processor has it) on
// x86, NEON on AArch64, and elsewhere a 64-bit word taken as eight byte
// lanes with plain integer arithmetic. The callers' plain loops take the
// bytes the lanes leave, and stay the reference for what the lanes must
// give.
//
// Each lanes struct has kWidth and static functions over kWidth bytes:
// CopyAndMark copies them and returns the bit mask (bit i for byte i) of
// the quotes and backslashes among them; Copy copies them; the narrow
// lanes' MarkEscaped returns the mask of line feeds, carriage returns,
// quotes and backslashes. Vectors never cross these functions' boundaries,
// so lanes compiled for wider instructions than the rest of the program
// pass nothing in registers their callers would not have.
#ifndef QUARN_PLATFORM_VECTOR_LANES_H_
#define QUARN_PLATFORM_VECTOR_LANES_H_

#include <cstdint>
#include <cstring>

#include "platform/features.h"

#if QUARN_HAVE_X86_LANES && defined(__SSE2__)
#include <immintrin.h>

#define QUARN_WIDE_LANES 1
// For the function the wide lanes are inlined into: AVX2 allowed there,
// and everything it calls inlined, so no vector crosses a call.
#define QUARN_WIDE_LANES_FUNCTION __attribute__((target("avx2"), flatten))

struct Sse2Lanes {
  static constexpr int kWidth = 16;
  static uint64_t CopyAndMark(const char* p, char* out) {
    __m128i part = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), part);
    __m128i hits = _mm_or_si128(_mm_cmpeq_epi8(part, _mm_set1_epi8('"')),
                                _mm_cmpeq_epi8(part, _mm_set1_epi8('\\')));
    return static_cast<uint32_t>(_mm_movemask_epi8(hits));
  }
  static void Copy(const char* p, char* out) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }
  static uint64_t MarkEscaped(const char* p) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')),
                                             _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r'))),
                                _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')),
                                             _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'))));
    return static_cast<uint32_t>(_mm_movemask_epi8(hits));
  }
};
using NarrowLanes = Sse2Lanes;

#define QUARN_AVX2 __attribute__((target("avx2")))
struct Avx2Lanes {
  static constexpr int kWidth = 32;
  QUARN_AVX2 static uint64_t CopyAndMark(const char* p, char* out) {
    __m256i part = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), part);
    __m256i hits = _mm256_or_si256(_mm256_cmpeq_epi8(part, _mm256_set1_epi8('"')),
                                   _mm256_cmpeq_epi8(part, _mm256_set1_epi8('\\')));
    return static_cast<uint32_t>(_mm256_movemask_epi8(hits));
  }
  QUARN_AVX2 static void Copy(const char* p, char* out) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
  }
};
#undef QUARN_AVX2
using WideLanes = Avx2Lanes;

/// Whether the processor running us has the wide lanes' instructions.
inline bool ProcessorHasWideLanes() {
#if QUARN_HAVE_CPU_SUPPORTS
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

#elif QUARN_HAVE_NEON_LANES && defined(__aarch64__)
#include <arm_neon.h>

#define QUARN_WIDE_LANES 0

struct NeonLanes {
  static constexpr int kWidth = 16;
  // NEON has no byte mask instruction: each hit keeps its own bit, and
  // each half's eight bits are summed into one byte.
  static uint64_t Mask(uint8x16_t hits) {
    static const uint8_t kBits[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    uint8x16_t bits = vandq_u8(hits, vld1q_u8(kBits));
    return static_cast<uint64_t>(vaddv_u8(vget_low_u8(bits))) |
           static_cast<uint64_t>(vaddv_u8(vget_high_u8(bits))) << 8;
  }
  static uint64_t CopyAndMark(const char* p, char* out) {
    uint8x16_t part = vld1q_u8(reinterpret_cast<const uint8_t*>(p));
    vst1q_u8(reinterpret_cast<uint8_t*>(out), part);
    return Mask(vorrq_u8(vceqq_u8(part, vdupq_n_u8('"')), vceqq_u8(part, vdupq_n_u8('\\'))));
  }
  static void Copy(const char* p, char* out) {
    vst1q_u8(reinterpret_cast<uint8_t*>(out), vld1q_u8(reinterpret_cast<const uint8_t*>(p)));
  }
  static uint64_t MarkEscaped(const char* p) {
    uint8x16_t bytes = vld1q_u8(reinterpret_cast<const uint8_t*>(p));
    return Mask(
        vorrq_u8(vorrq_u8(vceqq_u8(bytes, vdupq_n_u8('\n')), vceqq_u8(bytes, vdupq_n_u8('\r'))),
                 vorrq_u8(vceqq_u8(bytes, vdupq_n_u8('"')), vceqq_u8(bytes, vdupq_n_u8('\\')))));
  }
};
using NarrowLanes = NeonLanes;

#else
#define QUARN_WIDE_LANES 0

// Eight byte lanes in a 64-bit word. A byte equal to c is found exactly:
// its XOR with c is zero, and only a zero byte leaves its high bit clear
// after adding 0x7F to its low seven bits and ORing in the byte itself (no
// carry crosses a byte). The high bits are then gathered to one bit per
// byte by one multiplication.
struct WordLanes {
  static constexpr int kWidth = 8;
  static uint64_t Load(const char* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof(word));
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);  // byte i of the text in bits 8i to 8i + 7
#endif
    return word;
  }
  static uint64_t Equal(uint64_t word, unsigned char c) {
    constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
    uint64_t x = word ^ (0x0101010101010101ULL * c);
    return ~(((x & kLow7) + kLow7) | x | kLow7);
  }
  static uint64_t Gather(uint64_t highBits) {
    return ((highBits >> 7) * 0x0102040810204080ULL) >> 56;
  }
  static uint64_t CopyAndMark(const char* p, char* out) {
    uint64_t word = Load(p);
    std::memcpy(out, p, kWidth);
    return Gather(Equal(word, '"') | Equal(word, '\\'));
  }
  static void Copy(const char* p, char* out) { std::memcpy(out, p, kWidth); }
  static uint64_t MarkEscaped(const char* p) {
    uint64_t word = Load(p);
    return Gather(Equal(word, '\n') | Equal(word, '\r') | Equal(word, '"') | Equal(word, '\\'));
  }
};
using NarrowLanes = WordLanes;
#endif

#endif  // QUARN_PLATFORM_VECTOR_LANES_H_
