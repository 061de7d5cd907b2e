#include "protocol/connection.h"

#include "sim/target/target_sim.h"
#include "tests/base/syslog_test_util.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using VELLORA::Connection;
using VELLORA::Receive;
using vsim::Script;

constexpr uint64_t kMs = 1'000'000'000ULL;  // picoseconds

struct Fixture {
  vsim::TargetSim sim;
  vsim::EndpointId target = sim.addEndpoint(vsim::ipv6("::1", 0));
  vsim::EndpointId otherPort = sim.addEndpoint(vsim::ipv6("::1", 0));
  Connection connection;
  KALMO::IPAddress local = vsim::ipv6("::1", 0);

  bool open() {
    return target != vsim::NO_ENDPOINT && otherPort != vsim::NO_ENDPOINT &&
           connection.open(local);
  }
  KALMO::IPAddress peer() const { return sim.address(target); }
  void silence(VELLORA::MessageID code) {
    Script silent;
    silent.action = Script::Action::SILENT;
    sim.script(target, code, silent);
  }
};

VELLORA::SendBuffer latencyRequest() {
  VELLORA::SendBuffer request;
  EXPECT_TRUE(request.set_str("req"));
  request.set(VELLORA::LATENCY_REQ, 0, 0x55);
  request.update();
  return request;
}

TEST(Connection, ExchangeOutcomes) {
  VELLORA_REQUIRE_PRIVATE_NET();
  Fixture f;
  ASSERT_TRUE(f.open());

  auto answering = [](Script::Action action) {
    Script s;
    s.action = action;
    s.answer.option = 0x0000000700060005ULL;
    s.answer.payload = {'o', 'k'};
    return s;
  };
  struct Case {
    std::string what;
    Script script;
    bool answered;
    size_t requests;
  };
  std::vector<Case> cases;
  cases.push_back({"answer on the first try", answering(Script::Action::ANSWER), true, 1});
  for (int k : {2, 3}) {
    Script s = answering(Script::Action::ANSWER);
    s.silentFirst = k - 1;
    cases.push_back({"answer on try " + std::to_string(k), s, true, static_cast<size_t>(k)});
  }
  cases.push_back({"answer without STATUS_ACK", answering(Script::Action::REFUSE), false, 1});
  cases.push_back({"request's own code echoed", answering(Script::Action::ECHO), false, 1});
  cases.push_back({"silence", answering(Script::Action::SILENT), false, 3});
  {
    Script s = answering(Script::Action::ANSWER);
    s.from = f.otherPort;
    cases.push_back({"answer from another port only", s, false, 3});
    s.thenAnswer = true;
    cases.push_back({"another port, then the addressed one", s, true, 1});
  }
  {
    Script s = answering(Script::Action::ANSWER);
    s.answer.code = VELLORA::SYNCHRO_STATUS_ANS;
    cases.push_back({"unexpected code only", s, false, 3});
    s.thenAnswer = true;
    cases.push_back({"unexpected code, then the answer", s, true, 1});
  }
  {
    Script s = answering(Script::Action::MALFORMED);
    s.malformed = vsim::Malformed::LENGTH_WORD;
    s.lengthWord = 17;
    cases.push_back({"invalid datagram only", s, false, 3});
    s.thenAnswer = true;
    for (vsim::Malformed kind : {vsim::Malformed::BAD_MAGIC, vsim::Malformed::SHORT,
                                 vsim::Malformed::LENGTH_TOO_LARGE}) {
      s.malformed = kind;
      cases.push_back({"invalid datagram (kind " + std::to_string(static_cast<int>(kind)) +
                           "), then the answer",
                       s, true, 1});
    }
    s.malformed = vsim::Malformed::LENGTH_WORD;
    for (uint16_t word = 17; word <= 23; ++word) {
      s.lengthWord = word;
      cases.push_back({"length word " + std::to_string(word) + ", then the answer", s, true, 1});
    }
  }

  const VELLORA::SendBuffer request = latencyRequest();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    f.sim.clearLog();
    f.sim.script(f.target, VELLORA::LATENCY_REQ, c.script);
    Receive answer;
    answer.datagram.assign(20, 0xAA);  // stale content must go
    ASSERT_TRUE(
        f.connection.sendAck(f.peer(), request, VELLORA::LATENCY_ANS, answer, KALMO::Clock(30 * kMs)));
    EXPECT_EQ(static_cast<bool>(answer), c.answered);
    if (c.answered) {
      EXPECT_EQ(answer.getMessage(), VELLORA::LATENCY_ANS);
      EXPECT_EQ(answer.getOption(), 0x0000000700060005ULL);
      std::string text;
      answer.get_str(text);
      EXPECT_EQ(text, "ok");
    } else {
      EXPECT_TRUE(answer.datagram.empty());
    }
    // The exchange has returned, so every request it sent is on its way.
    ASSERT_TRUE(f.sim.waitFor(f.target, VELLORA::LATENCY_REQ, c.requests, 1000ms));
    std::this_thread::sleep_for(20ms);
    const std::vector<vsim::Datagram> seen = f.sim.received(f.target, VELLORA::LATENCY_REQ);
    ASSERT_EQ(seen.size(), c.requests);
    EXPECT_EQ(seen[0].text(), "req");  // the padded image of the SendBuffer
    EXPECT_EQ(seen[0].option, 0x55u);
  }
}

