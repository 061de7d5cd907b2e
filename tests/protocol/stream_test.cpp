#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "protocol/stream.h"

using VELLORA::Stream;

namespace {

// byte 0 x byte 1 = bits per frame
constexpr VELLORA::_vellora_stream_format fmt(int channels, int bits) {
  return channels | (bits << 8);
}

bool allBytes(const Stream& s, uint64_t from, uint64_t to, uint8_t value) {
  for (uint64_t i = from; i < to; ++i) {
    if (s.data[i] != value) return false;
  }
  return true;
}

Stream tagged(unsigned long bytes) {
  Stream s;
  s.resize_fmt(int(bytes / 4), fmt(2, 16));
  s.tag = 77;
  s.tagA = 5;
  s.tagB = 6;
  return s;
}

TEST(Stream, ViewCopySharesBytesAndMarksTags) {
  Stream src = tagged(1920);
  src.fill(0x5A);
  Stream view;
  view.resize(64, 1);
  view = src;
  EXPECT_EQ(view.size, 1920u);
  EXPECT_EQ(view.data, src.data);
  EXPECT_TRUE(view.own.empty());
  EXPECT_EQ(view.frames, 480);
  EXPECT_EQ(view.format, fmt(2, 16));
  EXPECT_EQ(view.tag, 77);
  EXPECT_EQ(view.tagA, 0);
  EXPECT_EQ(view.tagB, 0xFFFF);
  EXPECT_TRUE(allBytes(view, 0, view.size, 0x5A));
  // The source is untouched.
  EXPECT_EQ(src.own.size(), 1920u);
  EXPECT_EQ(src.tagA, 5);
}

TEST(Stream, ViewCopyOfAClearedBlockIsEmpty) {
  Stream src = tagged(256);
  src.clear();
  EXPECT_EQ(src.size, 0u);
  EXPECT_EQ(src.data, nullptr);
  EXPECT_EQ(src.frames, 0);
  EXPECT_EQ(src.format, 0);
  EXPECT_EQ(src.tag, 0);
  EXPECT_EQ(src.tagA | src.tagB, 0);
  Stream view;
  view = src;
  EXPECT_EQ(view.size, 0u);
  EXPECT_EQ(view.data, nullptr);
}

TEST(Stream, ViewOfItselfKeepsItsBytes) {
  Stream s = tagged(64);
  s.fill(0x33);
  Stream& alias = s;
  s = alias;
  ASSERT_EQ(s.own.size(), 64u);
  EXPECT_EQ(s.size, 64u);
  EXPECT_EQ(s.data, s.own.data());
  EXPECT_TRUE(allBytes(s, 0, 64, 0x33));
}

TEST(Stream, ResizeKeepsOrSetsBytes) {
  Stream s;
  s.resize(8, 0x11);
  s.resize(4, 0x69);
  ASSERT_EQ(s.size, 4u);
  EXPECT_TRUE(allBytes(s, 0, 4, 0x69));
  s.resize(8);
  ASSERT_EQ(s.size, 8u);
  EXPECT_EQ(s.data, s.own.data());
  EXPECT_TRUE(allBytes(s, 0, 4, 0x69));
  EXPECT_TRUE(allBytes(s, 4, 8, 0x00));
}

TEST(Stream, ResizeAfterAViewOwnsAgain) {
  Stream src = tagged(32);
  Stream s;
  s = src;
  s.resize(16, 0xA5);
  EXPECT_NE(s.data, src.data);
  EXPECT_EQ(s.data, s.own.data());
  EXPECT_EQ(s.size, 16u);
  EXPECT_TRUE(allBytes(src, 0, 32, 0x00));  // the view never wrote through
}

TEST(Stream, ResizeFmt) {
  Stream s;
  s.tagA = 3;
  s.resize_fmt(480, fmt(2, 32));
  EXPECT_EQ(s.size, 3840u);
  EXPECT_EQ(s.own.size(), 3840u);
  EXPECT_EQ(s.frames, 480);
  EXPECT_EQ(s.format, fmt(2, 32));
  EXPECT_EQ(s.tagA, 0);
  EXPECT_TRUE(allBytes(s, 0, s.size, 0));
  // 0 means the present format; old bytes do not survive.
  s.fill(0x77);
  s.resize_fmt(100, 0);
  EXPECT_EQ(s.format, fmt(2, 32));
  EXPECT_EQ(s.size, 800u);
  EXPECT_TRUE(allBytes(s, 0, s.size, 0));
  // Bits per frame that are not whole bytes: 3 x 1-bit channels, 10 frames.
  s.resize_fmt(10, fmt(3, 1));
  EXPECT_EQ(s.size, 3u);
}

TEST(Stream, ResizeFmtOfANegativeCountIsEmpty) {
  Stream s;
  s.resize(64, 1);
  // Not a byte count wrapped to a huge allocation.
  s.resize_fmt(-5, fmt(2, 16));
  EXPECT_EQ(s.size, 0u);
  EXPECT_TRUE(s.own.empty());
  EXPECT_EQ(s.frames, -5);
}

TEST(Stream, RefillingTheSameSizeKeepsTheBuffer) {
  Stream s;
  s.resize(4096, 0x69);
  const uint8_t* buffer = s.own.data();
  s.resize(4096, 0x96);
  EXPECT_EQ(s.own.data(), buffer);
  s.clear();
  s.resize(4096);
  EXPECT_EQ(s.own.data(), buffer);
  s.resize(1024);
  s.resize(4096, 0);
  EXPECT_EQ(s.own.data(), buffer);
  s.resize_fmt(1024, fmt(2, 16));
  EXPECT_EQ(s.own.data(), buffer);
  // A view copy keeps the capacity for the next refill too.
  Stream other = tagged(64);
  s = other;
  s.resize(4096, 1);
  EXPECT_EQ(s.own.data(), buffer);
  EXPECT_EQ(s.data, buffer);
}

TEST(Stream, MovesLeaveTheSourceEmpty) {
  std::vector<Stream> ring(3);
  Stream block = tagged(512);
  block.fill(0x42);
  const uint8_t* bytes = block.data;
  ring[1] = std::move(block);
  EXPECT_EQ(ring[1].data, bytes);
  EXPECT_EQ(ring[1].size, 512u);
  EXPECT_EQ(ring[1].tagB, 6);
  EXPECT_EQ(block.data, nullptr);
  EXPECT_EQ(block.size, 0u);
  EXPECT_TRUE(block.own.empty());
  EXPECT_EQ(block.frames | block.format | block.tag | block.tagA | block.tagB, 0);

  Stream moved(std::move(ring[1]));
  EXPECT_EQ(moved.data, bytes);
  EXPECT_EQ(ring[1].data, nullptr);
  // Growing the ring moves its blocks without touching their bytes.
  ring[0] = std::move(moved);
  ring.resize(64);
  EXPECT_EQ(ring[0].data, bytes);
  EXPECT_TRUE(allBytes(ring[0], 0, 512, 0x42));
}

TEST(Stream, SwapAndReset) {
  Stream a = tagged(16);
  Stream b;
  b.resize(8, 9);
  const uint8_t* aBytes = a.data;
  a.swap(b);
  EXPECT_EQ(b.data, aBytes);
  EXPECT_EQ(b.tag, 77);
  EXPECT_EQ(a.size, 8u);
  EXPECT_EQ(a.tag, 0);
  b.reset();
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.frames | b.format | b.tag | b.tagA | b.tagB, 0);
  EXPECT_EQ(b.size, 16u);
  EXPECT_EQ(b.own.size(), 16u);
}

}  // namespace
