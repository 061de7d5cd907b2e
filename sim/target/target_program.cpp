#include "sim/target/target_program.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "base/file_inf.h"
#include "base/ip_address.h"
#include "sim/target/control.h"
#include "sim/target/debug.h"
#include "sim/target/discovery.h"
#include "sim/target/sink.h"
#include "sim/target/target_sim.h"

namespace vsim {

namespace {

constexpr uint16_t kDiscoveryPort = 19642;
// Control endpoints keep fixed ports, so a target that comes back presents
// the same status chain: 19700 + 64 per target + the item index.
constexpr uint16_t kItemPortBase = 19700;
constexpr size_t kItemsPerTarget = 64;
constexpr size_t kMaxTargets = 16;
constexpr size_t kMaxPorts = 8;
constexpr size_t kMaxLinked = kItemsPerTarget - kMaxPorts - 1;
// Bytes of the played data looked for in a recording to find its start.
constexpr size_t kStartWindow = 256;

constexpr uint64_t bit(unsigned n) { return uint64_t{1} << n; }

// What every sink accepts: all channel codes, 16/24/32-bit integer PCM at
// the 44.1 and 48 kHz families up to x16, and 1-bit DSD in 32-bit words at
// DSD64 to DSD512, either bit order.
SinkConfig sinkConfig() {
  SinkConfig c;
  const uint64_t channels = 0x3F;
  const uint64_t families = bit(33) | bit(34);
  uint64_t pcmRates = 0;
  for (unsigned k = 0; k <= 4; ++k) pcmRates |= bit(35 + k);
  uint64_t dsdRates = 0;
  for (unsigned m = 6; m <= 9; ++m) dsdRates |= bit(35 + m);
  c.pcm = channels | 0x0200 | 0x0400 | 0x0800 | families | pcmRates;
  const uint64_t dsd = channels | 0x10000 | 0x400000 | 0x2000000 | families | dsdRates;
  c.dsdLsb = dsd | 0x100000;
  c.dsdMsb = dsd | 0x200000;
  return c;
}

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> out;
  std::string piece;
  std::istringstream in(text);
  while (std::getline(in, piece, ',')) {
    if (!piece.empty()) out.push_back(piece);
  }
  return out;
}


bool parseUnsigned(const std::string& text, uint64_t& out) {
  if (text.empty() || text[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0') return false;
  out = v;
  return true;
}

bool checkTargets(const ProgramOptions& o, std::string& error) {
  if (o.targets.empty()) {
    error = "no target";
    return false;
  }
  if (o.targets.size() > kMaxTargets) {
    error = "more than " + std::to_string(kMaxTargets) + " targets";
    return false;
  }
  for (const ProgramTarget& t : o.targets) {
    if (t.name.empty()) {
      error = "a target without a name";
      return false;
    }
    if (t.ports.empty() || t.ports.size() > kMaxPorts) {
      error = "target " + t.name + " needs 1 to " + std::to_string(kMaxPorts) + " ports";
      return false;
    }
    if (t.linked.size() > kMaxLinked) {
      error = "target " + t.name + " has too many linked devices";
      return false;
    }
    if (t.extraPorts > MAX_LISTED_PORTS - t.ports.size()) {
      error = "target " + t.name + " lists more than " + std::to_string(MAX_LISTED_PORTS) + " ports";
      return false;
    }
    if (t.device.empty() && o.device.empty()) {
      error = "target " + t.name + " has no device";
      return false;
    }
  }
  return true;
}

// Every word of a list of services ("sync,control"); false for an unknown one.
bool parseHang(const std::string& text, unsigned& hang) {
  for (const std::string& word : splitList(text)) {
    const unsigned h = hangOf(word);
    if (h == 0) return false;
    hang |= h;
  }
  return true;
}

}  // namespace

bool parseNumber(const std::string& text, int64_t low, int64_t high, int64_t& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v < low || v > high) return false;
  out = v;
  return true;
}

unsigned hangOf(const std::string& word) {
  if (word == "sync") return HANG_SYNC;
  if (word == "control") return HANG_CONTROL;
  if (word == "stream") return HANG_STREAM;
  return 0;
}

uint64_t audioChecksum(const uint8_t* data, uint64_t n, uint64_t hash) {
  for (uint64_t i = 0; i < n; ++i) {
    hash ^= data[i];
    hash *= 1099511628211ull;
  }
  return hash;
}

bool parseProgramArgs(int argc, const char* const* argv, ProgramOptions& o, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (!hasValue) {
      error = "missing value for " + a;
      return false;
    }
    const std::string v = argv[++i];
    const bool needTarget = a == "--product" || a == "--address" || a == "--port" || a == "--linked" ||
                            a == "--volume" || a == "--extra-ports" || a == "--hang";
    if (needTarget && o.targets.empty()) {
      error = a + " before --target";
      return false;
    }
    int64_t n = 0;
    uint64_t u = 0;
    if (a == "--settings") {
      if (!loadProgramSettings(v, o, error)) return false;
    } else if (a == "--device") {
      o.device = v;
    } else if (a == "--record") {
      o.recordDir = v;
    } else if (a == "--commands") {
      o.commandPath = v;
    } else if (a == "--drop-every") {
      if (!parseUnsigned(v, o.dropEvery)) {
        error = "bad value for --drop-every";
        return false;
      }
    } else if (a == "--keep-audio" || a == "--check-counter") {
      if (v != "0" && v != "1") {
        error = "bad value for " + a + " (0 or 1)";
        return false;
      }
      (a == "--keep-audio" ? o.keepAudio : o.checkCounter) = v == "1";
    } else if (a == "--target") {
      o.targets.emplace_back();
      o.targets.back().name = v;
    } else if (a == "--product") {
      if (!parseUnsigned(v, u)) {
        error = "bad value for --product";
        return false;
      }
      o.targets.back().productID = u;
    } else if (a == "--address") {
      o.targets.back().address = v;
    } else if (a == "--port") {
      o.targets.back().ports.push_back(v);
    } else if (a == "--linked") {
      o.targets.back().linked.push_back(v);
    } else if (a == "--volume") {
      if (!parseNumber(v, -6000, 0, n)) {
        error = "bad value for --volume (-6000 to 0)";
        return false;
      }
      o.targets.back().volume = static_cast<int16_t>(n);
    } else if (a == "--extra-ports") {
      if (!parseNumber(v, 0, MAX_LISTED_PORTS, n)) {
        error = "bad value for --extra-ports (0 to " + std::to_string(MAX_LISTED_PORTS) + ")";
        return false;
      }
      o.targets.back().extraPorts = static_cast<unsigned>(n);
    } else if (a == "--hang") {
      const unsigned hang = hangOf(v);
      if (hang == 0) {
        error = "bad value for --hang (sync, control or stream)";
        return false;
      }
      o.targets.back().hang |= hang;
    } else {
      error = "unknown option " + a;
      return false;
    }
  }
  return checkTargets(o, error);
}

