#pragma once
// A hostile node on the link, as a stand-in for tests and manual runs: it
// answers every discovery request with valid answers that lead nowhere.
//
//  - `floodPorts` extra UDP sockets on its address (spread over the further
//    addresses too, when given) each answer FIND_REQ with a valid FIND_ANS
//    and then never answer anything else (every later request to them is
//    read and dropped);
//  - with `answerName` they also accept the host's name announcement
//    (NOTISNAME_REQ), which is just enough of a target's listing for a host
//    to count the target as answering, and stay silent to the rest; with
//    `knownPorts` K they also answer the port count with K ports, each of
//    which then costs the host one more unanswered query; with `behaveFor`
//    they first answer their whole listing for that long, as targets
//    without ports, and only then hang (a host then knows them all);
//  - with `portZeroAnswer`, one more FIND_ANS goes out from UDP source port
//    0 (a raw socket builds the UDP header; the kernel adds the checksum).
//
// It listens on [ff02::1]:19642 beside any stand-in target of the same
// namespace (the socket shares the port), so it sees the multicast the
// daemon sends. It also measures how long each scan of a host kept asking
// it: a burst of requests starts with a discovery request after a quiet
// time and ends with the last request before the next one. Runs one thread; start/stop on the owner's thread, in the
// network namespace it must live in (its sockets stay there).

#include <netinet/in.h>
#include <sys/types.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace vsim {

struct HostileOptions {
  std::string device;          // interface of the link
  std::string address;         // its own link-local address on it (empty: the first one)
  std::vector<std::string> moreAddresses;  // further addresses the answerers spread over
  unsigned floodPorts = 0;     // silent answerers
  bool answerName = false;     // they accept the name announcement
  uint16_t knownPorts = 0;     // ... and answer the port count with this many
  std::chrono::milliseconds behaveFor{0};  // answer every listing query until then
  bool portZeroAnswer = false; // one answer from source port 0
  std::string name = "hostile";
  uint64_t productID = 0x4855;
};

class HostileNode {
 public:
  explicit HostileNode(HostileOptions options);
  ~HostileNode();
  HostileNode(const HostileNode&) = delete;
  HostileNode& operator=(const HostileNode&) = delete;

  bool start(std::string& error);
  void stop();

  // Discovery requests seen, answers sent, datagrams the silent answerers
  // dropped (requests after the discovery answer).
  uint64_t requests() const { return requests_.load(); }
  uint64_t answers() const { return answers_.load(); }
  uint64_t dropped() const { return dropped_.load(); }
  uint64_t portZeroSent() const { return portZero_.load(); }
  // Queries of their listing the answerers answered (name announcements
  // included).
  uint64_t listingAnswers() const { return listingAnswers_.load(); }
  // Bursts of requests seen, and the longest one from its first discovery
  // request to its last request, in ms.
  uint64_t bursts() const { return bursts_.load(); }
  uint64_t longestBurstMs() const { return longestBurstMs_.load(); }

  // Requests further apart than this belong to different scans.
  static constexpr std::chrono::milliseconds BURST_QUIET{5000};

 private:
  void run();
  void answer(const uint8_t* from, uint16_t fromPort);
  void seen(bool discovery);
  void answerSilently(int fd, const uint8_t* bytes, ssize_t n, const sockaddr_in6& from);
  bool sendPortZero(const std::vector<uint8_t>& record, const uint8_t* to, uint16_t toPort);

  HostileOptions options_;
  unsigned scope_ = 0;
  std::vector<std::array<uint8_t, 16>> locals_;  // the first one is its own
  int listener_ = -1;
  int raw_ = -1;
  int wake_[2] = {-1, -1};
  std::vector<int> flood_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> requests_{0};
  std::atomic<uint64_t> answers_{0};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> portZero_{0};
  std::atomic<uint64_t> listingAnswers_{0};
  std::atomic<uint64_t> bursts_{0};
  std::atomic<uint64_t> longestBurstMs_{0};
  // Thread only.
  std::chrono::steady_clock::time_point burstStart_;
  std::chrono::steady_clock::time_point lastRequest_;
  std::chrono::steady_clock::time_point hangAt_;  // end of behaveFor
  bool inBurst_ = false;
};

}  // namespace vsim
