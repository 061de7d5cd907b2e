// Checks a recording of vellora-card-play's frame counter (32-bit
// little-endian samples, sample k holds k + 1) without holding it in memory:
//
//   bench_soak_check RECORDING PLAYED-BYTES
//
// Leading silence (the stream's starting cushion) and trailing silence are
// skipped. Inside the counter, a run of zero samples after which the counter
// goes on where it stopped is an inserted silence; one after which it goes on
// further along is a loss. Prints one line and exits 0 only when every played
// byte arrived once, in order, with nothing inserted.

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Result {
  uint64_t leadingSilence = 0;  // bytes before the counter starts
  uint64_t matched = 0;         // samples of the counter that arrived in place
  uint64_t insertedRuns = 0;    // silences inside the counter that delayed it
  uint64_t insertedBytes = 0;
  uint64_t lossRuns = 0;        // jumps of the counter (after silence or not)
  uint64_t wrong = 0;           // samples that are neither silence nor the counter
  uint64_t firstDifference = UINT64_MAX;  // byte offset in the recording
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_soak_check RECORDING PLAYED-BYTES\n");
    return 2;
  }
  errno = 0;
  const uint64_t playedBytes = std::strtoull(argv[2], nullptr, 0);
  if (errno != 0 || playedBytes == 0 || playedBytes % 4 != 0) {
    std::fprintf(stderr, "bad byte count %s\n", argv[2]);
    return 2;
  }
  std::FILE* f = std::fopen(argv[1], "rb");
  if (f == nullptr) {
    std::fprintf(stderr, "cannot open %s: %s\n", argv[1], std::strerror(errno));
    return 2;
  }
  const uint64_t samples = playedBytes / 4;
  Result r;
  uint64_t next = 1;  // the counter value expected next
  uint64_t offset = 0;
  uint64_t zeroRun = 0;  // zero samples seen since the last counter sample
  bool started = false;
  std::vector<uint32_t> chunk(1 << 16);
  size_t got = 0;
  while ((got = std::fread(chunk.data(), 4, chunk.size(), f)) > 0) {
    for (size_t i = 0; i < got; ++i, offset += 4) {
      uint32_t v;
      std::memcpy(&v, &chunk[i], 4);  // the recording is little-endian, as this machine
      if (next > samples) continue;   // trailing bytes
      if (v == 0) {
        if (!started) r.leadingSilence += 4;
        else ++zeroRun;
        continue;
      }
      if (!started) {
        started = true;
        if (v != 1) {
          ++r.lossRuns;
          if (r.firstDifference == UINT64_MAX) r.firstDifference = offset;
        }
        next = v;
      }
      if (v == next) {
        if (zeroRun != 0) {
          ++r.insertedRuns;
          r.insertedBytes += zeroRun * 4;
          if (r.firstDifference == UINT64_MAX) r.firstDifference = offset - zeroRun * 4;
        }
      } else if (v > next) {
        ++r.lossRuns;
        if (r.firstDifference == UINT64_MAX) r.firstDifference = offset - zeroRun * 4;
      } else {
        ++r.wrong;
        if (r.firstDifference == UINT64_MAX) r.firstDifference = offset;
      }
      zeroRun = 0;
      if (v >= next) {
        ++r.matched;
        next = static_cast<uint64_t>(v) + 1;
      }
    }
  }
  std::fclose(f);
  const bool complete = next == samples + 1;
  const bool exact = complete && r.insertedRuns == 0 && r.lossRuns == 0 && r.wrong == 0 &&
                     r.matched == samples;
  std::printf("played=%" PRIu64 " received-samples=%" PRIu64 "/%" PRIu64 " leading-silence=%" PRIu64
              " inserted-silences=%" PRIu64 " inserted-bytes=%" PRIu64 " losses=%" PRIu64
              " wrong=%" PRIu64 " %s",
              playedBytes, r.matched, samples, r.leadingSilence, r.insertedRuns, r.insertedBytes,
              r.lossRuns, r.wrong, exact ? "byte-exact" : "NOT byte-exact");
  if (!exact && r.firstDifference != UINT64_MAX) {
    std::printf(" first-difference-at=%" PRIu64, r.firstDifference);
  }
  if (!complete) std::printf(" incomplete");
  std::printf("\n");
  return exact ? 0 : 1;
}
