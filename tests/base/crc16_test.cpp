#include "base/crc16.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using KALMO::BufferCS_const;
using KALMO::CRC16;

BufferCS_const view(const std::string& s) {
  return BufferCS_const{reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(CRC16, CheckValues) {
  struct Case {
    std::string in;
    uint16_t crc;
  } const cases[] = {
      {"", 0x0000},
      {"123456789", 0xB4C8},
      {"abc", 0xA8B6},
      {std::string(1, '\0'), 0xBF40},
      {std::string(1, '\xff'), 0xFF00},
  };
  for (const Case& c : cases) {
    CRC16 crc;
    crc.update(view(c.in));
    EXPECT_EQ(crc.get(), c.crc) << c.in;
  }
}

TEST(CRC16, PiecesGiveTheSameValueAsTheWhole) {
  const std::string data = "123456789";
  for (size_t cut = 0; cut <= data.size(); ++cut) {
    CRC16 crc;
    crc.update(view(data.substr(0, cut)));
    crc.update(BufferCS_const{});
    crc.update(view(data.substr(cut)));
    EXPECT_EQ(crc.get(), 0xB4C8) << cut;
  }
}

TEST(CRC16, GetLeavesTheRegisterAndClearRestarts) {
  CRC16 crc;
  crc.update(view("ab"));
  const uint16_t mid = crc.get();
  EXPECT_EQ(crc.get(), mid);
  crc.update(view("c"));
  EXPECT_EQ(crc.get(), 0xA8B6);
  crc.clear();
  EXPECT_EQ(crc.get(), 0x0000);
  crc.update(view("123456789"));
  EXPECT_EQ(crc.get(), 0xB4C8);
}

}  // namespace
