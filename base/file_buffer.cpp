#include "base/file_buffer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>

namespace KALMO {

namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now so the caller sees the result (a write may only fail here).
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

}  // namespace

bool FileBuffer::load(const std::string& path, size_t size, size_t offset) {
  // Non-blocking so a FIFO cannot hang the open; regular files ignore it.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return false;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return false;
  const uint64_t length = static_cast<uint64_t>(st.st_size);
  if (length == 0) {
    clear();
    return true;
  }
  uint64_t want = length;
  uint64_t from = 0;
  if (size != 0) {
    if (offset > length || size > length - offset) return false;
    want = size;
    from = offset;
  }
  std::vector<uint8_t> bytes;
  try {
    bytes.resize(static_cast<size_t>(want));
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::pread(fd.get(), bytes.data() + got, bytes.size() - got,
                              static_cast<off_t>(from + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // error, or the file shrank under us
    got += static_cast<size_t>(n);
  }
  swap(bytes);
  return true;
}

bool FileBuffer::load(const std::string& path) { return load(path, 0, 0); }

bool FileBuffer::save(const std::string& path) const {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0) return false;
  const uint8_t* p = data();
  size_t left = size();
  while (left > 0) {
    const ssize_t n = ::write(fd.get(), p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return fd.close();
}

bool FileBuffer::write(const void* bytes, size_t n) {
  if (n == 0) return true;
  if (bytes == nullptr) return false;
  const uint8_t* src = static_cast<const uint8_t*>(bytes);
  try {
    // Growing may move our storage, so bytes from inside it are copied out
    // first.
    const uint8_t* own = data();
    std::less<const uint8_t*> before;
    if (own != nullptr && !before(src, own) && before(src, own + capacity())) {
      const std::vector<uint8_t> copy(src, src + n);
      insert(end(), copy.begin(), copy.end());
    } else {
      insert(end(), src, src + n);
    }
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  return true;
}

bool FileBuffer::remove(const std::string& path) { return ::unlink(path.c_str()) == 0; }

}  // namespace KALMO
