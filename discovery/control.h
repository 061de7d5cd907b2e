#pragma once
// The host's client of a target's control channel: it greets every control
// endpoint of one output port's status chain, learns the controllable items
// there (ids and kinds), keeps a cached copy of each item's value and status
// word, and writes volumes along the chain (the real volume to the last
// device of each line, 0 to the devices in front of it).
//
// getVolume, getPlay and getPlayFormat answer from the cache without
// traffic; everything else blocks the caller for its exchanges (10 ms per
// try, three tries). No thread, no lock: one user at a time.
//
// Answers are untrusted: item counts are capped, an answer is taken only
// from the addressed endpoint and, for values, only for the asked id, and
// answers to earlier requests (left on the socket, or repeated by a slow
// target for the tries it got) are never taken for the current one.

#include "base/clock.h"
#include "base/ip_address.h"
#include "base/socket.h"
#include "discovery/find.h"
#include "protocol/message.h"
#include "protocol/message_id.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace VELLORA {

class Control {
 public:
  struct Setting {
    std::string name;                 // payload of every hello
    uint64_t nameValue = ~uint64_t{0};  // 64-bit option of every hello
  };

  // One controllable item.
  struct StatusSt {
    enum KIND : uint16_t {
      KIND_PLAY = 1,    // play state (status bit PLAYING) and play format (value)
      KIND_VOLUME = 2,  // volume: signed, 0 full, -6000 the floor
    };

    KALMO::IPAddress controlAddress;  // endpoint of the device the item belongs to
    uint16_t id = 0;                  // 1..count on that endpoint
    uint16_t status = 0;              // status word of the last value answer
    uint64_t value = 0;               // 48-bit value of the last value answer
    uint16_t kind = 0;                // from the item answer; other kinds are kept, unused
    uint8_t chainEnd = 0;             // the device is the last of its line
    uint8_t ownPort = 0;              // the device is the chosen output port itself
  };

  // Items one endpoint may report. Ids stay clear of bit 15, which marks a
  // write, and one endpoint cannot hold a scan for 65535 queries.
  static constexpr uint16_t MAX_ITEMS = 256;
  // Items of a whole chain: every position fits setValue's signed index.
  static constexpr size_t MAX_CHAIN_ITEMS = 0x7FFF;

  static constexpr uint64_t ACK_WAIT = 10'000'000'000ULL;  // 10 ms per try
  static constexpr int ACK_TRIES = 3;
  // One exchange ends by this time however much stray traffic keeps it
  // waiting; without stray traffic it takes at most three tries, 30 ms.
  static constexpr uint64_t ACK_LIMIT = 100'000'000'000ULL;  // 100 ms

  explicit Control(const Setting& setting);
  ~Control();
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  bool open();
  void close();  // items are kept

  // Rebuilds `items` from the chain's endpoints, in chain order, then
  // update(). On a failure, what was learned before it stays in `items`.
  // False (and logged) too once it has run for connectLimit.
  bool connect(const Find::StatusSort& chain);
  // The same for a chain of one endpoint whose items are all chain ends.
  bool connect(KALMO::IPAddress endpoint);

  // Reads the value and status of every item.
  bool update();
  // Writes one item (a position in `items`); only bits 0-47 go out. False
  // for a position outside `items`.
  bool setValue(int16_t index, uint64_t value);
  // The volume to every chain-end volume item and 0 to the others, last
  // item first.
  bool setVolume(int16_t volume);

  // From the cache. A volume the target reports beyond the 16-bit range is
  // held at the nearer end of it.
  bool getVolume(int16_t& volume) const;
  bool getPlay(bool& playing) const;
  uint64_t getPlayFormat() const;

  // Work of the caller that must not wait behind a slow endpoint (the
  // daemon's card work while it connects a new port): called on this thread
  // before an exchange when IDLE_SLICE has passed since it last ran, so it
  // waits at most one exchange (ACK_LIMIT). It must not use this client.
  // Empty: nothing is called.
  using IdleWork = std::function<void()>;
  void setIdleWork(IdleWork work);
  static constexpr uint64_t IDLE_SLICE = 10'000'000'000ULL;  // 10 ms

  // One request/answer exchange. False only for a socket failure; no usable
  // answer (silence, refusal, an echo of the request) leaves `answer` empty.
  bool sendAck(const KALMO::IPAddress& destination, const Send& request, MessageID answerId, Receive& answer);

  std::string name;
  uint64_t nameValue;
  KALMO::Socket socket;
  std::vector<StatusSt> items;
  // Time one connect may take, 0 without a limit: a chain may report
  // thousands of items and answer each just in time for a later try.
  KALMO::Clock connectLimit = 0;

 private:
  // What a slow target may still send for the tries of the last answered
  // exchange: more copies of the answer that was taken.
  struct Repeats {
    KALMO::IPAddress from;
    KALMO::Buffer bytes;
    int left = 0;
    KALMO::Clock until;
  };

  // sendAck; with `id` 0..0x7FFF an accepted answer must carry it in option0.
  bool exchange(const KALMO::IPAddress& destination, const Send& request, MessageID answerId, Receive& answer,
                int id);
  // Drops what is already waiting: answers to earlier requests.
  void drain();
  // True (and counted) for a further copy of the last answer taken.
  bool repeated(const KALMO::IPAddress& from, const Receive& datagram);
  // One value exchange (read or write) for items[index]; stores the answer.
  bool exchangeValue(size_t index, uint64_t option);

  Repeats repeats_;
  IdleWork idle_;
  KALMO::Clock lastIdle_;
};

}  // namespace VELLORA
