// vellora-hostile-sim: a hostile node on a link, answering every discovery
// request from `--flood N` silent UDP ports (and with `--port-zero` once from
// source port 0), until SIGINT or SIGTERM. With `--known` the silent ports
// accept the host's name announcement, just enough of a listing to count as
// answering targets, and stay silent to everything else; `--known-ports K`
// also answers the port count with K ports, never answered one by one, and
// `--behave-for S` answers the whole listing, as targets without ports, for
// the first S seconds before it hangs. More than one
// `--address` spreads the ports over those addresses. Run it only inside a
// network namespace of its own or the one of the stand-in targets. It ends
// with one line of counts, and the longest time a scan kept asking it:
//
//   requests=N answers=N portzero=N dropped=N listing=N bursts=N longest=MS
//
//   vellora-hostile-sim --device IF [--address fe80::x]... [--flood N] [--known] [--known-ports K]
//                       [--behave-for S] [--port-zero] [--name TEXT]
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "sim/target/hostile_node.h"
#include "sim/target/target_program.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

int usage() {
  std::fprintf(stderr,
               "usage: vellora-hostile-sim --device IF [--address ADDR]... [--flood N] [--known]\n"
               "         [--known-ports K] [--behave-for S] [--port-zero] [--name TEXT]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  vsim::HostileOptions o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool more = i + 1 < argc;
    int64_t n = 0;
    if (a == "--device" && more) {
      o.device = argv[++i];
    } else if (a == "--address" && more) {
      if (o.address.empty()) {
        o.address = argv[++i];
      } else {
        o.moreAddresses.push_back(argv[++i]);
      }
    } else if (a == "--flood" && more) {
      if (!vsim::parseNumber(argv[++i], 0, 4096, n)) return usage();
      o.floodPorts = static_cast<unsigned>(n);
    } else if (a == "--known") {
      o.answerName = true;
    } else if (a == "--known-ports" && more) {
      if (!vsim::parseNumber(argv[++i], 0, vsim::MAX_LISTED_PORTS, n)) return usage();
      o.knownPorts = static_cast<uint16_t>(n);
      o.answerName = true;
    } else if (a == "--behave-for" && more) {
      if (!vsim::parseNumber(argv[++i], 0, 86400, n)) return usage();
      o.behaveFor = std::chrono::seconds(n);
      o.answerName = true;
    } else if (a == "--port-zero") {
      o.portZeroAnswer = true;
    } else if (a == "--name" && more) {
      o.name = argv[++i];
    } else {
      return usage();
    }
  }
  if (o.device.empty()) return usage();
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  vsim::HostileNode node(o);
  std::string error;
  if (!node.start(error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  while (!stopRequested) ::usleep(50'000);
  node.stop();
  std::printf("requests=%llu answers=%llu portzero=%llu dropped=%llu listing=%llu bursts=%llu longest=%llu\n",
              static_cast<unsigned long long>(node.requests()), static_cast<unsigned long long>(node.answers()),
              static_cast<unsigned long long>(node.portZeroSent()), static_cast<unsigned long long>(node.dropped()),
              static_cast<unsigned long long>(node.listingAnswers()), static_cast<unsigned long long>(node.bursts()),
              static_cast<unsigned long long>(node.longestBurstMs()));
  return 0;
}
