// Discovery client: opening, multicast sweeps, the acknowledged exchange,
// product filter and name announcement.
#include "discovery/find.h"

#include "base/syslog.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

namespace VELLORA {
namespace {

using KALMO::SysLog::DEBUG;
using KALMO::SysLog::ERR;
using KALMO::SysLog::INFO;

constexpr unsigned kRelease = 143;
constexpr uint64_t kAllOnes = ~uint64_t{0};
// Every datagram fits, so no long answer is cut and then thrown away.
constexpr size_t kReceiveSize = 65536;
// What drain() takes off the socket at most; a flood cannot hold it.
constexpr int kDrainLimit = 1024;
// Answering endpoints one discovery run keeps; a node answering from every
// port it has cannot make a run hold more.
constexpr size_t kMaxAnswers = 1024;

KALMO::IPAddress endpointOf(const char* v6, uint16_t port, uint32_t index) {
  KALMO::IPAddress a;
  (void)a.set_V6_str(v6);
  a.port = htons(port);
  a.interfaceIndex = index;
  return a;
}

}  // namespace

Find::Setting::Setting()
    : productID(kAllOnes),
      version(1),
      probeActive(false),
      loopback(false),
      nameValue(kAllOnes) {}

Find::Find(const Setting& setting)
    : productID(setting.productID),
      version(setting.version),
      name(setting.name),
      probeActive(setting.probeActive),
      loopback(setting.loopback),
      productIDs(setting.productIDs),
      nameValue(setting.nameValue) {}

Find::~Find() { socket.close(); }

bool Find::open(const std::list<KALMO::IPAddress>& addresses) {
  INFO << "Vellora Find Library ReleaseNo : " << kRelease;
  socket.close();
  localAddresses.clear();
  for (const KALMO::IPAddress& a : addresses) {
    if (a.interfaceIndex != 0) localAddresses.push_back(a);
  }
  INFO << "Find::open " << localAddresses.size();
  if (!socket.open(KALMO::Socket::UDP_IPV6)) {
    ERR << "error socket open Find::open";
    return false;
  }
  KALMO::IPAddress any;
  if (!socket.bindV6(any, 1000)) {
    ERR << "error socket bind Find::open";
    // A half-opened client must not sweep or answer as if it were open.
    socket.close();
    return false;
  }
  socket.receiveSize = kReceiveSize;
  return true;
}

bool Find::open(const std::list<std::string>& interfaceNames) {
  KALMO::Socket::InterfaceMap map;
  if (!KALMO::Socket::getMyLocalAddresV6(map, loopback)) {
    ERR << "error getMyLocalAddresV6 Find::open";
    return false;
  }
  std::list<KALMO::IPAddress> chosen;
  for (const std::string& want : interfaceNames) {
    if (want.empty()) continue;
    bool found = false;
    for (const auto& [address, iface] : map) {
      if (iface.name != want) continue;
      chosen.push_back(address);
      std::string text;
      address.get_V6_str(text);
      INFO << "much interface " << want << " " << text << " ifno:" << address.interfaceIndex;
      found = true;
      break;
    }
    if (!found) {
      ERR << "not much interface " << want;
      return false;
    }
  }
  return open(chosen);
}

bool Find::open(uint16_t interfaceIndex) {
  if (interfaceIndex == 0) return open(std::list<KALMO::IPAddress>{});
  KALMO::Socket::InterfaceMap map;
  if (!KALMO::Socket::getMyLocalAddresV6(map, loopback)) {
    ERR << "error getMyLocalAddresV6 Find::open";
    return false;
  }
  std::list<KALMO::IPAddress> chosen;
  for (const auto& entry : map) {
    const KALMO::IPAddress& address = entry.first;
    if (loopback && address.isLoopback()) chosen.push_back(address);
    if (address.interfaceIndex == interfaceIndex) chosen.push_back(address);
  }
  if (chosen.empty()) return false;
  return open(chosen);
}

bool Find::open(const KALMO::IPAddress& address) {
  static const uint8_t zero[16] = {};
  const bool given = std::memcmp(address.address, zero, sizeof zero) != 0 || address.port != 0;
  return given ? open(std::list<KALMO::IPAddress>{address}) : open(std::list<KALMO::IPAddress>{});
}

bool Find::open() { return open(std::list<KALMO::IPAddress>{}); }

void Find::close() { socket.close(); }

std::list<KALMO::IPAddress> Find::getIfList() {
  if (!localAddresses.empty()) return localAddresses;
  std::list<KALMO::IPAddress> list;
  KALMO::Socket::InterfaceMap map;
  if (!KALMO::Socket::getMyLocalAddresV6(map, loopback)) {
    ERR << "error getMyLocalAddresV6 Find::open";
    return list;
  }
  for (const auto& entry : map) {
    KALMO::IPAddress a = entry.first;
    if (a.isLoopback()) a.interfaceIndex = 0;
    list.push_back(a);
  }
  return list;
}

bool Find::namesDestination(int error) {
  switch (error) {
    case EINVAL:         // port 0, or an address this socket cannot send to
    case EDESTADDRREQ:
    case EAFNOSUPPORT:
    case EADDRNOTAVAIL:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
    case ECONNREFUSED:
    case EACCES:         // a firewall rule for that destination
    case EPERM:
      return true;
    default:
      return false;
  }
}

void Find::setIdleWork(IdleWork work) {
  idle_ = std::move(work);
  lastIdle_.now();
}

int Find::await(Window& window) {
  for (;;) {
    const uint64_t left = KALMO::Clock::remaining(window.start, window.length);
    if (left == 0) {
      // Idle work may have used up the window while an answer was already
      // queued: what arrived by now is still looked at, a bounded number.
      if (!window.idleRan || window.latePolls >= kDrainLimit) return KALMO::Socket::WAIT_TIMEOUT;
      ++window.latePolls;
      return socket.wait();
    }
    if (!idle_) return socket.wait(KALMO::Clock(left));
    KALMO::Clock now;
    now.now();
    const uint64_t since = now - lastIdle_;
    if (since >= IDLE_SLICE) {
      // By the clock, not by quiet slices: stray traffic must not hold it off.
      idle_();
      lastIdle_.now();
      window.idleRan = true;
      continue;
    }
    const uint64_t slice = IDLE_SLICE - since;
    const int w = socket.wait(KALMO::Clock(slice < left ? slice : left));
    if (w == KALMO::Socket::WAIT_TIMEOUT && slice < left) continue;
    return w;
  }
}

void Find::drain() {
  KALMO::Buffer scratch;
  KALMO::IPAddress from;
  // A zero-length datagram is one of them too, not the end of what waits.
  for (int i = 0; i < kDrainLimit && socket.wait() == KALMO::Socket::WAIT_READY; ++i) {
    if (!socket.receiveFromV6(scratch, from)) break;
  }
}

bool Find::sendMulti(const Send& request, MessageID answerId, std::map<KALMO::IPAddress, Receive>& answers) {
  // Never opened, or its opening failed: nothing may be reported.
  if (!socket.is_open()) return false;
  const std::list<KALMO::IPAddress> locals = getIfList();
  if (locals.empty()) return true;
  drain();
  const KALMO::BufferCS_const bytes = request;
  // One receive space for the whole sweep: a fresh buffer of the largest
  // datagram, allocated and filled for every answer, made a flood of answers
  // from many endpoints cost more than the window lasts on a slow build.
  KALMO::Buffer space(socket.receiveSize);
  for (const KALMO::IPAddress& local : locals) {
    DEBUG << "Find Multi Send : " << local.interfaceIndex;
    const KALMO::IPAddress to = local.isLoopback() ? endpointOf("::1", DISCOVERY_PORT, 0)
                                                   : endpointOf("ff02::1", DISCOVERY_PORT, local.interfaceIndex);
    (void)socket.sendToV6(bytes, to, false);
    for (const KALMO::IPAddress& extra : extraDestinations) (void)socket.sendToV6(bytes, extra, false);

    Window window;
    window.start.now();
    window.length = MULTI_WAIT;
    // The window ends at its deadline, however much arrives meanwhile.
    for (;;) {
      const int w = await(window);
      if (w == KALMO::Socket::WAIT_ERROR) return false;
      if (w == KALMO::Socket::WAIT_TIMEOUT) break;
      size_t got = 0;
      KALMO::IPAddress from;
      if (!socket.receiveFromV6(KALMO::BufferCS{space.data(), space.size()}, got, from)) return false;
      // Holds only what arrived, so a flood of short answers from many
      // endpoints cannot cost 64 KiB each once kept until the run ends.
      Receive r;
      r.datagram.assign(space.begin(), space.begin() + static_cast<std::ptrdiff_t>(got));
      DEBUG << "Find Multi Ack Rcv : " << r.datagram.size();
      if (!r || r.getMessage() != answerId || (r.getStatus() & STATUS_ACK) == 0) continue;
      // Nothing can be sent back to port 0: such an answer names no target.
      if (from.port == 0) {
        ++portZero_;
        continue;
      }
      if (answers.size() >= kMaxAnswers && answers.count(from) == 0) {
        ++overflow_;
        continue;
      }
      std::string text;
      from.get_str(text);
      DEBUG << "FindMultiAck[" << socket.interfaceIndex << "," << from.interfaceIndex << "]Valid : " << text;
      answers[from].datagram = std::move(r.datagram);
    }
  }
  return true;
}

bool Find::findTarget(TargetMap& found) {
  found.clear();
  std::map<KALMO::IPAddress, Receive> answers;
  portZero_ = 0;
  overflow_ = 0;
  for (int sweep = 0; sweep < 3; ++sweep) {
    const Send request(FIND_REQ, 0);
    if (!sendMulti(request, FIND_ANS, answers)) {
      found.clear();
      return false;
    }
  }
  if (portZero_ != 0) INFO << "Find Skip source port 0 : " << portZero_;
  if (overflow_ != 0) INFO << "Find Skip answers over " << kMaxAnswers << " : " << overflow_;
  std::vector<std::pair<unsigned, const std::pair<const KALMO::IPAddress, Receive>*>> order;
  order.reserve(answers.size());
  for (const auto& entry : answers) order.emplace_back(priority ? priority(entry.first) : 0u, &entry);
  std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  for (const auto& ranked : order) {
    const KALMO::IPAddress& from = ranked.second->first;
    const Receive& answer = ranked.second->second;
    if (screen && !screen(from)) continue;
    if (!NotisName(from)) {
      // A send that failed for this answerer alone loses that answerer; a
      // failure of the socket itself still ends the run.
      if (!lastSendRefused()) return false;
      std::string text;
      from.get_str(text);
      INFO << "Find Drop : " << text << " " << std::strerror(sendRefused_);
      continue;
    }
    if (muchID(answer.getOption()) == kAllOnes) continue;
    FindTargetSt& t = found[from];
    t.productID = answer.getOption();
    answer.get_str(t.targetName);
  }
  return true;
}

uint64_t Find::muchID(uint64_t id) const {
  if (productID != 0 && id != 0) {
    bool accepted = id == productID;
    for (uint64_t other : productIDs) accepted = accepted || id == other;
    if (accepted) {
      DEBUG << "Terget Producst : " << id;
      return id;
    }
    INFO << "Find Skip : " << id;
    return kAllOnes;
  }
  DEBUG << "Find Target: " << id;
  return id;
}

bool Find::NotisName(const KALMO::IPAddress& target) {
  SendBuffer request;
  // A name longer than one datagram on the link would fail every send and
  // so stop discovery altogether; it is cut instead.
  (void)request.set_str(name.size() > MAX_NAME ? name.substr(0, MAX_NAME) : name);
  request.set(NOTISNAME_REQ, STATUS_ACK, nameValue);
  request.update();
  Receive answer;
  return sendAck(target, request, NOTISNAME_ANS, answer, true) != ACK_SOCKET_ERROR;
}

int Find::sendAck(const KALMO::IPAddress& destination, const Send& request, MessageID answerId, Receive& answer,
                  bool retry) {
  return exchange(destination, request, answerId, answer, retry, Match{});
}

int Find::exchange(const KALMO::IPAddress& destination, const Send& request, MessageID answerId, Receive& answer,
                   bool retry, Match match) {
  answer.clear();
  sendRefused_ = 0;
  if (!socket.is_open()) return ACK_SOCKET_ERROR;
  drain();
  if (!socket.sendToV6(request, destination, retry)) {
    const int error = socket.lastError.load(std::memory_order_relaxed);
    if (namesDestination(error)) sendRefused_ = error;
    return ACK_SOCKET_ERROR;
  }
  Window window;
  window.start.now();
  window.length = ACK_WAIT;
  const MessageID own = request.getMessage();
  for (;;) {
    const int w = await(window);
    if (w == KALMO::Socket::WAIT_ERROR) return ACK_SOCKET_ERROR;
    if (w == KALMO::Socket::WAIT_TIMEOUT) return ACK_TIMEOUT;
    Receive r;
    KALMO::IPAddress from;
    if (!socket.receiveFromV6(r.datagram, from)) return ACK_SOCKET_ERROR;
    if (r.datagram.empty() || !r) continue;
    DEBUG << "sendAck[" << socket.interfaceIndex << "," << destination.interfaceIndex << "," << from.interfaceIndex
          << "]RCV:" << static_cast<unsigned>(own);
    if (match.onlyFromDestination && from.comp(destination) != 0) continue;
    const MessageID code = r.getMessage();
    if (code == own) {
      ++answered_;
      return ACK_ECHO;
    }
    if (code != answerId) continue;
    if (match.option >= 0) {
      const uint16_t words[4] = {r.getOption0(), r.getOption1(), r.getOption2(), r.getOption3()};
      const uint16_t carried = words[match.option & 3];
      if (carried != 0 && carried != match.value) continue;  // the answer to another question
    }
    if ((r.getStatus() & STATUS_ACK) == 0) {
      answer = std::move(r);
      ++answered_;
      return ACK_REFUSED;
    }
    if (from.comp(destination) == 0) {
      answer = std::move(r);
      ++answered_;
      return ACK_OK;
    }
  }
}

bool Find::pingTarget(KALMO::IPAddress target) {
  const Send request(FIND_REQ, 0);
  Receive answer;
  return sendAck(target, request, FIND_ANS, answer, true) == ACK_OK;
}

bool Find::getTarget(const KALMO::IPAddress& target, uint64_t& id, std::string& targetName) {
  const Send request(FIND_REQ, 0);
  Receive answer;
  const int result = sendAck(target, request, FIND_ANS, answer, true);
  if (result == ACK_SOCKET_ERROR) return false;
  if (!NotisName(target)) return false;
  if (result == ACK_OK) {
    id = muchID(answer.getOption());
    answer.get_str(targetName);
  } else {
    id = kAllOnes;
  }
  return true;
}

bool Find::probe(const KALMO::IPAddress& target) {
  if (!probeActive) return false;
  const Send request(PROBE_REQ, 0, uint64_t{0});
  Receive answer;
  return sendAck(target, request, SUPPORTFORMAT_ANS, answer, true) == ACK_OK;
}

bool Find::versionFits(uint16_t targetVersion) const {
  if (version != 0 && version < targetVersion) {
    INFO << "Vellora Find protocol version not much : " << version << "<" << targetVersion;
    return false;
  }
  return true;
}

}  // namespace VELLORA
