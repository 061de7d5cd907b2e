#include "protocol/message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using VELLORA::Receive;
using VELLORA::Send;
using VELLORA::SendBuffer;

std::vector<uint8_t> bytesOf(KALMO::BufferCS_const view) {
  return std::vector<uint8_t>(view.data, view.data + view.size);
}

// A received datagram held in storage of exactly its size, so that a reader
// going past the bytes hits the sanitizer's red zone.
Receive received(const std::vector<uint8_t>& bytes) {
  Receive r;
  r.datagram.assign(bytes.begin(), bytes.end());
  r.datagram.shrink_to_fit();
  return r;
}

std::vector<uint8_t> headerWithLength(uint16_t length, size_t total) {
  std::vector<uint8_t> d(total, 0xEE);
  if (total >= 2) d[0] = 100, d[1] = 0;
  if (total >= 4) d[2] = static_cast<uint8_t>(length), d[3] = static_cast<uint8_t>(length >> 8);
  return d;
}

TEST(MessageRecord, LengthWordTable) {
  struct Case {
    size_t n;
    uint16_t word;
    size_t padded;
  };
  const Case cases[] = {{0, 16, 16},  {1, 31, 24},  {5, 27, 24},   {7, 25, 24},
                        {8, 24, 24},  {9, 39, 32},  {18, 46, 40},  {65511, 0xFFF9, 0xFFF8},
                        {65512, 0xFFF8, 0xFFF8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.n);
    EXPECT_EQ(VELLORA::lengthWord(c.n), c.word);
    SendBuffer b;
    ASSERT_TRUE(b.resize(c.n));
    EXPECT_EQ(b.buffer.size(), c.padded);
    EXPECT_EQ(b.sendSize, c.padded);
    EXPECT_EQ(b.size_data(), c.n);
    b.update();
    EXPECT_EQ(b.buffer[2] | (b.buffer[3] << 8), c.word);
  }
}

// Build, send image, parse back: for every size the reader recovers exactly
// the payload, and the padding is zero.
TEST(MessageRecord, BuildParseRoundTripOverManySizes) {
  std::vector<size_t> sizes;
  for (size_t n = 0; n <= 300; ++n) sizes.push_back(n);
  for (size_t n : {1000u, 1471u, 4079u, 9000u, 65504u, 65511u, 65512u}) sizes.push_back(n);
  SendBuffer b;  // reused, as the streaming worker reuses its records
  for (size_t n : sizes) {
    SCOPED_TRACE(n);
    ASSERT_TRUE(b.resize(n));
    for (size_t i = 0; i < n; ++i) b.get_data()[i] = static_cast<uint8_t>(i * 7 + n);
    b.set(VELLORA::TARGETINFO_ANS, VELLORA::STATUS_ACK, 0x1122334455667788ULL);
    b.update();
    const std::vector<uint8_t> wire = bytesOf(b);
    ASSERT_EQ(wire.size() % 8, 0u);
    ASSERT_GE(wire.size(), 16 + n);
    for (size_t i = 16 + n; i < wire.size(); ++i) ASSERT_EQ(wire[i], 0) << "pad byte " << i;

    Receive r = received(wire);
    ASSERT_TRUE(static_cast<bool>(r));
    EXPECT_EQ(r.getMessage(), VELLORA::TARGETINFO_ANS);
    EXPECT_EQ(r.getStatus(), VELLORA::STATUS_ACK);
    EXPECT_EQ(r.getOption(), 0x1122334455667788ULL);
    ASSERT_EQ(r.size_data(), n);
    const KALMO::BufferCS_const p = r.get_data_CS();
    ASSERT_EQ(p.size, n);
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(p.data[i], static_cast<uint8_t>(i * 7 + n));
  }
}

