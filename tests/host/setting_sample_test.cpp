// The commented sample settings file beside the daemon's sources: it loads
// with the daemon's own loader, names every key the daemon reads (and no
// other), and gives what it says: the defaults in "global", and the kind of
// profile each example group describes.
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <list>
#include <set>
#include <string>
#include <vector>

#include "base/file_inf.h"
#include "host/alsa_setting.h"
#include "host/occupied_cpu.h"
#include "tests/host/log_capture.h"

namespace {

constexpr uint64_t US = 1'000'000;

std::string directoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// The sample, found from this source file or from the test binary (build
// directories sit in the source tree).
std::string samplePath() {
  std::vector<std::string> candidates{directoryOf(__FILE__) + "/../../host/setting.inf.sample"};
  char exe[PATH_MAX] = {};
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) {
    const std::string bin = directoryOf(std::string(exe, static_cast<size_t>(n)));
    candidates.push_back(bin + "/../../host/setting.inf.sample");
    candidates.push_back(bin + "/../../../host/setting.inf.sample");
  }
  for (const std::string& c : candidates) {
    if (::access(c.c_str(), R_OK) == 0) return c;
  }
  return "";
}

struct Loaded {
  KALMO::FileInf inf;
  AlsaSetting setting;
  std::list<std::string> interfaces;
  OccupiedCPU cpus;
  AlsaProfiles profiles;
  std::set<std::string> read;  // every key the reader asked for
};

// Loads a settings file as the daemon does and reads it with the daemon's
// readers, recording the keys they ask for.
bool loadAsTheDaemon(const std::string& path, Loaded& l) {
  if (!l.inf.load(path, 0)) return false;
  l.inf.set_current_group("global");
  l.inf.lookups = &l.read;
  readDaemonKeys(l.inf, l.setting, l.interfaces, l.cpus);
  readProfiles(l.inf, l.profiles);
  l.inf.lookups = nullptr;
  // The daemon's entry reads this one itself, to set up logging first.
  l.read.insert("Debug");
  return true;
}

TEST(SettingSample, NamesEveryKeyTheDaemonReads) {
  const std::string path = samplePath();
  ASSERT_FALSE(path.empty()) << "host/setting.inf.sample not found";
  host_test::LogCapture log;
  Loaded l;
  ASSERT_TRUE(loadAsTheDaemon(path, l)) << path;

  std::set<std::string> inGlobal, inGroups;
  for (const auto& [group, keys] : l.inf.groups) {
    for (const auto& [key, unit] : keys) (group == "global" ? inGlobal : inGroups).insert(key);
  }
  EXPECT_EQ(inGlobal, l.read) << "every key read, and only those, with its default in \"global\"";
  for (const std::string& key : inGroups) {
    EXPECT_EQ(l.read.count(key), 1u) << key << " in a group is a key the daemon does not read";
  }
  EXPECT_TRUE(log.starting("Setting: group line").empty());
  // The file as written holds no value that needs holding.
  for (const std::string& line : log.all()) {
    EXPECT_EQ(line.find(" held at "), std::string::npos) << line;
    EXPECT_EQ(line.find("refused"), std::string::npos) << line;
  }
}

TEST(SettingSample, GivesTheDefaultsAndTheProfilesItDescribes) {
  const std::string path = samplePath();
  ASSERT_FALSE(path.empty()) << "host/setting.inf.sample not found";
  host_test::LogCapture log;
  Loaded l;
  ASSERT_TRUE(loadAsTheDaemon(path, l)) << path;

  const AlsaSetting d;
  EXPECT_EQ(l.setting.periodMin, d.periodMin);
  EXPECT_EQ(l.setting.periodMax, d.periodMax);
  EXPECT_EQ(l.setting.periodSizeMin, d.periodSizeMin);
  EXPECT_EQ(l.setting.periodSizeMax, d.periodSizeMax);
  EXPECT_EQ(l.setting.syncBufferCount, d.syncBufferCount);
  EXPECT_FALSE(l.setting.alsaUnderrun) << "off whenever a settings file is loaded";
  EXPECT_EQ(l.setting.unInitMemDet, d.unInitMemDet);
  EXPECT_TRUE(l.interfaces.empty());
  EXPECT_EQ(l.cpus.cpuSend, -1);
  EXPECT_EQ(l.cpus.rangeSend, -1);
  EXPECT_EQ(l.cpus.cpuOther, -1);
  EXPECT_EQ(l.cpus.rangeOther, -1);

  const AlsaProfile p;
  const AlsaProfile& g = l.profiles.at("");
  EXPECT_EQ(g.targetProfileLimitTime.get(), p.targetProfileLimitTime.get());
  EXPECT_EQ(g.flexCycle, p.flexCycle);
  EXPECT_EQ(g.randomCycle, p.randomCycle);
  EXPECT_EQ(g.cycleTime.get(), p.cycleTime.get());
  EXPECT_EQ(g.cycleMinTime.get(), p.cycleMinTime.get());
  EXPECT_EQ(g.latencyBuffer.get(), p.latencyBuffer.get());
  EXPECT_EQ(g.syncWorkerMode, p.syncWorkerMode);
  EXPECT_EQ(g.syncInfoCycle.get(), p.syncInfoCycle.get());

  ASSERT_EQ(l.profiles.size(), 5u);
  const AlsaProfile& fixed = l.profiles.at("amp:left");
  EXPECT_FALSE(fixed.flexCycle);
  EXPECT_EQ(fixed.cycleTime.get(), 2000 * US);
  const AlsaProfile& var = l.profiles.at("amp:right");
  EXPECT_TRUE(var.flexCycle);
  EXPECT_FALSE(var.randomCycle);
  EXPECT_EQ(var.latencyBuffer.get(), 20000 * US);
  const AlsaProfile& random = l.profiles.at("den:out");
  EXPECT_TRUE(random.randomCycle);
  EXPECT_EQ(random.cycleMinTime.get(), 500 * US);
  EXPECT_LT(random.cycleMinTime.get(), random.cycleTime.get());
  const AlsaProfile& automatic = l.profiles.at("studio:main");
  EXPECT_EQ(automatic.targetProfileLimitTime.get(), 500 * US);
  EXPECT_EQ(automatic.syncWorkerMode, 17);
  EXPECT_EQ(automatic.cycleTime.get(), p.cycleTime.get()) << "the rest comes from the default profile";
}

}  // namespace
