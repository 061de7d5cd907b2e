// vellora-target-sim as the daemon's discovery client and control channel
// see it over the veth link: its targets, ports, status chains and volume,
// and its commands to vanish, come back, change a chain and the volume. And
// the comparison of a recording with what was played.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "discovery/control.h"
#include "discovery/find.h"
#include "sim/target/target_program.h"
#include "tests/system/system_rig.h"

namespace {

using vellora_system::SystemRig;
using VELLORA::Find;

struct Seen {
  Find::TargetMap targets;
  Find::PortMap ports;
  Find::StatusMap items;
  bool ok = false;
};

Seen discover(SystemRig& rig) {
  Find::Setting s;
  s.productID = 0;
  s.name = "system test";
  Find find(s);
  Seen seen;
  if (!find.open(std::list<std::string>{rig.links().link(0).hostName})) return seen;
  const auto mode = static_cast<Find::MODE>(Find::MODE_PORT_KIND1 | Find::MODE_INDEX_OPTION0);
  seen.ok = find.findTarget(seen.targets) && find.findTarget(seen.targets, seen.ports, mode) &&
            find.findTarget(seen.targets, seen.items);
  return seen;
}

Find::StatusSort chainOf(const Seen& seen, const std::string& portName) {
  Find::StatusSort chain;
  for (const auto& [address, record] : seen.ports) {
    if (record.portName == portName) Find::SortStatus(address, record.portIndex, true, seen.items, chain);
  }
  return chain;
}

TEST(TargetProgram, PresentsTargetsPortsAndChainsAndFollowsCommands) {
  SystemRig rig;
  VELLORA_SETUP_RIG(rig);
  ASSERT_TRUE(rig.startTargets(
      {"--target", "amp", "--product", "7", "--port", "left", "--port", "right", "--linked", "sub", "--volume",
       "-1200"}))
      << rig.targets().err();
  Seen seen = discover(rig);
  ASSERT_TRUE(seen.ok);
  ASSERT_EQ(seen.targets.size(), 1u);
  EXPECT_EQ(seen.targets.begin()->second.targetName, "amp");
  EXPECT_EQ(seen.targets.begin()->second.productID, 7u);
  ASSERT_EQ(seen.ports.size(), 2u);
  // The first port's chain holds its own item and the linked device.
  const Find::StatusSort left = chainOf(seen, "left");
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left.front().ownPort, 1);
  EXPECT_EQ(left.back().itemName, "sub");
  EXPECT_EQ(chainOf(seen, "right").size(), 1u);

  // The volume as the control channel reads it: the chain end's.
  VELLORA::Control control(VELLORA::Control::Setting{"test", ~uint64_t{0}});
  ASSERT_TRUE(control.open());
  ASSERT_TRUE(control.connect(left));
  int16_t volume = 0;
  ASSERT_TRUE(control.getVolume(volume));
  EXPECT_EQ(volume, -1200);
  ASSERT_TRUE(control.setVolume(-3000));
  EXPECT_EQ(rig.targetSummary()["amp:left"]["volume"], "-3000");
  ASSERT_TRUE(rig.targetCommand("volume amp:left -600"));
  ASSERT_TRUE(control.update());
  ASSERT_TRUE(control.getVolume(volume));
  EXPECT_EQ(volume, -600);

  // Vanished: discovery finds nothing; back: the same chain, volume kept.
  ASSERT_TRUE(rig.targetCommand("vanish amp"));
  seen = discover(rig);
  ASSERT_TRUE(seen.ok);
  EXPECT_TRUE(seen.targets.empty());
  ASSERT_TRUE(rig.targetCommand("appear amp"));
  seen = discover(rig);
  ASSERT_TRUE(seen.ok);
  EXPECT_TRUE(chainOf(seen, "left") == left);
  EXPECT_EQ(rig.targetSummary()["amp:left"]["volume"], "-600");

  // A changed chain: one more device behind the first port.
  ASSERT_TRUE(rig.targetCommand("link amp rear"));
  seen = discover(rig);
  EXPECT_EQ(chainOf(seen, "left").size(), 3u);
  EXPECT_EQ(chainOf(seen, "right").size(), 1u);
  ASSERT_TRUE(rig.targetCommand("unlink amp"));
  EXPECT_EQ(chainOf(discover(rig), "left").size(), 1u);