// Every length word against a range of received sizes: a record is valid
// exactly when the word describes a payload (n >= 0) whose padded size the
// bytes cover, and no getter reaches past the received bytes.
TEST(MessageRecord, EveryLengthWordStaysInsideTheDatagram) {
  const size_t totals[] = {0, 2, 15, 16, 17, 23, 24, 31, 32, 40, 1500, 4096};
  for (size_t total : totals) {
    for (uint32_t length = 0; length <= 0xFFFF; ++length) {
      Receive r = received(headerWithLength(static_cast<uint16_t>(length), total));
      const long n = static_cast<long>(length ^ 7) - 23;
      const bool expected = total >= 16 && n >= 0 && (length & ~7u) <= total;
      ASSERT_EQ(static_cast<bool>(r), expected) << "length " << length << " total " << total;
      ASSERT_LE(16 + r.size_data(), std::max<size_t>(total, 16));
      if (!expected) {
        ASSERT_EQ(r.size_data(), 0u);
      }
      std::string text;
      r.get_str(text);
      ASSERT_EQ(text.size(), r.size_data());
      KALMO::IPAddress a;
      r.get_add_str(a, text);
      const KALMO::BufferCS_const p = r.get_data_CS();
      uint32_t sum = 0;
      for (size_t i = 0; i < p.size; ++i) sum += p.data[i];  // touches every payload byte
      ASSERT_EQ(sum, 0xEEu * p.size);
    }
  }
}

