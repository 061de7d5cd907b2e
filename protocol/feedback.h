#pragma once
// The sink's feedback turned into a rate correction, and the checks on its
// resend requests. Pure functions of explicit state so the streaming worker
// and the tests share one law.

#include <cstdint>

namespace VELLORA {

// Q14 fixed point: 16384 = 1.0.
constexpr int kFeedbackOne = 16384;
// The correction is held in an uneven range: at most 10% slower, 3% faster.
constexpr int kCorrectionMin = -1638;
constexpr int kCorrectionMax = 491;

struct FeedbackError {
  int16_t error;  // Q14, signed
  int kind;       // 0 none, 1 fill level, 2 signed 15-bit, 3 ratio of options 1 and 2
};

// The error a STREAMINFO_ANS carries in its options 0 to 2. Values outside
// the signed 16-bit range saturate (a "far too full" sink never reads as far
// too empty).
FeedbackError feedbackError(uint16_t option0, uint16_t option1, uint16_t option2);

// State of the control law across feedback messages.
struct FeedbackLaw {
  int16_t correction = 0;
  int16_t feedbackHistory[8] = {};  // newest first
  int16_t previousAverage = 0;

  // Shifts e into the history, averages the newest `window` entries (1 to 8)
  // and moves the correction. Returns the average; previousAverage is left
  // to the caller (it logs the old one first).
  int16_t update(int16_t e, int window);
};

// The cycle for a profile cycle under a correction: a positive correction
// sends faster (shorter cycle).
uint64_t correctedCycle(uint64_t profileCycle, int16_t correction);
// Frames per packet (Q14) under a correction: positive sends more.
uint32_t correctedFrames(uint32_t profileFramesQ14, int16_t correction);

// Profile stepping on lateness, decided on each feedback message.
enum class ProfileStep { Stay, Up, Down };
ProfileStep profileStep(int32_t lateScore, int32_t profileIndex, int32_t profileCount);

// Number of packets a resend request starting at `first` asks for, or -1
// when it reaches further back than the ring holds or than was ever sent
// (`sent` counts every packet sent so far in this stream).
int32_t resendRequestCount(uint16_t sequence, uint16_t first, uint32_t ringSize, uint64_t sent);

// A Q14 value as the log writes it: sign (blank or '-'), the digit of bit
// 14 of the magnitude, '.', four decimals. `out` gets 7 characters and a NUL.
void formatQ14(int32_t value, char out[8]);

}  // namespace VELLORA
