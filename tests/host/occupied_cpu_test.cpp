#include "host/occupied_cpu.h"

#include "tests/host/log_capture.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

// One step: commit (expecting a CPU) or release (a CPU).
struct Step {
  bool commit;
  int cpu;
};

struct Sequence {
  const char* name;
  int first, count;
  std::vector<Step> steps;
  std::vector<int> finalCounts;  // per slot
};

TEST(OccupiedCPU, CommitAndReleaseSequences) {
  const Sequence cases[] = {
      {"one CPU takes every connection", 3, 1,
       {{true, 3}, {true, 3}, {true, 3}, {false, 3}}, {2}},
      {"two CPUs: only the first is handed out", 0, 2,
       {{true, 0}, {true, 0}, {false, 1}, {true, 0}}, {3, 0}},
      {"five CPUs: even slots in turn", 0, 5,
       {{true, 0}, {true, 2}, {true, 4}, {true, 0}, {true, 2}}, {2, 0, 2, 0, 1}},
      {"range 4-7: released CPU comes back first", 4, 4,
       {{true, 4}, {true, 6}, {true, 4}, {true, 6}, {false, 4}, {true, 4}}, {2, 0, 2, 0}},
      {"balanced commits and releases end at zero", 4, 4,
       {{true, 4}, {true, 6}, {false, 6}, {false, 4}}, {0, 0, 0, 0}},
      {"release of a free slot leaves it at zero", 0, 5,
       {{false, 0}, {false, 4}, {true, 0}, {true, 2}}, {1, 0, 1, 0, 0}},
      {"release of a CPU never handed out changes nothing", 0, 5,
       {{true, 0}, {false, 1}, {false, 3}, {true, 2}}, {1, 0, 1, 0, 0}},
      {"out of range and -1 change nothing", 4, 4,
       {{true, 4}, {false, -1}, {false, 3}, {false, 8}, {false, 100}}, {1, 0, 0, 0}},
      {"a slot at zero stays usable after excess releases", 0, 2,
       {{true, 0}, {false, 0}, {false, 0}, {true, 0}}, {1, 0}},
  };
  for (const Sequence& c : cases) {
    OccupiedCPU cpus;
    cpus.machineCpus = 16;
    cpus.cpuSend = c.first;
    cpus.rangeSend = c.count;
    cpus.resetUserCpu();
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const Step& s = c.steps[i];
      if (s.commit) {
        EXPECT_EQ(cpus.commitCpuSend(), s.cpu) << c.name << " step " << i;
      } else {
        cpus.releaseCpuSend(s.cpu);
      }
    }
    for (std::size_t slot = 0; slot < c.finalCounts.size(); ++slot) {
      EXPECT_EQ(cpus.useOf(c.first + static_cast<int>(slot)), c.finalCounts[slot])
          << c.name << " slot " << slot;
    }
  }
}

TEST(OccupiedCPU, NoRangeHandsOutNothing) {
  for (int range : {-1, 0}) {
    OccupiedCPU cpus;
    cpus.cpuSend = 2;
    cpus.rangeSend = range;
    cpus.resetUserCpu();
    EXPECT_EQ(cpus.commitCpuSend(), -1);
    cpus.releaseCpuSend(2);
    EXPECT_EQ(cpus.useOf(2), -1);
  }
}

TEST(OccupiedCPU, ResetClearsCountsAndResizes) {
  OccupiedCPU cpus;
  cpus.machineCpus = 8;
  cpus.cpuSend = 0;
  cpus.rangeSend = 5;
  cpus.resetUserCpu();
  EXPECT_EQ(cpus.commitCpuSend(), 0);
  cpus.rangeSend = 1;
  cpus.resetUserCpu();
  EXPECT_EQ(cpus.useOf(0), 0);
  EXPECT_EQ(cpus.useOf(2), -1);
  EXPECT_EQ(cpus.commitCpuSend(), 0);
  EXPECT_EQ(cpus.commitCpuSend(), 0);
}

