#include "tests/system/system_rig.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "sim/card_play/card_play.h"
#include "sim/driver/sim_card.h"

extern char** environ;

namespace vellora_system {

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

namespace {

std::string hex(uint64_t v) {
  char s[32];
  std::snprintf(s, sizeof s, "0x%llx", static_cast<unsigned long long>(v));
  return s;
}

}  // namespace

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

long lateCount(const std::string& playerOutput) {
  const auto at = playerOutput.rfind(" late=");
  if (at == std::string::npos) return -1;
  return std::strtol(playerOutput.c_str() + at + 6, nullptr, 10);
}

std::vector<std::string> linesStarting(const std::string& text, const std::string& prefix) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
  }
  return out;
}

std::vector<long> loggedValues(const std::string& text, const std::string& prefix, const std::string& mustHold) {
  std::vector<long> out;
  for (const std::string& line : linesStarting(text, prefix)) {
    if (!mustHold.empty() && line.find(mustHold) == std::string::npos) continue;
    out.push_back(std::strtol(line.c_str() + prefix.size(), nullptr, 10));
  }
  return out;
}

Child::~Child() {
  if (pid_ > 0 && running()) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
}

bool Child::start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                  int netnsFd, const std::string& outPath, const std::string& errPath) {
  if (argv.empty() || pid_ > 0) return false;
  outPath_ = outPath;
  errPath_ = errPath;
  // Everything the child needs is built before the fork: after it only
  // async-signal-safe calls are allowed.
  std::vector<std::string> envText;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string key = entry.substr(0, entry.find('='));
    if (env.count(key) == 0) envText.push_back(entry);
  }
  for (const auto& [k, v] : env) envText.push_back(k + "=" + v);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : envText) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const char* out = outPath_.c_str();
  const char* err = errPath_.c_str();

  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (netnsFd >= 0 && ::setns(netnsFd, CLONE_NEWNET) != 0) ::_exit(126);
    const int in = ::open("/dev/null", O_RDONLY);
    const int o = ::open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = ::open(err, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || o < 0 || e < 0) ::_exit(126);
    ::dup2(in, 0);
    ::dup2(o, 1);
    ::dup2(e, 2);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  pid_ = pid;
  status_ = -1;
  return true;
}

bool Child::running() {
  if (pid_ <= 0 || status_ != -1) return false;
  int status = 0;
  const pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -2;
  return false;
}

void Child::signal(int sig) {
  if (running()) ::kill(pid_, sig);
}

