#pragma once
// Collects the bodies of the log records written while it lives, at every
// level, and restores the silent logger afterwards.

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "base/syslog.h"

namespace host_test {

class LogCapture {
 public:
  LogCapture() {
    {
      std::lock_guard<std::mutex> lock(mutex());
      lines().clear();
    }
    KALMO::SysLog::initialize(KALMO::SysLog::LOCAL0, &LogCapture::collect);
    KALMO::SysLog::threshold = 7;
  }
  ~LogCapture() {
    KALMO::SysLog::threshold = -1;
    KALMO::SysLog::finalize();
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> all() const {
    std::lock_guard<std::mutex> lock(mutex());
    return lines();
  }
  // Lines that start with the prefix, in order.
  std::vector<std::string> starting(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& l : all()) {
      if (l.compare(0, prefix.size(), prefix) == 0) out.push_back(l);
    }
    return out;
  }
  std::size_t count(const std::string& prefix) const { return starting(prefix).size(); }

 private:
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static std::vector<std::string>& lines() {
    static std::vector<std::string> l;
    return l;
  }
  // Records of facility 16 have a three-digit priority: 31 header bytes.
  static void collect(const char* record) {
    const std::string text(record);
    std::lock_guard<std::mutex> lock(mutex());
    lines().push_back(text.size() > KALMO::SysLog::kHeaderSize ? text.substr(KALMO::SysLog::kHeaderSize)
                                                               : std::string());
  }
};

}  // namespace host_test
