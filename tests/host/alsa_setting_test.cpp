#include "host/alsa_setting.h"

#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "host/card_format.h"
#include "host/occupied_cpu.h"
#include "tests/host/log_capture.h"

namespace {

using host_test::LogCapture;

struct Read {
  AlsaSetting setting;
  std::list<std::string> interfaces;
  OccupiedCPU cpus;
};

void readKeys(const std::string& text, Read& r) {
  KALMO::FileInf inf;
  inf.set_string(text);
  readDaemonKeys(inf, r.setting, r.interfaces, r.cpus);
}

struct PeriodCase {
  const char* text;
  int32_t periodMin, periodMax, periodSizeMin, periodSizeMax;
  bool refused;
};

TEST(DaemonKeys, PeriodKeysAreCheckedAsASet) {
  const PeriodCase cases[] = {
      {"", 4, 32, 6, 38400, false},
      {"periodMax=0", 4, 32, 6, 38400, false},
      {"periodMax=-4", 4, 32, 6, 38400, false},
      {"periodMax=abc", 4, 32, 6, 38400, false},
      {"periodMin=1\nperiodMax=4294967297", 1, 1, 6, 38400, false},
      {"periodMin=2\nperiodMax=8\nperiodSizeMin=16\nperiodSizeMax=4800", 2, 8, 16, 4800, false},
      {"periodMax=1024\nperiodSizeMax=262144", 4, 1024, 6, 262144, false},
      // Each of these breaks the set: all four go back to the defaults.
      {"periodMin=2\nperiodMax=3\nperiodSizeMin=5\nperiodSizeMax=1001", 4, 32, 6, 38400, true},
      {"periodMin=2\nperiodMax=100000\nperiodSizeMax=100000", 4, 32, 6, 38400, true},
      {"periodMax=1024\nperiodSizeMax=262152", 4, 32, 6, 38400, true},
      {"periodMax=65536\nperiodSizeMax=65536", 4, 32, 6, 38400, true},
      {"periodMin=2\nperiodMax=4294967297", 4, 32, 6, 38400, true},
      {"periodMin=40\nperiodSizeMin=8", 4, 32, 6, 38400, true},
      {"periodSizeMin=50000\nperiodMin=2", 4, 32, 6, 38400, true},
  };
  for (const PeriodCase& c : cases) {
    LogCapture log;
    Read r;
    readKeys(c.text, r);
    EXPECT_EQ(r.setting.periodMin, c.periodMin) << c.text;
    EXPECT_EQ(r.setting.periodMax, c.periodMax) << c.text;
    EXPECT_EQ(r.setting.periodSizeMin, c.periodSizeMin) << c.text;
    EXPECT_EQ(r.setting.periodSizeMax, c.periodSizeMax) << c.text;
    EXPECT_EQ(log.count("Setting: period keys refused"), c.refused ? 1u : 0u) << c.text;
    EXPECT_EQ(r.setting.ringBytes() % 8, 0u) << c.text;
  }
}

TEST(DaemonKeys, OtherKeys) {
  const struct {
    const char* text;
    int64_t syncBufferCount;
    bool alsaUnderrun, unInitMemDet;
  } cases[] = {
      {"", 8, false, false},
      {"syncBufferCount=16\nalsaUnderrun=enable\nunInitMemDet=enable", 16, true, true},
      {"syncBufferCount=0\nalsaUnderrun=Enable\nunInitMemDet=on", 8, false, false},
      {"syncBufferCount=-3\nalsaUnderrun=disable", 8, false, false},
      {"syncBufferCount=1024", 1024, false, false},
      {"syncBufferCount=5000", 1024, false, false},
      {"syncBufferCount=4294967312", 1024, false, false},
      // Blocks of a period each: 1024 blocks of 4 MiB would take 4 GiB for
      // one node; they are held to what one ring may take.
      {"periodMax=64\nperiodSizeMax=4194304\nsyncBufferCount=1024", 64, false, false},
      {"periodMax=64\nperiodSizeMax=4194304\nsyncBufferCount=64", 64, false, false},
      {"periodMax=1\nperiodMin=1\nperiodSizeMax=268435456\nsyncBufferCount=8", 1, false, false},
  };
  for (const auto& c : cases) {
    Read r;
    readKeys(c.text, r);
    EXPECT_EQ(r.setting.syncBufferCount, c.syncBufferCount) << c.text;
    EXPECT_EQ(r.setting.alsaUnderrun, c.alsaUnderrun) << c.text;
    EXPECT_EQ(r.setting.unInitMemDet, c.unInitMemDet) << c.text;
  }
  LogCapture log;
  Read r;
  readKeys("periodMax=64\nperiodSizeMax=4194304\nsyncBufferCount=1024", r);
  EXPECT_EQ(log.count("Setting: syncBufferCount 1024 held at 64"), 1u);
}

TEST(DaemonKeys, CpuRanges) {
  const struct {
    const char* text;
    int32_t first, count;
  } cases[] = {
      {"", -1, -1},    {"0", 0, 1},      {"3", 3, 1},     {"abc", -1, -1},  {"-2", -1, 4},
      {"4-7", 4, 4},   {"2-5", 2, 4},    {"0-3", 0, 4},   {"0-0", 0, 1},    {"3-0", 3, -2},
      {"x-3", -1, 5},  {"2-x", 2, -1},   {"5-2", 5, -2},  {"2-5-9", 2, 4},
      {"0-2147483647", 0, INT32_MAX},     {"1-2147483647", 1, INT32_MAX},
  };
  for (const auto& c : cases) {
    int32_t first = -1, count = -1;
    parseCpuRange(c.text, first, count);
    EXPECT_EQ(first, c.first) << c.text;
    EXPECT_EQ(count, c.count) << c.text;
  }

  Read r;
  r.cpus.machineCpus = 8;
  readKeys("CpuSend=4-7\nCpuOther=1", r);
  EXPECT_EQ(r.cpus.cpuSend, 4);
  EXPECT_EQ(r.cpus.rangeSend, 4);
  EXPECT_EQ(r.cpus.cpuOther, 1);
  EXPECT_EQ(r.cpus.rangeOther, 1);
  EXPECT_EQ(r.cpus.commitCpuSend(), 4) << "the use table is sized after the keys";
  EXPECT_EQ(r.cpus.commitCpuSend(), 6);
}

TEST(DaemonKeys, HugeCpuRangeAllocatesNoHugeTable) {
  LogCapture log;
  Read r;
  r.cpus.machineCpus = 8;
  readKeys("CpuSend=2147483000-2147483647", r);
  EXPECT_EQ(r.cpus.rangeSend, 648);
  EXPECT_EQ(r.cpus.commitCpuSend(), -1) << "no such CPU on the machine";
  Read wide;
  wide.cpus.machineCpus = 8;
  readKeys("CpuSend=1-2147483647", wide);
  EXPECT_EQ(wide.cpus.rangeSend, 2147483647);
  EXPECT_EQ(wide.cpus.useOf(7), 0);
  EXPECT_EQ(wide.cpus.useOf(8), -1);
  EXPECT_EQ(log.count("Setting: CpuSend 2147483000,648 outside the CPUs 0 to 7; none used"), 1u);
  EXPECT_EQ(log.count("Setting: CpuSend 1,2147483647 outside the CPUs 0 to 7; CPUs 1 to 7 used"), 1u);
  // The real machine's count is the default.
  EXPECT_EQ(OccupiedCPU().machineCpus, KALMO::ThreadPriority::getCpuCore());
}

TEST(DaemonKeys, InterfaceList) {
  const struct {
    const char* text;
    std::list<std::string> list;
  } cases[] = {
      {"", {}},
      {"eth0", {"eth0"}},
      {"eth0,wlan0", {"eth0", "wlan0"}},
      {"eth0,,wlan0", {"eth0", "", "wlan0"}},
      {" eth0,eth1", {" eth0", "eth1"}},
      {"eth0,", {"eth0", ""}},
  };
  for (const auto& c : cases) EXPECT_EQ(splitInterfaces(c.text), c.list) << c.text;

  Read r;
  readKeys("Interface=eth0, eth1", r);
  EXPECT_EQ(r.interfaces, (std::list<std::string>{"eth0", " eth1"}));
}

TEST(DaemonKeys, NoticeLinesInOrder) {
  LogCapture log;
  Read r;
  readKeys("periodMin=2\nperiodMax=8\nsyncBufferCount=12\nunInitMemDet=enable\nCpuSend=2-5", r);
  const std::vector<std::string> expected = {
      "Setting: periodSizeMin  : 6",        "Setting: periodSizeMax  : 38400",
      "Setting: periodMin      : 2",        "Setting: periodMax      : 8",
      "Setting: syncBufferCount: 12",       "Setting: alsaUnderrun   : disable",
      "Setting: unInitMemDet   : enable",   "Setting: InfCpuSend      : 2",
      "Setting: InfRengSend     : 4",       "Setting: InfCpuOther     : -1",
      "Setting: InfRengOther    : -1",
  };
  EXPECT_EQ(log.starting("Setting: "), expected);
}

AlsaProfiles readAll(const std::string& text) {
  KALMO::FileInf inf;
  inf.set_string(text);
  AlsaProfiles profiles;
  readProfiles(inf, profiles);
  return profiles;
}

constexpr uint64_t US = 1'000'000;

// Values an operator can write that cannot stream: each is held at the
// nearest value that can (or, where no value is nearer, kept as the rule
// gives it), with one warning that names the key, the value given and the
// value used. Values around them that work keep their results.
TEST(DaemonKeys, UnusableValuesAreHeldWithOneWarning) {
  struct Case {
    const char* text;
    std::vector<std::string> warnings;  // one per value held or named
    int32_t periodMax, periodSizeMax;
    int32_t cpuSend, rangeSend, cpuOther, rangeOther;
    uint64_t globalCycleUs;
    const char* group;  // a target group whose cycle is checked too, or null
    uint64_t groupCycleUs;
  };
  const Case cases[] = {
      {"CycleTime=1", {"Setting: CycleTime 1 held at 400"}, 32, 38400, -1, -1, -1, -1, 400, nullptr, 0},
      {"CycleTime=399", {"Setting: CycleTime 399 held at 400"}, 32, 38400, -1, -1, -1, -1, 400, nullptr, 0},
      {"CycleTime=400", {}, 32, 38400, -1, -1, -1, -1, 400, nullptr, 0},
      {"CycleTime=100000", {}, 32, 38400, -1, -1, -1, -1, 100000, nullptr, 0},
      {"CycleTime=1\n[amp:left]\nThredMode=0", {"Setting: CycleTime 1 held at 400"}, 32, 38400, -1, -1, -1, -1,
       400, "amp:left", 400},
      {"[amp:left]\nCycleTime=50", {"Setting: CycleTime 50 held at 400 in [amp:left]"}, 32, 38400, -1, -1, -1,
       -1, 1000, "amp:left", 400},
      {"periodMax=4\nperiodSizeMax=8", {"Setting: periodSizeMax 8 held at 1536"}, 4, 1536, -1, -1, -1, -1, 1000,
       nullptr, 0},
      {"periodMax=8\nperiodSizeMax=1535\nperiodSizeMin=1535", {"Setting: periodSizeMax 1535 held at 1536"}, 8,
       1536, -1, -1, -1, -1, 1000, nullptr, 0},
      {"periodMax=4\nperiodSizeMax=1536", {}, 4, 1536, -1, -1, -1, -1, 1000, nullptr, 0},
      // Where the ring would outgrow the driver's limit, periodMax follows.
      {"periodMin=4\nperiodMax=200000\nperiodSizeMax=8",
       {"Setting: periodSizeMax 8 held at 1536", "Setting: periodMax 200000 held at 174762"}, 174762, 1536, -1,
       -1, -1, -1, 1000, nullptr, 0},
      {"CpuSend=5-2", {"Setting: CpuSend 5-2 is a reversed range (first CPU above the last); none used"}, 32,
       38400, 5, -2, -1, -1, 1000, nullptr, 0},
      {"CpuOther=3-0", {"Setting: CpuOther 3-0 is a reversed range (first CPU above the last); none used"}, 32,
       38400, -1, -1, 3, -2, 1000, nullptr, 0},
      {"CpuSend=abc", {"Setting: CpuSend abc gives no CPU range; none used"}, 32, 38400, -1, -1, -1, -1, 1000,
       nullptr, 0},
      {"CpuSend=2-5\nCpuOther=0", {}, 32, 38400, 2, 4, 0, 1, 1000, nullptr, 0},
      {"CpuSend=20-23", {"Setting: CpuSend 20,4 outside the CPUs 0 to 7; none used"}, 32, 38400, 20, 4, -1, -1,
       1000, nullptr, 0},
      {"CpuOther=6-9", {"Setting: CpuOther 6,4 outside the CPUs 0 to 7; CPUs 6 to 7 used"}, 32, 38400, -1, -1, 6,
       2, 1000, nullptr, 0},
      // The keys after an unclosed group line stay where they were going,
      // as the settings file has always read them; the line is named.
      {"[amp:left\nCycleTime=2000",
       {"Setting: group line \"[amp:left\" has no closing \"]\" and is ignored; the keys after it stay in "
        "\"global\""},
       32, 38400, -1, -1, -1, -1, 2000, nullptr, 0},
      {"[amp:left]\nCycleTime=3000\n[amp:right\nCycleTime=2000",
       {"Setting: group line \"[amp:right\" has no closing \"]\" and is ignored; the keys after it stay in "
        "\"amp:left\""},
       32, 38400, -1, -1, -1, -1, 1000, "amp:left", 2000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    LogCapture log;
    KALMO::FileInf inf;
    inf.set_string(c.text);
    Read r;
    r.cpus.machineCpus = 8;
    readDaemonKeys(inf, r.setting, r.interfaces, r.cpus);
    AlsaProfiles profiles;
    readProfiles(inf, profiles);

    EXPECT_EQ(r.setting.periodMax, c.periodMax);
    EXPECT_EQ(r.setting.periodSizeMax, c.periodSizeMax);
    EXPECT_EQ(r.cpus.cpuSend, c.cpuSend);
    EXPECT_EQ(r.cpus.rangeSend, c.rangeSend);
    EXPECT_EQ(r.cpus.cpuOther, c.cpuOther);
    EXPECT_EQ(r.cpus.rangeOther, c.rangeOther);
    EXPECT_EQ(profiles.at("").cycleTime.get(), c.globalCycleUs * US);
    if (c.group != nullptr) {
      ASSERT_EQ(profiles.count(c.group), 1u);
      EXPECT_EQ(profiles.at(c.group).cycleTime.get(), c.groupCycleUs * US);
    }
    std::vector<std::string> warnings;
    for (const std::string& l : log.starting("Setting: ")) {
      if (l.find(" held at ") != std::string::npos || l.find(" none used") != std::string::npos ||
          l.find(" used") != std::string::npos || l.find("group line") != std::string::npos ||
          l.find(" refused") != std::string::npos) {
        warnings.push_back(l);
      }
    }
    EXPECT_EQ(warnings, c.warnings);
  }
}

// A number beyond what its key can take is held at the nearest value that
// works, with one warning that gives the value as the file has it (never a
// number wrapped to 32 bits); a negative time is refused, also as written.
TEST(DaemonKeys, ValuesBeyondTheirKeysAreHeldAsWritten) {
  struct Result {
    int64_t syncBufferCount, mode;
    uint64_t infoUs, limitUs, cycleUs, minUs, latencyUs;
  };
  struct Case {
    const char* text;
    const char* group;  // the profile checked: "" for the default
    int64_t Result::*count;
    uint64_t Result::*time;
    int64_t value;
    std::vector<std::string> warnings;
  };
  using R = Result;
  const Case cases[] = {
      {"syncBufferCount=1024", "", &R::syncBufferCount, nullptr, 1024, {}},
      {"syncBufferCount=1025", "", &R::syncBufferCount, nullptr, 1024,
       {"Setting: syncBufferCount 1025 held at 1024"}},
      {"syncBufferCount=4294967312", "", &R::syncBufferCount, nullptr, 1024,
       {"Setting: syncBufferCount 4294967312 held at 1024"}},
      {"LatencyBuffer=6553501", "", nullptr, &R::latencyUs, 6553500,
       {"Setting: LatencyBuffer 6553501 held at 6553500"}},
      {"LatencyBuffer=4294967296", "", nullptr, &R::latencyUs, 6553500,
       {"Setting: LatencyBuffer 4294967296 held at 6553500"}},
      {"CycleTime=2147483647", "", nullptr, &R::cycleUs, 2147483647, {}},
      {"CycleTime=2147483648", "", nullptr, &R::cycleUs, 2147483647,
       {"Setting: CycleTime 2147483648 held at 2147483647"}},
      {"CycleTime=99999999999999999999", "", nullptr, &R::cycleUs, 2147483647,
       {"Setting: CycleTime 99999999999999999999 held at 2147483647"}},
      {"CycleTime=-5", "", nullptr, &R::cycleUs, 1000, {"Setting: CycleTime refused: -5"}},
      {"CycleTime=-4294966296", "", nullptr, &R::cycleUs, 1000, {"Setting: CycleTime refused: -4294966296"}},
      {"CycleMinTime=2147483648", "", nullptr, &R::minUs, 2147483647,
       {"Setting: CycleMinTime 2147483648 held at 2147483647"}},
      {"TargetProfileLimitTime=2147483648", "", nullptr, &R::limitUs, 2147483647,
       {"Setting: TargetProfileLimitTime 2147483648 held at 2147483647"}},
      // Info requests ride on a cycle's last packet; a shorter interval
      // would send the target a status request every cycle.
      {"InfoCycle=0", "", nullptr, &R::infoUs, 1000, {"Setting: InfoCycle 0 held at 1000"}},
      {"InfoCycle=999", "", nullptr, &R::infoUs, 1000, {"Setting: InfoCycle 999 held at 1000"}},
      {"InfoCycle=1000", "", nullptr, &R::infoUs, 1000, {}},
      {"InfoCycle=-1", "", nullptr, &R::infoUs, 100000, {"Setting: InfoCycle refused: -1"}},
      // Not beyond the default interval: a longer one would also lengthen
      // the silence that ends a stream.
      {"CycleTime=200000", "", nullptr, &R::infoUs, 100000, {}},
      {"CycleTime=200000\nInfoCycle=0", "", nullptr, &R::infoUs, 100000, {"Setting: InfoCycle 0 held at 100000"}},
      {"CycleTime=200000\nInfoCycle=150000", "", nullptr, &R::infoUs, 150000, {}},
      {"[amp:left]\nInfoCycle=0", "amp:left", nullptr, &R::infoUs, 1000,
       {"Setting: InfoCycle 0 held at 1000 in [amp:left]"}},
      {"InfoCycle=0\n[amp:left]\nCycleTime=5000", "amp:left", nullptr, &R::infoUs, 5000,
       {"Setting: InfoCycle 0 held at 1000", "Setting: InfoCycle 1000 held at 5000 in [amp:left]"}},
      // The worker knows the bits 1 to 2048 and nothing else.
      {"ThredMode=4095", "", &R::mode, nullptr, 4095, {}},
      {"ThredMode=4096", "", &R::mode, nullptr, 0, {"Setting: ThredMode 4096 held at 0"}},
      {"ThredMode=4113", "", &R::mode, nullptr, 17, {"Setting: ThredMode 4113 held at 17"}},
      {"ThredMode=-1", "", &R::mode, nullptr, 4095, {"Setting: ThredMode -1 held at 4095"}},
      {"[amp:left]\nThredMode=8192", "amp:left", &R::mode, nullptr, 0,
       {"Setting: ThredMode 8192 held at 0 in [amp:left]"}},
      {"ThredMode=abc", "", &R::mode, nullptr, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    LogCapture log;
    KALMO::FileInf inf;
    inf.set_string(c.text);
    Read r;
    readDaemonKeys(inf, r.setting, r.interfaces, r.cpus);
    AlsaProfiles profiles;
    readProfiles(inf, profiles);
    ASSERT_EQ(profiles.count(c.group), 1u);
    const AlsaProfile& p = profiles.at(c.group);
    const Result got{r.setting.syncBufferCount,
                     p.syncWorkerMode,
                     p.syncInfoCycle.get() / US,
                     p.targetProfileLimitTime.get() / US,
                     p.cycleTime.get() / US,
                     p.cycleMinTime.get() / US,
                     p.latencyBuffer.get() / US};
    if (c.count != nullptr) {
      EXPECT_EQ(got.*c.count, c.value);
    }
    if (c.time != nullptr) {
      EXPECT_EQ(got.*c.time, static_cast<uint64_t>(c.value));
    }
    std::vector<std::string> warnings;
    for (const std::string& l : log.starting("Setting: ")) {
      if (l.find(" held at ") != std::string::npos || l.find(" refused") != std::string::npos) {
        warnings.push_back(l);
      }
    }
    EXPECT_EQ(warnings, c.warnings);
  }
}

// Every block of the stream buffer holds one period; the streaming worker
// takes a whole cycle's audio at once, so the buffer must hold one cycle and
// one block more, or every cycle has silence inserted.
TEST(StreamBlocks, TheBufferCoversOneCycle) {
  VELLORA::FormatConfigure stereo16;  // 48 kHz, 16-bit, stereo, as a card chooses it
  ASSERT_TRUE(cardFormatWord(0x2, 0x4, 0x2, stereo16));
  ASSERT_EQ(stereo16.getSpeed(), 48000u);
  struct Case {
    int64_t syncBufferCount;
    uint64_t cycleUs;
    unsigned long frames;  // frames of one block (one card period)
    int32_t periodSizeMax;
    int64_t blocks;
    const char* warning;
  };
  const Case cases[] = {
      {8, 1000, 480, 38400, 8, nullptr},      // 10 ms periods, 1 ms cycle
      {8, 70000, 480, 38400, 8, nullptr},     // 7 blocks of audio and one more
      {8, 70001, 480, 38400, 9, "Setting: syncBufferCount 8 raised to 9 for a cycle of 70001 us"},
      {8, 100000, 480, 38400, 11, "Setting: syncBufferCount 8 raised to 11 for a cycle of 100000 us"},
      {32, 100000, 480, 38400, 32, nullptr},
      {8, 1000, 2, 38400, 25, "Setting: syncBufferCount 8 raised to 25 for a cycle of 1000 us"},
      // Never beyond the largest count, nor beyond what one ring may take.
      {8, 2000000, 1, 38400, 1024,
       "Setting: syncBufferCount 8 raised to 1024 for a cycle of 2000000 us, which needs 96001 blocks of 1 "
       "frames"},
      {1024, 2000000, 1, 38400, 1024,
       "Setting: syncBufferCount 1024 holds less than a cycle of 2000000 us, which needs 96001 blocks of 1 "
       "frames"},
      // Blocks of 4 MiB: no more than one ring's worth of them.
      {8, 2000000000, 1048576, 4194304, 64,
       "Setting: syncBufferCount 8 raised to 64 for a cycle of 2000000000 us, which needs 93 blocks of 1048576 "
       "frames"},
      {8, 0, 480, 38400, 8, nullptr},
      {8, 1000, 0, 38400, 8, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.syncBufferCount << " blocks of " << c.frames << " frames, cycle "
                                    << c.cycleUs << " us");
    LogCapture log;
    AlsaSetting s;
    s.syncBufferCount = c.syncBufferCount;
    s.periodSizeMax = c.periodSizeMax;
    EXPECT_EQ(streamBlocksFor(s, KALMO::Clock(c.cycleUs * US), c.frames, stereo16), c.blocks);
    EXPECT_EQ(log.starting("Setting: "), c.warning ? std::vector<std::string>{c.warning}
                                                   : std::vector<std::string>{});
  }
}


// The worker takes a whole cycle's audio from the card at once: a cycle
// longer than half the card's buffer overtakes what the application has
// written ahead. Such a cycle is held at half the buffer, never below the
// shortest cycle.
TEST(StreamBlocks, TheCycleFitsInHalfTheCardBuffer) {
  VELLORA::FormatConfigure stereo16;  // 48 kHz, 16-bit, stereo: 192 bytes a millisecond
  ASSERT_TRUE(cardFormatWord(0x2, 0x4, 0x2, stereo16));
  struct Case {
    uint64_t cycleUs;
    uint64_t bufferBytes;
    uint64_t usedUs;
    const char* warning;
  };
  const Case cases[] = {
      {1000, 7680, 1000, nullptr},  // 4 periods of 10 ms
      {20000, 7680, 20000, nullptr},
      {20001, 7680, 20000, "Setting: CycleTime 20001 held at 20000 for a card buffer of 7680 bytes"},
      {100000, 7680, 20000, "Setting: CycleTime 100000 held at 20000 for a card buffer of 7680 bytes"},
      {100000, 38400, 100000, nullptr},
      {1000, 384, 1000, nullptr},
      {1000, 383, 979, "Setting: CycleTime 1000 held at 979 for a card buffer of 383 bytes"},
      {1000, 100, 400, "Setting: CycleTime 1000 held at 400 for a card buffer of 100 bytes"},
      {400, 4, 400, nullptr},
      {1000, 0, 400, "Setting: CycleTime 1000 held at 400 for a card buffer of 0 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "cycle " << c.cycleUs << " us, buffer " << c.bufferBytes);
    LogCapture log;
    const KALMO::Clock used = cycleForCard(KALMO::Clock(c.cycleUs * US), c.bufferBytes, stereo16);
    EXPECT_EQ(used.get() / US, c.usedUs);
    EXPECT_EQ(log.starting("Setting: "), c.warning ? std::vector<std::string>{c.warning}
                                                   : std::vector<std::string>{});
  }
}

// A random cycle needs its shortest draw below the cycle; where the card's
// hold (or the file) leaves it at or above the cycle, it is held below it.
TEST(StreamBlocks, TheShortestRandomCycleStaysBelowTheCycle) {
  struct Case {
    uint64_t shortestUs, cycleUs, usedUs;
    const char* warning;
  };
  const Case cases[] = {
      {0, 1000, 0, nullptr},
      {400, 1000, 400, nullptr},
      {999, 1000, 999, nullptr},
      {1000, 1000, 500, "Setting: CycleMinTime 1000 held at 500 for a cycle of 1000 us"},
      {50000, 20000, 10000, "Setting: CycleMinTime 50000 held at 10000 for a cycle of 20000 us"},
      {600, 600, 400, "Setting: CycleMinTime 600 held at 400 for a cycle of 600 us"},
      {400, 400, 399, "Setting: CycleMinTime 400 held at 399 for a cycle of 400 us"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "shortest " << c.shortestUs << " us, cycle " << c.cycleUs);
    LogCapture log;
    const KALMO::Clock used = shortestForCycle(KALMO::Clock(c.shortestUs * US), KALMO::Clock(c.cycleUs * US));
    EXPECT_EQ(used.get() / US, c.usedUs);
    EXPECT_EQ(log.starting("Setting: "), c.warning ? std::vector<std::string>{c.warning}
                                                   : std::vector<std::string>{});
  }
}

TEST(Profiles, DefaultsAndGlobal) {
  const AlsaProfile d;
  EXPECT_EQ(d.targetProfileLimitTime.get(), 0u);
  EXPECT_FALSE(d.flexCycle);
  EXPECT_FALSE(d.randomCycle);
  EXPECT_EQ(d.cycleTime.get(), 1000 * US);
  EXPECT_EQ(d.cycleMinTime.get(), 0u);
  EXPECT_EQ(d.latencyBuffer.get(), 0u);
  EXPECT_EQ(d.syncWorkerMode, 1);
  EXPECT_EQ(d.syncInfoCycle.get(), 100000 * US);

  const AlsaProfiles p = readAll("");
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p.count(""), 1u);
}

TEST(Profiles, TargetGroupsTakeWhatTheySetAndCopyTheRest) {
  const AlsaProfiles p = readAll(
      "ThredMode=17\nFlexCycle=enable\nLatencyBuffer=3000\nCycleTime=1500\n"
      "[Amp:Out]\nCycleTime=2000\n"
      "[Zero:Out]\nCycleTime=0\nThredMode=0\nLatencyBuffer=abc\n"
      "[Rand:Out]\nFlexCycle=random\nCycleMinTime=250\nInfoCycle=50000\n"
      "[Fix:Out]\nFlexCycle=disable\nTargetProfileLimitTime=abc\n"
      "[Odd:Out]\nThredMode=abc\nCycleTime=-5\nInfoCycle=-1\n"
      "[global]\nCycleMinTime=10\n");
  ASSERT_EQ(p.size(), 6u) << "\"global\" is the default, never a target";

  const AlsaProfile& g = p.at("");
  EXPECT_EQ(g.syncWorkerMode, 17);
  EXPECT_TRUE(g.flexCycle);
  EXPECT_FALSE(g.randomCycle);
  EXPECT_EQ(g.latencyBuffer.get(), 3000 * US);
  EXPECT_EQ(g.cycleTime.get(), 1500 * US);
  EXPECT_EQ(g.cycleMinTime.get(), 10 * US);

  const AlsaProfile& amp = p.at("Amp:Out");
  EXPECT_EQ(amp.cycleTime.get(), 2000 * US);
  EXPECT_EQ(amp.syncWorkerMode, 17);
  EXPECT_TRUE(amp.flexCycle);
  EXPECT_EQ(amp.latencyBuffer.get(), 3000 * US);
  EXPECT_EQ(amp.cycleMinTime.get(), 10 * US);

  const AlsaProfile& zero = p.at("Zero:Out");
  EXPECT_EQ(zero.cycleTime.get(), 1500 * US) << "0 never overrides the default";
  EXPECT_EQ(zero.syncWorkerMode, 0) << "a present ThredMode is taken even as 0";
  EXPECT_EQ(zero.latencyBuffer.get(), 3000 * US);

  const AlsaProfile& rnd = p.at("Rand:Out");
  EXPECT_TRUE(rnd.flexCycle);
  EXPECT_TRUE(rnd.randomCycle);
  EXPECT_EQ(rnd.cycleMinTime.get(), 250 * US);
  EXPECT_EQ(rnd.syncInfoCycle.get(), 50000 * US);

  const AlsaProfile& fix = p.at("Fix:Out");
  EXPECT_FALSE(fix.flexCycle) << "disable overrides a global enable";
  EXPECT_FALSE(fix.randomCycle);
  EXPECT_EQ(fix.targetProfileLimitTime.get(), 0u);

  const AlsaProfile& odd = p.at("Odd:Out");
  EXPECT_EQ(odd.syncWorkerMode, 0);
  EXPECT_EQ(odd.cycleTime.get(), 1500 * US) << "a negative time is no time";
  EXPECT_EQ(odd.syncInfoCycle.get(), 100000 * US);
}

// The handshake asks for the latency in 16 bits of 100 us. A longer one
// from the settings must not wrap round to a short latency, or to 0 (which
// asks for the target's own), but stay the longest that can be asked for.
TEST(Profiles, LatencyBeyondWhatTheHandshakeCarriesIsHeldAtTheLongest) {
  struct Case {
    const char* value;
    uint64_t us;
    bool capped;
  };
  const Case cases[] = {
      {"3000", 3000, false},
      {"6553500", 6553500, false},
      {"6553600", 6553500, true},   // 65536 units: would ask for none
      {"10000000", 6553500, true},  // would ask for 3.4 s
      {"2147483647", 6553500, true},
  };
  for (const Case& c : cases) {
    LogCapture log;
    const AlsaProfiles p =
        readAll(std::string("LatencyBuffer=") + c.value + "\n[Amp:Out]\nLatencyBuffer=" + c.value +
                "\n[Copy:Out]\nCycleTime=2000\n");
    for (const char* name : {"", "Amp:Out", "Copy:Out"}) {
      const uint64_t latency = p.at(name).latencyBuffer.get();
      EXPECT_EQ(latency, c.us * US) << c.value << " in [" << name << "]";
      EXPECT_LE(latency / (100 * US), 0xFFFFu) << c.value;
    }
    EXPECT_EQ(log.count("Setting: LatencyBuffer "), c.capped ? 2u : 0u) << c.value;
    if (c.capped) {
      EXPECT_EQ(log.count(std::string("Setting: LatencyBuffer ") + c.value + " held at 6553500"), 2u);
    }
  }
}

// Target names often carry a dot ("2.0"); the group of such a name must be
// read alone, not mixed with a group named like its part before the dot.
TEST(Profiles, DottedTargetNamesReadTheirOwnGroup) {
  const AlsaProfiles p = readAll(
      "CycleTime=1500\n"
      "[Amp 2]\nCycleTime=3000\nThredMode=9\n"
      "[Amp 2.0:Out]\nThredMode=5\n");
  ASSERT_EQ(p.count("Amp 2.0:Out"), 1u);
  const AlsaProfile& dotted = p.at("Amp 2.0:Out");
  EXPECT_EQ(dotted.syncWorkerMode, 5);
  EXPECT_EQ(dotted.cycleTime.get(), 1500 * US) << "copied from the default, not from [Amp 2]";
  EXPECT_EQ(p.at("Amp 2").cycleTime.get(), 3000 * US);
}

TEST(Profiles, LogLinesListEveryProfile) {
  LogCapture log;
  readAll("[Amp:Out]\nFlexCycle=random\nInfoCycle=50000\nCycleTime=2000\n[Var:Out]\nFlexCycle=enable\n");
  EXPECT_EQ(log.starting("Load Setting : "),
            (std::vector<std::string>{"Load Setting : Amp:Out", "Load Setting : Var:Out"}));
  EXPECT_EQ(log.starting("Setting: Target Name : "),
            (std::vector<std::string>{"Setting: Target Name : globale",
                                      "Setting: Target Name : Amp:Out",
                                      "Setting: Target Name : Var:Out"}));
  const std::vector<std::string> lines = log.all();
  auto at = std::find(lines.begin(), lines.end(), "Setting: Target Name : Amp:Out");
  ASSERT_NE(at, lines.end());
  const std::vector<std::string> dump(at + 1, at + 8);
  EXPECT_EQ(dump, (std::vector<std::string>{
                      "Setting: syncWorkerMode            : 1",
                      "Setting: syncInfoCycle             : 50000",
                      "Setting: InfTargetProfileLimitTime : 0",
                      "Setting: InfFlexCycle              : random",
                      "Setting: InfCycleTime              : 2000",
                      "Setting: InfCycleMinTime           : 0",
                      "Setting: InfLatencyBuffer          : 0",
                  }));
  EXPECT_EQ(log.count("Setting: InfFlexCycle              : Var"), 1u);
  EXPECT_EQ(log.count("Setting: InfFlexCycle              : Fix"), 1u);
}

}  // namespace
