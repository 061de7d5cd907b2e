// Discovery client on [::1]: the acknowledged exchange, the loopback sweep,
// name announcement, product filter and opening.
#include "tests/discovery/find_fixture.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <map>
#include <thread>
#include <vector>

namespace disc_test {
namespace {

using Action = vsim::Script::Action;

TEST_F(FindTest, ExchangeOutcomes) {
  vsim::TargetSpec layout;
  layout.address = loopback(0);
  layout.infoText = "hello";
  const int t = add(layout);
  const int third = targets.addTarget(elsewhere());
  ASSERT_GE(third, 0);
  const vsim::EndpointId thirdEp = targets.endpoint(third);

  struct Case {
    const char* what;
    vsim::Script script;
    int result;
    bool answerKept;
  };
  vsim::Script answer;
  answer.action = Action::HANDLER;
  vsim::Script refuse;
  refuse.action = Action::REFUSE;
  vsim::Script echo;
  echo.action = Action::ECHO;
  vsim::Script silent;
  silent.action = Action::SILENT;
  vsim::Script ackFromThird;
  ackFromThird.from = thirdEp;
  vsim::Script refusalFromThird = refuse;
  refusalFromThird.from = thirdEp;
  vsim::Script decoyThenAnswer = ackFromThird;
  decoyThenAnswer.thenAnswer = true;
  vsim::Script malformed;
  malformed.action = Action::MALFORMED;
  vsim::Script otherCode;
  otherCode.answer.code = VELLORA::FWVERSION_ANS;
  const std::vector<Case> cases = {
      {"accepted", answer, Find::ACK_OK, true},
      {"refused", refuse, Find::ACK_REFUSED, true},
      {"echo", echo, Find::ACK_ECHO, false},
      {"silence", silent, Find::ACK_TIMEOUT, false},
      {"accepted answer from a third endpoint", ackFromThird, Find::ACK_TIMEOUT, false},
      {"refusal from a third endpoint", refusalFromThird, Find::ACK_REFUSED, true},
      {"decoy from a third endpoint, then the answer", decoyThenAnswer, Find::ACK_OK, true},
      {"malformed", malformed, Find::ACK_TIMEOUT, false},
      {"another code", otherCode, Find::ACK_TIMEOUT, false},
  };
  Find& f = client();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    engine.script(targets.endpoint(t), VELLORA::TARGETINFO_REQ, c.script);
    VELLORA::Receive got;
    got.datagram.assign(20, 1);  // cleared first
    int result = -1;
    const long long ms = timedMs([&] {
      result = f.sendAck(targets.address(t), VELLORA::Send(VELLORA::TARGETINFO_REQ, 0), VELLORA::TARGETINFO_ANS,
                         got, true);
    });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(static_cast<bool>(got), c.answerKept);
    if (c.result == Find::ACK_OK && c.script.action == Action::HANDLER) {
      std::string text;
      got.get_str(text);
      EXPECT_EQ(text, "hello");
    }
    if (c.result == Find::ACK_TIMEOUT) {
      EXPECT_GE(ms, 95);
      EXPECT_LT(ms, 1000);
    }
  }
}

TEST_F(FindTest, UnrelatedTrafficDoesNotStretchTheWait) {
  const int t = add(elsewhere());
  const int third = add(elsewhere());
  const vsim::EndpointId from = targets.endpoint(third);
  // The target stays silent, while a third endpoint sends junk and
  // well-formed datagrams of other codes every millisecond for a second.
  engine.onCode(targets.endpoint(t), VELLORA::TARGETINFO_REQ, [from](vsim::TargetSim& sim, const vsim::Datagram& d) {
    const auto junk = vsim::TargetSim::build(VELLORA::FWURL_ANS, VELLORA::STATUS_ACK, 0);
    for (int i = 0; i < 1000; ++i) {
      sim.sendLater(std::chrono::milliseconds(i), from, d.sender, i % 2 ? junk : std::vector<uint8_t>{1, 2, 3});
    }
    return true;
  });
  VELLORA::Receive got;
  int result = -1;
  const long long ms = timedMs([&] {
    result = client().sendAck(targets.address(t), VELLORA::Send(VELLORA::TARGETINFO_REQ, 0),
                              VELLORA::TARGETINFO_ANS, got, true);
  });
  EXPECT_EQ(result, Find::ACK_TIMEOUT);
  EXPECT_LT(ms, 600);
}

// The same for the sweep: each 30 ms window ends on time while a third
// endpoint sends junk, refused answers and other codes every millisecond.
TEST_F(FindTest, UnrelatedTrafficDoesNotStretchTheSweepWindows) {
  const int t = add(vsim::TargetSpec{});  // [::1]:19642
  const vsim::EndpointId third = engine.addEndpoint(loopback(0));
  ASSERT_NE(third, vsim::NO_ENDPOINT);
  Find& f = client();
  f.extraDestinations.push_back(engine.address(third));
  // The copy of the first sweep's request starts 1.5 s of traffic.
  auto started = std::make_shared<bool>(false);
  engine.onCode(third, VELLORA::FIND_REQ, [third, started](vsim::TargetSim& sim, const vsim::Datagram& d) {
    if (*started) return true;
    *started = true;
    const std::vector<std::vector<uint8_t>> junk = {
        {1, 2, 3},
        vsim::TargetSim::build(VELLORA::FIND_ANS, 0, 0),
        vsim::TargetSim::build(VELLORA::FWURL_ANS, VELLORA::STATUS_ACK, 0)};
    for (int i = 0; i < 1500; ++i) sim.sendLater(std::chrono::milliseconds(i), third, d.sender, junk[i % 3]);
    return true;
  });
  Find::TargetMap found;
  bool ok = false;
  const long long ms = timedMs([&] { ok = f.findTarget(found); });
  ASSERT_TRUE(ok);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(found.begin()->first == targets.address(t));
  EXPECT_EQ(engine.count(third, VELLORA::FIND_REQ), 3u);
  // Three windows and one announcement; a window stretched by the traffic
  // would last as long as the traffic.
  EXPECT_LT(ms, 700);
}

TEST_F(FindTest, ALateAnswerLeftOnTheSocketIsNotTheNextAnswer) {
  vsim::TargetSpec layout;
  layout.address = loopback(0);
  layout.infoText = "first";
  const int t = add(layout);
  vsim::Script late;
  late.answer = vsim::Answer::withText("stale");
  late.delay = std::chrono::milliseconds(130);
  engine.script(targets.endpoint(t), VELLORA::TARGETINFO_REQ, late);
  Find& f = client();
  VELLORA::Receive got;
  EXPECT_EQ(f.sendAck(targets.address(t), VELLORA::Send(VELLORA::TARGETINFO_REQ, 0), VELLORA::TARGETINFO_ANS, got,
                      true),
            Find::ACK_TIMEOUT);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));  // the stale answer is waiting now
  vsim::Script silent;
  silent.action = Action::SILENT;
  engine.script(targets.endpoint(t), VELLORA::TARGETINFO_REQ, silent);
  EXPECT_EQ(f.sendAck(targets.address(t), VELLORA::Send(VELLORA::TARGETINFO_REQ, 0), VELLORA::TARGETINFO_ANS, got,
                      true),
            Find::ACK_TIMEOUT);
  EXPECT_FALSE(static_cast<bool>(got));
}

