// The control channel against stand-in control endpoints on [::1]: learning
// the items along a status chain, volumes as the card mapping uses them,
// play state and format, and every scripted failure of the exchange.
#include "discovery/control.h"

#include "sim/target/control.h"
#include "tests/base/syslog_test_util.h"
#include "tests/common/link_harness.h"
#include "tests/discovery/find_fixture.h"

#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace disc_test {
namespace {

using namespace std::chrono_literals;
using VELLORA::Control;
using Item = Control::StatusSt;
using vsim::ControlItemSpec;

constexpr uint64_t kMask48 = (uint64_t{1} << 48) - 1;

// Log records of the process, for the few lines callers rely on.
std::mutex gLogMu;
std::vector<std::string> gLog;
void capture(const char* record) {
  std::lock_guard<std::mutex> lock(gLogMu);
  gLog.emplace_back(record);
}
bool logged(const std::string& text) {
  std::lock_guard<std::mutex> lock(gLogMu);
  for (const std::string& r : gLog) {
    if (r.find(text) != std::string::npos) return true;
  }
  return false;
}

Find::StatusSortSt element(const KALMO::IPAddress& at, uint8_t chainEnd, uint8_t ownPort) {
  Find::StatusSortSt e;
  e.controlAddress = at;
  e.chainEnd = chainEnd;
  e.ownPort = ownPort;
  return e;
}

// The writes a target got, a try sent again (the answer was slow) counted once.
std::vector<vsim::ControlWrite> writesOnce(const vsim::ControlSim& sim) {
  std::vector<vsim::ControlWrite> once;
  for (const vsim::ControlWrite& w : sim.writes()) {
    const bool again = !once.empty() && once.back().endpoint == w.endpoint && once.back().id == w.id &&
                       once.back().value == w.value;
    if (!again) once.push_back(w);
  }
  return once;
}

class ControlTest : public FindTest {
 protected:
  void SetUp() override {
    FindTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(control.open());
  }
  void TearDown() override { logtest::resetLogger(); }

  // Records from here on, up to the debug level.
  void startLog() {
    logtest::resetLogger();
    {
      std::lock_guard<std::mutex> lock(gLogMu);
      gLog.clear();
    }
    ASSERT_TRUE(KALMO::SysLog::initialize(KALMO::SysLog::LOCAL0, &capture));
    KALMO::SysLog::threshold.store(KALMO::SysLog::DEBUG);
  }

  // An endpoint of its own with these items.
  vsim::EndpointId point(const std::vector<ControlItemSpec>& items) {
    const vsim::EndpointId e = sim.add(items);
    EXPECT_NE(e, vsim::NO_ENDPOINT);
    return e;
  }

