#include "protocol/message.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace VELLORA {
namespace {

constexpr size_t paddedSize(size_t n) { return (n + 23) & ~size_t{7}; }

uint16_t readWord(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

void writeWord(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value & 0xFF);
  p[1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

// ---------------------------------------------------------------- Send

Send::Send() : header{}, sendData(header), sendSize(HEADER_SIZE) { _clear(); }

Send::Send(MessageID message, StatusID status, uint16_t option0, uint16_t option1,
           uint16_t option2, uint16_t option3)
    : Send() {
  set(message, status, option0, option1, option2, option3);
}

Send::Send(MessageID message, StatusID status, uint64_t option) : Send() {
  set(message, status, option);
}

Send::Send(MessageID message, StatusID status) : Send() { set(message, status); }

// A plain Send sends its 16 header bytes and no more: a copy taken from a
// SendBuffer must not keep that record's size, or it would send bytes past
// its header.
Send::Send(const Send& other) : header{}, sendData(header), sendSize(HEADER_SIZE) {
  std::memcpy(header, other.header, HEADER_SIZE);
}

Send& Send::operator=(const Send& other) {
  if (this != &other) {
    std::memcpy(header, other.header, HEADER_SIZE);
    sendSize = HEADER_SIZE;
    sendData = header;
  }
  return *this;
}

void Send::update() {}

void Send::setWord(size_t offset, uint16_t value) { writeWord(header + offset, value); }

uint16_t Send::word(size_t offset) const { return readWord(header + offset); }

void Send::set(MessageID message, StatusID status, uint16_t option0, uint16_t option1,
               uint16_t option2, uint16_t option3) {
  setWord(4, message);
  setWord(6, status);
  setWord(8, option0);
  setWord(10, option1);
  setWord(12, option2);
  setWord(14, option3);
}

void Send::set(MessageID message, StatusID status, uint64_t option) {
  set(message, status, static_cast<uint16_t>(option), static_cast<uint16_t>(option >> 16),
      static_cast<uint16_t>(option >> 32), static_cast<uint16_t>(option >> 48));
}

void Send::set(MessageID message, StatusID status) { set(message, status, 0, 0, 0, 0); }

void Send::statusUpdate(StatusID clear, StatusID set) {
  setWord(6, static_cast<StatusID>((getStatus() & ~clear) | set));
  update();
}

void Send::_clear() {
  setWord(0, MAGIC);
  setWord(2, lengthWord(0));
}

MessageID Send::getMessage() const { return static_cast<MessageID>(word(4)); }
StatusID Send::getStatus() const { return word(6); }
uint16_t Send::getOption0() const { return word(8); }
uint16_t Send::getOption1() const { return word(10); }
uint16_t Send::getOption2() const { return word(12); }
uint16_t Send::getOption3() const { return word(14); }

Send::operator KALMO::BufferCS_const() const {
  return KALMO::BufferCS_const{sendData, static_cast<size_t>(sendSize)};
}

std::string Send::dump() const { return static_cast<KALMO::BufferCS_const>(*this).dump(); }

// ---------------------------------------------------------------- SendBuffer

SendBuffer::SendBuffer() : buffer(HEADER_SIZE, 0), payloadSize(0) { pointAtBuffer(); }

SendBuffer::SendBuffer(const SendBuffer& other)
    : Send(other), buffer(other.buffer), payloadSize(other.payloadSize) {
  sendSize = other.sendSize;
  pointAtBuffer();
}

SendBuffer& SendBuffer::operator=(const SendBuffer& other) {
  if (this != &other) {
    Send::operator=(other);
    buffer = other.buffer;
    payloadSize = other.payloadSize;
    sendSize = other.sendSize;
    pointAtBuffer();
  }
  return *this;
}

void SendBuffer::pointAtBuffer() { sendData = buffer.data(); }

void SendBuffer::update() {
  if (buffer.size() < HEADER_SIZE) buffer.resize(HEADER_SIZE, 0);
  std::memcpy(buffer.data(), header, HEADER_SIZE);
  pointAtBuffer();
}

bool SendBuffer::resize(size_t n) {
  if (n > MAX_PAYLOAD) return false;
  const size_t padded = paddedSize(n);
  buffer.resize(padded, 0);
  if (padded - HEADER_SIZE - n != 0) {
    // The caller writes the payload afterwards; this leaves the padding zero.
    std::memset(buffer.data() + padded - 8, 0, 8);
  }
  setWord(2, lengthWord(n));
  pointAtBuffer();
  sendSize = padded;
  payloadSize = n;
  return true;
}

bool SendBuffer::resize(size_t n, size_t m) {
  m = std::max(m, n);
  if (m > MAX_PAYLOAD) return false;
  const size_t room = paddedSize(m);
  const size_t kept = std::min(buffer.size(), HEADER_SIZE + n);
  buffer.resize(room, 0);
  std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(kept), buffer.end(), 0);
  setWord(2, lengthWord(n));
  pointAtBuffer();
  sendSize = paddedSize(n);
  payloadSize = n;
  return true;
}

void SendBuffer::reserve(size_t n) {
  buffer.reserve(paddedSize(std::min(n, MAX_PAYLOAD)));
  pointAtBuffer();
}

bool SendBuffer::set_str(const std::string& text) {
  if (!resize(text.size())) return false;
  if (!text.empty()) std::memcpy(get_data(), text.data(), text.size());
  return true;
}

bool SendBuffer::set_add_str(const KALMO::IPAddress& address, const std::string& text) {
  if (text.size() > MAX_PAYLOAD - 18 || !resize(18 + text.size())) return false;
  uint8_t* p = get_data();
  std::memcpy(p, address.address, 16);
  std::memcpy(p + 16, &address.port, 2);  // already in network order
  if (!text.empty()) std::memcpy(p + 18, text.data(), text.size());
  return true;
}

uint8_t* SendBuffer::get_data() { return buffer.data() + HEADER_SIZE; }
const uint8_t* SendBuffer::get_data() const { return buffer.data() + HEADER_SIZE; }
uint64_t SendBuffer::size_data() const { return payloadSize; }

void SendBuffer::fill(uint8_t value) {
  const size_t n = std::min<size_t>(payloadSize, buffer.size() - HEADER_SIZE);
  std::memset(get_data(), value, n);
}

SendBuffer::operator KALMO::BufferCS_const() const {
  return KALMO::BufferCS_const{buffer.data(), buffer.size()};
}

void SendBuffer::move(SendBuffer& other) {
  if (this == &other) return;
  uint8_t mine[HEADER_SIZE];
  std::memcpy(mine, header, HEADER_SIZE);
  std::memcpy(header, other.header, HEADER_SIZE);
  std::memcpy(other.header, mine, HEADER_SIZE);
  std::swap(sendSize, other.sendSize);
  std::swap(payloadSize, other.payloadSize);
  buffer.swap(other.buffer);
  pointAtBuffer();
  other.pointAtBuffer();
}

bool SendBuffer::ms_resize(size_t n) {
  if (n + HEADER_SIZE > 0xFFFF) return false;
  buffer.resize(n + HEADER_SIZE + 1, 0);
  pointAtBuffer();
  sendSize = n + HEADER_SIZE;
  payloadSize = n;
  return true;
}

KALMO::BufferCS_const SendBuffer::ms_send(bool resend, bool prefix) {
  const size_t n = static_cast<size_t>(payloadSize);
  // Only a misused record (no ms_resize) lacks the tag byte's room.
  if (buffer.size() < HEADER_SIZE + n + 1) buffer.resize(HEADER_SIZE + n + 1, 0);
  pointAtBuffer();
  uint8_t tag = static_cast<uint8_t>(getOption0() & 0x7F);
  if ((getStatus() & INFO_REQ) != 0 && !resend) tag |= 0x80;
  if (prefix) {
    buffer[14] = tag;
    buffer[15] = 0;
    return KALMO::BufferCS_const{buffer.data() + 14, n + 2};
  }
  buffer[HEADER_SIZE + n] = tag;
  return KALMO::BufferCS_const{buffer.data() + HEADER_SIZE, n + 1};
}

// ---------------------------------------------------------------- Receive

uint16_t Receive::word(size_t offset) const {
  return datagram.size() >= HEADER_SIZE ? readWord(datagram.data() + offset) : 0;
}

Receive::operator bool() const {
  if (datagram.size() < HEADER_SIZE || word(0) != MAGIC) return false;
  const uint16_t length = word(2);
  // A length word under 23 once XORed (17 to 23, or below 16) describes no
  // payload at all; read as 16 bits it would claim about 64 KiB.
  if ((length ^ 7) < 23) return false;
  return static_cast<size_t>(length & ~7u) <= datagram.size();
}

MessageID Receive::getMessage() const { return static_cast<MessageID>(word(4)); }
StatusID Receive::getStatus() const { return word(6); }
uint16_t Receive::getOption0() const { return word(8); }
uint16_t Receive::getOption1() const { return word(10); }
uint16_t Receive::getOption2() const { return word(12); }
uint16_t Receive::getOption3() const { return word(14); }

uint64_t Receive::getOption() const {
  return static_cast<uint64_t>(getOption0()) | (static_cast<uint64_t>(getOption1()) << 16) |
         (static_cast<uint64_t>(getOption2()) << 32) | (static_cast<uint64_t>(getOption3()) << 48);
}

const uint8_t* Receive::get_data() const {
  return datagram.size() >= HEADER_SIZE ? datagram.data() + HEADER_SIZE : nullptr;
}

uint64_t Receive::size_data() const {
  if (!*this) return 0;
  return static_cast<uint64_t>((word(2) ^ 7) - 23);
}

KALMO::BufferCS_const Receive::get_data_CS() const {
  const uint64_t n = size_data();
  return KALMO::BufferCS_const{n != 0 ? get_data() : nullptr, static_cast<size_t>(n)};
}

void Receive::get_str(std::string& text) const {
  const uint64_t n = size_data();
  if (n == 0) {
    text.clear();
    return;
  }
  text.assign(reinterpret_cast<const char*>(get_data()), static_cast<size_t>(n));
}

void Receive::get_add_str(KALMO::IPAddress& address, std::string& text) const {
  const uint64_t n = size_data();
  text.clear();
  if (n < 18) return;
  const uint8_t* p = get_data();
  std::memcpy(address.address, p, 16);
  std::memcpy(&address.port, p + 16, 2);
  if (n > 18) text.assign(reinterpret_cast<const char*>(p + 18), static_cast<size_t>(n - 18));
}

void Receive::clear() { datagram.clear(); }

}  // namespace VELLORA
