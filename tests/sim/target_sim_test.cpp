#include "sim/target/target_sim.h"

#include "discovery/control.h"
#include "discovery/find.h"
#include "sim/target/hostile_node.h"
#include "sim/target/target_program.h"
#include "tests/common/link_harness.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using vsim::Script;
using vsim::TargetSim;

// A plain client socket (on [::1] unless told otherwise), independent of the
// product's socket code.
class Client {
 public:
  explicit Client(const in6_addr& local = in6addr_loopback) {
    fd_ = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int rcvbuf = 8 << 20;  // bursts of hundreds of datagrams
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf);
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = local;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin6_port);
  }
  ~Client() { ::close(fd_); }
  uint16_t port() const { return port_; }

  void send(const KALMO::IPAddress& to, const std::vector<uint8_t>& bytes) {
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    std::memcpy(&sa.sin6_port, &to.port, 2);
    std::memcpy(&sa.sin6_addr, to.address, 16);
    sa.sin6_scope_id = to.interfaceIndex;
    if (to.address[0] == 0xFF) {
      ::setsockopt(fd_, IPPROTO_IPV6, IPV6_MULTICAST_IF, &to.interfaceIndex, sizeof(uint32_t));
    }
    ASSERT_EQ(::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&sa),
                       sizeof sa),
              static_cast<ssize_t>(bytes.size()));
  }

  // One datagram and its sender's port, or false after the time-out.
  bool receive(std::vector<uint8_t>& bytes, uint16_t& fromPort, std::chrono::milliseconds wait,
               in6_addr* fromAddress = nullptr) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return false;
    bytes.resize(65536);
    sockaddr_in6 from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(fd_, bytes.data(), bytes.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return false;
    bytes.resize(static_cast<size_t>(n));
    fromPort = ntohs(from.sin6_port);
    if (fromAddress != nullptr) *fromAddress = from.sin6_addr;
    return true;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

uint16_t word(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

TEST(TargetSim, DefaultAnswerFromTheAddressedEndpointAndLog) {
  VELLORA_REQUIRE_PRIVATE_NET();
  TargetSim sim;
  ASSERT_TRUE(sim.running());
  const vsim::EndpointId a = sim.addEndpoint(vsim::ipv6("::1", 0));
  const vsim::EndpointId b = sim.addEndpoint(vsim::ipv6("::1", 0));
  ASSERT_NE(a, vsim::NO_ENDPOINT);
  ASSERT_NE(b, vsim::NO_ENDPOINT);
  const uint16_t portB = vsim::portOf(sim.address(b));
  ASSERT_NE(portB, 0);

  Client c;
  struct Case {
    uint16_t request;
    uint16_t answer;  // 0xFFFF: none
  };
  const Case cases[] = {{VELLORA::LATENCY_REQ, VELLORA::LATENCY_ANS},
                        {VELLORA::PROBE_REQ, VELLORA::SUPPORTFORMAT_ANS},
                        {VELLORA::FIND_REQ, VELLORA::FIND_ANS},
                        {VELLORA::LATENCY_ANS, 0xFFFF},
                        {VELLORA::STREAMDATA_REQ, 0xFFFF}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.request);
    c.send(sim.address(b), TargetSim::build(k.request, 0, 0x0102030405060708ULL, {'h', 'i'}));
    std::vector<uint8_t> got;
    uint16_t from = 0;
    if (k.answer == 0xFFFF) {
      EXPECT_FALSE(c.receive(got, from, 100ms));
      continue;
    }
    ASSERT_TRUE(c.receive(got, from, 1000ms));
    EXPECT_EQ(from, portB);
    ASSERT_EQ(got.size(), 16u);
    EXPECT_EQ(word(got, 0), 100);
    EXPECT_EQ(word(got, 4), k.answer);
    EXPECT_EQ(word(got, 6), VELLORA::STATUS_ACK);
  }
  // A datagram that is no protocol datagram is logged, not answered.
  c.send(sim.address(b), {1, 2, 3});
  ASSERT_TRUE(sim.waitFor(b, vsim::ANY_CODE, 6, 1000ms));

  const std::vector<vsim::Datagram> log = sim.received(b);
  ASSERT_EQ(log.size(), 6u);
  EXPECT_TRUE(sim.received(a).empty());
  const vsim::Datagram& first = log[0];
  EXPECT_TRUE(first.valid);
  EXPECT_EQ(first.code, VELLORA::LATENCY_REQ);
  EXPECT_EQ(first.option, 0x0102030405060708ULL);
  EXPECT_EQ(first.option3(), 0x0102);
  EXPECT_EQ(first.text(), "hi");
  EXPECT_EQ(vsim::portOf(first.sender), c.port());
  EXPECT_EQ(first.endpoint, b);
  EXPECT_NE(first.time.get(), 0u);
  EXPECT_LE(first.time.get(), log[1].time.get());
  EXPECT_FALSE(log[5].valid);
  EXPECT_EQ(log[5].bytes, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(sim.count(b, VELLORA::PROBE_REQ), 1u);

  // A bounded log keeps the newest entries and goes on counting.
  sim.setLogLimit(2);
  ASSERT_EQ(sim.received(b).size(), 2u);
  EXPECT_FALSE(sim.received(b)[1].valid);
  EXPECT_EQ(sim.count(b, VELLORA::LATENCY_REQ), 0u);
  c.send(sim.address(b), TargetSim::build(VELLORA::LATENCY_REQ, 0, 0));
  EXPECT_TRUE(sim.waitFor(b, VELLORA::LATENCY_REQ, 1, 1000ms));
  EXPECT_EQ(sim.received().size(), 2u);
}

// Each scripted action, seen from the requesting side.
TEST(TargetSim, ScriptedActions) {
  VELLORA_REQUIRE_PRIVATE_NET();
  TargetSim sim;
  const vsim::EndpointId ep = sim.addEndpoint(vsim::ipv6("::1", 0));
  const vsim::EndpointId other = sim.addEndpoint(vsim::ipv6("::1", 0));
  const uint16_t epPort = vsim::portOf(sim.address(ep));
  const uint16_t otherPort = vsim::portOf(sim.address(other));
  const std::vector<uint8_t> request =
      TargetSim::build(VELLORA::DATASIZE_REQ, 0, 0x77, {'a', 'b', 'c', 'd', 'e'});

  struct Expect {
    std::vector<uint8_t> bytes;
    uint16_t fromPort;
  };
  auto answer = [](uint16_t status) {
    return TargetSim::build(VELLORA::DATASIZE_ANS, status, 0x99, {'x', 'y', 'z', 'w', 'v'});
  };
  struct Case {
    const char* what;
    Script script;
    std::vector<Expect> expect;
  };
  auto make = [](Script::Action action) {
    Script s;
    s.action = action;
    s.answer.option = 0x99;
    s.answer.payload = {'x', 'y', 'z', 'w', 'v'};
    return s;
  };
  std::vector<Case> cases;
  cases.push_back({"answer", make(Script::Action::ANSWER), {{answer(VELLORA::STATUS_ACK), epPort}}});
  {
    Script s = make(Script::Action::REFUSE);
    s.answer.status = VELLORA::STATUS_ACK | VELLORA::PHASE_INFO;
    cases.push_back({"refuse", s, {{answer(VELLORA::PHASE_INFO), epPort}}});
  }
  cases.push_back({"echo", make(Script::Action::ECHO), {{request, epPort}}});
  cases.push_back({"silent", make(Script::Action::SILENT), {}});
  {
    Script s = make(Script::Action::ANSWER);
    s.from = other;
    s.thenAnswer = true;
    cases.push_back({"other port, then the real answer",
                     s,
                     {{answer(VELLORA::STATUS_ACK), otherPort}, {answer(VELLORA::STATUS_ACK), epPort}}});
  }
  {
    std::vector<uint8_t> bad = answer(VELLORA::STATUS_ACK);
    bad[0] = 99;
    std::vector<uint8_t> cut(bad.begin(), bad.begin() + 10);
    cut[0] = 100;
    std::vector<uint8_t> large = answer(VELLORA::STATUS_ACK);
    large[2] = 35;  // claims 13 payload bytes (padded 32) in a 24-byte datagram
    std::vector<uint8_t> word21 = answer(VELLORA::STATUS_ACK);
    word21[2] = 21;
    const struct {
      vsim::Malformed kind;
      std::vector<uint8_t> bytes;
    } damaged[] = {{vsim::Malformed::BAD_MAGIC, bad},
                   {vsim::Malformed::SHORT, cut},
                   {vsim::Malformed::LENGTH_TOO_LARGE, large},
                   {vsim::Malformed::LENGTH_WORD, word21}};
    for (const auto& d : damaged) {
      Script s = make(Script::Action::MALFORMED);
      s.malformed = d.kind;
      s.lengthWord = 21;
      cases.push_back({"malformed", s, {{d.bytes, epPort}}});
    }
  }
  {
    Script s = make(Script::Action::RAW);
    s.raw = {9, 8, 7};
    cases.push_back({"raw", s, {{{9, 8, 7}, epPort}}});
  }

  Client c;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    sim.script(ep, VELLORA::DATASIZE_REQ, k.script);
    c.send(sim.address(ep), request);
    for (const Expect& e : k.expect) {
      std::vector<uint8_t> got;
      uint16_t from = 0;
      ASSERT_TRUE(c.receive(got, from, 1000ms));
      EXPECT_EQ(got, e.bytes);
      EXPECT_EQ(from, e.fromPort);
    }
    std::vector<uint8_t> extra;
    uint16_t from = 0;
    EXPECT_FALSE(c.receive(extra, from, 50ms)) << "unexpected datagram of " << extra.size();
  }
  // Scripts are per code: another code still gets the default answer.
  c.send(sim.address(ep), TargetSim::build(VELLORA::LATENCY_REQ, 0, 0));
  std::vector<uint8_t> got;
  uint16_t from = 0;
  ASSERT_TRUE(c.receive(got, from, 1000ms));
  EXPECT_EQ(word(got, 4), VELLORA::LATENCY_ANS);
}

TEST(TargetSim, SilentFirstTriesDelayAndHandlers) {
  VELLORA_REQUIRE_PRIVATE_NET();
  TargetSim sim;
  const vsim::EndpointId ep = sim.addEndpoint(vsim::ipv6("::1", 0));
  Client c;
  std::vector<uint8_t> got;
  uint16_t from = 0;

  // Silent for two requests, then answered after a delay.
  Script s;
  s.silentFirst = 2;
  s.delay = 150ms;
  sim.script(ep, VELLORA::LATENCY_REQ, s);
  const std::vector<uint8_t> req = TargetSim::build(VELLORA::LATENCY_REQ, 0, 0);
  c.send(sim.address(ep), req);
  c.send(sim.address(ep), req);
  EXPECT_FALSE(c.receive(got, from, 300ms));
  const auto sent = std::chrono::steady_clock::now();
  c.send(sim.address(ep), req);
  ASSERT_TRUE(c.receive(got, from, 2000ms));
  EXPECT_GE(std::chrono::steady_clock::now() - sent, 140ms);
  EXPECT_EQ(word(got, 4), VELLORA::LATENCY_ANS);
  EXPECT_EQ(sim.count(ep, VELLORA::LATENCY_REQ), 3u);

  // A code handler answers; one that declines falls through to the endpoint
  // handler, which sees also what is no protocol datagram.
  sim.onCode(ep, VELLORA::FWVERSION_REQ, [](TargetSim& t, const vsim::Datagram& d) {
    return t.reply(d, vsim::Answer::withText("1.2"));
  });
  sim.onCode(ep, VELLORA::FWURL_REQ, [](TargetSim&, const vsim::Datagram&) { return false; });
  std::atomic<int> endpointCalls{0};
  sim.onEndpoint(ep, [&](TargetSim&, const vsim::Datagram&) {
    ++endpointCalls;
    return true;
  });
  c.send(sim.address(ep), TargetSim::build(VELLORA::FWVERSION_REQ, 0, 0));
  ASSERT_TRUE(c.receive(got, from, 1000ms));
  EXPECT_EQ(word(got, 4), VELLORA::FWVERSION_ANS);
  EXPECT_EQ(std::string(got.begin() + 16, got.begin() + 19), "1.2");
  c.send(sim.address(ep), TargetSim::build(VELLORA::FWURL_REQ, 0, 0));
  c.send(sim.address(ep), {0x2C, 0xAA});
  EXPECT_FALSE(c.receive(got, from, 100ms));
  ASSERT_TRUE(sim.waitFor(ep, vsim::ANY_CODE, 6, 1000ms));
  EXPECT_EQ(endpointCalls.load(), 2);

  // A script with the handler action passes to the handler after silence.
  Script h;
  h.action = Script::Action::HANDLER;
  h.silentFirst = 1;
  sim.script(ep, VELLORA::FWVERSION_REQ, h);
  c.send(sim.address(ep), TargetSim::build(VELLORA::FWVERSION_REQ, 0, 0));
  EXPECT_FALSE(c.receive(got, from, 100ms));
  c.send(sim.address(ep), TargetSim::build(VELLORA::FWVERSION_REQ, 0, 0));
  ASSERT_TRUE(c.receive(got, from, 1000ms));
  EXPECT_EQ(word(got, 4), VELLORA::FWVERSION_ANS);
}

// Unsolicited datagrams from other threads while the engine serves requests,
// and an endpoint removed while the engine may be polling it.
TEST(TargetSim, ConcurrentSendsAndRemoval) {
  VELLORA_REQUIRE_PRIVATE_NET();
  TargetSim sim;
  const vsim::EndpointId ep = sim.addEndpoint(vsim::ipv6("::1", 0));
  Client c;
  const KALMO::IPAddress to = vsim::ipv6("::1", c.port());
  constexpr int kPerThread = 200;
  std::atomic<int> dsi{0}, latency{0};
  std::thread reader([&] {
    Client& client = c;
    std::vector<uint8_t> got;
    uint16_t from = 0;
    while (client.receive(got, from, 500ms)) {
      if (word(got, 4) == VELLORA::DSICONNECT_ANS) ++dsi;
      if (word(got, 4) == VELLORA::LATENCY_ANS) ++latency;
    }
  });
  std::vector<std::thread> senders;
  for (int t = 0; t < 3; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        EXPECT_TRUE(sim.send(ep, to, TargetSim::build(VELLORA::DSICONNECT_ANS, 0, t)));
      }
    });
  }
  for (int i = 0; i < 50; ++i) c.send(sim.address(ep), TargetSim::build(VELLORA::LATENCY_REQ, 0, 0));
  for (auto& t : senders) t.join();
  reader.join();
  EXPECT_EQ(dsi.load(), 3 * kPerThread);
  EXPECT_EQ(latency.load(), 50);

  std::vector<uint8_t> got;
  uint16_t from = 0;
  const KALMO::IPAddress gone = sim.address(ep);
  EXPECT_TRUE(sim.removeEndpoint(ep));
  EXPECT_FALSE(sim.removeEndpoint(ep));
  EXPECT_FALSE(sim.send(ep, to, std::vector<uint8_t>{1}));
  c.send(gone, TargetSim::build(VELLORA::LATENCY_REQ, 0, 0));
  EXPECT_FALSE(c.receive(got, from, 100ms));
  // The port is free again.
  EXPECT_NE(sim.addEndpoint(gone), vsim::NO_ENDPOINT);
}

