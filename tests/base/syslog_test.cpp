// Log records: header, append limits, the UDP sender and its set-up.
#include "base/syslog.h"

#include "tests/base/syslog_test_util.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace KALMO::SysLog;
using logtest::kLogPort;
using logtest::LogReceiver;

class SysLogRecords : public ::testing::Test {
 protected:
  void SetUp() override { logtest::resetLogger(); }
  void TearDown() override { logtest::resetLogger(); }
};

// Builds a record, appends the body and ends it (which sends it).
void emit(SysLogFacilityLevel priority, const char* body) {
  auto record = std::make_unique<SysLogOut>(priority);
  record->putStr(body);
}

TEST_F(SysLogRecords, DatagramCarriesTheHeaderForEachWidthOfPriority) {
  VELLORA_REQUIRE_PRIVATE_NET();
  LogReceiver rx(kLogPort);
  ASSERT_TRUE(rx.ok());
  ASSERT_TRUE(initialize(LOCAL0, false, kLogPort));
  struct Case {
    SysLogFacilityLevel priority;
    const char* start;
    size_t header;
  };
  const Case cases[] = {{7, "<7>", 29}, {42, "<42>", 30}, {134, "<134>", 31}, {255, "<255>", 31}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.start);
    const std::time_t before = std::time(nullptr);
    emit(c.priority, "body text");
    const std::time_t after = std::time(nullptr);
    const auto got = rx.next();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->rfind(c.start, 0), 0u) << *got;
    const auto parsed = logtest::parseRecord(*got);
    ASSERT_TRUE(parsed.has_value()) << *got;
    EXPECT_EQ(parsed->priority, c.priority);
    EXPECT_EQ(parsed->headerLength, c.header);
    // Nothing follows the body: no terminator, no line end.
    EXPECT_EQ(parsed->body, "body text");
    EXPECT_EQ(got->size(), c.header + 9);
    // The stamp is the local wall time of the record's end.
    bool matches = false;
    for (std::time_t t : {before, after}) {
      std::tm local{};
      localtime_r(&t, &local);
      matches |= parsed->day == local.tm_mday && parsed->hour == local.tm_hour &&
                 parsed->minute == local.tm_min && parsed->second == local.tm_sec;
    }
    EXPECT_TRUE(matches) << *got;
  }
}

TEST(SysLogStamp, FieldsAreTwoDigitsWithLeadingZeros) {
  struct Case {
    int month, day, hour, minute, second;
    const char* expected;
  };
  const Case cases[] = {
      {0, 5, 7, 8, 9, "Jan 05 07:08:09"},
      {4, 10, 0, 0, 0, "May 10 00:00:00"},
      {11, 31, 23, 59, 59, "Dec 31 23:59:59"},
  };
  for (const Case& c : cases) {
    SysLogOut record(134);
    std::tm t{};
    t.tm_mon = c.month;
    t.tm_mday = c.day;
    t.tm_hour = c.hour;
    t.tm_min = c.minute;
    t.tm_sec = c.second;
    writeStamp(record.text, t);
    EXPECT_EQ(std::string(record.text + 5, 16), std::string(c.expected) + " ");
    // The rest of the header is untouched.
    EXPECT_EQ(std::string(record.text, 5), "<000>");
    EXPECT_EQ(std::string(record.text + 21), "localhost ");
  }
}

TEST_F(SysLogRecords, EmptyBodySendsTheHeaderAlone) {
  VELLORA_REQUIRE_PRIVATE_NET();
  LogReceiver rx(kLogPort);
  ASSERT_TRUE(rx.ok());
  ASSERT_TRUE(initialize(LOCAL0, false, kLogPort));
  emit(134, "");
  const auto got = rx.next();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->size(), 31u);
  EXPECT_EQ(got->substr(21), "localhost ");
}

