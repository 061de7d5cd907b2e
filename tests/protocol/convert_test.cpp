#include "protocol/convert.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iterator>
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

// The per-byte reference for each converter, built from the table entries
// (one look-up per byte, as the converters used to run) and checked
// against the bit-by-bit reference above.
unsigned char referenceByte(const Named& c, const unsigned char* word, size_t k) {
  const unsigned char b = word[c.reverse ? 3 - k : k];
  if (c.bits) return c.anti ? SyncConvert::swapBitsTableAntiPhase[b] : SyncConvert::swapBitsTable[b];
  return c.anti ? static_cast<unsigned char>(~b) : b;
}

void referenceInto(const Named& c, unsigned char* dst, const unsigned char* src, size_t n) {
  const size_t whole = (n / 4) * 4;
  for (size_t i = 0; i < whole; i += 4) {
    for (size_t k = 0; k < 4; ++k) dst[i + k] = referenceByte(c, src + i, k);
  }
  if (!c.words) {
    for (size_t i = whole; i < n; ++i) dst[i] = c.anti ? static_cast<unsigned char>(~src[i]) : src[i];
  }
}

// Every instruction-set path the CPU has, every converter, every length
// 0 to 700 and a spread of longer ones up to 4100, source and destination
// at every offset within a word and across a vector boundary, random
// bytes: the destination equals the per-byte reference, and the guard
// bytes before and after it (and after the last whole word for the word
// converters) keep what they held.
TEST(Convert, EveryPathMatchesPerByteReference) {
  const auto paths = SyncConvert::paths();
  ASSERT_FALSE(paths.empty());
  EXPECT_STREQ(paths.back().name, SyncConvert::pathInUse());
  std::mt19937 rng(20261211);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 700; ++n) lengths.push_back(n);
  for (size_t n = 701; n <= 4100; n += 1 + rng() % 97) lengths.push_back(n);
  struct Offsets {
    size_t src, dst;
  };
  const Offsets offsets[] = {{0, 0}, {1, 3}, {2, 1}, {3, 2}, {0, 31}, {17, 4}, {5, 0}};
  constexpr size_t kGuard = 40;
  size_t checked = 0;
  for (const auto& path : paths) {
    for (size_t ci = 0; ci < std::size(kAll); ++ci) {
      const Named& c = kAll[ci];
      const Conv fn = path.converters[ci];
      ASSERT_NE(fn, nullptr) << path.name << " " << c.name;
      for (const size_t n : lengths) {
        const Offsets& o = offsets[(n + ci) % std::size(offsets)];
        Bytes src(n + 64), dst(n + 64 + 2 * kGuard), want;
        for (auto& b : src) b = static_cast<unsigned char>(rng());
        for (auto& b : dst) b = static_cast<unsigned char>(rng());
        want = dst;
        referenceInto(c, want.data() + kGuard + o.dst, src.data() + o.src, n);
        fn(dst.data() + kGuard + o.dst, src.data() + o.src, n);
        if (dst != want) {
          size_t at = 0;
          while (dst[at] == want[at]) ++at;
          ADD_FAILURE() << path.name << " " << c.name << " length " << n << " src+" << o.src
                        << " dst+" << o.dst << ": first wrong byte at "
                        << static_cast<long>(at) - static_cast<long>(kGuard + o.dst);
          return;
        }
        ++checked;
      }
    }
  }
  EXPECT_EQ(checked, paths.size() * std::size(kAll) * lengths.size());
}

// The table-based reference agrees with the bit-by-bit one, so the sweep
// above checks what the converters did before they were vectorised.
TEST(Convert, PerByteReferenceAgreesWithBitReference) {
  std::mt19937 rng(7);
  Bytes src(1027);
  for (auto& b : src) b = static_cast<unsigned char>(rng());
  for (const auto& c : kAll) {
    Bytes before(src.size(), 0x5A), got = before;
    referenceInto(c, got.data(), src.data(), src.size());
    EXPECT_EQ(got, reference(c, src, before)) << c.name;
  }
}

// Converting a buffer onto itself gives the same bytes as converting a
// copy: each path reads a unit before it writes it.
TEST(Convert, InPlaceMatchesCopy) {
  std::mt19937 rng(99);
  for (const auto& path : SyncConvert::paths()) {
    for (size_t ci = 0; ci < std::size(kAll); ++ci) {
      for (const size_t n : {0u, 3u, 4u, 37u, 64u, 127u, 1000u, 2051u}) {
        Bytes buf(n);
        for (auto& b : buf) b = static_cast<unsigned char>(rng());
        Bytes want = buf;
        referenceInto(kAll[ci], want.data(), buf.data(), n);
        // memcpySyncOrg is memcpy, whose arguments may not overlap.
        if (ci == 0) continue;
        path.converters[ci](buf.data(), buf.data(), n);
        EXPECT_EQ(buf, want) << path.name << " " << kAll[ci].name << " length " << n;
      }
    }
  }
}

// Buffers far larger than the caches take the streaming-store branch when
// the destination starts on a word boundary and the cached one otherwise;
// both give the portable path's bytes, up to the last whole word and not
// beyond.
TEST(Convert, LargeBuffersMatchPortablePath) {
  const auto paths = SyncConvert::paths();
  if (paths.size() < 2) GTEST_SKIP() << "this CPU runs the portable path only";
  const size_t n = (8u << 20) + 4 * 1001 + 3;
  std::mt19937 rng(3);
  Bytes src(n + 8);
  for (size_t i = 0; i + 4 <= src.size(); i += 4) {
    const uint32_t v = static_cast<uint32_t>(rng());
    std::memcpy(&src[i], &v, 4);
  }
  for (size_t ci = 1; ci < std::size(kAll); ++ci) {
    for (const size_t dstOffset : {0u, 4u, 12u, 1u}) {
      Bytes want(n + 64, 0xA5);
      paths.front().converters[ci](want.data() + dstOffset, src.data() + 1, n);
      for (size_t p = 1; p < paths.size(); ++p) {
        Bytes got(n + 64, 0xA5);
        paths[p].converters[ci](got.data() + dstOffset, src.data() + 1, n);
        EXPECT_TRUE(got == want) << paths[p].name << " " << kAll[ci].name << " dst+" << dstOffset;
      }
    }
  }
}

}  // namespace
