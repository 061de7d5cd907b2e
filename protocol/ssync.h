#pragma once
// One synchronous audio stream from the host to one sink: the handshake that
// learns what the sink accepts, the choice of wire format and converter, the
// transfer profiles, and the streaming worker that sends the audio cycle by
// cycle, steered by the sink's feedback.
//
// The application drives it from one thread: open, setSink, then per
// connection is_active, setSinkConfigure, a transfer-profile operation,
// connectPrepare, connect, connectWait, play/stop, disconnect; finally close.
// syncState and playFlag are shared with the worker as atomic words.
//
// Threads are ended by a flag and a wake-up, and joined before the sockets
// they use are closed.

#include "base/clock.h"
#include "base/ip_address.h"
#include "base/socket.h"
#include "protocol/connection.h"
#include "protocol/convert.h"
#include "protocol/feedback.h"
#include "protocol/format_configure.h"
#include "protocol/message.h"
#include "protocol/profile.h"
#include "protocol/profile_maker.h"
#include "protocol/ssync_debug.h"
#include "protocol/stream.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace VELLORA {

class SSync : public Connection, public SyncConvert {
 public:
  enum THRED_MODE : int32_t {
    CRITICAL = 0x001,        // worker at FIFO 99, else round-robin 10
    NOSHORTSLEEP = 0x002,    // spin once 100 us or less remain
    NOSLEEP4CORE = 0x004,    // never wait on the socket between cycles
    SOCKETNOBLOCK = 0x008,   // sockets non-blocking for good
    OCCUPIED = 0x010,        // pin the worker (and debug thread) to its CPUs
    FEEDBACK = 0x0E0,        // feedback window - 1 in bits 5 to 7
    NOFASTFEEDBACK = 0x100,  // catch up on lateness without double cycles
    IDLEONCE = 0x200,        // yield once per cycle before waiting
    IDLEALWAYS = 0x400,      // yield on every pass of the wait
    NOSLEEPFORCE = 0x800,    // same as NOSLEEP4CORE
  };

  enum SyncState : int32_t { Idle = 0, Connecting = 1, Connected = 2, Disconnecting = 3 };

  enum CloseStep : int {
    CLOSE_NONE = 0,
    CLOSE_FINAL_BUILT = 1,
    CLOSE_FINAL_SENT = 2,
    CLOSE_INFO_ASKED = 3,
    CLOSE_DISCONNECT = 4,
    CLOSE_DONE = 5,
  };

  // One slot of the worker's resend ring.
  struct STresendList : public SendBuffer {
    bool last = false;  // the final packet of the stream
  };

  // State of one run of the streaming worker; lives on the worker thread.
  struct Worker {
    std::vector<STresendList> resendRing;
    uint32_t ringSize = 0;
    uint16_t sequence = 0;
    uint64_t sentPackets = 0;  // new packets sent, for the resend bounds
    int32_t prefillLeft = 0;
    uint32_t prefillBytes = 0;  // payload of each prefill packet
    int32_t profileIndex = 0;
    // Leading entries of the profile table that can be streamed; lateness
    // never steps past them (a failed search leaves an entry without cycle).
    int32_t usableProfiles = 0;
    KALMO::Clock cycle;
    int32_t framesQ14 = 0;
    KALMO::Clock nextCycle;
    int32_t frameAccumulator = 0;
    int32_t lateScore = 0;
    uint16_t resendCount = 0;
    CloseStep closeStep = CLOSE_NONE;
    KALMO::Clock closeStart;  // when the final packet was built
    // Resends asked for while closing: once they went out the sink is asked
    // again, and the close goes on at closeRecheckBy with or without its
    // answer (a resend lost on the way would lose the end of the audio).
    bool closeRecheck = false;
    KALMO::Clock closeRecheckBy;
    KALMO::Clock closeRecheckWait;
    KALMO::Clock infoStart;
    KALMO::Clock lastReceive;
    KALMO::Clock receiveLimit;
    KALMO::Clock now;       // the loop's present time
    KALMO::Clock waitAsked; // time asked of the wait before this cycle
    FeedbackLaw law;
    bool msMode = false;
    bool sinkInvert = false;
    bool hostInvert = false;  // the host phase the converter was chosen for
    Stream stream;
    uint64_t streamPos = 0;
    bool tookStream = false;
    int waitResult = KALMO::Socket::WAIT_TIMEOUT;
    uint16_t bytesPerFrame = 0;
    int window = 1;
    std::mt19937 random;
    KALMO::IPAddress controlDestination;  // sink address with its control port
    Receive received;
    KALMO::IPAddress from;
    uint32_t traceBuffer[353] = {};
    uint32_t traceCount = 0;
  };

  SSync();
  ~SSync();
  SSync(const SSync&) = delete;
  SSync& operator=(const SSync&) = delete;

  // The audio source (overridden by the buffered source).
  virtual bool getNewStream(Stream& stream);
  virtual bool getNewStreamCmp();
  virtual bool startSyncWorker();

  bool open(THRED_MODE mode, KALMO::Clock infoCycle, unsigned short scope,
            const std::string& name, unsigned long tag, int workerCpu, int debugCpu,
            int debugCpuCount);
  void close();

