// vellora-card-play: plays a file or the frame-counter pattern into a card
// of the simulated driver, as an ALSA application would, and reports what
// it wrote.

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "sim/card_play/card_play.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: vellora-card-play [--dir DIR] [--card N]\n"
               "  [--format BITS] [--rate BITS] [--channels BITS] [--buffer BYTES] [--periods N]\n"
               "  [--pattern] [--bytes N | --seconds S] | [--raw FILE] | [--wav FILE]\n"
               "  [--no-prefill] [--volume V] [--restart-after BYTES]\n"
               "  [--prepare-again-after BYTES] [--pause-ms MS] [--timeout-ms MS]\n");
}

bool number(const char* text, uint64_t& out) {
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0') return false;
  out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  vsim::CardPlayOptions o;
  int64_t volume = -1;
  uint64_t restartAfter = 0;
  uint64_t prepareAgainAfter = 0;
  // How long the card stays stopped: before it starts again, or before it
  // is prepared again.
  int64_t pauseMs = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    uint64_t v = 0;
    auto numberArg = [&](uint64_t& out) {
      if (!hasValue || !number(argv[++i], out)) {
        std::fprintf(stderr, "bad value for %s\n", a.c_str());
        std::exit(2);
      }
    };
    if (a == "--dir" && hasValue) {
      o.dir = argv[++i];
    } else if (a == "--card") {
      numberArg(v);
      o.card = static_cast<int>(v);
    } else if (a == "--format") {
      numberArg(o.format);
    } else if (a == "--rate") {
      numberArg(o.rate);
    } else if (a == "--channels") {
      numberArg(o.channels);
    } else if (a == "--buffer") {
      numberArg(v);
      o.bufferBytes = static_cast<uint32_t>(v);
    } else if (a == "--periods") {
      numberArg(v);
      o.periodCount = static_cast<uint32_t>(v);
    } else if (a == "--pattern") {
      o.source = vsim::CardPlayOptions::Source::Pattern;
    } else if (a == "--bytes") {
      numberArg(o.bytes);
    } else if (a == "--seconds" && hasValue) {
      o.seconds = std::atof(argv[++i]);
    } else if (a == "--raw" && hasValue) {
      o.source = vsim::CardPlayOptions::Source::Raw;
      o.file = argv[++i];
    } else if (a == "--wav" && hasValue) {
      o.source = vsim::CardPlayOptions::Source::Wav;
      o.file = argv[++i];
    } else if (a == "--no-prefill") {
      o.prefill = false;
    } else if (a == "--volume") {
      numberArg(v);
      volume = static_cast<int64_t>(v);
    } else if (a == "--restart-after") {
      numberArg(restartAfter);
    } else if (a == "--prepare-again-after") {
      numberArg(prepareAgainAfter);
    } else if (a == "--pause-ms") {
      numberArg(v);
      pauseMs = static_cast<int64_t>(v);
    } else if (a == "--timeout-ms") {
      numberArg(v);
      o.timeoutMs = static_cast<int>(v);
    } else {
      usage();
      return 2;
    }
  }
  if (o.source == vsim::CardPlayOptions::Source::Pattern && o.bytes == 0 && o.seconds <= 0) {
    o.seconds = 10;
  }

  vsim::CardPlay player(o);
  if (!player.open()) {
    std::fprintf(stderr, "card %d not found or not attached\n", o.card);
    return 1;
  }
  if (volume >= 0) player.setVolume(static_cast<int32_t>(volume));
  if (!player.choose()) {
    std::fprintf(stderr, "no usable choice for card %d\n", o.card);
    return 1;
  }
  const uint32_t status = player.prepare();
  std::printf("format=0x%llx rate=0x%llx channels=0x%llx buffer=%u periods=%u host=0x%x\n",
              static_cast<unsigned long long>(player.options().format),
              static_cast<unsigned long long>(player.options().rate),
              static_cast<unsigned long long>(player.options().channels),
              player.options().bufferBytes, player.options().periodCount, status);
  if ((status & HOST_STATUS_CONNECTED) == 0 || (status & HOST_STATUS_ERROR) != 0) {
    std::fprintf(stderr, "the daemon did not connect card %d (host status 0x%x)\n", o.card, status);
    player.close();
    return 1;
  }
  if (o.prefill) player.prefillBuffer();
  player.start();
  if (restartAfter > 0) {
    player.play(restartAfter);
    player.stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs < 0 ? 200 : pauseMs));
    player.start();
  }
  if (prepareAgainAfter > 0) {
    // Once BYTES are written and the daemon has taken them, recovers as
    // from an underrun: stops, prepares again (after the pause, when one is
    // asked for), fills the buffer anew and starts.
    if (prepareAgainAfter > player.written()) player.play(prepareAgainAfter - player.written());
    player.drain();
    player.stop();
    if (pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    player.prepareAgain();
    if (o.prefill) player.prefillBuffer();
    player.start();
  }
  player.playAll();
  const bool complete = player.remaining() == 0 && player.drain();
  player.stop();
  const int32_t finalVolume = player.volume();
  player.unprepare();
  player.close();
  std::printf("written=%llu checksum=%016llx volume=%d late=%llu %s\n",
              static_cast<unsigned long long>(player.written()),
              static_cast<unsigned long long>(player.checksum()), finalVolume,
              static_cast<unsigned long long>(player.late()), complete ? "complete" : "incomplete");
  return complete ? 0 : 1;
}
