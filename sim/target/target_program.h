#pragma once
// vellora-target-sim as a program: one or more stand-in targets on the
// links of the namespace it runs in, each with its output ports (one sink
// per port), a status item per port and optional linked devices behind the
// first port. It records the audio of every port, reports what arrived, and
// takes commands that make a target vanish and come back, change its status
// chain, drop packets, miss control connects, leave a service unanswered or
// change its volume.
//
// Targets come from the command line or from a settings file:
//
//   Device=vt0            ; default interface of every target
//   Record=/tmp/rec       ; directory for <target>_<port>.raw
//   [amp]
//   ProductID=1
//   Ports=left,right
//   Address=fe80::2:1     ; discovery address (default: first of Device;
//                         ; two targets on one address are refused)
//   Linked=sub            ; devices behind the first port's item
//   Volume=-1000          ; the target's volume value (0 full, -6000 floor)
//   ExtraPorts=600        ; ports without a sink, after the named ones
//   Hang=control          ; what every port leaves unanswered (sync, control, stream)

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vsim {

// What a port of a misbehaving target (firmware that hangs one service)
// leaves unanswered; a port may hang several.
enum : unsigned {
  HANG_SYNC = 1,     // SYNCHRO_NODE_REQ at the port's endpoint: its listing fails
  HANG_CONTROL = 2,  // every request at its status item's control endpoint
  HANG_STREAM = 4,   // every stream handshake request at its endpoint (it still lists)
};
// HANG_* of "sync", "control" or "stream"; 0 for any other word.
unsigned hangOf(const std::string& word);

// A whole number within [low, high] (decimal, or hex with 0x); false for
// anything else.
bool parseNumber(const std::string& text, int64_t low, int64_t high, int64_t& out);

// Ports a target may list, the named and the extra ones together.
inline constexpr unsigned MAX_LISTED_PORTS = 4095;

struct ProgramTarget {
  std::string name;
  uint64_t productID = 1;
  std::string device;   // empty: the program's default device
  std::string address;  // empty: the first link-local address of the device
  std::vector<std::string> ports;
  std::vector<std::string> linked;
  int16_t volume = 0;
  // Further ports after the named ones, "x<index>", each with its status
  // item: they list and answer their control channel like the others but
  // have no sink, so their stream handshake is never answered. Neither
  // summed up nor recorded.
  unsigned extraPorts = 0;
  unsigned hang = 0;  // HANG_* of every port, named and extra, from the start
};

struct ProgramOptions {
  std::vector<ProgramTarget> targets;
  std::string device;       // default interface
  std::string recordDir;    // empty: nothing is recorded
  std::string commandPath;  // FIFO of commands; empty: none
  uint64_t dropEvery = 0;   // every sink drops one packet in k (0: none)
  bool keepAudio = true;    // false: count and checksum the audio only (no recordings)
  bool checkCounter = false;  // check the audio as the card player's 32-bit frame counter
};

// Command line: [--settings FILE] [--device IF] [--record DIR] [--commands FIFO]
// [--drop-every K] [--keep-audio 0|1] [--check-counter 0|1] and targets as --target NAME [--product ID] [--address A]
// [--port NAME]... [--linked NAME]... [--volume V] [--extra-ports N] [--hang sync|control|stream]...
// False with a reason.
bool parseProgramArgs(int argc, const char* const* argv, ProgramOptions& options, std::string& error);
// Adds the targets (and defaults) of a settings file; false with a reason.
bool loadProgramSettings(const std::string& path, ProgramOptions& options, std::string& error);

// What one port received so far.
struct PortSummary {
  std::string target;
  std::string port;
  uint64_t packets = 0;
  uint64_t resends = 0;  // resend requests the sink sent
  uint64_t gaps = 0;
  uint64_t bytes = 0;
  uint64_t checksum = 0;  // FNV-1a of the audio bytes
  int16_t volume = 0;     // the port's volume value as the target holds it
  uint64_t connects = 0;
  uint64_t disconnects = 0;  // disconnect requests of the last stream
  uint64_t wireFormat = 0;
  uint64_t silences = 0;  // with the counter check: silence inside the counter
  uint64_t breaks = 0;    // with the counter check: samples out of order
};

class TargetProgram {
 public:
  explicit TargetProgram(ProgramOptions options);
  ~TargetProgram();
  TargetProgram(const TargetProgram&) = delete;
  TargetProgram& operator=(const TargetProgram&) = delete;

  // Creates every target; false with a reason.
  bool start(std::string& error);

  // One command; the reply is one line for the console.
  //   vanish TARGET | appear TARGET
  //   link TARGET DEVICE | unlink TARGET        (the first port's chain)
  //   drop K | drop TARGET:PORT K               (one packet in K, 0: none)
  //   volume V | volume TARGET:PORT V           (the target's own value)
  //   refuse TARGET:PORT K                      (K control item queries unanswered)
  //   hang TARGET[:PORT] sync|control|stream    (that service unanswered from now
  //                                             on; every port of the target
  //                                             without :PORT, extra ones too)
  //   mend TARGET[:PORT]                        (every service answered again)
  //   summary                                   (also writes the recordings)
  // False for an unknown or malformed command.
  bool command(const std::string& line, std::string& reply);

  std::vector<PortSummary> summary() const;
  // One line per port.
  static std::string format(const std::vector<PortSummary>& ports);
  // Writes <record dir>/<target>_<port>.raw for every port; false when a
  // file cannot be written.
  bool writeRecordings() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// FNV-1a (64 bit) over bytes, continuing from hash.
uint64_t audioChecksum(const uint8_t* data, uint64_t n, uint64_t hash = 14695981039346656037ull);

// Where the played bytes sit in a recording that may hold silence before
// and after them, and whether they arrived unchanged.
struct RecordingMatch {
  bool found = false;       // the start of the played bytes was found
  uint64_t offset = 0;      // where they start in the recording
  bool identical = false;   // every played byte follows, in order
  uint64_t firstDifference = 0;  // index into the played bytes
  uint64_t compared = 0;    // played bytes the recording covers from offset
  uint64_t checksum = 0;    // checksum of the recording's bytes from offset, played length
};
RecordingMatch matchRecording(const std::vector<uint8_t>& played, const std::vector<uint8_t>& recording);
// One line for the console: bytes, checksum, "identical" or the first difference.
std::string describeMatch(const std::vector<uint8_t>& played, const RecordingMatch& match);

}  // namespace vsim
