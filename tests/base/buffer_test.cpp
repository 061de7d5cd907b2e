#include "base/buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <list>
#include <string>
#include <vector>

namespace {

using KALMO::Buffer;
using KALMO::BufferCS;
using KALMO::BufferCS_const;

std::vector<uint8_t> bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

TEST(BufferCS_const, GetStringStopsAtTheFirstZeroOnlyWhenTheLastByteIsZero) {
  struct Case {
    std::string in;
    std::string out;
  } const cases[] = {
      {std::string("ab\0", 3), "ab"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
      {std::string("a\0b\0", 4), "a"},
      {std::string("\0", 1), ""},
      {"abc", "abc"},
  };
  for (const Case& c : cases) {
    const auto b = bytes(c.in);
    EXPECT_EQ(BufferCS_const::get_string(b.data(), b.data() + b.size()), c.out);
  }
  const uint8_t x = 'x';
  EXPECT_EQ(BufferCS_const::get_string(&x, &x), "");
}

TEST(BufferCS_const, Dump) {
  const uint8_t b[] = {1, 171, 255, 0x0a};
  struct Case {
    size_t size;
    size_t n;
    std::string out;
  } const cases[] = {
      {3, 3, "01 ab ff"}, {4, 100, "01 ab ff 0a"}, {4, 2, "01 ab"}, {4, 0, ""}, {0, 4, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ((BufferCS_const{b, c.size}.dump(c.n)), c.out) << c.size << "/" << c.n;
  }
  const uint8_t one = 0x7F;
  EXPECT_EQ((BufferCS_const{&one, 1}.dump(2)), "7f");
  EXPECT_EQ((BufferCS_const{b, 4}.dump()), "01 ab ff 0a");
  EXPECT_EQ(BufferCS_const{}.dump(), "");
}

TEST(Buffer, AssignFromViewCopiesTheBytes) {
  const uint8_t src[] = {9, 8, 7};
  Buffer b(10, 0x55);
  b = BufferCS_const{src, 3};
  EXPECT_EQ(b, (std::vector<uint8_t>{9, 8, 7}));
  b = BufferCS_const{};
  EXPECT_TRUE(b.empty());
}

TEST(Buffer, AssignFromAViewOfItsOwnBytes) {
  // Growing past the capacity reallocates; the view must not be read from
  // the freed storage.
  Buffer b{1, 2, 3, 4};
  b.shrink_to_fit();
  b = BufferCS_const{b.data() + 1, 2};
  EXPECT_EQ(b, (std::vector<uint8_t>{2, 3}));

  Buffer all{5, 6, 7};
  all = BufferCS_const{all.data(), all.size()};
  EXPECT_EQ(all, (std::vector<uint8_t>{5, 6, 7}));

  // A view reaching into the spare capacity past size() must survive the
  // zero fill of a growing resize.
  Buffer spare;
  spare.reserve(16);
  spare.assign({1, 2, 3, 4, 5, 6, 7, 8});
  spare.resize(2);
  spare = BufferCS_const{spare.data(), 8};
  EXPECT_EQ(spare, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(Buffer, FillKeepsTheSize) {
  Buffer b(5, 1);
  b.fill(0xAB);
  EXPECT_EQ(b, std::vector<uint8_t>(5, 0xAB));
  Buffer e;
  e.fill(1);
  EXPECT_TRUE(e.empty());
}

TEST(Buffer, WritableViewConvertsToReadOnly) {
  uint8_t raw[2] = {0x12, 0x34};
  const BufferCS w{raw, 2};
  const BufferCS_const r = w;
  EXPECT_EQ(r.data, raw);
  EXPECT_EQ(r.size, 2u);
}

TEST(Buffer, GetStringList) {
  struct Case {
    std::string in;
    bool allowTab;
    bool ok;
    std::list<std::string> lines;
  } const cases[] = {
      {"a\r\n\r\nb", false, true, {"a", "b"}},
      {"\xEF\xBB\xBFx", false, true, {"x"}},
      {"\xEF\xBB", false, true, {"\xEF\xBB"}},
      {"\xEF\xBB\xBF", false, true, {}},
      {"", false, true, {}},
      {"a\tb\nc", false, false, {"ab", "c"}},
      {"a\tb\nc", true, true, {"a\tb", "c"}},
      {std::string("a\0b\x01\x1f", 5), true, false, {"ab"}},
      {"one\rtwo\nthree\r\n", false, true, {"one", "two", "three"}},
      {"\x7f\x80\xff \x20", false, true, {"\x7f\x80\xff  "}},
      {"x\xEF\xBB\xBF", false, true, {"x\xEF\xBB\xBF"}},  // only a leading mark is skipped
  };
  for (const Case& c : cases) {
    Buffer b(c.in.begin(), c.in.end());
    std::list<std::string> lines{"stale"};
    EXPECT_EQ(b.get_string_list(lines, c.allowTab), c.ok) << c.in;
    EXPECT_EQ(lines, c.lines) << c.in;
  }
}

}  // namespace
