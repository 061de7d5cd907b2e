// Hostile input for discovery: random status-item maps through the status
// chain builder, and a stand-in target that answers every query of the
// discovery client and the control channel with random content (counts,
// ranges, sizes, payloads, stray datagrams before the answer) for a bounded
// number of rounds. Fixed seeds, so a failure is repeatable; what is checked
// is what must hold for any answer: bounded results, consistent records,
// no sanitizer report.
#include "discovery/control.h"
#include "discovery/find.h"
#include "discovery/icon.h"
#include "tests/discovery/manage_fixture.h"
#include "tests/common/seeded_rng.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace disc_test {
namespace {

using VELLORA::Control;
using VELLORA::Icon;

using Rng = vtest::SeededRng;

// ------------------------------------------------------------ status chains

// Endpoints from a small pool, so items link to each other often.
KALMO::IPAddress poolAddress(Rng& rng) {
  static const char* const hosts[] = {"::1", "fe80::1", "fe80::2", "fe80::3", "::"};
  KALMO::IPAddress a = vsim::ipv6(hosts[rng.below(5)], static_cast<uint16_t>(rng.below(4)), rng.below(3));
  return a;
}

TEST(HostileStatusChain, RandomItemMapsGiveConsistentChains) {
  Rng rng(0x50a7);
  int linkedSeen = 0;  // the sweep must reach the linking passes too
  for (int round = 0; round < 3000; ++round) {
    // The port first; then items that are, mostly, own items of it or
    // devices linked to an item made before, with random ones among them.
    const KALMO::IPAddress port = poolAddress(rng);
    const auto portIndex = static_cast<uint16_t>(rng.below(4));
    const bool kind1 = rng.chance(70);
    Find::StatusMap items;
    std::vector<std::pair<KALMO::IPAddress, uint16_t>> made;
    const int n = static_cast<int>(rng.below(16));
    for (int i = 0; i < n; ++i) {
      Find::TargetStatusInfo item;
      item.index = static_cast<uint16_t>(rng.below(4));
      item.kind = static_cast<uint16_t>(rng.chance(80) ? rng.below(3) : rng.next());
      item.linkAddress = poolAddress(rng);
      item.linkAddress.port = htons(static_cast<uint16_t>(rng.below(4)));
      item.itemName = "i" + std::to_string(i);
      KALMO::IPAddress key = poolAddress(rng);
      const uint32_t shape = rng.below(10);
      if (shape < 3) {  // own item
        key = port;
        key.port = htons(static_cast<uint16_t>(1000 + i));
        item.kind = kind1 ? 1 : 2;
        item.linkAddress = vsim::ipv6("::1", rng.chance(80) ? portIndex : static_cast<uint16_t>(rng.below(4)));
      } else if (shape < 8 && !made.empty()) {  // hangs on an item made before
        const auto& [on, onIndex] = made[rng.below(static_cast<uint32_t>(made.size()))];
        item.kind = 0;
        item.linkAddress = on;
        item.linkAddress.port = htons(onIndex);
        key.interfaceIndex = rng.chance(80) ? port.interfaceIndex : key.interfaceIndex;
      }
      if (rng.chance(20)) key.port = htons(static_cast<uint16_t>(rng.next()));
      items[key] = item;
      made.emplace_back(key, item.index);
    }
    Find::StatusSort chain;
    chain.push_back(Find::StatusSortSt{});  // cleared first
    Find::SortStatus(port, portIndex, kind1, items, chain);

    ASSERT_LE(chain.size(), items.size());
    std::set<KALMO::IPAddress> seen;
    // A chain starts with an own item; linked items sit right behind
    // what they hang on, so they may come between own items.
    if (!chain.empty()) {
      EXPECT_EQ(chain.front().ownPort, 1) << "round " << round;
    }
    for (auto e = chain.begin(); e != chain.end(); ++e) {
      const auto item = items.find(e->controlAddress);
      ASSERT_NE(item, items.end()) << "round " << round;
      EXPECT_TRUE(seen.insert(e->controlAddress).second) << "round " << round << ": an item twice";
      EXPECT_EQ(e->itemName, item->second.itemName);
      EXPECT_EQ(e->kind, item->second.kind);
      EXPECT_EQ(chain.find(e->controlAddress)->itemName, e->itemName);
      if (e->ownPort) {
        EXPECT_EQ(e->kind, kind1 ? 1 : 2);
        continue;
      }
      ++linkedSeen;
      EXPECT_EQ(e->kind, 0);
      // A linked item hangs on an element before it, which is then no
      // chain end (an equal element inserted later may still be one).
      bool hangs = false;
      for (auto n2 = chain.begin(); n2 != e; ++n2) {
        hangs = hangs || (n2->chainEnd == 0 && n2->index == ntohs(e->linkAddress.port) &&
                          std::memcmp(n2->controlAddress.address, e->linkAddress.address, 16) == 0);
      }
      EXPECT_TRUE(hangs) << "round " << round;
    }
    for (const auto& e : chain) {
      if (e.chainEnd != 0) continue;
      bool linked = false;
      for (const auto& other : chain) {
        linked = linked || (!other.ownPort && other.linkAddress.isLoopback() == false &&
                            std::memcmp(other.linkAddress.address, e.controlAddress.address, 16) == 0 &&
                            ntohs(other.linkAddress.port) == e.index);
      }
      EXPECT_TRUE(linked) << "round " << round << ": a chain end cleared without a link";
    }
    EXPECT_EQ(chain.find(vsim::ipv6("2001::9", 9)), chain.end());
  }
  EXPECT_GT(linkedSeen, 100);
}

// ------------------------------------------------------------ random target

// A target endpoint whose every answer is random but well enough formed to
// be taken: mostly the right code and STATUS_ACK, the asked index echoed,
// small counts and ranges (now and then huge ones), payloads of every size.
class HostileTarget : public ManageTest {
 protected:
  void SetUp() override {
    ManageTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    engine.onEndpoint(ep, [this](vsim::TargetSim& sim, const vsim::Datagram& d) { return answer(sim, d); });
  }

