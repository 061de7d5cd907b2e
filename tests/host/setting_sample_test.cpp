// The commented sample settings file beside the daemon's sources: it loads
// with the daemon's own loader, names every key the daemon reads (and no
// other), and gives what it says: the defaults in "global", and the kind of
// profile each example group describes.
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <list>
#include <map>
#include <sstream>
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

// The comment lines right above the line of `key` in the sample, joined by
// blanks without their "# "; for the empty key, the comment the file opens
// with.
std::string commentAbove(const std::string& sample, const std::string& key) {
  std::vector<std::string> lines;
  std::istringstream in(sample);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  size_t at = 0;
  if (key.empty()) {
    while (at < lines.size() && lines[at].compare(0, 1, "#") == 0) ++at;
  } else {
    while (at < lines.size() && lines[at].compare(0, key.size() + 1, key + "=") != 0) ++at;
    if (at == lines.size()) return "";
  }
  std::string text;
  for (size_t first = at; first > 0 && lines[first - 1].compare(0, 1, "#") == 0;) {
    --first;
    std::string line = lines[first].substr(1);
    if (!line.empty() && line[0] == ' ') line.erase(0, 1);
    text = line + (text.empty() ? "" : " " + text);
  }
  return text;
}

// What the sample says of a key's values, next to what the readers do with
// such a value: the value used and the one warning (or none).
TEST(SettingSample, SaysWhatTheReadersDoWithEachValue) {
  const std::string path = samplePath();
  ASSERT_FALSE(path.empty()) << "host/setting.inf.sample not found";
  std::ifstream file(path);
  std::stringstream sample;
  sample << file.rdbuf();

  struct Case {
    const char* commentOf;  // the key line the comment stands above ("": the file's opening comment)
    const char* says;
    const char* text;
    const char* key;  // whose value is checked, in the default profile for a profile key
    int64_t value;    // microseconds for times
    const char* warning;
  };
  const Case cases[] = {
      {"", "a negative time is refused with a warning and keeps the default", "CycleTime=-5", "CycleTime", 1000,
       "Setting: CycleTime refused: -5"},
      {"", "a text that does not start with one reads as 0", "ThredMode=abc", "ThredMode", 0, nullptr},
      {"periodMin", "periodSizeMax is at least 1536: a smaller one is held there",
       "periodMax=4\nperiodSizeMax=8", "periodSizeMax", 1536, "Setting: periodSizeMax 8 held at 1536"},
      {"periodMin", "Each 1 or more (below 1: not set)", "periodMax=0", "periodMax", 32, nullptr},
      {"syncBufferCount", "1 to 1024 and no more than 268435456 / periodSizeMax", "syncBufferCount=1025",
       "syncBufferCount", 1024, "Setting: syncBufferCount 1025 held at 1024"},
      {"syncBufferCount", "1 to 1024 and no more than 268435456 / periodSizeMax",
       "periodMax=4\nperiodSizeMax=67108864\nsyncBufferCount=5", "syncBufferCount", 4,
       "Setting: syncBufferCount 5 held at 4"},
      {"syncBufferCount", "(below 1: not set)", "syncBufferCount=0", "syncBufferCount", 8, nullptr},
      {"ThredMode", "so 4096 at 0 and -1 at 4095", "ThredMode=4096", "ThredMode", 0,
       "Setting: ThredMode 4096 held at 0"},
      {"ThredMode", "so 4096 at 0 and -1 at 4095", "ThredMode=-1", "ThredMode", 4095,
       "Setting: ThredMode -1 held at 4095"},
      {"InfoCycle", "from the transfer cycle (CycleTime, but no more than 100000) to 2147483647", "InfoCycle=0",
       "InfoCycle", 1000, "Setting: InfoCycle 0 held at 1000"},
      {"InfoCycle", "from the transfer cycle (CycleTime, but no more than 100000) to 2147483647",
       "CycleTime=2000000\nInfoCycle=0", "InfoCycle", 100000, "Setting: InfoCycle 0 held at 100000"},
      {"InfoCycle", "from the transfer cycle (CycleTime, but no more than 100000) to 2147483647",
       "InfoCycle=2147483648", "InfoCycle", 2147483647, "Setting: InfoCycle 2147483648 held at 2147483647"},
      {"TargetProfileLimitTime", "0 to 2147483647", "TargetProfileLimitTime=2147483648", "TargetProfileLimitTime",
       2147483647, "Setting: TargetProfileLimitTime 2147483648 held at 2147483647"},
      {"CycleTime", "400 to 2147483647 microseconds (0 is not set: the default 1000 here", "CycleTime=399",
       "CycleTime", 400, "Setting: CycleTime 399 held at 400"},
      {"CycleTime", "400 to 2147483647 microseconds (0 is not set: the default 1000 here",
       "CycleTime=2147483648\nInfoCycle=2147483647", "CycleTime", 2147483647,
       "Setting: CycleTime 2147483648 held at 2147483647"},
      {"CycleTime", "400 to 2147483647 microseconds (0 is not set: the default 1000 here", "CycleTime=0",
       "CycleTime", 1000, nullptr},
      {"CycleMinTime", "at most 2147483647", "CycleMinTime=2147483648", "CycleMinTime", 2147483647,
       "Setting: CycleMinTime 2147483648 held at 2147483647"},
      {"LatencyBuffer", "0 to 6553500 microseconds", "LatencyBuffer=6553501", "LatencyBuffer", 6553500,
       "Setting: LatencyBuffer 6553501 held at 6553500"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string comment = commentAbove(sample.str(), c.commentOf);
    EXPECT_NE(comment.find(c.says), std::string::npos) << "the sample says, above " << c.commentOf << ": "
                                                       << comment;
    host_test::LogCapture log;
    KALMO::FileInf inf;
    inf.set_string(c.text);
    AlsaSetting setting;
    std::list<std::string> interfaces;
    OccupiedCPU cpus;
    AlsaProfiles profiles;
    readDaemonKeys(inf, setting, interfaces, cpus);
    readProfiles(inf, profiles);
    const AlsaProfile& p = profiles.at("");
    auto us = [](KALMO::Clock t) { return static_cast<int64_t>(t.get() / US); };
    const std::map<std::string, int64_t> values{{"periodSizeMax", setting.periodSizeMax},
                                                {"periodMax", setting.periodMax},
                                                {"syncBufferCount", setting.syncBufferCount},
                                                {"ThredMode", p.syncWorkerMode},
                                                {"InfoCycle", us(p.syncInfoCycle)},
                                                {"TargetProfileLimitTime", us(p.targetProfileLimitTime)},
                                                {"CycleTime", us(p.cycleTime)},
                                                {"CycleMinTime", us(p.cycleMinTime)},
                                                {"LatencyBuffer", us(p.latencyBuffer)}};
    ASSERT_EQ(values.count(c.key), 1u) << c.key;
    EXPECT_EQ(values.at(c.key), c.value) << c.key;
    std::vector<std::string> warnings;
    for (const std::string& l : log.starting("Setting: ")) {
      if (l.find(" held at ") != std::string::npos || l.find(" refused") != std::string::npos) warnings.push_back(l);
    }
    EXPECT_EQ(warnings, c.warning ? std::vector<std::string>{c.warning} : std::vector<std::string>{});
  }
}

}  // namespace