TEST_F(FindTest, AnEmptyDatagramDoesNotShieldALateAnswer) {
  vsim::TargetSpec layout;
  layout.address = loopback(0);
  const int t = add(layout);
  Find& f = client();
  sockaddr_in6 bound{};
  socklen_t len = sizeof bound;
  ASSERT_EQ(::getsockname(f.socket.fd, reinterpret_cast<sockaddr*>(&bound), &len), 0);
  const KALMO::IPAddress host = loopback(ntohs(bound.sin6_port));
  // A zero-length datagram, then an acknowledged answer from the target that
  // no request asked for: both wait before the next request goes out.
  ASSERT_TRUE(engine.send(targets.endpoint(t), host, std::vector<uint8_t>{}));
  ASSERT_TRUE(engine.send(targets.endpoint(t), host,
                          vsim::TargetSim::build(VELLORA::TARGETINFO_ANS, VELLORA::STATUS_ACK, 0,
                                                 {'s', 't', 'a', 'l', 'e'})));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  vsim::Script silent;
  silent.action = Action::SILENT;
  engine.script(targets.endpoint(t), VELLORA::TARGETINFO_REQ, silent);
  VELLORA::Receive got;
  EXPECT_EQ(f.sendAck(targets.address(t), VELLORA::Send(VELLORA::TARGETINFO_REQ, 0), VELLORA::TARGETINFO_ANS, got,
                      true),
            Find::ACK_TIMEOUT);
  EXPECT_FALSE(static_cast<bool>(got));
}

TEST_F(FindTest, AClosedClientReportsSocketErrorsAndNoTargets) {
  const int t = add(vsim::TargetSpec{});
  Find f(setting);
  VELLORA::Receive got;
  EXPECT_EQ(f.sendAck(targets.address(t), VELLORA::Send(VELLORA::FIND_REQ, 0), VELLORA::FIND_ANS, got, true),
            Find::ACK_SOCKET_ERROR);
  Find::TargetMap found;
  found[loopback(1)] = {};
  EXPECT_FALSE(f.findTarget(found));
  EXPECT_TRUE(found.empty());
  EXPECT_EQ(engine.count(targets.endpoint(t)), 0u);
}

