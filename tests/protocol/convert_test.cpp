#include "protocol/convert.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using VELLORA::SyncConvert;
using Conv = SyncConvert::Converter;
using Bytes = std::vector<unsigned char>;

struct Named {
  const char* name;
  Conv fn;
  bool words;     // works on whole 32-bit words only
  bool reverse;   // word bytes in reverse order
  bool bits;      // bits of each byte reversed
  bool anti;      // every bit complemented
};

const Named kAll[] = {
    {"Org", SyncConvert::memcpySyncOrg, false, false, false, false},
    {"AntiPhase", SyncConvert::memcpySyncAntiPhase, false, false, false, true},
    {"ByteSwap32", SyncConvert::memcpySyncByteSwap32, true, true, false, false},
    {"ByteSwap32AntiPhase", SyncConvert::memcpySyncByteSwap32AntiPhase, true, true, false, true},
    {"BitSwap32", SyncConvert::memcpySyncBitSwap32, true, true, true, false},
    {"BitSwap32AntiPhase", SyncConvert::memcpySyncBitSwap32AntiPhase, true, true, true, true},
    {"BitByteSwap32", SyncConvert::memcpySyncBitByteSwap32, true, false, true, false},
    {"BitByteSwap32AntiPhase", SyncConvert::memcpySyncBitByteSwap32AntiPhase, true, false, true,
     true},
};

// Reference built bit by bit, independent of the tables.
Bytes reference(const Named& c, const Bytes& src, const Bytes& before) {
  Bytes out = before;
  const size_t n = c.words ? (src.size() / 4) * 4 : src.size();
  for (size_t i = 0; i < n; ++i) {
    const size_t from = c.reverse ? (i / 4) * 4 + (3 - i % 4) : i;
    unsigned v = src[from];
    if (c.bits) {
      unsigned r = 0;
      for (int b = 0; b < 8; ++b) r |= ((v >> b) & 1u) << (7 - b);
      v = r;
    }
    if (c.anti) v = ~v & 0xFFu;
    out[i] = static_cast<unsigned char>(v);
  }
  return out;
}

TEST(Convert, KnownWords) {
  struct Case {
    Conv fn;
    Bytes in;
    Bytes out;
  } cases[] = {
      {SyncConvert::memcpySyncByteSwap32, {1, 2, 3, 4}, {4, 3, 2, 1}},
      {SyncConvert::memcpySyncBitSwap32, {1, 0, 0, 0}, {0, 0, 0, 0x80}},
      {SyncConvert::memcpySyncBitByteSwap32, {1, 0, 0, 0}, {0x80, 0, 0, 0}},
      {SyncConvert::memcpySyncBitSwap32AntiPhase, {0, 0, 0, 0}, {0xFF, 0xFF, 0xFF, 0xFF}},
      {SyncConvert::memcpySyncByteSwap32AntiPhase, {0x01, 0x02, 0x03, 0x04}, {0xFB, 0xFC, 0xFD, 0xFE}},
      {SyncConvert::memcpySyncBitByteSwap32AntiPhase, {0x0F, 0x01, 0xF0, 0xFF}, {0x0F, 0x7F, 0xF0, 0x00}},
      {SyncConvert::memcpySyncAntiPhase, {0, 1, 2, 3, 4, 5, 0xFF}, {0xFF, 0xFE, 0xFD, 0xFC, 0xFB, 0xFA, 0}},
      {SyncConvert::memcpySyncOrg, {9, 8, 7}, {9, 8, 7}},
  };
  for (const auto& c : cases) {
    Bytes dst(c.in.size(), 0x55);
    c.fn(dst.data(), c.in.data(), c.in.size());
    EXPECT_EQ(dst, c.out);
  }
}

