#include "base/clock.h"

#include <ctime>

namespace KALMO {

Clock& Clock::now() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  ps = fromTime(static_cast<uint64_t>(t.tv_sec), static_cast<uint64_t>(t.tv_nsec));
  return *this;
}

uint64_t Clock::remaining(const Clock& start, uint64_t window) {
  Clock present;
  present.now();
  const uint64_t elapsed = present - start;
  return elapsed < window ? window - elapsed : 0;
}

}  // namespace KALMO
