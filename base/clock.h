#pragma once
// The one time type: picoseconds of the monotonic clock, or a duration.
//
// 0 means "not set", so a reading that computes to 0 is stored as 1.
// Differences and sums wrap modulo 2^64 like the count; Comp orders two
// values across the wrap.

#include <cstdint>

namespace KALMO {

class Clock {
 public:
  constexpr Clock() = default;
  // Implicit so durations read naturally: Clock timeout = 100'000'000'000;
  constexpr Clock(uint64_t picoseconds) : ps(picoseconds) {}

  // The count, for arithmetic by the owner (later - start, start + limit).
  constexpr operator uint64_t() const { return ps; }
  constexpr uint64_t get() const { return ps; }

  // Sets this value to the present monotonic time and returns it.
  Clock& now();

  // Time left of a window of `window` ps that started at `start`; 0 once it
  // has passed.
  static uint64_t remaining(const Clock& start, uint64_t window);

  // 1 when this value is the later (longer) one, -1 when the earlier, 0 when
  // equal; values less than 2^63 ps apart compare by their true difference.
  // At a difference of exactly 2^63 the smaller count counts as later.
  constexpr int Comp(const Clock& other) const {
    const uint64_t a = ps;
    const uint64_t b = other.ps;
    constexpr uint64_t half = uint64_t{1} << 63;
    if (a == b) return 0;
    if (a > b) return (a - b) < half ? 1 : -1;
    return (b - a) < half ? -1 : 1;
  }

  // Seconds and nanoseconds as the monotonic clock gives them, folded into
  // the picosecond count (0 becomes 1).
  static constexpr uint64_t fromTime(uint64_t seconds, uint64_t nanoseconds) {
    const uint64_t v = seconds * 1'000'000'000'000ULL + nanoseconds * 1'000ULL;
    return v == 0 ? 1 : v;
  }

 private:
  uint64_t ps = 0;
};

}  // namespace KALMO
