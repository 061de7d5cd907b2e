// Data upload into a numbered slot of a target: the slot query and open
// (the target sets packet size, packets per block and block count), bursts
// of packets with one acknowledgement each, resends with a shrinking window
// after a loss, and the finish exchange with the CRC-16 of the whole data.
#include "discovery/find.h"

#include "base/crc16.h"
#include "base/syslog.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace VELLORA {
namespace {

using KALMO::SysLog::DEBUG;
using KALMO::SysLog::ERR;
using KALMO::SysLog::INFO;

constexpr uint16_t kLastOfBurst = 0x8000;
constexpr uint16_t kNoWindowLimit = 0xFFFF;
constexpr uint16_t kComplete = 0xFFFF;
constexpr uint64_t kUnlimited = std::numeric_limits<uint64_t>::max();

// Where a socket call failed, as the error lines name it.
constexpr int kSendPlace = 804;
constexpr int kResendPlace = 824;
constexpr int kAckReceivePlace = 851;
constexpr int kDrainReceivePlace = 893;

// The largest packet, resent with its 3 extra bytes and padding, still fits
// the length word and one UDP datagram over IPv6.
static_assert(Find::MAX_TRANSFER_PACKET + 3 <= MAX_PAYLOAD);
static_assert(HEADER_SIZE + ((Find::MAX_TRANSFER_PACKET + 3 + 7) & ~uint64_t{7}) <= 65535 - 8);

bool slotInRange(int32_t slot) { return slot >= 0 && slot <= Find::MAX_TRANSFER_SLOT; }

// A span of time that runs from its start.
class Window {
 public:
  explicit Window(uint64_t span) : span_(span) { start_.now(); }
  // Picoseconds left; 0 once the span has passed.
  uint64_t left() const { return KALMO::Clock::remaining(start_, span_); }

 private:
  KALMO::Clock start_;
  uint64_t span_;
};

// The bursts of one upload and their acknowledgements.
class Upload {
 public:
  Upload(KALMO::Socket& socket, const KALMO::IPAddress& target, uint16_t slotWord, uint64_t window)
      : socket_(socket), target_(target), slotWord_(slotWord), window_(window) {}

  uint64_t window() const { return window_; }

  // Sends the burst and resends it until the target acknowledges it whole.
  bool burst(std::vector<SendBuffer>& packets, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      if (!socket_.sendToV6(packets[i], target_, false)) {
        ERR << "UDP stream send error " << kSendPlace << ":" << socket_.lastError.load();
        return false;
      }
    }
    const uint16_t last = packets[count - 1].getOption1();
    for (int resends = 0;;) {
      const Ack ack = waitAck(last);
      if (ack == Ack::ACCEPTED) return true;
      if (ack == Ack::FAILED || !drain()) return false;
      if (window_ > 1000) {
        window_ -= 1000;
      } else if (window_ >= 2) {
        --window_;
      }
      ++resends;
      INFO << "resend " << static_cast<unsigned long>(count);
      if (resends > Find::TRANSFER_RESENDS) {
        ERR << "Transfer error " << resends;
        return false;
      }
      if (!resend(packets, count)) return false;
    }
  }

 private:
  enum class Ack { ACCEPTED, LOSS, FAILED };

  Ack waitAck(uint16_t last) {
    const Window window(Find::TRANSFER_ACK_WAIT);
    for (uint64_t left = window.left(); left != 0; left = window.left()) {
      const int w = socket_.wait(KALMO::Clock(left));
      if (w == KALMO::Socket::WAIT_ERROR) {
        INFO << "Retry Detect Error ";
        return Ack::FAILED;
      }
      if (w == KALMO::Socket::WAIT_TIMEOUT) break;
      Receive r;
      KALMO::IPAddress from;
      if (!socket_.receiveFromV6(r.datagram, from)) {
        ERR << "UDP stream send error " << kAckReceivePlace << ":" << socket_.lastError.load();
        return Ack::FAILED;
      }
      // Only the target's own acknowledgements count: anything else on the
      // discovery socket neither moves the upload on nor stops it.
      if (r.datagram.empty() || from.comp(target_) != 0 || !r || r.getMessage() != TRANSFERDATA_ANS) continue;
      if ((r.getStatus() & STATUS_ACK) == 0) {
        ERR << "Transfer NAK error ";
        return Ack::FAILED;
      }
      if (r.getOption0() != slotWord_) {
        ERR << "Transfer NO error ";
        return Ack::FAILED;
      }
      acked_ = r.getOption1();
      if (acked_ == last) return Ack::ACCEPTED;
      if (acked_ == static_cast<uint16_t>(last + 1)) {
        INFO << "Retry Redy Pass " << last << " " << acked_;
        return Ack::ACCEPTED;
      }
      INFO << "Retry Detect err " << last << " " << acked_;
      return Ack::LOSS;
    }
    return Ack::LOSS;
  }

