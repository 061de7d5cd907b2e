#pragma once
// The daemon's settings from its settings file: the ring geometry of every
// card and the stream buffer (AlsaSetting), the transfer profile of each
// target output port (AlsaProfile), the discovery interfaces and the CPU
// ranges. Read once at start-up.

#include <cstdint>
#include <list>
#include <map>
#include <string>

#include "base/clock.h"
#include "base/file_inf.h"

class OccupiedCPU;

struct AlsaSetting {
  int32_t periodMax = 32;
  int32_t periodMin = 4;
  int32_t periodSizeMax = 38400;
  int32_t periodSizeMin = 6;
  int64_t syncBufferCount = 8;
  bool alsaUnderrun = true;
  bool unInitMemDet = false;

  // Bytes of every card's ring: periodMax x periodSizeMax. The settings
  // reader keeps the product positive, a multiple of 8 and within
  // MAX_RING_BYTES.
  uint32_t ringBytes() const {
    return static_cast<uint32_t>(periodMax) * static_cast<uint32_t>(periodSizeMax);
  }
};

// Largest ring the settings may ask of the driver for one card.
constexpr uint64_t MAX_RING_BYTES = 256u * 1024u * 1024u;
// Largest number of stream blocks between a card and its stream.
constexpr int64_t MAX_SYNC_BUFFER_COUNT = 1024;
// Largest latency the stream handshake can ask of a target: 16 bits of
// 100 us units.
constexpr int32_t MAX_LATENCY_BUFFER_US = 65535 * 100;

struct AlsaProfile {
  AlsaProfile();

  // Writes the profile's seven notice lines.
  void dump() const;

  KALMO::Clock targetProfileLimitTime;
  bool flexCycle;
  bool randomCycle;
  KALMO::Clock cycleTime;
  KALMO::Clock cycleMinTime;
  KALMO::Clock latencyBuffer;
  int32_t syncWorkerMode;
  KALMO::Clock syncInfoCycle;
};

using AlsaProfiles = std::map<std::string, AlsaProfile>;

// Reads the daemon keys of group "global" (all but "Debug") from a loaded
// settings file and writes their notice lines. Values that break a rule
// keep what was there before.
void readDaemonKeys(KALMO::FileInf& settings, AlsaSetting& setting,
                    std::list<std::string>& interfaces, OccupiedCPU& cpus);

// Reads the profile keys of the current group into the entry `name`; a key
// that is absent or not taken copies the default profile (entry "").
void loadProfileGroup(const KALMO::FileInf& settings, AlsaProfiles& profiles,
                      const std::string& name);

// The default profile from "global", then one profile per other group, then
// the notice lines of every profile.
void readProfiles(KALMO::FileInf& settings, AlsaProfiles& profiles);

// The interface list of the "Interface" text: cut at every ",", pieces kept
// exactly as written.
std::list<std::string> splitInterfaces(const std::string& text);

// One CPU range text ("3" or "2-5") applied to first and count.
void parseCpuRange(const std::string& text, int32_t& first, int32_t& count);
