// The logging front as real-time threads use it: no heap allocation per
// record, a full pool or ring drops (and counts) instead of waiting, the
// printer keeps every thread's order, and the time stamp needs no lock.
#include "base/syslog.h"

#include "base/syslog_std.h"
#include "base/thread_priority.h"
#include "tests/base/syslog_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

// Allocations made by the thread that counts, through every form of new
// that the front could use.
namespace {
thread_local bool countingAllocations = false;
thread_local size_t allocationsSeen = 0;

void* allocate(std::size_t n) {
  if (countingAllocations) ++allocationsSeen;
  return std::malloc(n != 0 ? n : 1);
}
__attribute__((noinline)) void release(void* p) { std::free(p); }
}  // namespace

void* operator new(std::size_t n) {
  void* p = allocate(n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t n) {
  void* p = allocate(n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }

namespace {

using namespace KALMO::SysLog;
using logtest::StdoutCapture;

std::atomic<int> recordsSeen{0};
void countRecord(const char*) { recordsSeen.fetch_add(1); }

std::vector<std::string>& bodies() {
  static std::vector<std::string> b;
  return b;
}
void keepBody(const char* record) { bodies().push_back(record + kHeaderSize); }

// A record as the sender hands it over, with a header for priority p.
std::string recordText(int priority, const std::string& body) {
  return "<" + std::to_string(priority) + ">Jan 05 07:08:09 localhost " + body;
}

// Runs fn on a thread of the round-robin class; false when the system
// refuses the class (no privilege).
template <typename Fn>
bool onRealTimeThread(Fn fn) {
  bool raised = false;
  std::thread t([&] {
    raised = KALMO::ThreadPriority::setPriority(KALMO::ThreadPriority::getSelfThreadID(),
                                                KALMO::ThreadPriority::HIGH);
    if (raised) fn();
  });
  t.join();
  return raised;
}

class SysLogFront : public ::testing::Test {
 protected:
  void SetUp() override { logtest::resetLogger(); }
  void TearDown() override { logtest::resetLogger(); }
};

TEST_F(SysLogFront, AStatementAllocatesNothing) {
  struct Case {
    const char* what;
    bool printer;
  };
  const Case cases[] = {{"records to a callback", false}, {"records to the standard-output printer", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StdoutCapture out;
    ASSERT_TRUE(out.ok());
    recordsSeen = 0;
    ASSERT_TRUE(initialize(LOCAL0, c.printer ? &SysLogSendStdC::send : &countRecord));
    threshold = 7;
    const std::string word = "word";
    const KALMO::Clock clock(1234);
    countingAllocations = true;
    allocationsSeen = 0;
    for (int i = 0; i < 100; ++i) {
      INFO << "record " << i << " " << word << " " << clock << " " << 2.5 << " " << 7u;
      WARNING << "late " << static_cast<uint64_t>(i);
    }
    const size_t seen = allocationsSeen;
    countingAllocations = false;
    EXPECT_EQ(seen, 0u) << "allocations for 200 records";
    if (c.printer) {
      EXPECT_TRUE(out.waitForLines(119));
    } else {
      EXPECT_EQ(recordsSeen.load(), 200);
    }
    logtest::resetLogger();
  }
}

TEST_F(SysLogFront, AFullPoolDropsTheStatementAndCountsIt) {
  bodies().clear();
  ASSERT_TRUE(initialize(LOCAL0, &keepBody));
  threshold = 6;
  std::vector<SysLogNode> open;
  open.reserve(kPoolRecords);
  for (size_t i = 0; i < kPoolRecords; ++i) {
    open.push_back(INFO << "held ");
    open.back() << static_cast<uint64_t>(i);
  }
  const uint64_t droppedBefore = droppedRecords();
  {
    SysLogNode over = INFO << "over";
    EXPECT_EQ(over.out, nullptr);
    over << 5;  // a dropped statement ignores its values
  }
  EXPECT_EQ(droppedRecords(), droppedBefore + 1);
  EXPECT_TRUE(bodies().empty()) << "nothing is sent before the statements end";
  open.clear();
  ASSERT_EQ(bodies().size(), kPoolRecords);
  std::vector<bool> seen(kPoolRecords, false);
  for (const std::string& b : bodies()) {
    ASSERT_EQ(b.compare(0, 5, "held "), 0) << b;
    const size_t i = std::stoul(b.substr(5));
    ASSERT_LT(i, kPoolRecords);
    EXPECT_FALSE(seen[i]) << "record " << i << " twice";
    seen[i] = true;
  }
  // The records are back in the pool: later statements are sent again.
  INFO << "after";
  ASSERT_EQ(bodies().size(), kPoolRecords + 1);
  EXPECT_EQ(bodies().back(), "after");
  EXPECT_EQ(droppedRecords(), droppedBefore + 1);
}

TEST_F(SysLogFront, ARealTimeSenderDropsAtOnceOnAFullRing) {
  StdoutCapture out;
  ASSERT_TRUE(out.ok());
  auto printer = std::make_unique<SysLogSendStdC>();
  // Holding the stream's lock holds the printer at its first line.
  flockfile(stdout);
  for (int i = 0; i < 119; ++i) printer->_send(recordText(134, "r" + std::to_string(i)).c_str());
  const uint64_t droppedBefore = SysLogSendStdC::droppedLines();
  std::chrono::steady_clock::duration took{};
  const bool raised = onRealTimeThread([&] {
    const auto start = std::chrono::steady_clock::now();
    printer->_send(recordText(134, "lost").c_str());
    took = std::chrono::steady_clock::now() - start;
  });
  funlockfile(stdout);
  if (!raised) {
    printer.reset();
    GTEST_SKIP() << "the round-robin class is not available here";
  }
  EXPECT_EQ(SysLogSendStdC::droppedLines(), droppedBefore + 1);
  // Far below the nine 1 ms sleeps a thread of a normal class gives it.
  EXPECT_LT(took, std::chrono::milliseconds(3));
  ASSERT_TRUE(out.waitForLines(119));
  printer.reset();
  const auto lines = out.lines();
  // No notice lines from the real-time thread, and the queued ones intact.
  ASSERT_EQ(lines.size(), 119u);
  for (int i = 0; i < 119; ++i) EXPECT_EQ(lines[static_cast<size_t>(i)], "r" + std::to_string(i));
}

TEST_F(SysLogFront, ThePrinterKeepsEverySendersOrder) {
  StdoutCapture out;
  ASSERT_TRUE(out.ok());
  auto printer = std::make_unique<SysLogSendStdC>();
  constexpr int kThreads = 4;
  constexpr int kEach = 300;
  const uint64_t droppedBefore = SysLogSendStdC::droppedLines();
  std::vector<std::string> texts[kThreads];
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEach; ++i) {
      texts[t].push_back(recordText(134, "t" + std::to_string(t) + " " + std::to_string(i)));
    }
  }
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      // One sender in the round-robin class when the system allows it.
      if (t == 0) {
        (void)KALMO::ThreadPriority::setPriority(KALMO::ThreadPriority::getSelfThreadID(),
                                                 KALMO::ThreadPriority::HIGH);
      }
      for (const std::string& text : texts[t]) {
        printer->_send(text.c_str());
        if (t == 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
    });
  }
  for (auto& s : senders) s.join();
  printer.reset();  // prints what is still queued
  const uint64_t dropped = SysLogSendStdC::droppedLines() - droppedBefore;
  int last[kThreads];
  for (int& l : last) l = -1;
  size_t printed = 0;
  for (const std::string& line : out.lines()) {
    if (line == "wait debug out" || line == "timeout debug out") continue;
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "t%d %d", &t, &i), 2) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_GT(i, last[t]) << "thread " << t << " out of order";
    last[t] = i;
    ++printed;
  }
  // Every record was printed or counted as dropped.
  EXPECT_EQ(printed + dropped, static_cast<size_t>(kThreads * kEach));
}

