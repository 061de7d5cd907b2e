#include "host/alsa_setting.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "base/syslog.h"
#include "host/occupied_cpu.h"

using KALMO::SysLog::NOTICE;
using KALMO::SysLog::WARNING;

namespace {

constexpr uint64_t PS_PER_US = 1'000'000;
// The longest time a profile key takes, in microseconds.
constexpr int64_t MAX_TIME_US = INT32_MAX;
// The longest shortest info interval: the default interval.
constexpr uint64_t INFO_FLOOR_MAX_PS = 100'000 * PS_PER_US;
// The worker mode bits the streaming worker knows: 1 to 2048.
constexpr int64_t THRED_MODE_BITS = 0xFFF;
// The shortest cycle the worker keeps, in the Clock's picoseconds.
constexpr uint64_t MIN_CYCLE_PS = uint64_t{MIN_CYCLE_TIME_US} * PS_PER_US;

// Base-10 strtol of the text, cut to a signed 32-bit number.
int32_t number32(const std::string& text) {
  return static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10));
}

// Base-10 strtoll of the text, kept at the 64-bit ends when beyond them:
// a number too large never wraps round to a small or negative one.
int64_t number64(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }

const char* onOff(bool on) { return on ? "enable" : "disable"; }

// Why a period set cannot be used, or null when it can.
const char* periodSetProblem(const AlsaSetting& s) {
  const int64_t ring = int64_t{s.periodMax} * int64_t{s.periodSizeMax};
  if (ring <= 0) return "ring size not above 0";
  if (static_cast<uint64_t>(ring) > MAX_RING_BYTES) return "ring size above 268435456";
  if (ring % 8 != 0) return "ring size not a multiple of 8";
  if (s.periodMin > s.periodMax) return "periodMin above periodMax";
  if (s.periodSizeMin > s.periodSizeMax) return "periodSizeMin above periodSizeMax";
  return nullptr;
}

void readPeriodKeys(const KALMO::FileInf& settings, AlsaSetting& setting) {
  struct Key {
    const char* name;
    int32_t AlsaSetting::*field;
  };
  static constexpr Key keys[] = {{"periodMin", &AlsaSetting::periodMin},
                                 {"periodSizeMax", &AlsaSetting::periodSizeMax},
                                 {"periodMax", &AlsaSetting::periodMax},
                                 {"periodSizeMin", &AlsaSetting::periodSizeMin}};
  AlsaSetting read = setting;
  for (const Key& k : keys) {
    const int32_t v = static_cast<int32_t>(settings.get64(k.name));
    if (v > 0) read.*k.field = v;
  }
  // The four values only make sense together: the ring they give must fit
  // the driver's argument and keep the control block aligned. A set that
  // fails goes back to the defaults as a whole.
  if (const char* problem = periodSetProblem(read)) {
    const AlsaSetting defaults;
    WARNING << "Setting: period keys refused (" << problem << "): periodMin " << read.periodMin
            << " periodMax " << read.periodMax << " periodSizeMin " << read.periodSizeMin
            << " periodSizeMax " << read.periodSizeMax << "; using the defaults";
    read.periodMin = defaults.periodMin;
    read.periodMax = defaults.periodMax;
    read.periodSizeMin = defaults.periodSizeMin;
    read.periodSizeMax = defaults.periodSizeMax;
  }
  // A set that holds is still of no use when its periods are too small for
  // a stream to keep up (a ring of 4 periods of 8 bytes never ends a play):
  // the largest period is held at the smallest that streams, which only
  // widens what the card offers.
  if (read.periodSizeMax < MIN_PERIOD_SIZE_MAX) {
    AlsaSetting held = read;
    held.periodSizeMax = MIN_PERIOD_SIZE_MAX;
    if (periodSetProblem(held) == nullptr) {
      WARNING << "Setting: periodSizeMax " << read.periodSizeMax << " held at " << held.periodSizeMax;
      read = held;
    } else {
      // Only a ring beyond the driver's limit: periodMax follows.
      held.periodMax = static_cast<int32_t>(MAX_RING_BYTES / uint64_t{MIN_PERIOD_SIZE_MAX});
      if (periodSetProblem(held) == nullptr) {
        WARNING << "Setting: periodSizeMax " << read.periodSizeMax << " held at " << held.periodSizeMax;
        WARNING << "Setting: periodMax " << read.periodMax << " held at " << held.periodMax;
        read = held;
      } else {
        const AlsaSetting defaults;
        WARNING << "Setting: period keys refused (periods too small): periodMin " << read.periodMin
                << " periodMax " << read.periodMax << " periodSizeMin " << read.periodSizeMin
                << " periodSizeMax " << read.periodSizeMax << "; using the defaults";
        read.periodMin = defaults.periodMin;
        read.periodMax = defaults.periodMax;
        read.periodSizeMin = defaults.periodSizeMin;
        read.periodSizeMax = defaults.periodSizeMax;
      }
    }
  }
  setting.periodMin = read.periodMin;
  setting.periodMax = read.periodMax;
  setting.periodSizeMin = read.periodSizeMin;
  setting.periodSizeMax = read.periodSizeMax;
}

