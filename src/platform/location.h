#ifndef QUARN_PLATFORM_LOCATION_H_
#define QUARN_PLATFORM_LOCATION_H_

#include <cstdint>
#include <string>

/// Where a daemon listens: its port on 127.0.0.1 and its secret key. Shared
/// by the registry, the daemon launch, the conversation and the run loop.
struct DaemonLocation {
  int32_t port = -1;  // -1: none; only the low 16 bits reach the socket
  std::string key;    // empty: none
  std::string entry;  // its registry entry's name; empty: not found there
  bool Usable() const { return port >= 0 && !key.empty(); }
};

#endif  // QUARN_PLATFORM_LOCATION_H_
