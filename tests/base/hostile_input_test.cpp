// Hostile input for the parsers of the base library: random and mutated
// settings files and random endpoint texts, from fixed seeds so a failure
// is repeatable. Each case checks what must hold for any input (no read
// outside the bytes, a refused input leaves the object alone, what parses
// prints back and parses again to the same thing).
#include "base/buffer.h"
#include "base/file_inf.h"
#include "base/ip_address.h"
#include "tests/base/temp_dir.h"
#include "tests/common/seeded_rng.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <list>
#include <map>
#include <string>
#include <vector>

namespace {

using KALMO::FileInf;
using KALMO::IPAddress;

using Rng = vtest::SeededRng;

// ------------------------------------------------------------ settings file

// Pieces settings texts are made of: keys, '=' games, groups, comments,
// numbers at and beyond every limit, blanks, TABs, NULs, line ends.
const std::vector<std::string>& settingsPieces() {
  static const std::vector<std::string> pieces = {
      "periodMax", "CpuSend", "Interface", "global", "dev", "dev.1", "a", "x y", "=", "==", "=a=b",
      " = ", "[", "]", "[]", "[ net ]", "[dev.1]", "[global]", "[a]b]", ";", "#", "//", "/", "  ",
      "   ", "\t", std::string(1, '\0'), "\x01", "\x1f", "\x7f", "\xef\xbb\xbf", "\xc3\xa9", "\r",
      "\n", "\r\n", "\n\n", "0", "-1", "-42abc", "+7", "9223372036854775807",
      "9223372036854775808", "-9223372036854775809", "18446744073709551615",
      "99999999999999999999999999", "4294967297", "0x10", "1e9", "enable", "random", ",", "2-5",
      "-", "0-0",
  };
  return pieces;
}

std::string randomSettingsText(Rng& rng) {
  std::string text;
  switch (rng.below(4)) {
    case 0: {  // raw bytes, biased towards the format's own characters
      const size_t n = rng.below(300);
      for (size_t i = 0; i < n; ++i) {
        text.push_back(rng.chance(60) ? rng.pick("ab=[] ;#/\r\n.-,09") : static_cast<char>(rng.next()));
      }
      break;
    }
    case 1: {  // one very long line
      const size_t n = 4096 + rng.below(70000);
      text = rng.chance(50) ? "k=" : "[";
      text.append(n, rng.pick("a =]9"));
      if (rng.chance(50)) text += "]\nk2=v";
      break;
    }
    default: {  // pieces, lines of pieces
      const size_t lines = 1 + rng.below(30);
      for (size_t l = 0; l < lines; ++l) {
        const size_t n = 1 + rng.below(6);
        for (size_t i = 0; i < n; ++i) {
          text += settingsPieces()[rng.below(static_cast<uint32_t>(settingsPieces().size()))];
        }
        text += rng.chance(80) ? "\n" : "\r";
      }
      break;
    }
  }
  return text;
}

// What load(path, 0) accepts: after the byte order mark, no byte below 0x20
// but CR and LF.
bool acceptable(const std::string& bytes) {
  size_t i = bytes.compare(0, 3, "\xef\xbb\xbf") == 0 ? 3 : 0;
  for (; i < bytes.size(); ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x20 && c != '\r' && c != '\n') return false;
  }
  return true;
}

std::string textOf(const FileInf& inf) {
  std::string out;
  inf.get_string(out);
  return out;
}

// Every stored group and key as the parser must leave them.
void expectWellFormed(const FileInf& inf, const std::string& input) {
  for (const auto& [group, keys] : inf.groups) {
    EXPECT_FALSE(group.empty()) << testing::PrintToString(input);
    EXPECT_EQ(group.find_first_of("\r\n"), std::string::npos);
    for (const auto& [key, unit] : keys) {
      ASSERT_FALSE(key.empty()) << testing::PrintToString(input);
      EXPECT_EQ(key.find('='), std::string::npos) << testing::PrintToString(input);
      EXPECT_NE(key.front(), ' ');
      EXPECT_NE(key.back(), ' ');
      EXPECT_EQ(unit.value.find_first_of("\r\n"), std::string::npos);
      const bool blanksOnly = unit.value.find_first_not_of(' ') == std::string::npos;
      if (!unit.value.empty() && !blanksOnly) {
        EXPECT_NE(unit.value.front(), ' ') << testing::PrintToString(input);
        EXPECT_NE(unit.value.back(), ' ') << testing::PrintToString(input);
      }
      EXPECT_GE(unit.order, 1);
      EXPECT_LE(unit.order, inf.counter);
    }
  }
}

