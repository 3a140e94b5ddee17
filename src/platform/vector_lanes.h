// Vector lanes for scanning text 16 or 32 bytes at a time, in the
// instruction sets the compiler offers: SSE2 (and AVX2, used where the
// processor has it) on x86, NEON on AArch64. QUARN_LANES is 0 where there
// are none; the callers' plain loops then do the work, as everywhere they
// do for the bytes the lanes leave.
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

#include "platform/features.h"

#if QUARN_HAVE_X86_LANES && defined(__SSE2__)
#include <immintrin.h>

#define QUARN_LANES 1
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

#define QUARN_LANES 1
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
#define QUARN_LANES 0
#define QUARN_WIDE_LANES 0
#endif

#endif  // QUARN_PLATFORM_VECTOR_LANES_H_
