// The measurements after the warm command, by the key --only selects.
#ifndef QUARN_BENCH_MEASUREMENTS_H_
#define QUARN_BENCH_MEASUREMENTS_H_

#include <cstddef>

#include "bench.h"

struct Measurement {
  const char* key;
  void (*measure)(Bench& bench);
};
extern const Measurement kMeasurements[];
extern const size_t kMeasurementCount;

#endif  // QUARN_BENCH_MEASUREMENTS_H_
