#pragma once
// The protocol's log level: the one process-wide threshold that decides
// which statements build a record, and the daemon's logging set-up.
//
// A statement of level L logs when L <= vellora_log; -1 (until changeLevel)
// logs nothing. The threshold is also read as a switch: at 6 or more the
// streaming engine runs its debug extras.

#include "base/syslog.h"

#include <atomic>

namespace VELLORA {

class SysLogVellora {
 public:
  // The threshold the front of the logger compares against (it lives with
  // the logger in the base library, so that every part can log).
  static std::atomic<int>& vellora_log;

  // KALMO::SysLog::initialize(facility, toStdout, port).
  static bool initialize(KALMO::SysLog::SysLogFacility facility, unsigned short port,
                         bool toStdout);
  // Sets the threshold, then opens the present sender's socket for port.
  static bool changeLevel(KALMO::SysLog::SysLogLevel level, unsigned short port);
};

}  // namespace VELLORA
