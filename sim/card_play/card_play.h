#pragma once
// The ALSA application's stand-in: opens a card of the simulated driver,
// reads its offer, chooses a format, rate, channel count and ring geometry,
// moves the substream through open, prepared, running, stopped and closed,
// and writes periods paced by the daemon's read position, so that it never
// overwrites what the daemon has not taken yet.

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "sim/driver/sim_card.h"

namespace vsim {

struct CardPlayOptions {
  std::string dir;  // the stand-in driver's directory (simDir() when empty)
  int card = 0;
  // The choice; 0 lets the player pick within the offer. A value given here
  // is used as it is, offered or not.
  uint64_t format = 0;
  uint64_t rate = 0;
  uint64_t channels = 0;
  uint32_t bufferBytes = 0;
  uint32_t periodCount = 0;
  // What to play: the frame-counter pattern, or a file.
  enum class Source { Pattern, Raw, Wav } source = Source::Pattern;
  std::string file;
  // Pattern: bytes to play (rounded down to whole frames); 0 with `seconds`.
  uint64_t bytes = 0;
  double seconds = 0;
  bool prefill = true;      // fill the whole buffer before starting
  int timeoutMs = 10000;    // longest wait for the daemon at any step
};

// Bytes per sample of a card format bit (0 when unknown).
uint32_t cardSampleBytes(uint64_t format);
// Rate in Hz a card rate bit stands for (words per second for DSD); 0 when unknown.
uint64_t cardRateHz(uint64_t rate);

class CardPlay {
 public:
  explicit CardPlay(CardPlayOptions options);

  // Maps the card and waits until the daemon has attached it.
  bool open();
  // Picks what the options leave open, from the offer (and a WAV header).
  bool choose();
  // Stores the choice, prepares the substream and waits until the daemon
  // has answered with a connect or an error. Returns the host status seen
  // (0 when the daemon did not answer in time).
  uint32_t prepare();
  // Recovery from an underrun: the substream is prepared again without
  // leaving the prepared state, so the driver's write counters start from
  // zero and the buffer counts as empty. As a driver resets its pointer
  // there, the daemon's read position counts again only once it moved.
  void prepareAgain();
  // Fills the buffer (as far as the source has data) before starting.
  void prefillBuffer();
  void start();
  // Writes up to `bytes` more of the source, paced by the read position.
  // Returns the bytes written; fewer when the source ends, the card is
  // removed or the daemon stops taking data for longer than the timeout.
  uint64_t play(uint64_t bytes);
  // Plays the rest of the source.
  uint64_t playAll() { return play(UINT64_MAX); }
  // Waits until the daemon has taken everything written.
  bool drain();
  void stop();
  void unprepare();
  void close();

  // Runs every step: open, choose, prepare, optional prefill, start, play
  // the source, drain, stop, unprepare, close. False on the first step that fails.
  bool run();

  void setVolume(int32_t volume) { card_.setVolume(volume); }
  int32_t volume() { return card_.volume(); }

  SimCard& card() { return card_; }
  const CardPlayOptions& options() const { return options_; }
  uint32_t frameBytes() const { return frameBytes_; }
  uint32_t periodBytes() const { return periodBytes_; }
  uint64_t written() const { return written_; }
  uint64_t checksum() const { return checksum_; }
  // Times the writer was late while playing: the daemon's read position
  // went past the written bytes, or the writer was away longer than the
  // written-ahead audio lasts at twice the rate (the reader may have lapped
  // it unseen). A
  // late writer leaves old ring bytes where the daemon reads, as an
  // underrun would on real hardware.
  uint64_t late() const { return late_; }
  // Bytes of the source left to play (UINT64_MAX: unbounded).
  uint64_t remaining() const;

  // The frame-counter pattern: sample k of the stream (frame k / channels,
  // channel k % channels) holds k + 1 in its sampleBytes little-endian bytes.
  static void pattern(uint64_t offset, uint8_t* out, uint64_t n, uint32_t sampleBytes);
  static std::vector<uint8_t> pattern(uint64_t offset, uint64_t n, uint32_t sampleBytes);
  // FNV-1a over bytes, continuing from hash.
  static uint64_t fnv1a(const uint8_t* data, uint64_t n, uint64_t hash = 14695981039346656037ull);

 private:
  bool readWavHeader();
  uint64_t nextChunk(uint8_t* out, uint64_t n);
  bool writeOne(uint64_t maxBytes);
  // False when the daemon's read position passed the written bytes.
  bool updateConsumed();

  CardPlayOptions options_;
  SimCard card_;
  std::ifstream file_;
  uint64_t sourceBytes_ = 0;  // bytes the source holds (pattern or file data)
  uint64_t sourceDone_ = 0;   // bytes of the source read so far
  uint32_t sampleBytes_ = 0;
  uint32_t frameBytes_ = 0;
  uint32_t periodBytes_ = 0;
  uint64_t written_ = 0;
  uint64_t consumed_ = 0;
  uint32_t lastRead_ = 0;
  // After prepareAgain: the read position the daemon had, not yet moved.
  bool readStale_ = false;
  uint32_t staleRead_ = 0;
  uint64_t checksum_ = 14695981039346656037ull;
  uint64_t late_ = 0;
  std::vector<uint8_t> chunk_;
};

}  // namespace vsim
