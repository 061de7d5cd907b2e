#pragma once
// A Buffer filled from a file or written to one, read and written whole.

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/buffer.h"

namespace KALMO {

class FileBuffer : public Buffer {
 public:
  using Buffer::Buffer;
  using Buffer::operator=;

  // Reads the whole regular file (size 0) or the slice of size bytes at
  // offset, which must lie inside the file. False, with the buffer
  // unchanged, for a missing file, a directory or other special file, a
  // slice past the end, or a short read. An empty file gives an empty
  // buffer and true.
  bool load(const std::string& path, size_t size, size_t offset);
  bool load(const std::string& path);

  // Creates or truncates the file and writes every byte; false when it
  // cannot be opened or any write or the close fails.
  bool save(const std::string& path) const;

  // Appends n bytes (which may lie inside this buffer). False, with the
  // buffer unchanged, when the bytes cannot be stored.
  bool write(const void* bytes, size_t n);

  // Deletes the file; true when it was deleted.
  static bool remove(const std::string& path);
};

}  // namespace KALMO
