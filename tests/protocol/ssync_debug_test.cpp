// The sink debug-text thread against the stand-in's debug port: it
// registers, logs what the registered sink sends as "Target: " records on
// the log port, and nothing else; then the same through a streaming
// connection, which starts the thread at log threshold 6 and stops it on
// close.
#include "protocol/ssync_debug.h"

#include "protocol/message.h"
#include "protocol/ssync.h"
#include "tests/protocol/ssync_fixture.h"
#include "protocol/syslog_vellora.h"
#include "sim/target/debug.h"
#include "sim/target/target_sim.h"
#include "tests/base/syslog_test_util.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using VELLORA::SSyncDebug;
using VELLORA::SysLogVellora;

// The log goes to a receiver on [::1]:19640; the tests read the "Target: "
// records from there.
class LogPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logtest::resetLogger();
    if (!vellora_test::privateNetwork()) return;
    rx.emplace(logtest::kLogPort);
    ASSERT_TRUE(rx->ok());
    ASSERT_TRUE(SysLogVellora::initialize(KALMO::SysLog::LOCAL0, logtest::kLogPort, false));
  }
  void TearDown() override { logtest::resetLogger(); }

  // Body of the next "Target: " record, skipping the other records; every
  // one is logged at INFO.
  std::optional<std::string> nextText(std::chrono::milliseconds within = 3s) {
    const auto end = std::chrono::steady_clock::now() + within;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      const auto record = rx->next(left);
      if (!record) return std::nullopt;
      const auto parsed = logtest::parseRecord(*record);
      if (!parsed || parsed->body.rfind("Target: ", 0) != 0) continue;
      EXPECT_EQ(parsed->priority, 16 * 8 + 6);
      return parsed->body;
    }
  }

  std::optional<logtest::LogReceiver> rx;
};

class SinkDebugTexts : public LogPortTest {
 protected:
  void SetUp() override {
    LogPortTest::SetUp();
    if (!rx) return;
    ASSERT_TRUE(SysLogVellora::changeLevel(KALMO::SysLog::INFO, logtest::kLogPort));
    ASSERT_TRUE(host.open(KALMO::Socket::UDP_IPV6));
    KALMO::IPAddress local{};
    ASSERT_TRUE(host.bindV6(local, 1));
    hostPort = vsim::portOf(local);
    port.emplace(sim);
    ASSERT_NE(port->endpoint(), vsim::NO_ENDPOINT);
  }
  void TearDown() override {
    debug.stop();
    port.reset();
    LogPortTest::TearDown();
  }

  void startRegistered() {
    debug.setTarget(port->address());
    ASSERT_TRUE(debug.start(host, false, -1, 0));
    ASSERT_TRUE(port->waitListeners(1, 2s));
  }

  vsim::TargetSim sim;
  std::optional<vsim::DebugPort> port;
  KALMO::UDPV6 host;
  uint16_t hostPort = 0;
  SSyncDebug debug;
};

TEST_F(SinkDebugTexts, RegistersAndLogsEachTextOfTheSink) {
  VELLORA_REQUIRE_PRIVATE_NET();
  port->setGreeting("hello host\r\n");
  startRegistered();
  const auto requests = sim.received(port->endpoint(), VELLORA::DEBUG_REQ);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].option0(), 1);
  EXPECT_EQ(requests[0].status, 0);
  EXPECT_TRUE(requests[0].payload.empty());
  EXPECT_EQ(vsim::portOf(port->listeners()[0]), hostPort);

  EXPECT_EQ(nextText(), "Target: hello host");
  ASSERT_TRUE(port->sendText("volume 12"));
  EXPECT_EQ(nextText(), "Target: volume 12");
}

TEST_F(SinkDebugTexts, ATextThatArrivesBeforeTheAnswerIsLogged) {
  VELLORA_REQUIRE_PRIVATE_NET();
  // The sink registers the host but never answers: the text is the first
  // DEBUG_ANS that arrives, inside the registration's 3 x 10 ms.
  port->setAnswer(false);
  startRegistered();
  ASSERT_TRUE(port->sendText("before any answer"));
  EXPECT_EQ(nextText(), "Target: before any answer");
}

