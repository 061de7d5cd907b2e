#include "sim/target/upload.h"

#include "base/crc16.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace vsim {
namespace {

constexpr uint16_t kLastOfBurst = 0x8000;
constexpr uint16_t kComplete = 0xFFFF;

}  // namespace

struct UploadSim::State {
  mutable std::mutex mu;
  UploadSpec plan;
  UploadState now;
  std::vector<int> dropsLeft;  // per entry of plan.drops
  uint16_t expected = 0;       // next sequence number taken
  uint64_t nextPlace = 0;      // where the packet with that number belongs
  FaultCount query, open, ack, finish;

  // True when the packet at `place` is to be lost this time.
  bool lose(uint64_t place) {
    for (size_t i = 0; i < plan.drops.size(); ++i) {
      if (plan.drops[i].packet != place || dropsLeft[i] == 0) continue;
      if (dropsLeft[i] > 0) --dropsLeft[i];
      return true;
    }
    return false;
  }

  void slot(TargetSim& engine, const Datagram& d) {
    const uint16_t asked = d.option0();
    if (asked == 0) {
      answerWith(engine, d, VELLORA::TRANSFERSLOT_ANS, options(plan.slots, plan.windowLimit, 0, 0), {},
                 plan.queryFault, query.next(plan.queryFault));
      return;
    }
    if (asked > plan.slots) {
      engine.reply(d, Answer{-1, 0, options(asked, 0, 0, 0), {}});
      return;
    }
    now.openedSlot = asked;
    now.stored.clear();
    expected = 0;
    nextPlace = 0;
    const uint16_t echoed = plan.openSlot >= 0 ? static_cast<uint16_t>(plan.openSlot) : asked;
    answerWith(engine, d, VELLORA::TRANSFERSLOT_ANS,
               options(echoed, static_cast<uint16_t>(plan.packetSize - 1), static_cast<uint16_t>(plan.blockPackets - 1),
                       static_cast<uint16_t>(plan.blocks - 1)),
               {}, plan.openFault, open.next(plan.openFault));
  }

  void data(TargetSim& engine, const Datagram& d) {
    ++now.packets;
    const uint64_t place = uint64_t{d.option3()} * plan.blockPackets + d.option2();
    if (lose(place)) {
      ++now.dropped;
      return;
    }
    const auto slotWord = static_cast<uint16_t>(d.option0() & ~kLastOfBurst);
    if (now.openedSlot == 0 || slotWord != now.openedSlot) {
      ++now.misplaced;
      return;
    }
    const uint16_t sequence = d.option1();
    if (sequence == expected) {
      const uint64_t end = place * plan.packetSize + d.payload.size();
      if (place != nextPlace || d.payload.size() > plan.packetSize || end > plan.storeLimit) {
        ++now.misplaced;
      } else {
        if (now.stored.size() < end) now.stored.resize(static_cast<size_t>(end));
        if (!d.payload.empty()) {
          std::memcpy(now.stored.data() + place * plan.packetSize, d.payload.data(), d.payload.size());
        }
        ++now.taken;
        ++expected;
        ++nextPlace;
      }
    }
    if ((d.option0() & kLastOfBurst) == 0) return;
    // Everything up to this packet arrived: acknowledge it; else name the
    // first number still missing.
    const bool whole = expected == static_cast<uint16_t>(sequence + 1);
    const uint16_t acked = !whole ? expected : plan.ackNext ? static_cast<uint16_t>(sequence + 1) : sequence;
    now.acks.push_back(acked);
    answerWith(engine, d, VELLORA::TRANSFERDATA_ANS, options(slotWord, acked, 0, 0), {}, plan.ackFault,
               ack.next(plan.ackFault));
  }

  void close(TargetSim& engine, const Datagram& d) {
    KALMO::CRC16 crc;
    crc.update(KALMO::BufferCS_const{now.stored.data(), now.stored.size()});
    ++now.finishes;
    now.finishCrc = d.option1();
    now.storedCrc = crc.get();
    const uint16_t result = plan.finishResult >= 0 ? static_cast<uint16_t>(plan.finishResult)
                            : now.storedCrc == now.finishCrc ? kComplete
                                                             : 0;
    const uint16_t echoed = plan.finishCrc >= 0 ? static_cast<uint16_t>(plan.finishCrc) : d.option1();
    answerWith(engine, d, VELLORA::TRANSFERFINISH_ANS, options(d.option0(), echoed, result, 0), {},
               plan.finishFault, finish.next(plan.finishFault));
  }
};

UploadSim::UploadSim(TargetSim& engine, EndpointId endpoint, const UploadSpec& plan)
    : state_(std::make_shared<State>()), handlers_(engine, endpoint) {
  state_->plan = plan;
  for (const UploadSpec::Drop& drop : plan.drops) state_->dropsLeft.push_back(drop.times);
  handlers_.serve(VELLORA::TRANSFERSLOT_REQ, state_, [](State& s, TargetSim& e, const Datagram& d) { s.slot(e, d); });
  handlers_.serve(VELLORA::TRANSFERDATA_REQ, state_, [](State& s, TargetSim& e, const Datagram& d) { s.data(e, d); });
  handlers_.serve(VELLORA::TRANSFERFINISH_REQ, state_,
                  [](State& s, TargetSim& e, const Datagram& d) { s.close(e, d); });
}

UploadState UploadSim::state() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->now;
}

}  // namespace vsim
