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
#include "protocol/format_configure.h"

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
// Shortest transfer cycle: the host's own limit cycle of the profile
// computations. A shorter one runs the real-time worker late on every cycle.
constexpr int32_t MIN_CYCLE_TIME_US = 400;
// Smallest periodSizeMax offered to a card. Every block of the stream
// buffer is one period; at the heaviest stream the card path carries
// (192 kHz, 32-bit, 8 channels: 6144 bytes a millisecond) the default 8
// blocks of this size still hold two default cycles of 1 ms. Smaller periods
// cost a driver notification and a buffer-worker pass each, and a ring of a
// few of them cannot keep up with the stream at all.
constexpr int32_t MIN_PERIOD_SIZE_MAX = 1536;

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
// settings file and writes their notice lines. Values a key reads as not
// set keep what was there before; values that cannot work are held at the
// nearest that can, with one warning giving the value as written.
void readDaemonKeys(KALMO::FileInf& settings, AlsaSetting& setting,
                    std::list<std::string>& interfaces, OccupiedCPU& cpus);

// Reads the profile keys of the current group into the entry `name`; a key
// that is absent or not taken copies the default profile (entry ""). A
// value that cannot work is held at the nearest that can (the info interval
// at least the cycle, up to 100 ms), with one warning giving the value as
// written.
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

// Blocks of the stream buffer for a stream of this cycle, whose blocks hold
// `frames` frames of `format`: the configured syncBufferCount, or, when one
// cycle takes more audio than that, the blocks of one cycle and one more
// (the streaming worker takes a whole cycle's audio at once; a buffer that
// holds less inserts silence every cycle). Kept within
// MAX_SYNC_BUFFER_COUNT and what one ring may take; a count raised or still
// short is named in a warning.
int64_t streamBlocksFor(const AlsaSetting& setting, KALMO::Clock cycle, unsigned long frames,
                        const VELLORA::FormatConfigure& format);

// The transfer cycle for a card whose application chose a buffer of
// `bufferBytes` bytes of `format`: the profile's cycle, or half the card's
// buffer when that is shorter (the streaming worker takes a whole cycle's
// audio from the card at once; the other half is what the application
// writes ahead meanwhile, so a longer cycle overtakes it and streams stale
// ring bytes), never below MIN_CYCLE_TIME_US. A cycle held is named in a
// warning.
KALMO::Clock cycleForCard(KALMO::Clock cycle, uint64_t bufferBytes, const VELLORA::FormatConfigure& format);

// The shortest draw of a random cycle for a cycle `cycle` (the one the card
// buffer left): `shortest` while it is 0 or below the cycle; else, since
// no cycle could be drawn between them, half the cycle, not below
// MIN_CYCLE_TIME_US unless the cycle itself is that short (the result is
// always below the cycle). A value held is named in a warning.
KALMO::Clock shortestForCycle(KALMO::Clock shortest, KALMO::Clock cycle);

