#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "host/bridge_driver.h"
#include "host/sync_mem_control.h"
#include "sim/driver/sim_card.h"
#include "sim/driver/sim_dir.h"
#include "sim/driver/sim_driver.h"

namespace {

using vsim::Req;

constexpr uint32_t RING = 4096;

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

class SimDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.ok());
    control = driver.openControl();
    ASSERT_GE(control, 0);
  }
  void TearDown() override {
    if (control >= 0) driver.close(control);
  }
  vsim::SimDirectory dir;
  vsim::SimDriver driver{dir.path()};
  int control = -1;
};

TEST_F(SimDriverTest, ControlRequestsAnswerAsTheDriver) {
  EXPECT_EQ(driver.probe(control), 0);
  EXPECT_EQ(driver.create(control, RING), 0);
  EXPECT_EQ(driver.create(control, RING), 1);

  // A created card's device opens at once and holds ring + block.
  struct stat st{};
  ASSERT_EQ(::stat(driver.cardPath(1).c_str(), &st), 0);
  EXPECT_EQ(st.st_size, static_cast<off_t>(RING + SYNC_MEM_CONTROL_SIZE));
  const int card = driver.openCard(1);
  ASSERT_GE(card, 0);
  driver.close(card);

  EXPECT_EQ(driver.remove(control, 0), 0);
  EXPECT_FALSE(exists(driver.cardPath(0)));
  // The freed number is handed out again.
  EXPECT_EQ(driver.create(control, RING), 0);
  EXPECT_EQ(driver.kill(control), 0);
  EXPECT_FALSE(exists(driver.cardPath(0)));
  EXPECT_FALSE(exists(driver.cardPath(1)));
  EXPECT_LT(driver.create(control, 0), 0) << "a ring of 0 bytes is the last request, not a card";

  const std::vector<Req> kinds = {Req::Probe, Req::Create, Req::Create, Req::Remove,
                                  Req::Create, Req::Kill, Req::Remove};
  const auto recs = driver.requests();
  ASSERT_EQ(recs.size(), kinds.size());
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    EXPECT_EQ(recs[i].kind, kinds[i]) << i << " " << vsim::reqName(recs[i].kind);
  }
  EXPECT_EQ(recs[1].arg, RING);
  EXPECT_EQ(recs[3].card, 0);
}

TEST_F(SimDriverTest, CardRequestsCountInTheReservedBytes) {
  ASSERT_EQ(driver.create(control, RING), 0);
  const int card = driver.openCard(0);
  ASSERT_GE(card, 0);
  uint8_t* base = driver.map(card, RING + SYNC_MEM_CONTROL_SIZE);
  ASSERT_NE(base, nullptr);
  auto* block = reinterpret_cast<SyncMemControl*>(base + RING);
  cardStore(block->hostStatus, HOST_STATUS_READY);

  EXPECT_EQ(driver.wakeup(card, 0), 0);
  EXPECT_EQ(driver.attach(card, 0), 0);
  EXPECT_EQ(driver.notify(card, 0), 0);
  EXPECT_EQ(driver.notify(card, 0), 0);
  // Requests for another card number, or of unknown kind, are refused.
  EXPECT_LT(driver.wakeup(card, 1), 0);
  EXPECT_LT(driver.request(card, bridgeRequestNumber(0), 7), 0);
  EXPECT_LT(driver.request(card, VELLORA_BR_INIT, 0), 0);

  // The application's side sees the counters and the attach.
  vsim::SimCard app;
  ASSERT_TRUE(app.open(0, dir.path()));
  EXPECT_TRUE(app.attached());
  EXPECT_EQ(app.wakeups(), 1u);
  EXPECT_EQ(app.notifies(), 2u);
  EXPECT_EQ(app.hostStatus(), HOST_STATUS_READY);

  const auto recs = driver.requests();
  ASSERT_GE(recs.size(), 2u);
  EXPECT_EQ(recs[1].kind, Req::Wakeup);
  EXPECT_EQ(recs[1].hostStatus, HOST_STATUS_READY);
  EXPECT_TRUE(recs[1].daemonMapped);

  driver.unmap(base, RING + SYNC_MEM_CONTROL_SIZE);
  EXPECT_EQ(driver.wakeup(card, 0), 0);
  EXPECT_FALSE(driver.requests().back().daemonMapped);
  driver.close(card);
  EXPECT_EQ(driver.openDescriptors(), 1);  // the control device
  EXPECT_EQ(driver.liveMappings(), 0);

  // Removing the card tells the application that still maps it.
  EXPECT_EQ(driver.remove(control, 0), 0);
  EXPECT_TRUE(app.removed());
}

