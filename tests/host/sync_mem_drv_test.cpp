#include "host/sync_mem_drv.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/syslog.h"
#include "sim/driver/sim_dir.h"
#include "sim/driver/sim_driver.h"

namespace {

using vsim::Req;

constexpr uint32_t RING = 4 * 1024;

template <typename Pred>
bool eventually(Pred pred, int ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class Binding : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.ok());
    control = driver.openControl();
    ASSERT_GE(control, 0);
    card = static_cast<int>(driver.create(control, RING));
    ASSERT_EQ(card, 0);
  }
  void TearDown() override { driver.close(control); }
  std::unique_ptr<SyncMemDrv> node() {
    auto n = std::make_unique<SyncMemDrv>(driver);
    n->alsaSetting.periodMax = 4;
    n->alsaSetting.periodSizeMax = 1024;
    n->alsaSetting.periodMin = 2;
    n->alsaSetting.periodSizeMin = 8;
    return n;
  }
  std::vector<Req> kindsAfterCreate() const {
    std::vector<Req> kinds;
    for (const auto& r : driver.requests()) {
      if (r.kind != Req::Create) kinds.push_back(r.kind);
    }
    return kinds;
  }

  vsim::SimDirectory dir;
  vsim::SimDriver driver{dir.path()};
  int control = -1;
  int card = -1;
  std::atomic<bool> stop{false};
};

TEST_F(Binding, OpenFillsTheBlockAndWakesBeforeTheAttach) {
  auto n = node();
  const std::string longName(80, 'x');
  ASSERT_TRUE(n->openMem(card, longName, "Port", -1, -1, &stop));
  EXPECT_EQ(n->getMemNo(), card);
  const auto recs = driver.requests();
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(recs[1].kind, Req::Wakeup);
  EXPECT_EQ(recs[1].hostStatus, HOST_STATUS_READY);
  EXPECT_EQ(recs[1].number, bridgeRequestNumber(0));
  EXPECT_EQ(recs[2].kind, Req::Attach);

  const SyncMemControl& b = *n->controlBlock;
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(&b), n->mapBase + RING);
  EXPECT_EQ(std::string(b.targetName), std::string(63, 'x'));
  EXPECT_EQ(std::string(b.portName), "Port");
  EXPECT_EQ(b.periodMax, 4);
  EXPECT_EQ(b.periodMin, 2);
  EXPECT_EQ(b.periodSizeMax, 1024);
  EXPECT_EQ(b.periodSizeMin, 8);
  EXPECT_EQ(b.volume, 0) << "no volume from a target without a control channel";
  EXPECT_FALSE(stop.load());
}

TEST_F(Binding, CloseWakesWithStatusZeroThenReleasesEverything) {
  auto n = node();
  ASSERT_TRUE(n->openMem(card, "T", "P", -1, -1, &stop));
  EXPECT_EQ(driver.openDescriptors(), 2);
  EXPECT_EQ(driver.liveMappings(), 1);
  n->close();
  const auto recs = driver.requests();
  ASSERT_EQ(recs.back().kind, Req::Wakeup);
  EXPECT_EQ(recs.back().hostStatus, HOST_STATUS_CLOSED);
  EXPECT_TRUE(recs.back().daemonMapped) << "the wake-up comes before the unmapping";
  EXPECT_EQ(driver.openDescriptors(), 1);
  EXPECT_EQ(driver.liveMappings(), 0);
  EXPECT_EQ(n->cardFd, -1);

  const std::size_t before = driver.requests().size();
  n->close();
  n.reset();
  EXPECT_EQ(driver.requests().size(), before) << "a second close and the destructor do nothing";
}

TEST_F(Binding, DestructorClosesABoundCard) {
  {
    auto n = node();
    ASSERT_TRUE(n->openMem(card, "T", "P", -1, -1, &stop));
  }
  EXPECT_EQ(driver.requests().back().kind, Req::Wakeup);
  EXPECT_EQ(driver.requests().back().hostStatus, HOST_STATUS_CLOSED);
  EXPECT_EQ(driver.openDescriptors(), 1);
  EXPECT_EQ(driver.liveMappings(), 0);
}

TEST_F(Binding, FailedOpenLeavesNothingBehind) {
  const struct {
    const char* name;
    int memNo;
    uint32_t sizeMax;  // periodSizeMax of the node: another ring than the card's
    bool failAttach;
    std::vector<Req> requests;
  } cases[] = {
      {"no such card", 5, 1024, false, {}},
      {"mapping larger than the card", 0, 2048, false, {}},
      {"attach refused", 0, 1024, true, {Req::Wakeup, Req::Attach}},
  };
  for (const auto& c : cases) {
    if (c.failAttach) driver.failRequest(Req::Attach, -1, 1);
    const std::size_t before = driver.requests().size();
    {
      auto n = node();
      n->alsaSetting.periodSizeMax = static_cast<int32_t>(c.sizeMax);
      EXPECT_FALSE(n->openMem(c.memNo, "T", "P", -1, -1, &stop)) << c.name;
      EXPECT_EQ(n->cardFd, -1) << c.name;
      EXPECT_EQ(driver.openDescriptors(), 1) << c.name;
      EXPECT_EQ(driver.liveMappings(), 0) << c.name;
      n->notify();
      n->close();
    }
    const auto recs = driver.requests();
    std::vector<Req> kinds;
    for (std::size_t i = before; i < recs.size(); ++i) kinds.push_back(recs[i].kind);
    EXPECT_EQ(kinds, c.requests) << c.name << ": close, notify and the destructor send nothing";
  }
}

