// Output ports and status items of the targets discovery found.
#include "discovery/find.h"

#include "base/syslog.h"

#include <arpa/inet.h>

#include <cstring>
#include <set>

namespace VELLORA {
namespace {

using KALMO::SysLog::DEBUG;
using KALMO::SysLog::WARNING;

constexpr size_t kBitmapSize = 512;
// A count of this or more has outgrown the bitmap, which is then ignored.
constexpr unsigned kBitmapReach = 4096;
constexpr const char* kMyAddress = "[myaddress]";

// The port kind a mode asks for: the lowest kind bit wins; 0 for none.
uint16_t kindOf(Find::MODE mode) {
  if (mode & Find::MODE_PORT_KIND1) return 1;
  if (mode & Find::MODE_PORT_KIND2) return 2;
  if (mode & Find::MODE_PORT_KIND4) return 4;
  return 0;
}

bool kindFits(Find::MODE mode, uint16_t kind) {
  if (mode & Find::MODE_PORT_KIND1) return kind == 1 || kind == 0;
  if (mode & Find::MODE_PORT_KIND2) return kind == 2;
  if (mode & Find::MODE_PORT_KIND4) return kind == 4;
  return false;
}

bool isZero(const KALMO::IPAddress& a) {
  static const uint8_t zero[16] = {};
  return std::memcmp(a.address, zero, sizeof zero) == 0 && a.port == 0;
}

bool present(const uint8_t* bitmap, unsigned index) {
  return (bitmap[index >> 3] >> (index & 7)) & 1;
}

// A count reported by a target, cut to what the host lists at most.
unsigned capped(unsigned count, unsigned most, const char* what, const std::string& target) {
  if (count <= most) return count;
  WARNING << "Vellora Find " << what << " count over limit : " << target << " " << count << ">" << most;
  return most;
}

// The time a listing of one target may still take.
bool overBudget(const KALMO::Clock& start, const KALMO::Clock& limit) {
  KALMO::Clock now;
  now.now();
  return KALMO::Clock(now - start).Comp(limit) > 0;
}

}  // namespace

std::string Find::infoText(const KALMO::IPAddress& target, const Receive& answer) const {
  std::string text;
  answer.get_str(text);
  const size_t at = text.find(kMyAddress);
  if (at != std::string::npos) {
    std::string address;
    target.get_V6_str(address);
    text.replace(at, std::strlen(kMyAddress), "[" + address + "]");
  }
  return text;
}

bool Find::getPort(const KALMO::IPAddress& target, MODE mode, uint16_t& count0, uint16_t& count1, uint8_t* bitmap0,
                   uint8_t* bitmap1) {
  count0 = 0;
  count1 = 0;
  if (bitmap0 != nullptr) std::memset(bitmap0, 0xFF, kBitmapSize);
  if (bitmap1 != nullptr) std::memset(bitmap1, 0xFF, kBitmapSize);
  if (probe(target)) return false;

  Receive answer;
  int result = sendAck(target, Send(PORT_REQ, 0, 0, 0, 0, 1), PORT_ANS, answer, true);
  if (result == ACK_SOCKET_ERROR) return false;
  if (result != ACK_OK) return true;
  if (answer.getOption2() != 0) {
    const uint16_t kind = kindOf(mode);
    // The repeated question names the kind; an answer for another kind is
    // a late answer to the first one.
    result = exchange(target, Send(PORT_REQ, 0, 0, 0, kind, 1), PORT_ANS, answer, true, Match{2, kind});
    if (result == ACK_SOCKET_ERROR) return false;
    if (result != ACK_OK) return true;
  }
  if (!kindFits(mode, answer.getOption2())) return true;
  if (mode & MODE_INDEX_OPTION0) count0 = answer.getOption0();
  if (mode & MODE_INDEX_OPTION1) count1 = answer.getOption1();
  if (answer.size_data() == 2 * kBitmapSize) {
    if (bitmap0 != nullptr) std::memcpy(bitmap0, answer.get_data(), kBitmapSize);
    if (bitmap1 != nullptr) std::memcpy(bitmap1, answer.get_data() + kBitmapSize, kBitmapSize);
  }
  return true;
}

bool Find::getPort(const KALMO::IPAddress& target, MODE mode, uint16_t index, KALMO::IPAddress& port,
                   uint16_t& portVersion, std::string& portName, SynchroNodeInfo& syncInfo) {
  port = KALMO::IPAddress{};
  syncInfo = SynchroNodeInfo{};
  if (probe(target)) return false;
  const uint16_t kind = kindOf(mode);
  if (kind == 0) return false;
  int position;
  if (mode & MODE_INDEX_OPTION0) {
    position = 0;
  } else if (mode & MODE_INDEX_OPTION1) {
    position = 1;
  } else {
    return false;
  }
  const Send request(PORT_REQ, 0, position == 0 ? index : 0, position == 1 ? index : 0, kind, 1);
  Receive answer;
  // Taken by code and sender alone: the port's answer carries nothing that
  // names the index asked, and a target may fill option0 and option1 with
  // anything (its port count, say).
  int result = sendAck(target, request, PORT_ANS, answer, true);
  if (result == ACK_SOCKET_ERROR) return false;
  if (result != ACK_OK || answer.getOption2() == 0) return true;
  portVersion = answer.getOption3();
  answer.get_str(portName);
  if (!versionFits(portVersion)) return true;
  port = target;
  port.port = htons(answer.getOption2());
  if (kind == 4) return true;

  Receive sync;
  result = sendAck(port, Send(SYNCHRO_NODE_REQ, 0), SYNCHRO_NODE_ANS, sync, true);
  if (result == ACK_SOCKET_ERROR || result == ACK_TIMEOUT) return false;
  if (result == ACK_OK) {
    syncInfo.option0 = sync.getOption0();
    syncInfo.option1 = sync.getOption1();
    syncInfo.option2 = sync.getOption2();
    syncInfo.option3 = sync.getOption3();
  }
  return true;
}

bool Find::getStatus(const KALMO::IPAddress& target, uint16_t& count) {
  count = 0;
  if (probe(target)) return false;
  Receive answer;
  const int result = sendAck(target, Send(STATUSITEM_REQ, 0, 0, 0, 0, 1), STATUSITEM_ANS, answer, true);
  if (result == ACK_SOCKET_ERROR) return false;
  if (result == ACK_OK) count = answer.getOption0();
  return true;
}

bool Find::getStatus(const KALMO::IPAddress& target, uint16_t index, KALMO::IPAddress& controlAddress,
                     uint16_t& itemVersion, std::string& itemName, KALMO::IPAddress& linkAddress, uint16_t& kind) {
  controlAddress = KALMO::IPAddress{};
  kind = 0;
  if (probe(target)) return false;
  Receive answer;
  // By code and sender alone, as the port's answer.
  const int result = sendAck(target, Send(STATUSITEM_REQ, 0, index, 0, 0, 1), STATUSITEM_ANS, answer, true);
  if (result == ACK_SOCKET_ERROR) return false;
  if (result != ACK_OK) return true;
  itemVersion = answer.getOption3();
  // Address and port only when the payload holds all 18 bytes of them.
  answer.get_add_str(linkAddress, itemName);
  if (!versionFits(itemVersion)) return true;
  controlAddress = target;
  controlAddress.port = htons(answer.getOption2());
  kind = answer.getOption1();
  return true;
}

bool Find::findTarget(const TargetMap& found, PortMap& ports, MODE mode) {
  ports.clear();
  for (const auto& [target, info] : found) {
    if (!NotisName(target)) return false;
    uint16_t count0 = 0;
    uint16_t count1 = 0;
    uint8_t bitmap0[kBitmapSize];
    if (!getPort(target, mode, count0, count1, bitmap0, nullptr)) return false;

    Receive answer;
    const int result = sendAck(target, Send(TARGETINFO_REQ, 0), TARGETINFO_ANS, answer, true);
    if (result == ACK_SOCKET_ERROR) return false;
    const std::string text = result == ACK_OK ? infoText(target, answer) : std::string();

    const unsigned last = capped(count0, MAX_PORTS, "port", info.targetName);
    const bool useBitmap = count0 < kBitmapReach;
    KALMO::Clock start;
    start.now();
    // Ports of this target stored so far; two different ones make it a
    // multiport target (two indexes that name one port do not).
    std::set<KALMO::IPAddress> stored;
    for (unsigned i = 1; i <= last; ++i) {
      if (overBudget(start, listLimit)) {
        WARNING << "Vellora Find port listing time limit : " << info.targetName << " " << i << "-" << last
                << " left out";
        break;
      }
      if (useBitmap && !present(bitmap0, i)) continue;
      KALMO::IPAddress port;
      uint16_t portVersion = 0;
      std::string portName;
      SynchroNodeInfo syncInfo;
      if (!getPort(target, mode, static_cast<uint16_t>(i), port, portVersion, portName, syncInfo)) return false;
      if (isZero(port)) continue;
      TargetConnectInfo& record = ports[port];
      record = TargetConnectInfo{};
      record.productID = info.productID;
      record.portIndex = static_cast<uint16_t>(i);
      record.version = portVersion;
      record.targetName = info.targetName;
      record.infoText = text;
      record.targetAddress = target;
      record.portName = portName;
      record.syncInfo = syncInfo;
      DEBUG << "Vellora Find Sink Out: " << record.targetName << " " << record.portIndex << " " << record.version
            << " [" << record.targetAddress.interfaceIndex << "]";
      stored.insert(port);
      if (stored.size() >= 2) {
        record.multiport = true;
        if (stored.size() == 2) {
          for (const KALMO::IPAddress& other : stored) ports[other].multiport = true;
        }
      }
    }
  }
  return true;
}

bool Find::findTarget(const TargetMap& found, StatusMap& items) {
  items.clear();
  for (const auto& [target, info] : found) {
    if (!NotisName(target)) return false;
    uint16_t count = 0;
    if (!getStatus(target, count)) return false;
    const unsigned last = capped(count, MAX_STATUS_ITEMS, "status", info.targetName);
    KALMO::Clock start;
    start.now();
    for (unsigned i = 1; i <= last; ++i) {
      if (overBudget(start, listLimit)) {
        WARNING << "Vellora Find status listing time limit : " << info.targetName << " " << i << "-" << last
                << " left out";
        break;
      }
      KALMO::IPAddress control;
      KALMO::IPAddress link;
      uint16_t itemVersion = 0;
      std::string itemName;
      uint16_t kind = 0;
      if (!getStatus(target, static_cast<uint16_t>(i), control, itemVersion, itemName, link, kind)) return false;
      if (isZero(control)) continue;
      TargetStatusInfo& record = items[control];
      record.productID = info.productID;
      record.index = static_cast<uint16_t>(i);
      record.version = itemVersion;
      record.targetName = info.targetName;
      record.kind = kind;
      record.linkAddress = link;
      record.itemName = itemName;
      DEBUG << "Vellora Find Status: " << record.itemName << " " << record.index << " " << record.version << " ["
            << record.linkAddress.interfaceIndex << "]" << record.kind;
    }
  }
  return true;
}

bool Find::getOutput(const KALMO::IPAddress& target, uint16_t index, KALMO::IPAddress& port,
                     TargetConnectInfo& record) {
  port = KALMO::IPAddress{};
  KALMO::IPAddress t = target;
  t.port = htons(DISCOVERY_PORT);
  const bool targetIsLoopback = t.isLoopback();
  for (const KALMO::IPAddress& local : getIfList()) {
    if (targetIsLoopback != local.isLoopback()) continue;
    // Answers from ::1 carry no scope, so neither may the address asked.
    t.interfaceIndex = targetIsLoopback ? 0 : local.interfaceIndex;
    uint16_t portVersion = 0;
    std::string portName;
    SynchroNodeInfo syncInfo;
    if (!getPort(t, static_cast<MODE>(MODE_PORT_KIND1 | MODE_INDEX_OPTION0), index, port, portVersion, portName,
                 syncInfo)) {
      return false;
    }
    if (isZero(port)) continue;
    record.portIndex = index;
    record.version = portVersion;
    record.portName = portName;
    record.targetAddress = t;
    record.syncInfo = syncInfo;
    Receive answer;
    int result = sendAck(t, Send(FIND_REQ, 0), FIND_ANS, answer, true);
    if (result == ACK_SOCKET_ERROR) return false;
    if (result == ACK_OK) answer.get_str(record.targetName);
    result = sendAck(t, Send(TARGETINFO_REQ, 0), TARGETINFO_ANS, answer, true);
    if (result == ACK_SOCKET_ERROR) return false;
    if (result == ACK_OK) record.infoText = infoText(t, answer);
    return true;
  }
  return true;
}

bool Find::is_multiport(const PortMap& ports, const KALMO::IPAddress& endpoint) {
  for (const auto& entry : ports) {
    const KALMO::IPAddress& key = entry.first;
    if (std::memcmp(key.address, endpoint.address, sizeof key.address) == 0 &&
        key.interfaceIndex == endpoint.interfaceIndex && key.port != endpoint.port) {
      return true;
    }
  }
  return false;
}

}  // namespace VELLORA
