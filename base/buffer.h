#pragma once
// Byte views and the owned byte buffer passed around the whole library.
//
// The views are two words passed by value so bytes travel without copies;
// a view never owns or frees what it points at.

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

namespace KALMO {

// Read-only view of bytes somebody else owns.
struct BufferCS_const {
  const uint8_t* data = nullptr;
  size_t size = 0;

  // Text of the range [begin, end): when its last byte is 0, the text up to
  // the first 0 byte; otherwise every byte of the range.
  static std::string get_string(const uint8_t* begin, const uint8_t* end);

  // The first min(n, size) bytes as lower-case hex pairs separated by one
  // blank, e.g. "01 ab ff".
  std::string dump(size_t n) const;
  std::string dump() const;
};

// Writable view of bytes somebody else owns.
struct BufferCS {
  uint8_t* data = nullptr;
  size_t size = 0;

  operator BufferCS_const() const { return BufferCS_const{data, size}; }
};

// An owned, growable byte vector.
class Buffer : public std::vector<uint8_t> {
 public:
  using std::vector<uint8_t>::vector;
  using std::vector<uint8_t>::operator=;

  Buffer() = default;

  // Becomes a copy of the viewed bytes. The view may point into this
  // buffer's own storage.
  Buffer& operator=(const BufferCS_const& view);

  // Sets every byte to value; the size stays.
  void fill(uint8_t value);

  // Splits the bytes into text lines at every LF and CR, dropping empty
  // lines and a leading UTF-8 byte order mark. A byte below 0x20 (other
  // than TAB when allowTab) makes the result false; it is left out and the
  // split goes on.
  bool get_string_list(std::list<std::string>& lines, bool allowTab) const;
};

}  // namespace KALMO
