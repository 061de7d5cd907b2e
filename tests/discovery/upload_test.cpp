// Data upload against a stand-in target on [::1]: the shape of bursts and
// blocks, the finish and its check value, losses and resends (also across
// the wrap of the sequence number), refused and misdirected
// acknowledgements, traffic from other senders, and the slot checks.
#include "base/crc16.h"
#include "discovery/find.h"
#include "sim/target/upload.h"
#include "tests/discovery/manage_fixture.h"
#include "tests/host/log_capture.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace disc_test {
namespace {

constexpr uint16_t kLast = 0x8000;

std::vector<uint8_t> bytesOf(size_t n, unsigned seed = 1) {
  std::vector<uint8_t> out(n);
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t& b : out) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return out;
}

KALMO::BufferCS_const view(const std::vector<uint8_t>& v) { return KALMO::BufferCS_const{v.data(), v.size()}; }

uint16_t crcOf(const std::vector<uint8_t>& v) {
  KALMO::CRC16 crc;
  crc.update(view(v));
  return crc.get();
}

vsim::UploadSpec slots(uint32_t packetSize, uint32_t blockPackets, uint32_t blocks, uint16_t windowLimit = 0xFFFF) {
  vsim::UploadSpec plan;
  plan.packetSize = packetSize;
  plan.blockPackets = blockPackets;
  plan.blocks = blocks;
  plan.windowLimit = windowLimit;
  return plan;
}

// One data packet as the target saw it.
struct Packet {
  uint16_t sequence, index, block;
  size_t length;
  bool last;
  bool operator==(const Packet&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Packet& p) {
  return os << "{seq " << p.sequence << " index " << p.index << " block " << p.block << " len " << p.length
            << (p.last ? " last}" : "}");
}

using Progress = std::vector<std::pair<uint16_t, uint16_t>>;

class UploadTest : public ManageTest {
 protected:
  bool upload(int32_t slot, const std::vector<uint8_t>& data, uint64_t window, Progress* progress = nullptr) {
    return client().Transfer(target, slot, view(data), window, [progress](uint16_t block, uint16_t blocks) {
      if (progress != nullptr) progress->emplace_back(block, blocks);
    });
  }

  std::vector<vsim::Datagram> dataRequests() { return engine.received(ep, VELLORA::TRANSFERDATA_REQ); }

  std::vector<Packet> packets() {
    std::vector<Packet> out;
    for (const vsim::Datagram& d : dataRequests()) {
      out.push_back({d.option1(), d.option2(), d.option3(), d.payload.size(), (d.option0() & kLast) != 0});
    }
    return out;
  }

  // The first sendings grouped into bursts, each with the losses seen before
  // it (every resend round repeats its burst's last packet). For uploads
  // whose sequence numbers do not wrap.
  struct Burst {
    uint32_t packets;
    size_t losses;
  };
  std::vector<Burst> bursts() {
    std::vector<Burst> out;
    uint32_t next = 0;   // lowest sequence number not sent yet
    uint32_t begin = 0;  // where the open burst began
    size_t losses = 0;
    for (const Packet& p : packets()) {
      if (p.sequence < next) {
        losses += p.last ? 1 : 0;
        continue;
      }
      next = p.sequence + 1u;
      if (p.last) {
        out.push_back({next - begin, losses});
        begin = next;
      }
    }
    return out;
  }

