#include "base/clock.h"

#include <ctime>

namespace KALMO {

Clock& Clock::now() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  ps = fromTime(static_cast<uint64_t>(t.tv_sec), static_cast<uint64_t>(t.tv_nsec));
  return *this;
}

}  // namespace KALMO
