#include "base/buffer.h"

#include <cstring>
#include <functional>

namespace KALMO {

std::string BufferCS_const::get_string(const uint8_t* begin, const uint8_t* end) {
  if (begin == nullptr || end == nullptr || end <= begin) return std::string();
  const char* b = reinterpret_cast<const char*>(begin);
  const size_t n = static_cast<size_t>(end - begin);
  if (b[n - 1] == 0) return std::string(b, ::strnlen(b, n));
  return std::string(b, n);
}

std::string BufferCS_const::dump(size_t n) const {
  static const char hex[] = "0123456789abcdef";
  if (data == nullptr) return std::string();
  if (n > size) n = size;
  std::string out;
  if (n == 0) return out;
  out.reserve(n * 3 - 1);
  for (size_t i = 0; i < n; ++i) {
    if (i != 0) out.push_back(' ');
    out.push_back(hex[data[i] >> 4]);
    out.push_back(hex[data[i] & 0x0F]);
  }
  return out;
}

std::string BufferCS_const::dump() const { return dump(size); }

Buffer& Buffer::operator=(const BufferCS_const& view) {
  if (view.size == 0 || view.data == nullptr) {
    clear();
    return *this;
  }
  // A view of our own storage would dangle once resize reallocates, and
  // resize's zero fill would clobber it inside the capacity: copy it out.
  const uint8_t* own = std::vector<uint8_t>::data();
  std::less<const uint8_t*> before;
  const bool overlaps = own != nullptr && !before(view.data + view.size, own + 1) &&
                        before(view.data, own + capacity());
  if (overlaps) {
    std::vector<uint8_t> copy(view.data, view.data + view.size);
    swap(copy);
    return *this;
  }
  resize(view.size);
  std::memcpy(std::vector<uint8_t>::data(), view.data, view.size);
  return *this;
}

void Buffer::fill(uint8_t value) {
  if (!empty()) std::memset(data(), value, size());
}

bool Buffer::get_string_list(std::list<std::string>& lines, bool allowTab) const {
  lines.clear();
  bool ok = true;
  size_t i = 0;
  const size_t n = size();
  const uint8_t* p = data();
  if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) i = 3;
  std::string line;
  for (; i < n; ++i) {
    const uint8_t c = p[i];
    if (c == '\n' || c == '\r') {
      if (!line.empty()) {
        lines.push_back(std::move(line));
        line.clear();
      }
    } else if (c < 0x20) {
      if (allowTab && c == '\t') {
        line.push_back(static_cast<char>(c));
      } else {
        ok = false;
      }
    } else {
      line.push_back(static_cast<char>(c));
    }
  }
  if (!line.empty()) lines.push_back(std::move(line));
  return ok;
}

}  // namespace KALMO
