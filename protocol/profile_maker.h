#pragma once
// Computes transfer profiles from the wire format, the host's packet limits
// and limit cycle, and the sink's transfer parameters.
//
// Every computation writes the result members (also when it fails) and
// leaves the inputs as they were. Every search is bounded: inputs that leave
// nothing to send (no packet size or count, a format without a rate, a cycle
// below 1 us, no sink frame size) and searches that find nothing give false.

#include <cstdint>

#include "base/clock.h"
#include "protocol/format_configure.h"
#include "protocol/profile.h"

namespace VELLORA {

class ProfileMaker {
 public:
  ProfileMaker();

  operator Profile() const;

  void setConfig(FormatConfigure format, KALMO::Clock limitCycle, unsigned short packDataSize,
                 unsigned short packDataCount);
  // Stores the sink's parameters (cycles in 10 us units); false when min,
  // max and profileId are all 0.
  bool setParameter(unsigned short min, unsigned short max, ProfileID profileId,
                    unsigned int baseMin, unsigned int frameMax);

  // Fixed cycle: keeps cycle when one cycle's audio plus 3% fits below the
  // packet limit, else shortens it in 50 us steps. count 0 means
  // PackDataCount packets, otherwise at most count.
  bool configTransferFix(KALMO::Clock cycle, int count);
  // Variable cycle: equal whole-frame packets; a cycle whose audio exceeds
  // the packet limit is shortened to the time the limit lasts.
  bool configTransferVar(KALMO::Clock cycle, int count);
  // The smallest packet count that keeps the whole cycle, or the count
  // before the one that no longer changes the shortened cycle.
  bool configTransferFixAuto(KALMO::Clock cycle);
  bool configTransferVarAuto(KALMO::Clock cycle);
  // A fixed number of bytes per cycle, halved into packets that fit.
  bool configTransferSizeFix(unsigned long bytes);
  // As configTransferFix, each cycle then drawn between minCycle and cycle.
  bool configTransferRandom(KALMO::Clock minCycle, KALMO::Clock cycle, int count);
  // The choice driven by the sink's profile flags.
  bool configTransferAuto();
  // The choice with a retry that searches the packet count, then a fallback
  // search from start (0: limitCycle) for a cycle of 1.03 x limitCycle.
  // True when one of them found a profile.
  bool configTransferAuto(KALMO::Clock start);

  // Result members, as in Profile.
  KALMO::Clock cycle;
  uint32_t fixedPacketBytes;
  uint32_t maxPacketBytes;
  uint32_t framesPerPacketQ14;
  uint16_t packetsPerCycle;
  KALMO::Clock minCycle;
  TransferMode mode;

  // Inputs.
  uint16_t min;  // sink's minimum cycle, 10 us units
  uint16_t max;  // sink's maximum cycle, 10 us units
  ProfileID profileId;
  uint32_t baseMin;   // bytes per second of the sink's smallest format / base rate
  uint32_t frameMax;  // largest bytes per frame among the sink's formats
  FormatConfigure format;
  KALMO::Clock limitCycle;
  uint16_t PackDataSize;
  uint16_t PackDataCount;
  bool autoCount;
  bool standardCycle;
};

}  // namespace VELLORA