// A worker pinned to a CPU the machine lacks streams nothing, and -1 means
// "no CPU" to the nodes: neither may be handed out.
TEST(OccupiedCPU, HandsOutOnlyCpusOfTheMachine) {
  const struct {
    const char* name;
    int first, count;
    std::vector<int> commits;
  } cases[] = {
      {"range reaching past the last CPU is cut", 4, 8, {4, 6, 4, 6}},
      {"range ending at the last CPU is whole", 0, 8, {0, 2, 4, 6, 0}},
      {"range starting past the last CPU gives none", 8, 2, {-1, -1}},
      {"range far past the last CPU gives none", 2147483000, 648, {-1}},
      {"range without a first CPU gives none", -1, 5, {-1, -1}},
  };
  for (const auto& c : cases) {
    OccupiedCPU cpus;
    cpus.machineCpus = 8;
    cpus.cpuSend = c.first;
    cpus.rangeSend = c.count;
    cpus.resetUserCpu();
    std::vector<int> got;
    for (std::size_t i = 0; i < c.commits.size(); ++i) got.push_back(cpus.commitCpuSend());
    EXPECT_EQ(got, c.commits) << c.name;
    EXPECT_EQ(cpus.useOf(8), -1) << c.name;
  }
}

// The main and notify threads are pinned to the "CpuOther" range with 16-bit
// CPU numbers: a range beyond the machine keeps only the CPUs that exist, so
// CPU 65537 no longer pins them to CPU 1.
TEST(OccupiedCPU, OtherRangeKeepsOnlyCpusOfTheMachine) {
  const struct {
    const char* name;
    int first, count;
    int wantFirst, wantCount;
    bool warned;
  } cases[] = {
      {"range within the machine", 2, 4, 2, 4, false},
      {"range reaching past the last CPU is cut", 6, 10, 6, 2, true},
      {"whole machine and more", 0, 2147483647, 0, 8, true},
      {"first CPU past the last pins nothing", 8, 1, -1, -1, true},
      {"first CPU beyond 16 bits pins nothing", 65537, 1, -1, -1, true},
      {"no range", -1, -1, -1, -1, false},
  };
  for (const auto& c : cases) {
    host_test::LogCapture log;
    OccupiedCPU cpus;
    cpus.machineCpus = 8;
    cpus.cpuOther = c.first;
    cpus.rangeOther = c.count;
    cpus.resetUserCpu();
    EXPECT_EQ(cpus.cpuOther, c.wantFirst) << c.name;
    EXPECT_EQ(cpus.rangeOther, c.wantCount) << c.name;
    EXPECT_EQ(log.starting("Setting: CpuOther ").size(), c.warned ? 1u : 0u) << c.name;
  }
}

// Many nodes connect on the main thread while released nodes give their CPUs
// back on their own threads: the counts stay balanced and spread.
TEST(OccupiedCPU, ManyNodesStayBalanced) {
  OccupiedCPU cpus;
  cpus.machineCpus = 8;
  cpus.cpuSend = 0;
  cpus.rangeSend = 8;
  cpus.resetUserCpu();
  std::vector<int> held;
  for (int i = 0; i < 400; ++i) held.push_back(cpus.commitCpuSend());
  for (int cpu : {0, 2, 4, 6}) EXPECT_EQ(cpus.useOf(cpu), 100) << cpu;
  for (int cpu : {1, 3, 5, 7}) EXPECT_EQ(cpus.useOf(cpu), 0) << cpu;

  std::vector<std::thread> releasers;
  for (int t = 0; t < 4; ++t) {
    releasers.emplace_back([&cpus, &held, t] {
      for (std::size_t i = static_cast<std::size_t>(t); i < held.size(); i += 4) {
        cpus.releaseCpuSend(held[i]);
      }
    });
  }
  std::vector<int> again;
  for (int i = 0; i < 100; ++i) again.push_back(cpus.commitCpuSend());
  for (std::thread& r : releasers) r.join();
  for (int cpu : again) cpus.releaseCpuSend(cpu);
  for (int cpu = 0; cpu < 8; ++cpu) EXPECT_EQ(cpus.useOf(cpu), 0) << cpu;
}

}  // namespace