bool loadProgramSettings(const std::string& path, ProgramOptions& o, std::string& error) {
  KALMO::FileInf file;
  if (!file.load(path, 0)) {
    error = "cannot load " + path;
    return false;
  }
  file.set_current_group("global");
  if (!file.get("Device").empty()) o.device = file.get("Device");
  if (!file.get("Record").empty()) o.recordDir = file.get("Record");
  if (!file.get("Commands").empty()) o.commandPath = file.get("Commands");
  if (!file.get("DropEvery").empty() && !parseUnsigned(file.get("DropEvery"), o.dropEvery)) {
    error = path + ": bad DropEvery";
    return false;
  }
  for (const auto& [group, keys] : file.groups) {
    if (group == "global") continue;
    file.set_current_group(group);
    ProgramTarget t;
    t.name = group;
    t.device = file.get("Device");
    t.address = file.get("Address");
    t.ports = splitList(file.get("Ports"));
    t.linked = splitList(file.get("Linked"));
    if (!file.get("ProductID").empty() && !parseUnsigned(file.get("ProductID"), t.productID)) {
      error = path + ": bad ProductID in [" + group + "]";
      return false;
    }
    int64_t n = 0;
    if (!file.get("Volume").empty()) {
      if (!parseNumber(file.get("Volume"), -6000, 0, n)) {
        error = path + ": bad Volume in [" + group + "]";
        return false;
      }
      t.volume = static_cast<int16_t>(n);
    }
    if (!file.get("ExtraPorts").empty()) {
      if (!parseNumber(file.get("ExtraPorts"), 0, MAX_LISTED_PORTS, n)) {
        error = path + ": bad ExtraPorts in [" + group + "]";
        return false;
      }
      t.extraPorts = static_cast<unsigned>(n);
    }
    if (!parseHang(file.get("Hang"), t.hang)) {
      error = path + ": bad Hang in [" + group + "] (sync, control or stream)";
      return false;
    }
    o.targets.push_back(std::move(t));
  }
  return true;
}

