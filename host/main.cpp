// The daemon: reads its command line and settings, opens the driver's
// control device and discovery, then gives every attached port its work
// every 10 ms and scans for targets every 20 s (at once after a port's work
// failed), until SIGINT or SIGHUP, a failed scan or a failed driver request
// ends it.
//
//   vellora-bridge [SETTINGS-FILE | kill] [ANNOUNCED-NAME]
//
// Exit status: 0 after a stop by signal and after "kill"; 255 when the
// control device or discovery cannot be opened; 1 when the daemon stopped
// because discovery or a driver request failed. Every failure that ends the
// daemon is one error record and one line on standard error.

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <string>

#include "base/clock.h"
#include "base/file_inf.h"
#include "base/file_path.h"
#include "base/syslog.h"
#include "base/thread_priority.h"
#include "discovery/find.h"
#include "host/alsa_setting.h"
#include "host/bridge.h"
#include "host/bridge_driver.h"
#include "protocol/syslog_vellora.h"

using KALMO::SysLog::DEBUG;
using KALMO::SysLog::ERR;
using KALMO::SysLog::INFO;
using KALMO::SysLog::WARNING;

namespace {

constexpr unsigned short LOG_PORT = 19640;
constexpr uint64_t SCAN_INTERVAL = 20'000'000'000'000ULL;  // 20 s
constexpr useconds_t LOOP_SLEEP_US = 10'000;
constexpr int EXIT_FAILED = 1;

std::atomic<bool> exit_targets{false};

void SignalHandlerExit(int) { exit_targets.exchange(true); }

// "kill": the driver's stop request, nothing else.
void killCommand(BridgeDriver& driver) {
  const int fd = driver.openControl();
  if (fd < 0) return;
  (void)driver.kill(fd);
  driver.close(fd);
}

void setUpLogging(const KALMO::FileInf& settings, const std::string& path) {
  const std::string debug = settings.get("Debug");
  KALMO::SysLog::SysLogLevel level = KALMO::SysLog::NOTICE;
  bool toStdout = false;
  const char* first = "debug : disable";
  if (debug == "enable") {
    level = KALMO::SysLog::INFO;
    first = "debug : enable";
  } else if (debug == "stdout") {
    level = KALMO::SysLog::INFO;
    toStdout = true;
    first = "debug : stdout";
  } else if (debug == "debug") {
    level = KALMO::SysLog::DEBUG;
    toStdout = true;
    first = "debug : stdout";
  }
  (void)VELLORA::SysLogVellora::initialize(KALMO::SysLog::LOCAL0, LOG_PORT, toStdout);
  (void)VELLORA::SysLogVellora::changeLevel(level, LOG_PORT);
  INFO << first;
  DEBUG << "debug : debug";
  INFO << "Load Setting : " << path;
}

void setUpMainThread(const OccupiedCPU& cpus) {
  const unsigned long self = KALMO::ThreadPriority::getSelfThreadID();
  if (cpus.cpuOther != -1 && cpus.rangeOther > 0) {
    const std::list<KALMO::ThreadPriority::Cpus> range{
        {static_cast<uint16_t>(cpus.cpuOther), static_cast<uint16_t>(cpus.rangeOther)}};
    if (KALMO::ThreadPriority::setCpuThread(self, range)) {
      INFO << "Loop Thread CPU set " << cpus.cpuOther << "," << cpus.rangeOther;
    } else {
      WARNING << "Loop Thread CPU set error " << cpus.cpuOther << "," << cpus.rangeOther;
    }
  }
  if (KALMO::ThreadPriority::setPriority(self, KALMO::ThreadPriority::IDLE)) {
    INFO << "Loop Thread Priority set IDLE";
  } else {
    WARNING << "Loop Thread Priority set Error";
  }
}

// Why a settings file did not load, for the one line that says so.
std::string whyNotLoaded(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  if (::access(path.c_str(), R_OK) != 0) return std::strerror(errno);
  return "a TAB or other control character in it";
}

// The main loop, until a signal asks it to stop, a scan's discovery fails
// or a card binding raises the stop flag; true only when a scan's
// discovery failed.
bool runLoop(VelloraCardBridge& bridge) {
  KALMO::Clock lastScan;
  lastScan.now();
  lastScan = lastScan - SCAN_INTERVAL;  // the first pass scans
  while (!bridge.stopFlag.load()) {
    (void)bridge.workPass();
    // Also a node that failed its work during the last scan's waits.
    const bool force = !bridge.failedNodes.empty();
    KALMO::Clock now;
    now.now();
    if (KALMO::Clock(now - lastScan).Comp(KALMO::Clock(SCAN_INTERVAL)) == 1 || force) {
      lastScan = now;
      bool rescan = false;
      // A scan that fails after a stop was asked for ends the loop as that
      // stop, not as a failure: whatever went wrong, the daemon was leaving.
      if (!bridge.scan(rescan)) return !exit_targets.load();
    }
    if (exit_targets.load()) return false;
    ::usleep(LOOP_SLEEP_US);
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const std::unique_ptr<BridgeDriver> driver = makeBridgeDriver();
  if (!driver) return -1;

  std::string name = "REZO ZOZU";
  KALMO::FilePath self;
  self.setMySelfPath();
  (void)self.removeFilename();
  std::string path = self.path + "setting.inf";
  const bool named = argc >= 2;
  if (named) {
    path = argv[1];
    if (path == "kill") {
      killCommand(*driver);
      return 0;
    }
  }
  if (argc >= 3) name = argv[2];

  std::list<std::string> interfaces;
  VELLORA::Find::Setting findSetting;
  findSetting.productID = 0;
  findSetting.nameValue = ~uint64_t{0};
  findSetting.name = name;
  VelloraCardBridge bridge(*driver, findSetting);

  KALMO::FileInf settings;
  if (settings.load(path, 0)) {
    settings.set_current_group("global");
    setUpLogging(settings, path);
    readDaemonKeys(settings, bridge.alsaSetting, interfaces, bridge.occupiedCpu);
    readProfiles(settings, bridge.profiles);
  } else {
    (void)VELLORA::SysLogVellora::initialize(KALMO::SysLog::LOCAL0, LOG_PORT, false);
    // The daemon logs nothing for its whole life then, so standard error
    // is the only trace: a file named on the command line, or one beside
    // the program that is there but cannot be loaded, deserves one word.
    // No file beside the program is the usual case and no news.
    if (named || KALMO::FilePath::isValid(path)) {
      std::fprintf(stderr, "settings file %s cannot be loaded (%s); running with the defaults\n", path.c_str(),
                   whyNotLoaded(path).c_str());
      std::fflush(stderr);
    }
  }
  setUpMainThread(bridge.occupiedCpu);
  bridge.bridgeName = name;

  bridge.controlFd = driver->openControl();
  if (bridge.controlFd < 0) {
    ERR << "meme open error Err";
    reportFailure("bridge.Initial Err");
    return -1;
  }
  if (driver->probe(bridge.controlFd) < 0) {
    reportFailure("bridge.Initial Err");
    return -1;
  }
  if (!bridge.discovery.open(interfaces)) {
    ERR << "Socket Err";
    reportFailure("bridge.Start Err");
    return -1;
  }

  exit_targets.exchange(false);
  std::signal(SIGINT, SignalHandlerExit);
  std::signal(SIGHUP, SignalHandlerExit);

  const bool scanFailed = runLoop(bridge);
  // From here on a failed request belongs to the stop, not to its cause. A
  // driver failure that raised the flag first has said what it was.
  const bool driverFailed = bridge.stopFlag.exchange(true);
  int status = driverFailed ? EXIT_FAILED : 0;
  if (scanFailed && !driverFailed) {
    reportFailure("daemon stops: the first discovery query of a scan failed");
    status = EXIT_FAILED;
  }
  if (!bridge.shutdown()) {
    // A release thread still holds the allocator, the driver and the
    // control device: they must not be torn down under it.
    std::fflush(stdout);
    std::_Exit(status);
  }
  return status;
}