TEST_F(SimDriverTest, RefusesWhatNoDriverWouldMap) {
  ASSERT_EQ(driver.create(control, RING), 0);
  EXPECT_LT(driver.openCard(1), 0);
  EXPECT_LT(driver.openCard(-1), 0);
  EXPECT_LT(driver.openCard(BRIDGE_CARD_MAX + 1), 0);
  const int card = driver.openCard(0);
  ASSERT_GE(card, 0);
  EXPECT_EQ(driver.map(card, RING + SYNC_MEM_CONTROL_SIZE + 1), nullptr);
  EXPECT_EQ(driver.map(control, 16), nullptr);
  EXPECT_LT(driver.request(12345, VELLORA_BR_INIT, 0), 0);
  driver.close(card);
}

// A streaming daemon makes about 155 requests a second: the record counts
// every one by kind but keeps only the last ones, oldest first.
TEST_F(SimDriverTest, TheRecordIsBoundedAndStillCountsEveryRequest) {
  ASSERT_EQ(driver.create(control, RING), 0);
  const int card = driver.openCard(0);
  ASSERT_GE(card, 0);
  const std::size_t kept = vsim::SimDriver::kRecentRequests;
  const struct {
    std::size_t notifies;
    std::size_t held;  // records kept afterwards
  } rounds[] = {{10, 12}, {kept, kept}, {2 * kept + 5, kept}};
  std::size_t notifies = 0;
  for (const auto& r : rounds) {
    for (std::size_t i = 0; i < r.notifies; ++i) ASSERT_EQ(driver.notify(card, 0), 0);
    notifies += r.notifies;
    // One of another kind, so the newest record can be told apart.
    ASSERT_EQ(driver.wakeup(card, 0), 0);
    SCOPED_TRACE(notifies);
    const auto recs = driver.requests();
    EXPECT_EQ(recs.size(), std::min(r.held, kept));
    EXPECT_EQ(recs.back().kind, Req::Wakeup);
    EXPECT_EQ(driver.count(Req::Notify), static_cast<int>(notifies));
    EXPECT_EQ(driver.count(Req::Create), 1);
    EXPECT_EQ(driver.total(), static_cast<long>(notifies + (&r - rounds) + 2));
  }
  driver.close(card);
}

