#include "protocol/profile_maker.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "protocol/syslog_vellora.h"

namespace VELLORA {

namespace {

using KALMO::SysLog::INFO;
using KALMO::SysLog::WARNING;

constexpr uint64_t PS_PER_US = 1'000'000;
constexpr uint64_t PS_PER_S = 1'000'000'000'000;
constexpr uint64_t STEP = 50 * PS_PER_US;  // searches move in 50 us steps
constexpr uint64_t SINK_UNIT = 10 * PS_PER_US;  // the sink's cycles count 10 us
constexpr uint64_t MAX_PACKETS = 0xFFFF;  // packetsPerCycle is 16 bits
constexpr uint16_t FALLBACK_PACKETS = 0xFFFF;

// Single computations one top-level search may run before it gives up.
// Ordinary searches need a few thousand; this only stops pathological
// inputs (one-byte packets, limits far beyond any sink) from running for
// hours.
constexpr uint32_t SEARCH_BUDGET = 1u << 21;

struct Budget {
  uint32_t left = SEARCH_BUDGET;
  bool take() {
    if (left == 0) return false;
    --left;
    return true;
  }
};

uint64_t us(KALMO::Clock t) { return uint64_t(t) / PS_PER_US; }

// What the computations derive from the wire format. Bps is taken in 64 bits:
// the largest rates with 64-bit samples and 16 channels do not fit in 32.
struct Derived {
  uint64_t Bps;  // bytes per second
  uint32_t fb;   // bytes per frame
  uint64_t fps;  // frames per second
};

Derived derive(const FormatConfigure& f) {
  Derived d;
  d.Bps = uint64_t(f.getSpeed()) * f.getBits() * f.getChannel() / 8;
  d.fb = f.getWid() * f.getChannel();  // never 0: width and channels default to 2
  d.fps = d.Bps / d.fb;
  return d;
}

// ceil of a non-negative float as an integer, saturated far below overflow.
uint64_t ceilCount(float x) {
  if (!(x > 0.0f)) return 0;
  constexpr float CAP = 4.0e18f;
  if (x >= CAP) return uint64_t(CAP);
  return uint64_t(std::ceil(x));
}

uint64_t roundUp(uint64_t v, uint64_t unit) { return (v + unit - 1) / unit * unit; }

// Whole microseconds as picoseconds, saturated.
KALMO::Clock usToClock(uint64_t micro) {
  constexpr uint64_t MAX_US = std::numeric_limits<uint64_t>::max() / PS_PER_US;
  return micro > MAX_US ? std::numeric_limits<uint64_t>::max() : micro * PS_PER_US;
}

// Bytes one cycle of t microseconds needs at Bps, times factor, in single
// precision as the sinks expect, rounded up to whole frames.
uint64_t cycleBytes(uint64_t t, float factor, const Derived& d) {
  const float seconds = float(t) * factor;
  return roundUp(ceilCount(seconds * float(d.Bps)), d.fb);
}

// Microseconds that bytes last at Bps, single precision, rounded up.
uint64_t bytesMicros(uint64_t bytes, const Derived& d) {
  return ceilCount(1e6f / float(d.Bps) * float(bytes));
}

// 1.03 x limitCycle in whole microseconds, as picoseconds.
KALMO::Clock limit103(KALMO::Clock limitCycle) {
  const double v = double(float(us(limitCycle))) * 1.03;
  return usToClock(uint64_t(v));
}

// Packet limit in bytes for a count argument; 0 when nothing can be sent.
uint64_t packetLimit(const ProfileMaker& m, int n) {
  if (n < 0) return 0;
  const uint64_t c = n == 0 ? m.PackDataCount : std::min<uint64_t>(n, m.PackDataCount);
  return uint64_t(m.PackDataSize) * c;
}

bool fixAt(ProfileMaker& m, KALMO::Clock cycle, int n, Budget& budget) {
  const uint64_t limit = packetLimit(m, n);
  if (limit == 0) return false;
  const Derived d = derive(m.format);
  // A packet smaller than a frame carries no audio.
  if (d.Bps == 0 || uint64_t(cycle) < PS_PER_US || d.fb > m.PackDataSize) return false;
  m.fixedPacketBytes = 0;

  // The cycles tried are cycle - k x 50 us, k = 0, 1, ..., as long as at
  // least a microsecond is left. The bytes a cycle needs never fall as the
  // cycle grows, so the first that fits is found by bisection instead of
  // stepping (a long cycle would otherwise take billions of steps).
  const uint64_t c0 = cycle;
  bool ok = true;
  auto sizeAt = [&](uint64_t k) {
    ok = ok && budget.take();
    return cycleBytes(us(c0 - k * STEP), 1.03e-6f, d);
  };
  const uint64_t last = (c0 - PS_PER_US) / STEP;
  uint64_t k = 0;
  uint64_t size = sizeAt(0);
  if (size >= limit) {
    uint64_t lastSize = sizeAt(last);
    if (last == 0 || lastSize >= limit) return false;
    uint64_t lo = 0;  // does not fit
    uint64_t hi = last;  // fits
    while (hi - lo > 1 && ok) {
      const uint64_t mid = lo + (hi - lo) / 2;
      const uint64_t s = sizeAt(mid);
      if (s < limit) {
        hi = mid;
        lastSize = s;
      } else {
        lo = mid;
      }
    }
    k = hi;
    size = lastSize;
  }
  if (!ok) return false;

  // The frame accumulator sends up to ceil(Q / 16384) whole frames in one
  // packet. With large frames the 3% margin of size does not cover that
  // rounding, and a packet over PackDataSize would be cut by the worker, so
  // the stream would fall behind: take more packets while the count allows,
  // else the next shorter cycle.
  const uint64_t packetsMax = limit / m.PackDataSize;
  // Each packet's share of the cycle in picoseconds: in whole microseconds
  // the truncation drops up to a microsecond a packet, which at short packet
  // times leaves the stream short of audio beyond what the feedback can
  // make up for (a packet of 2.5 us would count as 2).
  const auto framesQ14 = [&](uint64_t c, uint64_t packets) {
    const unsigned __int128 q =
        (unsigned __int128)d.fps * 16384 * c / ((unsigned __int128)packets * PS_PER_S);
    constexpr uint64_t CAP = uint64_t(1) << 62;  // far beyond any packet, and no wrap below
    return q > CAP ? CAP : uint64_t(q);
  };
  const auto fits = [&](uint64_t q) { return (q + 16383) / 16384 * d.fb <= m.PackDataSize; };
  uint64_t accepted = c0 - k * STEP;
  // size < limit <= PackDataSize x PackDataCount, so this fits in 16 bits.
  uint64_t ppc = std::max<uint64_t>(1, (size + m.PackDataSize - 1) / m.PackDataSize);
  uint64_t q = framesQ14(accepted, ppc);
  while (!fits(q)) {
    if (ppc < packetsMax) {
      ++ppc;
    } else {
      if (++k > last) return false;
      size = sizeAt(k);
      if (!ok) return false;
      accepted = c0 - k * STEP;
      ppc = std::max<uint64_t>(1, (size + m.PackDataSize - 1) / m.PackDataSize);
    }
    q = framesQ14(accepted, ppc);
  }
  if (q == 0 || q > std::numeric_limits<uint32_t>::max()) return false;
  m.cycle = accepted;
  m.packetsPerCycle = uint16_t(ppc);
  m.framesPerPacketQ14 = uint32_t(q);
  // Average packet plus 491/16384 (about 3%), in whole frames; in 64 bits,
  // as q x 491 passes 2^31 from about 267 frames per packet.
  const uint64_t frames = (q + q * 491 / 16384 + 16383) / 16384;
  m.maxPacketBytes = uint32_t(frames * d.fb);
  m.mode = TRANSFER_FIX;
  return true;
}

bool varAt(ProfileMaker& m, KALMO::Clock cycle, int n) {
  const uint64_t limit = packetLimit(m, n);
  if (limit == 0) return false;
  const Derived d = derive(m.format);
  if (d.Bps == 0 || us(cycle) == 0) return false;

  uint64_t size = cycleBytes(us(cycle), 1e-6f, d);
  const bool shortened = size > limit;
  if (shortened) {
    size = limit;
    m.cycle = usToClock(bytesMicros(limit, d));
  } else {
    m.cycle = cycle;
  }
  const uint64_t ppc = (size + m.PackDataSize - 1) / m.PackDataSize;
  if (ppc == 0) return false;
  m.packetsPerCycle = uint16_t(ppc);  // size <= limit keeps it within PackDataCount
  uint64_t per = size / ppc;
  per -= per % d.fb;
  // Packets smaller than a frame would carry no audio at all.
  if (per == 0) return false;
  // Equal packets of whole frames may carry less than the cycle lasts (a
  // limit, or a cycle's bytes, that does not split into them). The feedback
  // speeds the stream up by 3% at most (kCorrectionMax); a shortfall beyond
  // 2% (frames large beside the packet size) would leave it too little room
  // for the clocks' drift, so the cycle is then the time the packets last.
  // A smaller one keeps the cycle, so that a cycle the sink asks for
  // exactly is not refused for a few bytes of rounding.
  const uint64_t carried = per * ppc;
  const unsigned __int128 needed =
      shortened ? (unsigned __int128)limit * PS_PER_S
                : (unsigned __int128)uint64_t(cycle) * d.Bps;
  if ((unsigned __int128)carried * PS_PER_S * 100 < needed * 98) {
    m.cycle = usToClock(bytesMicros(carried, d));
  }
  m.fixedPacketBytes = uint32_t(per);
  m.maxPacketBytes = uint32_t(per);
  m.framesPerPacketQ14 = uint32_t(per / d.fb * 16384);
  m.mode = TRANSFER_VAR;
  return true;
}

bool single(ProfileMaker& m, bool var, KALMO::Clock cycle, int n, Budget& budget) {
  return var ? varAt(m, cycle, n) : fixAt(m, cycle, n, budget);
}

// Packet-count search: more packets than PackDataCount change nothing, so
// it ends by PackDataCount + 1 at the latest.
bool countSearch(ProfileMaker& m, bool var, KALMO::Clock cycle, Budget& budget) {
  KALMO::Clock prev = 0;
  const int last = int(m.PackDataCount) + 1;
  for (int n = 1; n <= last; ++n) {
    if (!budget.take()) return false;
    const bool ok = single(m, var, cycle, n, budget);
    if (ok && m.cycle == cycle) return true;
    if (ok && m.cycle == prev) return single(m, var, cycle, n - 1, budget);
    prev = m.cycle;
  }
  return false;
}

void finish(const char* kind) { INFO << "PROFILE done " << kind; }

// The cycle derived from the sink's minimum cycle (TRANSFER_SINKCYCLE).
bool sinkCycle(ProfileMaker& m) {
  const Derived d = derive(m.format);
  const uint64_t F = m.frameMax;
  const uint64_t P = m.PackDataSize;
  if (F == 0 || P == 0 || d.Bps == 0) return false;

  // In 64 bits: a sink's baseMin times the base rate may pass 32 bits.
  uint64_t B;
  bool grid;  // the family has the standard cycle grid
  if (m.format.value & (2ull << 32)) {
    B = uint64_t(m.baseMin) * 44100;
    grid = true;
  } else if (m.format.value & (4ull << 32)) {
    B = uint64_t(m.baseMin) * 48000;
    grid = true;
  } else if (m.format.value & (1ull << 32)) {
    B = uint64_t(m.baseMin) * 8000;
    grid = false;
  } else {
    return false;
  }

  const char* kind = nullptr;
  uint64_t per = 0;
  uint64_t k = 1;
  if (m.standardCycle && grid) {
    const uint64_t q0 = B / 300;
    per = q0;
    kind = "Triangolo";
    while (P < per) {
      k *= 2;
      per = q0 / k;
      if (per % F != 0) {
        WARNING << "TriangoloMode fragment talt";
        kind = nullptr;
        break;
      }
    }
  } else if (m.standardCycle) {
    WARNING << "TriangoloMode base rate talt";
  }
  if (kind == nullptr) {
    // In 128 bits: min x B x 10 passes 64 bits for a hostile baseMin.
    const uint64_t x = uint64_t((unsigned __int128)m.min * B * 10 / 1'000'000);
    const uint64_t total = roundUp(x, F);
    k = 1;
    per = total;
    kind = "SinkCycle";
    while (P < per) {
      if (++k > MAX_PACKETS) return false;
      const uint64_t q = total / k;
      // q >= 1 here: per reaches 1 (<= P) once q is at most F.
      per = q - (q + F - 1) % F;
      if (per == 0) return false;
    }
  }
  if (k > MAX_PACKETS) return false;

  uint64_t frames = per / F;
  // The split counts in the sink's largest frame; a wire frame larger than
  // that (DSD in 32-bit words beside 24-bit PCM) would make packets over
  // PackDataSize, which the worker cuts. Keep the packet within it.
  if (frames * d.fb > P) frames = P / d.fb;
  if (frames == 0) return false;
  const KALMO::Clock minSink = uint64_t(m.min) * SINK_UNIT;
  // fb x frames x packets x 10^12 / Bps in 128 bits: the product passes 64
  // bits from about 18 MB per cycle.
  const unsigned __int128 perPacket = (unsigned __int128)(d.fb * frames) * PS_PER_S;
  uint64_t ppc = k;
  uint64_t c = 0;
  for (;; ++ppc) {
    if (ppc > MAX_PACKETS) return false;
    const unsigned __int128 c128 = perPacket * ppc / d.Bps;
    if (c128 > std::numeric_limits<uint64_t>::max()) return false;
    c = uint64_t(c128);
    if (c >= m.limitCycle && c >= minSink) break;
  }
  m.packetsPerCycle = uint16_t(ppc);
  m.cycle = c;
  const uint64_t bytes = d.fb * frames;
  INFO << "SINCCYCLE=" << bytes << "x" << uint32_t(ppc) << " cycle=" << c << "ps";
  m.fixedPacketBytes = uint32_t(bytes);
  m.maxPacketBytes = uint32_t(bytes);
  m.framesPerPacketQ14 = uint32_t(frames * 16384);
  m.mode = TRANSFER_SINKCYCLE;
  finish(kind);
  return true;
}

bool autoChoice(ProfileMaker& m, Budget& budget) {
  m.cycle = 0;
  if (m.min == 0 && m.max == 0 && m.profileId == 0) return false;
  INFO << "PROFILE min=" << uint32_t(m.min) << " max=" << uint32_t(m.max) << " prof"
       << uint32_t(m.profileId) << " config" << m.format.value << " PackDataSize"
       << uint32_t(m.PackDataSize) << " PackDataCount" << uint32_t(m.PackDataCount)
       << " limitCycle" << us(m.limitCycle) << " baseMin" << m.baseMin;
  if (m.profileId & PROFILE_SINKCYCLE) return sinkCycle(m);
  // No single computation can succeed; the searches would only spin.
  if (m.PackDataSize == 0 || m.PackDataCount == 0 || derive(m.format).Bps == 0) return false;

  const bool var = m.profileId & PROFILE_VAR;
  const bool limitOnly = m.profileId & PROFILE_LIMIT;
  const bool search = m.profileId & PROFILE_SEARCH;
  const bool count = (m.profileId & PROFILE_AUTOCOUNT) || m.autoCount;
  const char* kind = var ? "Var" : "Fix";
  const uint64_t minC = uint64_t(m.min) * SINK_UNIT;
  const uint64_t maxC = uint64_t(m.max) * SINK_UNIT;
  const uint64_t L = m.limitCycle;
  const uint64_t lower = var ? uint64_t(limit103(m.limitCycle)) : L;

  auto accepted = [&](uint64_t c) {
    if (limitOnly) return c >= lower;
    if (search && !var) return c >= L && c >= minC;
    return c >= lower && c >= minC && c <= maxC;
  };
  auto trial = [&](KALMO::Clock start) {
    return count ? countSearch(m, var, start, budget) : single(m, var, start, 1, budget);
  };

  if (!search) {
    if (!trial(maxC) || !accepted(m.cycle)) return false;
    finish(kind);
    return true;
  }
  uint64_t start = (!var && limitOnly) ? L : std::max(minC, L);
  // A trial's cycle is its start, or at least half of it (whole-frame
  // packets), or one its packets shortened it to, which later starts give
  // again. Past twice the longest cycle that can be accepted a longer start
  // therefore finds nothing new, and the search gives up there.
  uint64_t longest = std::max({lower, L, minC});
  if (var && !limitOnly) longest = std::max(longest, maxC);
  const uint64_t twice = longest > std::numeric_limits<uint64_t>::max() / 2 ? longest : 2 * longest;
  const uint64_t far = std::max<uint64_t>(start, twice);
  const uint64_t lastStart = far > std::numeric_limits<uint64_t>::max() - STEP ? far : far + STEP;
  KALMO::Clock rejected = 0;
  for (;;) {
    if (start > lastStart || !budget.take()) return false;
    if (trial(start)) {
      if (accepted(m.cycle)) {
        finish(kind);
        return true;
      }
      if (m.cycle == rejected) return false;
      rejected = m.cycle;
    }
    if (start > std::numeric_limits<uint64_t>::max() - STEP) return false;
    start += STEP;
  }
}

// The zero profile: no cycle and no packets, which no stream starts from.
void clearResult(ProfileMaker& m) {
  const Profile none;
  m.cycle = none.cycle;
  m.fixedPacketBytes = none.fixedPacketBytes;
  m.maxPacketBytes = none.maxPacketBytes;
  m.framesPerPacketQ14 = none.framesPerPacketQ14;
  m.packetsPerCycle = none.packetsPerCycle;
  m.minCycle = none.minCycle;
  m.mode = none.mode;
}

}  // namespace

ProfileMaker::ProfileMaker()
    : cycle(PS_PER_S),
      fixedPacketBytes(0),
      maxPacketBytes(0),
      framesPerPacketQ14(0),
      packetsPerCycle(1),
      minCycle(0),
      mode(TRANSFER_VAR),
      min(0),
      max(0),
      profileId(0),
      baseMin(0),
      frameMax(0),
      format(0),
      limitCycle(0),
      PackDataSize(0),
      PackDataCount(0),
      autoCount(false),
      standardCycle(false) {}

ProfileMaker::operator Profile() const {
  Profile p;
  p.cycle = cycle;
  p.fixedPacketBytes = fixedPacketBytes;
  p.maxPacketBytes = maxPacketBytes;
  p.framesPerPacketQ14 = framesPerPacketQ14;
  p.packetsPerCycle = packetsPerCycle;
  p.minCycle = minCycle;
  p.mode = mode;
  return p;
}

void ProfileMaker::setConfig(FormatConfigure f, KALMO::Clock limit, unsigned short packDataSize,
                             unsigned short packDataCount) {
  format = f;
  limitCycle = limit;
  PackDataSize = packDataSize;
  PackDataCount = packDataCount;
}

bool ProfileMaker::setParameter(unsigned short sinkMin, unsigned short sinkMax, ProfileID id,
                                unsigned int base, unsigned int frame) {
  min = sinkMin;
  max = sinkMax;
  profileId = id;
  baseMin = base;
  frameMax = frame;
  cycle = 0;
  if (min == 0 && max == 0 && profileId == 0) return false;
  // Minimum cycles (10 us units) that divide the standard cycle grid.
  static constexpr uint16_t GRID[] = {5,    10,   16,   20,   33,   41,    52,    83,
                                      104,  166,  208,  333,  416,  520,   833,   1041,
                                      1666, 2083, 3333, 4166, 8333, 16666, 33333};
  bool onGrid = (profileId & PROFILE_SINKCYCLE) && min == 3;
  for (uint16_t g : GRID) onGrid = onGrid || min == g;
  standardCycle = onGrid;
  return true;
}

bool ProfileMaker::configTransferFix(KALMO::Clock c, int count) {
  Budget budget;
  return fixAt(*this, c, count, budget);
}

bool ProfileMaker::configTransferVar(KALMO::Clock c, int count) { return varAt(*this, c, count); }

bool ProfileMaker::configTransferFixAuto(KALMO::Clock c) {
  Budget budget;
  return countSearch(*this, false, c, budget);
}

bool ProfileMaker::configTransferVarAuto(KALMO::Clock c) {
  Budget budget;
  return countSearch(*this, true, c, budget);
}

bool ProfileMaker::configTransferSizeFix(unsigned long bytes) {
  const Derived d = derive(format);
  if (bytes == 0 || PackDataSize == 0 || d.Bps == 0) return false;
  fixedPacketBytes = uint32_t(std::min<uint64_t>(bytes, std::numeric_limits<uint32_t>::max()));
  cycle = usToClock(bytesMicros(bytes, d));
  uint64_t packets = 1;
  while (bytes > PackDataSize) {
    // Past 32768 the count no longer fits packetsPerCycle.
    if (packets * 2 > MAX_PACKETS) return false;
    bytes /= 2;
    packets *= 2;
  }
  packetsPerCycle = uint16_t(packets);
  fixedPacketBytes = uint32_t(bytes);
  maxPacketBytes = uint32_t(bytes);
  framesPerPacketQ14 = uint32_t(bytes / d.fb * 16384);
  mode = TRANSFER_VAR;
  return true;
}

bool ProfileMaker::configTransferRandom(KALMO::Clock shortest, KALMO::Clock c, int count) {
  if (!configTransferFix(c, count)) return false;
  if (uint64_t(shortest) < PS_PER_US || uint64_t(cycle) <= uint64_t(shortest)) return false;
  mode = TRANSFER_RANDOM;
  minCycle = shortest;
  return true;
}

bool ProfileMaker::configTransferAuto() {
  Budget budget;
  return autoChoice(*this, budget);
}

bool ProfileMaker::configTransferAuto(KALMO::Clock start) {
  INFO << "configTransferAuto " << us(start);
  bool found = configTransferAuto();
  if (!found) {
    autoCount = true;
    found = configTransferAuto();
  }
  if (!found) {
    INFO << "configTransferAuto falt";
    const uint16_t keptCount = PackDataCount;
    PackDataCount = FALLBACK_PACKETS;
    const bool var = profileId & PROFILE_VAR;
    const uint64_t lower = limit103(limitCycle);
    const Derived d = derive(format);
    uint64_t s = start != 0 ? uint64_t(start) : uint64_t(limitCycle);
    // Past twice 1.03 x the limit (and past the start) a longer start
    // changes nothing the count search finds: a cycle it had to shorten to
    // fit the packets stays where it was, and one that keeps its start, or
    // loses less than half of it to packets of whole frames, is long enough
    // already. The search gives up there instead of stepping on for ever.
    const uint64_t twice = lower > std::numeric_limits<uint64_t>::max() / 2 ? lower : 2 * lower;
    const uint64_t far = std::max(s, twice);
    const uint64_t lastStart = far > std::numeric_limits<uint64_t>::max() - STEP ? far : far + STEP;
    Budget budget;
    // Nothing to search without a packet size or a rate.
    while (PackDataSize != 0 && d.Bps != 0 && s <= lastStart && budget.take()) {
      if (countSearch(*this, var, s, budget) && uint64_t(cycle) >= lower) {
        found = true;
        break;
      }
      if (s > std::numeric_limits<uint64_t>::max() - STEP) break;
      s += STEP;
    }
    PackDataCount = keptCount;
  }
  if (!found) {
    // The last profile tried may be far below the limit (a cycle of 50 us
    // where the count search stalled); a stream must not start from it.
    clearResult(*this);
  }
  autoCount = false;
  INFO << "configTransferAuto done";
  return found;
}

}  // namespace VELLORA
