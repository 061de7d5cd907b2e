#include "sim/target/control.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <utility>

namespace vsim {
namespace {

constexpr uint64_t kMask48 = (uint64_t{1} << 48) - 1;
constexpr uint16_t kWrite = 0x8000;
constexpr uint16_t kCodes[] = {VELLORA::CONTROLHELLO_REQ, VELLORA::CONTROLITEM_REQ, VELLORA::CONTROLVALUE_REQ};

// One datagram to go out once the state lock is released.
struct Outgoing {
  std::vector<uint8_t> bytes;
  EndpointId from = NO_ENDPOINT;
  std::chrono::milliseconds delay{0};
};

}  // namespace

uint64_t volumeValue(int64_t volume) {
  const int64_t held = std::clamp<int64_t>(volume, ControlItemSpec::VOLUME_FLOOR, ControlItemSpec::VOLUME_FULL);
  return static_cast<uint64_t>(held) & kMask48;
}

uint64_t playFormatValue(uint64_t format) { return (format & 0xFFFF) | (((format >> 32) << 16) & kMask48); }

int64_t signed48(uint64_t value) {
  value &= kMask48;
  return (value & (uint64_t{1} << 47)) != 0 ? static_cast<int64_t>(value | ~kMask48) : static_cast<int64_t>(value);
}

ControlItemSpec ControlItemSpec::volume(int64_t v) {
  ControlItemSpec s;
  s.kind = KIND_VOLUME;
  s.value = volumeValue(v);
  return s;
}

ControlItemSpec ControlItemSpec::play(bool playing, uint64_t format) {
  ControlItemSpec s;
  s.kind = KIND_PLAY;
  s.value = playFormatValue(format);
  s.status = playing ? VELLORA::PLAYING : 0;
  return s;
}

ControlItemSpec ControlItemSpec::other(uint16_t kind, uint64_t value) {
  ControlItemSpec s;
  s.kind = kind;
  s.value = value & kMask48;
  return s;
}

struct ControlSim::State {
  struct Fault {
    ControlFault how;
    int used = 0;
  };
  struct Point {
    std::vector<ControlItemSpec> items;
    int reportedCount = -1;
    std::map<std::pair<uint16_t, int>, Fault> faults;  // by code and id (-1: every id)
  };

  mutable std::mutex mu;
  std::map<EndpointId, Point> points;
  std::vector<EndpointId> owned;
  std::vector<ControlWrite> writes;

  // Under mu.
  ControlItemSpec* item(EndpointId endpoint, uint16_t id) {
    auto p = points.find(endpoint);
    if (p == points.end() || id == 0 || id > p->second.items.size()) return nullptr;
    return &p->second.items[id - 1u];
  }
  const ControlItemSpec* item(EndpointId endpoint, uint16_t id) const {
    return const_cast<State*>(this)->item(endpoint, id);
  }

  // Under mu: the fault that serves this request, if any.
  static const ControlFault* faultFor(Point& p, uint16_t code, int id) {
    for (const int key : {id, -1}) {
      auto f = p.faults.find({code, key});
      if (f == p.faults.end()) continue;
      if (f->second.how.times >= 0 && f->second.used >= f->second.how.times) continue;
      ++f->second.used;
      return &f->second.how;
    }
    return nullptr;
  }

  void handle(TargetSim& sim, const Datagram& d) {
    std::vector<Outgoing> out;
    {
      std::lock_guard<std::mutex> lock(mu);
      auto p = points.find(d.endpoint);
      if (p == points.end()) return;
      Point& point = p->second;
      const bool isValue = d.code == VELLORA::CONTROLVALUE_REQ;
      const bool isWrite = isValue && (d.option0() & kWrite) != 0;
      const int id = d.code == VELLORA::CONTROLHELLO_REQ ? 0 : (isValue ? d.option0() & 0x7FFF : d.option0());
      const ControlFault* how = faultFor(point, d.code, id);
      // The request is taken (a write applied) unless it is lost, refused or echoed.
      const bool taken = how == nullptr || how->reply.kind == Reply::Kind::ANSWER || how->thenAnswer;
      if (isWrite) writes.push_back(ControlWrite{d.endpoint, static_cast<uint16_t>(id), signed48(d.option >> 16)});

      VELLORA::StatusID status = VELLORA::STATUS_ACK;
      uint64_t option = 0;
      if (d.code == VELLORA::CONTROLITEM_REQ) {
        if (id == 0) {
          const int count = point.reportedCount >= 0 ? point.reportedCount : static_cast<int>(point.items.size());
          option = static_cast<uint16_t>(count);
        } else if (ControlItemSpec* i = item(d.endpoint, static_cast<uint16_t>(id))) {
          option = static_cast<uint64_t>(id) | (uint64_t{i->kind} << 16);
        } else {
          status = 0;
          option = static_cast<uint64_t>(id);
        }
      } else if (isValue) {
        if (ControlItemSpec* i = item(d.endpoint, static_cast<uint16_t>(id))) {
          if (isWrite && taken) {
            const uint64_t v = d.option >> 16;
            i->value = i->kind == ControlItemSpec::KIND_VOLUME ? volumeValue(signed48(v)) : (v & kMask48);
          }
          option = static_cast<uint64_t>(id) | (i->value << 16);
          status = static_cast<VELLORA::StatusID>(i->status | VELLORA::STATUS_ACK);
        } else {
          status = 0;
          option = static_cast<uint64_t>(id);
        }
      }
      const uint16_t code = TargetSim::answerCode(d.code);
      std::vector<uint8_t> proper = TargetSim::build(code, status, option);
      if (how == nullptr) {
        out.push_back(Outgoing{std::move(proper), d.endpoint, {}});
      } else {
        if (how->wrongId >= 0) option = (option & ~uint64_t{0xFFFF}) | static_cast<uint16_t>(how->wrongId);
        std::vector<uint8_t> bytes;
        switch (how->reply.kind) {
          case Reply::Kind::ANSWER:
            bytes = TargetSim::build(code, status, option);
            break;
          case Reply::Kind::REFUSE:
            bytes = TargetSim::build(code, static_cast<VELLORA::StatusID>(status & ~VELLORA::STATUS_ACK), option);
            break;
          case Reply::Kind::ECHO:
            bytes = d.bytes;
            break;
          case Reply::Kind::SILENT:
            break;
        }
        const EndpointId from = how->reply.from != NO_ENDPOINT ? how->reply.from : d.endpoint;
        if (!bytes.empty()) out.push_back(Outgoing{bytes, from, how->reply.delay});
        if (!bytes.empty() && how->repeat.count() > 0) {
          out.push_back(Outgoing{std::move(bytes), from, how->reply.delay + how->repeat});
        }
        if (how->thenAnswer) out.push_back(Outgoing{std::move(proper), d.endpoint, how->reply.delay});
      }
    }
    for (Outgoing& o : out) {
      if (o.delay.count() > 0) {
        sim.sendLater(o.delay, o.from, d.sender, std::move(o.bytes));
      } else {
        sim.send(o.from, d.sender, o.bytes);
      }
    }
  }
};

ControlSim::ControlSim(TargetSim& engine) : engine_(engine), state_(std::make_shared<State>()) {}

ControlSim::~ControlSim() {
  std::vector<EndpointId> served;
  std::vector<EndpointId> owned;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    for (const auto& entry : state_->points) served.push_back(entry.first);
    owned = state_->owned;
  }
  for (EndpointId e : served) {
    for (uint16_t code : kCodes) engine_.onCode(e, code, {});
  }
  for (EndpointId e : owned) engine_.removeEndpoint(e);
}

