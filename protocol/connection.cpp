#include "protocol/connection.h"

#include "base/syslog.h"

#include <fstream>

namespace VELLORA {
namespace {

constexpr int kTries = 3;
constexpr size_t kReceiveSize = 4096;

}  // namespace

Connection::~Connection() { close(); }

bool Connection::open(KALMO::IPAddress& local) {
  socket.receiveSize = kReceiveSize;
  if (!socket.open(KALMO::Socket::UDP_IPV6)) return false;
  return socket.bindV6(local, 1000);
}

void Connection::close() { socket.close(); }

void Connection::setTo(const KALMO::IPAddress& peer) { socket.setToV6(peer); }

bool Connection::sendAck(const KALMO::IPAddress& peer, const Send& request, MessageID answer,
                         Receive& out, KALMO::Clock wait) {
  return sendAck(socket, peer, request, answer, out, wait);
}

bool Connection::sendAck(KALMO::UDPV6& socket, const KALMO::IPAddress& peer, const Send& request,
                         MessageID answer, Receive& out, KALMO::Clock wait) {
  out.clear();
  const KALMO::BufferCS_const bytes = request;
  const MessageID own = request.getMessage();
  Receive got;
  KALMO::IPAddress from;
  for (int attempt = 0; attempt < kTries; ++attempt) {
    if (!socket.sendToV6(bytes, peer, true)) return false;
    KALMO::Clock start;
    start.now();
    KALMO::Clock remaining = wait;
    for (;;) {
      const int ready = socket.wait(remaining);
      if (ready == KALMO::Socket::WAIT_ERROR) return false;
      if (ready == KALMO::Socket::WAIT_TIMEOUT) break;
      if (!socket.receiveFromV6(got.datagram, from)) return false;
      if (!got) {
        KALMO::SysLog::DEBUG << "sendAck RCV errpacket:" << got.datagram.size();
      } else if (from.comp(peer) == 0) {
        KALMO::SysLog::DEBUG << "sendAck[" << (socket.interfaceIndex & 0xFFFFu) << ","
                             << (peer.interfaceIndex & 0xFFFFu) << ","
                             << (from.interfaceIndex & 0xFFFFu) << "]RCV:"
                             << static_cast<unsigned>(own);
        const MessageID code = got.getMessage();
        if (code == own) return true;
        if (code == answer) {
          if ((got.getStatus() & STATUS_ACK) != 0) out.datagram.swap(got.datagram);
          return true;
        }
      }
      // Skipped datagrams do not restart the wait: the try keeps its
      // deadline however many of them arrive.
      KALMO::Clock now;
      now.now();
      const KALMO::Clock elapsed = now.get() - start.get();
      if (elapsed.Comp(wait) >= 0) break;
      remaining = wait.get() - elapsed.get();
    }
  }
  return true;
}

void Connection::dumpfile(KALMO::BufferCS_const bytes, const std::string& path) {
  std::ofstream file(path.empty() ? std::string("/tmp/dump") : path,
                     std::ios::binary | std::ios::app);
  if (!file || bytes.size == 0) return;
  file.write(reinterpret_cast<const char*>(bytes.data), static_cast<std::streamsize>(bytes.size));
}

}  // namespace VELLORA
