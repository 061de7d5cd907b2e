#include "base/file_buffer.h"

#include <sys/stat.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/base/temp_dir.h"

namespace {

using base_test::TempDir;
using KALMO::FileBuffer;

std::string text(const FileBuffer& b) { return std::string(b.begin(), b.end()); }

std::string hundredBytes() {
  std::string s;
  for (int i = 0; i < 100; ++i) s.push_back(static_cast<char>(i));
  return s;
}

TEST(FileBuffer, LoadsWholeFilesAndSlices) {
  TempDir t;
  ASSERT_TRUE(t.ok());
  const std::string data = hundredBytes();
  const std::string p = t.write("f", data);
  struct Case {
    size_t size, offset;
    bool ok;
    std::string expected;
  } const cases[] = {
      {0, 0, true, data},
      {0, 5000, true, data},  // size 0 reads the whole file, offset ignored
      {10, 90, true, data.substr(90)},
      {10, 0, true, data.substr(0, 10)},
      {100, 0, true, data},
      {1, 99, true, data.substr(99)},
      {10, 95, false, "old"},
      {101, 0, false, "old"},
      {1, 100, false, "old"},
      {1, 1000, false, "old"},
      {SIZE_MAX, 1, false, "old"},  // offset + size wraps around
      {2, SIZE_MAX, false, "old"},
      {SIZE_MAX, SIZE_MAX, false, "old"},
  };
  for (const Case& c : cases) {
    FileBuffer b;
    b.write("old", 3);
    EXPECT_EQ(b.load(p, c.size, c.offset), c.ok) << c.size << "@" << c.offset;
    EXPECT_EQ(text(b), c.expected) << c.size << "@" << c.offset;
  }
  FileBuffer whole;
  ASSERT_TRUE(whole.load(p));
  EXPECT_EQ(text(whole), data);
}

TEST(FileBuffer, EmptyFileGivesAnEmptyBufferWhateverTheSlice) {
  TempDir t;
  ASSERT_TRUE(t.ok());
  const std::string p = t.write("empty", "");
  FileBuffer b;
  b.write("x", 1);
  EXPECT_TRUE(b.load(p, 10, 95));
  EXPECT_TRUE(b.empty());
}

TEST(FileBuffer, MissingDirectoryAndSpecialFilesFailCleanly) {
  TempDir t;
  ASSERT_TRUE(t.ok());
  const std::string fifo = t.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string paths[] = {t.file("missing"), t.dir(), t.dir() + "/", fifo, "/dev/null",
                               "/dev/zero", ""};
  for (const std::string& p : paths) {
    FileBuffer b;
    b.write("keep", 4);
    EXPECT_FALSE(b.load(p)) << p;
    EXPECT_FALSE(b.load(p, 4, 0)) << p;
    EXPECT_EQ(text(b), "keep") << p;
  }
}

// sysfs files claim 4096 bytes but deliver only a few: a read that ends
// before the length must not pass off zero bytes as file contents.
TEST(FileBuffer, ShortReadFails) {
  const char* p = "/sys/devices/system/cpu/online";
  struct stat st {};
  if (::stat(p, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != 4096) {
    GTEST_SKIP() << p << " is not a sysfs file of 4096 bytes here";
  }
  FileBuffer b;
  b.write("keep", 4);
  EXPECT_FALSE(b.load(p));
  EXPECT_EQ(text(b), "keep");
}

TEST(FileBuffer, WriteAppendsAndSaveRoundTrips) {
  TempDir t;
  ASSERT_TRUE(t.ok());
  FileBuffer b;
  EXPECT_TRUE(b.write("abc", 3));
  EXPECT_TRUE(b.write("", 0));
  EXPECT_TRUE(b.write(nullptr, 0));
  EXPECT_TRUE(b.write("de\0f", 4));
  EXPECT_EQ(text(b), std::string("abcde\0f", 7));
  const std::string p = t.file("out");
  t.write("out", "much longer old contents of the file");
  ASSERT_TRUE(b.save(p));
  EXPECT_EQ(TempDir::read(p), std::string("abcde\0f", 7));
  FileBuffer back;
  ASSERT_TRUE(back.load(p));
  EXPECT_EQ(back, b);

  const FileBuffer empty;
  const std::string e = t.file("empty");
  ASSERT_TRUE(empty.save(e));
  struct stat st {};
  ASSERT_EQ(::stat(e.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
}

TEST(FileBuffer, WriteOfItsOwnBytesDoublesThem) {
  FileBuffer b;
  b.write("0123456789", 10);
  b.shrink_to_fit();
  ASSERT_TRUE(b.write(b.data(), b.size()));
  EXPECT_EQ(text(b), "01234567890123456789");
  ASSERT_TRUE(b.write(b.data() + 18, 2));
  EXPECT_EQ(text(b), "0123456789012345678989");
}

TEST(FileBuffer, WriteOfNullBytesFails) {
  FileBuffer b;
  b.write("ab", 2);
  EXPECT_FALSE(b.write(nullptr, 3));
  EXPECT_EQ(text(b), "ab");
}

TEST(FileBuffer, SaveReportsFailures) {
  TempDir t;
  ASSERT_TRUE(t.ok());
  FileBuffer b;
  b.write("data", 4);
  EXPECT_FALSE(b.save("/dev/full"));  // every write fails with ENOSPC
  EXPECT_FALSE(b.save(t.file("no/such/dir")));
  EXPECT_FALSE(b.save(t.dir()));
  const FileBuffer empty;
  EXPECT_TRUE(empty.save("/dev/full"));  // nothing to write, nothing fails
}

TEST(FileBuffer, Remove) {
  TempDir t;
  ASSERT_TRUE(t.ok());
  const std::string p = t.write("gone", "x");
  EXPECT_TRUE(FileBuffer::remove(p));
  EXPECT_FALSE(FileBuffer::remove(p));
  EXPECT_FALSE(FileBuffer::remove(t.dir()));
}

TEST(FileBuffer, AssignsFromAView) {
  const uint8_t src[] = {1, 2};
  FileBuffer b;
  b = KALMO::BufferCS_const{src, 2};
  EXPECT_EQ(b, (std::vector<uint8_t>{1, 2}));
}

}  // namespace
