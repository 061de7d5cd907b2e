#pragma once
// The host's discovery client: finds targets on the local links with a
// multicast FIND_REQ, announces the host's name to them, lists their output
// ports and status items, and carries every unicast query through one
// acknowledged exchange (sendAck) on one socket.
//
// Everything runs on the caller's thread and blocks it; there is no lock, so
// callers never overlap on one client. Every answer is untrusted: counts are
// capped, listings have a time budget, and an answer is taken only when it
// matches the request it is waited for.
//
// The operations live in several sources: find.cpp (opening, sweeps, the
// exchange, names), find_ports.cpp (ports and status items), status_sort.cpp
// (status chains).

#include "base/clock.h"
#include "base/ip_address.h"
#include "base/socket.h"
#include "protocol/message.h"
#include "protocol/message_id.h"

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

namespace VELLORA {

class Find {
 public:
  // ---- records -----------------------------------------------------------

  struct Setting {
    uint64_t productID;  // 0 accepts every target
    uint16_t version;    // host protocol version; 0 switches the check off
    std::string name;    // announced with NOTISNAME_REQ
    bool probeActive;    // PROBE_REQ before every port and status query
    bool loopback;       // ::1 is a discovery interface too
    std::vector<uint64_t> productIDs;  // further accepted product IDs
    uint64_t nameValue;  // 64-bit option of NOTISNAME_REQ

    Setting();
  };

  // One target found by discovery, keyed by the FIND_ANS sender.
  struct FindTargetSt {
    uint64_t productID = 0;
    std::string targetName;
  };

  enum AckResult : int {
    ACK_OK = 0,
    ACK_SOCKET_ERROR = 1,
    ACK_TIMEOUT = 2,
    ACK_REFUSED = 3,
    ACK_ECHO = 4,
  };

  // What a port query asks; bits combine (the daemon passes 9).
  enum MODE : uint16_t {
    MODE_PORT_KIND1 = 0x01,
    MODE_PORT_KIND2 = 0x02,
    MODE_PORT_KIND4 = 0x04,
    MODE_INDEX_OPTION0 = 0x08,
    MODE_INDEX_OPTION1 = 0x10,
  };

  // Options 0..3 of SYNCHRO_NODE_ANS, all zero without an acknowledged answer.
  struct SynchroNodeInfo {
    uint16_t option0 = 0;
    uint16_t option1 = 0;
    uint16_t option2 = 0;
    uint16_t option3 = 0;
    bool operator==(const SynchroNodeInfo&) const = default;
  };

  // One output port, keyed by the port's endpoint.
  struct TargetConnectInfo {
    uint64_t productID = 0;
    uint16_t portIndex = 0;
    uint16_t version = 0;
    std::string targetName;
    std::string infoText;
    KALMO::IPAddress targetAddress;  // the target's discovery endpoint
    std::string portName;
    bool multiport = false;
    SynchroNodeInfo syncInfo;
  };

  // One status item, keyed by its control address.
  struct TargetStatusInfo {
    uint64_t productID = 0;
    uint16_t index = 0;
    uint16_t version = 0;
    std::string targetName;
    uint16_t kind = 0;
    KALMO::IPAddress linkAddress;  // ::1 + own port index, or a device's control address + item index
    std::string itemName;
  };

  // One element of a status chain.
  struct StatusSortSt {
    uint64_t productID = 0;
    uint16_t index = 0;
    uint16_t version = 0;
    std::string targetName;
    uint16_t kind = 0;
    KALMO::IPAddress linkAddress;
    std::string itemName;
    KALMO::IPAddress controlAddress;
    uint8_t chainEnd = 0;  // 1: nothing hangs on this element
    uint8_t ownPort = 0;   // 1: an item of the chosen output port itself
  };

  // A port's status items in chain order (elements are inserted mid-list).
  class StatusSort : public std::list<StatusSortSt> {
   public:
    // The first element whose controlAddress equals the key, or end().
    const_iterator find(KALMO::IPAddress key) const;
    iterator find(KALMO::IPAddress key);
    // Same length and, element by element, the same controlAddress,
    // linkAddress and index: a chain whose devices moved is a new chain.
    bool operator==(const StatusSort& other) const;
  };

  using TargetMap = std::map<KALMO::IPAddress, FindTargetSt>;
  using PortMap = std::map<KALMO::IPAddress, TargetConnectInfo>;
  using StatusMap = std::map<KALMO::IPAddress, TargetStatusInfo>;

