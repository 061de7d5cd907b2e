#include "sim/target/discovery.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

namespace vsim {
namespace {

constexpr uint16_t kDiscoveryPort = 19642;
constexpr size_t kBitmapSize = 512;
constexpr unsigned kBitmapReach = 4096;

uint64_t options(uint16_t o0, uint16_t o1, uint16_t o2, uint16_t o3) {
  return uint64_t{o0} | (uint64_t{o1} << 16) | (uint64_t{o2} << 32) | (uint64_t{o3} << 48);
}

std::vector<uint8_t> textBytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// Sends one answer as `how` says; `from` is the endpoint it normally leaves.
void respond(TargetSim& sim, const Datagram& request, const Reply& how, uint16_t code, uint64_t option,
             const std::vector<uint8_t>& payload, EndpointId from) {
  std::vector<std::vector<uint8_t>> out;
  if (!how.before.empty()) out.push_back(how.before);
  if (how.kind == Reply::Kind::ECHO) {
    out.push_back(request.bytes);
  } else if (how.kind != Reply::Kind::SILENT) {
    const VELLORA::StatusID status = how.kind == Reply::Kind::REFUSE ? 0 : VELLORA::STATUS_ACK;
    out.push_back(TargetSim::build(code, status, option, payload));
  }
  const EndpointId sender = how.from != NO_ENDPOINT ? how.from : from;
  for (std::vector<uint8_t>& bytes : out) {
    if (how.delay.count() > 0) {
      sim.sendLater(how.delay, sender, request.sender, std::move(bytes));
    } else {
      sim.send(sender, request.sender, bytes);
    }
  }
}

// Immutable once added, so handlers read it without a lock.
struct Target {
  TargetSpec layout;
  EndpointId endpoint = NO_ENDPOINT;
  KALMO::IPAddress bound;
  std::map<uint16_t, EndpointId> portEndpoints;  // by port index
  std::map<uint16_t, uint16_t> portNumbers;      // by port index, host order
  std::map<uint16_t, EndpointId> itemEndpoints;  // by item index
  std::map<uint16_t, uint16_t> itemPorts;        // by item index, host order
};

}  // namespace

struct DiscoverySim::State {
  mutable std::mutex mu;
  std::vector<std::shared_ptr<const Target>> targets;
  std::map<uint32_t, EndpointId> listeners;  // by interface index
  std::vector<EndpointId> owned;