TEST_F(FindTest, LoopbackSweepFindsTheTargetOnceAndAnnouncesTheName) {
  vsim::TargetSpec layout;  // [::1]:19642
  layout.productID = 0x1122334455667788ULL;
  layout.name = "Living room";
  const int t = add(layout);
  setting.nameValue = 0x0102030405060708ULL;
  Find::TargetMap found;
  ASSERT_TRUE(client().findTarget(found));
  ASSERT_EQ(found.size(), 1u);
  const auto& [key, target] = *found.begin();
  EXPECT_TRUE(key == loopback(19642));
  EXPECT_EQ(target.productID, layout.productID);
  EXPECT_EQ(target.targetName, "Living room");
  EXPECT_EQ(engine.count(targets.endpoint(t), VELLORA::FIND_REQ), 3u);
  const auto names = engine.received(targets.endpoint(t), VELLORA::NOTISNAME_REQ);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0].text(), "REZO ZOZU");
  EXPECT_EQ(names[0].option, setting.nameValue);
  EXPECT_EQ(names[0].status, VELLORA::STATUS_ACK);
}

TEST_F(FindTest, SweepIgnoresRefusedAnswersAndFiltersProductsAfterAnnouncing) {
  struct Case {
    const char* what;
    uint64_t filter;
    uint64_t product;
    vsim::Reply reply;
    bool listed;
  };
  const std::vector<Case> cases = {
      {"every product", 0, 6, {}, true},
      {"refused FIND_ANS", 0, 6, vsim::Reply::refuse(), false},
      {"filtered out", 5, 6, {}, false},
      {"reports all ones", 0, ~0ULL, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vsim::TargetSim sim;
    vsim::DiscoverySim one(sim);
    vsim::TargetSpec layout;
    layout.productID = c.product;
    layout.findReply = c.reply;
    const int t = one.addTarget(layout);
    ASSERT_GE(t, 0);
    setting.productID = c.filter;
    Find f(setting);
    ASSERT_TRUE(f.open());
    Find::TargetMap found;
    ASSERT_TRUE(f.findTarget(found));
    EXPECT_EQ(found.size(), c.listed ? 1u : 0u);
    // Every answering target hears the name, listed or not.
    EXPECT_EQ(one.announcedNames(t).size(), c.reply.kind == vsim::Reply::Kind::ANSWER ? 1u : 0u);
  }
}

TEST(FindProduct, Filter) {
  struct Case {
    uint64_t filter;
    std::vector<uint64_t> more;
    uint64_t id;
    uint64_t result;
  };
  const uint64_t skip = ~0ULL;
  const std::vector<Case> cases = {
      {0, {}, 6, 6},       {0, {}, 0, 0},        {0, {}, skip, skip}, {5, {7}, 5, 5},
      {5, {7}, 7, 7},      {5, {7}, 6, skip},    {5, {7}, 0, 0},      {skip, {}, 3, skip},
      {5, {7}, skip, skip},
  };
  for (const Case& c : cases) {
    Find::Setting s;
    s.productID = c.filter;
    s.productIDs = c.more;
    Find f(s);
    EXPECT_EQ(f.muchID(c.id), c.result) << c.filter << " " << c.id;
  }
}

TEST_F(FindTest, PingAndUnicastIdentification) {
  vsim::TargetSpec layout;
  layout.address = loopback(0);
  layout.productID = 9;
  layout.name = "amp";
  const int t = add(layout);
  layout.findReply = vsim::Reply::silent();
  const int mute = add(layout);
  setting.productID = 9;
  Find& f = client();
  EXPECT_TRUE(f.pingTarget(targets.address(t)));
  EXPECT_FALSE(f.pingTarget(targets.address(mute)));

  uint64_t id = 0;
  std::string name = "kept";
  ASSERT_TRUE(f.getTarget(targets.address(t), id, name));
  EXPECT_EQ(id, 9u);
  EXPECT_EQ(name, "amp");
  ASSERT_TRUE(f.getTarget(targets.address(mute), id, name));
  EXPECT_EQ(id, ~0ULL);
  EXPECT_EQ(name, "amp");  // left as it was
  EXPECT_EQ(targets.announcedNames(mute).size(), 1u);
}

TEST_F(FindTest, AnOverlongNameIsCutToOneDatagram) {
  const int t = add(vsim::TargetSpec{});
  setting.name = std::string(70000, 'n');
  Find::TargetMap found;
  ASSERT_TRUE(client().findTarget(found));
  EXPECT_EQ(found.size(), 1u);
  const auto names = targets.announcedNames(t);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0], std::string(Find::MAX_NAME, 'n'));
}