  // ---- limits ------------------------------------------------------------

  static constexpr uint16_t DISCOVERY_PORT = 19642;
  // Port 0 is never used, so the presence bitmap reaches ports 1..4095.
  static constexpr uint16_t MAX_PORTS = 4095;
  static constexpr uint16_t MAX_STATUS_ITEMS = 4095;
  // The announced name is cut to what fits one datagram on any IPv6 link
  // (minimum MTU 1280 less the IP, UDP and record headers).
  static constexpr size_t MAX_NAME = 1280 - 40 - 8 - 16;
  static constexpr uint64_t ACK_WAIT = 100'000'000'000ULL;   // 100 ms
  static constexpr uint64_t MULTI_WAIT = 30'000'000'000ULL;  // 30 ms

  // ---- construction, opening ---------------------------------------------

  explicit Find(const Setting& setting);
  ~Find();
  Find(const Find&) = delete;
  Find& operator=(const Find&) = delete;

  bool open(const std::list<KALMO::IPAddress>& addresses);
  bool open(const std::list<std::string>& interfaceNames);
  bool open(uint16_t interfaceIndex);
  bool open(const KALMO::IPAddress& address);
  bool open();
  void close();

  // ---- discovery (find.cpp) ----------------------------------------------

  std::list<KALMO::IPAddress> getIfList();
  bool sendMulti(const Send& request, MessageID answerId, std::map<KALMO::IPAddress, Receive>& answers);
  bool findTarget(TargetMap& found);
  uint64_t muchID(uint64_t productID) const;
  bool NotisName(const KALMO::IPAddress& target);
  int sendAck(const KALMO::IPAddress& destination, const Send& request, MessageID answerId, Receive& answer,
              bool retry);
  // True when the last exchange failed at its send with an error that is
  // about its destination (port 0, unreachable, refused, not allowed), not
  // about this socket: only that answerer is lost, discovery goes on.
  bool lastSendRefused() const { return sendRefused_ != 0; }
  int lastSendError() const { return sendRefused_; }
  static bool namesDestination(int error);
  // Exchanges so far that ended with an answer of any kind (acknowledged,
  // refused or echoed): a caller tells a silent target by no change.
  uint64_t answered() const { return answered_; }

  // Work of the caller that must not wait behind discovery (the daemon's
  // card work): while an exchange or a sweep waits, it is called on this
  // thread about every IDLE_SLICE, however much stray traffic arrives. It
  // must not use this client. Empty: nothing is called.
  using IdleWork = std::function<void()>;
  void setIdleWork(IdleWork work);
  static constexpr uint64_t IDLE_SLICE = 10'000'000'000ULL;  // 10 ms

  // Consulted by findTarget for every answering endpoint before its name is
  // announced: false passes over it (neither announced nor stored). Lets the
  // caller bound what unknown answerers may cost. Empty: every one is taken.
  using AnswerScreen = std::function<bool(const KALMO::IPAddress& sender)>;
  AnswerScreen screen;
  // Answering endpoints of a higher priority are screened and announced
  // before the others (equal ones in key order), so that a screen with a
  // time budget reaches them first. Empty: key order.
  using AnswerPriority = std::function<unsigned(const KALMO::IPAddress& sender)>;
  AnswerPriority priority;
  bool pingTarget(KALMO::IPAddress target);
  bool getTarget(const KALMO::IPAddress& target, uint64_t& productID, std::string& name);

  // ---- ports and status items (find_ports.cpp) ----------------------------

  bool getPort(const KALMO::IPAddress& target, MODE mode, uint16_t& count0, uint16_t& count1,
               uint8_t* bitmap0, uint8_t* bitmap1);
  bool getPort(const KALMO::IPAddress& target, MODE mode, uint16_t index, KALMO::IPAddress& port,
               uint16_t& version, std::string& name, SynchroNodeInfo& syncInfo);
  bool getStatus(const KALMO::IPAddress& target, uint16_t& count);
  bool getStatus(const KALMO::IPAddress& target, uint16_t index, KALMO::IPAddress& controlAddress,
                 uint16_t& version, std::string& itemName, KALMO::IPAddress& linkAddress, uint16_t& kind);
  bool findTarget(const TargetMap& found, PortMap& ports, MODE mode);
  bool findTarget(const TargetMap& found, StatusMap& items);
  bool getOutput(const KALMO::IPAddress& target, uint16_t index, KALMO::IPAddress& port,
                 TargetConnectInfo& record);
  static bool is_multiport(const PortMap& ports, const KALMO::IPAddress& endpoint);

