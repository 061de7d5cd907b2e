// The standard-output printer: bodies only, one per line, a bounded ring,
// nothing lost at stop, nothing touched after its holder is gone.
#include "base/syslog_std.h"

#include "base/syslog.h"
#include "tests/base/syslog_test_util.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace KALMO::SysLog;
using logtest::StdoutCapture;

// A record as the sender hands it over, with a header for priority p.
std::string recordText(int priority, const std::string& body) {
  return "<" + std::to_string(priority) + ">Jan 05 07:08:09 localhost " + body;
}

class SysLogPrinter : public ::testing::Test {
 protected:
  void SetUp() override { logtest::resetLogger(); }
  void TearDown() override { logtest::resetLogger(); }
};

TEST_F(SysLogPrinter, PrintsTheBodyAloneWhateverTheWidthOfThePriority) {
  StdoutCapture out;
  ASSERT_TRUE(out.ok());
  std::vector<std::string> seen;
  // Through the real sender, so the header is the one records really have.
  ASSERT_TRUE(initialize(LOCAL0, &SysLogSendStdC::send));
  const auto start = std::chrono::steady_clock::now();
  for (SysLogFacilityLevel p : {SysLogFacilityLevel{7}, SysLogFacilityLevel{42}, SysLogFacilityLevel{134}}) {
    auto record = std::make_unique<SysLogOut>(p);
    record->putStr("body of ");
    record->putSInt32(p);
  }
  // The printer is not woken per record; it looks at least every 100 ms.
  ASSERT_TRUE(out.waitForLines(3));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(out.text(), "body of 7\nbody of 42\nbody of 134\n");
}

TEST_F(SysLogPrinter, RecordsWithoutABodyOrAHeaderPrintNothing) {
  StdoutCapture out;
  ASSERT_TRUE(out.ok());
  auto printer = std::make_unique<SysLogSendStdC>();
  const std::string cases[] = {
      recordText(134, ""),
      recordText(7, ""),
      "",
      "<134>short",
      "no header at all, long enough to be mistaken for one",
      "<1345>Jan 05 07:08:09 localhost four digits",
  };
  for (const std::string& c : cases) printer->_send(c.c_str());
  printer->_send(recordText(134, "last").c_str());
  ASSERT_TRUE(out.waitForLines(1));
  printer.reset();
  EXPECT_EQ(out.text(), "last\n");
}

TEST_F(SysLogPrinter, ALongBodyIsCutToItsSlot) {
  StdoutCapture out;
  ASSERT_TRUE(out.ok());
  auto printer = std::make_unique<SysLogSendStdC>();
  const std::string body(2000, 'b');
  printer->_send(recordText(134, body).c_str());
  ASSERT_TRUE(out.waitForLines(1));
  printer.reset();
  EXPECT_EQ(out.text(), body.substr(0, 1499) + "\n");
}

TEST_F(SysLogPrinter, AFullRingWaitsBrieflyThenDropsTheRecord) {
  StdoutCapture out;
  ASSERT_TRUE(out.ok());
  auto printer = std::make_unique<SysLogSendStdC>();
  // Holding the stream's lock holds the printer at its first line; this
  // thread's own writes still go through (the lock is recursive).
  flockfile(stdout);
  for (int i = 0; i < 119; ++i) printer->_send(recordText(134, "r" + std::to_string(i)).c_str());
  const auto start = std::chrono::steady_clock::now();
  printer->_send(recordText(134, "lost").c_str());
  const auto waited = std::chrono::steady_clock::now() - start;
  funlockfile(stdout);
  EXPECT_GE(waited, std::chrono::milliseconds(8));
  EXPECT_LT(waited, std::chrono::seconds(2));
  ASSERT_TRUE(out.waitForLines(2 + 119));
  printer.reset();
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 2u + 119u);
  EXPECT_EQ(lines[0], "wait debug out");
  EXPECT_EQ(lines[1], "timeout debug out");
  for (int i = 0; i < 119; ++i) EXPECT_EQ(lines[2 + static_cast<size_t>(i)], "r" + std::to_string(i));
}

