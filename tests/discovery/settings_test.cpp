// Target and sink settings lists against a stand-in target on [::1]: every
// kind read, what a failure leaves, the caps on what a target can make the
// host ask and hold, writes and the finale.
#include "discovery/find.h"
#include "sim/target/manage.h"
#include "tests/discovery/manage_fixture.h"
#include "tests/host/log_capture.h"

#include <string>
#include <utility>
#include <vector>

namespace disc_test {
namespace {

using Kind = vsim::Fault::Kind;
using Info = Find::TargetSettingInfo;

vsim::SettingSpec entry(std::string name, uint16_t kind, uint16_t low, uint16_t high, uint16_t value,
                          uint16_t extra = 0, std::string text = "", std::map<uint16_t, std::string> choices = {}) {
  vsim::SettingSpec s;
  s.name = std::move(name);
  s.kind = kind;
  s.low = low;
  s.high = high;
  s.value = value;
  s.valueExtra = extra;
  s.text = std::move(text);
  s.choices = std::move(choices);
  return s;
}

Info record(int32_t type, std::string name, int32_t min, int32_t max, int32_t value, int32_t extra,
            std::string text = "", std::vector<std::string> choices = {}) {
  Info i;
  i.type = type;
  i.name = std::move(name);
  i.text = std::move(text);
  i.choices = std::move(choices);
  i.value = value;
  i.min = min;
  i.max = max;
  i.valueExtra = extra;
  return i;
}

void expectRecord(const Info& got, const Info& want) {
  SCOPED_TRACE(want.name);
  EXPECT_EQ(got.type, want.type);
  EXPECT_EQ(got.name, want.name);
  EXPECT_EQ(got.text, want.text);
  EXPECT_EQ(got.choices, want.choices);
  EXPECT_EQ(got.value, want.value);
  EXPECT_EQ(got.min, want.min);
  EXPECT_EQ(got.max, want.max);
  EXPECT_EQ(got.valueExtra, want.valueExtra);
}

class SettingsTest : public ManageTest {
 protected:
  bool read(bool sink, Find::TargetSettingList& list, bool mode) {
    return sink ? client().SinkSetting(target, list, mode) : client().TargetSetting(target, list, mode);
  }
  vsim::SettingsListSpec& listOf(vsim::ManageSpec& plan, bool sink) {
    return sink ? plan.sinkSettings : plan.targetSettings;
  }
  // Value requests of one list (reads, choice names, writes, finale).
  std::vector<vsim::Datagram> valueRequests(bool sink) {
    return engine.received(ep, sink ? VELLORA::SINKSETTINGVALUE_REQ : VELLORA::TARGETSETTINGVALUE_REQ);
  }
};

TEST_F(SettingsTest, EveryKindReadIntoItsRecord) {
  const std::map<uint16_t, std::string> colours = {{1, "red"}, {2, "green"}, {3, "blue"}};
  const std::vector<vsim::SettingSpec> items = {
      entry("Gain", 2, 0xFFF6, 0x000A, 0xFFFB, 0xFFFE),
      entry("Level", 1, 0xFFF6, 0x000A, 0xFFFB, 0xFFFE),
      entry("Loudness", 3, 7, 9, 1),
      entry("Mute", 3, 0, 0, 0, 0, "", {{0, "off"}, {1, "on"}}),
      entry("Room", 4, 5, 6, 0, 0, "living room"),
      entry("Colour", 5, 1, 3, 2, 0, "ignored", colours),
      entry("Backwards", 5, 3, 1, 0),
      entry("Preset", 6, 0, 1, 1, 0, "custom", {{0, "flat"}, {1, "warm"}}),
      entry("Delay", 7, 10, 500, 120, 300),
      entry("Future", 9, 4, 5, 6, 7, "not read"),
  };
  const std::vector<Info> want = {
      record(2, "Gain", -10, 10, -5, -2),
      record(2, "Level", 65526, 10, 65531, 65534),
      record(3, "Loudness", 0, 1, 1, 0, "", {"disable", "enable"}),
      record(3, "Mute", 0, 1, 0, 0, "", {"off", "on"}),
      record(1, "Room", 0, 0, 0, 0, "living room"),
      record(4, "Colour", 1, 3, 2, 0, "", {"red", "green", "blue"}),
      record(4, "Backwards", 3, 1, 0, 0),
      record(5, "Preset", 0, 1, 1, 0, "custom", {"flat", "warm"}),
      record(6, "Delay", 10, 500, 120, 300),
      record(0, "Future", 0, 0, 6, 7),
  };
  for (bool sink : {false, true}) {
    for (bool mode : {false, true}) {
      SCOPED_TRACE(std::string(sink ? "sink" : "target") + (mode ? ", mode flag" : ""));
      engine.clearLog();
      vsim::ManageSpec plan;
      listOf(plan, sink).items = items;
      vsim::ManageSim sim(engine, ep, plan);
      Find::TargetSettingList list = {Info{}};
      ASSERT_TRUE(read(sink, list, mode));
      ASSERT_EQ(list.size(), want.size());
      auto w = want.begin();
      for (const Info& got : list) expectRecord(got, *w++);

      // The value read of item i carries 2 with the mode flag, except for
      // a choice with text; choice names are asked exactly for min .. max.
      std::map<uint16_t, uint16_t> readMode;
      std::map<uint16_t, std::vector<uint16_t>> choicesAsked;
      for (const vsim::Datagram& d : valueRequests(sink)) {
        if (d.option1() == 3) {
          choicesAsked[d.option0()].push_back(d.option2());
        } else {
          readMode[d.option0()] = d.option1();
        }
      }
      for (uint16_t i = 1; i <= items.size(); ++i) EXPECT_EQ(readMode[i], mode && i != 8 ? 2 : 0) << "item " << i;
      EXPECT_EQ(choicesAsked[6], (std::vector<uint16_t>{1, 2, 3}));
      EXPECT_EQ(choicesAsked.count(7), 0u);  // min above max
      EXPECT_EQ(choicesAsked[8], (std::vector<uint16_t>{0, 1}));
    }
  }
}

TEST_F(SettingsTest, AFailureKeepsTheRecordsCompletedBeforeIt) {
  struct Case {
    const char* what;
    vsim::Fault vsim::SettingSpec::*where;
    vsim::Fault fault;
    size_t kept;
  };
  const std::vector<Case> cases = {
      {"third value read silent", &vsim::SettingSpec::valueFault, vsim::Fault::always(Kind::SILENT), 2},
      {"third value read refused", &vsim::SettingSpec::valueFault, vsim::Fault::always(Kind::REFUSE), 2},
      {"third value read about another item", &vsim::SettingSpec::valueFault, vsim::Fault::always(Kind::OTHER), 2},
      {"third item answer about another item", &vsim::SettingSpec::itemFault, vsim::Fault::always(Kind::OTHER), 2},
      {"third item answer echoed", &vsim::SettingSpec::itemFault, vsim::Fault::always(Kind::ECHO), 2},
      {"second choice name of the third refused", &vsim::SettingSpec::choiceFault,
       vsim::Fault{Kind::REFUSE, 1, -1}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vsim::ManageSpec plan;
    plan.targetSettings.items = {entry("a", 1, 0, 9, 1), entry("b", 1, 0, 9, 2),
                                 entry("c", 5, 0, 2, 0, 0, "", {{0, "x"}, {1, "y"}, {2, "z"}}),
                                 entry("d", 1, 0, 9, 4)};
    plan.targetSettings.items[2].*c.where = c.fault;
    vsim::ManageSim sim(engine, ep, plan);
    Find::TargetSettingList list;
    EXPECT_FALSE(client().TargetSetting(target, list, false));
    ASSERT_EQ(list.size(), c.kept);
    EXPECT_EQ(list.back().name, "b");
  }

  vsim::ManageSpec refused;
  refused.targetSettings.countFault = vsim::Fault::always(Kind::REFUSE);
  vsim::ManageSim sim(engine, ep, refused);
  Find::TargetSettingList list = {Info{}};
  EXPECT_FALSE(client().TargetSetting(target, list, false));
  EXPECT_TRUE(list.empty());
}

TEST_F(SettingsTest, AnEmptyListIsOneRequest) {
  vsim::ManageSpec plan;
  vsim::ManageSim sim(engine, ep, plan);
  Find::TargetSettingList list = {Info{}};
  ASSERT_TRUE(client().SinkSetting(target, list, true));
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(engine.count(ep), 1u);
}

TEST_F(SettingsTest, ATargetCannotMakeTheHostRunOrHoldWithoutBound) {
  // A count of 65535 items: only the first MAX_SETTING_ITEMS are asked for.
  {
    vsim::ManageSpec plan;
    plan.targetSettings.reportedCount = 0xFFFF;
    vsim::ManageSim sim(engine, ep, plan);
    Find::TargetSettingList list;
    ASSERT_TRUE(client().TargetSetting(target, list, false));
    EXPECT_EQ(list.size(), Find::MAX_SETTING_ITEMS);
    EXPECT_EQ(list.back().name, "item " + std::to_string(Find::MAX_SETTING_ITEMS));
    for (const vsim::Datagram& d : engine.received(ep, VELLORA::TARGETSETTING_REQ)) {
      EXPECT_LE(d.option0(), Find::MAX_SETTING_ITEMS);
    }
  }
  // A choice range of 0 .. 65535: MAX_SETTING_CHOICES names, and the record
  // keeps the target's own range.
  {
    engine.clearLog();
    vsim::ManageSpec plan;
    plan.sinkSettings.items = {entry("Wide", 5, 0, 0xFFFF, 3, 0, "", {{0, "first"}, {255, "last"}})};
    vsim::ManageSim sim(engine, ep, plan);
    Find::TargetSettingList list;
    ASSERT_TRUE(client().SinkSetting(target, list, false));
    ASSERT_EQ(list.size(), 1u);
    const Info& wide = list.front();
    ASSERT_EQ(wide.choices.size(), static_cast<size_t>(Find::MAX_SETTING_CHOICES));
    EXPECT_EQ(wide.min, 0);
    EXPECT_EQ(wide.max, 0xFFFF);
    EXPECT_EQ(wide.choices.front(), "first");
    EXPECT_EQ(wide.choices.back(), "last");
    EXPECT_EQ(valueRequests(true).size(), 1u + Find::MAX_SETTING_CHOICES);
  }
  // Choice names of 60000 bytes each: the list stops once its texts pass
  // MAX_SETTING_TEXT, long before the 256 names are in.
  {
    engine.clearLog();
    vsim::ManageSpec plan;
    std::map<uint16_t, std::string> huge;
    for (uint16_t j = 0; j < 256; ++j) huge[j] = std::string(60000, static_cast<char>('a' + j % 26));
    plan.targetSettings.items = {entry("Huge", 5, 0, 255, 0, 0, "", huge)};
    vsim::ManageSim sim(engine, ep, plan);
    Find::TargetSettingList list;
    EXPECT_FALSE(client().TargetSetting(target, list, false));
    EXPECT_TRUE(list.empty());
    EXPECT_LE(valueRequests(false).size(), 1u + Find::MAX_SETTING_TEXT / 60000 + 1);
  }
}

// What is cut at the caps is said once, with the count the target gave; a
// range keeps the target's own ends, so that a caller checking a value
// against it does not refuse the values past the choices held.
TEST_F(SettingsTest, ACutListSaysWhatItLeftOut) {
  const struct {
    const char* what;
    bool sink;
    int reportedCount;
    std::vector<vsim::SettingSpec> items;
    size_t records;
    const char* warning;  // nullptr: nothing cut
    std::string given;    // the target's count, in the warning
    int32_t min, max;     // of the first record
    size_t choices;       // of the first record
  } cases[] = {
      {"300 settings", false, 300, {}, Find::MAX_SETTING_ITEMS, "Vellora Find setting count over limit : ", "300",
       0, 0, 0},
      {"a choice range of 0 .. 1000", true, -1, {entry("Gain", 5, 0, 1000, 300)}, 1,
       "Vellora Find setting choices over limit : ", "1001", 0, 1000, size_t(Find::MAX_SETTING_CHOICES)},
      {"a choice with text from 10 to 300", false, -1, {entry("Mode", 6, 10, 300, 12, 0, "txt")}, 1,
       "Vellora Find setting choices over limit : ", "291", 10, 300, size_t(Find::MAX_SETTING_CHOICES)},
      {"within the caps", true, -1, {entry("Small", 5, 2, 4, 3), entry("Number", 1, 0, 5000, 7)}, 2, nullptr, "",
       2, 4, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    engine.clearLog();
    vsim::ManageSpec plan;
    listOf(plan, c.sink).items = c.items;
    listOf(plan, c.sink).reportedCount = c.reportedCount;
    vsim::ManageSim sim(engine, ep, plan);
    host_test::LogCapture log;
    Find::TargetSettingList list;
    ASSERT_TRUE(read(c.sink, list, false));
    ASSERT_EQ(list.size(), c.records);
    EXPECT_EQ(list.front().min, c.min);
    EXPECT_EQ(list.front().max, c.max);
    EXPECT_EQ(list.front().choices.size(), c.choices);
    const auto cut = log.starting("Vellora Find setting");
    if (c.warning == nullptr) {
      EXPECT_TRUE(cut.empty()) << cut.front();
      continue;
    }
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut.front().rfind(c.warning, 0), 0u) << cut.front();
    EXPECT_NE(cut.front().find(" " + c.given + ">"), std::string::npos) << cut.front();
  }
}

TEST_F(SettingsTest, EveryKindWrittenReadsBackAsItsType) {
  // One write of text and number per item; the next read shows the number
  // extended as the kind says and the text where the kind carries one.
  struct Case {
    vsim::SettingSpec item;
    std::string text;
    uint16_t number;
    int32_t value;
    std::string readText;
  };
  const std::vector<Case> cases = {
      {entry("Level", 1, 0, 0xFFFF, 3), "", 0xFFFB, 65531, ""},
      {entry("Gain", 2, 0xFFF6, 0x000A, 0), "", 0xFFFB, -5, ""},
      {entry("Mute", 3, 0, 0, 0), "", 1, 1, ""},
      {entry("Room", 4, 0, 0, 0, 0, "old"), "kitchen", 0, 0, "kitchen"},
      {entry("Colour", 5, 0, 1, 0, 0, "", {{0, "red"}, {1, "blue"}}), "", 1, 1, ""},
      {entry("Preset", 6, 0, 1, 0, 0, "old", {{0, "flat"}, {1, "warm"}}), "mine", 1, 1, "mine"},
      {entry("Delay", 7, 10, 500, 20), "", 480, 480, ""},
  };
  for (bool sink : {false, true}) {
    SCOPED_TRACE(sink ? "sink" : "target");
    vsim::ManageSpec plan;
    for (const Case& c : cases) listOf(plan, sink).items.push_back(c.item);
    vsim::ManageSim sim(engine, ep, plan);
    Find& f = client();
    for (uint16_t i = 1; i <= cases.size(); ++i) {
      const Case& c = cases[i - 1];
      EXPECT_TRUE(sink ? f.setSinkSetting(target, i, c.text, c.number) : f.setTargetSetting(target, i, c.text, c.number))
          << c.item.name;
    }
    Find::TargetSettingList list;
    ASSERT_TRUE(read(sink, list, false));
    ASSERT_EQ(list.size(), cases.size());
    auto got = list.begin();
    for (const Case& c : cases) {
      SCOPED_TRACE(c.item.name);
      EXPECT_EQ(got->value, c.value);
      EXPECT_EQ(got->text, c.readText);
      ++got;
    }
  }
}

TEST_F(SettingsTest, WritesAndFinale) {
  for (bool sink : {false, true}) {
    SCOPED_TRACE(sink ? "sink" : "target");
    vsim::ManageSpec plan;
    listOf(plan, sink).items = {entry("Name", 4, 0, 0, 0, 0, "old"), entry("Volume", 1, 0, 100, 10)};
    vsim::ManageSim sim(engine, ep, plan);
    Find& f = client();
    if (sink) {
      EXPECT_TRUE(f.setSinkSetting(target, 1, std::string("kitchen"), 7));
      EXPECT_TRUE(f.setSinkSetting(target, 1, std::string("hall")));
      EXPECT_TRUE(f.setSinkSetting(target, 2, 55));
      EXPECT_TRUE(f.SinkSettingFinale(target, true));
      EXPECT_TRUE(f.SinkSettingFinale(target, false));
    } else {
      EXPECT_TRUE(f.setTargetSetting(target, 1, std::string("kitchen"), 7));
      EXPECT_TRUE(f.setTargetSetting(target, 1, std::string("hall")));
      EXPECT_TRUE(f.setTargetSetting(target, 2, 55));
      EXPECT_TRUE(f.TargetSettingFinale(target, true));
      EXPECT_TRUE(f.TargetSettingFinale(target, false));
    }
    const std::vector<vsim::SettingWrite> writes = sim.writes(sink);
    ASSERT_EQ(writes.size(), 5u);
    const vsim::SettingWrite want[] = {{1, 1, 7, "kitchen"}, {1, 1, 0, "hall"}, {2, 1, 55, ""}, {0, 1, 0, ""},
                                       {0, 2, 0, ""}};
    for (size_t k = 0; k < writes.size(); ++k) {
      SCOPED_TRACE(k);
      EXPECT_EQ(writes[k].item, want[k].item);
      EXPECT_EQ(writes[k].mode, want[k].mode);
      EXPECT_EQ(writes[k].number, want[k].number);
      EXPECT_EQ(writes[k].text, want[k].text);
    }
    // The number-only write goes without payload.
    const std::vector<vsim::Datagram> sent = valueRequests(sink);
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(sent[2].bytes.size(), VELLORA::HEADER_SIZE);

    // What was written is what the list reads now.
    Find::TargetSettingList list;
    ASSERT_TRUE(read(sink, list, false));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list.front().text, "hall");
    EXPECT_EQ(list.back().value, 55);
    engine.clearLog();
  }

  vsim::ManageSpec refusing;
  refusing.targetSettings.items = {entry("Volume", 1, 0, 100, 10)};
  refusing.targetSettings.writeFault = vsim::Fault::always(Kind::REFUSE);
  vsim::ManageSim sim(engine, ep, refusing);
  EXPECT_FALSE(client().setTargetSetting(target, 1, 3));
  EXPECT_FALSE(client().TargetSettingFinale(target, true));
}

}  // namespace
}  // namespace disc_test