// Endpoints whose port the system chooses each get a port of their own,
// however many there are: a target with hundreds of ports must not have two
// of them answer on one port number.
TEST(TargetSim, ChosenPortsAreNeverShared) {
  VELLORA_REQUIRE_PRIVATE_NET();
  TargetSim sim;
  std::set<uint16_t> ports;
  constexpr int kEndpoints = 2000;
  for (int i = 0; i < kEndpoints; ++i) {
    const vsim::EndpointId e = sim.addEndpoint(vsim::ipv6("::1", 0));
    ASSERT_NE(e, vsim::NO_ENDPOINT);
    ports.insert(vsim::portOf(sim.address(e)));
  }
  EXPECT_EQ(ports.size(), static_cast<size_t>(kEndpoints));
  // A port given by number is still shared, as discovery's is.
  const vsim::EndpointId a = sim.addEndpoint(vsim::ipv6("::1", 19642));
  const vsim::EndpointId b = sim.addEndpoint(vsim::ipv6("::1", 19642));
  EXPECT_NE(a, vsim::NO_ENDPOINT);
  EXPECT_NE(b, vsim::NO_ENDPOINT);
}

// A listener for ff02::1 on one link of the target namespace, answered from
// the target's own link-local endpoint on the same port: what discovery needs.
TEST(TargetSim, MulticastOnALinkAnsweredFromAUnicastEndpoint) {
  VELLORA_REQUIRE_PRIVATE_NET();
  vellora_test::LinkHarness links;
  VELLORA_SETUP_LINKS(links, 1);
  const vellora_test::LinkHarness::Link& link = links.link(0);
  TargetSim sim;
  vsim::EndpointId listener = vsim::NO_ENDPOINT;
  vsim::EndpointId unicast = vsim::NO_ENDPOINT;
  KALMO::IPAddress own;
  {
    vellora_test::NsScope inTarget(links.targetNs());
    ASSERT_TRUE(inTarget.ok());
    vsim::EndpointSpec group;
    group.address = vsim::ipv6("ff02::1", 19642);
    group.device = link.targetName;
    group.joinAllNodes = true;
    listener = sim.addEndpoint(group);
    ASSERT_TRUE(vsim::linkLocalOf(link.targetName, own));
    EXPECT_EQ(own.interfaceIndex, link.targetIndex);
    vsim::EndpointSpec self;
    self.address = own;
    self.address.port = htons(19642);
    self.device = link.targetName;
    unicast = sim.addEndpoint(self);
  }
  ASSERT_NE(listener, vsim::NO_ENDPOINT);
  ASSERT_NE(unicast, vsim::NO_ENDPOINT);
  EXPECT_EQ(sim.address(listener).interfaceIndex, link.targetIndex);
  sim.onCode(listener, VELLORA::FIND_REQ, [unicast](TargetSim& t, const vsim::Datagram& d) {
    return t.reply(d, vsim::Answer::withText("amp", 42), unicast);
  });

  Client host(in6addr_any);
  KALMO::IPAddress group = vsim::ipv6("ff02::1", 19642, link.hostIndex);
  host.send(group, TargetSim::build(VELLORA::FIND_REQ, 0, 0));
  std::vector<uint8_t> got;
  uint16_t fromPort = 0;
  in6_addr fromAddress{};
  ASSERT_TRUE(host.receive(got, fromPort, 2000ms, &fromAddress));
  EXPECT_EQ(fromPort, 19642);
  EXPECT_EQ(std::memcmp(&fromAddress, own.address, 16), 0);
  ASSERT_EQ(got.size(), 24u);
  EXPECT_EQ(word(got, 4), VELLORA::FIND_ANS);
  EXPECT_EQ(word(got, 8), 42);

  const std::vector<vsim::Datagram> log = sim.received(listener, VELLORA::FIND_REQ);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(std::memcmp(log[0].sender.address, &link.hostAddress, 16), 0);
  EXPECT_EQ(log[0].sender.interfaceIndex, link.targetIndex);
  // Unicast to the target's own address reaches its endpoint, not the group's.
  KALMO::IPAddress direct = own;
  direct.interfaceIndex = link.hostIndex;
  direct.port = htons(19642);
  host.send(direct, TargetSim::build(VELLORA::LATENCY_REQ, 0, 0));
  ASSERT_TRUE(host.receive(got, fromPort, 2000ms));
  EXPECT_EQ(word(got, 4), VELLORA::LATENCY_ANS);
  EXPECT_EQ(sim.count(unicast, VELLORA::LATENCY_REQ), 1u);
  EXPECT_EQ(sim.count(listener), 1u);
}