// Records of the process, for the lines an exchange writes.
std::mutex gLogMu;
std::vector<std::string> gLog;
void capture(const char* record) {
  std::lock_guard<std::mutex> lock(gLogMu);
  gLog.emplace_back(record);
}
size_t logged(const std::string& text) {
  std::lock_guard<std::mutex> lock(gLogMu);
  size_t n = 0;
  for (const std::string& r : gLog) n += r.find(text) != std::string::npos ? 1 : 0;
  return n;
}

// Each datagram that is not a protocol datagram is logged with its size,
// an empty one as well, and the answer behind it is still taken.
TEST(Connection, InvalidDatagramsAreLoggedWithTheirSize) {
  VELLORA_REQUIRE_PRIVATE_NET();
  Fixture f;
  ASSERT_TRUE(f.open());
  Script shortHeader;
  shortHeader.action = Script::Action::MALFORMED;
  shortHeader.malformed = vsim::Malformed::SHORT;
  Script empty;
  empty.action = Script::Action::RAW;
  const struct {
    const char* what;
    Script bad;
    const char* line;
  } cases[] = {
      {"10 header bytes", shortHeader, "sendAck RCV errpacket:10"},
      {"no bytes", empty, "sendAck RCV errpacket:0"},
  };
  const VELLORA::SendBuffer request = latencyRequest();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Script s = c.bad;
    s.thenAnswer = true;
    f.sim.script(f.target, VELLORA::LATENCY_REQ, s);
    logtest::resetLogger();
    {
      std::lock_guard<std::mutex> lock(gLogMu);
      gLog.clear();
    }
    ASSERT_TRUE(KALMO::SysLog::initialize(KALMO::SysLog::LOCAL0, &capture));
    KALMO::SysLog::threshold.store(KALMO::SysLog::DEBUG);
    Receive answer;
    const bool ok =
        f.connection.sendAck(f.peer(), request, VELLORA::LATENCY_ANS, answer, KALMO::Clock(30 * kMs));
    logtest::resetLogger();
    ASSERT_TRUE(ok);
    EXPECT_TRUE(static_cast<bool>(answer));
    EXPECT_EQ(logged(c.line), 1u);
  }
}

TEST(Connection, SilentPeerTakesThreeWaits) {
  VELLORA_REQUIRE_PRIVATE_NET();
  Fixture f;
  ASSERT_TRUE(f.open());
  f.silence(VELLORA::PROBE_REQ);
  VELLORA::Send probe(VELLORA::PROBE_REQ, 0, uint64_t{0});
  Receive answer;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(
      f.connection.sendAck(f.peer(), probe, VELLORA::SUPPORTFORMAT_ANS, answer, KALMO::Clock(10 * kMs)));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(static_cast<bool>(answer));
  EXPECT_GE(took, 29ms);
  EXPECT_LT(took, 1000ms);
}

// Datagrams from another sender arriving faster than the wait must not keep
// the exchange alive beyond its three tries.
TEST(Connection, StrayDatagramsCannotProlongTheExchange) {
  VELLORA_REQUIRE_PRIVATE_NET();
  Fixture f;
  ASSERT_TRUE(f.open());
  f.silence(VELLORA::LATENCY_REQ);

  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    const std::vector<uint8_t> stray =
        vsim::TargetSim::build(VELLORA::LATENCY_ANS, VELLORA::STATUS_ACK, 0);
    const std::vector<uint8_t> junk = {1, 2, 3};
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (flooding && std::chrono::steady_clock::now() < end) {
      f.sim.send(f.otherPort, f.local, stray);  // right code, wrong sender
      f.sim.send(f.target, f.local, junk);      // right sender, invalid
      std::this_thread::sleep_for(2ms);
    }
  });
  Receive answer;
  const auto start = std::chrono::steady_clock::now();
  const bool ok = f.connection.sendAck(f.peer(), latencyRequest(), VELLORA::LATENCY_ANS, answer,
                                       KALMO::Clock(50 * kMs));
  const auto took = std::chrono::steady_clock::now() - start;
  flooding = false;
  flood.join();
  EXPECT_TRUE(ok);
  EXPECT_FALSE(static_cast<bool>(answer));
  EXPECT_GE(took, 149ms);
  EXPECT_LT(took, 2000ms);
  EXPECT_EQ(f.sim.count(f.target, VELLORA::LATENCY_REQ), 3u);
}

TEST(Connection, SocketFailureIsFalse) {
  Connection closed;
  Receive answer;
  EXPECT_FALSE(closed.sendAck(vsim::ipv6("::1", 9), VELLORA::Send(VELLORA::LATENCY_REQ, 0),
                              VELLORA::LATENCY_ANS, answer, KALMO::Clock(10 * kMs)));
  EXPECT_FALSE(static_cast<bool>(answer));
}

TEST(Connection, OpenWritesTheChosenPortBack) {
  VELLORA_REQUIRE_PRIVATE_NET();
  Connection c;
  KALMO::IPAddress local = vsim::ipv6("::1", 0);
  ASSERT_TRUE(c.open(local));
  EXPECT_NE(vsim::portOf(local), 0);
  // Answers of up to 4096 bytes arrive whole.
  EXPECT_EQ(c.socket.receiveSize, 4096u);
}

TEST(Connection, DumpfileAppends) {
  char path[] = "/tmp/vellora-dumpXXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  const uint8_t a[] = {1, 2, 3};
  const uint8_t b[] = {0, 0xFF};
  Connection::dumpfile(KALMO::BufferCS_const{a, sizeof a}, path);
  Connection::dumpfile(KALMO::BufferCS_const{b, sizeof b}, path);
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(got, (std::vector<char>{1, 2, 3, 0, static_cast<char>(0xFF)}));
  ::unlink(path);
}

}  // namespace