bool ControlSim::attach(EndpointId endpoint, const std::vector<ControlItemSpec>& items) {
  if (engine_.address(endpoint).port == 0) return false;  // not a bound endpoint of the engine
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    State::Point& p = state_->points[endpoint];
    p.items = items;
    for (ControlItemSpec& i : p.items) i.value &= kMask48;
  }
  std::weak_ptr<State> weak = state_;
  for (uint16_t code : kCodes) {
    engine_.onCode(endpoint, code, [weak](TargetSim& sim, const Datagram& d) {
      if (auto state = weak.lock()) state->handle(sim, d);
      return true;
    });
  }
  return true;
}

EndpointId ControlSim::add(const std::vector<ControlItemSpec>& items, const KALMO::IPAddress& at) {
  const EndpointId e = engine_.addEndpoint(at);
  if (e == NO_ENDPOINT) return NO_ENDPOINT;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->owned.push_back(e);
  }
  return attach(e, items) ? e : NO_ENDPOINT;
}

bool ControlSim::setValue(EndpointId endpoint, uint16_t id, uint64_t value) {
  std::lock_guard<std::mutex> lock(state_->mu);
  ControlItemSpec* i = state_->item(endpoint, id);
  if (i == nullptr) return false;
  i->value = value & kMask48;
  return true;
}

bool ControlSim::setStatus(EndpointId endpoint, uint16_t id, uint16_t status) {
  std::lock_guard<std::mutex> lock(state_->mu);
  ControlItemSpec* i = state_->item(endpoint, id);
  if (i == nullptr) return false;
  i->status = status;
  return true;
}

bool ControlSim::setVolume(EndpointId endpoint, uint16_t id, int64_t volume) {
  return setValue(endpoint, id, volumeValue(volume));
}

bool ControlSim::setPlaying(EndpointId endpoint, uint16_t id, bool playing) {
  std::lock_guard<std::mutex> lock(state_->mu);
  ControlItemSpec* i = state_->item(endpoint, id);
  if (i == nullptr) return false;
  i->status = static_cast<uint16_t>(playing ? (i->status | VELLORA::PLAYING) : (i->status & ~VELLORA::PLAYING));
  return true;
}

bool ControlSim::setPlayFormat(EndpointId endpoint, uint16_t id, uint64_t format) {
  return setValue(endpoint, id, playFormatValue(format));
}

uint64_t ControlSim::value(EndpointId endpoint, uint16_t id) const {
  std::lock_guard<std::mutex> lock(state_->mu);
  const ControlItemSpec* i = state_->item(endpoint, id);
  return i != nullptr ? i->value : 0;
}

int64_t ControlSim::volume(EndpointId endpoint, uint16_t id) const { return signed48(value(endpoint, id)); }

void ControlSim::setReportedCount(EndpointId endpoint, int count) {
  std::lock_guard<std::mutex> lock(state_->mu);
  auto p = state_->points.find(endpoint);
  if (p != state_->points.end()) p->second.reportedCount = count;
}

void ControlSim::fault(EndpointId endpoint, uint16_t code, const ControlFault& how, int id) {
  std::lock_guard<std::mutex> lock(state_->mu);
  auto p = state_->points.find(endpoint);
  if (p != state_->points.end()) p->second.faults[{code, id < 0 ? -1 : id}] = State::Fault{how, 0};
}

void ControlSim::clearFaults(EndpointId endpoint) {
  std::lock_guard<std::mutex> lock(state_->mu);
  auto p = state_->points.find(endpoint);
  if (p != state_->points.end()) p->second.faults.clear();
}

std::vector<ControlWrite> ControlSim::writes() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->writes;
}

void ControlSim::clearWrites() {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->writes.clear();
}

}  // namespace vsim