struct TargetProgram::Impl {
  struct Port {
    std::string name;
    uint16_t index = 0;
    std::unique_ptr<Sink> sink;      // none for an extra port
    EndpointId stub = NO_ENDPOINT;   // an extra port's endpoint
    unsigned hang = 0;               // HANG_*
    int16_t volume = 0;  // its own volume item, kept while the target is hidden
    EndpointId endpoint() const { return sink ? sink->handshakeEndpoint() : stub; }
  };
  struct Target {
    ProgramTarget layout;
    size_t slot = 0;
    KALMO::IPAddress address;  // discovery endpoint
    std::vector<Port> ports;
    std::vector<Port> extras;  // after the named ports, without a sink
    std::vector<int16_t> linkedVolumes;  // one per linked device, while hidden
    // While the target answers discovery: its endpoints, control items and
    // debug port (the control and debug handlers sit on its endpoints).
    std::unique_ptr<DiscoverySim> discovery;
    int discoveryId = -1;
    std::unique_ptr<ControlSim> control;
    std::unique_ptr<DebugPort> debug;
  };

  // Item ids on a control endpoint: a port's item has a play item and a
  // volume item, a linked device a volume item.
  static constexpr uint16_t PORT_VOLUME_ID = 2;
  static constexpr uint16_t LINKED_VOLUME_ID = 1;

  explicit Impl(ProgramOptions o) : options(std::move(o)) {}

  ProgramOptions options;
  TargetSim engine;
  mutable std::mutex mu;  // targets
  std::vector<Target> targets;

  static uint16_t itemPort(const Target& t, size_t itemIndex) {
    return static_cast<uint16_t>(kItemPortBase + t.slot * kItemsPerTarget + itemIndex);
  }

  TargetSpec discoverySpec(const Target& t) const {
    TargetSpec s;
    s.address = t.address;
    s.device = t.layout.device.empty() ? options.device : t.layout.device;
    s.productID = t.layout.productID;
    s.name = t.layout.name;
    for (const Port& p : t.ports) {
      PortSpec ps;
      ps.index = p.index;
      ps.name = p.name;
      ps.reportPort = portOf(p.sink->address());
      s.ports.push_back(ps);
      StatusItemSpec item;
      item.index = p.index;
      item.kind = 1;
      item.name = p.name;
      item.link = ipv6("::1", p.index);
      item.controlPort = itemPort(t, p.index);
      s.items.push_back(item);
    }
    // Linked devices hang one behind the other on the first port's item.
    uint16_t behind = t.ports.front().index;
    uint16_t index = static_cast<uint16_t>(t.ports.size() + 1);
    for (const std::string& name : t.layout.linked) {
      StatusItemSpec item;
      item.index = index;
      item.kind = 0;
      item.name = name;
      item.link = t.address;
      item.link.port = htons(behind);
      item.link.interfaceIndex = 0;
      item.controlPort = itemPort(t, index);
      s.items.push_back(item);
      behind = index;
      ++index;
    }
    // Extra items come after the linked ones, on ports the system chooses:
    // the fixed ones are for the named ports and linked devices.
    for (const Port& p : t.extras) {
      PortSpec ps;
      ps.index = p.index;
      ps.name = p.name;
      ps.reportPort = portOf(engine.address(p.stub));
      s.ports.push_back(ps);
      StatusItemSpec item;
      item.index = itemOf(t, p);
      item.kind = 1;
      item.name = p.name;
      item.link = ipv6("::1", p.index);
      s.items.push_back(item);
    }
    return s;
  }

