#pragma once
// The datagram records: Send (header only), SendBuffer (header + payload,
// also the headerless audio packet) and Receive (one received datagram).
//
// Wire image, 16-bit words little-endian:
//   0 magic 100 | 2 length word | 4 MessageID | 6 StatusID | 8..15 options
//   16 payload of n bytes, zero padded to a multiple of 8.
// The length word is the padded size P with the pad count in its low three
// bits: L = ((n + 23) & 0xFFF8) | ((0 - n) & 7), and n = (L ^ 7) - 23.
//
// A SendBuffer keeps its header apart from `buffer`: call update() after the
// last header change and before sending (statusUpdate does it itself).

#include "base/buffer.h"
#include "base/ip_address.h"
#include "protocol/message_id.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace VELLORA {

// Sizes of the record format.
inline constexpr size_t HEADER_SIZE = 16;
inline constexpr uint16_t MAGIC = 100;
// The largest payload whose padded size still fits the 16-bit length word.
inline constexpr size_t MAX_PAYLOAD = 0xFFF8 - HEADER_SIZE;

// The length word of a payload of n bytes (n at most MAX_PAYLOAD).
constexpr uint16_t lengthWord(size_t n) {
  return static_cast<uint16_t>(((n + 23) & 0xFFF8) | ((0 - n) & 7));
}

class Send {
 public:
  uint8_t header[HEADER_SIZE];
  const uint8_t* sendData;  // first byte to send: `header` for a plain Send
  uint64_t sendSize;        // bytes to send: 16 for a plain Send

  Send();
  Send(MessageID message, StatusID status, uint16_t option0, uint16_t option1, uint16_t option2,
       uint16_t option3);
  Send(MessageID message, StatusID status, uint64_t option);
  Send(MessageID message, StatusID status);
  // sendData of a plain Send points into the record itself, so a copy must
  // point into its own header.
  Send(const Send& other);
  Send& operator=(const Send& other);
  virtual ~Send() = default;

  // Brings the bytes to send up to date with `header`; nothing for a plain Send.
  virtual void update();

  // Message, status and options; the length word is left as it is.
  void set(MessageID message, StatusID status, uint16_t option0, uint16_t option1, uint16_t option2,
           uint16_t option3);
  void set(MessageID message, StatusID status, uint64_t option);
  void set(MessageID message, StatusID status);

  // status = (status & ~clear) | set, then update().
  void statusUpdate(StatusID clear, StatusID set);

  // Magic and length word of a header-only datagram again.
  void _clear();

  MessageID getMessage() const;
  StatusID getStatus() const;
  uint16_t getOption0() const;
  uint16_t getOption1() const;
  uint16_t getOption2() const;
  uint16_t getOption3() const;

  // The span (sendData, sendSize); what the request exchanges send.
  operator KALMO::BufferCS_const() const;

  // Hex text of the bytes to send.
  std::string dump() const;

 protected:
  void setWord(size_t offset, uint16_t value);
  uint16_t word(size_t offset) const;
};

class SendBuffer : public Send {
 public:
  KALMO::Buffer buffer;  // header copy, payload, zero padding
  uint64_t payloadSize;  // n

  SendBuffer();
  SendBuffer(const SendBuffer& other);
  SendBuffer& operator=(const SendBuffer& other);
  ~SendBuffer() override = default;

  // Copies `header` into the first 16 bytes of `buffer`.
  void update() override;

  // Payload of n bytes: length word, padded buffer (kept bytes unchanged, the
  // padding zero), sizes. A payload over MAX_PAYLOAD cannot be described by
  // the length word and is refused: false, the record unchanged.
  [[nodiscard]] bool resize(size_t n);
  // Length word and sizes for n bytes, but room for m (at least n); every
  // byte after the n payload bytes is zero, and the whole buffer is sent by
  // the SendBuffer span. Refused like resize when n or m is too large.
  [[nodiscard]] bool resize(size_t n, size_t m);
  // Capacity for a payload of n bytes (at most MAX_PAYLOAD); sizes unchanged.
  void reserve(size_t n);

  // Text payload; false (record unchanged) when the text is too long.
  bool set_str(const std::string& text);
  // 16 address bytes, 2 port bytes (network order), then the text.
  bool set_add_str(const KALMO::IPAddress& address, const std::string& text);

  uint8_t* get_data();
  const uint8_t* get_data() const;
  uint64_t size_data() const;
  void fill(uint8_t value);

  // The whole buffer.
  operator KALMO::BufferCS_const() const;

  // Exchanges the two records completely, so each stays consistent with the
  // buffer it now holds.
  void move(SendBuffer& other);

  // Headerless audio packet of n bytes: buffer of n + 17 bytes, sendSize
  // n + 16, the length word untouched. n + 16 must fit 16 bits; a larger
  // packet is refused (false, record unchanged).
  [[nodiscard]] bool ms_resize(size_t n);
  // Writes the tag byte ((option0 & 0x7F), 0x80 for INFO_REQ on a first
  // send) and returns the bytes to send: prefix false, payload then tag;
  // prefix true, tag, 0, then payload.
  KALMO::BufferCS_const ms_send(bool resend, bool prefix);

 private:
  void pointAtBuffer();
};

class Receive {
 public:
  KALMO::Buffer datagram;  // one received datagram as it arrived

  // Valid: at least 16 bytes, magic 100, a length word that describes a
  // payload (n not negative) and a padded size the received bytes cover.
  explicit operator bool() const;

  // Header words; 0 when the datagram is too short to hold them.
  MessageID getMessage() const;
  StatusID getStatus() const;
  uint16_t getOption0() const;
  uint16_t getOption1() const;
  uint16_t getOption2() const;
  uint16_t getOption3() const;
  uint64_t getOption() const;

  // The payload. An invalid datagram has none: size 0, so no reader goes
  // past the received bytes whatever the length word says.
  const uint8_t* get_data() const;
  uint64_t size_data() const;
  KALMO::BufferCS_const get_data_CS() const;
  void get_str(std::string& text) const;
  // Address and port from the first 18 payload bytes (the interface index is
  // kept; a shorter payload leaves the address alone), text from the rest.
  void get_add_str(KALMO::IPAddress& address, std::string& text) const;

  // Empties the record (invalid).
  void clear();

 private:
  uint16_t word(size_t offset) const;
};

}  // namespace VELLORA