// The discovery client as the daemon sets it up: every product.
VELLORA::Find::Setting hostSetting() {
  VELLORA::Find::Setting s;
  s.productID = 0;
  s.name = "stand-in test";
  return s;
}

// The target program's misbehaving ports, as the daemon's discovery client
// and control channel see them across a link: extra ports that list but have
// no sink, and ports that leave their listing, control channel or stream
// handshake unanswered until they are mended.
class MisbehavingTargetTest : public ::testing::Test {
 protected:
  using Find = VELLORA::Find;

  void SetUp() override {
    VELLORA_REQUIRE_PRIVATE_NET();
    VELLORA_SETUP_LINKS(links, 1);
    vsim::ProgramOptions o;
    o.device = links.link(0).targetName;
    vsim::ProgramTarget t;
    t.name = "amp";
    t.ports = {"out"};
    t.extraPorts = 2;
    o.targets = {t};
    vellora_test::NsScope in(links.targetNs());
    ASSERT_TRUE(in.ok());
    program = std::make_unique<vsim::TargetProgram>(o);
    std::string error;
    ASSERT_TRUE(program->start(error)) << error;
  }

  void TearDown() override {
    vellora_test::NsScope in(links.targetNs());
    program.reset();
  }

  // One listing; false when a query of it failed.
  bool list(Find::PortMap& ports, Find::StatusMap& items) {
    Find find(hostSetting());
    Find::TargetMap found;
    const auto mode = static_cast<Find::MODE>(Find::MODE_PORT_KIND1 | Find::MODE_INDEX_OPTION0);
    return find.open(std::list<std::string>{links.link(0).hostName}) && find.findTarget(found) &&
           found.size() == 1 && find.findTarget(found, ports, mode) && find.findTarget(found, items);
  }