// A CPU key whose text gives no range at all is named, so that an operator
// sees why nothing is pinned; the result stays what the rule gives.
void checkCpuRange(const char* key, const std::string& text, int32_t first, int32_t count) {
  if (text.empty() || (first >= 0 && count > 0)) return;
  if (first >= 0 && count <= 0 && text.find('-') != std::string::npos) {
    WARNING << "Setting: " << key << " " << text << " is a reversed range (first CPU above the last); none used";
  } else {
    WARNING << "Setting: " << key << " " << text << " gives no CPU range; none used";
  }
}

// Group lines without their closing "]" are ignored by the settings file;
// the keys after such a line stay where they were going.
void warnUnclosedGroups(const KALMO::FileInf& settings) {
  for (const KALMO::FileInf::UnclosedGroup& g : settings.unclosedGroups) {
    WARNING << "Setting: group line \"" << g.line << "\" has no closing \"]\" and is ignored; the keys after it"
            << " stay in \"" << g.keysGoTo << "\"";
  }
}

// A time of `us` microseconds held within [minUs, maxUs], with one warning
// giving it as `shown` when it is outside.
void holdTime(int64_t us, const std::string& shown, const char* key, int64_t minUs, int64_t maxUs,
              const std::string& in, KALMO::Clock& out) {
  const int64_t held = std::clamp(us, minUs, maxUs);
  if (held != us) WARNING << "Setting: " << key << " " << shown << " held at " << held << in;
  out = static_cast<uint64_t>(held) * PS_PER_US;
}

// A microsecond key of a profile whose text is there: true with the time in
// picoseconds, held within [minUs, maxUs] with one warning when it is
// outside; false, with a warning, for a negative number, which is no time.
// Warnings give the text as the file has it.
bool readTime(const std::string& text, const char* key, int64_t minUs, int64_t maxUs, const std::string& in,
              KALMO::Clock& out) {
  const int64_t us = number64(text);
  if (us < 0) {
    WARNING << "Setting: " << key << " refused: " << text << in;
    return false;
  }
  holdTime(us, text, key, minUs, maxUs, in, out);
  return true;
}

}  // namespace

std::list<std::string> splitInterfaces(const std::string& text) {
  std::list<std::string> list;
  if (text.empty()) return list;
  const std::string all = text + ",";
  std::size_t start = 0;
  for (std::size_t comma = all.find(','); comma != std::string::npos;
       comma = all.find(',', start)) {
    list.push_back(all.substr(start, comma - start));
    start = comma + 1;
  }
  return list;
}

void parseCpuRange(const std::string& text, int32_t& first, int32_t& count) {
  if (text.empty()) return;
  const std::size_t dash = text.find('-');
  if (dash == std::string::npos) {
    if (text == "0") {
      first = 0;
      count = 1;
    } else if (const int32_t n = number32(text); n > 0) {
      first = n;
      count = 1;
    }
    return;
  }
  const std::string a = text.substr(0, dash);
  const std::string b = text.substr(dash + 1);
  if (a == "0") {
    first = 0;
  } else if (const int32_t n = number32(a); n > 0) {
    first = n;
  }
  if (b == "0") {
    count = 1 - first;
  } else if (const int32_t n = number32(b); n > 0) {
    // 0-2147483647 holds one CPU more than a signed count can; the CPU
    // table is bounded later anyway, so keep the count at its largest.
    count = static_cast<int32_t>(std::min<int64_t>(int64_t{n} - first + 1, INT32_MAX));
  }
}