// The groups with their non-empty values: what get_string writes out and a
// load of that text must give back (a group of empty values only is
// written as a header, which alone creates no group).
std::map<std::string, std::map<std::string, std::string>> writtenForm(const FileInf& inf) {
  std::map<std::string, std::map<std::string, std::string>> out;
  for (const auto& [group, keys] : inf.groups) {
    for (const auto& [key, unit] : keys) {
      if (!unit.value.empty()) out[group][key] = unit.value;
    }
  }
  return out;
}

TEST(HostileSettingsFile, RandomFilesLoadSafelyAndWriteBackTheSameSettings) {
  base_test::TempDir tmp;
  ASSERT_TRUE(tmp.ok());
  Rng rng(0x5e771);
  for (int round = 0; round < 1500; ++round) {
    const std::string bytes = randomSettingsText(rng);
    const std::string path = tmp.write("setting.inf", bytes);

    FileInf inf;
    inf.set_string("[keep]\nold=1");
    inf.set_current_group("keep");
    const std::string before = textOf(inf);
    const bool loaded = inf.load(path, 0);
    ASSERT_EQ(loaded, acceptable(bytes)) << "round " << round << " " << testing::PrintToString(bytes);
    if (!loaded) {
      // A refused file changes nothing, not even the selected group.
      EXPECT_EQ(textOf(inf), before);
      EXPECT_EQ(inf.get("old"), "1");
      EXPECT_TRUE(inf.path.empty());
      continue;
    }
    EXPECT_EQ(inf.path, path);
    expectWellFormed(inf, bytes);

    // Every lookup is safe; get64 of whatever text a value holds.
    for (const auto& [group, keys] : inf.groups) {
      inf.set_current_group(group);
      for (const auto& [key, unit] : keys) {
        EXPECT_EQ(inf.get(key), unit.value);
        (void)inf.get64(key);
      }
      (void)inf.get_group_string(group);
    }

    // What it writes out reads back as the same settings.
    const std::string written = textOf(inf);
    FileInf again;
    again.set_string(written);
    EXPECT_EQ(writtenForm(again), writtenForm(inf)) << "round " << round << " " << testing::PrintToString(bytes);
  }
}

TEST(HostileSettingsFile, MutatedSettingsLoadSafelyWithEveryJoiner) {
  const std::string base =
      "\xef\xbb\xbf; daemon\r\nDebug=enable\r\nInterface=eth0,eth1\r\nperiodMax = 32\r\n"
      "CpuSend=2-5\r\n[amp:out]\r\nCycleTime=2000\r\nlist=a,\r\n,b\r\n[dev.1]\r\nx=1\r\n";
  const char joiners[] = {0, ',', ' ', '\t', ';', '='};
  Rng rng(0xa11ce);
  for (int round = 0; round < 3000; ++round) {
    std::string text = base;
    const int edits = 1 + static_cast<int>(rng.below(8));
    for (int e = 0; e < edits; ++e) {
      const size_t at = rng.below(static_cast<uint32_t>(text.size() + 1));
      switch (rng.below(4)) {
        case 0:  // flip a byte
          if (!text.empty()) text[at % text.size()] = static_cast<char>(rng.next());
          break;
        case 1:  // cut
          text.erase(at, rng.below(20));
          break;
        case 2:  // insert a piece
          text.insert(at, settingsPieces()[rng.below(static_cast<uint32_t>(settingsPieces().size()))]);
          break;
        default:  // repeat a stretch
          text.insert(at, text.substr(rng.below(static_cast<uint32_t>(text.size())), rng.below(40)));
          break;
      }
    }
    // The line list the file reader makes, and the text reader: both parse
    // without harm whatever the joiner.
    KALMO::Buffer bytes(text.begin(), text.end());
    std::list<std::string> lines;
    const bool clean = bytes.get_string_list(lines, true);
    for (const std::string& l : lines) EXPECT_FALSE(l.empty());
    const char joiner = joiners[rng.below(sizeof joiners)];
    FileInf inf;
    inf.load(lines, joiner);
    if (joiner == 0 && clean) expectWellFormed(inf, text);
    inf.set_current_group(rng.chance(50) ? "dev.1" : "amp:out");
    (void)inf.get("x");
    (void)inf.get64("CycleTime");
    FileInf byText;
    byText.set_string(text);
    expectWellFormed(byText, text);
  }
}