  // On the target side: a target that appears makes its endpoints there.
  bool command(const std::string& line, std::string& reply) {
    vellora_test::NsScope in(links.targetNs());
    return in.ok() && program->command(line, reply);
  }
  void command(const std::string& line) {
    std::string reply;
    ASSERT_TRUE(command(line, reply)) << reply;
  }

  vellora_test::LinkHarness links;
  std::unique_ptr<vsim::TargetProgram> program;
};

TEST_F(MisbehavingTargetTest, PortsHangAServiceUntilMended) {
  // Each port's endpoint and chain, as the last listing that worked gave
  // them (a target that comes back has new control endpoints).
  std::map<std::string, KALMO::IPAddress> at;
  std::map<std::string, Find::StatusSort> chains;
  auto list = [&] {
    Find::PortMap ports;
    Find::StatusMap items;
    if (!this->list(ports, items)) return false;
    for (const auto& [address, record] : ports) {
      at[record.portName] = address;
      chains[record.portName].clear();
      Find::SortStatus(address, record.portIndex, true, items, chains[record.portName]);
    }
    return true;
  };
  ASSERT_TRUE(list());
  ASSERT_EQ(at.size(), 3u);
  ASSERT_EQ(at.count("x2") + at.count("x3"), 2u);

  // What the daemon meets: its control connect along the port's chain, and
  // the stream handshake's first question at the port's endpoint.
  struct Seen {
    bool listed;
    bool control;
    bool handshake;
  };
  auto seen = [&](const std::string& port) {
    Seen s{list(), false, false};
    VELLORA::Control control(VELLORA::Control::Setting{"test", ~uint64_t{0}});
    s.control = control.open() && control.connect(chains[port]);
    Find find(hostSetting());
    VELLORA::Receive answer;
    s.handshake = find.open(std::list<std::string>{links.link(0).hostName}) &&
                  find.sendAck(at[port], VELLORA::Send(VELLORA::LATENCY_REQ, 0, uint64_t{0}), VELLORA::LATENCY_ANS,
                               answer, true) == Find::ACK_OK;
    return s;
  };
  struct Case {
    const char* command;  // then the port asked
    const char* port;
    Seen expected;
  };
  const Case cases[] = {
      {"mend amp", "out", {true, true, true}},
      // An extra port lists and has its control channel, but no sink.
      {"mend amp", "x2", {true, true, false}},
      {"hang amp:out sync", "out", {false, true, true}},
      {"mend amp:out", "out", {true, true, true}},
      {"hang amp:out control", "out", {true, false, true}},
      {"hang amp:out stream", "out", {true, false, false}},
      {"mend amp:out", "out", {true, true, true}},
      // Without a port: every port of the target, the extra ones too.
      {"hang amp control", "x3", {true, false, false}},
      {"hang amp sync", "x2", {false, false, false}},
      // A target that comes back keeps what its ports hang.
      {"vanish amp", "x2", {true, false, false}},
      {"appear amp", "x2", {false, false, false}},
      {"mend amp", "x3", {true, true, false}},
      {"hang amp:x3 control", "x3", {true, false, false}},
      {"vanish amp", "x3", {}},
      {"appear amp", "x3", {true, false, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.command) + ", then " + c.port);
    command(c.command);
    if (std::string(c.command) == "vanish amp") continue;
    const Seen s = seen(c.port);
    EXPECT_EQ(s.listed, c.expected.listed);
    EXPECT_EQ(s.control, c.expected.control);
    EXPECT_EQ(s.handshake, c.expected.handshake);
  }
  std::string reply;
  EXPECT_FALSE(command("hang amp:out loudly", reply));
  EXPECT_FALSE(command("hang amp:nothing sync", reply));
  EXPECT_FALSE(command("drop amp:x2 3", reply));  // no sink to drop at
}

