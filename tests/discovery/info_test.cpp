// Firmware version and location, information items and pages, and reboot,
// against a stand-in target on [::1].
#include "discovery/find.h"
#include "sim/target/manage.h"
#include "tests/discovery/manage_fixture.h"
#include "tests/host/log_capture.h"

#include <string>
#include <utility>
#include <vector>

namespace disc_test {
namespace {

vsim::InfoItemSpec item(uint16_t number, std::vector<std::string> pages, int reported = -1,
                        vsim::Fault fault = vsim::Fault{}) {
  vsim::InfoItemSpec i;
  i.item = number;
  i.pages = std::move(pages);
  i.reportedPages = reported;
  i.fault = fault;
  return i;
}

class InfoTest : public ManageTest {
 protected:
  // Page numbers the target was asked for, for one item.
  std::vector<uint16_t> pagesAsked(uint16_t item) {
    std::vector<uint16_t> out;
    for (const auto& d : engine.received(ep, VELLORA::INFOMATION_REQ)) {
      if (d.option0() == item) out.push_back(d.option1());
    }
    return out;
  }
};

TEST_F(InfoTest, FirmwareTextsOnlyFromAnAcceptedAnswerOfTheTarget) {
  struct Case {
    const char* what;
    vsim::Fault fault;
    bool ok;
  };
  vsim::Fault fromThird;
  fromThird.from = third;
  const std::vector<Case> cases = {
      {"accepted", vsim::Fault{}, true},
      {"silent", vsim::Fault::always(Kind::SILENT), false},
      {"refused", vsim::Fault::always(Kind::REFUSE), false},
      {"echo", vsim::Fault::always(Kind::ECHO), false},
      {"cut datagram", vsim::Fault::always(Kind::TRUNCATED), false},
      {"length word past the datagram", vsim::Fault::always(Kind::LENGTH_OVER), false},
      {"accepted answer from another endpoint", fromThird, false},
  };

  Find& f = client();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vsim::ManageSpec plan;
    plan.fwVersion = "2.7.1";
    plan.fwUrl = "http://example.invalid/fw.bin";
    plan.fwFault = plan.urlFault = c.fault;
    vsim::ManageSim sim(engine, ep, plan);
    std::string version = "stale";
    std::string url = "stale";
    const long long ms = timedMs([&] { EXPECT_EQ(f.FwVersion(target, version), c.ok); });
    EXPECT_EQ(f.FwURL(target, url), c.ok);
    EXPECT_EQ(version, c.ok ? "2.7.1" : "");
    EXPECT_EQ(url, c.ok ? "http://example.invalid/fw.bin" : "");
    if (!c.ok && c.fault.kind != Kind::REFUSE && c.fault.kind != Kind::ECHO) {
      EXPECT_GE(ms, 95);  // one 100 ms wait, no more
      EXPECT_LT(ms, 1000);
    }
  }
}

TEST_F(InfoTest, SingleAnswerItemAsTextAndAsExactBytes) {
  const std::string binary("\x01\x00\x02\xff\x00", 5);
  vsim::ManageSpec plan;
  plan.info = {item(1, {binary}), item(2, {""}), item(3, {"serial 0042"})};
  vsim::ManageSim sim(engine, ep, plan);
  Find& f = client();

  KALMO::Buffer data{9, 9, 9};
  ASSERT_TRUE(f.Infomation(target, 1, data));
  EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.end()), std::vector<uint8_t>({1, 0, 2, 0xff, 0}));
  std::string text;
  ASSERT_TRUE(f.Infomation(target, 1, text));
  EXPECT_EQ(text, binary);  // exactly the payload, zero bytes included

  data.assign(3, 7);
  EXPECT_TRUE(f.Infomation(target, 2, data));
  EXPECT_TRUE(data.empty());
  EXPECT_TRUE(f.Infomation(target, 3, text));
  EXPECT_EQ(text, "serial 0042");

  // An item the target does not have is refused.
  data.assign(3, 7);
  text = "stale";
  EXPECT_FALSE(f.Infomation(target, 9, data));
  EXPECT_FALSE(f.Infomation(target, 9, text));
  EXPECT_TRUE(data.empty());
  EXPECT_TRUE(text.empty());
}

