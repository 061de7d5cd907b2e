// The README's "Playing a file by hand" recipe, run as it is written: the
// shell text between the "<!-- recipe -->" and "<!-- /recipe -->" markers,
// from a directory that holds the three programs and a file to play.
//
// The recipe uses fixed names (namespaces vh and vt, the veth pair vh0/vt0,
// the default card directory /dev/shm/vellora-sim). So that it cannot clash
// with another test or a user's own run, it runs in mount, network and PID
// namespaces of its own, with private tmpfs over /run (where named network
// namespaces live) and /dev/shm: whatever it leaves behind goes with them.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/system/system_rig.h"

namespace {

using vellora_system::SystemRig;

// The README of the tree this file is in (the build gives full paths).
std::string readmePath() {
  const std::string self = __FILE__;
  return self.substr(0, self.rfind('/') + 1) + "../../README.md";
}

// The one fenced code block between the markers; empty with a reason.
std::string recipeOf(const std::string& readme, std::string& error) {
  const std::string open = "<!-- recipe -->";
  const std::string close = "<!-- /recipe -->";
  const size_t from = readme.find(open);
  const size_t to = readme.find(close);
  if (from == std::string::npos || to == std::string::npos || to < from) {
    error = "no " + open + " ... " + close + " in README.md";
    return "";
  }
  if (readme.find(open, from + 1) != std::string::npos) {
    error = "more than one " + open + " in README.md";
    return "";
  }
  std::istringstream in(readme.substr(from + open.size(), to - from - open.size()));
  std::string code;
  int fences = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, 3, "```") == 0) {
      ++fences;
    } else if (fences == 1) {
      code += line + "\n";
    }
  }
  if (fences != 2 || code.empty()) {
    error = "the recipe markers must hold exactly one fenced code block";
    return "";
  }
  return code;
}

TEST(ReadmeRecipe, PlaysTheFileByHandAndComparesIdentical) {
  SystemRig rig;
  VELLORA_SETUP_RIG(rig);  // root, the programs built, a private directory

  const std::string readme = readmePath();
  ASSERT_TRUE(std::ifstream(readme)) << readme << " not found";
  const std::string text = vellora_system::readAll(readme);
  std::string error;
  const std::string recipe = recipeOf(text, error);
  ASSERT_FALSE(recipe.empty()) << error;

  // What the user has in build/bin/, plus a file to play: 2 s of 48 kHz
  // 16-bit stereo, a frame counter so that any loss or shift shows.
  for (const char* name : {"vellora-bridge-sim", "vellora-target-sim", "vellora-card-play"}) {
    std::error_code ec;
    std::filesystem::create_symlink(SystemRig::program(name), rig.dir() + "/" + name, ec);
    ASSERT_FALSE(ec) << name << ": " << ec.message();
  }
  ASSERT_FALSE(rig.writePattern(48000 * 4 * 2, 2, "my.raw").empty());
  // The recipe stops at its first failing command. After it, what it must
  // not leave behind: named namespaces, the card directory, processes.
  const std::string script = rig.writeFile(
      "recipe.sh", "set -e\n" + recipe +
                       "set +x\n"
                       "test -z \"$(ip netns list)\" || { echo \"left behind: namespaces $(ip netns list)\"; exit 3; }\n"
                       "test ! -e /dev/shm/vellora-sim || { echo 'left behind: /dev/shm/vellora-sim'; exit 3; }\n"
                       "test -z \"$(jobs -p)\" || { echo \"left behind: processes $(jobs -p)\"; exit 3; }\n");
  ASSERT_FALSE(script.empty());

  // The PID namespace ends every process the recipe started when it ends;
  // the mount namespace takes the tmpfs over /run and /dev/shm with it.
  const std::string inside =
      "mount -t tmpfs vellora-recipe /run && mount -t tmpfs vellora-recipe /dev/shm && cd \"$1\" && "
      "exec bash -x recipe.sh";
  std::string out;
  std::string err;
  const int status = rig.run({"/usr/bin/env", "unshare", "--mount", "--net", "--pid", "--fork", "--kill-child",
                              "--mount-proc", "--", "bash", "-c", inside, "recipe", rig.dir()},
                             {}, &out, &err, std::chrono::seconds(240));
  const std::string daemonLog = vellora_system::readAll(rig.dir() + "/daemon.log");
  const std::string context = "recipe output:\n" + out + "\ntrace:\n" + err + "\ndaemon.log:\n" + daemonLog;
  EXPECT_EQ(status, 0) << context;
  // The comparison's line: played and received byte counts, then "identical".
  bool identical = false;
  for (const std::string& line : vellora_system::linesStarting(out, "played bytes=")) {
    if (line.ends_with(" identical")) identical = true;
  }
  EXPECT_TRUE(identical) << context;
}

}  // namespace
