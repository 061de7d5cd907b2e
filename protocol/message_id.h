#pragma once
// Message codes and status bits of every datagram the system exchanges with
// targets and sinks.
//
// A request code is even and is answered by the next odd code; PROBE_REQ is
// the one exception and is answered by SUPPORTFORMAT_ANS. Both types are
// 16-bit words on the wire; any 16-bit value may arrive, so a code outside
// the table is still a valid MessageID value.

#include <cstdint>

namespace VELLORA {

enum MessageID : uint16_t {
  FIND_REQ = 0x00,
  FIND_ANS = 0x01,
  PORT_REQ = 0x02,
  PORT_ANS = 0x03,
  SUPPORTFORMAT_REQ = 0x04,
  SUPPORTFORMAT_ANS = 0x05,
  LATENCY_REQ = 0x06,
  LATENCY_ANS = 0x07,
  CONNECT_REQ = 0x08,
  CONNECT_ANS = 0x09,
  STREAMDATA_REQ = 0x0A,
  STREAMINFO_ANS = 0x0B,
  DSICONNECT_REQ = 0x0C,
  DSICONNECT_ANS = 0x0D,
  DATASIZE_REQ = 0x0E,
  DATASIZE_ANS = 0x0F,
  TARGETINFO_REQ = 0x10,
  TARGETINFO_ANS = 0x11,
  CONNECTPRE_REQ = 0x12,
  CONNECTPRE_ANS = 0x13,
  PARAMETER_REQ = 0x14,
  PARAMETER_ANS = 0x15,
  NOTISNAME_REQ = 0x16,
  NOTISNAME_ANS = 0x17,
  CONNECTNAME_REQ = 0x18,
  CONNECTNAME_ANS = 0x19,
  TRANSFERSLOT_REQ = 0x1A,
  TRANSFERSLOT_ANS = 0x1B,
  TRANSFERDATA_REQ = 0x1C,
  TRANSFERDATA_ANS = 0x1D,
  TRANSFERFINISH_REQ = 0x1E,
  TRANSFERFINISH_ANS = 0x1F,
  FWVERSION_REQ = 0x20,
  FWVERSION_ANS = 0x21,
  FWURL_REQ = 0x22,
  FWURL_ANS = 0x23,
  REBOOT_REQ = 0x24,
  REBOOT_ANS = 0x25,
  DEBUG_REQ = 0x28,
  DEBUG_ANS = 0x29,
  PROBE_REQ = 0x2A,
  INFOMATION_REQ = 0x2C,
  INFOMATION_ANS = 0x2D,
  TARGETSETTING_REQ = 0x30,
  TARGETSETTING_ANS = 0x31,
  TARGETSETTINGVALUE_REQ = 0x32,
  TARGETSETTINGVALUE_ANS = 0x33,
  SINKSETTING_REQ = 0x34,
  SINKSETTING_ANS = 0x35,
  SINKSETTINGVALUE_REQ = 0x36,
  SINKSETTINGVALUE_ANS = 0x37,
  STATUSITEM_REQ = 0x38,
  STATUSITEM_ANS = 0x39,
  CONTROLHELLO_REQ = 0x3A,
  CONTROLHELLO_ANS = 0x3B,
  CONTROLITEM_REQ = 0x3C,
  CONTROLITEM_ANS = 0x3D,
  CONTROLVALUE_REQ = 0x3E,
  CONTROLVALUE_ANS = 0x3F,
  ICON0_REQ = 0x40,
  ICON0_ANS = 0x41,
  ICON1_REQ = 0x42,
  ICON1_ANS = 0x43,
  ICON2_REQ = 0x44,
  ICON2_ANS = 0x45,
  CONNECTMS_REQ = 0x48,
  CONNECTMS_ANS = 0x49,
  SYNCHRO_NODE_REQ = 0x4A,
  SYNCHRO_NODE_ANS = 0x4B,
  SYNCHRO_STATUS_REQ = 0x4C,
  SYNCHRO_STATUS_ANS = 0x4D,
};

// The code that answers a request: the next odd code, SUPPORTFORMAT_ANS for
// PROBE_REQ.
constexpr MessageID answerOf(MessageID request) {
  return request == PROBE_REQ ? SUPPORTFORMAT_ANS
                              : static_cast<MessageID>(static_cast<uint16_t>(request + 1));
}

// Status bits. A plain 16-bit word, so bits combine and 0 reads naturally.
using StatusID = uint16_t;
inline constexpr StatusID STATUS_ACK = 0x0001;    // answer: accepted; also on 0x16, 0x18, 0x3A
inline constexpr StatusID PLAYING = 0x0002;       // CONTROLVALUE_ANS: the item plays
inline constexpr StatusID RESEND_REQ = 0x0008;    // STREAMINFO_ANS: resend from option1 on
inline constexpr StatusID INFO_REQ = 0x0020;      // STREAMDATA_REQ: asks for a STREAMINFO_ANS
inline constexpr StatusID CYCLE_END = 0x0040;     // STREAMDATA_REQ: last packet of the cycle
inline constexpr StatusID PHASE_NORMAL = 0x0080;  // with PHASE_INFO: set normal, clear inverted
inline constexpr StatusID PHASE_INFO = 0x0100;    // the sink states its phase in PHASE_NORMAL

}  // namespace VELLORA