TEST_F(InfoTest, PagedItems) {
  vsim::ManageSpec plan;
  plan.info = {
      item(1, {"one", "two", "three"}),
      item(2, {"a", "b", "c"}, -1, vsim::Fault{Kind::SILENT, 2, -1}),
      item(3, {"only", "never asked"}, 0),
      item(4, {"x"}, -1, vsim::Fault::always(Kind::REFUSE)),
  };
  vsim::ManageSim sim(engine, ep, plan);
  Find& f = client();
  std::vector<std::string> pages = {"stale"};

  ASSERT_TRUE(f.Infomation(target, 1, pages));
  EXPECT_EQ(pages, (std::vector<std::string>{"one", "two", "three"}));

  // Page 2 goes unanswered: the pages before it.
  ASSERT_TRUE(f.Infomation(target, 2, pages));
  EXPECT_EQ(pages, (std::vector<std::string>{"a", "b"}));

  // A page count of 0 on page 0: that page alone, nothing more asked.
  ASSERT_TRUE(f.Infomation(target, 3, pages));
  EXPECT_EQ(pages, (std::vector<std::string>{"only"}));
  EXPECT_EQ(pagesAsked(3), (std::vector<uint16_t>{0}));

  // Page 0 refused: false, nothing.
  EXPECT_FALSE(f.Infomation(target, 4, pages));
  EXPECT_TRUE(pages.empty());
}

TEST_F(InfoTest, APageCountCannotMakeTheHostHoldUnboundedPages) {
  vsim::ManageSpec plan;
  vsim::InfoItemSpec big;
  big.item = 5;
  for (int i = 0; i < 300; ++i) big.pages.push_back("page " + std::to_string(i));
  big.reportedPages = 0xFFFF;
  plan.info = {big};
  vsim::ManageSim sim(engine, ep, plan);
  std::vector<std::string> pages;
  ASSERT_TRUE(client().Infomation(target, 5, pages));
  ASSERT_EQ(pages.size(), Find::MAX_INFO_PAGES);
  EXPECT_EQ(pages.back(), "page " + std::to_string(Find::MAX_INFO_PAGES - 1));
  EXPECT_EQ(pagesAsked(5).size(), Find::MAX_INFO_PAGES);
}

// Pages left out at the cap are said once, with the count the target gave.
TEST_F(InfoTest, ACutPageListSaysWhatItLeftOut) {
  const struct {
    int pages, reported;
    bool cut;
  } cases[] = {{300, 300, true}, {300, 0xFFFF, true}, {256, 256, false}, {3, -1, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.reported) + " pages reported");
    vsim::ManageSpec plan;
    vsim::InfoItemSpec paged;
    paged.item = 7;
    for (int i = 0; i < c.pages; ++i) paged.pages.push_back("page " + std::to_string(i));
    paged.reportedPages = c.reported;
    plan.info = {paged};
    vsim::ManageSim sim(engine, ep, plan);
    host_test::LogCapture log;
    std::vector<std::string> pages;
    ASSERT_TRUE(client().Infomation(target, 7, pages));
    EXPECT_EQ(pages.size(), std::min<size_t>(c.pages, Find::MAX_INFO_PAGES));
    const auto cut = log.starting("Vellora Find information pages over limit : ");
    if (!c.cut) {
      EXPECT_TRUE(cut.empty()) << cut.front();
      continue;
    }
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_NE(cut.front().find(" item 7 " + std::to_string(c.reported) + ">256"), std::string::npos)
        << cut.front();
  }
}

TEST_F(InfoTest, RebootNeedsTheValueSentEchoed) {
  struct Case {
    const char* what;
    bool withValue;
    uint16_t value;
    int answer;  // option0 of the target's answer, -1 the value received
    vsim::Fault fault;
    uint16_t sent;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"no value sends 0 whatever the argument", false, 77, -1, {}, 0, true},
      {"no value needs 0 back", false, 77, 77, {}, 0, false},
      {"a value", true, 0x1234, -1, {}, 0x1234, true},
      {"another value echoed", true, 0x1234, 0x1235, {}, 0x1234, false},
      {"refused", true, 5, -1, vsim::Fault::always(Kind::REFUSE), 5, false},
      {"silent", true, 5, -1, vsim::Fault::always(Kind::SILENT), 5, false},
  };
  Find& f = client();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vsim::ManageSpec plan;
    plan.rebootAnswer = c.answer;
    plan.rebootFault = c.fault;
    vsim::ManageSim sim(engine, ep, plan);
    EXPECT_EQ(f.Reboot(target, c.withValue, c.value), c.ok);
    EXPECT_EQ(sim.reboots(), std::vector<uint16_t>{c.sent});
  }
  vsim::ManageSim sim(engine, ep, vsim::ManageSpec{});
  EXPECT_TRUE(f.Reboot(target));
  EXPECT_EQ(sim.reboots(), std::vector<uint16_t>{0});
}

}  // namespace
}  // namespace disc_test