void readDaemonKeys(KALMO::FileInf& settings, AlsaSetting& setting,
                    std::list<std::string>& interfaces, OccupiedCPU& cpus) {
  warnUnclosedGroups(settings);
  settings.set_current_group("global");
  interfaces = splitInterfaces(settings.get("Interface"));

  readPeriodKeys(settings, setting);
  NOTICE << "Setting: periodSizeMin  : " << static_cast<uint32_t>(setting.periodSizeMin);
  NOTICE << "Setting: periodSizeMax  : " << static_cast<uint32_t>(setting.periodSizeMax);
  NOTICE << "Setting: periodMin      : " << static_cast<uint32_t>(setting.periodMin);
  NOTICE << "Setting: periodMax      : " << static_cast<uint32_t>(setting.periodMax);

  if (const int64_t count = settings.get64("syncBufferCount"); count > 0) {
    // Every block of a node's stream buffer holds one period of up to
    // periodSizeMax bytes: together they stay within what one ring may take.
    const int64_t cap =
        std::min<int64_t>(MAX_SYNC_BUFFER_COUNT,
                          static_cast<int64_t>(MAX_RING_BYTES / uint64_t(setting.periodSizeMax)));
    setting.syncBufferCount = count;
    if (setting.syncBufferCount > cap) {
      WARNING << "Setting: syncBufferCount " << settings.get("syncBufferCount") << " held at " << cap;
      setting.syncBufferCount = cap;
    }
  }
  NOTICE << "Setting: syncBufferCount: " << static_cast<uint64_t>(setting.syncBufferCount);

  setting.alsaUnderrun = settings.get("alsaUnderrun") == "enable";
  NOTICE << "Setting: alsaUnderrun   : " << onOff(setting.alsaUnderrun);
  setting.unInitMemDet = settings.get("unInitMemDet") == "enable";
  NOTICE << "Setting: unInitMemDet   : " << onOff(setting.unInitMemDet);

  const std::string send = settings.get("CpuSend");
  parseCpuRange(send, cpus.cpuSend, cpus.rangeSend);
  checkCpuRange("CpuSend", send, cpus.cpuSend, cpus.rangeSend);
  const std::string other = settings.get("CpuOther");
  parseCpuRange(other, cpus.cpuOther, cpus.rangeOther);
  checkCpuRange("CpuOther", other, cpus.cpuOther, cpus.rangeOther);
  cpus.resetUserCpu();
  NOTICE << "Setting: InfCpuSend      : " << cpus.cpuSend;
  NOTICE << "Setting: InfRengSend     : " << cpus.rangeSend;
  NOTICE << "Setting: InfCpuOther     : " << cpus.cpuOther;
  NOTICE << "Setting: InfRengOther    : " << cpus.rangeOther;
}

