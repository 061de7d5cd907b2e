// Transfer-profile selection of the streaming connection: configure the
// profile maker with the wire format and the sink's packet limits, run one
// computation and keep its result in the profile table.

#include "protocol/ssync.h"

#include <algorithm>
#include <iterator>

#include "base/syslog.h"
#include "protocol/ssync_internal.h"

namespace VELLORA {

namespace {

constexpr uint64_t kUs = 1000000ull;
constexpr KALMO::Clock kLimitCycle = 400 * kUs;

}  // namespace

namespace {

// The five single computations: entry 0 changes only on success.
template <typename Run>
bool singleProfile(SSync& s, Run run) {
  s.profileMaker.setConfig(s.wireFormat, kLimitCycle, s.maxPacketSize, s.maxPacketCount);
  if (!run(s.profileMaker)) return false;
  s.profiles[0] = s.profileMaker;
  s.profileCount = 1;
  return true;
}

}  // namespace

bool SSync::configTransferFix(KALMO::Clock cycle, int count) {
  return singleProfile(*this, [&](ProfileMaker& m) { return m.configTransferFix(cycle, count); });
}

bool SSync::configTransferVar(KALMO::Clock cycle, int count) {
  return singleProfile(*this, [&](ProfileMaker& m) { return m.configTransferVar(cycle, count); });
}

bool SSync::configTransferFixAuto(KALMO::Clock cycle) {
  return singleProfile(*this, [&](ProfileMaker& m) { return m.configTransferFixAuto(cycle); });
}

bool SSync::configTransferVarAuto(KALMO::Clock cycle) {
  return singleProfile(*this, [&](ProfileMaker& m) { return m.configTransferVarAuto(cycle); });
}

bool SSync::configTransferRandom(KALMO::Clock minCycle, KALMO::Clock cycle, int count) {
  return singleProfile(*this, [&](ProfileMaker& m) {
    return m.configTransferRandom(minCycle, cycle, count);
  });
}

void SSync::configTransferAuto(KALMO::Clock limit, KALMO::Clock start, KALMO::Clock limit2) {
  KALMO::SysLog::INFO << "configTransferAuto " << " limit" << static_cast<uint64_t>(limit / kUs)
                      << " maxPacketSize" << maxPacketSize << " maxPacketCount" << maxPacketCount;
  profileMaker.setConfig(wireFormat, limit, maxPacketSize, maxPacketCount);
  (void)profileMaker.configTransferAuto(start);
  profiles[0] = profileMaker;
  profileMaker.setConfig(wireFormat, limit2, maxPacketSize, maxPacketCount);
  profileMaker.autoCount = true;
  (void)profileMaker.configTransferAuto(KALMO::Clock(0));
  profiles[1] = profileMaker;
  profileMaker.autoCount = false;
  profileCount = 2;
  KALMO::SysLog::INFO << "configTransferAuto done";
}

void SSync::setConfigTransfer(const Profile& profile) {
  profiles[0] = profile;
  profileCount = 1;
}

ProfileMaker SSync::getProfileMaker() {
  profileMaker.setConfig(wireFormat, kLimitCycle, maxPacketSize, maxPacketCount);
  return profileMaker;
}

KALMO::Clock SSync::getCycleTime() const { return profiles[0].cycle; }

int32_t SSync::usableProfileCount() const {
  const int32_t entries = std::min<int32_t>(profileCount, static_cast<int32_t>(std::size(profiles)));
  int32_t usable = 1;
  while (usable < entries && ssync_detail::streamable(profiles[usable])) usable += 1;
  return usable;
}

KALMO::Clock SSync::getLongestCycleTime() const {
  uint64_t longest = profiles[0].cycle;
  const int32_t usable = usableProfileCount();
  for (int32_t i = 1; i < usable; ++i) longest = std::max<uint64_t>(longest, profiles[i].cycle);
  return KALMO::Clock(longest);
}

KALMO::Clock SSync::getMinCycleTime() const { return profiles[0].minCycle; }

int64_t SSync::getCycleSize() const {
  return static_cast<int64_t>(profiles[0].packetsPerCycle) * profiles[0].fixedPacketBytes;
}

TransferMode SSync::getMode() const { return profiles[0].mode; }

}  // namespace VELLORA