TEST_F(SinkDebugTexts, AnAnswerThatCarriesATextIsLogged) {
  VELLORA_REQUIRE_PRIVATE_NET();
  vsim::Script s;
  s.answer = vsim::Answer::withText("answered with a text", 2);
  sim.script(port->endpoint(), VELLORA::DEBUG_REQ, s);
  debug.setTarget(port->address());
  ASSERT_TRUE(debug.start(host, false, -1, 0));
  EXPECT_EQ(nextText(), "Target: answered with a text");
}

std::vector<uint8_t> withLengthWord(std::vector<uint8_t> bytes, uint16_t word) {
  bytes[2] = static_cast<uint8_t>(word);
  bytes[3] = static_cast<uint8_t>(word >> 8);
  return bytes;
}

TEST_F(SinkDebugTexts, OnlyWellFormedTextsOfTheRegisteredSinkAreLogged) {
  VELLORA_REQUIRE_PRIVATE_NET();
  startRegistered();
  const vsim::EndpointId stranger = sim.addEndpoint(vsim::ipv6("::1", 0));
  ASSERT_NE(stranger, vsim::NO_ENDPOINT);
  const std::vector<uint8_t> text = vsim::DebugPort::textDatagram("abcdefgh-and-more");
  std::vector<uint8_t> badMagic = text;
  badMagic[0] = 99;

  struct Case {
    const char* name;
    bool fromStranger;
    std::vector<uint8_t> bytes;
    std::optional<std::string> logged;
  };
  const std::vector<Case> cases = {
      {"same address, other port", true, vsim::DebugPort::textDatagram("forged"), std::nullopt},
      {"not a text (option 0 = 1)", false,
       vsim::TargetSim::build(VELLORA::DEBUG_ANS, VELLORA::STATUS_ACK, 1, {'x'}), std::nullopt},
      {"another code", false, vsim::TargetSim::build(VELLORA::INFOMATION_ANS, 0, 2, {'y'}),
       std::nullopt},
      {"length word beyond the bytes", false, withLengthWord(text, VELLORA::lengthWord(2000)),
       std::nullopt},
      {"length word 0xFFFF", false, withLengthWord(text, 0xFFFF), std::nullopt},
      {"header cut short", false, std::vector<uint8_t>(text.begin(), text.begin() + 10),
       std::nullopt},
      {"bad magic", false, badMagic, std::nullopt},
      {"length word shorter than the bytes", false, withLengthWord(text, VELLORA::lengthWord(3)),
       std::string("Target: abc")},
  };
  const KALMO::IPAddress to = vsim::ipv6("::1", hostPort);
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(sim.send(c.fromStranger ? stranger : port->endpoint(), to, c.bytes));
    const std::string marker = "marker " + std::to_string(++n);
    ASSERT_TRUE(port->sendText(marker));
    if (c.logged) {
      EXPECT_EQ(nextText(), *c.logged);
    }
    EXPECT_EQ(nextText(), "Target: " + marker);
  }
}

TEST_F(SinkDebugTexts, ANewTargetIsRegisteredAndTheOldOneIgnored) {
  VELLORA_REQUIRE_PRIVATE_NET();
  startRegistered();
  const vsim::EndpointId second = sim.addEndpoint(vsim::ipv6("::1", 0));
  ASSERT_NE(second, vsim::NO_ENDPOINT);
  vsim::DebugPort other(sim, second);

  const auto asked = std::chrono::steady_clock::now();
  debug.setTarget(other.address());
  ASSERT_TRUE(other.waitListeners(1, 2s));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);  // one 100 ms pass, generously

  ASSERT_TRUE(port->sendText("from the old sink"));
  ASSERT_TRUE(other.sendText("from the new sink"));
  EXPECT_EQ(nextText(), "Target: from the new sink");
}