  // ---- status chains (status_sort.cpp) -------------------------------------

  static void SortStatus(KALMO::IPAddress port, uint16_t portIndex, bool kind1, const StatusMap& items,
                         StatusSort& chain);

  // ---- upload, target information, settings, icons -------------------------
  // Uploads (find_upload.cpp), firmware, information pages and reboot
  // (find_info.cpp), target and sink settings (find_settings.cpp) and icons
  // (icon.cpp). Each blocks the caller until its exchanges end and uses the
  // discovery socket, so none of them may overlap another operation here.

  // Slot + 1 goes out in a 16-bit word whose 0 is the slot query and whose
  // top bit marks the last packet of a burst.
  static constexpr int32_t MAX_TRANSFER_SLOT = 0x7FFE;
  // Bytes of data per packet we can send at all: the record and its resend
  // padding must fit one UDP datagram. Over IPv6 a datagram carries at most
  // 65535 - 8 bytes; a resend is the 16-byte header and the data plus up to
  // 3 zero bytes, rounded up to 8. A target asking for more is refused.
  static constexpr uint64_t MAX_TRANSFER_PACKET = ((65535 - 8 - 16) & ~uint64_t{7}) - 3;  // 65501
  static constexpr uint64_t TRANSFER_ACK_WAIT = 100'000'000'000ULL;  // 100 ms
  static constexpr uint64_t TRANSFER_QUIET = 10'000'000'000ULL;      // 10 ms
  // A drain after a loss ends by this time however much keeps arriving.
  static constexpr uint64_t TRANSFER_DRAIN_LIMIT = 100'000'000'000ULL;  // 100 ms
  static constexpr int TRANSFER_RESENDS = 10;

  // Called once before each block goes out: (block, blocks), 0-based block.
  using TransferProgress = std::function<void(uint16_t block, uint16_t blocks)>;

  // Whole upload, finish included: true only when the target reports the
  // data complete. An empty progress function gets the logging default.
  bool Transfer(KALMO::IPAddress target, int32_t slot, KALMO::BufferCS_const data, uint64_t window,
                const TransferProgress& progress);
  bool Transfer(KALMO::IPAddress target, int32_t slot, KALMO::BufferCS_const data, uint64_t window);
  // The closing exchange: `result` goes out and comes back with the target's
  // verdict (0xffff = complete).
  bool TransferFinish(KALMO::IPAddress target, int32_t slot, const uint16_t& crc, uint16_t& result);

  // A paged information item holds at most this many pages here.
  static constexpr uint16_t MAX_INFO_PAGES = 256;

  bool FwVersion(KALMO::IPAddress target, std::string& version);
  bool FwURL(KALMO::IPAddress target, std::string& location);
  bool Infomation(KALMO::IPAddress target, uint16_t item, std::string& text);
  bool Infomation(KALMO::IPAddress target, uint16_t item, KALMO::Buffer& data);
  bool Infomation(KALMO::IPAddress target, uint16_t item, std::vector<std::string>& pages);
  bool Reboot(KALMO::IPAddress target, bool withValue = false, uint16_t value = 0);

  // One item of a target's or sink's settings list.
  struct TargetSettingInfo {
    int32_t type = 0;  // 0 unknown, 1 text, 2 number, 3 on/off, 4 choice, 5 choice with text, 6 ranged
    std::string name;
    std::string text;                  // types 1 and 5
    std::vector<std::string> choices;  // types 3, 4, 5: names of min .. max
    int32_t value = 0;
    int32_t min = 0;
    int32_t max = 0;
    int32_t valueExtra = 0;
  };
  using TargetSettingList = std::list<TargetSettingInfo>;

  // What one list read takes at most from a target: items, choices of one
  // item (the names of min .. min + MAX_SETTING_CHOICES - 1; the range kept),
  // and bytes of names, texts and choice names of the whole list.
  static constexpr uint16_t MAX_SETTING_ITEMS = 256;
  static constexpr int32_t MAX_SETTING_CHOICES = 256;
  static constexpr size_t MAX_SETTING_TEXT = 1 << 20;