TEST_F(SysLogPrinter, ASenderNeverWaitsForAStuckConsole) {
  StdoutCapture out;
  ASSERT_TRUE(out.ok());
  auto printer = std::make_unique<SysLogSendStdC>();
  // Another thread holds standard output, as a printer stuck in a write to
  // a console that takes nothing (a terminal on hold, a pipe nobody reads)
  // does; the printer is held at its first line and the ring fills.
  std::atomic<bool> held{false};
  std::atomic<bool> release{false};
  std::thread console([&] {
    flockfile(stdout);
    held.store(true);
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    funlockfile(stdout);
  });
  while (!held.load()) std::this_thread::yield();
  for (int i = 0; i < 119; ++i) printer->_send(recordText(134, "r" + std::to_string(i)).c_str());
  std::atomic<bool> returned{false};
  std::thread sender([&] {
    printer->_send(recordText(134, "lost").c_str());
    returned.store(true);
  });
  // It gives up after its short wait, without its notice lines; it must
  // not wait for the console to take them.
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!returned.load() && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const bool gaveUp = returned.load();
  // Let go before any check: gtest writes through standard output too.
  release.store(true);
  console.join();
  sender.join();
  EXPECT_TRUE(gaveUp) << "the sender waited for the console";
  ASSERT_TRUE(out.waitForLines(119));
  printer.reset();
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 119u);
  for (int i = 0; i < 119; ++i) EXPECT_EQ(lines[static_cast<size_t>(i)], "r" + std::to_string(i));
}

TEST_F(SysLogPrinter, StoppingPrintsWhatIsStillQueued) {
  StdoutCapture out;
  ASSERT_TRUE(out.ok());
  for (int round = 0; round < 5; ++round) {
    auto printer = std::make_unique<SysLogSendStdC>();
    for (int i = 0; i < 100; ++i) printer->_send(recordText(134, "q" + std::to_string(i)).c_str());
    printer.reset();  // at once: the printer has hardly started
  }
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 500u);
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], "q" + std::to_string(i % 100));
}

TEST_F(SysLogPrinter, ARecordAfterTheHolderIsGoneIsDropped) {
  StdoutCapture out;
  ASSERT_TRUE(out.ok());
  ASSERT_TRUE(initialize(LOCAL0, &SysLogSendStdC::send));
  SysLogSendStdC::send(recordText(134, "kept").c_str());
  SysLogSendStd.reset();  // what happens at exit
  SysLogSendStdC::send(recordText(134, "dropped").c_str());
  { SysLogOut late(134); }
  EXPECT_EQ(out.text(), "kept\n");
}

TEST_F(SysLogPrinter, ReplacingThePrinterLosesNothingAlreadyQueued) {
  StdoutCapture out;
  ASSERT_TRUE(out.ok());
  ASSERT_TRUE(initialize(LOCAL0, &SysLogSendStdC::send));
  for (int i = 0; i < 50; ++i) SysLogSendStdC::send(recordText(134, "a" + std::to_string(i)).c_str());
  ASSERT_TRUE(initialize(LOCAL0, &SysLogSendStdC::send));  // a new printer
  for (int i = 0; i < 50; ++i) SysLogSendStdC::send(recordText(134, "b" + std::to_string(i)).c_str());
  SysLogSendStd.reset();
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 100u);
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(lines[static_cast<size_t>(i)], "a" + std::to_string(i));
    EXPECT_EQ(lines[50 + static_cast<size_t>(i)], "b" + std::to_string(i));
  }
}

// At exit the holder is destroyed while other threads may still log.
TEST(SysLogPrinterDeathTest, LoggingWhileTheProcessExitsIsSafe) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        if (std::freopen("/dev/null", "w", stdout) == nullptr) std::exit(3);
        KALMO::SysLog::threshold.store(7);
        initialize(LOCAL0, &SysLogSendStdC::send);
        for (int t = 0; t < 3; ++t) {
          std::thread([] {
            for (;;) KALMO::SysLog::INFO << "late " << 1;
          }).detach();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// Standard output may be a pipe whose reader has gone (a log viewer that was
// closed): the lines are lost, but neither the printer nor a sender waiting
// on a full ring may end the process with SIGPIPE.
TEST(SysLogPrinterDeathTest, AClosedPipeOnStandardOutputDoesNotEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::signal(SIGPIPE, SIG_DFL);
        int ends[2];
        if (::pipe(ends) != 0 || ::dup2(ends[1], 1) != 1) std::exit(3);
        ::close(ends[0]);
        ::close(ends[1]);
        auto printer = std::make_unique<SysLogSendStdC>();
        // The printer held at its first line fills the ring, so this thread
        // writes "wait debug out" itself; then the printer writes the rest.
        flockfile(stdout);
        for (int i = 0; i < 120; ++i) printer->_send(recordText(134, "to nobody").c_str());
        funlockfile(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        printer->_send(recordText(134, "one more").c_str());
        printer.reset();
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