TEST(TargetProgramOptions, ExtraPortsAndHangs) {
  struct Case {
    std::vector<const char*> args;
    bool ok;
    unsigned extra;
    unsigned hang;
  };
  const Case cases[] = {
      {{"--target", "a", "--port", "p", "--extra-ports", "600", "--hang", "control"}, true, 600, vsim::HANG_CONTROL},
      {{"--target", "a", "--port", "p", "--hang", "sync", "--hang", "stream"}, true, 0,
       vsim::HANG_SYNC | vsim::HANG_STREAM},
      {{"--target", "a", "--port", "p", "--extra-ports", "4094"}, true, 4094, 0},
      // Ports are numbered below 4096 with the named ones.
      {{"--target", "a", "--port", "p", "--port", "q", "--extra-ports", "4094"}, false, 0, 0},
      {{"--target", "a", "--port", "p", "--extra-ports", "-1"}, false, 0, 0},
      {{"--target", "a", "--port", "p", "--hang", "all"}, false, 0, 0},
      {{"--extra-ports", "3", "--target", "a", "--port", "p"}, false, 0, 0},
  };
  for (const Case& c : cases) {
    std::vector<const char*> argv{"vellora-target-sim", "--device", "lo"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    vsim::ProgramOptions o;
    std::string error;
    SCOPED_TRACE(c.args.back());
    ASSERT_EQ(vsim::parseProgramArgs(static_cast<int>(argv.size()), argv.data(), o, error), c.ok) << error;
    if (!c.ok) continue;
    EXPECT_EQ(o.targets.at(0).extraPorts, c.extra);
    EXPECT_EQ(o.targets.at(0).hang, c.hang);
  }
}

// Silent endpoints that accept the name announcement: to a discovery client
// they answered part of a listing and are silent to the rest. The node
// spreads them over its addresses and measures how long it was asked.
TEST(HostileNode, KnownButSilentEndpoints) {
  VELLORA_REQUIRE_PRIVATE_NET();
  vellora_test::LinkHarness links;
  VELLORA_SETUP_LINKS(links, 1);
  std::string error;
  in6_addr second = vellora_test::linkLocal(3, 2);
  ASSERT_TRUE(links.addTargetAddress(0, second, &error)) << error;
  char text[INET6_ADDRSTRLEN];
  ASSERT_NE(::inet_ntop(AF_INET6, &second, text, sizeof text), nullptr);
  vsim::HostileOptions o;
  o.device = links.link(0).targetName;
  o.address = "fe80::3:1";
  ASSERT_TRUE(links.addTargetAddress(0, vellora_test::linkLocal(3, 1), &error)) << error;
  o.moreAddresses = {text};
  o.floodPorts = 4;
  o.answerName = true;
  o.knownPorts = 3;
  vsim::HostileNode node(o);
  {
    vellora_test::NsScope in(links.targetNs());
    ASSERT_TRUE(in.ok());
    ASSERT_TRUE(node.start(error)) << error;
  }
  VELLORA::Find find(hostSetting());
  ASSERT_TRUE(find.open(std::list<std::string>{links.link(0).hostName}));
  VELLORA::Find::TargetMap found;
  ASSERT_TRUE(find.findTarget(found));  // announces the name to each
  ASSERT_EQ(found.size(), 4u);
  std::set<std::string> addresses;
  for (const auto& [address, target] : found) {
    std::string a;
    address.get_V6_str(a);
    addresses.insert(a);
    const uint64_t before = find.answered();
    VELLORA::Receive answer;
    EXPECT_EQ(find.sendAck(address, VELLORA::Send(VELLORA::NOTISNAME_REQ, VELLORA::STATUS_ACK, ~uint64_t{0}),
                           VELLORA::NOTISNAME_ANS, answer, true),
              VELLORA::Find::ACK_OK);
    EXPECT_EQ(find.answered(), before + 1);
    // The port count is answered, each port is not.
    EXPECT_EQ(find.sendAck(address, VELLORA::Send(VELLORA::PORT_REQ, 0, uint64_t{0}), VELLORA::PORT_ANS, answer, true),
              VELLORA::Find::ACK_OK);
    EXPECT_EQ(answer.getOption0(), 3);
    EXPECT_EQ(find.sendAck(address, VELLORA::Send(VELLORA::PORT_REQ, 0, 1, 0, 1, 1), VELLORA::PORT_ANS, answer, true),
              VELLORA::Find::ACK_TIMEOUT);
  }
  EXPECT_EQ(addresses.size(), 2u);
  EXPECT_GE(node.listingAnswers(), 12u);
  EXPECT_EQ(node.bursts(), 1u);
  // From the first discovery request to the last silent query: at least
  // three of the 100 ms waits for the unanswered ones.
  EXPECT_GE(node.longestBurstMs(), 300u);
  vellora_test::NsScope in(links.targetNs());
  node.stop();
}

// Answerers that first answer their whole listing, as targets without ports
// (so that a host comes to know them), and then hang.
TEST(HostileNode, AnswerTheListingThenHang) {
  VELLORA_REQUIRE_PRIVATE_NET();
  vellora_test::LinkHarness links;
  VELLORA_SETUP_LINKS(links, 1);
  vsim::HostileOptions o;
  o.device = links.link(0).targetName;
  o.floodPorts = 1;
  o.answerName = true;
  o.knownPorts = 5;
  o.behaveFor = 1000ms;
  vsim::HostileNode node(o);
  std::string error;
  {
    vellora_test::NsScope in(links.targetNs());
    ASSERT_TRUE(in.ok());
    ASSERT_TRUE(node.start(error)) << error;
  }
  const auto started = std::chrono::steady_clock::now();
  VELLORA::Find find(hostSetting());
  ASSERT_TRUE(find.open(std::list<std::string>{links.link(0).hostName}));
  VELLORA::Find::TargetMap found;
  ASSERT_TRUE(find.findTarget(found));
  ASSERT_EQ(found.size(), 1u);
  const KALMO::IPAddress at = found.begin()->first;
  auto ask = [&](VELLORA::MessageID request, VELLORA::MessageID answerId, uint16_t& count) {
    VELLORA::Receive answer;
    const int r = find.sendAck(at, VELLORA::Send(request, 0, uint64_t{0}), answerId, answer, true);
    count = answer.getOption0();
    return r;
  };
  uint16_t count = 0;
  ASSERT_LT(std::chrono::steady_clock::now() - started, 700ms) << "too slow to see it behave";
  EXPECT_EQ(ask(VELLORA::PORT_REQ, VELLORA::PORT_ANS, count), VELLORA::Find::ACK_OK);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(ask(VELLORA::TARGETINFO_REQ, VELLORA::TARGETINFO_ANS, count), VELLORA::Find::ACK_OK);
  EXPECT_EQ(ask(VELLORA::STATUSITEM_REQ, VELLORA::STATUSITEM_ANS, count), VELLORA::Find::ACK_OK);
  std::this_thread::sleep_until(started + 1100ms);
  EXPECT_EQ(ask(VELLORA::PORT_REQ, VELLORA::PORT_ANS, count), VELLORA::Find::ACK_OK);
  EXPECT_EQ(count, 5);
  EXPECT_EQ(ask(VELLORA::TARGETINFO_REQ, VELLORA::TARGETINFO_ANS, count), VELLORA::Find::ACK_TIMEOUT);
  EXPECT_EQ(ask(VELLORA::STATUSITEM_REQ, VELLORA::STATUSITEM_ANS, count), VELLORA::Find::ACK_TIMEOUT);
  vellora_test::NsScope in(links.targetNs());
  node.stop();
}

}  // namespace