AlsaProfile::AlsaProfile()
    : targetProfileLimitTime(0),
      flexCycle(false),
      randomCycle(false),
      cycleTime(1'000'000'000),
      cycleMinTime(0),
      latencyBuffer(0),
      syncWorkerMode(1),
      syncInfoCycle(100'000'000'000) {}

void AlsaProfile::dump() const {
  NOTICE << "Setting: syncWorkerMode            : " << syncWorkerMode;
  NOTICE << "Setting: syncInfoCycle             : " << syncInfoCycle.get() / PS_PER_US;
  NOTICE << "Setting: InfTargetProfileLimitTime : " << targetProfileLimitTime.get() / PS_PER_US;
  NOTICE << "Setting: InfFlexCycle              : "
         << (randomCycle ? "random" : flexCycle ? "Var" : "Fix");
  NOTICE << "Setting: InfCycleTime              : " << cycleTime.get() / PS_PER_US;
  NOTICE << "Setting: InfCycleMinTime           : " << cycleMinTime.get() / PS_PER_US;
  NOTICE << "Setting: InfLatencyBuffer          : " << latencyBuffer.get() / PS_PER_US;
}

void loadProfileGroup(const KALMO::FileInf& settings, AlsaProfiles& profiles,
                      const std::string& name) {
  const std::string in = name.empty() ? std::string() : " in [" + name + "]";
  // Copied first: for the empty name the target is the default itself.
  const AlsaProfile defaults = profiles[""];
  AlsaProfile& p = profiles[name];

  // The worker reads only the documented bits; any other (a negative
  // number has them all) would be taken without effect.
  std::string text = settings.get("ThredMode");
  if (text.empty()) {
    p.syncWorkerMode = defaults.syncWorkerMode;
  } else {
    const int64_t mode = number64(text);
    p.syncWorkerMode = static_cast<int32_t>(mode & THRED_MODE_BITS);
    if (p.syncWorkerMode != mode) WARNING << "Setting: ThredMode " << text << " held at " << p.syncWorkerMode << in;
  }

  text = settings.get("TargetProfileLimitTime");
  if (text.empty() || !readTime(text, "TargetProfileLimitTime", 0, MAX_TIME_US, in, p.targetProfileLimitTime)) {
    p.targetProfileLimitTime = defaults.targetProfileLimitTime;
  }

  text = settings.get("FlexCycle");
  if (text.empty()) {
    p.flexCycle = defaults.flexCycle;
    p.randomCycle = defaults.randomCycle;
  } else {
    p.flexCycle = text == "enable" || text == "random";
    p.randomCycle = text == "random";
  }

  // 0 sets none of these. A cycle shorter than the worker can keep is late
  // every time: it sends a burst of doubled cycles and a warning each, and
  // the stream crawls. The handshake carries the latency in 16 bits of
  // 100 us: a longer one would wrap round to a short latency, or to none at
  // all (the target's own). A copied default is already held, so only a
  // group's own value warns.
  struct NonZeroTime {
    const char* key;
    KALMO::Clock AlsaProfile::*field;
    int64_t minUs, maxUs;
  };
  static constexpr NonZeroTime times[] = {
      {"CycleTime", &AlsaProfile::cycleTime, MIN_CYCLE_TIME_US, MAX_TIME_US},
      {"CycleMinTime", &AlsaProfile::cycleMinTime, 0, MAX_TIME_US},
      {"LatencyBuffer", &AlsaProfile::latencyBuffer, 0, MAX_LATENCY_BUFFER_US}};
  for (const NonZeroTime& t : times) {
    text = settings.get(t.key);
    if (number64(text) == 0 || !readTime(text, t.key, t.minUs, t.maxUs, in, p.*t.field)) {
      p.*t.field = defaults.*t.field;
    }
  }

  // Info requests ride on the last packet of a cycle, and a target not
  // heard from for four intervals is sent a status request as well: an
  // interval shorter than the cycle asks no more often, but takes a target
  // for silent sooner than it can answer (at 0, on every cycle). It is held
  // at the cycle, or at the default interval for longer cycles: a longer
  // interval also lengthens the silence that ends a stream and the wait
  // for the target's last answer, and one status request per long cycle
  // costs nothing. Read after the cycle, so that one warning covers it.
  text = settings.get("InfoCycle");
  const int64_t floorUs = static_cast<int64_t>(std::min(p.cycleTime.get(), INFO_FLOOR_MAX_PS) / PS_PER_US);
  if (text.empty() || !readTime(text, "InfoCycle", floorUs, MAX_TIME_US, in, p.syncInfoCycle)) {
    // A short interval given in "global" meets a longer cycle of a group.
    const auto us = static_cast<int64_t>(defaults.syncInfoCycle.get() / PS_PER_US);
    holdTime(us, std::to_string(us), "InfoCycle", floorUs, MAX_TIME_US, in, p.syncInfoCycle);
  }
}

void readProfiles(KALMO::FileInf& settings, AlsaProfiles& profiles) {
  settings.set_current_group("global");
  loadProfileGroup(settings, profiles, "");
  for (const auto& [group, keys] : settings.groups) {
    if (group == "global") continue;
    NOTICE << "Load Setting : " << group;
    settings.set_current_group(group);
    loadProfileGroup(settings, profiles, group);
  }
  for (const auto& [key, profile] : profiles) {
    NOTICE << "Setting: Target Name : " << (key.empty() ? std::string("globale") : key);
    profile.dump();
  }
}

namespace {

// Bytes of one frame in the ring and bytes the format carries a second.
struct ByteRate {
  uint64_t frameBytes;
  uint64_t bytesPerSecond;
};

ByteRate byteRateOf(const VELLORA::FormatConfigure& format) {
  return {uint64_t{format.getWid()} * format.getChannel(),
          static_cast<uint64_t>(format.getSpeed()) * format.getBits() * format.getChannel() / 8};
}

}  // namespace

int64_t streamBlocksFor(const AlsaSetting& setting, KALMO::Clock cycle, unsigned long frames,
                        const VELLORA::FormatConfigure& format) {
  const int64_t count = setting.syncBufferCount;
  const auto [frameBytes, bytesPerSecond] = byteRateOf(format);
  if (frames == 0 || frameBytes == 0 || bytesPerSecond == 0) return count;
  // Blocks one cycle takes, rounded up, in exact integers: a cycle of up to
  // 2^31 us times any byte rate stays far within 128 bits.
  using Wide = unsigned __int128;
  const Wide cycleBytes = Wide{cycle.get()} * bytesPerSecond;
  const Wide blockUnit = Wide{1'000'000'000'000ULL} * frameBytes * frames;
  const Wide needed = (cycleBytes + blockUnit - 1) / blockUnit + 1;
  const int64_t blocks =
      needed > Wide{uint64_t{INT64_MAX}} ? INT64_MAX : static_cast<int64_t>(static_cast<uint64_t>(needed));
  if (blocks <= count) return count;
  const uint64_t blockBytes = uint64_t{frames} * frameBytes;
  const int64_t cap = std::max<int64_t>(
      count, std::min<int64_t>(MAX_SYNC_BUFFER_COUNT, static_cast<int64_t>(MAX_RING_BYTES / blockBytes)));
  const uint64_t cycleUs = cycle.get() / PS_PER_US;
  if (blocks > cap) {
    if (cap > count) {
      WARNING << "Setting: syncBufferCount " << count << " raised to " << cap << " for a cycle of " << cycleUs
              << " us, which needs " << blocks << " blocks of " << frames << " frames";
    } else {
      WARNING << "Setting: syncBufferCount " << count << " holds less than a cycle of " << cycleUs
              << " us, which needs " << blocks << " blocks of " << frames << " frames";
    }
    return cap;
  }
  WARNING << "Setting: syncBufferCount " << count << " raised to " << blocks << " for a cycle of " << cycleUs
          << " us";
  return blocks;
}

KALMO::Clock cycleForCard(KALMO::Clock cycle, uint64_t bufferBytes, const VELLORA::FormatConfigure& format) {
  const auto [frameBytes, bytesPerSecond] = byteRateOf(format);
  if (frameBytes == 0 || bytesPerSecond == 0) return cycle;
  // Half the buffer in whole frames, as time: frames x 10^12 / frame rate.
  using Wide = unsigned __int128;
  const Wide halfFrames = bufferBytes / 2 / frameBytes;
  const Wide halfPs = halfFrames * 1'000'000'000'000ULL * frameBytes / bytesPerSecond;
  if (Wide{cycle.get()} <= halfPs || cycle.get() <= MIN_CYCLE_PS) return cycle;
  const uint64_t held = std::max<uint64_t>(static_cast<uint64_t>(halfPs), MIN_CYCLE_PS);
  WARNING << "Setting: CycleTime " << cycle.get() / PS_PER_US << " held at " << held / PS_PER_US
          << " for a card buffer of " << bufferBytes << " bytes";
  return KALMO::Clock(held);
}

KALMO::Clock shortestForCycle(KALMO::Clock shortest, KALMO::Clock cycle) {
  if (shortest.get() == 0 || shortest.get() < cycle.get()) return shortest;
  uint64_t held = std::max<uint64_t>(cycle.get() / 2, MIN_CYCLE_PS);
  if (held >= cycle.get()) held = cycle.get() > PS_PER_US ? cycle.get() - PS_PER_US : 0;
  WARNING << "Setting: CycleMinTime " << shortest.get() / PS_PER_US << " held at " << held / PS_PER_US
          << " for a cycle of " << cycle.get() / PS_PER_US << " us";
  return KALMO::Clock(held);
}