TEST_F(Binding, NotificationsAskedDuringARequestMergeIntoOne) {
  auto n = node();
  n->notify();  // before the binding: nothing
  ASSERT_TRUE(n->openMem(card, "T", "P", -1, -1, &stop));
  EXPECT_EQ(driver.count(Req::Notify), 0);

  driver.holdRequest(Req::Notify);
  n->notify();
  ASSERT_TRUE(driver.waitHeld(Req::Notify, 1, 5000));
  for (int i = 0; i < 3; ++i) n->notify();
  driver.releaseRequest(Req::Notify);
  ASSERT_TRUE(eventually([&] { return driver.count(Req::Notify) == 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(driver.count(Req::Notify), 2);

  // Many in a row merge into at most as many requests, and the last one
  // is never lost.
  for (int i = 0; i < 200; ++i) n->notify();
  EXPECT_TRUE(eventually([&] { return driver.count(Req::Notify) >= 3; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_LE(driver.count(Req::Notify), 202);
  const int after = driver.count(Req::Notify);
  n->notify();
  EXPECT_TRUE(eventually([&] { return driver.count(Req::Notify) > after; }));
  EXPECT_FALSE(stop.load());
}

TEST_F(Binding, FailingNotifyEndsTheThreadAndRaisesTheStopFlag) {
  auto n = node();
  ASSERT_TRUE(n->openMem(card, "T", "P", -1, -1, &stop));
  driver.failRequest(Req::Notify, -1, 1);
  n->notify();
  ASSERT_TRUE(eventually([&] { return stop.load(); }));
  EXPECT_TRUE(eventually([&] { return !n->running.load(); }));
  n->notify();  // the thread has ended: nothing more is sent
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(driver.count(Req::Notify), 1);
  n->close();
  EXPECT_EQ(driver.liveMappings(), 0);
}

TEST_F(Binding, FailingWakeupRaisesTheStopFlag) {
  auto n = node();
  driver.failRequest(Req::Wakeup, 2, 1);
  ASSERT_TRUE(n->openMem(card, "T", "P", -1, -1, &stop)) << "a failed wake-up changes no state";
  EXPECT_TRUE(stop.load());
  EXPECT_GE(n->cardFd, 0);
}

// Ids of the threads of this process.
std::set<pid_t> threadIds() {
  std::set<pid_t> ids;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
    ids.insert(static_cast<pid_t>(std::stol(e.path().filename().string())));
  }
  return ids;
}

// The notify thread runs in the idle class, pinned to the CpuOther range
// when there is one and otherwise where its creator may run.
TEST_F(Binding, NotifyThreadRunsPinnedOrNot) {
  cpu_set_t mine;
  ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof mine, &mine), 0);
  int first = 0;
  while (first < CPU_SETSIZE && !CPU_ISSET(first, &mine)) ++first;
  ASSERT_LT(first, CPU_SETSIZE);
  const bool secondToo = first + 1 < CPU_SETSIZE && CPU_ISSET(first + 1, &mine);
  auto only = [](std::vector<int> cpus) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int c : cpus) CPU_SET(c, &set);
    return set;
  };
  const struct {
    const char* name;
    int cpuOther, rangeOther;
    cpu_set_t runsOn;
  } cases[] = {
      {"no range", -1, -1, mine},
      {"one CPU", first, 1, only({first})},
      {"two CPUs", first, 2, secondToo ? only({first, first + 1}) : mine},
      {"count 0", first, 0, mine},
      {"first CPU without a count", first, -1, mine},
  };
  for (const auto& c : cases) {
    if (c.rangeOther == 2 && !secondToo) continue;  // not allowed to run there
    auto n = node();
    const int before = driver.count(Req::Notify);
    const std::set<pid_t> others = threadIds();
    ASSERT_TRUE(n->openMem(card, "T", "P", c.cpuOther, c.rangeOther, &stop)) << c.name;
    std::set<pid_t> started = threadIds();
    for (pid_t t : others) started.erase(t);
    // The notify thread, and maybe a helper of the sanitizer's: the one that
    // takes the idle class, after its CPUs and before its first request.
    pid_t thread = -1;
    EXPECT_TRUE(eventually(
        [&] {
          for (pid_t t : started) {
            if (sched_getscheduler(t) == SCHED_IDLE) thread = t;
          }
          return thread != -1;
        },
        10000))
        << c.name;
    ASSERT_NE(thread, -1) << c.name;
    cpu_set_t runsOn;
    ASSERT_EQ(sched_getaffinity(thread, sizeof runsOn, &runsOn), 0) << c.name;
    EXPECT_TRUE(CPU_EQUAL(&runsOn, &c.runsOn)) << c.name;
    n->notify();
    EXPECT_TRUE(eventually([&] { return driver.count(Req::Notify) > before; }, 10000)) << c.name;
    n->close();
  }
  EXPECT_FALSE(stop.load());
}

TEST_F(Binding, MemStatusOpenIsTheOpenBit) {
  auto n = node();
  EXPECT_FALSE(n->isMemStatusOpen()) << "no card bound";
  ASSERT_TRUE(n->openMem(card, "T", "P", -1, -1, &stop));
  const struct {
    uint32_t memStatus;
    bool open;
  } cases[] = {
      {0, false},
      {MEM_STATUS_OPEN, true},
      {MEM_STATUS_OPEN | MEM_STATUS_PREPARED | MEM_STATUS_RUNNING, true},
      {MEM_STATUS_PREPARED | MEM_STATUS_RUNNING, false},
      {~MEM_STATUS_OPEN, false},
      {0xFFFFFFFF, true},
  };
  for (const auto& c : cases) {
    cardStore(n->controlBlock->memStatus, c.memStatus);
    EXPECT_EQ(n->isMemStatusOpen(), c.open) << std::hex << c.memStatus;
  }
  n->close();
  EXPECT_FALSE(n->isMemStatusOpen()) << "the card is gone";
}

}  // namespace

