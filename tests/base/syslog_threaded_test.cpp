// Many threads logging at once through the front, to the port and to
// standard output: every datagram arrives whole, every printed line is one
// whole body.
#include "base/syslog.h"

#include "tests/base/syslog_test_util.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace KALMO::SysLog;

std::string bodyFor(int thread, int n) {
  // Long enough that a torn or mixed record would show.
  return "thread " + std::to_string(thread) + " record " + std::to_string(n) + " " +
         std::string(40 + static_cast<size_t>(n % 7), static_cast<char>('a' + thread));
}

TEST(SysLogThreaded, ConcurrentStatementsStayWhole) {
  VELLORA_REQUIRE_PRIVATE_NET();
  logtest::resetLogger();
  constexpr int kThreads = 4;
  constexpr int kPerThread = 150;
  logtest::LogReceiver rx(logtest::kLogPort);
  ASSERT_TRUE(rx.ok());
  logtest::StdoutCapture out;
  ASSERT_TRUE(out.ok());
  ASSERT_TRUE(initialize(LOCAL0, true, logtest::kLogPort));
  threshold.store(INFO);

  std::set<std::string> expected;
  for (int t = 0; t < kThreads; ++t)
    for (int n = 0; n < kPerThread; ++n) expected.insert(bodyFor(t, n));

  std::vector<std::string> received;
  std::thread receiver([&] {
    while (received.size() < expected.size()) {
      const auto got = rx.next(std::chrono::seconds(5));
      if (!got) break;
      received.push_back(*got);
    }
  });
  std::atomic<bool> go{false};
  std::vector<std::thread> loggers;
  for (int t = 0; t < kThreads; ++t) {
    loggers.emplace_back([t, &go] {
      while (!go.load()) std::this_thread::yield();
      for (int n = 0; n < kPerThread; ++n) {
        INFO << "thread " << t << " record " << n << " " << std::string(40 + static_cast<size_t>(n % 7), static_cast<char>('a' + t));
        DEBUG << "filtered out";
      }
    });
  }
  go.store(true);
  for (auto& l : loggers) l.join();
  receiver.join();
  logtest::resetLogger();  // stops the printer after it printed what it holds

  std::set<std::string> bodies;
  for (const std::string& d : received) {
    const auto parsed = logtest::parseRecord(d);
    ASSERT_TRUE(parsed.has_value()) << d;
    EXPECT_EQ(parsed->priority, 134);
    EXPECT_TRUE(bodies.insert(parsed->body).second) << "twice: " << parsed->body;
  }
  EXPECT_EQ(bodies, expected);

  // The ring may have been full at times (records dropped after a short
  // wait), but whatever was printed is whole and printed once.
  std::set<std::string> printed;
  size_t records = 0;
  for (const std::string& line : out.lines()) {
    if (line == "wait debug out" || line == "timeout debug out") continue;
    ++records;
    EXPECT_EQ(expected.count(line), 1u) << line;
    EXPECT_TRUE(printed.insert(line).second) << "twice: " << line;
  }
  EXPECT_GT(records, 0u);
}

}  // namespace
