// The protocol log level: which statements build a record, and the
// daemon's logging set-up through it.
#include "protocol/syslog_vellora.h"

#include "tests/base/syslog_test_util.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace KALMO::SysLog;
using VELLORA::SysLogVellora;

std::vector<std::string>* g_records = nullptr;
void collect(const char* record) {
  if (g_records != nullptr) g_records->push_back(record);
}

class SysLogLevelFront : public ::testing::Test {
 protected:
  void SetUp() override {
    logtest::resetLogger();
    g_records = &records;
  }
  void TearDown() override {
    g_records = nullptr;
    logtest::resetLogger();
  }
  std::vector<std::string> records;
};

TEST_F(SysLogLevelFront, ThresholdDecidesWhichSeveritiesAreLogged) {
  ASSERT_TRUE(initialize(LOCAL0, &collect));
  EXPECT_EQ(SysLogVellora::vellora_log.load(), -1);  // nothing until a level is chosen
  for (int limit : {-1, 0, 3, 5, 6, 7}) {
    SysLogVellora::vellora_log = limit;
    for (int severity = EMERG; severity <= DEBUG; ++severity) {
      SCOPED_TRACE("threshold " + std::to_string(limit) + " severity " + std::to_string(severity));
      records.clear();
      static_cast<SysLogLevel>(severity) << "statement " << severity;
      if (severity <= limit) {
        ASSERT_EQ(records.size(), 1u);
        const auto parsed = logtest::parseRecord(records[0]);
        ASSERT_TRUE(parsed.has_value()) << records[0];
        EXPECT_EQ(parsed->priority, 16 * 8 + severity);
        EXPECT_EQ(parsed->body, "statement " + std::to_string(severity));
      } else {
        EXPECT_TRUE(records.empty());
      }
    }
  }
}

TEST_F(SysLogLevelFront, AFilteredStatementBuildsNoRecord) {
  ASSERT_TRUE(initialize(LOCAL0, &collect));
  SysLogVellora::vellora_log = NOTICE;
  {
    SysLogNode node = INFO << "filtered";
    EXPECT_EQ(node.out, nullptr);
    EXPECT_TRUE(node.owner);
    node << 42 << std::string("more") << 1.5;
  }
  EXPECT_TRUE(records.empty());
  {
    SysLogNode node = NOTICE << "passes";
    ASSERT_NE(node.out, nullptr);
    EXPECT_EQ(node.out->priority, 133);
    EXPECT_EQ(std::string(node.out->text + kHeaderSize), "passes");
  }
  ASSERT_EQ(records.size(), 1u);
}

TEST_F(SysLogLevelFront, WithoutASenderThePriorityIsTheLevelAndNothingIsSent) {
  SysLogVellora::vellora_log = DEBUG;
  SysLogNode node = WARNING << "no sender";
  ASSERT_NE(node.out, nullptr);
  EXPECT_EQ(node.out->priority, 4);
}

TEST_F(SysLogLevelFront, DaemonSetUpLogsToThePortAtTheChosenLevel) {
  VELLORA_REQUIRE_PRIVATE_NET();
  logtest::LogReceiver rx(logtest::kLogPort);
  ASSERT_TRUE(rx.ok());
  EXPECT_FALSE(SysLogVellora::changeLevel(NOTICE, logtest::kLogPort));  // no sender yet
  ASSERT_TRUE(SysLogVellora::initialize(LOCAL0, logtest::kLogPort, false));
  INFO << "before the level";
  EXPECT_FALSE(rx.next(std::chrono::milliseconds(100)).has_value());
  ASSERT_TRUE(SysLogVellora::changeLevel(INFO, logtest::kLogPort));
  EXPECT_EQ(SysLogVellora::vellora_log.load(), INFO);
  KALMO::SysLog::INFO << "text " << 17;
  KALMO::SysLog::DEBUG << "too detailed";
  const auto got = rx.next();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->rfind("<134>", 0), 0u);
  EXPECT_EQ(logtest::parseRecord(*got)->body, "text 17");
  EXPECT_FALSE(rx.next(std::chrono::milliseconds(100)).has_value());
}

}  // namespace
