#include "tests/common/audio_order.h"

#include <algorithm>

namespace vellora_test {

::testing::AssertionResult playedInOrder(const std::vector<uint8_t>& got,
                                         const std::vector<uint8_t>& played, std::size_t pauses,
                                         uint8_t mute) {
  std::size_t at = 0;
  while (at < got.size() && got[at] == mute) ++at;
  const std::size_t start = at;
  std::size_t cuts = 0;
  for (std::size_t i = 0; i < played.size();) {
    if (at == got.size()) {
      return ::testing::AssertionFailure() << "only " << i << " of " << played.size()
                                           << " bytes arrived after " << start << " mute bytes";
    }
    if (got[at] == played[i]) {
      ++at;
      ++i;
      continue;
    }
    if (got[at] != mute || cuts == pauses) {
      ::testing::AssertionResult r = ::testing::AssertionFailure();
      r << "played byte " << i << " differs (received byte " << at << ", " << cuts
        << " cuts before); received/played:";
      for (std::size_t k = 0; k < 16 && at + k < got.size() && i + k < played.size(); ++k) {
        r << " " << int{got[at + k]} << "/" << int{played[i + k]};
      }
      return r;
    }
    // Silence put in: the played bytes go on after it with played[i], the
    // first one that is not mute (any mute bytes of the play just before i
    // may lie inside the run, which costs nothing).
    ++cuts;
    while (at < got.size() && got[at] == mute) ++at;
  }
  const std::size_t after = static_cast<std::size_t>(
      std::count_if(got.begin() + static_cast<std::ptrdiff_t>(at), got.end(),
                    [mute](uint8_t b) { return b != mute; }));
  if (after != 0) {
    return ::testing::AssertionFailure() << after << " bytes other than mute after the "
                                         << played.size() << " played ones";
  }
  return ::testing::AssertionSuccess() << cuts << " cuts";
}

}  // namespace vellora_test