  // Where the control socket receives.
  KALMO::IPAddress controlSocket() const {
    sockaddr_in6 a{};
    socklen_t len = sizeof a;
    EXPECT_EQ(::getsockname(control.socket.fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
    return vsim::ipv6("::1", ntohs(a.sin6_port));
  }

  // CONTROLVALUE_REQ for one id that reached an endpoint.
  size_t valueRequests(vsim::EndpointId e, uint16_t id) const {
    size_t n = 0;
    for (const auto& d : engine.received(e, VELLORA::CONTROLVALUE_REQ)) n += (d.option0() & 0x7FFF) == id ? 1 : 0;
    return n;
  }

  vsim::ControlSim sim{engine};
  Control::Setting controlSetting{"Alsa Host Control", ~uint64_t{0}};
  Control control{controlSetting};
};

TEST_F(ControlTest, ChainOfAnOwnItemAndALinkedDevice) {
  // The control endpoints of two stand-in targets' status items: the
  // amplifier's own port and a speaker behind it, chained as the status
  // chain has them (on one address a linked device cannot be told from the
  // port itself, so the chain is written out here; the test over veth links
  // below builds it from discovery).
  vsim::TargetSpec amp = elsewhere();
  amp.items = {vsim::StatusItemSpec{}};
  const int ta = add(amp);
  vsim::TargetSpec speaker = elsewhere();
  speaker.items = {vsim::StatusItemSpec{}};
  const int ts = add(speaker);

  const uint64_t format = 0x0000'0014'0000'0402ULL;  // 2 channels, int24, 48000 Hz x2
  const vsim::EndpointId ampEp = targets.itemEndpoint(ta, 1);
  const vsim::EndpointId speakerEp = targets.itemEndpoint(ts, 1);
  ASSERT_TRUE(sim.attach(ampEp, {ControlItemSpec::play(true, format), ControlItemSpec::volume(-100)}));
  ASSERT_TRUE(sim.attach(speakerEp, {ControlItemSpec::volume(-2500)}));
  Find::StatusSort chain;
  chain.push_back(element(targets.itemAddress(ta, 1), 0, 1));
  chain.push_back(element(targets.itemAddress(ts, 1), 1, 0));

  ASSERT_TRUE(control.connect(chain));
  struct Want {
    KALMO::IPAddress at;
    uint16_t id, kind;
    uint8_t chainEnd, ownPort;
    uint64_t value;
    uint16_t status;
  };
  const Want want[] = {
      {targets.itemAddress(ta, 1), 1, Item::KIND_PLAY, 0, 1, vsim::playFormatValue(format),
       VELLORA::STATUS_ACK | VELLORA::PLAYING},
      {targets.itemAddress(ta, 1), 2, Item::KIND_VOLUME, 0, 1, vsim::volumeValue(-100), VELLORA::STATUS_ACK},
      {targets.itemAddress(ts, 1), 1, Item::KIND_VOLUME, 1, 0, vsim::volumeValue(-2500), VELLORA::STATUS_ACK},
  };
  ASSERT_EQ(control.items.size(), std::size(want));
  for (size_t i = 0; i < std::size(want); ++i) {
    const Item& it = control.items[i];
    SCOPED_TRACE(i);
    EXPECT_TRUE(it.controlAddress == want[i].at);
    EXPECT_EQ(it.id, want[i].id);
    EXPECT_EQ(it.kind, want[i].kind);
    EXPECT_EQ(it.chainEnd, want[i].chainEnd);
    EXPECT_EQ(it.ownPort, want[i].ownPort);
    EXPECT_EQ(it.value, want[i].value);
    EXPECT_EQ(it.status, want[i].status);
  }
  // Each endpoint was greeted with the client's name and name value.
  for (vsim::EndpointId e : {ampEp, speakerEp}) {
    const auto hellos = engine.received(e, VELLORA::CONTROLHELLO_REQ);
    ASSERT_FALSE(hellos.empty());
    for (const vsim::Datagram& hello : hellos) {
      EXPECT_EQ(hello.status, VELLORA::STATUS_ACK);
      EXPECT_EQ(hello.option, ~uint64_t{0});
      EXPECT_EQ(hello.text(), "Alsa Host Control");
    }
  }

  int16_t volume = 0;
  ASSERT_TRUE(control.getVolume(volume));
  EXPECT_EQ(volume, -2500);  // the speaker's: the first chain end
  bool playing = false;
  EXPECT_TRUE(control.getPlay(playing));
  EXPECT_TRUE(playing);
  EXPECT_EQ(control.getPlayFormat(), format);

  // The speaker gets the volume first, then the amplifier is opened up.
  ASSERT_TRUE(control.setVolume(-20));
  const auto writes = writesOnce(sim);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].endpoint, speakerEp);
  EXPECT_EQ(writes[0].value, -20);
  EXPECT_EQ(writes[1].endpoint, ampEp);
  EXPECT_EQ(writes[1].id, 2);
  EXPECT_EQ(writes[1].value, 0);
  // On the wire: the id with bit 15, then -20 as 48-bit two's complement.
  EXPECT_EQ(engine.received(speakerEp, VELLORA::CONTROLVALUE_REQ).back().option, 0xFFFF'FFFF'FFEC'8001ULL);
  EXPECT_EQ(sim.volume(speakerEp, 1), -20);
  EXPECT_EQ(sim.volume(ampEp, 2), 0);
  ASSERT_TRUE(control.getVolume(volume));
  EXPECT_EQ(volume, -20);

  // A repeated connect starts from an empty list.
  ASSERT_TRUE(control.connect(targets.itemAddress(ts, 1)));
  ASSERT_EQ(control.items.size(), 1u);
  EXPECT_TRUE(control.items[0].controlAddress == targets.itemAddress(ts, 1));
}

TEST_F(ControlTest, VolumesOfTheCardMappingReachEveryVolumeItemOfAnEndpoint) {
  // One endpoint: both volume items are chain ends; the play item is left alone.
  const vsim::EndpointId e =
      point({ControlItemSpec::volume(-50), ControlItemSpec::play(), ControlItemSpec::volume(-60)});
  ASSERT_TRUE(control.connect(engine.address(e)));
  struct Case {
    int16_t sent;
    int16_t held;  // what the target keeps: 0 .. -6000
  };
  const Case cases[] = {{0, 0},          {-1, -1},          {-3000, -3000}, {-5999, -5999}, {-6000, -6000},
                        {-6001, -6000},  {-20000, -6000},   {INT16_MIN, -6000}, {1, 0},     {INT16_MAX, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sent);
    sim.clearWrites();
    ASSERT_TRUE(control.setVolume(c.sent));
    const auto writes = writesOnce(sim);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].id, 3);  // last first
    EXPECT_EQ(writes[1].id, 1);
    EXPECT_EQ(writes[0].value, c.sent);  // sign-extended, not cut
    EXPECT_EQ(writes[1].value, c.sent);
    EXPECT_EQ(sim.volume(e, 1), c.held);
    EXPECT_EQ(sim.volume(e, 3), c.held);
    int16_t volume = 1;
    ASSERT_TRUE(control.getVolume(volume));
    EXPECT_EQ(volume, c.held);  // the target's answer, not what was sent
  }
  EXPECT_EQ(sim.value(e, 2), 0u);
}