TEST_F(SimDriverTest, FailsChosenRequests) {
  ASSERT_EQ(driver.create(control, RING), 0);
  const int card = driver.openCard(0);
  ASSERT_GE(card, 0);
  driver.failRequest(Req::Notify, -5, 2);
  EXPECT_EQ(driver.notify(card, 0), -5);
  EXPECT_EQ(driver.notify(card, 0), -5);
  EXPECT_EQ(driver.notify(card, 0), 0);
  driver.failRequest(Req::Wakeup, 1, -1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(driver.wakeup(card, 0), 1);

  vsim::SimCard app;
  ASSERT_TRUE(app.open(0, dir.path()));
  EXPECT_EQ(app.notifies(), 1u) << "failed requests have no effect";
  EXPECT_EQ(app.wakeups(), 0u);
  driver.close(card);
}

TEST_F(SimDriverTest, HoldsChosenRequests) {
  ASSERT_EQ(driver.create(control, RING), 0);
  const int card = driver.openCard(0);
  ASSERT_GE(card, 0);
  driver.holdRequest(Req::Notify);
  std::atomic<bool> done{false};
  std::thread t([&] {
    driver.notify(card, 0);
    done = true;
  });
  ASSERT_TRUE(driver.waitHeld(Req::Notify, 1, 5000));
  // Other kinds pass while one is held.
  EXPECT_EQ(driver.wakeup(card, 0), 0);
  EXPECT_FALSE(done.load());
  driver.releaseRequest(Req::Notify);
  t.join();
  EXPECT_TRUE(done.load());
  EXPECT_EQ(driver.count(Req::Notify), 1);
  driver.close(card);
}

TEST(SimDriverEnvironment, FailuresChosenByTheEnvironment) {
  vsim::SimDirectory dir;
  ASSERT_TRUE(dir.ok());
  ::setenv("VELLORA_SIM_FAIL", "notify:1,attach,bogus", 1);
  vsim::SimDriver driver(dir.path());
  ::unsetenv("VELLORA_SIM_FAIL");
  const int control = driver.openControl();
  ASSERT_EQ(driver.create(control, RING), 0);
  const int card = driver.openCard(0);
  EXPECT_LT(driver.notify(card, 0), 0);
  EXPECT_EQ(driver.notify(card, 0), 0);
  EXPECT_LT(driver.attach(card, 0), 0);
  EXPECT_LT(driver.attach(card, 0), 0);
  EXPECT_EQ(driver.wakeup(card, 0), 0);
  driver.close(card);
  driver.close(control);
}

TEST(SimDriverDirectory, DefaultsToSharedMemory) {
  ::unsetenv("VELLORA_SIM_DIR");
  EXPECT_EQ(vsim::simDir(), "/dev/shm/vellora-sim");
  ::setenv("VELLORA_SIM_DIR", "/tmp/elsewhere", 1);
  EXPECT_EQ(vsim::simDir(), "/tmp/elsewhere");
  ::unsetenv("VELLORA_SIM_DIR");
}

TEST_F(SimDriverTest, ApplicationWritesFollowThePeriodSizeRule) {
  ASSERT_EQ(driver.create(control, RING), 0);
  vsim::SimCard app;
  ASSERT_TRUE(app.open(0, dir.path()));
  EXPECT_EQ(app.ringBytes(), RING);
  SyncMemControl& b = app.block();

  EXPECT_FALSE(app.hwParams(0x2, 0x4, 0x2, RING + 8, 4)) << "buffer larger than the ring";
  EXPECT_FALSE(app.hwParams(0x2, 0x4, 0x2, 1000, 0));
  EXPECT_FALSE(app.hwParams(0x2, 0x4, 0x2, 0, 4));
  EXPECT_FALSE(app.hwParams(0x2, 0x4, 0x2, 3, 4)) << "periods of 0 bytes";
  ASSERT_TRUE(app.hwParams(0x2, 0x4, 0x2, 1000, 4));
  app.openSubstream();
  EXPECT_EQ(cardLoad(b.memStatus), MEM_STATUS_OPEN);
  app.prepare();
  EXPECT_EQ(cardLoad(b.memStatus), MEM_STATUS_OPEN | MEM_STATUS_PREPARED);

  std::vector<uint8_t> data(1000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(app.write(data.data(), 600));
  ASSERT_TRUE(app.write(data.data() + 600, 250));
  ASSERT_TRUE(app.write(data.data(), 300));  // wraps at bufferBytes
  EXPECT_FALSE(app.write(data.data(), 1001));
  EXPECT_EQ(cardLoad(b.periodSeq), 3u);
  EXPECT_EQ(cardLoad(b.writeTotal), 1150u);
  EXPECT_EQ(cardLoad(b.writePos), 150u);
  EXPECT_EQ(b.periodSizes[0], 600u);
  EXPECT_EQ(b.periodSizes[1], 250u);
  EXPECT_EQ(b.periodSizes[2], 300u);
  EXPECT_EQ(app.ring()[850], data[0]);
  EXPECT_EQ(app.ring()[999], data[149]);
  EXPECT_EQ(app.ring()[0], data[150]);

  app.start();
  EXPECT_EQ(cardLoad(b.memStatus), MEM_STATUS_OPEN | MEM_STATUS_PREPARED | MEM_STATUS_RUNNING);
  app.stop();
  EXPECT_EQ(cardLoad(b.memStatus), MEM_STATUS_OPEN | MEM_STATUS_PREPARED);
  // A new prepare starts the write counters from zero.
  app.prepare();
  EXPECT_EQ(cardLoad(b.periodSeq), 0u);
  EXPECT_EQ(cardLoad(b.writeTotal), 0u);
  EXPECT_EQ(cardLoad(b.writePos), 0u);
  app.hwFree();
  EXPECT_EQ(cardLoad(b.memStatus), MEM_STATUS_OPEN);
  app.closeSubstream();
  EXPECT_EQ(cardLoad(b.memStatus), 0u);
}

}  // namespace
