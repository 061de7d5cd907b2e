#include "protocol/feedback.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace VELLORA;

TEST(Feedback, ErrorFromOptions) {
  struct Case {
    uint16_t o0, o1, o2;
    int16_t e;
    int kind;
  } cases[] = {
      {0x2000, 0, 0, 0, 1},
      {0x1000, 0, 0, -8192, 1},
      {0x4000, 0, 0, 16384, 1},
      {0x0001, 0, 0, -16382, 1},
      // Far too full saturates instead of wrapping to "far too empty".
      {0x6000, 0, 0, 32767, 1},
      {0x7FFF, 0, 0, 32767, 1},
      {0x5FFF, 0, 0, 32766, 1},
      {0xC000, 0, 0, -16384, 2},
      {0x8000, 0, 0, 0, 2},
      {0x8123, 0, 0, 0x0123, 2},
      {0xBFFF, 0, 0, 16383, 2},
      {0xFFFF, 0, 0, -1, 2},
      {0, 300, 200, 8192, 3},
      {0, 100, 200, -8192, 3},
      {0, 7, 0, 0, 0},
      // Ratios beyond the 16-bit range are limited to it.
      {0, 65535, 1, 32767, 3},
      {0, 0, 65535, -16384, 3},
      {0, 40000, 10000, 32767, 3},
  };
  for (const auto& c : cases) {
    const FeedbackError r = feedbackError(c.o0, c.o1, c.o2);
    EXPECT_EQ(r.error, c.e) << std::hex << c.o0 << " " << c.o1 << " " << c.o2;
    EXPECT_EQ(r.kind, c.kind) << std::hex << c.o0;
  }
}

TEST(Feedback, ControlLawTable) {
  struct Case {
    const char* what;
    int window;
    std::vector<int16_t> errors;  // applied in order to a fresh law
    int16_t average;              // after the last one
    int16_t correction;
  } cases[] = {
      {"neutral keeps the rate", 1, {0, 0, 0}, 0, 0},
      {"too full, clamped below", 1, {16384}, 16384, -1638},
      {"too empty, clamped above", 1, {-16384}, -16384, 491},
      {"small error", 1, {1000}, 1000, -(1000 * 655 >> 14) - (1000 * 1638 >> 14)},
      {"window 8 single error", 8, {0, 0, 0, 0, 0, 0, 0, 1001}, 125, -(125 * 655 >> 14) - (125 * 1638 >> 14)},
      {"window 3 negative truncates toward zero", 3, {-1, -1, 0}, 0, 0},
      {"steady error integrates", 1, {800, 800, 800}, 800, -3 * (800 * 655 >> 14) - (800 * 1638 >> 14)},
      // Saturated extremes: the difference of averages is limited, not wrapped.
      {"swing from empty to full", 1, {-32768, 32767}, 32767, -1638},
      {"swing from full to empty", 1, {32767, -32768}, -32768, 491},
  };
  for (const auto& c : cases) {
    FeedbackLaw law;
    int16_t avg = 0;
    for (int16_t e : c.errors) {
      avg = law.update(e, c.window);
      law.previousAverage = avg;
    }
    EXPECT_EQ(avg, c.average) << c.what;
    EXPECT_EQ(law.correction, c.correction) << c.what;
    EXPECT_EQ(law.feedbackHistory[0], c.errors.back()) << c.what;
  }
}

TEST(Feedback, HistoryKeepsNewestEight) {
  FeedbackLaw law;
  for (int i = 1; i <= 10; ++i) law.update(static_cast<int16_t>(i), 8);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(law.feedbackHistory[i], 10 - i);
}

TEST(Feedback, CorrectionAppliedToProfileValues) {
  const uint64_t ms = 1000000000ull;
  // Too full (negative correction) lengthens the cycle by at most 10%.
  // Arithmetic shift: the negative product rounds toward minus infinity.
  EXPECT_EQ(correctedCycle(ms, -1638), ms - ((-1638 * static_cast<int64_t>(ms)) >> 14));
  EXPECT_LE(correctedCycle(ms, kCorrectionMin), ms + ms / 10);
  EXPECT_GE(correctedCycle(ms, kCorrectionMax), ms - ms * 3 / 100);
  EXPECT_EQ(correctedCycle(ms, 0), ms);
  const uint32_t f = 48 * 16384;
  EXPECT_EQ(correctedFrames(f, 0), f);
  EXPECT_EQ(correctedFrames(f, kCorrectionMin), f + ((-1638 * static_cast<int64_t>(f)) >> 14));
  EXPECT_EQ(correctedFrames(f, kCorrectionMax), f + ((491u * f) >> 14));
  EXPECT_GE(correctedFrames(f, kCorrectionMin), f - f / 10);
}

TEST(Feedback, ProfileStepping) {
  struct Case {
    int32_t late, index, count;
    ProfileStep step;
  } cases[] = {
      {200, 0, 1, ProfileStep::Stay}, {200, 0, 2, ProfileStep::Up}, {199, 0, 2, ProfileStep::Stay},
      {200, 1, 2, ProfileStep::Stay}, {0, 1, 2, ProfileStep::Down}, {1, 1, 2, ProfileStep::Stay},
      {0, 0, 2, ProfileStep::Stay},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(profileStep(c.late, c.index, c.count), c.step) << c.late << " " << c.index;
  }
}

TEST(Feedback, ResendRequestBounds) {
  struct Case {
    uint16_t sequence, first;
    uint32_t ring;
    uint64_t sent;
    int32_t count;
  } cases[] = {
      {100, 100, 1024, 100, 0},      // asks for nothing
      {100, 90, 1024, 100, 10},
      {100, 0, 1024, 100, 100},      // back to the first packet
      {100, 65535, 1024, 100, -1},   // before the first packet: never sent
      {2000, 2000 - 1023, 1024, 2000, 1023},
      {2000, 2000 - 1024, 1024, 2000, -1},  // the ring's size: too far
      {5, 65530, 32768, 70000, 11},  // across the 16-bit wrap
      {0, 32768, 32768, 1u << 20, -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(resendRequestCount(c.sequence, c.first, c.ring, c.sent), c.count)
        << c.sequence << " " << c.first;
  }
}

TEST(Feedback, FixedPointText) {
  struct Case {
    int32_t v;
    const char* text;
  } cases[] = {
      {0, " 0.0000"},       {16384, " 1.0000"}, {-8192, "-0.5000"}, {8192, " 0.5000"},
      {-1638, "-0.1000"},   {491, " 0.0300"},   {32767, " 1.9999"}, {1, " 0.0001"},
  };
  for (const auto& c : cases) {
    char out[8];
    formatQ14(c.v, out);
    EXPECT_STREQ(out, c.text) << c.v;
  }
}

}  // namespace