int Child::wait(std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (running()) {
    if (std::chrono::steady_clock::now() > end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status_;
}

std::string Child::out() const { return readAll(outPath_); }
std::string Child::err() const { return readAll(errPath_); }

bool Child::waitOut(const std::string& text, std::chrono::milliseconds timeout, size_t count) const {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (occurrences(out(), text) >= count) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

SystemRig::~SystemRig() {
  daemon_.signal(SIGKILL);
  (void)daemon_.wait(std::chrono::seconds(5));
  targets_.signal(SIGKILL);
  (void)targets_.wait(std::chrono::seconds(5));
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

std::string SystemRig::program(const std::string& name) {
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return name;
  self[n] = '\0';
  std::string path(self);
  return path.substr(0, path.rfind('/') + 1) + name;
}

bool SystemRig::setUp(std::string& error) {
  if (::access(program("vellora-target-sim").c_str(), X_OK) != 0) {
    error = program("vellora-target-sim") + " is not built";
    return false;
  }
  if (!links_.setUp(1, &error)) return false;
  char pattern[] = "/tmp/vellora-system-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    error = "mkdtemp failed";
    return false;
  }
  dir_ = pattern;
  std::error_code ec;
  std::filesystem::create_directory(simDir(), ec);
  return !ec;
}

std::string SystemRig::addTargetAddress(unsigned short b, std::string& error) {
  const in6_addr address = vellora_test::linkLocal(2, b);
  if (!links_.addTargetAddress(0, address, &error)) return "";
  char text[INET6_ADDRSTRLEN];
  return ::inet_ntop(AF_INET6, &address, text, sizeof text) ? text : "";
}

bool SystemRig::startTargets(const std::vector<std::string>& args) {
  std::vector<std::string> argv{program("vellora-target-sim"), "--device", links_.link(0).targetName,
                                "--record",  dir_,          "--commands", dir_ + "/commands"};
  argv.insert(argv.end(), args.begin(), args.end());
  if (!targets_.start(argv, {}, links_.targetNs().fd(), dir_ + "/targets.out", dir_ + "/targets.err")) {
    return false;
  }
  return targets_.waitOut("ready\n", std::chrono::seconds(15));
}

bool SystemRig::targetCommand(const std::string& line) {
  // Every reply is one line after "ready": "ok <command>" or "error: ...".
  auto replies = [this] {
    const std::string out = targets_.out();
    return occurrences(out, "\nok ") + occurrences(out, "\nerror: ");
  };
  const size_t before = replies();
  const int fd = ::open((dir_ + "/commands").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const std::string text = line + "\n";
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  if (!written) return false;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (replies() <= before) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // Commands go one at a time, so the newest reply is this one's.
  const std::vector<std::string> lines = linesStarting(targets_.out(), "");
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (it->compare(0, 3, "ok ") == 0 || it->compare(0, 7, "error: ") == 0) return *it == "ok " + line;
  }
  return false;
}

std::map<std::string, PortLine> SystemRig::targetSummary() {
  std::map<std::string, PortLine> ports;
  const size_t before = occurrences(targets_.out(), "end summary\n");
  if (!targetCommand("summary") || !targets_.waitOut("end summary\n", std::chrono::seconds(10), before + 1)) {
    return ports;
  }
  const std::string out = targets_.out();
  const size_t end = out.rfind("end summary\n");
  const size_t start = out.rfind("ok summary\n", end);
  for (const std::string& line : linesStarting(out.substr(start, end - start), "port ")) {
    std::istringstream in(line.substr(5));
    std::string name;
    in >> name;
    PortLine fields;
    for (std::string kv; in >> kv;) {
      const size_t eq = kv.find('=');
      if (eq != std::string::npos) fields[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    ports[name] = fields;
  }
  return ports;
}

std::vector<uint8_t> SystemRig::recording(const std::string& target, const std::string& port) {
  const std::string bytes = readAll(dir_ + "/" + target + "_" + port + ".raw");
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

bool SystemRig::startDaemon(const std::vector<std::string>& settingLines,
                            const std::map<std::string, std::string>& env) {
  const std::string settings = dir_ + "/setting.inf";
  {
    std::ofstream f(settings);
    // A worker mode that sleeps between cycles, at round-robin priority.
    f << "Debug=stdout\nInterface=" << links_.link(0).hostName << "\nThredMode=0\n";
    for (const std::string& l : settingLines) f << l << "\n";
    if (!f) return false;
  }
  std::map<std::string, std::string> all{{"VELLORA_SIM_DIR", simDir()}, {"VELLORA_SIM_LOG", driverLog()}};
  for (const auto& [k, v] : env) all[k] = v;
  return daemon_.start({program("vellora-bridge-sim"), settings, "system test"}, all, -1, dir_ + "/daemon.out",
                       dir_ + "/daemon.err");
}

int SystemRig::stopDaemon(std::chrono::milliseconds timeout) {
  daemon_.signal(SIGINT);
  return daemon_.wait(timeout);
}

std::string SystemRig::sanitizerReport() const {
  const std::string err = daemon_.err();
  for (const char* mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer",
                           "runtime error:"}) {
    if (err.find(mark) != std::string::npos) return err;
  }
  return "";
}

std::vector<int> SystemRig::cards() const {
  std::vector<int> out;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(simDir(), ec)) {
    const std::string name = entry.path().filename().string();
    const std::string prefix = "vellora-alsa_";
    if (name.compare(0, prefix.size(), prefix) == 0) out.push_back(std::atoi(name.c_str() + prefix.size()));
  }
  std::sort(out.begin(), out.end());
  return out;
}

int SystemRig::waitCard(const std::string& target, const std::string& port, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    for (int n : cards()) {
      vsim::SimCard card;
      if (!card.open(n, simDir()) || !card.attached()) continue;
      const SyncMemControl& b = card.block();
      if (std::string(b.targetName, strnlen(b.targetName, sizeof b.targetName)) == target &&
          std::string(b.portName, strnlen(b.portName, sizeof b.portName)) == port) {
        return n;
      }
    }
    if (std::chrono::steady_clock::now() > end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

bool SystemRig::waitHostStatus(int card, uint32_t mask, uint32_t value, std::chrono::milliseconds timeout) {
  vsim::SimCard c;
  if (!c.open(card, simDir())) return false;
  const auto end = std::chrono::steady_clock::now() + timeout;
  while ((c.hostStatus() & mask) != value) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string SystemRig::writeFile(const std::string& name, const std::string& text) {
  const std::string path = dir_ + "/" + name;
  std::ofstream f(path, std::ios::binary);
  f << text;
  return f ? path : std::string();
}

std::vector<std::string> SystemRig::driverRequests() const {
  std::vector<std::string> out;
  std::istringstream in(readAll(driverLog()));
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::string SystemRig::writePattern(uint64_t bytes, uint32_t sampleBytes, const std::string& name) {
  const std::string path = dir_ + "/" + name;
  const std::vector<uint8_t> data = vsim::CardPlay::pattern(0, bytes, sampleBytes);
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return f ? path : std::string();
}

std::vector<std::string> SystemRig::playArgs(int card, const std::string& file, const PlayOptions& o) const {
  std::vector<std::string> argv{program("vellora-card-play"), "--dir", simDir(), "--card", std::to_string(card),
                                "--format", hex(o.format), "--rate", hex(o.rate), "--channels", hex(o.channels),
                                "--timeout-ms", std::to_string(o.timeoutMs)};
  if (file.empty()) {
    argv.insert(argv.end(), {"--pattern", "--seconds", std::to_string(o.patternSeconds)});
  } else {
    argv.insert(argv.end(), {"--raw", file});
  }
  if (o.volume >= 0) {
    argv.push_back("--volume");
    argv.push_back(std::to_string(o.volume));
  }
  if (o.periods != 0) {
    argv.push_back("--periods");
    argv.push_back(std::to_string(o.periods));
  }
  return argv;
}

int SystemRig::play(int card, const std::string& file, const PlayOptions& options, std::string* output) {
  return run(playArgs(card, file, options), {}, output, nullptr, std::chrono::seconds(120));
}

bool SystemRig::startPlay(Child& child, int card, const std::string& file, const PlayOptions& options) {
  const std::string base = dir_ + "/play" + std::to_string(++runs_);
  return child.start(playArgs(card, file, options), {}, -1, base + ".out", base + ".err");
}

int SystemRig::run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                   std::string* out, std::string* err, std::chrono::milliseconds timeout) {
  Child child;
  const std::string base = dir_ + "/run" + std::to_string(++runs_);
  if (!child.start(argv, env, -1, base + ".out", base + ".err")) return -3;
  const int status = child.wait(timeout);
  if (out) *out = child.out();
  if (err) *err = child.err();
  return status;
}

}  // namespace vellora_system