  bool TargetSetting(KALMO::IPAddress target, TargetSettingList& list, bool mode);
  bool SinkSetting(KALMO::IPAddress target, TargetSettingList& list, bool mode);
  bool _TargetSetting(KALMO::IPAddress target, MessageID base, TargetSettingList& list, bool mode);
  bool setTargetSetting(KALMO::IPAddress target, uint16_t item, const std::string& text, uint16_t number);
  bool setTargetSetting(KALMO::IPAddress target, uint16_t item, const std::string& text);
  bool setTargetSetting(KALMO::IPAddress target, uint16_t item, uint16_t number);
  bool setSinkSetting(KALMO::IPAddress target, uint16_t item, const std::string& text, uint16_t number);
  bool setSinkSetting(KALMO::IPAddress target, uint16_t item, const std::string& text);
  bool setSinkSetting(KALMO::IPAddress target, uint16_t item, uint16_t number);
  bool _setTargetSetting(KALMO::IPAddress target, MessageID base, uint16_t item, const std::string& text,
                         uint16_t number);
  bool _setTargetSetting(KALMO::IPAddress target, MessageID base, uint16_t item, const std::string& text);
  bool _setTargetSetting(KALMO::IPAddress target, MessageID base, uint16_t item, uint16_t number);
  bool TargetSettingFinale(KALMO::IPAddress target, bool finale);
  bool SinkSettingFinale(KALMO::IPAddress target, bool finale);
  bool _TargetSettingFinale(KALMO::IPAddress target, MessageID base, bool finale);

  // Icon set in bits 16 and up (0..2), icon code in bits 0-15.
  using ICON = uint32_t;
  static constexpr ICON MAX_ICON = 0x2FFFF;
  // An icon above this many pixels is not taken (reported as no icon).
  static constexpr uint32_t MAX_ICON_PIXELS = 1024 * 1024;

  // `class Icon` here names VELLORA::Icon (discovery/icon.h).
  bool downloadIcon(KALMO::IPAddress target, ICON selector, class Icon& icon);
  bool downloadIcon(KALMO::IPAddress target, ICON selector, class Icon& icon, uint16_t wishedWidth);

  // ---- state -----------------------------------------------------------------

  // The setting, copied.
  uint64_t productID;
  uint16_t version;
  std::string name;
  bool probeActive;
  bool loopback;
  std::vector<uint64_t> productIDs;
  uint64_t nameValue;

  // Chosen local link-local addresses (never with interface index 0); empty
  // means every link-local interface, read afresh at every multicast.
  std::list<KALMO::IPAddress> localAddresses;
  // Endpoints that get a unicast copy of every multicast request.
  std::list<KALMO::IPAddress> extraDestinations;
  KALMO::Socket socket;

  // Time one target's port or status listing may take; what is not listed
  // by then is logged and left out.
  KALMO::Clock listLimit = 5'000'000'000'000ULL;  // 5 s

 private:
  // What an answer must carry besides its code and sender: when `option` is
  // 0..3 and the answer's option word there is not 0, it must equal `value`
  // (targets echo the index they were asked for; 0 is a target that does not).
  struct Match {
    int option = -1;
    uint16_t value = 0;
    // Take nothing, not even an echo or a refusal, from an endpoint other
    // than the one addressed (the upload's exchanges: stray traffic must not
    // end an upload).
    bool onlyFromDestination = false;
  };
  int exchange(const KALMO::IPAddress& destination, const Send& request, MessageID answerId, Receive& answer,
               bool retry, Match match);
  // Waits for the socket within a window (start, length), running the idle
  // work meanwhile; a window in which the idle work ran still takes what
  // arrived by its end. A Socket wait result.
  struct Window {
    KALMO::Clock start;
    uint64_t length = 0;
    bool idleRan = false;
    int latePolls = 0;
  };
  int await(Window& window);
  // Drops whatever is already waiting on the socket, so that a late answer
  // to an earlier exchange is never read as the answer to the next one.
  void drain();
  // True when the probe was acknowledged (the query then returns false).
  bool probe(const KALMO::IPAddress& target);
  // False (and logged) when the answer reports a version above the host's.
  bool versionFits(uint16_t targetVersion) const;
  std::string infoText(const KALMO::IPAddress& target, const Receive& answer) const;

  int sendRefused_ = 0;      // errno of the last exchange's refused send, else 0
  uint64_t answered_ = 0;
  unsigned portZero_ = 0;    // answers from source port 0 in this discovery run
  unsigned overflow_ = 0;    // answers past the run's limit of endpoints
  IdleWork idle_;
  KALMO::Clock lastIdle_;
};

}  // namespace VELLORA