// ------------------------------------------------------------ endpoints

std::string randomEndpointText(Rng& rng) {
  std::string text;
  const size_t n = rng.below(48);
  const uint32_t style = rng.below(4);
  for (size_t i = 0; i < n; ++i) {
    switch (style) {
      case 0: text.push_back(rng.pick("0123456789abcdefABCDEF::")); break;
      case 1: text.push_back(rng.pick("0123456789...,,/- +")); break;
      case 2: text.push_back(rng.pick("0123456789abcdef:.,/%- g")); break;
      default: text.push_back(static_cast<char>(rng.next())); break;
    }
  }
  return text;
}

// Group-shaped texts: runs of 0 to 5 hexadecimal digits between one, two or
// three colons, 1 to 10 groups, now and then a stray character.
std::string randomV6Text(Rng& rng) {
  if (rng.chance(20)) return randomEndpointText(rng);
  std::string text;
  const int groups = 1 + static_cast<int>(rng.below(10));
  for (int g = 0; g < groups; ++g) {
    if (g != 0 || rng.chance(15)) {
      const uint32_t c = rng.below(100);
      text += c < 80 ? ":" : c < 97 ? "::" : ":::";
    }
    const int digits = rng.chance(10) ? 0 : static_cast<int>(rng.below(rng.chance(5) ? 6 : 5));
    for (int d = 0; d < digits; ++d) text.push_back(rng.pick("0123456789abcdefABCDEF0000"));
  }
  if (rng.chance(10)) text += rng.chance(50) ? ":" : "::";
  if (rng.chance(5)) text.insert(rng.below(static_cast<uint32_t>(text.size() + 1)), 1, rng.pick(".%g, /"));
  return text;
}

IPAddress sentinel() {
  IPAddress a{};
  for (int i = 0; i < 16; ++i) a.address[i] = static_cast<uint8_t>(0xA0 + i);
  a.port = htons(4321);
  a.interfaceIndex = 77;
  return a;
}

bool sameAddressBytes(const IPAddress& a, const IPAddress& b) {
  return std::memcmp(a.address, b.address, 16) == 0;
}

// Only hexadecimal digits and ':' with no lone ':' at either end: the texts
// on which the system's own parser and ours must agree.
bool plainV6Text(const std::string& t) {
  if (t.empty() || t.find_first_not_of("0123456789abcdefABCDEF:") != std::string::npos) return false;
  if (t.size() >= 2 && t[0] == ':' && t[1] != ':') return false;
  if (t.size() >= 2 && t[t.size() - 1] == ':' && t[t.size() - 2] != ':') return false;
  return t != ":";
}

TEST(HostileEndpointText, RandomV6TextsParseLikeTheSystemAndPrintBack) {
  Rng rng(0x1b6);
  int accepted = 0;  // the sweep must reach the success paths too
  for (int round = 0; round < 6000; ++round) {
    const std::string text = randomV6Text(rng);
    IPAddress a = sentinel();
    const bool ok = a.set_V6_str(text);
    EXPECT_EQ(a.port, sentinel().port);
    EXPECT_EQ(a.interfaceIndex, sentinel().interfaceIndex);
    uint8_t system[16];
    const bool systemOk = inet_pton(AF_INET6, text.c_str(), system) == 1 && text.find('.') == std::string::npos;
    if (ok && systemOk) {
      EXPECT_EQ(std::memcmp(a.address, system, 16), 0) << testing::PrintToString(text);
    }
    if (ok && plainV6Text(text)) {
      EXPECT_TRUE(systemOk) << testing::PrintToString(text);
    }
    if (!ok) continue;
    ++accepted;
    EXPECT_EQ(text.find_first_not_of("0123456789abcdefABCDEF:"), std::string::npos);
    std::string printed;
    a.get_V6_str(printed);
    IPAddress b{};
    ASSERT_TRUE(b.set_V6_str(printed)) << testing::PrintToString(text) << " -> " << printed;
    EXPECT_TRUE(sameAddressBytes(a, b)) << testing::PrintToString(text);
  }
  EXPECT_GT(accepted, 500);
}

