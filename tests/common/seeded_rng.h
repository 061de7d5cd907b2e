#pragma once
// A pseudo-random source for the hostile-input sweeps: fixed seeds, raw
// Mersenne Twister output only (no library distributions), so every run
// and every standard library sees the same cases.

#include <cstdint>
#include <random>
#include <string>

namespace vtest {

class SeededRng {
 public:
  explicit SeededRng(uint32_t seed) : engine_(seed) {}
  uint32_t next() { return engine_(); }
  uint64_t next64() { return (uint64_t{engine_()} << 32) | engine_(); }
  // 0 .. n-1 (n > 0).
  uint32_t below(uint32_t n) { return engine_() % n; }
  bool chance(uint32_t percent) { return below(100) < percent; }
  char pick(const std::string& alphabet) { return alphabet[below(static_cast<uint32_t>(alphabet.size()))]; }

 private:
  std::mt19937 engine_;
};

}  // namespace vtest