  std::shared_ptr<const Target> target(TargetId id) const {
    std::lock_guard<std::mutex> lock(mu);
    if (id < 0 || static_cast<size_t>(id) >= targets.size()) return nullptr;
    return targets[static_cast<size_t>(id)];
  }
  std::vector<std::shared_ptr<const Target>> onLink(uint32_t scope) const {
    std::lock_guard<std::mutex> lock(mu);
    std::vector<std::shared_ptr<const Target>> out;
    for (const auto& t : targets) {
      if (t->bound.interfaceIndex == scope) out.push_back(t);
    }
    return out;
  }
};

namespace {

void answerFind(TargetSim& sim, const Datagram& request, const Target& t) {
  respond(sim, request, t.layout.findReply, VELLORA::FIND_ANS, t.layout.productID, textBytes(t.layout.name), t.endpoint);
}

void answerPortCount(TargetSim& sim, const Datagram& request, const Target& t) {
  const TargetSpec& s = t.layout;
  const uint16_t kind = request.option2() != 0 ? request.option2() : s.countKind;
  unsigned highest = 0;
  std::vector<uint8_t> bitmaps(s.bitmap ? 2 * kBitmapSize : 0, 0);
  for (const PortSpec& p : s.ports) {
    if (kind != 0 && p.kind != kind) continue;
    highest = std::max<unsigned>(highest, p.index);
    if (s.bitmap && p.index < kBitmapReach) {
      bitmaps[p.index >> 3] |= static_cast<uint8_t>(1u << (p.index & 7));
      bitmaps[kBitmapSize + (p.index >> 3)] |= static_cast<uint8_t>(1u << (p.index & 7));
    }
  }
  const auto count = static_cast<uint16_t>(s.reportedPorts >= 0 ? s.reportedPorts : static_cast<int>(highest));
  respond(sim, request, s.portCountReply, VELLORA::PORT_ANS, options(count, count, kind, 0), bitmaps, t.endpoint);
}

void answerPort(TargetSim& sim, const Datagram& request, const Target& t) {
  const bool inOption0 = request.option0() != 0;
  const uint16_t index = inOption0 ? request.option0() : request.option1();
  const uint16_t echo0 = t.layout.echoIndex && inOption0 ? index : 0;
  const uint16_t echo1 = t.layout.echoIndex && !inOption0 ? index : 0;
  for (const PortSpec& p : t.layout.ports) {
    if (p.index != index || p.kind != request.option2()) continue;
    const uint16_t number = p.reportPort != 0 ? p.reportPort : t.portNumbers.at(p.index);
    respond(sim, request, p.reply, VELLORA::PORT_ANS, options(echo0, echo1, number, p.version), textBytes(p.name),
            t.endpoint);
    return;
  }
  respond(sim, request, t.layout.absentPort, VELLORA::PORT_ANS, options(echo0, echo1, 0, 0), {}, t.endpoint);
}

void answerItem(TargetSim& sim, const Datagram& request, const Target& t) {
  const TargetSpec& s = t.layout;
  const uint16_t index = request.option0();
  if (index == 0) {
    unsigned highest = 0;
    for (const StatusItemSpec& i : s.items) highest = std::max<unsigned>(highest, i.index);
    const auto count = static_cast<uint16_t>(s.reportedItems >= 0 ? s.reportedItems : static_cast<int>(highest));
    respond(sim, request, s.itemCountReply, VELLORA::STATUSITEM_ANS, options(count, 0, 0, 0), {}, t.endpoint);
    return;
  }
  const uint16_t echo = s.echoIndex ? index : 0;
  for (const StatusItemSpec& i : s.items) {
    if (i.index != index) continue;
    std::vector<uint8_t> payload(i.link.address, i.link.address + 16);
    const auto* port = reinterpret_cast<const uint8_t*>(&i.link.port);
    payload.insert(payload.end(), port, port + 2);
    payload.insert(payload.end(), i.name.begin(), i.name.end());
    if (i.payloadLimit >= 0 && static_cast<size_t>(i.payloadLimit) < payload.size()) {
      payload.resize(static_cast<size_t>(i.payloadLimit));
    }
    respond(sim, request, i.reply, VELLORA::STATUSITEM_ANS,
            options(echo, i.kind, t.itemPorts.at(i.index), i.version), payload, t.endpoint);
    return;
  }
  respond(sim, request, s.absentItem, VELLORA::STATUSITEM_ANS, options(echo, 0, 0, 0), {}, t.endpoint);
}

}  // namespace

DiscoverySim::DiscoverySim(TargetSim& engine) : engine_(engine), state_(std::make_shared<State>()) {}

DiscoverySim::~DiscoverySim() {
  std::vector<EndpointId> owned;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    owned = state_->owned;
  }
  for (EndpointId e : owned) engine_.removeEndpoint(e);
}