  bool show(Target& t, std::string& error) {
    hide(t);
    t.linkedVolumes.resize(t.layout.linked.size(), t.layout.volume);
    auto d = std::make_unique<DiscoverySim>(engine);
    const int id = d->addTarget(discoverySpec(t));
    if (id < 0) {
      error = "target " + t.layout.name + ": discovery endpoints cannot be created";
      return false;
    }
    auto c = std::make_unique<ControlSim>(engine);
    for (const Port& p : t.ports) {
      (void)c->attach(d->itemEndpoint(id, p.index),
                      {ControlItemSpec::play(), ControlItemSpec::volume(p.volume)});
    }
    for (size_t j = 0; j < t.layout.linked.size(); ++j) {
      (void)c->attach(d->itemEndpoint(id, linkedItem(t, j)), {ControlItemSpec::volume(t.linkedVolumes[j])});
    }
    for (const Port& p : t.extras) {
      (void)c->attach(d->itemEndpoint(id, itemOf(t, p)), {ControlItemSpec::play(), ControlItemSpec::volume(p.volume)});
    }
    t.debug = std::make_unique<DebugPort>(engine, d->endpoint(id));
    t.discovery = std::move(d);
    t.discoveryId = id;
    t.control = std::move(c);
    // The control endpoints are new: what a port leaves unanswered goes on.
    for (const Port& p : t.ports) applyHang(t, p);
    for (const Port& p : t.extras) applyHang(t, p);
    return true;
  }

  // A port that hangs a service: engine scripts on its endpoints, which go
  // before every handler there. The port's own endpoint outlives the
  // target's hiding; its control endpoint is made anew by every show.
  void applyHang(const Target& t, const Port& p) {
    Script silent;
    silent.action = Script::Action::SILENT;
    Script handled;
    handled.action = Script::Action::HANDLER;
    const EndpointId at = p.endpoint();
    engine.unscript(at, ANY_CODE);
    engine.unscript(at, VELLORA::SYNCHRO_NODE_REQ);
    if (p.hang & HANG_STREAM) {
      engine.script(at, ANY_CODE, silent);
      engine.script(at, VELLORA::SYNCHRO_NODE_REQ, handled);  // it still lists
    }
    if (p.hang & HANG_SYNC) engine.script(at, VELLORA::SYNCHRO_NODE_REQ, silent);
    if (!t.discovery) return;
    const EndpointId item = t.discovery->itemEndpoint(t.discoveryId, itemOf(t, p));
    engine.unscript(item, ANY_CODE);
    if (p.hang & HANG_CONTROL) engine.script(item, ANY_CODE, silent);
  }

  // Keeps the volumes the items hold, then takes the target off the link.
  void hide(Target& t) {
    if (t.control) {
      for (Port& p : t.ports) p.volume = volumeOf(t, itemOf(t, p), PORT_VOLUME_ID);
      for (Port& p : t.extras) p.volume = volumeOf(t, itemOf(t, p), PORT_VOLUME_ID);
      for (size_t j = 0; j < t.linkedVolumes.size(); ++j) {
        t.linkedVolumes[j] = volumeOf(t, linkedItem(t, j), LINKED_VOLUME_ID);
      }
    }
    t.debug.reset();
    t.control.reset();
    t.discovery.reset();
    t.discoveryId = -1;
  }

  // A named port's item has its index; an extra port's comes after the
  // linked devices' items.
  static uint16_t itemOf(const Target& t, const Port& p) {
    return static_cast<uint16_t>(p.sink ? p.index : p.index + t.layout.linked.size());
  }
  static uint16_t linkedItem(const Target& t, size_t j) {
    return static_cast<uint16_t>(t.ports.size() + 1 + j);
  }

  int16_t volumeOf(const Target& t, uint16_t item, uint16_t id) const {
    const int64_t v = t.control->volume(t.discovery->itemEndpoint(t.discoveryId, item), id);
    return static_cast<int16_t>(std::clamp<int64_t>(v, ControlItemSpec::VOLUME_FLOOR, ControlItemSpec::VOLUME_FULL));
  }