TEST_F(SinkDebugTexts, BelowThresholdSixNoTextsAreAskedForOrLogged) {
  VELLORA_REQUIRE_PRIVATE_NET();
  ASSERT_TRUE(SysLogVellora::changeLevel(KALMO::SysLog::NOTICE, logtest::kLogPort));
  debug.setTarget(port->address());
  ASSERT_TRUE(debug.start(host, false, -1, 0));
  ASSERT_TRUE(sim.waitFor(port->endpoint(), VELLORA::DEBUG_REQ, 1, 2000ms));
  EXPECT_EQ(sim.received(port->endpoint(), VELLORA::DEBUG_REQ)[0].option0(), 0);
  EXPECT_TRUE(port->listeners().empty());
  ASSERT_TRUE(port->sendText(vsim::ipv6("::1", hostPort), "not wanted"));
  EXPECT_EQ(nextText(300ms), std::nullopt);
}

TEST_F(SinkDebugTexts, StopEndsTheThreadPromptlyAndARestartRegistersAgain) {
  VELLORA_REQUIRE_PRIVATE_NET();
  startRegistered();
  EXPECT_FALSE(debug.start(host, false, -1, 0));  // one thread at a time
  const auto t0 = std::chrono::steady_clock::now();
  debug.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
  EXPECT_FALSE(debug.running());
  EXPECT_TRUE(host.is_open());  // stopped by its flag, not by closing the socket
  debug.stop();

  ASSERT_TRUE(debug.start(host, false, -1, 0));
  ASSERT_TRUE(sim.waitFor(port->endpoint(), VELLORA::DEBUG_REQ, 2, 2000ms));
  ASSERT_TRUE(port->sendText("after the restart"));
  EXPECT_EQ(nextText(), "Target: after the restart");

  KALMO::UDPV6 closed;
  SSyncDebug other;
  EXPECT_FALSE(other.start(closed, false, -1, 0));
}

TEST(SinkDebugText, OneDatagramGivesOneBoundedLine) {
  struct Case {
    std::string payload;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"", ""},
      {"plain", "plain"},
      {"line\r\n", "line"},
      {"two\nlines", "two lines"},
      {std::string("cut\0here", 8), "cut"},
      {"tab\there\x7f", "tab here "},
      {std::string(SSyncDebug::MAX_TEXT + 50, 'z'), std::string(SSyncDebug::MAX_TEXT, 'z')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const KALMO::BufferCS_const bytes{reinterpret_cast<const uint8_t*>(c.payload.data()),
                                      c.payload.size()};
    EXPECT_EQ(SSyncDebug::logText(bytes), c.text);
  }
}

}  // namespace

namespace {

using vellora_test::FrameSource;

// A streaming connection to a stand-in sink on [::1] whose debug port is
// [::1]:19642, with the log going to [::1]:19640.
class ConnectionDebugTexts : public LogPortTest {
 protected:
  void SetUp() override {
    LogPortTest::SetUp();
    if (!rx) return;
    sink.emplace(sim, vsim::ipv6("::1", 0), vellora_test::pcmSink());
    port.emplace(sim);
  }
  void TearDown() override {
    host.close();
    port.reset();
    sink.reset();
    LogPortTest::TearDown();
  }

  // Open, handshake, connect and play at log level `level`.
  void connectAt(KALMO::SysLog::SysLogLevel level) {
    ASSERT_TRUE(SysLogVellora::changeLevel(level, logtest::kLogPort));
    ASSERT_TRUE(vellora_test::openTo(host, *sink));
    ASSERT_TRUE(host.setSinkConfigure(vellora_test::kStereo16At48k));
    ASSERT_TRUE(vellora_test::var1ms(host));
    host.setAudio({}, 1920, 0);
    ASSERT_TRUE(vellora_test::connectHost(host));
    host.play();
  }