TEST(Convert, TablesHoldReversedBits) {
  EXPECT_EQ(SyncConvert::swapBitsTable[1], 0x80);
  EXPECT_EQ(SyncConvert::swapBitsTable[0x0F], 0xF0);
  EXPECT_EQ(SyncConvert::swapBitsTableAntiPhase[0], 0xFF);
  EXPECT_EQ(SyncConvert::swapBitsTableAntiPhase[1], 0x7F);
  for (unsigned i = 0; i < 256; ++i) {
    EXPECT_EQ(SyncConvert::swapBitsTable[SyncConvert::swapBitsTable[i]], i);
    EXPECT_EQ(SyncConvert::swapBitsTableAntiPhase[i],
              static_cast<unsigned char>(~SyncConvert::swapBitsTable[i]));
  }
}

// Every converter, every tail length 0 to 7 after a few words, random data,
// odd source and destination alignment: the destination equals the per-bit
// reference and nothing past the converted part is written.
TEST(Convert, RandomDataAgainstReferenceWithTails) {
  std::mt19937 rng(12345);
  for (const auto& c : kAll) {
    for (size_t words : {0u, 1u, 5u, 37u}) {
      for (size_t tail = 0; tail < 8; ++tail) {
        const size_t n = words * 4 + tail;
        Bytes srcStore(n + 3), dstStore(n + 8 + 3);
        for (auto& b : srcStore) b = static_cast<unsigned char>(rng());
        for (auto& b : dstStore) b = static_cast<unsigned char>(rng());
        const Bytes src(srcStore.begin() + 1, srcStore.begin() + 1 + static_cast<long>(n));
        const Bytes before = dstStore;
        c.fn(dstStore.data() + 3, srcStore.data() + 1, n);
        Bytes expected(before.begin() + 3, before.end());
        expected = reference(c, src, expected);
        EXPECT_EQ(Bytes(dstStore.begin() + 3, dstStore.end()), expected)
            << c.name << " words " << words << " tail " << tail;
        EXPECT_EQ(Bytes(dstStore.begin(), dstStore.begin() + 3), Bytes(before.begin(), before.begin() + 3))
            << c.name << " wrote before the destination";
      }
    }
  }
}

TEST(Convert, ZeroBytesTouchNothing) {
  for (const auto& c : kAll) c.fn(nullptr, nullptr, 0);
  // Word converters ignore fewer than four bytes.
  unsigned char dst[3] = {7, 7, 7};
  const unsigned char src[3] = {1, 2, 3};
  SyncConvert::memcpySyncBitSwap32(dst, src, 3);
  EXPECT_EQ(dst[0], 7);
  EXPECT_EQ(dst[2], 7);
}

TEST(Convert, PhaseConverterStaysInFamily) {
  for (const auto& c : kAll) {
    const Conv anti = SyncConvert::phaseConverter(c.fn, true);
    const Conv plain = SyncConvert::phaseConverter(c.fn, false);
    for (const auto& d : kAll) {
      if (d.fn == anti) {
        EXPECT_TRUE(d.anti) << c.name;
        EXPECT_EQ(d.words, c.words) << c.name;
        EXPECT_EQ(d.reverse, c.reverse) << c.name;
        EXPECT_EQ(d.bits, c.bits) << c.name;
      }
      if (d.fn == plain) {
        EXPECT_FALSE(d.anti) << c.name;
        EXPECT_EQ(d.reverse, c.reverse) << c.name;
        EXPECT_EQ(d.bits, c.bits) << c.name;
      }
    }
    EXPECT_EQ(SyncConvert::phaseConverter(anti, false), plain);
  }
  EXPECT_EQ(SyncConvert::phaseConverter(SyncConvert::memcpySyncBitSwap32, true),
            SyncConvert::memcpySyncBitSwap32AntiPhase);
  EXPECT_EQ(SyncConvert::phaseConverter(SyncConvert::memcpySyncBitSwap32AntiPhase, false),
            SyncConvert::memcpySyncBitSwap32);
  // Anything unknown counts as the plain family.
  EXPECT_EQ(SyncConvert::phaseConverter(nullptr, true), SyncConvert::memcpySyncAntiPhase);
}

}  // namespace
