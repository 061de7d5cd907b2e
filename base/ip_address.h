#pragma once
// A network endpoint: IPv6 address (IPv4 held as ::ffff:a.b.c.d), UDP port
// and interface index. Its order keys every map of targets and nodes.
//
// A new endpoint is all zero: the unspecified address ::, port 0, index 0.

#include <cstdint>
#include <string>

namespace KALMO {

class IPAddress {
 public:
  uint8_t address[16] = {};    // network byte order
  uint16_t port = 0;            // network byte order: byte 0 is the high byte
  uint32_t interfaceIndex = 0;  // IPv6 scope / local interface, 0 for none

  // Address bytes (unsigned, from byte 0), then port bytes, then index.
  int comp(const IPAddress& other) const;

  bool operator<(const IPAddress& other) const { return comp(other) < 0; }
  bool operator==(const IPAddress& other) const { return comp(other) == 0; }

  bool isV4Mapped() const;
  bool isLinkLocal() const;  // the first group is exactly fe80
  bool isLoopback() const;   // ::1
  bool isUnspecified() const;

  // Text forms; each replaces the whole output. Only the low 16 bits of
  // interfaceIndex are printed.
  void get_V4_str(std::string& out) const;
  void get_V6_str(std::string& out) const;
  void get_V6IFN_str(std::string& out) const;
  void get_port_str(std::string& out) const;
  void get_if_str(std::string& out) const;
  void get_add_str(std::string& out) const;
  void get_str(std::string& out) const;
  void get_full_str(std::string& out) const;

  // Parsers. set_V6_str writes only the address; on failure the groups
  // parsed so far are already written.
  bool set_V6_str(const std::string& text);
  bool set_port_str(const std::string& text);
  bool set_str(const std::string& text);
  bool set_V4_str(const std::string& text);
  bool set_V4_str(const std::string& text, int& prefix);

  // True when the leading prefix bits of both addresses agree (IPv4-mapped
  // against IPv4-mapped only; :: matches nothing).
  bool much_address(const IPAddress& other, int prefix) const;
};

}  // namespace KALMO