  // The volume the host reads for a port: the item at the end of its chain
  // (the last linked device for the first port, when there are any).
  bool chainEndLinked(const Target& t, const Port& p) const {
    return p.index == t.ports.front().index && !t.layout.linked.empty();
  }
  int16_t portVolume(const Target& t, const Port& p) const {
    const bool linked = chainEndLinked(t, p);
    if (!t.control) return linked ? t.linkedVolumes.back() : p.volume;
    return linked ? volumeOf(t, linkedItem(t, t.layout.linked.size() - 1), LINKED_VOLUME_ID)
                  : volumeOf(t, itemOf(t, p), PORT_VOLUME_ID);
  }
  void setPortVolume(Target& t, Port& p, int16_t v) {
    const bool linked = chainEndLinked(t, p);
    if (!t.control) {
      (linked ? t.linkedVolumes.back() : p.volume) = v;
      return;
    }
    if (linked) {
      const uint16_t item = linkedItem(t, t.layout.linked.size() - 1);
      (void)t.control->setVolume(t.discovery->itemEndpoint(t.discoveryId, item), LINKED_VOLUME_ID, v);
    } else {
      (void)t.control->setVolume(t.discovery->itemEndpoint(t.discoveryId, itemOf(t, p)), PORT_VOLUME_ID, v);
    }
  }

  // The discovery endpoint of a target: its own address, or the first
  // link-local address of its device.
  bool resolveAddress(const ProgramTarget& layout, KALMO::IPAddress& address, std::string& error) const {
    const std::string device = layout.device.empty() ? options.device : layout.device;
    const unsigned scope = ::if_nametoindex(device.c_str());
    if (scope == 0) {
      error = "no interface " + device;
      return false;
    }
    if (layout.address.empty()) {
      if (!linkLocalOf(device, address)) {
        error = "no link-local address on " + device;
        return false;
      }
      address.port = htons(kDiscoveryPort);
    } else {
      address = ipv6(layout.address, kDiscoveryPort, scope);
      if (address.isUnspecified()) {
        error = "bad address " + layout.address;
        return false;
      }
    }
    address.interfaceIndex = scope;
    return true;
  }

  // Hosts key targets by their discovery address: two targets on one
  // address would show as one, and the ports of the other would get no
  // card. Refused before any target is created.
  bool resolveAll(std::vector<KALMO::IPAddress>& addresses, std::string& error) const {
    addresses.clear();
    for (const ProgramTarget& layout : options.targets) {
      KALMO::IPAddress a;
      if (!resolveAddress(layout, a, error)) return false;
      for (size_t j = 0; j < addresses.size(); ++j) {
        // Every discovery address has the same port: equal means one address.
        if (!(addresses[j] == a)) continue;
        std::string text;
        a.get_V6_str(text);
        const std::string device = layout.device.empty() ? options.device : layout.device;
        error = "targets " + options.targets[j].name + " and " + layout.name + " share the address " + text +
                " on " + device + ": give each target its own --address (an address of " + device + ")";
        return false;
      }
      addresses.push_back(a);
    }
    return true;
  }

  bool create(const ProgramTarget& layout, size_t slot, const KALMO::IPAddress& address, std::string& error) {
    Target t;
    t.layout = layout;
    t.slot = slot;
    t.address = address;
    KALMO::IPAddress sinkAt = t.address;
    sinkAt.port = 0;
    uint16_t index = 1;
    for (const std::string& name : layout.ports) {
      Port p;
      p.name = name;
      p.index = index++;
      p.volume = layout.volume;
      SinkConfig config = sinkConfig();
      config.keepAudio = options.keepAudio;
      config.checkCounter = options.checkCounter;
      p.sink = std::make_unique<Sink>(engine, sinkAt, config);
      if (p.sink->handshakeEndpoint() == NO_ENDPOINT || p.sink->controlEndpoint() == NO_ENDPOINT) {
        error = "port " + layout.name + ":" + name + ": sink endpoints cannot be created";
        return false;
      }
      p.sink->dropEvery(options.dropEvery);
      p.hang = layout.hang;
      t.ports.push_back(std::move(p));
    }
    for (unsigned i = 0; i < layout.extraPorts; ++i) {
      Port p;
      p.index = index++;
      p.name = "x" + std::to_string(p.index);
      p.volume = layout.volume;
      p.hang = layout.hang;
      p.stub = engine.addEndpoint(sinkAt);
      if (p.stub == NO_ENDPOINT) {
        error = "port " + layout.name + ":" + p.name + ": its endpoint cannot be created";
        return false;
      }
      // It lists like any port; there is no sink behind it.
      engine.onCode(p.stub, VELLORA::SYNCHRO_NODE_REQ,
                    [](TargetSim& sim, const Datagram& d) { return sim.reply(d, Answer{}); });
      engine.onEndpoint(p.stub, [](TargetSim&, const Datagram&) { return true; });
      t.extras.push_back(std::move(p));
    }
    if (!show(t, error)) return false;
    targets.push_back(std::move(t));
    return true;
  }

