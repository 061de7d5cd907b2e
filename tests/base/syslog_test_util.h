#pragma once
// Helpers for the logger's tests: a receiver on the log port, a capture of
// standard output, the header's shape, and a reset of the logger's
// process-wide state.

#include "base/socket.h"
#include "base/syslog.h"
#include "base/syslog_std.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace logtest {

constexpr unsigned short kLogPort = 19640;

// Back to the state before the first initialize.
inline void resetLogger() {
  KALMO::SysLog::finalize();
  KALMO::SysLog::threshold.store(-1);
  KALMO::SysLog::SysLogSendStd.reset();
}

// A UDP receiver on [::1]:port.
class LogReceiver {
 public:
  explicit LogReceiver(unsigned short port) {
    if (!socket.open(KALMO::Socket::UDP_IPV6)) return;
    // Room for bursts of the threaded tests (root may exceed rmem_max).
    int size = 8 << 20;
    ::setsockopt(socket.fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    KALMO::IPAddress local;
    local.address[15] = 1;
    local.port = htons(port);
    ready = socket.bindV6(local, 1);
    socket.receiveSize = 4096;
  }
  bool ok() const { return ready; }

  // The next datagram, or nothing within the time-out.
  std::optional<std::string> next(std::chrono::milliseconds timeout = std::chrono::seconds(2)) {
    const KALMO::Clock limit(static_cast<uint64_t>(timeout.count()) * 1'000'000'000ULL);
    if (socket.wait(limit) != KALMO::Socket::WAIT_READY) return std::nullopt;
    KALMO::Buffer data;
    KALMO::IPAddress from;
    if (!socket.receiveFromV6(data, from) || data.empty()) return std::nullopt;
    return std::string(data.begin(), data.end());
  }

  KALMO::Socket socket;

 private:
  bool ready = false;
};

// Standard output goes to an in-memory file while this lives.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    saved_ = ::dup(1);
    file_ = ::memfd_create("captured-stdout", 0);
    if (saved_ >= 0 && file_ >= 0) ok_ = ::dup2(file_, 1) == 1;
  }
  ~StdoutCapture() {
    std::fflush(stdout);
    if (ok_) ::dup2(saved_, 1);
    if (saved_ >= 0) ::close(saved_);
    if (file_ >= 0) ::close(file_);
  }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  bool ok() const { return ok_; }

  std::string text() const {
    std::string all;
    char chunk[4096];
    off_t at = 0;
    for (;;) {
      const ssize_t n = ::pread(file_, chunk, sizeof chunk, at);
      if (n <= 0) break;
      all.append(chunk, static_cast<size_t>(n));
      at += n;
    }
    return all;
  }

  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::istringstream in(text());
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

  // Waits until at least `count` complete lines were written.
  bool waitForLines(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(3)) const {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const std::string t = text();
      size_t lines = 0;
      for (char c : t) lines += c == '\n';
      if (lines >= count) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

 private:
  int saved_ = -1;
  int file_ = -1;
  bool ok_ = false;
};

// A datagram split by the header's shape: "<p>Mmm DD hh:mm:ss localhost ".
struct ParsedRecord {
  int priority = -1;
  std::string month;
  int day = 0, hour = 0, minute = 0, second = 0;
  size_t headerLength = 0;
  std::string body;
};

// Parsed by hand: std::regex trips g++ 12's uninitialised-use warning at -O2.
inline std::optional<ParsedRecord> parseRecord(const std::string& datagram) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  size_t at = 0;
  auto digits = [&](size_t min, size_t max, int& out) {
    size_t n = 0;
    int v = 0;
    while (n < max && at + n < datagram.size() && datagram[at + n] >= '0' &&
           datagram[at + n] <= '9') {
      v = v * 10 + (datagram[at + n] - '0');
      ++n;
    }
    if (n < min) return false;
    at += n;
    out = v;
    return true;
  };
  auto literal = [&](const std::string& text) {
    if (datagram.compare(at, text.size(), text) != 0) return false;
    at += text.size();
    return true;
  };
  ParsedRecord r;
  if (!literal("<") || !digits(1, 3, r.priority) || !literal(">")) return std::nullopt;
  bool month = false;
  for (const char* m : kMonths) {
    if (literal(m)) {
      r.month = m;
      month = true;
      break;
    }
  }
  if (!month || !literal(" ") || !digits(2, 2, r.day) || !literal(" ") || !digits(2, 2, r.hour) ||
      !literal(":") || !digits(2, 2, r.minute) || !literal(":") || !digits(2, 2, r.second) ||
      !literal(" localhost ")) {
    return std::nullopt;
  }
  r.headerLength = at;
  r.body = datagram.substr(at);
  return r;
}

}  // namespace logtest
