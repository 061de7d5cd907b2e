#include "protocol/syslog_vellora.h"

namespace VELLORA {

std::atomic<int>& SysLogVellora::vellora_log = KALMO::SysLog::threshold;

bool SysLogVellora::initialize(KALMO::SysLog::SysLogFacility facility, unsigned short port,
                               bool toStdout) {
  return KALMO::SysLog::initialize(facility, toStdout, port);
}

bool SysLogVellora::changeLevel(KALMO::SysLog::SysLogLevel level, unsigned short port) {
  vellora_log.store(static_cast<int>(level), std::memory_order_relaxed);
  return KALMO::SysLog::OpenPort(port);
}

}  // namespace VELLORA