  Target* findTarget(const std::string& name) {
    for (Target& t : targets) {
      if (t.layout.name == name) return &t;
    }
    return nullptr;
  }

  // "TARGET:PORT"; null when there is no such port.
  Port* findPort(const std::string& text, Target** owner = nullptr) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return nullptr;
    Target* t = findTarget(text.substr(0, colon));
    if (!t) return nullptr;
    for (std::vector<Port>* list : {&t->ports, &t->extras}) {
      for (Port& p : *list) {
        if (p.name != text.substr(colon + 1)) continue;
        if (owner) *owner = t;
        return &p;
      }
    }
    return nullptr;
  }
};

TargetProgram::TargetProgram(ProgramOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

TargetProgram::~TargetProgram() {
  // Discovery and debug handlers go before the sinks whose ports they report.
  std::lock_guard<std::mutex> lock(impl_->mu);
  for (Impl::Target& t : impl_->targets) impl_->hide(t);
  impl_->targets.clear();
}

bool TargetProgram::start(std::string& error) {
  if (!impl_->engine.running()) {
    error = "the target engine did not start";
    return false;
  }
  if (!checkTargets(impl_->options, error)) return false;
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::vector<KALMO::IPAddress> addresses;
  if (!impl_->resolveAll(addresses, error)) return false;
  impl_->targets.reserve(impl_->options.targets.size());
  for (size_t i = 0; i < impl_->options.targets.size(); ++i) {
    if (!impl_->create(impl_->options.targets[i], i, addresses[i], error)) return false;
  }
  return true;
}

bool TargetProgram::command(const std::string& line, std::string& reply) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  if (words.empty()) {
    reply = "error: empty command";
    return false;
  }
  const std::string& verb = words[0];
  std::lock_guard<std::mutex> lock(impl_->mu);
  auto target = [&](size_t at) -> Impl::Target* {
    return words.size() > at ? impl_->findTarget(words[at]) : nullptr;
  };
  int64_t n = 0;
  uint64_t u = 0;
  std::string error;
  if ((verb == "vanish" || verb == "appear") && words.size() == 2) {
    Impl::Target* t = target(1);
    if (!t) {
      reply = "error: no target " + words[1];
      return false;
    }
    if (verb == "vanish") {
      impl_->hide(*t);
    } else if (!t->discovery && !impl_->show(*t, error)) {
      reply = "error: " + error;
      return false;
    }
  } else if ((verb == "link" && words.size() == 3) || (verb == "unlink" && words.size() == 2)) {
    Impl::Target* t = target(1);
    if (!t) {
      reply = "error: no target " + words[1];
      return false;
    }
    if (verb == "link" && t->layout.linked.size() >= kMaxLinked) {
      reply = "error: too many linked devices";
      return false;
    }
    const bool visible = t->discovery != nullptr;
    impl_->hide(*t);
    if (verb == "link") {
      t->layout.linked.push_back(words[2]);
    } else {
      t->layout.linked.clear();
    }
    t->linkedVolumes.resize(t->layout.linked.size(), t->layout.volume);
    // The chain is what discovery answers: a visible target shows the new one at once.
    if (visible && !impl_->show(*t, error)) {
      reply = "error: " + error;
      return false;
    }
  } else if (verb == "drop" && (words.size() == 2 || words.size() == 3)) {
    if (!parseUnsigned(words.back(), u)) {
      reply = "error: bad count " + words.back();
      return false;
    }
    if (words.size() == 3) {
      Impl::Port* p = impl_->findPort(words[1]);
      if (!p || !p->sink) {
        reply = "error: no port with a sink " + words[1];
        return false;
      }
      p->sink->dropEvery(u);
    } else {
      for (Impl::Target& t : impl_->targets) {
        for (Impl::Port& p : t.ports) p.sink->dropEvery(u);
      }
    }
  } else if (verb == "refuse" && words.size() == 3) {
    // The port's control endpoint leaves the next K item queries without
    // an answer (three of them fail one control connect): a target that,
    // busy or behind a lossy link, misses a connect.
    if (!parseUnsigned(words[2], u)) {
      reply = "error: bad count " + words[2];
      return false;
    }
    Impl::Target* t = nullptr;
    Impl::Port* p = impl_->findPort(words[1], &t);
    if (!p) {
      reply = "error: no port " + words[1];
      return false;
    }
    if (!t->control || !t->discovery) {
      reply = "error: target " + t->layout.name + " is hidden";
      return false;
    }
    ControlFault f;
    f.reply = Reply::silent();
    f.times = static_cast<int>(std::min<uint64_t>(u, INT32_MAX));
    t->control->fault(t->discovery->itemEndpoint(t->discoveryId, Impl::itemOf(*t, *p)), VELLORA::CONTROLITEM_REQ, f);
  } else if ((verb == "hang" && words.size() == 3) || (verb == "mend" && words.size() == 2)) {
    const unsigned what = verb == "hang" ? hangOf(words[2]) : 0;
    if (verb == "hang" && what == 0) {
      reply = "error: bad service " + words[2] + " (sync, control or stream)";
      return false;
    }
    Impl::Target* t = nullptr;
    std::vector<Impl::Port*> chosen;
    if (words[1].find(':') != std::string::npos) {
      Impl::Port* p = impl_->findPort(words[1], &t);
      if (!p) {
        reply = "error: no port " + words[1];
        return false;
      }
      chosen.push_back(p);
    } else if ((t = target(1)) != nullptr) {
      for (Impl::Port& p : t->ports) chosen.push_back(&p);
      for (Impl::Port& p : t->extras) chosen.push_back(&p);
    } else {
      reply = "error: no target " + words[1];
      return false;
    }
    for (Impl::Port* p : chosen) {
      p->hang = verb == "hang" ? p->hang | what : 0;
      impl_->applyHang(*t, *p);
    }
  } else if (verb == "volume" && (words.size() == 2 || words.size() == 3)) {
    if (!parseNumber(words.back(), -6000, 0, n)) {
      reply = "error: bad volume " + words.back() + " (-6000 to 0)";
      return false;
    }
    if (words.size() == 3) {
      Impl::Target* t = nullptr;
      Impl::Port* p = impl_->findPort(words[1], &t);
      if (!p) {
        reply = "error: no port " + words[1];
        return false;
      }
      impl_->setPortVolume(*t, *p, static_cast<int16_t>(n));
    } else {
      for (Impl::Target& t : impl_->targets) {
        for (Impl::Port& p : t.ports) impl_->setPortVolume(t, p, static_cast<int16_t>(n));
      }
    }
  } else if (verb == "summary" && words.size() == 1) {
    // Below, outside the lock.
  } else {
    reply = "error: unknown command: " + line;
    return false;
  }
  reply = "ok " + line;
  return true;
}

