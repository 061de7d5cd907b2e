// Control channel: greeting the chain's endpoints, learning their items,
// the value exchanges and the cached answers.
#include "discovery/control.h"

#include "base/syslog.h"

#include <algorithm>
#include <cerrno>
#include <utility>

namespace VELLORA {
namespace {

using KALMO::SysLog::DEBUG;
using KALMO::SysLog::ERR;
using KALMO::SysLog::INFO;
using KALMO::SysLog::WARNING;

constexpr unsigned kRelease = 143;
constexpr uint16_t kWrite = 0x8000;  // option0 bit of a value write
constexpr uint64_t kValueMask = (uint64_t{1} << 48) - 1;
// What drain() takes off the socket at most; a flood cannot hold it.
constexpr int kDrainLimit = 1024;

// The volume a value holds. Targets answer the 48-bit two's complement the
// host writes, or a bare 16-bit image with bits 16-47 clear; both read as
// the low 16 bits. A 48-bit number beyond the 16-bit range is held at its
// end instead of wrapping: -40000 must not read as +25536 (full volume).
int16_t volumeOf(uint64_t value) {
  value &= kValueMask;
  if ((value >> 16) == 0 || (value >> 15) == (kValueMask >> 15)) {
    return static_cast<int16_t>(static_cast<uint16_t>(value));
  }
  return (value >> 47) != 0 ? INT16_MIN : INT16_MAX;
}

}  // namespace

Control::Control(const Setting& setting) : name(setting.name), nameValue(setting.nameValue) {}

Control::~Control() { socket.close(); }

bool Control::open() {
  INFO << "Vellora Control Library ReleaseNo : " << kRelease;
  repeats_ = Repeats{};
  // Socket::open does not record its error in lastError; errno still holds
  // the failed socket call's error, and a value from an earlier failure must
  // not be reported for this one.
  socket.lastError.store(0);
  if (!socket.open(KALMO::Socket::UDP_IPV6)) {
    const int system = errno;
    const int recorded = socket.lastError.load();
    ERR << "UDP control open error:" << (recorded != 0 ? recorded : system);
    return false;
  }
  KALMO::IPAddress any;
  if (!socket.bindV6(any, 1000)) {
    socket.close();
    return false;
  }
  return true;
}

void Control::close() {
  socket.close();
  repeats_ = Repeats{};
}

bool Control::connect(const Find::StatusSort& chain) {
  items.clear();
  KALMO::Clock start;
  start.now();
  // Checked before every exchange of the connect.
  auto overTime = [this, &start] {
    if (connectLimit.get() == 0 || KALMO::Clock::remaining(start, connectLimit.get()) != 0) return false;
    WARNING << "Control connect time limit : " << static_cast<unsigned long>(items.size()) << " items";
    return true;
  };
  SendBuffer hello;
  // A name longer than one datagram on the link would fail every hello.
  (void)hello.set_str(name.size() > Find::MAX_NAME ? name.substr(0, Find::MAX_NAME) : name);
  hello.set(CONTROLHELLO_REQ, STATUS_ACK, nameValue);
  hello.update();
  for (const Find::StatusSortSt& element : chain) {
    const KALMO::IPAddress& at = element.controlAddress;
    Receive answer;
    if (overTime()) return false;
    // An unanswered hello is fine: some targets only answer the queries.
    if (!sendAck(at, hello, CONTROLHELLO_ANS, answer)) return false;
    if (overTime()) return false;
    if (!sendAck(at, Send(CONTROLITEM_REQ, 0, 0, 0, 0, 0), CONTROLITEM_ANS, answer) || !answer) return false;
    const uint16_t count = answer.getOption0();
    if (count > MAX_ITEMS) {
      WARNING << "Control item count over limit : " << static_cast<unsigned>(count);
      return false;
    }
    if (count > MAX_CHAIN_ITEMS - items.size()) {
      WARNING << "Control chain items over limit : " << static_cast<unsigned long>(items.size() + count);
      return false;
    }
    for (uint16_t i = 1; i <= count; ++i) {
      if (overTime()) return false;
      if (!sendAck(at, Send(CONTROLITEM_REQ, 0, i, 0, 0, 0), CONTROLITEM_ANS, answer) || !answer) return false;
      StatusSt item;
      item.controlAddress = at;
      item.id = i;
      item.kind = answer.getOption1();
      item.chainEnd = element.chainEnd;
      item.ownPort = element.ownPort;
      items.push_back(item);
    }
  }
  for (size_t i = 0; i < items.size(); ++i) {
    if (overTime() || !exchangeValue(i, items[i].id)) return false;
  }
  return true;
}

bool Control::connect(KALMO::IPAddress endpoint) {
  Find::StatusSort chain;
  Find::StatusSortSt element;
  element.controlAddress = endpoint;
  element.chainEnd = 1;
  element.ownPort = 0;
  chain.push_back(element);
  return connect(chain);
}

bool Control::exchangeValue(size_t index, uint64_t option) {
  StatusSt& item = items[index];
  Receive answer;
  if (!exchange(item.controlAddress, Send(CONTROLVALUE_REQ, 0, option), CONTROLVALUE_ANS, answer, item.id)) {
    return false;
  }
  if (!answer) return false;
  item.value = answer.getOption() >> 16;
  item.status = answer.getStatus();
  return true;
}

bool Control::update() {
  for (size_t i = 0; i < items.size(); ++i) {
    if (!exchangeValue(i, items[i].id)) return false;
  }
  return true;
}

bool Control::setValue(int16_t index, uint64_t value) {
  if (index < 0 || static_cast<size_t>(index) >= items.size()) return false;
  const size_t at = static_cast<size_t>(index);
  const uint64_t option = static_cast<uint64_t>(items[at].id | kWrite) | ((value & kValueMask) << 16);
  return exchangeValue(at, option);
}

bool Control::setVolume(int16_t volume) {
  // Chain ends first: a device is turned down before the one feeding it is
  // set to 0 (full).
  for (size_t i = items.size(); i-- > 0;) {
    if (items[i].kind != StatusSt::KIND_VOLUME) continue;
    const int64_t v = items[i].chainEnd ? volume : 0;
    // connect keeps every position within int16_t.
    if (!setValue(static_cast<int16_t>(i), static_cast<uint64_t>(v))) return false;
  }
  return true;
}

bool Control::getVolume(int16_t& volume) const {
  for (const StatusSt& item : items) {
    if (item.chainEnd && item.kind == StatusSt::KIND_VOLUME) {
      volume = volumeOf(item.value);
      return true;
    }
  }
  return false;
}

bool Control::getPlay(bool& playing) const {
  playing = true;
  bool found = false;
  for (const StatusSt& item : items) {
    if (!item.ownPort || item.kind != StatusSt::KIND_PLAY) continue;
    found = true;
    playing = playing && (item.status & PLAYING) != 0;
  }
  return found;
}

uint64_t Control::getPlayFormat() const {
  for (const StatusSt& item : items) {
    if (item.ownPort && item.kind == StatusSt::KIND_PLAY) {
      // Channels and sample type stay in bits 0-15, the rate bits move to
      // 32-63 where the format word keeps them.
      return (item.value & 0xFFFF) | ((item.value & 0xFFFFFFFF0000ULL) << 16);
    }
  }
  return 0;
}

bool Control::sendAck(const KALMO::IPAddress& destination, const Send& request, MessageID answerId,
                      Receive& answer) {
  return exchange(destination, request, answerId, answer, -1);
}

void Control::drain() {
  Receive stale;
  KALMO::IPAddress from;
  // A zero-length datagram is one of them too, not the end of what waits.
  for (int i = 0; i < kDrainLimit && socket.wait() == KALMO::Socket::WAIT_READY; ++i) {
    if (!socket.receiveFromV6(stale.datagram, from)) break;
    if (!stale.datagram.empty()) (void)repeated(from, stale);  // counts a copy that came before the next request
  }
}

bool Control::repeated(const KALMO::IPAddress& from, const Receive& datagram) {
  if (repeats_.left <= 0) return false;
  KALMO::Clock now;
  now.now();
  if (now.Comp(repeats_.until) > 0) {
    repeats_.left = 0;
    return false;
  }
  if (from.comp(repeats_.from) != 0 || datagram.datagram != repeats_.bytes) return false;
  --repeats_.left;
  return true;
}

void Control::setIdleWork(IdleWork work) {
  idle_ = std::move(work);
  lastIdle_.now();
}

bool Control::exchange(const KALMO::IPAddress& destination, const Send& request, MessageID answerId,
                       Receive& answer, int id) {
  answer.clear();
  if (!socket.is_open()) return false;
  if (idle_) {
    // Before the request goes, so the work never eats into its tries.
    KALMO::Clock now;
    now.now();
    if (now - lastIdle_ >= IDLE_SLICE) {
      idle_();
      lastIdle_.now();
    }
  }
  drain();
  const MessageID own = request.getMessage();
  KALMO::Clock start;
  start.now();
  Receive r;
  KALMO::IPAddress from;
  for (int sent = 0; sent < ACK_TRIES;) {
    if (!socket.sendToV6(request, destination, true)) return false;
    ++sent;
    for (;;) {
      const uint64_t left = KALMO::Clock::remaining(start, ACK_LIMIT);
      if (left == 0) return true;
      const int w = socket.wait(KALMO::Clock(std::min(ACK_WAIT, left)));
      if (w == KALMO::Socket::WAIT_ERROR) return false;
      if (w == KALMO::Socket::WAIT_TIMEOUT) {
        if (KALMO::Clock::remaining(start, ACK_LIMIT) == 0) return true;
        break;  // the next try
      }
      if (!socket.receiveFromV6(r.datagram, from)) return false;
      // An empty datagram is not a valid one either, and is logged as such.
      if (!r) {
        DEBUG << "sendAck RCV errpacket:" << static_cast<unsigned long>(r.datagram.size());
        continue;
      }
      if (from.comp(destination) != 0) continue;
      DEBUG << "sendAck[" << socket.interfaceIndex << "," << destination.interfaceIndex << ","
            << from.interfaceIndex << "]RCV:" << static_cast<unsigned>(own);
      const MessageID code = r.getMessage();
      if (code == own) return true;
      if (code != answerId) continue;
      // A slow target answers each try; the copies for the tries of the
      // last exchange are not answers to this one.
      if (repeated(from, r)) continue;
      if ((r.getStatus() & STATUS_ACK) == 0) return true;
      if (id >= 0 && r.getOption0() != id) continue;  // the answer for another item
      if (sent > 1) {
        repeats_.from = from;
        repeats_.bytes = r.datagram;
        repeats_.left = sent - 1;
        repeats_.until.now();
        repeats_.until = repeats_.until + ACK_LIMIT;
      }
      answer = std::move(r);
      return true;
    }
  }
  return true;
}

}  // namespace VELLORA