  // How often each place (block * blockPackets + index) was sent.
  std::map<uint64_t, int> sendsByPlace(uint32_t blockPackets) {
    std::map<uint64_t, int> out;
    for (const vsim::Datagram& d : dataRequests()) ++out[uint64_t{d.option3()} * blockPackets + d.option2()];
    return out;
  }
  // The places sent more than once, with their count.
  std::map<uint64_t, int> repeatedPlaces(uint32_t blockPackets) {
    std::map<uint64_t, int> out;
    for (const auto& [place, n] : sendsByPlace(blockPackets)) {
      if (n > 1) out[place] = n;
    }
    return out;
  }
};

TEST_F(UploadTest, BurstsAndBlocks) {
  struct Case {
    const char* what;
    vsim::UploadSpec plan;
    size_t size;
    uint64_t window;
    std::vector<Packet> packets;
    Progress progress;
  };
  vsim::UploadSpec acksNext = slots(100, 2, 2);
  acksNext.ackNext = true;
  const std::vector<Case> cases = {
      {"a few bytes", slots(1024, 16, 16), 3, 0, {{0, 0, 0, 3, true}}, {{0, 16}}},
      {"exactly one block", slots(100, 4, 3), 400, 0,
       {{0, 0, 0, 100, false}, {1, 1, 0, 100, false}, {2, 2, 0, 100, false}, {3, 3, 0, 100, true}}, {{0, 3}}},
      {"two blocks, the second short", slots(1024, 2, 2), 2500, 0,
       {{0, 0, 0, 1024, false}, {1, 1, 0, 1024, true}, {2, 0, 1, 452, true}}, {{0, 2}, {1, 2}}},
      {"window limit 0: every packet its own burst", slots(100, 4, 1, 0), 250, 5000,
       {{0, 0, 0, 100, true}, {1, 1, 0, 100, true}, {2, 2, 0, 50, true}}, {{0, 1}}},
      {"a window of 250 bytes ends a burst at its third packet", slots(100, 8, 1), 800, 250,
       {{0, 0, 0, 100, false}, {1, 1, 0, 100, false}, {2, 2, 0, 100, true}, {3, 3, 0, 100, false},
        {4, 4, 0, 100, false}, {5, 5, 0, 100, true}, {6, 6, 0, 100, false}, {7, 7, 0, 100, true}},
       {{0, 1}}},
      {"the target's limit holds over a larger window", slots(100, 8, 1, 150), 400, 1000,
       {{0, 0, 0, 100, false}, {1, 1, 0, 100, true}, {2, 2, 0, 100, false}, {3, 3, 0, 100, true}}, {{0, 1}}},
      {"acknowledged with the number after the last: no resend", acksNext, 400, 0,
       {{0, 0, 0, 100, false}, {1, 1, 0, 100, true}, {2, 0, 1, 100, false}, {3, 1, 1, 100, true}}, {{0, 2}, {1, 2}}},
      {"nothing to send", slots(100, 4, 1), 0, 0, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    engine.clearLog();
    vsim::UploadSim sim(engine, ep, c.plan);
    const std::vector<uint8_t> data = bytesOf(c.size);
    Progress progress;
    ASSERT_TRUE(upload(0, data, c.window, &progress));
    EXPECT_EQ(packets(), c.packets);
    EXPECT_EQ(progress, c.progress);
    const vsim::UploadState state = sim.state();
    EXPECT_EQ(state.stored, data);
    EXPECT_EQ(state.finishes, 1);
    EXPECT_EQ(state.finishCrc, crcOf(data));
  }
}

TEST_F(UploadTest, FinishCarriesTheCheckValueAndNeedsTheTargetsVerdict) {
  const std::string digits = "123456789";
  const std::vector<uint8_t> data(digits.begin(), digits.end());
  {
    vsim::UploadSim sim(engine, ep, slots(4, 4, 4));
    ASSERT_TRUE(upload(0, data, 0));
    const std::vector<vsim::Datagram> finish = engine.received(ep, VELLORA::TRANSFERFINISH_REQ);
    ASSERT_EQ(finish.size(), 1u);
    EXPECT_EQ(finish[0].option0(), 1);
    EXPECT_EQ(finish[0].option1(), 0xB4C8);
    EXPECT_EQ(finish[0].option2(), 0xFFFF);
    EXPECT_EQ(finish[0].option3(), 0);
    EXPECT_EQ(sim.state().storedCrc, 0xB4C8);
  }
  {
    // No data: the CRC-16 of nothing.
    engine.clearLog();
    vsim::UploadSim sim(engine, ep, slots(4, 4, 4));
    ASSERT_TRUE(upload(0, {}, 0));
    EXPECT_EQ(sim.state().finishCrc, 0x0000);
    EXPECT_EQ(engine.count(ep, VELLORA::TRANSFERDATA_REQ), 0u);
  }

  struct Case {
    const char* what;
    int result;  // the target's verdict, -1 its own
    int crc;     // CRC echoed, -1 the one received
    vsim::Fault fault;
  };
  const std::vector<Case> failing = {
      {"verdict incomplete", 0, -1, {}},
      {"verdict of another kind", 0x1234, -1, {}},
      {"another CRC echoed", -1, 0x1111, {}},
      {"the finish of another slot", -1, -1, vsim::Fault::always(Kind::OTHER)},
      {"refused", -1, -1, vsim::Fault::always(Kind::REFUSE)},
      {"unanswered", -1, -1, vsim::Fault::always(Kind::SILENT)},
      {"cut short", -1, -1, vsim::Fault::always(Kind::TRUNCATED)},
  };
  for (const Case& c : failing) {
    SCOPED_TRACE(c.what);
    vsim::UploadSpec plan = slots(4, 4, 4);
    plan.finishResult = c.result;
    plan.finishCrc = c.crc;
    plan.finishFault = c.fault;
    vsim::UploadSim sim(engine, ep, plan);
    EXPECT_FALSE(upload(0, data, 0));
    EXPECT_EQ(sim.state().stored, data);
  }

  // The closing exchange alone: the result word goes out as given and comes
  // back as the target's verdict.
  vsim::UploadSpec plan = slots(4, 4, 4);
  plan.finishResult = 0x0042;
  vsim::UploadSim sim(engine, ep, plan);
  engine.clearLog();
  uint16_t result = 0x1234;
  const uint16_t crc = 0xBEEF;
  ASSERT_TRUE(client().TransferFinish(target, 6, crc, result));
  EXPECT_EQ(result, 0x0042);
  const std::vector<vsim::Datagram> finish = engine.received(ep, VELLORA::TRANSFERFINISH_REQ);
  ASSERT_EQ(finish.size(), 1u);
  EXPECT_EQ(finish[0].option, vsim::options(7, 0xBEEF, 0x1234, 0));
}

TEST_F(UploadTest, LossesAreResentUntilTheBurstIsWhole) {
  struct Case {
    const char* what;
    std::vector<vsim::UploadSpec::Drop> drops;
    vsim::Fault ackFault;
    bool ok;
    std::map<uint64_t, int> sends;  // places sent more than once
  };
  const std::vector<Case> cases = {
      // Packets 0-7 form one burst; the target names the first one missing.
      {"a packet lost once", {{3, 1}}, {}, true, {{3, 2}, {4, 2}, {5, 2}, {6, 2}, {7, 2}}},
      {"the last packet lost once", {{7, 1}}, {}, true, {{0, 2}, {1, 2}, {2, 2}, {3, 2}, {4, 2}, {5, 2}, {6, 2}, {7, 2}}},
      {"a packet lost every time: ten resends", {{3, -1}}, {}, false,
       {{3, 11}, {4, 11}, {5, 11}, {6, 11}, {7, 11}}},
      {"an acknowledgement lost", {}, vsim::Fault::once(Kind::SILENT), true,
       {{0, 2}, {1, 2}, {2, 2}, {3, 2}, {4, 2}, {5, 2}, {6, 2}, {7, 2}}},
      {"an acknowledgement cut short", {}, vsim::Fault::once(Kind::TRUNCATED), true,
       {{0, 2}, {1, 2}, {2, 2}, {3, 2}, {4, 2}, {5, 2}, {6, 2}, {7, 2}}},
      {"an acknowledgement longer than its length word", {}, vsim::Fault::once(Kind::LENGTH_OVER), true,
       {{0, 2}, {1, 2}, {2, 2}, {3, 2}, {4, 2}, {5, 2}, {6, 2}, {7, 2}}},
      {"every acknowledgement cut short", {}, vsim::Fault::always(Kind::TRUNCATED), false,
       {{0, 11}, {1, 11}, {2, 11}, {3, 11}, {4, 11}, {5, 11}, {6, 11}, {7, 11}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    engine.clearLog();
    vsim::UploadSpec plan = slots(1024, 8, 2);
    plan.drops = c.drops;
    plan.ackFault = c.ackFault;
    vsim::UploadSim sim(engine, ep, plan);
    const std::vector<uint8_t> data = bytesOf(8 * 1024 + 10);
    EXPECT_EQ(upload(0, data, 0), c.ok);

    EXPECT_EQ(repeatedPlaces(8), c.sends);
    const vsim::UploadState state = sim.state();
    if (c.ok) {
      EXPECT_EQ(state.stored, data);
      EXPECT_EQ(state.finishes, 1);
    } else {
      EXPECT_EQ(state.finishes, 0);  // a failed upload sends no finish
      EXPECT_EQ(sendsByPlace(8).count(8), 0u);  // nor the next block
    }

    // A resend is the first sending's header and data, then zero bytes:
    // 16 + (1024 + 0..3 rounded up to 8) bytes.
    std::map<uint64_t, std::vector<uint8_t>> first;
    for (const vsim::Datagram& d : dataRequests()) {
      const uint64_t place = uint64_t{d.option3()} * 8 + d.option2();
      const auto [it, fresh] = first.emplace(place, d.bytes);
      if (fresh) continue;
      const std::vector<uint8_t>& original = it->second;
      ASSERT_TRUE(d.bytes.size() == 1040 || d.bytes.size() == 1048) << d.bytes.size();
      EXPECT_TRUE(std::equal(original.begin(), original.end(), d.bytes.begin()));
      for (size_t k = original.size(); k < d.bytes.size(); ++k) EXPECT_EQ(d.bytes[k], 0) << k;
    }
  }
}

TEST_F(UploadTest, ALossShrinksTheWindowOfLaterBursts) {
  // A window of 5000 bytes in packets of 1000: bursts of five, then of four
  // once the third packet was lost.
  vsim::UploadSpec plan = slots(1000, 16, 1);
  plan.drops = {{2, 1}};
  vsim::UploadSim sim(engine, ep, plan);
  const std::vector<uint8_t> data = bytesOf(16000);
  ASSERT_TRUE(upload(0, data, 5000));
  std::vector<uint16_t> ends;
  std::set<uint16_t> seen;
  for (const Packet& p : packets()) {
    if (seen.insert(p.sequence).second && p.last) ends.push_back(p.index);
  }
  EXPECT_EQ(ends, (std::vector<uint16_t>{4, 8, 12, 15}));
  EXPECT_EQ(sim.state().stored, data);
}

TEST_F(UploadTest, TheWindowShrinksWithEveryLoss) {
  // One packet is lost in each of the first bursts, so every later burst
  // shows the window left after the losses before it: a burst ends with the
  // packet whose bytes reach the window. Losses a busy machine adds (a late
  // acknowledgement) count the same, so each burst is matched against the
  // losses seen before it.
  struct Case {
    const char* what;
    uint32_t packetSize;
    std::vector<uint64_t> windows;  // after 0, 1, 2, ... losses; the first is the one asked for
    size_t lossy;                   // bursts that lose a packet, from the first on
    uint16_t limit = 0xFFFF;        // the target's window limit
  };
  const std::vector<Case> cases = {
      {"by thousands, then by one at 1000", 999, {5000, 4000, 3000, 2000, 1000, 999, 998, 997, 996, 995, 994}, 6},
      {"by one from 1000 down", 1,
       {1000, 999, 998, 997, 996, 995, 994, 993, 992, 991, 990, 989, 988, 987, 986, 985}, 11},
      {"just over 1000 falls to 1, and 1 stays", 1, {1001, 1, 1, 1, 1, 1, 1}, 3},
      {"2 falls to 1", 1, {2, 1, 1, 1, 1, 1}, 2},
      {"the target's limit of 0 stays 0", 1, {0, 0, 0, 0, 0, 0}, 3, 0},
  };
  auto packetsFor = [](uint64_t window, uint32_t packetSize) {
    return static_cast<uint32_t>(std::max<uint64_t>(1, (window + packetSize - 1) / packetSize));
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    engine.clearLog();
    // The planned bursts: the lossy ones, then two whole ones. The packet
    // before the last is lost (the target names it at once); a burst of one
    // loses its only packet (its acknowledgement wait runs out).
    vsim::UploadSpec plan = slots(c.packetSize, 65536, 1, c.limit);
    uint64_t place = 0;
    for (size_t k = 0; k < c.lossy + 2; ++k) {
      const uint32_t n = packetsFor(c.windows[std::min(k, c.lossy)], c.packetSize);
      if (k < c.lossy) plan.drops.push_back({n >= 2 ? place + n - 2 : place, 1});
      place += n;
    }
    vsim::UploadSim sim(engine, ep, plan);
    const std::vector<uint8_t> data = bytesOf(place * c.packetSize, 3);
    ASSERT_TRUE(upload(0, data, c.limit == 0 ? 5000 : c.windows[0]));
    EXPECT_EQ(sim.state().stored, data);

    const std::vector<Burst> seen = bursts();
    ASSERT_FALSE(seen.empty());
    for (size_t k = 0; k < seen.size(); ++k) {
      SCOPED_TRACE("burst " + std::to_string(k) + " after " + std::to_string(seen[k].losses) + " losses");
      ASSERT_LT(seen[k].losses, c.windows.size());
      const uint32_t want = packetsFor(c.windows[seen[k].losses], c.packetSize);
      // The data may end the last burst early once more was lost than planned.
      if (k + 1 < seen.size() || seen[k].losses == c.lossy) {
        EXPECT_EQ(seen[k].packets, want);
      } else {
        EXPECT_LE(seen[k].packets, want);
      }
    }
    EXPECT_GE(seen.back().losses, c.lossy);
  }
}

TEST_F(UploadTest, PacketsUpToWhatOneDatagramHoldsWhenResent) {
  // UDP over IPv6 carries at most 65527 bytes. A resend of 65501 data bytes
  // is 16 + (65501 + 0..3, rounded up to 8) = 65520 bytes whatever the extra
  // bytes; one of 65502 could need 65528, so such packets are refused.
  {
    vsim::UploadSpec plan = slots(65501, 4, 1);
    plan.drops = {{1, 1}};
    vsim::UploadSim sim(engine, ep, plan);
    const std::vector<uint8_t> data = bytesOf(4 * 65501);
    ASSERT_TRUE(upload(0, data, 0));
    EXPECT_EQ(sim.state().stored, data);
    EXPECT_EQ(repeatedPlaces(4), (std::map<uint64_t, int>{{1, 2}, {2, 2}, {3, 2}}));
    for (const vsim::Datagram& d : dataRequests()) EXPECT_EQ(d.bytes.size(), 65520u);
  }
  engine.clearLog();
  vsim::UploadSim sim(engine, ep, slots(65502, 4, 1));
  EXPECT_FALSE(upload(0, bytesOf(10), 0));
  EXPECT_EQ(engine.count(ep, VELLORA::TRANSFERDATA_REQ), 0u);
  EXPECT_EQ(sim.state().finishes, 0);
}

TEST_F(UploadTest, ResendsAfterTheSequenceNumberWraps) {
  // One-byte packets, ten per block: block 6553 holds sequence numbers
  // 65530-65535 and 0-3 in one burst.
  struct Case {
    const char* what;
    uint64_t lost;
    std::map<uint64_t, int> sends;
  };
  const std::vector<Case> cases = {
      {"the first packet after the wrap", 65536, {{65536, 2}, {65537, 2}, {65538, 2}, {65539, 2}}},
      {"the last packet before the wrap", 65535, {{65535, 2}, {65536, 2}, {65537, 2}, {65538, 2}, {65539, 2}}},
  };
  engine.setLogLimit(200000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    engine.clearLog();
    vsim::UploadSpec plan = slots(1, 10, 7000);
    plan.drops = {{c.lost, 1}};
    vsim::UploadSim sim(engine, ep, plan);
    const std::vector<uint8_t> data = bytesOf(65550, 7);
    ASSERT_TRUE(upload(0, data, 0));
    // One resend of the wrapping burst, from the packet missing on (the
    // other bursts are left out: on a busy machine one may time out).
    std::map<uint64_t, int> repeated;
    for (const auto& [place, n] : repeatedPlaces(10)) {
      if (place >= 65530 && place < 65540) repeated[place] = n;
    }
    EXPECT_EQ(repeated, c.sends);
    const vsim::UploadState state = sim.state();
    EXPECT_EQ(state.stored, data);
    EXPECT_EQ(state.finishCrc, crcOf(data));
  }
}

TEST_F(UploadTest, ARefusedOrMisdirectedAcknowledgementEndsTheUpload) {
  struct Case {
    const char* what;
    vsim::Fault fault;
  };
  const std::vector<Case> cases = {
      {"refused", vsim::Fault::once(Kind::REFUSE)},
      {"for another slot", vsim::Fault::once(Kind::OTHER)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    engine.clearLog();
    vsim::UploadSpec plan = slots(100, 4, 4);
    plan.ackFault = c.fault;
    vsim::UploadSim sim(engine, ep, plan);
    EXPECT_FALSE(upload(0, bytesOf(1000), 0));
    EXPECT_EQ(engine.count(ep, VELLORA::TRANSFERDATA_REQ), 4u);  // the first burst, no resend
    EXPECT_EQ(sim.state().finishes, 0);
  }
}

TEST_F(UploadTest, AcknowledgementsCountOnlyFromTheTarget) {
  struct Case {
    const char* what;
    vsim::Fault fault;
    bool ok;
    size_t sends;  // data packets sent for 2 bursts of 4
  };
  vsim::Fault instead;  // the right acknowledgement, but from the third endpoint
  instead.kind = Kind::NONE;
  instead.from = third;
  vsim::Fault insteadOnce = instead;
  insteadOnce.times = 1;
  const std::vector<Case> cases = {
      {"a refusal from elsewhere first", vsim::Fault::decoy(Kind::REFUSE, third), true, 8},
      {"an acknowledgement for another slot from elsewhere first", vsim::Fault::decoy(Kind::OTHER, third), true, 8},
      {"the first acknowledgement from elsewhere", insteadOnce, true, 12},
      {"every acknowledgement from elsewhere", instead, false, 44},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    engine.clearLog();
    vsim::UploadSpec plan = slots(100, 4, 2);
    plan.ackFault = c.fault;
    vsim::UploadSim sim(engine, ep, plan);
    const std::vector<uint8_t> data = bytesOf(800);
    EXPECT_EQ(upload(0, data, 0), c.ok);
    EXPECT_EQ(engine.count(ep, VELLORA::TRANSFERDATA_REQ), c.sends);
    if (c.ok) {
      EXPECT_EQ(sim.state().stored, data);
    }
  }
}

TEST_F(UploadTest, SlotAndFinishAnswersCountOnlyFromTheTarget) {
  // A refusal or an echo from another endpoint, sent before the target's
  // own answer, must not end the opening or the finish.
  struct Case {
    const char* what;
    void (*change)(vsim::UploadSpec&, vsim::EndpointId);
  };
  const std::vector<Case> cases = {
      {"query refused from elsewhere",
       [](vsim::UploadSpec& p, vsim::EndpointId e) { p.queryFault = vsim::Fault::decoy(Kind::REFUSE, e); }},
      {"query echoed from elsewhere",
       [](vsim::UploadSpec& p, vsim::EndpointId e) { p.queryFault = vsim::Fault::decoy(Kind::ECHO, e); }},
      {"open refused from elsewhere",
       [](vsim::UploadSpec& p, vsim::EndpointId e) { p.openFault = vsim::Fault::decoy(Kind::REFUSE, e); }},
      {"finish refused from elsewhere",
       [](vsim::UploadSpec& p, vsim::EndpointId e) { p.finishFault = vsim::Fault::decoy(Kind::REFUSE, e); }},
      {"finish echoed from elsewhere",
       [](vsim::UploadSpec& p, vsim::EndpointId e) { p.finishFault = vsim::Fault::decoy(Kind::ECHO, e); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vsim::UploadSpec plan = slots(100, 4, 4);
    c.change(plan, third);
    vsim::UploadSim sim(engine, ep, plan);
    const std::vector<uint8_t> data = bytesOf(500);
    EXPECT_TRUE(upload(0, data, 0));
    EXPECT_EQ(sim.state().stored, data);
  }
}

TEST_F(UploadTest, TrafficDuringTheDrainCannotHoldTheUpload) {
  // A packet is lost every time, so the upload ends after ten resends, each
  // after a drain. Datagrams every millisecond, from a third endpoint or
  // from the target itself, must not keep a drain going: the upload still
  // ends in about eleven acknowledgement waits.
  for (const bool fromTarget : {false, true}) {
    SCOPED_TRACE(fromTarget ? "from the target" : "from elsewhere");
    engine.clearLog();
    vsim::UploadSpec plan = slots(100, 4, 1);
    plan.drops = {{1, -1}};
    vsim::UploadSim sim(engine, ep, plan);
    std::atomic<bool> done{false};
    const vsim::EndpointId from = fromTarget ? ep : third;
    std::thread flood([&] {
      if (!engine.waitFor(ep, VELLORA::TRANSFERSLOT_REQ, 1, std::chrono::seconds(5))) return;
      const KALMO::IPAddress host = engine.received(ep, VELLORA::TRANSFERSLOT_REQ).front().sender;
      const std::vector<uint8_t> noise = vsim::TargetSim::build(VELLORA::FWURL_ANS, VELLORA::STATUS_ACK, 0);
      const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (!done.load() && std::chrono::steady_clock::now() < stop) {
        engine.send(from, host, noise);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    bool ok = true;
    const long long ms = timedMs([&] { ok = upload(0, bytesOf(400), 0); });
    done = true;
    flood.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(sendsByPlace(4)[1], 11);
    EXPECT_LT(ms, 10000);  // unbounded drains would last the whole 20 s flood
  }
}

TEST_F(UploadTest, SlotsAndTheOpening) {
  // Slots outside 0 .. 0x7FFE are refused before anything is sent.
  for (const int32_t slot : {-1, 0x7FFF, 0x8000, 0xFFFF, 0x7FFFFFFF}) {
    SCOPED_TRACE(slot);
    vsim::UploadSpec plan = slots(100, 4, 4);
    plan.slots = 0xFFFF;
    vsim::UploadSim sim(engine, ep, plan);
    uint16_t result = 0xFFFF;
    EXPECT_FALSE(upload(slot, bytesOf(10), 0));
    EXPECT_FALSE(client().TransferFinish(target, slot, 0, result));
    EXPECT_EQ(engine.count(ep), 0u);
  }
  {
    // The highest slot: its last packet of a burst carries 0xFFFF.
    vsim::UploadSpec plan = slots(100, 4, 4);
    plan.slots = 0x7FFF;
    vsim::UploadSim sim(engine, ep, plan);
    const std::vector<uint8_t> data = bytesOf(150);
    ASSERT_TRUE(upload(0x7FFE, data, 0));
    const std::vector<vsim::Datagram> sent = dataRequests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].option0(), 0x7FFF);
    EXPECT_EQ(sent[1].option0(), 0xFFFF);
    EXPECT_EQ(sim.state().openedSlot, 0x7FFF);
    EXPECT_EQ(sim.state().stored, data);
  }

  struct Case {
    const char* what;
    int32_t slot;
    size_t size;
    void (*change)(vsim::UploadSpec&);
  };
  const std::vector<Case> cases = {
      {"no slots", 0, 10, [](vsim::UploadSpec& p) { p.slots = 0; }},
      {"slot past the count", 2, 10, [](vsim::UploadSpec& p) { p.slots = 2; }},
      {"query refused", 0, 10, [](vsim::UploadSpec& p) { p.queryFault = vsim::Fault::always(Kind::REFUSE); }},
      {"query unanswered", 0, 10, [](vsim::UploadSpec& p) { p.queryFault = vsim::Fault::always(Kind::SILENT); }},
      {"open refused", 0, 10, [](vsim::UploadSpec& p) { p.openFault = vsim::Fault::always(Kind::REFUSE); }},
      {"open answered for another slot", 0, 10, [](vsim::UploadSpec& p) { p.openSlot = 2; }},
      {"open answer overlong", 0, 10,
       [](vsim::UploadSpec& p) { p.openFault = vsim::Fault::always(Kind::LENGTH_OVER); }},
      {"packets larger than one datagram", 0, 10, [](vsim::UploadSpec& p) { p.packetSize = 65536; }},
      {"data larger than the slot", 0, 1601, [](vsim::UploadSpec& p) { (void)p; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    engine.clearLog();
    vsim::UploadSpec plan = slots(100, 4, 4);
    c.change(plan);
    vsim::UploadSim sim(engine, ep, plan);
    EXPECT_FALSE(upload(c.slot, bytesOf(c.size), 0));
    EXPECT_EQ(engine.count(ep, VELLORA::TRANSFERDATA_REQ), 0u);
    EXPECT_EQ(engine.count(ep, VELLORA::TRANSFERFINISH_REQ), 0u);
  }

  // The whole slot, to its last byte, fits.
  engine.clearLog();
  vsim::UploadSim sim(engine, ep, slots(100, 4, 4));
  const std::vector<uint8_t> full = bytesOf(1600);
  ASSERT_TRUE(upload(0, full, 0));
  EXPECT_EQ(sim.state().stored, full);
}

TEST_F(UploadTest, TheShortFormLogsItsProgress) {
  // 500 bytes in packets of 100, two per block: blocks 0 to 2 of the 4 the
  // slot has.
  vsim::UploadSim sim(engine, ep, slots(100, 2, 4));
  const std::vector<uint8_t> data = bytesOf(500);
  const std::vector<std::string> progress = {"Transfer 0/4", "Transfer 1/4", "Transfer 2/4"};
  {
    host_test::LogCapture log;
    ASSERT_TRUE(client().Transfer(target, 0, view(data), 0));
    EXPECT_EQ(log.starting("Transfer "), progress);
  }
  {
    // An empty progress function falls back to the same default.
    host_test::LogCapture log;
    ASSERT_TRUE(client().Transfer(target, 0, view(data), 0, Find::TransferProgress{}));
    EXPECT_EQ(log.starting("Transfer "), progress);
  }
  {
    // The caller's own progress function takes the place of the log lines.
    host_test::LogCapture log;
    Progress calls;
    ASSERT_TRUE(upload(0, data, 0, &calls));
    EXPECT_EQ(calls, (Progress{{0, 4}, {1, 4}, {2, 4}}));
    EXPECT_TRUE(log.starting("Transfer ").empty());
  }
  EXPECT_EQ(sim.state().stored, data);
  EXPECT_EQ(sim.state().finishes, 3);
}

}  // namespace
}  // namespace disc_test