// The caller's work runs between the exchanges of a slow connect, and
// never costs an exchange its answer: it runs before the request goes.
TEST_F(ControlTest, IdleWorkRunsBetweenExchangesWithoutLosingAnswers) {
  const vsim::EndpointId e = engine.addEndpoint(loopback(0));
  ASSERT_NE(e, vsim::NO_ENDPOINT);
  vsim::Script slow;  // one item, id 1; each answer after the first try
  slow.answer.option = 1;
  slow.delay = 15ms;
  engine.script(e, vsim::ANY_CODE, slow);
  int calls = 0;
  control.setIdleWork([&calls] { ++calls; });
  std::this_thread::sleep_for(12ms);  // due at the first exchange
  ASSERT_TRUE(control.connect(engine.address(e)));
  ASSERT_EQ(control.items.size(), 1u);
  // Hello, count, the item, its value: each took over a slice.
  EXPECT_EQ(calls, 4);
  // Taken away: not called any more.
  control.setIdleWork(nullptr);
  std::this_thread::sleep_for(12ms);
  ASSERT_TRUE(control.update());
  EXPECT_EQ(calls, 4);
}

// A chain that reports many items and answers each late ends at the
// connect's time limit instead of holding its caller for all of them.
TEST_F(ControlTest, ConnectEndsAtItsTimeLimit) {
  const vsim::EndpointId e = engine.addEndpoint(loopback(0));
  ASSERT_NE(e, vsim::NO_ENDPOINT);
  vsim::Script slow;  // 200 items, each answer after the first try (4 s in all)
  slow.answer.option = 200;
  slow.delay = 15ms;
  engine.script(e, vsim::ANY_CODE, slow);
  startLog();
  control.connectLimit = 200'000'000'000ULL;  // 200 ms
  bool connected = true;
  const long long ms = timedMs([&] { connected = control.connect(engine.address(e)); });
  EXPECT_FALSE(connected);
  EXPECT_LT(ms, 1000);
  EXPECT_TRUE(logged("Control connect time limit : "));
  EXPECT_LT(engine.count(e, VELLORA::CONTROLITEM_REQ), 100u);
}

TEST_F(ControlTest, VolumesReportedByTheTargetReadBack) {
  const vsim::EndpointId e = point({ControlItemSpec::volume(0)});
  ASSERT_TRUE(control.connect(engine.address(e)));
  struct Case {
    uint64_t reported;  // the 48 bits the target answers
    int16_t read;
  };
  const Case cases[] = {
      {vsim::volumeValue(0), 0},
      {vsim::volumeValue(-1), -1},
      {vsim::volumeValue(-3000), -3000},
      {vsim::volumeValue(-5999), -5999},
      {vsim::volumeValue(-6000), -6000},
      {static_cast<uint64_t>(-6001) & kMask48, -6001},  // beyond the floor: the card mapping holds it
      {static_cast<uint64_t>(-32768) & kMask48, INT16_MIN},
      {0xFFEC, -20},  // a bare 16-bit image without the sign in bits 16-47
      {static_cast<uint64_t>(-40000) & kMask48, INT16_MIN},  // not +25536
      {static_cast<uint64_t>(-70000) & kMask48, INT16_MIN},  // not -4464
      {0x1'0000, INT16_MAX},
      {0x7FFF'FFFF'FFFF, INT16_MAX},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reported);
    ASSERT_TRUE(sim.setValue(e, 1, c.reported));
    ASSERT_TRUE(control.update());
    EXPECT_EQ(control.items[0].value, c.reported);
    int16_t volume = 1;
    ASSERT_TRUE(control.getVolume(volume));
    EXPECT_EQ(volume, c.read);
  }
}

