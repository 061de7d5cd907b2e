// vellora-target-sim: stand-in network audio targets as a program. It
// prints "ready" once every target answers, one reply line per command read
// from its command FIFO, and a summary (a line per port, then "end
// summary") when it ends (SIGINT, SIGTERM or "quit") or is asked
// ("summary"). Its commands can also make a target misbehave: leave a
// port's listing, control channel or stream handshake unanswered.
//
//   vellora-target-sim --compare PLAYED RECORDING
// compares a recording with the bytes that were played and exits 0 when
// they arrived unchanged.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/target/target_program.h"

namespace {

std::atomic<bool> stopRequested{false};

void onSignal(int) { stopRequested.store(true); }

void usage() {
  std::fprintf(stderr,
               "usage: vellora-target-sim [--settings FILE] [--device IF] [--record DIR]\n"
               "         [--commands FIFO] [--drop-every K] [--keep-audio 0|1] [--check-counter 0|1]\n"
               "         [--target NAME [--product ID] [--address A] [--port NAME]...\n"
               "          [--linked NAME]... [--volume V] [--extra-ports N]\n"
               "          [--hang sync|control|stream]...]...\n"
               "       vellora-target-sim --compare PLAYED RECORDING\n"
               "commands: vanish T | appear T | link T DEVICE | unlink T | drop [T:P] K |\n"
               "          refuse T:P K | hang T[:P] sync|control|stream | mend T[:P] |\n"
               "          volume [T:P] V | summary | quit\n"
               "--extra-ports N: N more ports x<index> that list and answer their control\n"
               "channel but never the stream handshake; --hang and hang: every port of the\n"
               "target (or port P) leaves SYNCHRO_NODE_REQ, its control endpoint or its\n"
               "stream handshake unanswered; mend answers again.\n");
}

bool readFile(const char* path, std::vector<uint8_t>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

int compare(const char* played, const char* recording) {
  std::vector<uint8_t> a;
  std::vector<uint8_t> b;
  if (!readFile(played, a) || !readFile(recording, b)) {
    std::fprintf(stderr, "cannot read %s or %s\n", played, recording);
    return 2;
  }
  const vsim::RecordingMatch m = vsim::matchRecording(a, b);
  std::printf("%s\n", vsim::describeMatch(a, m).c_str());
  return m.identical ? 0 : 1;
}

// The command FIFO, opened for reading and writing so that it never reads
// as ended when a writer closes it.
class CommandFifo {
 public:
  bool open(const std::string& path) {
    if (::mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) return false;
    fd_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    return fd_ >= 0;
  }
  ~CommandFifo() {
    if (fd_ >= 0) ::close(fd_);
  }
  // Complete lines that arrived within the time-out.
  std::vector<std::string> lines(int timeoutMs) {
    std::vector<std::string> out;
    if (fd_ < 0) {
      ::usleep(static_cast<useconds_t>(timeoutMs) * 1000);
      return out;
    }
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN)) {
      char buffer[4096];
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n > 0) pending_.append(buffer, static_cast<size_t>(n));
    }
    // A line without its end is kept for the next read, within a bound.
    for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
      out.push_back(pending_.substr(0, end));
      pending_.erase(0, end + 1);
    }
    if (pending_.size() > 4096) pending_.clear();
    return out;
  }

 private:
  int fd_ = -1;
  std::string pending_;
};

void printSummary(const vsim::TargetProgram& program) {
  if (!program.writeRecordings()) std::fprintf(stderr, "recordings could not be written\n");
  std::fputs(vsim::TargetProgram::format(program.summary()).c_str(), stdout);
  std::fputs("end summary\n", stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--compare") == 0) {
    if (argc != 4) {
      usage();
      return 2;
    }
    return compare(argv[2], argv[3]);
  }
  vsim::ProgramOptions options;
  std::string error;
  if (!vsim::parseProgramArgs(argc, argv, options, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    usage();
    return 2;
  }

  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  std::signal(SIGHUP, onSignal);
  std::signal(SIGPIPE, SIG_IGN);

  CommandFifo fifo;
  if (!options.commandPath.empty() && !fifo.open(options.commandPath)) {
    std::fprintf(stderr, "cannot open the command FIFO %s: %s\n", options.commandPath.c_str(),
                 std::strerror(errno));
    return 1;
  }
  vsim::TargetProgram program(options);
  if (!program.start(error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);

  while (!stopRequested.load()) {
    for (const std::string& line : fifo.lines(100)) {
      if (line.empty()) continue;
      if (line == "quit") {
        stopRequested.store(true);
        break;
      }
      std::string reply;
      (void)program.command(line, reply);
      std::printf("%s\n", reply.c_str());
      if (line == "summary") printSummary(program);
      std::fflush(stdout);
    }
  }
  printSummary(program);
  return 0;
}