  EXPECT_FALSE(rig.targetCommand("volume amp:left 5"));  // outside 0 .. -6000
  EXPECT_FALSE(rig.targetCommand("vanish nobody"));
}

TEST(TargetProgram, RecordingMatch) {
  const std::vector<uint8_t> played{1, 2, 3, 4, 5, 6, 7, 8};
  struct Case {
    const char* what;
    std::vector<uint8_t> recording;
    bool found;
    bool identical;
    uint64_t offset;
    uint64_t firstDifference;
  };
  const Case cases[] = {
      {"exact", {1, 2, 3, 4, 5, 6, 7, 8}, true, true, 0, 8},
      {"silence around it", {0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0}, true, true, 3, 8},
      {"one byte changed", {0, 1, 2, 3, 4, 5, 9, 7, 8}, false, false, 0, 0},
      {"nothing", {}, false, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const vsim::RecordingMatch m = vsim::matchRecording(played, c.recording);
    EXPECT_EQ(m.found, c.found);
    EXPECT_EQ(m.identical, c.identical);
    if (c.found) {
      EXPECT_EQ(m.offset, c.offset);
      EXPECT_EQ(m.firstDifference, c.firstDifference);
      EXPECT_EQ(m.checksum, vsim::audioChecksum(played.data(), played.size()));
    }
  }
  // Past the start window: a difference late in a long stream and a short
  // recording are both reported with their position.
  std::vector<uint8_t> longPlayed(1000);
  for (size_t i = 0; i < longPlayed.size(); ++i) longPlayed[i] = static_cast<uint8_t>(i % 251 + 1);
  std::vector<uint8_t> rec(5, 0);
  rec.insert(rec.end(), longPlayed.begin(), longPlayed.end());
  rec[5 + 700] ^= 0xFF;
  vsim::RecordingMatch m = vsim::matchRecording(longPlayed, rec);
  EXPECT_TRUE(m.found);
  EXPECT_FALSE(m.identical);
  EXPECT_EQ(m.firstDifference, 700u);
  EXPECT_NE(vsim::describeMatch(longPlayed, m).find("first difference at byte 700"), std::string::npos);
  rec.assign(5, 0);
  rec.insert(rec.end(), longPlayed.begin(), longPlayed.begin() + 600);
  m = vsim::matchRecording(longPlayed, rec);
  EXPECT_FALSE(m.identical);
  EXPECT_EQ(m.compared, 600u);
  EXPECT_EQ(m.firstDifference, 600u);
}

// Two targets on one discovery address would look like one target to the
// daemon (its targets are keyed by address), which would then make cards
// for the ports of only one of them, without an error. The program refuses
// such a layout and names the targets, whether the shared address was
// given or is the device's own.
TEST(TargetProgram, RefusesTargetsThatShareAnAddress) {
  SystemRig rig;
  VELLORA_SETUP_RIG(rig);
  const std::string device = rig.links().link(0).hostName;
  struct Case {
    const char* what;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"neither has an address", {"--target", "a", "--port", "p", "--target", "b", "--port", "q"}},
      {"the same address given twice",
       {"--target", "a", "--address", "fe80::7:7", "--port", "p", "--target", "b", "--address", "fe80::7:7",
        "--port", "q"}},
      {"the third of three without one",
       {"--target", "a", "--port", "p", "--target", "b", "--address", "fe80::7:8", "--port", "q", "--target",
        "c", "--port", "r"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> argv{SystemRig::program("vellora-target-sim"), "--device", device};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::string out, err;
    const int status = rig.run(argv, {}, &out, &err, std::chrono::seconds(10));
    EXPECT_EQ(status, 1) << out << err;
    EXPECT_EQ(out.find("ready"), std::string::npos) << out;
    EXPECT_NE(err.find("share the address"), std::string::npos) << err;
    EXPECT_NE(err.find("--address"), std::string::npos) << err;
  }
}

}  // namespace