  bool answer(vsim::TargetSim& sim, const vsim::Datagram& d) {
    if (!d.valid) return true;
    std::lock_guard<std::mutex> lock(mu);
    if (rng.chance(5)) {
      std::vector<uint8_t> stray(rng.below(64));
      for (uint8_t& b : stray) b = static_cast<uint8_t>(rng.next());
      if (stray.size() >= 2 && rng.chance(70)) stray[0] = 100, stray[1] = 0;
      sim.send(ep, d.sender, stray);
    }
    if (rng.chance(1)) return sim.send(ep, d.sender, d.bytes), true;  // an echo
    vsim::Answer a;
    a.status = rng.chance(92) ? static_cast<VELLORA::StatusID>(VELLORA::STATUS_ACK | (rng.next() & 0xFFFE))
                              : static_cast<VELLORA::StatusID>(rng.next() & 0xFFFE);
    uint16_t o[4] = {static_cast<uint16_t>(rng.next()), static_cast<uint16_t>(rng.next()),
                     static_cast<uint16_t>(rng.next()), static_cast<uint16_t>(rng.next())};
    const auto small = [&](uint32_t n) {
      return static_cast<uint16_t>(rng.chance(97) ? rng.below(n) : rng.next());
    };
    if (rng.chance(75)) o[0] = d.option0();
    const bool countQuery = d.option0() == 0 && d.option1() == 0;
    switch (d.code) {
      case VELLORA::PORT_REQ:
        if (rng.chance(60)) o[1] = d.option1();
        if (countQuery) {
          o[0] = small(6);
          o[1] = small(6);
          o[2] = static_cast<uint16_t>(rng.chance(60) ? d.option2() : rng.below(6));
        } else {
          o[2] = rng.chance(60) ? vsim::portOf(target) : 0;  // a port we answer on, or none
          o[3] = small(3);
        }
        break;
      case VELLORA::STATUSITEM_REQ:
        if (countQuery) o[0] = small(6);
        o[1] = small(3);
        o[2] = rng.chance(60) ? vsim::portOf(target) : o[2];
        o[3] = small(3);
        break;
      case VELLORA::CONTROLITEM_REQ:
        if (countQuery) o[0] = small(6);
        o[1] = small(4);
        break;
      case VELLORA::TARGETSETTING_REQ:
      case VELLORA::SINKSETTING_REQ:
        if (countQuery) o[0] = small(5);
        o[1] = small(9);
        o[2] = small(4);
        o[3] = small(7);
        break;
      case VELLORA::INFOMATION_REQ:
        o[2] = small(5);
        break;
      case VELLORA::ICON0_REQ:
      case VELLORA::ICON1_REQ:
      case VELLORA::ICON2_REQ:
        if (d.option1() == 0) {  // the header
          o[1] = small(24);
          o[2] = small(24);
          o[3] = small(4);
        }
        break;
      default:
        break;
    }
    a.option = uint64_t{o[0]} | (uint64_t{o[1]} << 16) | (uint64_t{o[2]} << 32) | (uint64_t{o[3]} << 48);
    const uint32_t shape = rng.below(100);
    size_t n = shape < 20 ? 0 : shape < 55 ? rng.below(40) : shape < 65 ? 16 + rng.below(4) : shape < 75 ? 1024
                                                          : rng.below(1400);
    if (d.code >= VELLORA::ICON0_REQ && d.code <= VELLORA::ICON2_REQ && d.option1() != 0 && rng.chance(50)) {
      n = 4 * (1 + rng.below(64));  // whole four-byte pixels
    }
    a.payload.resize(n);
    for (uint8_t& b : a.payload) b = static_cast<uint8_t>(rng.next());
    return sim.reply(d, a), true;
  }