  // Sink handshake.
  bool setSink(const KALMO::IPAddress& sink, KALMO::Clock latency, bool probe);
  bool is_active();
  bool inquirySupportFormat(const KALMO::IPAddress& to);
  bool inquiryParameter(const KALMO::IPAddress& to, unsigned int baseMin, unsigned int frameMax);
  uint32_t getNoneBaseMin() const;
  uint32_t getFrameMax() const;
  void setPackSize(unsigned short mtu, unsigned short max);
  bool mtuTest(const KALMO::IPAddress& to, unsigned short& mtu);
  bool mtuTest(unsigned short& mtu);

  // Format choice.
  bool setSinkConfigure(FormatConfigure format);
  bool checkSinkSupport(FormatConfigure format) const;

  // Transfer profiles.
  bool configTransferFix(KALMO::Clock cycle, int count);
  bool configTransferVar(KALMO::Clock cycle, int count);
  bool configTransferFixAuto(KALMO::Clock cycle);
  bool configTransferVarAuto(KALMO::Clock cycle);
  bool configTransferRandom(KALMO::Clock minCycle, KALMO::Clock cycle, int count);
  void configTransferAuto(KALMO::Clock limit, KALMO::Clock start, KALMO::Clock limit2);
  void setConfigTransfer(const Profile& profile);
  ProfileMaker getProfileMaker();
  KALMO::Clock getCycleTime() const;
  // The entries the worker may step through when it falls behind: the
  // first, and each streamable one that follows it without a gap.
  int32_t usableProfileCount() const;
  // The longest cycle among those entries.
  KALMO::Clock getLongestCycleTime() const;
  KALMO::Clock getMinCycleTime() const;
  int64_t getCycleSize() const;
  TransferMode getMode() const;

  // Connection.
  bool connectPrepare();
  bool connect(int cpu);
  bool connectWait();
  void disconnect();
  void disconnect_flgset();
  // Connected -> Disconnecting in one indivisible step (with its log line);
  // false, and nothing changed, in any other state.
  bool beginDisconnect();
  void play();
  void stop();
  void changeWorkMode(THRED_MODE mode);
  void setHostInvertPhase(bool invert);
  KALMO::Clock getLatency() const;

  // Copies bytes through the converter in use.
  void memcpySync(unsigned char* destination, const unsigned char* source, unsigned long bytes);

  // Streaming worker.
  void thread_sync_func();
  bool syncWorker();
  // Handles one datagram received from the sink while streaming; false
  // ends the stream (syncState is then Idle).
  bool handleSinkDatagram(Worker& w);
  // The part of the above for STREAMINFO_ANS.
  bool handleStreamInfo(Worker& w, const Receive& r);

  // close or destruction is under way: every wait of the worker gives up.
  bool stoppingNow() const;

  // --- members ---
  std::atomic<Converter> converter;
  std::thread workerThread;
  KALMO::Socket dataSocket;
  KALMO::UDPV6 debugSocket;
  // The sink debug-text thread; started by the first connect while the log
  // threshold is 6 or more, stopped (flag and wake-up) and joined before
  // debugSocket is closed. It keeps the target to register with and whether
  // that is still to be done.
  SSyncDebug debugThread;
  std::mutex connectMutex;
  std::condition_variable connectCond;
  std::atomic<SyncState> syncState;
  std::atomic<bool> playFlag;
  KALMO::IPAddress sinkAddress;
  KALMO::IPAddress debugTarget;
  FormatConfigure hostFormat;
  FormatConfigure wireFormat;
  FormatSupport sincSupportPCM;
  FormatSupport sincSupportDSDlsb;
  FormatSupport sincSupportDSDmsb;
  uint16_t latency = 0;
  uint16_t hwLatency = 0;
  std::atomic<int32_t> workMode;
  int32_t workerCpu = 0;
  int32_t debugCpu = 0;
  int32_t debugCpuCount = 0;
  std::atomic<bool> hostInvert;
  KALMO::Clock infoCycle;
  uint16_t maxPacketSize = 0;
  uint16_t maxPacketCount = 0;
  Profile profiles[10] = {};
  int32_t profileCount = 0;
  ProfileMaker profileMaker;
  std::string name;
  uint64_t tag = 0;

 private:
  // Ends the worker and debug threads (flag and wake-up) and joins them.
  void stopThreads();
  // Sends a one-byte datagram to a local port of ours so that a wait on
  // that socket ends at once.
  void wakeSocket(uint16_t port);
  bool openDataSocket();
  // Opens s and binds it to [::] port 0 with the scope of open; port gets
  // the chosen port.
  bool openBound(KALMO::Socket& s, uint16_t& port);
  // The acknowledged exchange on the control socket, but given up as soon as
  // keepGoing turns false (checked at least every 50 ms).
  bool exchangeWhile(const Send& request, MessageID answer, Receive& out, KALMO::Clock perTry,
                     bool (*keepGoing)(const SSync&));
  void notifyConnect();
  bool connectExchange(Worker& w);
  void choosePhaseConverter(Worker& w);
  bool runCycle(Worker& w, bool followsWait);
  bool buildPacket(Worker& w, STresendList& r, uint32_t size);
  void disconnectExchange(Worker& w);
  void trace(Worker& w, const STresendList& r);
  bool receiveTimedOut(Worker& w);
  unsigned char wireMuteByte(const Worker& w) const;

  unsigned short scope = 0;
  uint16_t controlPort = 0;  // local port, for the worker's wake-up
  std::atomic<bool> stopping;  // close or destruction under way
};

}  // namespace VELLORA
