#pragma once
// Checks what a sink received against what was played: the played bytes in
// order, with runs of the mute byte only around them and, where the play
// was paused, at a place the test cannot know beforehand.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vellora_test {

// `got` holds mute, then `played` byte for byte, then only mute. Up to
// `pauses` runs of mute may cut the played bytes; a cut adds silence
// without taking any played byte away.
::testing::AssertionResult playedInOrder(const std::vector<uint8_t>& got,
                                         const std::vector<uint8_t>& played, std::size_t pauses,
                                         uint8_t mute = 0);

}  // namespace vellora_test