TEST_F(FindTest, OpeningByNamesAndAddresses) {
  Find f(setting);
  // lo holds ::1, which counts as an interface here because of `loopback`.
  ASSERT_TRUE(f.open(std::list<std::string>{"", "lo"}));
  ASSERT_EQ(f.localAddresses.size(), 1u);
  EXPECT_TRUE(f.localAddresses.front().isLoopback());
  EXPECT_NE(f.localAddresses.front().interfaceIndex, 0u);
  const int fd = f.socket.fd;

  // A name that no interface has changes nothing.
  EXPECT_FALSE(f.open(std::list<std::string>{"lo", "nosuch0"}));
  EXPECT_EQ(f.socket.fd, fd);
  EXPECT_EQ(f.localAddresses.size(), 1u);

  // Entries without an interface index mean "every interface".
  KALMO::IPAddress noIndex = vsim::ipv6("fe80::1", 0);
  ASSERT_TRUE(f.open(std::list<KALMO::IPAddress>{noIndex, noIndex}));
  EXPECT_TRUE(f.localAddresses.empty());
  ASSERT_EQ(f.getIfList().size(), 1u);
  EXPECT_EQ(f.getIfList().front().interfaceIndex, 0u);  // ::1 goes out without a scope

  EXPECT_TRUE(f.open(uint16_t{0}));
  // With `loopback`, ::1 joins any index; without it an unknown one opens nothing.
  EXPECT_TRUE(f.open(uint16_t{999}));
  ASSERT_EQ(f.localAddresses.size(), 1u);
  setting.loopback = false;
  Find plain(setting);
  EXPECT_FALSE(plain.open(uint16_t{999}));
  EXPECT_FALSE(plain.socket.is_open());
}

// A screen with a time budget reaches the answerers the caller ranks
// higher first; equal ones keep key order, and every one is still found.
TEST_F(FindTest, AnswerersAreScreenedAndAnnouncedByPriority) {
  Find& f = client();
  std::vector<KALMO::IPAddress> at;
  for (int i = 0; i < 4; ++i) {
    const int id = add(elsewhere());
    f.extraDestinations.push_back(targets.address(id));
    at.push_back(targets.address(id));
  }
  std::sort(at.begin(), at.end());
  std::map<KALMO::IPAddress, unsigned> rank{{at[3], 2}, {at[1], 1}};
  f.priority = [&rank](const KALMO::IPAddress& a) { return rank.count(a) ? rank[a] : 0u; };
  std::vector<KALMO::IPAddress> screened;
  f.screen = [&screened](const KALMO::IPAddress& a) {
    screened.push_back(a);
    return true;
  };
  Find::TargetMap found;
  ASSERT_TRUE(f.findTarget(found));
  EXPECT_EQ(screened, (std::vector<KALMO::IPAddress>{at[3], at[1], at[0], at[2]}));
  EXPECT_EQ(found.size(), 4u);
}

TEST_F(FindTest, SweepGoesToExtraDestinationsToo) {
  const int extra = add(elsewhere());
  Find& f = client();
  f.extraDestinations.push_back(targets.address(extra));
  Find::TargetMap found;
  ASSERT_TRUE(f.findTarget(found));
  EXPECT_EQ(engine.count(targets.endpoint(extra), VELLORA::FIND_REQ), 3u);
  EXPECT_EQ(found.size(), 1u);
  EXPECT_TRUE(found.begin()->first == targets.address(extra));
}

// A sweep keeps every answering endpoint's answer until the run ends, so
// each must hold only the bytes that arrived: many short answers from many
// endpoints (anyone on the link can send them) must not each keep a
// receive buffer sized for the largest datagram.
TEST_F(FindTest, SweepAnswersHoldOnlyTheBytesThatArrived) {
  constexpr size_t kEndpoints = 64;
  Find& f = client();
  for (size_t i = 0; i < kEndpoints; ++i) {
    const vsim::EndpointId e = engine.addEndpoint(loopback(0));
    ASSERT_NE(e, vsim::NO_ENDPOINT);
    f.extraDestinations.push_back(engine.address(e));
  }
  std::map<KALMO::IPAddress, VELLORA::Receive> answers;
  // Answers collect across sweeps; a loaded machine may answer some of the
  // copies only after a window has closed.
  for (int sweep = 0; sweep < 3 && answers.size() < kEndpoints; ++sweep) {
    ASSERT_TRUE(f.sendMulti(VELLORA::Send(VELLORA::FIND_REQ, 0), VELLORA::FIND_ANS, answers));
  }
  ASSERT_GE(answers.size(), kEndpoints / 2);
  size_t held = 0;
  for (const auto& [from, answer] : answers) {
    EXPECT_TRUE(answer) << "an accepted FIND_ANS";
    held += answer.datagram.capacity();
  }
  EXPECT_LE(held, answers.size() * 256);
}

}  // namespace
}  // namespace disc_test
