#include "protocol/ssync_debug.h"

#include "base/syslog.h"
#include "base/thread_priority.h"
#include "protocol/message.h"
#include "protocol/syslog_vellora.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <list>

namespace VELLORA {

namespace {

using KALMO::Clock;
using KALMO::SysLog::INFO;
using KALMO::SysLog::WARNING;

constexpr uint64_t kMs = 1000000000ull;
constexpr Clock kRegisterWait = 10 * kMs;  // per try of the DEBUG_REQ exchange
constexpr int kRegisterTries = 3;
constexpr Clock kListenWait = 100 * kMs;   // one pass of the loop

// Option 0 of a DEBUG_ANS that carries a text.
constexpr uint16_t kTextOption = 2;

bool logAt(int level) { return SysLogVellora::vellora_log >= level; }

bool isText(const Receive& r) {
  return static_cast<bool>(r) && r.getMessage() == DEBUG_ANS && r.getOption0() == kTextOption;
}

void logTarget(const Receive& r) {
  if (!logAt(6)) return;
  INFO << "Target: " << SSyncDebug::logText(r.get_data_CS());
}

}  // namespace

SSyncDebug::~SSyncDebug() { stop(); }

void SSyncDebug::setTarget(const KALMO::IPAddress& to) {
  {
    std::lock_guard<std::mutex> lock(targetMutex);
    target = to;
    haveTarget = true;
  }
  pending = true;
}

KALMO::IPAddress SSyncDebug::getTarget() const {
  std::lock_guard<std::mutex> lock(targetMutex);
  return target;
}

bool SSyncDebug::start(KALMO::UDPV6& s, bool pin, int firstCpu, int count) {
  if (thread.joinable() || !s.is_open()) return false;
  socket = &s;
  occupied = pin;
  cpu = firstCpu;
  cpuCount = count;
  quit = false;
  {
    std::lock_guard<std::mutex> lock(targetMutex);
    if (haveTarget) pending = true;
  }
  try {
    thread = std::thread(&SSyncDebug::thread_debug_func, this);
  } catch (...) {
    socket = nullptr;
    return false;
  }
  return true;
}

void SSyncDebug::stop() {
  if (!thread.joinable()) return;
  quit = true;
  wake();
  thread.join();
  socket = nullptr;
}

void SSyncDebug::wake() {
  // A datagram to our own port ends the wait at once; without it the loop
  // still sees the flag within one pass.
  sockaddr_in6 own{};
  socklen_t length = sizeof own;
  if (::getsockname(socket->getDescriptor(), reinterpret_cast<sockaddr*>(&own), &length) != 0 ||
      own.sin6_family != AF_INET6) {
    return;
  }
  KALMO::UDPV6 waker;
  if (!waker.open(KALMO::Socket::UDP_IPV6)) return;
  KALMO::IPAddress to{};
  to.address[15] = 1;  // ::1 reaches a socket bound to [::]
  to.port = own.sin6_port;
  const uint8_t byte = 0;
  (void)waker.sendToV6(KALMO::BufferCS_const{&byte, 1}, to, false);
}

bool SSyncDebug::sendRequest(const KALMO::IPAddress& to) {
  Send request(DEBUG_REQ, 0, static_cast<uint16_t>(logAt(6) ? 1 : 0), 0, 0, 0);
  return socket->sendToV6(request, to, true);
}

void SSyncDebug::thread_debug_func() {
  const unsigned long self = KALMO::ThreadPriority::getSelfThreadID();
  if (occupied && cpu != -1 && cpuCount > 0) {
    const std::list<KALMO::ThreadPriority::Cpus> cpus{
        {static_cast<uint16_t>(cpu), static_cast<uint16_t>(cpuCount)}};
    if (KALMO::ThreadPriority::setCpuThread(self, cpus)) {
      INFO << "Debug Thread CPU set " << cpu << "," << cpuCount;
    } else {
      WARNING << "Debug Thread CPU set error " << cpu << "," << cpuCount;
    }
  }
  (void)KALMO::ThreadPriority::setPriority(self, KALMO::ThreadPriority::IDLE);

  // The registration is the acknowledged exchange (three sends, 10 ms
  // each, until a DEBUG_ANS of the target arrives), run inside the loop
  // rather than beside it: a text that the sink sends before its answer is
  // logged like any other instead of being taken for the answer and lost.
  KALMO::IPAddress from;
  KALMO::IPAddress registered{};
  int sends = 0;          // DEBUG_REQ sent to `registered`
  bool asking = false;    // no DEBUG_ANS of `registered` yet, sends left
  Clock askedAt;
  Receive got;
  while (!quit.load()) {
    if (pending.exchange(false)) {
      registered = getTarget();
      sends = 0;
      asking = true;
    }
    Clock wait = kListenWait;
    if (asking) {
      Clock now;
      now.now();
      const uint64_t since = now - askedAt;
      if (sends == 0 || since >= kRegisterWait) {
        if (sends == kRegisterTries || !sendRequest(registered)) {
          // The result is not needed: the sink sends its texts or it does not.
          asking = false;
        } else {
          askedAt = now;
          sends += 1;
          wait = kRegisterWait;
        }
      } else {
        wait = kRegisterWait - since;
      }
    }
    const int ready = socket->wait(wait);
    if (ready == KALMO::Socket::WAIT_ERROR) break;
    if (ready == KALMO::Socket::WAIT_TIMEOUT) continue;
    if (!socket->receiveFromV6(got.datagram, from)) break;
    if (quit.load()) break;
    if (!got || from.comp(registered) != 0 || got.getMessage() != DEBUG_ANS) continue;
    asking = false;  // any DEBUG_ANS of the target answers the request
    if (isText(got)) logTarget(got);
  }
}

std::string SSyncDebug::logText(KALMO::BufferCS_const payload) {
  size_t n = 0;
  while (n < payload.size && n < MAX_TEXT && payload.data[n] != 0) ++n;
  while (n > 0 && (payload.data[n - 1] == '\n' || payload.data[n - 1] == '\r')) --n;
  std::string text(reinterpret_cast<const char*>(payload.data), n);
  for (char& c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = ' ';
  }
  return text;
}

}  // namespace VELLORA