TEST(SysLogAppend, EachValueTypeIsWrittenAsItsText) {
  KALMO::IPAddress ip;
  ip.address[0] = 0xfe;
  ip.address[1] = 0x80;
  ip.address[15] = 1;
  ip.port = htons(19642);
  ip.interfaceIndex = 2;
  const uint8_t bytes[] = {'a', 0x01, 'b'};

  SysLogOut r(134);
  r.putSInt32(-5);
  r.putStr("|");
  r.putUInt32(4000000000u);
  r.putStr("|");
  r.putSInt64(-9000000000LL);
  r.putStr("|");
  r.putUInt64(18446744073709551615ULL);
  r.putStr("|");
  r.putFloat(1.5f);
  r.putStr("|");
  r.putDouble(-0.25);
  r.putStr("|");
  r.putBuffer(KALMO::BufferCS_const{bytes, sizeof bytes});
  r.putStr("|");
  r.putIPaddress(ip);
  r.putStr("|");
  r.putClock(KALMO::Clock(1'000'000'000'000ULL));
  r.putStr("|");
  r.putString(std::string("s t"));
  const std::string expected =
      "-5|4000000000|-9000000000|18446744073709551615|1.500000|-0.250000|a\x01"
      "b|fe80::1%2,19642|000000E8D4A51000|s t";
  EXPECT_EQ(std::string(r.text + 31), expected);
  EXPECT_EQ(r.length, 31 + expected.size());
}

TEST(SysLogAppend, StatementsThroughTheNodeUseTheMatchingAppend) {
  auto* record = new SysLogOut(134);
  {
    SysLogNode node(record, false);  // not owned: the test reads it afterwards
    const unsigned short small = 7;
    const size_t size = 12;
    node << "n=" << 3 << " u=" << 4u << " s=" << small << " z=" << size << " c="
         << KALMO::Clock(16) << " str=" << std::string("x");
  }
  EXPECT_EQ(std::string(record->text + 31), "n=3 u=4 s=7 z=12 c=0000000000000010 str=x");
  delete record;

  SysLogNode filtered(nullptr, true);
  filtered << "ignored" << 5 << std::string("too");  // must not touch anything
  EXPECT_EQ(filtered.out, nullptr);
}

TEST(SysLogAppend, LimitsOfFormattedAndRawAppends) {
  const std::string long3000(3000, 'x');

  SysLogOut cut(134);
  cut.putStr(long3000.c_str());
  EXPECT_EQ(cut.length, 2047u);
  EXPECT_EQ(cut.text[2047], '\0');
  EXPECT_EQ(std::string(cut.text + 31), std::string(2047 - 31, 'x'));
  cut.putSInt32(1);  // full: nothing more, nothing past the end
  EXPECT_EQ(cut.length, 2047u);

  SysLogOut raw(134);
  raw.putString(long3000);
  EXPECT_EQ(raw.length, 31u);
  EXPECT_EQ(raw.text[31], '\0');
  raw.putSInt32(-12);
  EXPECT_EQ(std::string(raw.text + 31), "-12");

  // Raw appends are taken while length + size + 1 <= 2047.
  struct Case {
    size_t size;
    bool taken;
  };
  for (const Case c : {Case{2047 - 31 - 1, true}, Case{2047 - 31, false}}) {
    SysLogOut r(134);
    r.putString(std::string(c.size, 'y'));
    EXPECT_EQ(r.length, c.taken ? 31 + c.size : 31u) << c.size;
    SysLogOut b(134);
    const std::string bytes(c.size, 'z');
    b.putBuffer(KALMO::BufferCS_const{reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
    EXPECT_EQ(b.length, c.taken ? 31 + c.size : 31u) << c.size;
  }

  // A clock needs length + 17 <= 2047.
  for (const Case c : {Case{2047 - 17 - 31, true}, Case{2047 - 17 - 31 + 1, false}}) {
    SysLogOut r(134);
    r.putString(std::string(c.size, 'y'));
    r.putClock(KALMO::Clock(1'000'000'000'000ULL));
    EXPECT_EQ(r.length, 31 + c.size + (c.taken ? 16 : 0)) << c.size;
    if (c.taken) {
      EXPECT_EQ(std::string(r.text + r.length - 16), "000000E8D4A51000");
    }
  }
}

TEST_F(SysLogRecords, NothingIsSentWithoutASenderOrAfterFinalize) {
  VELLORA_REQUIRE_PRIVATE_NET();
  LogReceiver rx(kLogPort);
  ASSERT_TRUE(rx.ok());
  EXPECT_EQ(getOwn(), nullptr);
  EXPECT_EQ(getFacility(), 0);
  EXPECT_FALSE(OpenPort(kLogPort));
  emit(134, "before any sender");
  EXPECT_FALSE(rx.next(std::chrono::milliseconds(100)).has_value());

  ASSERT_TRUE(initialize(LOCAL0, false, kLogPort));
  emit(134, "while set up");
  const auto got = rx.next();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(logtest::parseRecord(*got)->body, "while set up");

  finalize();
  EXPECT_EQ(getOwn(), nullptr);
  EXPECT_EQ(getStdErr(), nullptr);
  emit(134, "after finalize");
  EXPECT_FALSE(rx.next(std::chrono::milliseconds(100)).has_value());
}

TEST_F(SysLogRecords, OpenPortKeepsTheFirstDestination) {
  VELLORA_REQUIRE_PRIVATE_NET();
  LogReceiver first(kLogPort);
  LogReceiver second(kLogPort + 1);
  ASSERT_TRUE(first.ok());
  ASSERT_TRUE(second.ok());
  ASSERT_TRUE(initialize(LOCAL0, false, kLogPort));
  EXPECT_TRUE(OpenPort(kLogPort + 1));
  emit(134, "still to the first port");
  const auto got = first.next();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(logtest::parseRecord(*got)->body, "still to the first port");
  EXPECT_FALSE(second.next(std::chrono::milliseconds(100)).has_value());
}

TEST_F(SysLogRecords, DatagramsComeFromTheLoopbackAddress) {
  VELLORA_REQUIRE_PRIVATE_NET();
  LogReceiver rx(kLogPort);
  ASSERT_TRUE(rx.ok());
  ASSERT_TRUE(initialize(LOCAL0, false, kLogPort));
  emit(134, "x");
  ASSERT_EQ(rx.socket.wait(KALMO::Clock(2'000'000'000'000ULL)), KALMO::Socket::WAIT_READY);
  KALMO::Buffer data;
  KALMO::IPAddress from;
  ASSERT_TRUE(rx.socket.receiveFromV6(data, from));
  EXPECT_TRUE(from.isLoopback());
  EXPECT_NE(from.port, 0);
  EXPECT_NE(ntohs(from.port), kLogPort);
}

std::vector<std::string>* g_seen = nullptr;
void collect(const char* record) {
  if (g_seen != nullptr) g_seen->push_back(record);
}

TEST_F(SysLogRecords, ACallbackOfItsOwnGetsEveryRecordAndNoSocketIsOpened) {
  std::vector<std::string> seen;
  g_seen = &seen;
  ASSERT_TRUE(initialize(LOCAL4, &collect));
  EXPECT_EQ(getStdErr(), &collect);
  EXPECT_EQ(getFacility(), LOCAL4);
  emit(7, "to the callback");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].rfind("<7>", 0), 0u);
  EXPECT_EQ(logtest::parseRecord(seen[0])->body, "to the callback");
  auto* sender = static_cast<SysLogSendC*>(getOwn());
  ASSERT_NE(sender, nullptr);
  EXPECT_FALSE(sender->socket.is_open());
  g_seen = nullptr;
}