  std::mutex mu;
  Rng rng{0x7a49e7};
};

TEST_F(HostileTarget, RandomAnswersToEveryQuery) {
  Find& f = client();
  f.listLimit = KALMO::Clock(100'000'000'000ULL);  // 100 ms per listing
  Control control(Control::Setting{"host", ~uint64_t{0}});
  ASSERT_TRUE(control.open());
  Rng ops(0x0b5);
  const auto mode = static_cast<Find::MODE>(Find::MODE_PORT_KIND1 | Find::MODE_INDEX_OPTION0);
  for (int round = 0; round < 120; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    switch (ops.below(11)) {
      case 0: {
        uint16_t count0 = 0, count1 = 0;
        uint8_t bitmap0[512], bitmap1[512];
        (void)f.getPort(target, mode, count0, count1, bitmap0, bitmap1);
        KALMO::IPAddress port;
        uint16_t version = 0;
        std::string name;
        Find::SynchroNodeInfo sync;
        (void)f.getPort(target, mode, static_cast<uint16_t>(1 + ops.below(4)), port, version, name, sync);
        break;
      }
      case 1: {
        Find::PortMap ports;
        Find::TargetMap found;
        found[target].targetName = "t";
        (void)f.findTarget(found, ports, mode);
        for (const auto& [key, record] : ports) EXPECT_GE(record.portIndex, 1);
        Find::StatusMap items;
        (void)f.findTarget(found, items);
        EXPECT_LE(items.size(), size_t{Find::MAX_STATUS_ITEMS});
        break;
      }
      case 2: {
        uint64_t id = 0;
        std::string name;
        (void)f.getTarget(target, id, name);
        std::string text;
        (void)f.FwVersion(target, text);
        (void)f.FwURL(target, text);
        (void)f.Reboot(target, ops.chance(50), static_cast<uint16_t>(ops.next()));
        break;
      }
      case 3: {
        std::string text;
        KALMO::Buffer data;
        std::vector<std::string> pages;
        const auto item = static_cast<uint16_t>(ops.next());
        (void)f.Infomation(target, item, text);
        if (f.Infomation(target, item, data)) {
          EXPECT_LE(data.size(), 65512u);
        }
        (void)f.Infomation(target, item, pages);
        EXPECT_LE(pages.size(), size_t{Find::MAX_INFO_PAGES});
        break;
      }
      case 4:
      case 5: {
        Find::TargetSettingList list;
        const bool ok = ops.chance(50) ? f.TargetSetting(target, list, ops.chance(50))
                                       : f.SinkSetting(target, list, ops.chance(50));
        EXPECT_LE(list.size(), size_t{Find::MAX_SETTING_ITEMS});
        size_t held = 0;
        for (const auto& item : list) {
          held += item.name.size() + item.text.size();
          for (const auto& c : item.choices) held += c.size();
          EXPECT_LE(item.choices.size(), size_t{Find::MAX_SETTING_CHOICES});
          if (ok && !item.choices.empty()) {
            EXPECT_EQ(static_cast<int64_t>(item.choices.size()), int64_t{item.max} - item.min + 1);
          }
        }
        EXPECT_LE(held, Find::MAX_SETTING_TEXT);
        (void)f.setTargetSetting(target, static_cast<uint16_t>(ops.next()), "x", 3);
        (void)f.SinkSettingFinale(target, ops.chance(50));
        break;
      }
      case 6:
      case 7: {
        Icon icon;
        const Find::ICON selector = (ops.below(3) << 16) | ops.below(10);
        const bool ok = ops.chance(50) ? f.downloadIcon(target, selector, icon)
                                       : f.downloadIcon(target, selector, icon, static_cast<uint16_t>(ops.below(64)));
        if (icon.width == 0) {
          EXPECT_EQ(icon.height(), 0u);
        } else {
          EXPECT_TRUE(ok);
          EXPECT_LE(icon.pixels.size(), size_t{Find::MAX_ICON_PIXELS});
          EXPECT_EQ(icon.pixels.size() % icon.width, 0u);
        }
        break;
      }
      default: {
        (void)control.connect(target);
        EXPECT_LE(control.items.size(), size_t{Control::MAX_ITEMS});
        for (const auto& item : control.items) {
          EXPECT_GE(item.id, 1);
          EXPECT_LE(item.id, Control::MAX_ITEMS);
          EXPECT_LE(item.value, (uint64_t{1} << 48) - 1);
        }
        (void)control.setVolume(static_cast<int16_t>(ops.next()));
        (void)control.setValue(static_cast<int16_t>(ops.next()), ops.next64());
        int16_t volume = 0;
        bool playing = false;
        (void)control.getVolume(volume);
        (void)control.getPlay(playing);
        (void)control.getPlayFormat();
        break;
      }
    }
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace disc_test