  // Drops what is still arriving after a loss (late acknowledgements of
  // the burst) until the target has been quiet for a while, but never for
  // longer than the drain limit, and never renewed by other senders.
  bool drain() {
    const Window total(Find::TRANSFER_DRAIN_LIMIT);
    Window quiet(Find::TRANSFER_QUIET);
    for (;;) {
      const uint64_t left = std::min(quiet.left(), total.left());
      if (left == 0) return true;
      const int w = socket_.wait(KALMO::Clock(left));
      if (w == KALMO::Socket::WAIT_ERROR) {
        INFO << "Retry Clear Error ";
        return false;
      }
      if (w == KALMO::Socket::WAIT_TIMEOUT) return true;
      KALMO::IPAddress from;
      if (!socket_.receiveFromV6(scratch_, from)) {
        ERR << "UDP stream send error " << kDrainReceivePlace << ":" << socket_.lastError.load();
        return false;
      }
      if (!scratch_.empty() && from.comp(target_) == 0) quiet = Window(Find::TRANSFER_QUIET);
    }
  }

  // Resends the burst from the first missing packet on, and its last packet
  // in any case (its acknowledgement closes the burst). Which packets follow
  // the acknowledged number is decided by the distance modulo 65536, so a
  // burst across the wrap of the sequence number is resent in full.
  bool resend(std::vector<SendBuffer>& packets, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      SendBuffer& packet = packets[i];
      const uint16_t sequence = packet.getOption1();
      if (i + 1 != count && static_cast<uint16_t>(sequence - acked_) >= count) continue;
      // The same header and data, with 0 to 3 zero bytes more before the
      // padding, so a resend need not look like its first sending on the wire.
      const auto length = static_cast<size_t>(packet.size_data());
      const auto more = static_cast<size_t>(std::rand() % 4);
      (void)packet.resize(length, length + more);  // length is at most MAX_TRANSFER_PACKET
      packet.update();
      const KALMO::BufferCS_const bytes = packet;
      INFO << "resend " << packet.getOption3() << " " << packet.getOption2() << " " << sequence
           << " data=" << static_cast<unsigned long>(length) << " packet=" << static_cast<unsigned long>(bytes.size);
      if (!socket_.sendToV6(bytes, target_, false)) {
        ERR << "UDP stream send error " << kResendPlace << ":" << socket_.lastError.load();
        return false;
      }
    }
    return true;
  }

  KALMO::Socket& socket_;
  const KALMO::IPAddress target_;
  const uint16_t slotWord_;
  uint64_t window_;
  uint16_t acked_ = 0;
  KALMO::Buffer scratch_;
};

void logProgress(uint16_t block, uint16_t blocks) { DEBUG << "Transfer " << block << "/" << blocks; }

}  // namespace

bool Find::Transfer(KALMO::IPAddress target, int32_t slot, KALMO::BufferCS_const data, uint64_t window) {
  return Transfer(target, slot, data, window, logProgress);
}