TEST_F(ControlTest, ChangesOnTheTargetShowAfterUpdate) {
  const uint64_t format = 0x0000'0024'0000'0202ULL;
  const vsim::EndpointId e = point({ControlItemSpec::play(false, format), ControlItemSpec::volume(-10)});
  Find::StatusSort chain;
  chain.push_back(element(engine.address(e), 1, 1));
  ASSERT_TRUE(control.connect(chain));
  bool playing = true;
  ASSERT_TRUE(control.getPlay(playing));
  EXPECT_FALSE(playing);

  ASSERT_TRUE(sim.setVolume(e, 2, -4321));
  ASSERT_TRUE(sim.setPlaying(e, 1, true));
  ASSERT_TRUE(sim.setPlayFormat(e, 1, 0x0000'0012'0000'0802ULL));
  int16_t volume = 0;
  ASSERT_TRUE(control.getVolume(volume));
  EXPECT_EQ(volume, -10);  // the cache until the next update
  ASSERT_TRUE(control.update());
  ASSERT_TRUE(control.getVolume(volume));
  EXPECT_EQ(volume, -4321);
  ASSERT_TRUE(control.getPlay(playing));
  EXPECT_TRUE(playing);
  EXPECT_EQ(control.getPlayFormat(), 0x0000'0012'0000'0802ULL);
}

TEST_F(ControlTest, PlayStateAndFormatOfTheOwnPort) {
  // Bits 16-31 of a format never reach the value; bits 32-63 come back.
  const uint64_t format = 0x1234'0014'00FF'0402ULL;
  const vsim::EndpointId one = point({ControlItemSpec::play(true, format), ControlItemSpec::volume(0)});
  const vsim::EndpointId two = point({ControlItemSpec::play(false, 0x0000'0014'0000'0202ULL)});
  struct Case {
    const char* name;
    std::vector<Find::StatusSortSt> chain;
    bool found;
    bool playing;
    uint64_t format;
  };
  const Case cases[] = {
      {"own port playing", {element(engine.address(one), 1, 1)}, true, true, 0x1234'0014'0000'0402ULL},
      {"one of two own play items stopped",
       {element(engine.address(one), 1, 1), element(engine.address(two), 1, 1)},
       true,
       false,
       0x1234'0014'0000'0402ULL},
      {"play items behind the port do not count", {element(engine.address(one), 1, 0)}, false, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Find::StatusSort chain;
    chain.assign(c.chain.begin(), c.chain.end());
    ASSERT_TRUE(control.connect(chain));
    bool playing = !c.playing;
    EXPECT_EQ(control.getPlay(playing), c.found);
    EXPECT_EQ(playing, c.playing);
    EXPECT_EQ(control.getPlayFormat(), c.format);
  }
}

TEST_F(ControlTest, NoItemsMeansNoAnswersAndNoTraffic) {
  const vsim::EndpointId e = point({ControlItemSpec::volume(-5)});
  ASSERT_TRUE(control.connect(Find::StatusSort{}));
  EXPECT_TRUE(control.items.empty());
  int16_t volume = 7;
  EXPECT_FALSE(control.getVolume(volume));
  EXPECT_EQ(volume, 7);
  bool playing = false;
  EXPECT_FALSE(control.getPlay(playing));
  EXPECT_TRUE(playing);
  EXPECT_EQ(control.getPlayFormat(), 0u);
  EXPECT_TRUE(control.setVolume(-100));
  EXPECT_FALSE(control.setValue(0, 1));
  EXPECT_EQ(engine.count(e), 0u);
}

TEST_F(ControlTest, SetValueOutsideTheItemsIsRefusedWithoutTraffic) {
  const vsim::EndpointId e = point({ControlItemSpec::volume(-5), ControlItemSpec::other(7, 0x123456789ABCULL)});
  ASSERT_TRUE(control.connect(engine.address(e)));
  ASSERT_EQ(control.items.size(), 2u);
  for (const int16_t index : {int16_t{-1}, int16_t{INT16_MIN}, int16_t{2}, int16_t{INT16_MAX}}) {
    SCOPED_TRACE(index);
    EXPECT_FALSE(control.setValue(index, 0));
  }
  EXPECT_TRUE(sim.writes().empty());
  // A value of an item of another kind: only 48 bits go out and come back.
  ASSERT_TRUE(control.setValue(1, 0xFFFF'8000'0000'0001ULL));
  EXPECT_EQ(sim.value(e, 2), 0x8000'0000'0001ULL);
  EXPECT_EQ(control.items[1].value, 0x8000'0000'0001ULL);
}

TEST_F(ControlTest, AFailedWriteStopsTheVolumeWalkAndKeepsTheCache) {
  const vsim::EndpointId e = point({ControlItemSpec::volume(-5), ControlItemSpec::volume(-6)});
  ASSERT_TRUE(control.connect(engine.address(e)));
  vsim::ControlFault refuse;
  refuse.reply = vsim::Reply::refuse();
  sim.fault(e, VELLORA::CONTROLVALUE_REQ, refuse, 2);
  EXPECT_FALSE(control.setVolume(-700));
  const auto writes = writesOnce(sim);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].id, 2);
  EXPECT_EQ(control.items[1].value, vsim::volumeValue(-6));
  EXPECT_EQ(sim.volume(e, 1), -5);  // never reached
}

// Every scripted failure of an endpoint with two volume items, one at a time.
TEST_F(ControlTest, ScriptedFailures) {
  enum Sender { ADDRESSED, OTHER };
  // How many times the request went out: once when the exchange ends on the
  // first datagram (a second try only when that one was slow), three times
  // when nothing usable comes, two or three after one silent try.
  enum Tries { FIRST, RETRIED, ALL };
  struct Case {
    const char* name;
    uint16_t code;
    int id;  // -1: every request of the code; 0 is the count query
    vsim::Reply::Kind kind;
    Sender from;
    int times;
    int wrongId;
    bool thenAnswer;
    int reportedCount;
    bool connects;
    Tries tries;   // of the requests of that code and id
    size_t items;  // learned
    bool firstRead;  // item 1 holds its value
  };
  using K = vsim::Reply::Kind;
  constexpr uint16_t H = VELLORA::CONTROLHELLO_REQ, I = VELLORA::CONTROLITEM_REQ, V = VELLORA::CONTROLVALUE_REQ;
  const Case cases[] = {
      {"hello silent on all three tries", H, -1, K::SILENT, ADDRESSED, -1, -1, false, -1, true, ALL, 2, true},
      {"hello refused", H, -1, K::REFUSE, ADDRESSED, -1, -1, false, -1, true, FIRST, 2, true},
      {"count silent on all three tries", I, 0, K::SILENT, ADDRESSED, -1, -1, false, -1, false, ALL, 0, false},
      {"count silent once, then answered", I, 0, K::SILENT, ADDRESSED, 1, -1, false, -1, true, RETRIED, 2, true},
      {"count refused", I, 0, K::REFUSE, ADDRESSED, -1, -1, false, -1, false, FIRST, 0, false},
      {"count echoed", I, 0, K::ECHO, ADDRESSED, -1, -1, false, -1, false, FIRST, 0, false},
      {"count only from another port", I, 0, K::ANSWER, OTHER, -1, -1, false, -1, false, ALL, 0, false},
      {"count from another port, then from the endpoint", I, 0, K::ANSWER, OTHER, -1, -1, true, -1, true, FIRST, 2,
       true},
      {"count 0", I, 0, K::ANSWER, ADDRESSED, -1, -1, false, 0, true, FIRST, 0, false},
      {"count above the cap", I, 0, K::ANSWER, ADDRESSED, -1, -1, false, Control::MAX_ITEMS + 1, false, FIRST, 0,
       false},
      {"count 65535", I, 0, K::ANSWER, ADDRESSED, -1, -1, false, 65535, false, FIRST, 0, false},
      {"item 2 refused", I, 2, K::REFUSE, ADDRESSED, -1, -1, false, -1, false, FIRST, 1, false},
      {"item 2 echoed", I, 2, K::ECHO, ADDRESSED, -1, -1, false, -1, false, FIRST, 1, false},
      {"value 2 silent on all three tries", V, 2, K::SILENT, ADDRESSED, -1, -1, false, -1, false, ALL, 2, true},
      {"value 2 refused", V, 2, K::REFUSE, ADDRESSED, -1, -1, false, -1, false, FIRST, 2, true},
      {"value 2 echoed", V, 2, K::ECHO, ADDRESSED, -1, -1, false, -1, false, FIRST, 2, true},
      {"value 2 answered for id 1", V, 2, K::ANSWER, ADDRESSED, -1, 1, false, -1, false, ALL, 2, true},
      {"value 2 answered for id 1, then for 2", V, 2, K::ANSWER, ADDRESSED, -1, 1, true, -1, true, FIRST, 2, true},
      {"value 2 only from another port", V, 2, K::ANSWER, OTHER, -1, -1, false, -1, false, ALL, 2, true},
  };
  const vsim::EndpointId other = point({});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const vsim::EndpointId e = point({ControlItemSpec::volume(-100), ControlItemSpec::volume(-200)});
    vsim::ControlFault f;
    f.reply.kind = c.kind;
    f.reply.from = c.from == OTHER ? other : vsim::NO_ENDPOINT;
    f.times = c.times;
    f.wrongId = c.wrongId;
    f.thenAnswer = c.thenAnswer;
    sim.fault(e, c.code, f, c.id);
    if (c.reportedCount >= 0) sim.setReportedCount(e, c.reportedCount);

    EXPECT_EQ(control.connect(engine.address(e)), c.connects);
    size_t sends = 0;
    for (const auto& d : engine.received(e, c.code)) {
      const int id = c.code == V ? (d.option0() & 0x7FFF) : d.option0();
      sends += c.id < 0 || id == c.id ? 1 : 0;
    }
    switch (c.tries) {
      case FIRST:
        EXPECT_GE(sends, 1u);
        EXPECT_LE(sends, 2u);
        break;
      case RETRIED:
        EXPECT_GE(sends, 2u);
        EXPECT_LE(sends, 3u);
        break;
      case ALL:
        EXPECT_EQ(sends, 3u);
        break;
    }
    ASSERT_EQ(control.items.size(), c.items);
    if (c.items > 0) {
      EXPECT_EQ(control.items[0].value, c.firstRead ? vsim::volumeValue(-100) : 0u);
    }
    if (c.items > 1 && !c.connects && c.code == V) {
      EXPECT_EQ(control.items[1].value, 0u);  // unchanged
    }
    if (c.reportedCount > static_cast<int>(Control::MAX_ITEMS)) {
      for (const auto& d : engine.received(e, I)) EXPECT_EQ(d.option0(), 0) << "no item is asked for";
    }
  }
}

TEST_F(ControlTest, MalformedDatagramsAreLoggedAndPassedOver) {
  vsim::Script shortHeader;
  shortHeader.action = vsim::Script::Action::MALFORMED;
  shortHeader.malformed = vsim::Malformed::SHORT;
  vsim::Script empty;  // a datagram of no bytes at all
  empty.action = vsim::Script::Action::RAW;
  const struct {
    const char* what;
    vsim::Script bad;
    const char* line;
  } cases[] = {
      {"10 header bytes", shortHeader, "sendAck RCV errpacket:10"},
      {"no bytes", empty, "sendAck RCV errpacket:0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const vsim::EndpointId e = point({ControlItemSpec::volume(-9)});
    vsim::Script bad = c.bad;
    bad.thenAnswer = true;
    engine.script(e, VELLORA::CONTROLHELLO_REQ, bad);
    startLog();
    ASSERT_TRUE(control.connect(engine.address(e)));
    EXPECT_LE(engine.count(e, VELLORA::CONTROLHELLO_REQ), 2u);  // the real answer behind it was taken
    EXPECT_TRUE(logged(c.line));
    const KALMO::IPAddress at = engine.address(e);
    EXPECT_TRUE(logged("sendAck[" + std::to_string(control.socket.interfaceIndex) + "," +
                       std::to_string(at.interfaceIndex) + "," + std::to_string(at.interfaceIndex) + "]RCV:58"));
    ASSERT_EQ(control.items.size(), 1u);
  }
}

TEST_F(ControlTest, AStaleAnswerWaitingOnTheSocketIsNotTaken) {
  const vsim::EndpointId e = point({ControlItemSpec::volume(-100)});
  ASSERT_TRUE(control.connect(engine.address(e)));
  // An answer for item 1 that no request of this exchange asked for.
  ASSERT_TRUE(engine.send(e, controlSocket(),
                          vsim::TargetSim::build(VELLORA::CONTROLVALUE_ANS, VELLORA::STATUS_ACK,
                                                 1 | (vsim::volumeValue(-4000) << 16))));
  ASSERT_EQ(control.socket.wait(KALMO::Clock(1'000'000'000'000ULL)), KALMO::Socket::WAIT_READY);
  ASSERT_TRUE(control.update());
  int16_t volume = 0;
  ASSERT_TRUE(control.getVolume(volume));
  EXPECT_EQ(volume, -100);
}

TEST_F(ControlTest, AnEmptyDatagramDoesNotShieldAStaleAnswer) {
  const vsim::EndpointId e = point({ControlItemSpec::volume(-100)});
  ASSERT_TRUE(control.connect(engine.address(e)));
  // A zero-length datagram, then an answer no request of the next exchange
  // asked for: both are waiting before the request goes out.
  ASSERT_TRUE(engine.send(e, controlSocket(), std::vector<uint8_t>{}));
  ASSERT_TRUE(engine.send(e, controlSocket(),
                          vsim::TargetSim::build(VELLORA::CONTROLVALUE_ANS, VELLORA::STATUS_ACK,
                                                 1 | (vsim::volumeValue(-4000) << 16))));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(control.update());
  int16_t volume = 0;
  ASSERT_TRUE(control.getVolume(volume));
  EXPECT_EQ(volume, -100);
}

TEST_F(ControlTest, ASlowTargetsAnswersToEarlierTriesAreNotTakenLater) {
  // Every answer comes 13 ms late, so every exchange sends twice and the
  // target answers both tries.
  const vsim::EndpointId e =
      point({ControlItemSpec::play(true, 0x0000'0014'0000'0402ULL), ControlItemSpec::volume(-100),
             ControlItemSpec::other(9, 77), ControlItemSpec::volume(-300)});
  vsim::ControlFault late;
  late.reply = vsim::Reply::late(13ms);
  for (uint16_t code : {VELLORA::CONTROLHELLO_REQ, VELLORA::CONTROLITEM_REQ, VELLORA::CONTROLVALUE_REQ}) {
    sim.fault(e, code, late);
  }
  ASSERT_TRUE(control.connect(engine.address(e)));
  ASSERT_EQ(control.items.size(), 4u);
  const uint16_t kinds[] = {Item::KIND_PLAY, Item::KIND_VOLUME, 9, Item::KIND_VOLUME};
  const uint64_t values[] = {vsim::playFormatValue(0x0000'0014'0000'0402ULL), vsim::volumeValue(-100), 77,
                             vsim::volumeValue(-300)};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(control.items[i].id, i + 1);
    EXPECT_EQ(control.items[i].kind, kinds[i]);
    EXPECT_EQ(control.items[i].value, values[i]);
  }
  // Two writes in a row to one item: the second is not answered by the
  // copy of the first one's answer.
  ASSERT_TRUE(control.setValue(1, vsim::volumeValue(-1000)));
  ASSERT_TRUE(control.setValue(1, vsim::volumeValue(-2000)));
  EXPECT_EQ(sim.volume(e, 2), -2000);
  EXPECT_EQ(control.items[1].value, vsim::volumeValue(-2000));
}

TEST_F(ControlTest, AFloodOfStrayDatagramsCannotHoldAnExchange) {
  const vsim::EndpointId e = point({ControlItemSpec::volume(-1)});
  const vsim::EndpointId other = point({});
  vsim::ControlFault silent;
  silent.reply = vsim::Reply::silent();
  sim.fault(e, VELLORA::CONTROLITEM_REQ, silent, 0);
  // Something every 2 ms for 2 s from another port: each one is ignored and
  // starts a fresh wait.
  const auto stray = vsim::TargetSim::build(VELLORA::CONTROLITEM_ANS, VELLORA::STATUS_ACK, 1);
  for (int i = 0; i < 1000; ++i) engine.sendLater(std::chrono::milliseconds(2 * i), other, controlSocket(), stray);
  const long long ms = timedMs([&] { EXPECT_FALSE(control.connect(engine.address(e))); });
  EXPECT_LT(ms, 1000);  // bounded at 100 ms per exchange, with room for slow builds
}

TEST_F(ControlTest, PositionsAlongAChainStayWithinTheSignedIndex) {
  // 128 elements of 256 items each would make 32768 positions; the last
  // element is refused before any of its items is asked for.
  engine.setLogLimit(1000);
  std::vector<ControlItemSpec> many(Control::MAX_ITEMS, ControlItemSpec::volume(-1));
  const vsim::EndpointId e = point(many);
  Find::StatusSort chain;
  for (int i = 0; i < 128; ++i) chain.push_back(element(engine.address(e), 1, 0));
  EXPECT_FALSE(control.connect(chain));
  EXPECT_EQ(control.items.size(), 127u * Control::MAX_ITEMS);
  EXPECT_LE(control.items.size(), Control::MAX_CHAIN_ITEMS);
}

TEST_F(ControlTest, AClosedChannelFailsEveryExchangeAndKeepsItsItems) {
  const vsim::EndpointId e = point({ControlItemSpec::volume(-42)});
  ASSERT_TRUE(control.connect(engine.address(e)));
  control.close();
  ASSERT_EQ(control.items.size(), 1u);
  EXPECT_FALSE(control.update());
  EXPECT_FALSE(control.setVolume(-1));
  VELLORA::Receive answer;
  EXPECT_FALSE(control.sendAck(engine.address(e), VELLORA::Send(VELLORA::CONTROLITEM_REQ, 0, 0, 0, 0, 0),
                               VELLORA::CONTROLITEM_ANS, answer));
  int16_t volume = 0;
  ASSERT_TRUE(control.getVolume(volume));
  EXPECT_EQ(volume, -42);
  ASSERT_TRUE(control.open());
  EXPECT_TRUE(control.update());
}

TEST_F(ControlTest, OpenLogsItsReleaseAndTheRealError) {
  control.close();
  startLog();
  ASSERT_TRUE(control.open());
  EXPECT_TRUE(logged("Vellora Control Library ReleaseNo : 143"));
  control.close();

  // No descriptor left for the socket: the error logged is EMFILE, not
  // whatever an earlier failure left behind.
  control.socket.lastError.store(EHOSTUNREACH);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int next = ::dup(0);
  ASSERT_GE(next, 0);
  ::close(next);
  rlimit low = saved;
  low.rlim_cur = static_cast<rlim_t>(next);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  const bool opened = control.open();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_FALSE(opened);
  EXPECT_FALSE(control.socket.is_open());
  EXPECT_TRUE(logged("UDP control open error:" + std::to_string(EMFILE)));
  EXPECT_FALSE(logged("UDP control open error:" + std::to_string(EHOSTUNREACH)));
}

// The whole road over a veth link: discovery lists the amplifier's port and
// both status items, the chain puts the speaker behind the amplifier, and
// the control channel reaches both endpoints at their link-local scope.
TEST(ControlLinkTest, ChainFromDiscoveryOverALink) {
  VELLORA_REQUIRE_PRIVATE_NET();
  vellora_test::LinkHarness net;
  VELLORA_SETUP_LINKS(net, 1);
  std::string error;
  ASSERT_TRUE(net.addTargetAddress(0, vellora_test::linkLocal(3, 1), &error)) << error;
  const auto& l = net.link(0);
  auto at = [](const in6_addr& address, uint16_t port, uint32_t scope) {
    KALMO::IPAddress a;
    std::memcpy(a.address, &address, 16);
    a.port = htons(port);
    a.interfaceIndex = scope;
    return a;
  };
  vsim::TargetSim engine;
  vsim::DiscoverySim targets(engine);
  vsim::ControlSim sim(engine);
  vsim::TargetSpec amp;
  amp.address = at(l.targetAddresses[0], 19642, l.targetIndex);
  amp.name = "amp";
  amp.ports = {vsim::PortSpec{}};
  vsim::StatusItemSpec own;
  own.kind = 1;
  own.link = vsim::ipv6("::1", 1);
  amp.items = {own};
  vsim::TargetSpec speaker;
  speaker.address = at(l.targetAddresses[1], 19642, l.targetIndex);
  speaker.name = "speaker";
  vsim::StatusItemSpec behind;
  behind.kind = 0;
  behind.link = at(l.targetAddresses[0], 1, 0);  // the amplifier's item 1
  speaker.items = {behind};
  int ta = -1;
  int ts = -1;
  {
    vellora_test::NsScope in(net.targetNs());
    ASSERT_TRUE(in.ok());
    ta = targets.addTarget(amp);
    ts = targets.addTarget(speaker);
  }
  ASSERT_GE(ta, 0);
  ASSERT_GE(ts, 0);
  const vsim::EndpointId ampEp = targets.itemEndpoint(ta, 1);
  const vsim::EndpointId speakerEp = targets.itemEndpoint(ts, 1);
  ASSERT_TRUE(sim.attach(ampEp, {ControlItemSpec::volume(-10), ControlItemSpec::play(true, 0x0000'0024'0000'0202)}));
  ASSERT_TRUE(sim.attach(speakerEp, {ControlItemSpec::volume(-3000)}));

  Find::Setting setting;
  setting.productID = 0;
  Find find(setting);
  ASSERT_TRUE(find.open());
  Find::TargetMap found;
  ASSERT_TRUE(find.findTarget(found));
  Find::PortMap ports;
  Find::StatusMap items;
  ASSERT_TRUE(find.findTarget(found, ports, static_cast<Find::MODE>(9)));
  ASSERT_TRUE(find.findTarget(found, items));
  ASSERT_EQ(ports.size(), 1u);
  Find::StatusSort chain;
  Find::SortStatus(ports.begin()->first, ports.begin()->second.portIndex, true, items, chain);
  ASSERT_EQ(chain.size(), 2u);

  Control control(Control::Setting{"Alsa Host Control", ~uint64_t{0}});
  ASSERT_TRUE(control.open());
  ASSERT_TRUE(control.connect(chain));
  ASSERT_EQ(control.items.size(), 3u);
  const uint16_t port0 = vsim::portOf(targets.itemAddress(ta, 1));
  const uint16_t port1 = vsim::portOf(targets.itemAddress(ts, 1));
  EXPECT_TRUE(control.items[0].controlAddress == at(l.targetAddresses[0], port0, l.hostIndex));
  EXPECT_TRUE(control.items[2].controlAddress == at(l.targetAddresses[1], port1, l.hostIndex));
  int16_t volume = 0;
  ASSERT_TRUE(control.getVolume(volume));
  EXPECT_EQ(volume, -3000);
  bool playing = false;
  ASSERT_TRUE(control.getPlay(playing));
  EXPECT_TRUE(playing);
  EXPECT_EQ(control.getPlayFormat(), 0x0000'0024'0000'0202u);

  ASSERT_TRUE(control.setVolume(-1500));
  EXPECT_EQ(sim.volume(speakerEp, 1), -1500);
  EXPECT_EQ(sim.volume(ampEp, 1), 0);
  const auto writes = writesOnce(sim);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].endpoint, speakerEp);
  EXPECT_EQ(writes[1].endpoint, ampEp);
}

}  // namespace
}  // namespace disc_test