TEST(HostileEndpointText, RandomAddressesPrintAsTheSystemReadsThem) {
  Rng rng(0xadd7);
  for (int round = 0; round < 4000; ++round) {
    IPAddress a{};
    for (uint8_t& byte : a.address) {
      // Mostly zero groups, so every shape of "::" run turns up.
      byte = rng.chance(60) ? 0 : static_cast<uint8_t>(rng.next());
    }
    a.port = static_cast<uint16_t>(rng.next());
    a.interfaceIndex = rng.next();
    std::string v6, full, v6ifn;
    a.get_V6_str(v6);
    a.get_full_str(full);
    a.get_V6IFN_str(v6ifn);
    uint8_t system[16];
    ASSERT_EQ(inet_pton(AF_INET6, v6.c_str(), system), 1) << v6;
    EXPECT_EQ(std::memcmp(system, a.address, 16), 0) << v6;
    IPAddress b = sentinel();
    ASSERT_TRUE(b.set_V6_str(v6)) << v6;
    EXPECT_TRUE(sameAddressBytes(a, b)) << v6;
    std::string withPort;
    a.get_V6_str(withPort);
    withPort += "," + std::to_string(ntohs(a.port));
    IPAddress c = sentinel();
    ASSERT_TRUE(c.set_str(withPort)) << withPort;
    EXPECT_TRUE(sameAddressBytes(a, c));
    EXPECT_EQ(c.port, a.port);
    EXPECT_EQ(c.interfaceIndex, sentinel().interfaceIndex);
  }
}

// The port of a text of digits: its value modulo 65536, however long.
uint16_t portModulo(const std::string& digits) {
  uint32_t v = 0;
  for (char d : digits) v = (v * 10 + static_cast<uint32_t>(d - '0')) % 65536;
  return static_cast<uint16_t>(v);
}

TEST(HostileEndpointText, RandomPortAndEndpointTexts) {
  Rng rng(0x9047);
  int v4Accepted = 0;  // the sweep must reach the success paths too
  for (int round = 0; round < 6000; ++round) {
    std::string text = randomEndpointText(rng);
    if (rng.chance(30)) text.append(rng.below(40), rng.pick("0123456789"));
    const bool digitsOnly = text.find_first_not_of("0123456789") == std::string::npos;

    IPAddress p = sentinel();
    const bool portOk = p.set_port_str(text);
    EXPECT_EQ(portOk, digitsOnly) << testing::PrintToString(text);
    EXPECT_EQ(ntohs(p.port), portOk ? portModulo(text) : uint16_t{4321}) << testing::PrintToString(text);
    EXPECT_TRUE(sameAddressBytes(p, sentinel()));
    EXPECT_EQ(p.interfaceIndex, 77u);

    IPAddress s = sentinel();
    const bool strOk = s.set_str(text);
    if (strOk) {
      const size_t comma = text.find(',');
      ASSERT_NE(comma, std::string::npos);
      EXPECT_EQ(ntohs(s.port), portModulo(text.substr(comma + 1)));
    }
    EXPECT_EQ(s.interfaceIndex, 77u);
    if (text.find(',') == std::string::npos) {
      EXPECT_FALSE(strOk);
      EXPECT_EQ(s.comp(sentinel()), 0);
    }

    IPAddress v4 = sentinel();
    if (v4.set_V4_str(text)) {
      ++v4Accepted;
      EXPECT_TRUE(v4.isV4Mapped()) << testing::PrintToString(text);
      EXPECT_EQ(v4.interfaceIndex, 0u);
      std::string printed;
      v4.get_str(printed);
      IPAddress back = sentinel();
      ASSERT_TRUE(back.set_V4_str(printed)) << printed;
      EXPECT_EQ(back.comp(v4), 0) << printed;
    } else {
      EXPECT_EQ(v4.comp(sentinel()), 0) << testing::PrintToString(text);
    }

    IPAddress withPrefix = sentinel();
    int prefix = -99;
    if (withPrefix.set_V4_str(text, prefix)) {
      EXPECT_GE(prefix, 0);
      EXPECT_LE(prefix, 32);
      EXPECT_TRUE(withPrefix.isV4Mapped());
    }
    // Prefix matches with any length a caller may pass, in and out of range.
    const int lengths[] = {prefix, -1, 0, 31, 32, 33, 127, 128, 129, 100000, -100000};
    for (int bits : lengths) {
      (void)withPrefix.much_address(v4, bits);
      (void)v4.much_address(s, bits);
      (void)s.much_address(s, bits);
    }
  }
  EXPECT_GT(v4Accepted, 100);
}

}  // namespace