TEST(SysLogTime, CalendarFieldsMatchTheLibrary) {
  const int64_t cases[] = {
      0,             // 1970-01-01, a Thursday
      -1,            // 1969-12-31 23:59:59
      951782400,     // 2000-02-29
      978307199,     // 2000-12-31 23:59:59, day 366 of a leap century
      1709164800,    // 2024-02-29
      1735689599,    // 2024-12-31 23:59:59
      4107542399,    // 2100-02-28 23:59:59, no leap day
      4107542400,    // 2100-03-01
      253402300799,  // 9999-12-31 23:59:59
  };
  for (const int64_t s : cases) {
    SCOPED_TRACE(s);
    std::tm mine{};
    civilTime(s, mine);
    const std::time_t t = static_cast<std::time_t>(s);
    std::tm lib{};
    ASSERT_NE(gmtime_r(&t, &lib), nullptr);
    EXPECT_EQ(mine.tm_year, lib.tm_year);
    EXPECT_EQ(mine.tm_mon, lib.tm_mon);
    EXPECT_EQ(mine.tm_mday, lib.tm_mday);
    EXPECT_EQ(mine.tm_hour, lib.tm_hour);
    EXPECT_EQ(mine.tm_min, lib.tm_min);
    EXPECT_EQ(mine.tm_sec, lib.tm_sec);
    EXPECT_EQ(mine.tm_wday, lib.tm_wday);
    EXPECT_EQ(mine.tm_yday, lib.tm_yday);
  }
}

TEST(SysLogTime, ARealTimeThreadGetsTheLocalTimeOfTheZone) {
  const char* saved = std::getenv("TZ");
  const std::string savedTz = saved != nullptr ? saved : "";
  struct Case {
    const char* zone;
  };
  // Offsets east and west of UTC, one of a quarter hour, with daylight
  // saving rules.
  const Case cases[] = {{"CET-1CEST,M3.5.0,M10.5.0/3"}, {"EST5EDT,M3.2.0,M11.1.0"}, {"<+0545>-5:45"}};
  int k = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.zone);
    ::setenv("TZ", c.zone, 1);
    ::tzset();
    // A minute's first look-up on a normal thread takes the zone; each case
    // primes a minute of its own (a zone changed within a minute is kept to
    // the next one).
    std::tm primed{};
    ASSERT_TRUE(localTime(std::time(nullptr) + 60 * (++k), primed));
    std::time_t now = 0;
    std::tm mine{};
    bool ok = false;
    const bool raised = onRealTimeThread([&] {
      now = std::time(nullptr);
      ok = localTime(now, mine);
    });
    if (!raised) {
      now = std::time(nullptr);
      ok = localTime(now, mine);
    }
    ASSERT_TRUE(ok);
    std::tm lib{};
    ASSERT_NE(localtime_r(&now, &lib), nullptr);
    EXPECT_EQ(mine.tm_mday, lib.tm_mday);
    EXPECT_EQ(mine.tm_hour, lib.tm_hour);
    EXPECT_EQ(mine.tm_min, lib.tm_min);
    EXPECT_EQ(mine.tm_sec, lib.tm_sec);
  }
  if (saved != nullptr) ::setenv("TZ", savedTz.c_str(), 1);
  else ::unsetenv("TZ");
  ::tzset();
  std::tm reset{};
  (void)localTime(std::time(nullptr) + 600, reset);
}

}  // namespace