DiscoverySim::TargetId DiscoverySim::addTarget(const TargetSpec& layout) {
  auto t = std::make_shared<Target>();
  t->layout = layout;
  std::vector<EndpointId> created;
  auto add = [&](KALMO::IPAddress address, uint16_t port) {
    EndpointSpec es;
    es.address = address;
    es.address.port = htons(port);
    es.device = layout.device;
    const EndpointId e = engine_.addEndpoint(es);
    if (e != NO_ENDPOINT) created.push_back(e);
    return e;
  };
  auto fail = [&] {
    for (EndpointId e : created) engine_.removeEndpoint(e);
    return -1;
  };

  t->endpoint = add(layout.address, portOf(layout.address));
  if (t->endpoint == NO_ENDPOINT) return fail();
  t->bound = engine_.address(t->endpoint);
  const uint16_t discoveryPort = portOf(t->bound);
  KALMO::IPAddress host = t->bound;
  host.port = 0;
  for (const PortSpec& p : layout.ports) {
    const EndpointId e = add(host, p.udpPort);
    if (e == NO_ENDPOINT) return fail();
    t->portEndpoints[p.index] = e;
    t->portNumbers[p.index] = portOf(engine_.address(e));
  }
  for (const StatusItemSpec& i : layout.items) {
    const EndpointId e = add(host, i.controlPort);
    if (e == NO_ENDPOINT) return fail();
    t->itemEndpoints[i.index] = e;
    t->itemPorts[i.index] = portOf(engine_.address(e));
  }

  // One multicast listener per link, bound to ff02::1 so that unicast for
  // port 19642 always reaches the addressed target's own endpoint.
  const uint32_t scope = t->bound.interfaceIndex;
  const bool linkLocal = t->bound.isLinkLocal() && scope != 0 && discoveryPort == kDiscoveryPort;
  EndpointId listener = NO_ENDPOINT;
  if (linkLocal) {
    std::lock_guard<std::mutex> lock(state_->mu);
    auto it = state_->listeners.find(scope);
    if (it != state_->listeners.end()) listener = it->second;
  }
  if (linkLocal && listener == NO_ENDPOINT) {
    listener = add(ipv6("ff02::1", 0, scope), kDiscoveryPort);
    if (listener == NO_ENDPOINT) return fail();
    std::weak_ptr<State> weak = state_;
    engine_.onCode(listener, VELLORA::FIND_REQ, [weak, scope](TargetSim& sim, const Datagram& d) {
      if (auto state = weak.lock()) {
        for (const auto& target : state->onLink(scope)) answerFind(sim, d, *target);
      }
      return true;
    });
  }

  std::shared_ptr<const Target> ct = t;
  engine_.onCode(t->endpoint, VELLORA::FIND_REQ, [ct](TargetSim& sim, const Datagram& d) {
    answerFind(sim, d, *ct);
    return true;
  });
  engine_.onCode(t->endpoint, VELLORA::PORT_REQ, [ct](TargetSim& sim, const Datagram& d) {
    if (d.option0() == 0 && d.option1() == 0) {
      answerPortCount(sim, d, *ct);
    } else {
      answerPort(sim, d, *ct);
    }
    return true;
  });
  engine_.onCode(t->endpoint, VELLORA::STATUSITEM_REQ, [ct](TargetSim& sim, const Datagram& d) {
    answerItem(sim, d, *ct);
    return true;
  });
  engine_.onCode(t->endpoint, VELLORA::TARGETINFO_REQ, [ct](TargetSim& sim, const Datagram& d) {
    return sim.reply(d, Answer::withText(ct->layout.infoText));
  });
  engine_.onCode(t->endpoint, VELLORA::PROBE_REQ, [ct](TargetSim& sim, const Datagram& d) {
    Answer a;
    a.status = ct->layout.acknowledgeProbe ? VELLORA::STATUS_ACK : 0;
    return sim.reply(d, a);
  });
  for (const PortSpec& p : layout.ports) {
    const EndpointId e = t->portEndpoints.at(p.index);
    engine_.onCode(e, VELLORA::SYNCHRO_NODE_REQ, [ct, p, e](TargetSim& sim, const Datagram& d) {
      respond(sim, d, p.syncReply, VELLORA::SYNCHRO_NODE_ANS, options(p.sync[0], p.sync[1], p.sync[2], p.sync[3]),
              {}, e);
      return true;
    });
  }

  std::lock_guard<std::mutex> lock(state_->mu);
  state_->owned.insert(state_->owned.end(), created.begin(), created.end());
  if (linkLocal) state_->listeners.emplace(scope, listener);
  state_->targets.push_back(std::move(ct));
  return static_cast<TargetId>(state_->targets.size() - 1);
}

EndpointId DiscoverySim::endpoint(TargetId id) const {
  const auto t = state_->target(id);
  return t ? t->endpoint : NO_ENDPOINT;
}

EndpointId DiscoverySim::portEndpoint(TargetId id, uint16_t portIndex) const {
  const auto t = state_->target(id);
  if (!t) return NO_ENDPOINT;
  auto it = t->portEndpoints.find(portIndex);
  return it == t->portEndpoints.end() ? NO_ENDPOINT : it->second;
}

EndpointId DiscoverySim::itemEndpoint(TargetId id, uint16_t itemIndex) const {
  const auto t = state_->target(id);
  if (!t) return NO_ENDPOINT;
  auto it = t->itemEndpoints.find(itemIndex);
  return it == t->itemEndpoints.end() ? NO_ENDPOINT : it->second;
}

KALMO::IPAddress DiscoverySim::address(TargetId id) const { return engine_.address(endpoint(id)); }

KALMO::IPAddress DiscoverySim::portAddress(TargetId id, uint16_t portIndex) const {
  return engine_.address(portEndpoint(id, portIndex));
}

KALMO::IPAddress DiscoverySim::itemAddress(TargetId id, uint16_t itemIndex) const {
  return engine_.address(itemEndpoint(id, itemIndex));
}

std::vector<std::string> DiscoverySim::announcedNames(TargetId id) const {
  std::vector<std::string> names;
  const EndpointId e = endpoint(id);
  if (e == NO_ENDPOINT) return names;
  for (const Datagram& d : engine_.received(e, VELLORA::NOTISNAME_REQ)) names.push_back(d.text());
  return names;
}

}  // namespace vsim
