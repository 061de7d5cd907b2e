#include "base/ip_address.h"

#include <arpa/inet.h>

#include <cstring>

namespace KALMO {

namespace {

uint16_t group(const uint8_t* a, int k) {
  return static_cast<uint16_t>((a[2 * k] << 8) | a[2 * k + 1]);
}

void setGroup(uint8_t* a, int k, uint16_t v) {
  a[2 * k] = static_cast<uint8_t>(v >> 8);
  a[2 * k + 1] = static_cast<uint8_t>(v & 0xFF);
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads a signed decimal from the start of text like atoi: leading white
// space and a sign, then digits up to the first other character. The value
// is taken as a signed 32-bit number (wrapping), so huge inputs cannot
// overflow anything.
int32_t readInt(const char* p, const char* end) {
  while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  uint32_t v = 0;
  for (; p < end && isDigit(*p); ++p) v = v * 10u + static_cast<uint32_t>(*p - '0');
  if (negative) v = 0u - v;
  return static_cast<int32_t>(v);
}

// Digits only (empty allowed), the value modulo 65536.
bool readPort(const char* p, const char* end, uint16_t& out) {
  uint32_t v = 0;
  for (; p < end; ++p) {
    if (!isDigit(*p)) return false;
    v = (v * 10u + static_cast<uint32_t>(*p - '0')) & 0xFFFFu;
  }
  out = static_cast<uint16_t>(v);
  return true;
}

void appendDecimal(std::string& out, uint32_t v) {
  char buf[12];
  int n = 0;
  do {
    buf[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n > 0) out.push_back(buf[--n]);
}

void appendHex(std::string& out, uint16_t v) {
  static const char hex[] = "0123456789abcdef";
  bool started = false;
  for (int shift = 12; shift >= 0; shift -= 4) {
    const int d = (v >> shift) & 0xF;
    if (d != 0 || started || shift == 0) {
      out.push_back(hex[d]);
      started = true;
    }
  }
}

// True when the leading bits bits of a and b (n bytes each) are equal.
bool samePrefix(const uint8_t* a, const uint8_t* b, int n, int bits) {
  if (bits <= 0) return true;
  if (bits > n * 8) bits = n * 8;
  const int whole = bits / 8;
  if (std::memcmp(a, b, static_cast<size_t>(whole)) != 0) return false;
  const int rest = bits % 8;
  if (rest == 0) return true;
  const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
  return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

int IPAddress::comp(const IPAddress& other) const {
  const int c = std::memcmp(address, other.address, sizeof address);
  if (c != 0) return c < 0 ? -1 : 1;
  const uint16_t p = ntohs(port);
  const uint16_t q = ntohs(other.port);
  if (p != q) return p < q ? -1 : 1;
  if (interfaceIndex != other.interfaceIndex) {
    return interfaceIndex < other.interfaceIndex ? -1 : 1;
  }
  return 0;
}

bool IPAddress::isV4Mapped() const {
  for (int i = 0; i < 10; ++i) {
    if (address[i] != 0) return false;
  }
  return address[10] == 0xFF && address[11] == 0xFF;
}

bool IPAddress::isLinkLocal() const { return address[0] == 0xFE && address[1] == 0x80; }

bool IPAddress::isLoopback() const {
  for (int i = 0; i < 15; ++i) {
    if (address[i] != 0) return false;
  }
  return address[15] == 1;
}

bool IPAddress::isUnspecified() const {
  for (uint8_t b : address) {
    if (b != 0) return false;
  }
  return true;
}

void IPAddress::get_V4_str(std::string& out) const {
  out.clear();
  for (int i = 12; i < 16; ++i) {
    if (i != 12) out.push_back('.');
    appendDecimal(out, address[i]);
  }
}

void IPAddress::get_V6_str(std::string& out) const {
  out.clear();
  // The first run of two or more zero groups becomes "::".
  int runStart = -1;
  int runEnd = -1;
  for (int k = 0; k < 8 && runStart < 0; ++k) {
    if (group(address, k) != 0) continue;
    int e = k;
    while (e < 8 && group(address, e) == 0) ++e;
    if (e - k >= 2) {
      runStart = k;
      runEnd = e;
    }
    k = e;
  }
  for (int k = 0; k < 8; ++k) {
    if (k == runStart) {
      out += "::";
      k = runEnd - 1;
      continue;
    }
    if (k != 0 && k != runEnd) out.push_back(':');
    appendHex(out, group(address, k));
  }
}

void IPAddress::get_V6IFN_str(std::string& out) const {
  get_V6_str(out);
  out.push_back('%');
  appendDecimal(out, interfaceIndex & 0xFFFFu);
}

void IPAddress::get_port_str(std::string& out) const {
  out.clear();
  appendDecimal(out, ntohs(port));
}

void IPAddress::get_if_str(std::string& out) const {
  out.clear();
  appendDecimal(out, interfaceIndex & 0xFFFFu);
}

void IPAddress::get_add_str(std::string& out) const {
  if (isV4Mapped()) {
    get_V4_str(out);
  } else {
    get_V6_str(out);
  }
}

void IPAddress::get_str(std::string& out) const {
  get_add_str(out);
  out.push_back(',');
  appendDecimal(out, ntohs(port));
}

void IPAddress::get_full_str(std::string& out) const {
  get_add_str(out);
  out.push_back('%');
  appendDecimal(out, interfaceIndex & 0xFFFFu);
  out.push_back(',');
  appendDecimal(out, ntohs(port));
}

bool IPAddress::set_V6_str(const std::string& text) {
  // Every group is written at its own index as it completes, and only after
  // the index is checked, so no input reaches past the eight groups.
  int count = 0;       // groups stored
  int gap = -1;        // group position of "::"
  uint32_t cur = 0;    // the group being read
  int digits = 0;
  int colons = 0;      // ':' seen in a row just before this character
  for (char c : text) {
    const int h = hexValue(c);
    if (h >= 0) {
      if (++digits > 4) return false;
      cur = (cur << 4) | static_cast<uint32_t>(h);
      colons = 0;
      continue;
    }
    if (c != ':') return false;
    if (colons == 0) {
      if (count >= 8) return false;
      setGroup(address, count++, static_cast<uint16_t>(cur));
      cur = 0;
      digits = 0;
    } else if (colons == 1) {
      if (gap >= 0) return false;
      gap = count;
    } else {
      return false;
    }
    ++colons;
  }
  if (count >= 8) return false;
  setGroup(address, count++, static_cast<uint16_t>(cur));
  if (gap < 0) return count == 8;
  if (count > 7) return false;
  // Groups after the gap move to the end, the ones between become zero.
  const int after = count - gap;
  for (int i = after - 1; i >= 0; --i) {
    setGroup(address, 8 - after + i, group(address, gap + i));
  }
  for (int k = gap; k < 8 - after; ++k) setGroup(address, k, 0);
  return true;
}

bool IPAddress::set_port_str(const std::string& text) {
  uint16_t v = 0;
  if (!readPort(text.data(), text.data() + text.size(), v)) return false;
  port = htons(v);
  return true;
}

bool IPAddress::set_str(const std::string& text) {
  const size_t comma = text.find(',');
  if (comma == std::string::npos) return false;
  if (!set_V6_str(text.substr(0, comma))) return false;
  return set_port_str(text.substr(comma + 1));
}

bool IPAddress::set_V4_str(const std::string& text) {
  size_t dots[3];
  size_t from = 0;
  for (size_t& d : dots) {
    d = text.find('.', from);
    if (d == std::string::npos) return false;
    from = d + 1;
  }
  const char* s = text.data();
  const char* end = s + text.size();
  const size_t comma = text.find(',', dots[2] + 1);
  const char* fourthEnd = comma == std::string::npos ? end : s + comma;
  const char* starts[4] = {s, s + dots[0] + 1, s + dots[1] + 1, s + dots[2] + 1};
  const char* ends[4] = {s + dots[0], s + dots[1], s + dots[2], fourthEnd};
  uint8_t bytes[4];
  for (int i = 0; i < 4; ++i) {
    const int32_t v = readInt(starts[i], ends[i]);
    if (v < 0) return false;
    bytes[i] = static_cast<uint8_t>(v & 0xFF);
  }
  uint16_t p = 0;
  if (comma != std::string::npos) {
    const int32_t v = readInt(s + comma + 1, end);
    if (v < 0) return false;
    p = static_cast<uint16_t>(v & 0xFFFF);
  }
  std::memset(address, 0, sizeof address);
  address[10] = 0xFF;
  address[11] = 0xFF;
  std::memcpy(address + 12, bytes, 4);
  port = htons(p);
  interfaceIndex = 0;
  return true;
}

bool IPAddress::set_V4_str(const std::string& text, int& prefix) {
  prefix = 31;
  const size_t slash = text.rfind('/');
  if (slash == std::string::npos) return set_V4_str(text);
  prefix = readInt(text.data() + slash + 1, text.data() + text.size());
  if (prefix < 0 || prefix > 32) return false;
  return set_V4_str(text.substr(0, slash));
}

bool IPAddress::much_address(const IPAddress& other, int prefix) const {
  if (isV4Mapped()) {
    if (!other.isV4Mapped()) return false;
    return samePrefix(address + 12, other.address + 12, 4, prefix);
  }
  if (isUnspecified() || other.isV4Mapped() || other.isUnspecified()) return false;
  return samePrefix(address, other.address, 16, prefix);
}

}  // namespace KALMO
