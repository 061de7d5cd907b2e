#pragma once
// The control-socket half of a streaming connection: one UDP/IPv6 socket and
// the protocol's acknowledged request exchange.
//
// sendAck sends a request, waits for the peer's answer and resends on
// silence, three sends in all. It reports only socket failures as false; a
// missing, refused or echoed answer is true with an empty answer record,
// which callers tell apart by testing the record. Each try has a fixed
// deadline, so datagrams from other senders, invalid ones and unexpected
// codes cannot stretch an exchange beyond three waits.

#include "base/buffer.h"
#include "base/clock.h"
#include "base/ip_address.h"
#include "base/socket.h"
#include "protocol/message.h"
#include "protocol/message_id.h"

#include <string>

namespace VELLORA {

class Connection {
 public:
  KALMO::UDPV6 socket;  // closed until open

  Connection() = default;
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Opens the socket (receive size 4096) and binds it to `local`; a port of
  // 0 is replaced by the chosen one.
  bool open(KALMO::IPAddress& local);
  void close();
  // The socket's default destination.
  void setTo(const KALMO::IPAddress& peer);

  // One exchange on `socket`: `wait` is the time per try. `out` holds the
  // answer only when it came from `peer` with `answer` and STATUS_ACK.
  static bool sendAck(KALMO::UDPV6& socket, const KALMO::IPAddress& peer, const Send& request,
                      MessageID answer, Receive& out, KALMO::Clock wait);
  // The same on the connection's own socket.
  bool sendAck(const KALMO::IPAddress& peer, const Send& request, MessageID answer, Receive& out,
               KALMO::Clock wait);

  // Appends the bytes to the file (/tmp/dump for an empty path); failures
  // are not reported.
  static void dumpfile(KALMO::BufferCS_const bytes, const std::string& path);
};

}  // namespace VELLORA
