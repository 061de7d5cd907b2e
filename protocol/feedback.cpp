#include "protocol/feedback.h"

namespace VELLORA {

namespace {

int16_t saturate16(int32_t v) {
  if (v > 32767) return 32767;
  if (v < -32768) return -32768;
  return static_cast<int16_t>(v);
}

}  // namespace

FeedbackError feedbackError(uint16_t option0, uint16_t option1, uint16_t option2) {
  if (option0 >= 1 && option0 <= 0x7FFF) {
    return {saturate16(2 * static_cast<int32_t>(option0) - kFeedbackOne), 1};
  }
  if (option0 >= 0x8000) {
    int32_t v = option0 & 0x7FFF;
    if (v & 0x4000) v -= 0x8000;
    return {static_cast<int16_t>(v), 2};
  }
  if (option2 == 0) return {0, 0};
  const int32_t diff = static_cast<int32_t>(option1) - static_cast<int32_t>(option2);
  return {saturate16(diff * kFeedbackOne / static_cast<int32_t>(option2)), 3};
}

int16_t FeedbackLaw::update(int16_t e, int window) {
  if (window < 1) window = 1;
  if (window > 8) window = 8;
  for (int i = 7; i > 0; --i) feedbackHistory[i] = feedbackHistory[i - 1];
  feedbackHistory[0] = e;
  int32_t sum = 0;
  for (int i = 0; i < window; ++i) sum += feedbackHistory[i];
  const int32_t average = sum / window;  // truncates toward zero
  const int32_t delta = saturate16(average - previousAverage);
  int32_t c = correction - ((average * 655) >> 14) - ((delta * 1638) >> 14);
  if (c < kCorrectionMin) c = kCorrectionMin;
  if (c > kCorrectionMax) c = kCorrectionMax;
  correction = static_cast<int16_t>(c);
  return static_cast<int16_t>(average);
}

uint64_t correctedCycle(uint64_t profileCycle, int16_t correction) {
  const int64_t cycle = static_cast<int64_t>(profileCycle);
  return static_cast<uint64_t>(cycle - ((correction * cycle) >> 14));
}

uint32_t correctedFrames(uint32_t profileFramesQ14, int16_t correction) {
  const int64_t frames = profileFramesQ14;
  return static_cast<uint32_t>(frames + ((correction * frames) >> 14));
}

ProfileStep profileStep(int32_t lateScore, int32_t profileIndex, int32_t profileCount) {
  if (lateScore > 199 && profileIndex + 1 < profileCount) return ProfileStep::Up;
  if (lateScore == 0 && profileIndex > 0) return ProfileStep::Down;
  return ProfileStep::Stay;
}

int32_t resendRequestCount(uint16_t sequence, uint16_t first, uint32_t ringSize, uint64_t sent) {
  const uint16_t count = static_cast<uint16_t>(sequence - first);
  if (count >= ringSize || count > sent) return -1;
  return count;
}

void formatQ14(int32_t value, char out[8]) {
  const uint32_t magnitude = value < 0 ? static_cast<uint32_t>(-static_cast<int64_t>(value))
                                       : static_cast<uint32_t>(value);
  const uint32_t frac = ((magnitude & 0x3FFF) * 100000u / 16384u + 5u) / 10u;
  out[0] = value < 0 ? '-' : ' ';
  out[1] = (magnitude & 0x4000) ? '1' : '0';
  out[2] = '.';
  out[3] = static_cast<char>('0' + (frac / 1000) % 10);
  out[4] = static_cast<char>('0' + (frac / 100) % 10);
  out[5] = static_cast<char>('0' + (frac / 10) % 10);
  out[6] = static_cast<char>('0' + frac % 10);
  out[7] = '\0';
}

}  // namespace VELLORA