bool Find::Transfer(KALMO::IPAddress target, int32_t slot, KALMO::BufferCS_const data, uint64_t window,
                    const TransferProgress& progress) {
  // Slot + 1 travels in a word whose 0 is the slot query and whose top bit
  // marks the last packet of a burst.
  if (!slotInRange(slot)) {
    ERR << "Transfer slot error " << slot;
    return false;
  }
  const auto slotWord = static_cast<uint16_t>(slot + 1);

  Receive answer;
  if (exchange(target, Send(TRANSFERSLOT_REQ, 0, 0, 0, 0, 0), TRANSFERSLOT_ANS, answer, true, Match{-1, 0, true}) != ACK_OK) return false;
  const uint16_t slots = answer.getOption0();
  if (slots == 0 || slots <= slot) return false;
  const uint64_t limit = answer.getOption1() == kNoWindowLimit ? kUnlimited : answer.getOption1();
  const uint64_t burstLimit = window == 0 || window >= limit ? limit : window;

  if (exchange(target, Send(TRANSFERSLOT_REQ, 0, slotWord, 0, 0, 0), TRANSFERSLOT_ANS, answer, true, Match{-1, 0, true}) != ACK_OK ||
      answer.getOption0() != slotWord) {
    return false;
  }
  const uint64_t packetSize = uint64_t{answer.getOption1()} + 1;
  const uint64_t blockPackets = uint64_t{answer.getOption2()} + 1;
  const uint64_t blocks = uint64_t{answer.getOption3()} + 1;
  // A packet must fit one datagram, resend padding included.
  if (packetSize > MAX_TRANSFER_PACKET) return false;
  if (packetSize * blockPackets * blocks < data.size) return false;

  // Never more buffers than the data has packets.
  const uint64_t packets = (data.size + packetSize - 1) / packetSize;
  std::vector<SendBuffer> burst(static_cast<size_t>(std::min(blockPackets, packets)));
  INFO << "start Transfer " << static_cast<unsigned long long>(data.size) << " "
       << static_cast<unsigned long long>(burstLimit);

  const TransferProgress& report = progress ? progress : TransferProgress(logProgress);
  Upload upload(socket, target, slotWord, burstLimit);
  size_t offset = 0;
  uint16_t sequence = 0;
  uint16_t block = 0;
  while (offset < data.size) {
    report(block, static_cast<uint16_t>(blocks));
    uint64_t left = std::min((data.size - offset + packetSize - 1) / packetSize, blockPackets);
    uint16_t index = 0;
    while (left > 0) {
      size_t count = 0;
      uint64_t bytes = 0;
      for (bool last = false; !last; ++sequence, ++index) {
        const auto length = static_cast<size_t>(std::min<uint64_t>(data.size - offset, packetSize));
        SendBuffer& packet = burst[count++];
        (void)packet.resize(length);  // at most MAX_TRANSFER_PACKET
        std::memcpy(packet.get_data(), data.data + offset, length);
        offset += length;
        bytes += length;
        --left;
        last = bytes >= upload.window() || offset == data.size || left == 0;
        packet.set(TRANSFERDATA_REQ, 0, static_cast<uint16_t>(slotWord | (last ? kLastOfBurst : 0)), sequence, index,
                   block);
        packet.update();
      }
      if (!upload.burst(burst, count)) return false;
    }
    ++block;
  }

  KALMO::CRC16 crc;
  crc.update(data);
  uint16_t result = kComplete;
  if (!TransferFinish(target, slot, crc.get(), result)) {
    ERR << "TransferFinish error ";
    return false;
  }
  if (result != kComplete) {
    ERR << "TransferStrp error ";
    return false;
  }
  INFO << "compleat Transfer ";
  return true;
}

bool Find::TransferFinish(KALMO::IPAddress target, int32_t slot, const uint16_t& crc, uint16_t& result) {
  if (!slotInRange(slot)) return false;
  const auto slotWord = static_cast<uint16_t>(slot + 1);
  const Send request(TRANSFERFINISH_REQ, 0, slotWord, crc, result, 0);
  Receive answer;
  if (exchange(target, request, TRANSFERFINISH_ANS, answer, true, Match{-1, 0, true}) != ACK_OK || answer.getOption0() != slotWord ||
      answer.getOption1() != crc) {
    return false;
  }
  result = answer.getOption2();
  return true;
}

}  // namespace VELLORA