std::vector<PortSummary> TargetProgram::summary() const {
  std::vector<PortSummary> out;
  std::lock_guard<std::mutex> lock(impl_->mu);
  for (const Impl::Target& t : impl_->targets) {
    for (const Impl::Port& p : t.ports) {
      // The sink counts and checksums every byte it keeps, kept or not.
      const SinkStats s = p.sink->stats();
      PortSummary r;
      r.target = t.layout.name;
      r.port = p.name;
      r.packets = s.packets;
      r.resends = s.resendRequests;
      r.gaps = s.gaps;
      r.bytes = s.audioBytes;
      r.checksum = s.checksum;
      r.silences = s.counterSilences;
      r.breaks = s.counterBreaks;
      r.volume = impl_->portVolume(t, p);
      r.connects = s.connects;
      r.disconnects = s.disconnects;
      r.wireFormat = p.sink->wireFormat();
      out.push_back(r);
    }
  }
  return out;
}

std::string TargetProgram::format(const std::vector<PortSummary>& ports) {
  std::string text;
  char line[512];
  for (const PortSummary& p : ports) {
    std::snprintf(line, sizeof line,
                  "port %s:%s packets=%llu resends=%llu gaps=%llu bytes=%llu checksum=%016llx "
                  "volume=%d connects=%llu disconnects=%llu wire=0x%llx silences=%llu breaks=%llu\n",
                  p.target.c_str(), p.port.c_str(), static_cast<unsigned long long>(p.packets),
                  static_cast<unsigned long long>(p.resends), static_cast<unsigned long long>(p.gaps),
                  static_cast<unsigned long long>(p.bytes), static_cast<unsigned long long>(p.checksum),
                  p.volume, static_cast<unsigned long long>(p.connects),
                  static_cast<unsigned long long>(p.disconnects), static_cast<unsigned long long>(p.wireFormat),
                  static_cast<unsigned long long>(p.silences), static_cast<unsigned long long>(p.breaks));
    text += line;
  }
  return text;
}

