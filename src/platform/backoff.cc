#include "platform/backoff.h"

#include <time.h>

#include <algorithm>
#include <cerrno>

int Backoff::Pause() {
  if (left_us_ <= 0) return 0;
  int step = static_cast<int>(std::min<long long>(step_us_, left_us_));
  struct timespec wait = {step / 1000000, static_cast<long>(step % 1000000) * 1000};
  while (::nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
  left_us_ -= step;
  step_us_ = std::min(step_us_ * 2, cap_us_);
  return step;
}
