// Random bytes for secrets, from the system's random source.
#ifndef QUARN_PLATFORM_RANDOM_H_
#define QUARN_PLATFORM_RANDOM_H_

#include <cstddef>

/// Fills `bytes` with `size` random bytes: the system's call for them
/// where it has one, else /dev/urandom. false when the source failed.
[[nodiscard]] bool FillRandom(unsigned char* bytes, size_t size);

#endif  // QUARN_PLATFORM_RANDOM_H_