bool TargetProgram::writeRecordings() const {
  if (impl_->options.recordDir.empty() || !impl_->options.keepAudio) return true;
  bool ok = true;
  std::lock_guard<std::mutex> lock(impl_->mu);
  for (const Impl::Target& t : impl_->targets) {
    for (const Impl::Port& p : t.ports) {
      const std::vector<uint8_t> audio = p.sink->audio();
      const std::string path = impl_->options.recordDir + "/" + t.layout.name + "_" + p.name + ".raw";
      std::ofstream file(path, std::ios::binary | std::ios::trunc);
      file.write(reinterpret_cast<const char*>(audio.data()), static_cast<std::streamsize>(audio.size()));
      ok = ok && static_cast<bool>(file);
    }
  }
  return ok;
}

RecordingMatch matchRecording(const std::vector<uint8_t>& played, const std::vector<uint8_t>& recording) {
  RecordingMatch m;
  if (played.empty()) return m;
  const size_t window = std::min(played.size(), kStartWindow);
  const auto start = std::search(recording.begin(), recording.end(), played.begin(),
                                 played.begin() + static_cast<std::ptrdiff_t>(window));
  if (start == recording.end()) return m;
  m.found = true;
  m.offset = static_cast<uint64_t>(start - recording.begin());
  m.compared = std::min<uint64_t>(played.size(), recording.size() - m.offset);
  const auto diff = std::mismatch(played.begin(), played.begin() + static_cast<std::ptrdiff_t>(m.compared),
                                  start);
  m.firstDifference = static_cast<uint64_t>(diff.first - played.begin());
  m.identical = m.compared == played.size() && m.firstDifference == played.size();
  m.checksum = audioChecksum(recording.data() + m.offset, m.compared);
  return m;
}

std::string describeMatch(const std::vector<uint8_t>& played, const RecordingMatch& m) {
  char line[256];
  const unsigned long long playedSum = audioChecksum(played.data(), played.size());
  if (!m.found) {
    std::snprintf(line, sizeof line, "played bytes=%llu checksum=%016llx received: start not found",
                  static_cast<unsigned long long>(played.size()), playedSum);
  } else if (m.identical) {
    std::snprintf(line, sizeof line,
                  "played bytes=%llu checksum=%016llx received bytes=%llu checksum=%016llx identical",
                  static_cast<unsigned long long>(played.size()), playedSum,
                  static_cast<unsigned long long>(m.compared), static_cast<unsigned long long>(m.checksum));
  } else {
    std::snprintf(line, sizeof line,
                  "played bytes=%llu checksum=%016llx received bytes=%llu checksum=%016llx "
                  "first difference at byte %llu",
                  static_cast<unsigned long long>(played.size()), playedSum,
                  static_cast<unsigned long long>(m.compared), static_cast<unsigned long long>(m.checksum),
                  static_cast<unsigned long long>(m.firstDifference));
  }
  return line;
}

}  // namespace vsim
