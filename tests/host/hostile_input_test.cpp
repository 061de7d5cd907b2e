// Hostile settings for the daemon: random and mutated settings texts
// through the daemon keys and the profile groups, and random CPU range
// texts. Fixed seeds, so a failure is repeatable. Whatever the text, the
// values the daemon goes on with must be usable.
#include "host/alsa_setting.h"
#include "host/occupied_cpu.h"
#include "tests/host/log_capture.h"
#include "tests/common/seeded_rng.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <list>
#include <string>
#include <vector>

namespace {

using Rng = vtest::SeededRng;

template <size_t N>
const char* pick(Rng& rng, const char* const (&from)[N]) {
  return from[rng.below(N)];
}

const char* const kKeys[] = {
    "periodMin", "periodMax", "periodSizeMin", "periodSizeMax", "syncBufferCount", "alsaUnderrun",
    "unInitMemDet", "CpuSend", "CpuOther", "Interface", "Debug", "ThredMode", "InfoCycle",
    "TargetProfileLimitTime", "FlexCycle", "CycleTime", "CycleMinTime", "LatencyBuffer",
};

const char* const kValues[] = {
    "", "0", "1", "-1", "4", "8", "32", "38400", "6", "1024", "1025", "262144", "2147483647", "2147483648",
    "-2147483648", "4294967297", "9223372036854775807", "-9223372036854775808", "99999999999999999999",
    "abc", " 12", "12abc", "+5", "enable", "disable", "random", "Enable", "2-5", "0-3", "-5", "5-", "5-0",
    "0-0", "-", "--", "3-2147483647", "0-2147483647", "2147483647-0", "2147483647-2147483647", ",", "eth0,",
    ",,", " eth0 , eth1", "=", "==x", "\xc3\xa9",
};

const char* const kGroups[] = {"[amp:out]", "[global]", "[]", "[dev.1]", "[dev]", "[ a:b ]", "[x", "[a]b]"};

std::string randomSettingsText(Rng& rng) {
  std::string text;
  const int lines = static_cast<int>(rng.below(40));
  for (int l = 0; l < lines; ++l) {
    const uint32_t kind = rng.below(100);
    if (kind < 10) {
      text += pick(rng, kGroups);
    } else if (kind < 85) {
      text += pick(rng, kKeys);
      text += rng.chance(90) ? "=" : " = ";
      text += pick(rng, kValues);
      if (rng.chance(10)) text += pick(rng, kValues);
    } else if (kind < 95) {
      for (uint32_t i = rng.below(200); i > 0; --i) text.push_back(static_cast<char>(rng.next()));
    } else {
      text += std::string(4096 + rng.below(8192), rng.chance(50) ? '9' : ' ');
    }
    text += rng.chance(80) ? "\n" : "\r\n";
  }
  return text;
}

void expectUsable(const AlsaSetting& s, const std::string& text) {
  const std::string what = testing::PrintToString(text);
  EXPECT_GT(s.periodMin, 0) << what;
  EXPECT_GT(s.periodSizeMin, 0) << what;
  EXPECT_LE(s.periodMin, s.periodMax) << what;
  EXPECT_LE(s.periodSizeMin, s.periodSizeMax) << what;
  const int64_t ring = int64_t{s.periodMax} * s.periodSizeMax;
  EXPECT_GT(ring, 0) << what;
  EXPECT_LE(static_cast<uint64_t>(ring), MAX_RING_BYTES) << what;
  EXPECT_EQ(ring % 8, 0) << what;
  EXPECT_EQ(s.ringBytes(), static_cast<uint64_t>(ring)) << what;
  EXPECT_GE(s.syncBufferCount, 1) << what;
  EXPECT_LE(s.syncBufferCount, MAX_SYNC_BUFFER_COUNT) << what;
}

TEST(HostileDaemonSettings, RandomSettingsGiveUsableValues) {
  host_test::LogCapture log;  // every log line is built and formatted
  Rng rng(0xb1d6e);
  for (int round = 0; round < 1500; ++round) {
    const std::string text = randomSettingsText(rng);
    KALMO::FileInf inf;
    inf.set_string(text);
    AlsaSetting setting;
    std::list<std::string> interfaces;
    OccupiedCPU cpus;
    readDaemonKeys(inf, setting, interfaces, cpus);
    expectUsable(setting, text);

    const std::string names = inf.get("Interface");
    if (names.empty()) {
      EXPECT_TRUE(interfaces.empty());
    } else {
      size_t commas = 0;
      for (char c : names) commas += c == ',' ? 1 : 0;
      EXPECT_EQ(interfaces.size(), commas + 1) << testing::PrintToString(names);
    }

    // Whatever ranges the texts gave, the sending CPUs handed out come
    // from the range and every one can be given back.
    std::vector<int> handed;
    for (int i = 0; i < 6; ++i) {
      const int cpu = cpus.commitCpuSend();
      if (cpu == -1) continue;
      EXPECT_GE(static_cast<int64_t>(cpu), int64_t{cpus.cpuSend}) << testing::PrintToString(text);
      EXPECT_LT(static_cast<int64_t>(cpu), int64_t{cpus.cpuSend} + cpus.rangeSend) << testing::PrintToString(text);
      handed.push_back(cpu);
    }
    for (int cpu : handed) cpus.releaseCpuSend(cpu);
    for (int cpu : handed) EXPECT_EQ(cpus.useOf(cpu), 0);

    AlsaProfiles profiles;
    readProfiles(inf, profiles);
    size_t groups = 0;
    for (const auto& [name, keys] : inf.groups) groups += name == "global" ? 0 : 1;
    EXPECT_EQ(profiles.size(), groups + 1) << testing::PrintToString(text);
    for (const auto& [name, p] : profiles) {
      EXPECT_GT(p.cycleTime.get(), 0u) << name;
      // Every time came from a 32-bit count of microseconds (or a default).
      EXPECT_LE(p.cycleTime.get(), uint64_t{INT32_MAX} * 1'000'000) << name;
      EXPECT_LE(p.cycleMinTime.get(), uint64_t{INT32_MAX} * 1'000'000) << name;
      EXPECT_LE(p.latencyBuffer.get(), uint64_t{INT32_MAX} * 1'000'000) << name;
      EXPECT_LE(p.syncInfoCycle.get(), uint64_t{INT32_MAX} * 1'000'000) << name;
      EXPECT_LE(p.targetProfileLimitTime.get(), uint64_t{INT32_MAX} * 1'000'000) << name;
      EXPECT_FALSE(p.randomCycle && !p.flexCycle) << name;
    }
    if (HasFailure()) return;
  }
}

TEST(HostileDaemonSettings, RandomCpuRangeTexts) {
  Rng rng(0xc9a);
  const std::string alphabet = "0123456789-- +x";
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    if (rng.chance(30)) {
      text = pick(rng, kValues);
    } else {
      for (uint32_t n = rng.below(24); n > 0; --n) text.push_back(alphabet[rng.below(alphabet.size())]);
    }
    // The daemon reads each range once into -1, -1.
    int32_t first = -1;
    int32_t count = -1;
    parseCpuRange(text, first, count);
    EXPECT_GE(first, -1) << testing::PrintToString(text);
    if (text.empty()) {
      EXPECT_EQ(first, -1);
      EXPECT_EQ(count, -1);
    }
    OccupiedCPU cpus;
    cpus.cpuSend = first;
    cpus.rangeSend = count;
    cpus.resetUserCpu();
    const int cpu = cpus.commitCpuSend();
    if (count <= 0) {
      EXPECT_EQ(cpu, -1) << testing::PrintToString(text);
    }
    cpus.releaseCpuSend(cpu);
  }
}

}  // namespace