namespace handover {

// A logger callback that holds the notify thread inside its error record
// until the test lets go: the thread is then stuck at a point where it could
// hold whatever it shares with notify(), as an idle-class thread crowded out
// by busier ones is.
std::atomic<bool> holding{false};
std::atomic<bool> held{false};

void holdingCallback(const char* record) {
  if (std::strstr(record, "thread_notify_func ioctl error") == nullptr) return;
  held.store(true);
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (holding.load() && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace handover

TEST_F(Binding, NotifyNeverWaitsForAStalledNotifyThread) {
  handover::holding = true;
  handover::held = false;
  KALMO::SysLog::initialize(KALMO::SysLog::LOCAL0, &handover::holdingCallback);
  KALMO::SysLog::threshold = 6;
  auto n = node();
  ASSERT_TRUE(n->openMem(card, "T", "P", -1, -1, &stop));
  driver.failRequest(Req::Notify, -1, 1);
  n->notify();
  const bool stalled = eventually([] { return handover::held.load(); });

  // The buffer worker's call, made while the notify thread is stalled.
  std::atomic<bool> returned{false};
  const auto start = std::chrono::steady_clock::now();
  std::thread worker([&] {
    n->notify();
    returned.store(true);
  });
  const bool quick = eventually([&] { return returned.load(); }, 1000);
  const auto took = std::chrono::steady_clock::now() - start;
  handover::holding = false;
  worker.join();
  n->close();
  KALMO::SysLog::threshold = -1;
  KALMO::SysLog::finalize();
  ASSERT_TRUE(stalled);
  EXPECT_TRUE(quick) << "notify() waited "
                     << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                     << " ms for the notify thread";
}

// Every notify() made while the thread runs leads to a request, also when
// each comes just as the thread finishes the one before and goes to sleep:
// no wake-up may be lost between its test of the flags and its wait.
TEST_F(Binding, NoNotificationIsLostBetweenTheTestAndTheWait) {
  auto n = node();
  ASSERT_TRUE(n->openMem(card, "T", "P", -1, -1, &stop));
  int lost = 0;
  for (int i = 0; i < 2000; ++i) {
    const int before = driver.count(Req::Notify);
    n->notify();
    // Every few rounds the next one comes at once, the others after a
    // varying pause, to meet the thread at every point of its loop.
    if (i % 7 != 0) std::this_thread::sleep_for(std::chrono::microseconds(i % 50));
    if (!eventually([&] { return driver.count(Req::Notify) > before; }, 2000)) ++lost;
  }
  EXPECT_EQ(lost, 0);
  n->close();
  EXPECT_FALSE(stop.load());
}

// close() ends the thread whatever it is doing: waiting, in a request, or
// being asked for more from another thread at the same moment.
TEST_F(Binding, CloseJoinsTheNotifyThreadWhileNotificationsKeepComing) {
  for (int round = 0; round < 20; ++round) {
    auto n = node();
    ASSERT_TRUE(n->openMem(card, "T", "P", -1, -1, &stop));
    std::atomic<bool> done{false};
    std::thread worker([&] {
      while (!done.load()) n->notify();
    });
    std::this_thread::sleep_for(std::chrono::microseconds(200 * (round % 5)));
    const auto start = std::chrono::steady_clock::now();
    n->close();
    const auto took = std::chrono::steady_clock::now() - start;
    done = true;
    worker.join();
    EXPECT_FALSE(n->notifyThread.joinable());
    EXPECT_LT(took, std::chrono::seconds(2)) << "round " << round;
    const int after = driver.count(Req::Notify);
    n->notify();  // after close: nothing
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(driver.count(Req::Notify), after);
    card = static_cast<int>(driver.create(control, RING));
    ASSERT_GE(card, 0);
  }
  EXPECT_FALSE(stop.load());
}