TEST(MessageRecord, HostileAndBoundaryDatagrams) {
  struct Case {
    const char* what;
    uint16_t length;
    size_t total;
    bool valid;
    uint64_t payload;
  };
  const Case cases[] = {
      {"padded 24, 24 bytes", 27, 24, true, 5},
      {"padded 24, only 16 bytes", 27, 16, false, 0},
      {"padded 24, 21 bytes (unpadded)", 27, 21, false, 0},
      {"header only", 16, 16, true, 0},
      {"header only, extra bytes", 16, 40, true, 0},
      {"word 17", 17, 4096, false, 0},
      {"word 20", 20, 4096, false, 0},
      {"word 23", 23, 4096, false, 0},
      {"word 0", 0, 64, false, 0},
      {"word 15", 15, 64, false, 0},
      {"word 0xFFFF, 4096 bytes", 0xFFFF, 4096, false, 0},
      {"word 0xFFF8, exactly enough", 0xFFF8, 0xFFF8, true, 0xFFF8 - 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Receive r = received(headerWithLength(c.length, c.total));
    EXPECT_EQ(static_cast<bool>(r), c.valid);
    EXPECT_EQ(r.size_data(), c.payload);
  }
  // A datagram too short for the header reads as zeros, not past its end.
  Receive shortOne = received({100, 0, 16, 0, 9, 0, 1});
  EXPECT_FALSE(static_cast<bool>(shortOne));
  EXPECT_EQ(shortOne.getMessage(), 0);
  EXPECT_EQ(shortOne.getStatus(), 0);
  EXPECT_EQ(shortOne.getOption(), 0u);
  EXPECT_EQ(shortOne.get_data_CS().size, 0u);
  // Bad magic.
  std::vector<uint8_t> bad = headerWithLength(16, 16);
  bad[0] = 101;
  EXPECT_FALSE(static_cast<bool>(received(bad)));
  EXPECT_FALSE(static_cast<bool>(Receive{}));
}

TEST(MessageRecord, AddressAndTextPayloads) {
  KALMO::IPAddress a;
  for (int i = 0; i < 16; ++i) a.address[i] = static_cast<uint8_t>(0xF0 + i);
  a.port = 0xBA4C;  // bytes 4C BA: port 19642 in network order
  a.interfaceIndex = 3;

  SendBuffer b;
  ASSERT_TRUE(b.set_add_str(a, "dac"));
  b.update();
  std::vector<uint8_t> wire = bytesOf(b);
  ASSERT_EQ(wire.size(), 40u);  // 16 + 21 padded
  EXPECT_EQ(wire[16], 0xF0);
  EXPECT_EQ(wire[32], 0x4C);
  EXPECT_EQ(wire[33], 0xBA);
  EXPECT_EQ(std::string(wire.begin() + 34, wire.begin() + 37), "dac");

  KALMO::IPAddress got;
  got.interfaceIndex = 7;
  std::string text;
  received(wire).get_add_str(got, text);
  EXPECT_EQ(text, "dac");
  EXPECT_EQ(std::memcmp(got.address, a.address, 16), 0);
  EXPECT_EQ(got.port, a.port);
  EXPECT_EQ(got.interfaceIndex, 7u);  // the index is not carried

  // Exactly 18 bytes: address taken, text empty; 17: address untouched.
  for (size_t n : {18u, 17u}) {
    SCOPED_TRACE(n);
    ASSERT_TRUE(b.resize(n));
    b.fill(0x11);
    b.update();
    KALMO::IPAddress out;
    std::string t = "stale";
    received(bytesOf(b)).get_add_str(out, t);
    EXPECT_TRUE(t.empty());
    EXPECT_EQ(out.address[0], n == 18 ? 0x11 : 0);
  }

  ASSERT_TRUE(b.set_str(""));
  b.update();
  std::string empty = "stale";
  received(bytesOf(b)).get_str(empty);
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(bytesOf(b).size(), 16u);
}

// A payload the length word cannot describe is refused and leaves the
// record as it was, instead of a wrapped length word or a buffer sized from
// a truncated value.
TEST(MessageRecord, OversizedPayloadsAreRefused) {
  SendBuffer b;
  ASSERT_TRUE(b.resize(5));
  b.set(VELLORA::DEBUG_ANS, 0);
  b.update();
  const std::vector<uint8_t> before = b.buffer;

  EXPECT_FALSE(b.resize(65513));
  EXPECT_FALSE(b.resize(70000));
  EXPECT_FALSE(b.resize(4, 65513));
  EXPECT_FALSE(b.resize(65513, 10));
  EXPECT_FALSE(b.set_str(std::string(65513, 'x')));
  EXPECT_FALSE(b.set_add_str(KALMO::IPAddress{}, std::string(65495, 'x')));
  EXPECT_FALSE(b.ms_resize(65520));
  EXPECT_FALSE(b.ms_resize(100000));
  EXPECT_EQ(b.buffer, before);
  EXPECT_EQ(b.size_data(), 5u);
  EXPECT_EQ(b.sendSize, 24u);
  b.update();
  EXPECT_EQ(b.buffer, before);

  EXPECT_TRUE(b.set_add_str(KALMO::IPAddress{}, std::string(65494, 'x')));
  EXPECT_EQ(b.buffer.size(), 0xFFF8u);
  ASSERT_TRUE(b.ms_resize(65519));
  EXPECT_EQ(b.buffer.size(), 65536u);
  EXPECT_EQ(b.ms_send(false, false).size, 65520u);
}

TEST(MessageRecord, HeaderImageAndOptions) {
  Send s(VELLORA::CONTROLVALUE_REQ, VELLORA::STATUS_ACK, 0x0004000300020001ULL);
  EXPECT_EQ(bytesOf(s), (std::vector<uint8_t>{100, 0, 16, 0, 0x3E, 0, 1, 0, 1, 0, 2, 0, 3, 0, 4, 0}));
  EXPECT_EQ(s.dump(), "64 00 10 00 3e 00 01 00 01 00 02 00 03 00 04 00");
  Send t(VELLORA::PORT_REQ, 0, 0x1234, 0, 2, 1);
  EXPECT_EQ(t.getOption0(), 0x1234);
  EXPECT_EQ(t.getOption2(), 2);
  EXPECT_EQ(t.getOption3(), 1);
  t.set(VELLORA::FIND_REQ, 0);
  EXPECT_EQ(bytesOf(t), (std::vector<uint8_t>{100, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

  // A copy sends its own header, also after the original changes or dies.
  Send* original = new Send(VELLORA::LATENCY_REQ, 0, 7, 0, 0, 0);
  Send copy(*original);
  original->set(VELLORA::FIND_REQ, 0);
  delete original;
  EXPECT_EQ(bytesOf(copy)[4], VELLORA::LATENCY_REQ);
  EXPECT_EQ(bytesOf(copy)[8], 7);
}

TEST(MessageRecord, StatusUpdateReachesTheSentBytes) {
  SendBuffer b;
  ASSERT_TRUE(b.set_str("x"));
  b.set(VELLORA::CONNECTNAME_REQ, VELLORA::PLAYING | VELLORA::PHASE_INFO);
  b.update();
  b.statusUpdate(VELLORA::PLAYING, VELLORA::STATUS_ACK);
  const std::vector<uint8_t> wire = bytesOf(b);
  EXPECT_EQ(wire[6] | (wire[7] << 8), VELLORA::STATUS_ACK | VELLORA::PHASE_INFO);
  // The base-class span of a SendBuffer is the same padded datagram.
  EXPECT_EQ(bytesOf(static_cast<const Send&>(b)), wire);
}

TEST(MessageRecord, HeaderlessDataPacketTag) {
  struct Case {
    VELLORA::StatusID status;
    bool resend;
    uint8_t tag;
  };
  const Case cases[] = {{0, false, 0x2C},
                        {VELLORA::INFO_REQ, false, 0xAC},
                        {VELLORA::INFO_REQ, true, 0x2C},
                        {VELLORA::INFO_REQ | VELLORA::CYCLE_END, false, 0xAC}};
  for (const Case& c : cases) {
    SendBuffer b;
    b.set(VELLORA::STREAMDATA_REQ, c.status, 300, 0, 0, 0);
    ASSERT_TRUE(b.ms_resize(3));
    std::memcpy(b.get_data(), "abc", 3);
    EXPECT_EQ(bytesOf(b.ms_send(c.resend, false)), (std::vector<uint8_t>{'a', 'b', 'c', c.tag}));
    EXPECT_EQ(bytesOf(b.ms_send(c.resend, true)), (std::vector<uint8_t>{c.tag, 0, 'a', 'b', 'c'}));
  }
  // A record never given its packet size still keeps the tag in its buffer.
  SendBuffer fresh;
  EXPECT_EQ(fresh.ms_send(false, false).size, 1u);
}

TEST(MessageRecord, CopiesSendOnlyTheBytesTheyHold) {
  SendBuffer b;
  ASSERT_TRUE(b.set_str("a payload of twenty-four"));
  b.set(VELLORA::TARGETINFO_ANS, VELLORA::STATUS_ACK, 7, 8, 9, 10);
  b.update();
  // A plain Send taken from a SendBuffer holds the header only.
  Send plain(b);
  Send assigned;
  assigned = b;
  for (const Send* s : {&plain, &assigned}) {
    const KALMO::BufferCS_const span = *s;
    EXPECT_EQ(span.data, s->header);
    EXPECT_EQ(span.size, 16u);
    EXPECT_EQ(s->getOption3(), 10);
  }
  // A SendBuffer copy keeps the whole datagram.
  SendBuffer copy(b);
  SendBuffer other;
  other = b;
  for (const SendBuffer* c : {&copy, &other}) {
    const KALMO::BufferCS_const span = static_cast<const Send&>(*c);
    EXPECT_EQ(span.data, c->buffer.data());
    EXPECT_EQ(span.size, 40u);
    EXPECT_EQ(bytesOf(*c), bytesOf(b));
  }
}

TEST(MessageRecord, MoveLeavesBothRecordsConsistent) {
  SendBuffer a, b;
  ASSERT_TRUE(a.set_str("first"));
  a.set(VELLORA::FWVERSION_ANS, VELLORA::STATUS_ACK);
  a.update();
  ASSERT_TRUE(b.set_str("second payload"));
  b.set(VELLORA::FWURL_ANS, VELLORA::STATUS_ACK);
  b.update();
  a.move(b);
  for (SendBuffer* r : {&a, &b}) {
    const KALMO::BufferCS_const span = static_cast<const Send&>(*r);
    EXPECT_EQ(span.data, r->buffer.data());
    EXPECT_LE(span.size, r->buffer.size());
  }
  std::string text;
  received(bytesOf(a)).get_str(text);
  EXPECT_EQ(text, "second payload");
  EXPECT_EQ(a.getMessage(), VELLORA::FWURL_ANS);
  received(bytesOf(b)).get_str(text);
  EXPECT_EQ(text, "first");
}

}  // namespace