TEST_F(SysLogRecords, ReinitializeBringsBackAReplacedSender) {
  std::vector<std::string> seen;
  g_seen = &seen;
  ASSERT_TRUE(initialize(LOCAL1, &collect));
  void* first = getOwn();
  ASSERT_TRUE(initialize(LOCAL2, false, 0));
  EXPECT_NE(getOwn(), first);
  EXPECT_EQ(getFacility(), LOCAL2);
  emit(134, "to the second");
  EXPECT_TRUE(seen.empty());
  setFacility(LOCAL3);
  EXPECT_EQ(getFacility(), LOCAL3);

  reinitialize(first);
  EXPECT_EQ(getOwn(), first);
  EXPECT_EQ(getFacility(), LOCAL1);
  emit(134, "to the first again");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(logtest::parseRecord(seen[0])->body, "to the first again");
  g_seen = nullptr;
}

TEST_F(SysLogRecords, StandardOutputChosenGivesTheDatagramAndTheLine) {
  VELLORA_REQUIRE_PRIVATE_NET();
  LogReceiver rx(kLogPort);
  ASSERT_TRUE(rx.ok());
  logtest::StdoutCapture out;
  ASSERT_TRUE(out.ok());
  ASSERT_TRUE(initialize(LOCAL0, true, kLogPort));
  EXPECT_EQ(getStdErr(), &SysLogSendStdC::send);
  emit(134, "both ways");
  const auto got = rx.next();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(logtest::parseRecord(*got)->body, "both ways");
  ASSERT_TRUE(out.waitForLines(1));
  EXPECT_EQ(out.text(), "both ways\n");
}

}  // namespace