  vsim::TargetSim sim;
  std::optional<vsim::Sink> sink;
  std::optional<vsim::DebugPort> port;
  FrameSource host;
};

TEST_F(ConnectionDebugTexts, AtThresholdSixTheSinksTextsReachTheLog) {
  VELLORA_REQUIRE_PRIVATE_NET();
  connectAt(KALMO::SysLog::INFO);
  ASSERT_TRUE(port->waitListeners(1, 3s));
  const auto requests = sim.received(port->endpoint(), VELLORA::DEBUG_REQ);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].option0(), 1);
  // Registered from the debug socket, not from the stream's control socket.
  const KALMO::IPAddress listener = port->listeners()[0];
  EXPECT_NE(vsim::portOf(listener), vsim::portOf(sink->hostControl()));
  EXPECT_NE(vsim::portOf(listener), vsim::portOf(host.debugTarget));

  ASSERT_TRUE(port->sendText("volume 12\n"));
  EXPECT_EQ(nextText(), "Target: volume 12");

  // Other endpoints of the same host may not write into the log, nor can
  // a length word that does not fit what arrived.
  const std::vector<uint8_t> forged = vsim::DebugPort::textDatagram("forged");
  const std::vector<uint8_t> text = vsim::DebugPort::textDatagram("0123456789abcdef");
  struct Case {
    const char* name;
    vsim::EndpointId from;
    std::vector<uint8_t> bytes;
    std::optional<std::string> logged;
  };
  const std::vector<Case> cases = {
      {"the sink's control endpoint", sink->controlEndpoint(), forged, std::nullopt},
      {"the sink's handshake endpoint", sink->handshakeEndpoint(), forged, std::nullopt},
      {"length word 0xFFFF", port->endpoint(), withLengthWord(text, 0xFFFF), std::nullopt},
      {"length word beyond the bytes", port->endpoint(),
       withLengthWord(text, VELLORA::lengthWord(1400)), std::nullopt},
      {"length word 0", port->endpoint(), withLengthWord(text, 0), std::nullopt},
      {"length word within the bytes", port->endpoint(),
       withLengthWord(text, VELLORA::lengthWord(4)), std::string("Target: 0123")},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(sim.send(c.from, listener, c.bytes));
    const std::string marker = "marker " + std::to_string(++n);
    ASSERT_TRUE(port->sendText(marker));
    if (c.logged) {
      EXPECT_EQ(nextText(), *c.logged);
    }
    EXPECT_EQ(nextText(), "Target: " + marker);
  }
  EXPECT_EQ(host.syncState.load(), VELLORA::SSync::Connected);  // the stream went on

  // A second connection keeps the one thread; it has nothing new to register.
  host.disconnect();
  ASSERT_TRUE(vellora_test::connectHost(host));
  ASSERT_TRUE(port->sendText("second connection"));
  EXPECT_EQ(nextText(), "Target: second connection");
  EXPECT_EQ(sim.received(port->endpoint(), VELLORA::DEBUG_REQ).size(), 1u);

  // close ends the thread by its flag before the socket goes.
  host.disconnect();
  const auto t0 = std::chrono::steady_clock::now();
  host.close();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
  EXPECT_FALSE(host.debugThread.running());
  EXPECT_FALSE(host.debugSocket.is_open());
}

TEST_F(ConnectionDebugTexts, BelowThresholdSixNoThreadIsStarted) {
  VELLORA_REQUIRE_PRIVATE_NET();
  connectAt(KALMO::SysLog::NOTICE);
  EXPECT_FALSE(host.debugThread.running());
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(sim.received(port->endpoint(), VELLORA::DEBUG_REQ).empty());
  EXPECT_TRUE(port->listeners().empty());
}

TEST_F(ConnectionDebugTexts, EachSinkHandshakeRegistersAgain) {
  VELLORA_REQUIRE_PRIVATE_NET();
  connectAt(KALMO::SysLog::INFO);
  ASSERT_TRUE(sim.waitFor(port->endpoint(), VELLORA::DEBUG_REQ, 1, 3000ms));
  host.disconnect();
  // The thread keeps running between connections and registers the sink of
  // the next handshake at its next pass.
  ASSERT_TRUE(host.setSink(sink->address(), 0, false));
  ASSERT_TRUE(sim.waitFor(port->endpoint(), VELLORA::DEBUG_REQ, 2, 3000ms));
  ASSERT_TRUE(port->sendText("after the second handshake"));
  EXPECT_EQ(nextText(), "Target: after the second handshake");
}

}  // namespace
