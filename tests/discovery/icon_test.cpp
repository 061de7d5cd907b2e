// Icon download against a stand-in target on [::1]: each format and icon
// set, row groups and single rows, short and bad answers, and the fallback
// codes of the wished-width form.
#include "discovery/icon.h"

#include "discovery/find.h"
#include "sim/target/icon.h"
#include "tests/discovery/manage_fixture.h"

#include <string>
#include <utility>
#include <vector>

namespace disc_test {
namespace {

vsim::IconSpec iconSpec(uint16_t set, uint16_t code, uint16_t width, uint16_t height, uint16_t format) {
  vsim::IconSpec s;
  s.set = set;
  s.code = code;
  s.width = width;
  s.height = height;
  s.format = format;
  return s;
}

// The pixels the host must end up with for the stand-in's bytes.
std::vector<VELLORA::Icon::Pixel> expectedPixels(const std::vector<uint8_t>& bytes, uint16_t format) {
  std::vector<VELLORA::Icon::Pixel> out;
  if (format == 2) {
    for (uint8_t b : bytes) out.push_back({0, 0, 0, b});
  } else {
    for (size_t k = 0; k + 4 <= bytes.size(); k += 4) out.push_back({bytes[k], bytes[k + 1], bytes[k + 2], bytes[k + 3]});
  }
  return out;
}

VELLORA::Icon stale() {
  VELLORA::Icon icon;
  icon.width = 1;
  icon.singleByte = true;
  icon.pixels.assign(1, {9, 9, 9, 9});
  return icon;
}

class IconTest : public ManageTest {
 protected:
  // The pixel requests of one icon set: (row + 1, column + 1, option3).
  struct Asked {
    uint16_t row, column, option3;
    bool operator==(const Asked&) const = default;
  };
  std::vector<Asked> pixelRequests(uint16_t set) {
    std::vector<Asked> out;
    for (const auto& d : engine.received(ep, VELLORA::ICON0_REQ + 2 * set)) {
      if (d.option1() != 0) out.push_back({d.option2(), d.option1(), d.option3()});
    }
    return out;
  }
  // The codes whose header was asked for, in order.
  std::vector<uint16_t> headersAsked() {
    std::vector<uint16_t> out;
    for (const auto& d : engine.received(ep, VELLORA::ICON0_REQ)) {
      if (d.option1() == 0) out.push_back(d.option0());
    }
    return out;
  }
};

TEST_F(IconTest, EachFormatAndSetInGroupsOfRowsOrRowByRow) {
  struct Case {
    const char* what;
    vsim::IconSpec icon;
    std::vector<Asked> requests;
  };
  const std::vector<Case> cases = {
      {"32x32 four bytes: ten rows per answer", iconSpec(0, 1, 32, 32, 0),
       {{1, 1, 321}, {11, 1, 321}, {21, 1, 321}, {31, 1, 65}}},
      {"120 wide: three rows would pass 1400 bytes, so two", iconSpec(1, 2, 120, 5, 0),
       {{1, 1, 241}, {3, 1, 241}, {5, 1, 121}}},
      {"176 wide: row by row", iconSpec(2, 3, 176, 3, 1), {{1, 1, 0}, {2, 1, 0}, {3, 1, 0}}},
      {"32 wide one byte: 38 rows per answer", iconSpec(1, 4, 32, 40, 2), {{1, 1, 1217}, {39, 1, 65}}},
      {"16x16 format 1 in one answer", iconSpec(0, 5, 16, 16, 1), {{1, 1, 257}}},
      {"one pixel", iconSpec(2, 6, 1, 1, 2), {{1, 1, 2}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    engine.clearLog();
    vsim::IconSim sim(engine, ep, {c.icon});
    VELLORA::Icon icon = stale();
    ASSERT_TRUE(client().downloadIcon(target, (Find::ICON{c.icon.set} << 16) | c.icon.code, icon));
    EXPECT_EQ(icon.width, c.icon.width);
    EXPECT_EQ(icon.height(), c.icon.height);
    EXPECT_EQ(icon.singleByte, c.icon.format == 2);
    EXPECT_EQ(icon.pixels, expectedPixels(sim.bytes(0), c.icon.format));
    EXPECT_EQ(pixelRequests(c.icon.set), c.requests);
  }
}

TEST_F(IconTest, TheLargestIconTakenIs1024By1024) {
  // Four bytes a pixel, 4096 a row: row by row, every pixel in place.
  vsim::IconSim sim(engine, ep, {iconSpec(1, 7, 1024, 1024, 0)});
  VELLORA::Icon icon = stale();
  ASSERT_TRUE(client().downloadIcon(target, 0x10007, icon));
  EXPECT_EQ(icon.width, 1024);
  EXPECT_EQ(icon.height(), 1024);
  EXPECT_FALSE(icon.singleByte);
  EXPECT_TRUE(icon.pixels == expectedPixels(sim.bytes(0), 0));  // no dump of a million pixels
  const std::vector<Asked> asked = pixelRequests(1);
  ASSERT_EQ(asked.size(), 1024u);
  EXPECT_EQ(asked.front(), (Asked{1, 1, 0}));
  EXPECT_EQ(asked.back(), (Asked{1024, 1, 0}));
}

TEST_F(IconTest, AnswersShorterThanAskedAreAskedForAgain) {
  struct Case {
    const char* what;
    vsim::IconSpec icon;
    int answerPixels;
    std::vector<std::pair<size_t, Asked>> requests;  // k-th pixel request
  };
  const std::vector<Case> cases = {
      // A row group answered with 200 of 320 pixels: the rest of row 6 is
      // asked for at its column, then the next group from row 7 on.
      {"short group answers", iconSpec(0, 1, 32, 32, 0), 200, {{0, {1, 1, 321}}, {1, {7, 9, 0}}, {2, {8, 1, 321}}}},
      {"short one-byte group answers", iconSpec(0, 1, 32, 40, 2), 500, {{1, {16, 21, 0}}, {2, {17, 1, 769}}}},
      // 600 pixels wide, 300 per answer: two requests per row.
      {"half rows", iconSpec(0, 1, 600, 3, 0), 300, {{1, {1, 301, 0}}, {2, {2, 1, 0}}, {5, {3, 301, 0}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    engine.clearLog();
    vsim::IconSpec plan = c.icon;
    plan.answerPixels = c.answerPixels;
    vsim::IconSim sim(engine, ep, {plan});
    VELLORA::Icon icon;
    ASSERT_TRUE(client().downloadIcon(target, plan.code, icon));
    EXPECT_EQ(icon.pixels, expectedPixels(sim.bytes(0), plan.format));
    const std::vector<Asked> asked = pixelRequests(0);
    for (const auto& [k, want] : c.requests) {
      ASSERT_LT(k, asked.size());
      EXPECT_EQ(asked[k], want) << "request " << k;
    }
  }
}

TEST_F(IconTest, NoIconAndBadAnswers) {
  struct Case {
    const char* what;
    vsim::IconSpec icon;
    bool ok;
  };
  auto with = [](vsim::IconSpec s, auto change) {
    change(s);
    return s;
  };
  const vsim::IconSpec base = iconSpec(0, 1, 32, 4, 0);
  const std::vector<Case> cases = {
      {"format 3", iconSpec(0, 1, 32, 4, 3), true},
      {"width 0", iconSpec(0, 1, 0, 4, 0), true},
      {"height 0", iconSpec(0, 1, 4, 0, 0), true},
      {"header refused", with(base, [](auto& s) { s.headerFault = vsim::Fault::always(Kind::REFUSE); }), true},
      {"header unanswered", with(base, [](auto& s) { s.headerFault = vsim::Fault::always(Kind::SILENT); }), true},
      {"more pixels than the header allows", iconSpec(0, 1, 1025, 1024, 2), true},
      {"one row more than the bound", iconSpec(0, 1, 1024, 1025, 0), true},
      {"pixels past the icon", with(base, [](auto& s) { s.extraBytes = 4; }), false},
      {"four-byte answer of 1202 bytes", with(iconSpec(0, 1, 300, 2, 0), [](auto& s) { s.extraBytes = 2; }), false},
      {"empty answer", with(base, [](auto& s) { s.answerPixels = 0; }), false},
      {"pixels unanswered", with(base, [](auto& s) { s.pixelFault = vsim::Fault::once(Kind::SILENT); }), false},
      {"pixels refused", with(base, [](auto& s) { s.pixelFault = vsim::Fault::once(Kind::REFUSE); }), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    engine.clearLog();
    vsim::IconSim sim(engine, ep, {c.icon});
    VELLORA::Icon icon = stale();
    EXPECT_EQ(client().downloadIcon(target, 1, icon), c.ok);
    EXPECT_EQ(icon.width, 0);
    EXPECT_TRUE(icon.pixels.empty());
    EXPECT_FALSE(icon.singleByte);
    if (c.ok) {
      EXPECT_TRUE(pixelRequests(0).empty());  // no icon: no pixel asked for
    }
  }

  // A selector past set 2 is refused without a request, the output untouched.
  vsim::IconSim sim(engine, ep, {base});
  engine.clearLog();
  VELLORA::Icon icon = stale();
  EXPECT_FALSE(client().downloadIcon(target, 0x30000, icon));
  EXPECT_FALSE(client().downloadIcon(target, 0x30001, icon, 32));
  EXPECT_EQ(icon.width, 1);
  EXPECT_EQ(icon.pixels.size(), 1u);
  EXPECT_EQ(engine.count(ep), 0u);
}

TEST_F(IconTest, WishedWidthWalksTheFallbackCodes) {
  struct Case {
    const char* what;
    std::vector<vsim::IconSpec> icons;
    uint16_t code;
    uint16_t wish;
    std::vector<uint16_t> headers;
    uint16_t width;  // of the icon returned, 0 none
  };
  const std::vector<Case> cases = {
      {"the code itself", {iconSpec(0, 5, 64, 2, 2)}, 5, 64, {5}, 64},
      {"missing codes fall back in table order", {iconSpec(0, 2, 40, 2, 2)}, 3, 64, {3, 1, 4, 2}, 40},
      {"an even icon too narrow tries the odd row", {iconSpec(0, 2, 32, 2, 2), iconSpec(0, 1, 64, 2, 2)}, 2, 64,
       {2, 1}, 64},
      {"the odd row may end on the same code", {iconSpec(0, 4, 32, 2, 2)}, 4, 64, {4, 3, 1, 4}, 32},
      {"one and a half times the wish is wide enough", {iconSpec(0, 2, 96, 2, 2), iconSpec(0, 1, 64, 2, 2)}, 2, 64,
       {2}, 96},
      {"an odd code is not searched again", {iconSpec(0, 1, 32, 2, 2), iconSpec(0, 2, 64, 2, 2)}, 1, 64, {1}, 32},
      {"nothing anywhere", {}, 6, 64, {6, 5, 8, 7}, 0},
      {"a code past the table alone", {iconSpec(0, 1, 32, 2, 2)}, 12, 64, {12}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    engine.clearLog();
    vsim::IconSim sim(engine, ep, c.icons);
    VELLORA::Icon icon = stale();
    ASSERT_TRUE(client().downloadIcon(target, c.code, icon, c.wish));
    EXPECT_EQ(headersAsked(), c.headers);
    EXPECT_EQ(icon.width, c.width);
    EXPECT_EQ(icon.pixels.empty(), c.width == 0);
  }
}

}  // namespace
}  // namespace disc_test
