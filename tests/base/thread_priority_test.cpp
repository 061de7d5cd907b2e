// Scheduling class and CPU pinning, applied to a helper thread so the test
// runner's own thread keeps its class and CPUs.
#include "base/thread_priority.h"

#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <sched.h>

#include <functional>
#include <set>
#include <thread>

namespace {

using KALMO::ThreadPriority;

// Runs fn on a fresh thread and waits for it.
void onHelperThread(const std::function<void()>& fn) {
  std::thread t(fn);
  t.join();
}

std::set<int> affinityOf(pid_t tid) {
  std::set<int> cpus;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(tid, sizeof set, &set) != 0) return cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    if (CPU_ISSET(cpu, &set)) cpus.insert(cpu);
  return cpus;
}

TEST(ThreadPriority, EachClassIsAppliedToTheNamedThreadOnly) {
  VELLORA_REQUIRE_ROOT();
  struct Case {
    ThreadPriority::Priority priority;
    int policy;
    int staticPriority;
  };
  const Case cases[] = {
      {ThreadPriority::CRITICAL, SCHED_FIFO, 99},
      {ThreadPriority::HIGH, SCHED_RR, 10},
      {ThreadPriority::NORMAL, SCHED_OTHER, 0},
      {ThreadPriority::IDLE, SCHED_IDLE, 0},
  };
  const int mainPolicy = ::sched_getscheduler(0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.priority);
    int policy = -1;
    sched_param param{};
    bool ok = false;
    onHelperThread([&] {
      const unsigned long self = ThreadPriority::getSelfThreadID();
      ok = ThreadPriority::setPriority(self, c.priority);
      policy = ::sched_getscheduler(0);
      ::sched_getparam(0, &param);
    });
    EXPECT_TRUE(ok);
    EXPECT_EQ(policy, c.policy);
    EXPECT_EQ(param.sched_priority, c.staticPriority);
    EXPECT_EQ(::sched_getscheduler(0), mainPolicy);
  }
}

TEST(ThreadPriority, AValueOutsideTheClassesIsRefusedAndChangesNothing) {
  for (int value : {-1, 4, 99}) {
    SCOPED_TRACE(value);
    bool ok = true;
    int before = -2;
    int after = -3;
    onHelperThread([&] {
      before = ::sched_getscheduler(0);
      ok = ThreadPriority::setPriority(ThreadPriority::getSelfThreadID(),
                                       static_cast<ThreadPriority::Priority>(value));
      after = ::sched_getscheduler(0);
    });
    EXPECT_FALSE(ok);
    EXPECT_EQ(after, before);
  }
}

TEST(ThreadPriority, SelfThreadIdIsTheKernelIdOfTheCaller) {
  unsigned long helper = 0;
  onHelperThread([&] { helper = ThreadPriority::getSelfThreadID(); });
  EXPECT_EQ(ThreadPriority::getSelfThreadID(), static_cast<unsigned long>(::getpid()));
  EXPECT_NE(helper, ThreadPriority::getSelfThreadID());
  EXPECT_NE(helper, 0u);
}

// The CPUs of the machine a thread of this process may be pinned to: every
// configured CPU, less those a cpuset keeps from the process. This does not
// depend on the affinity the tests were started with (taskset narrows that,
// but a thread may widen it again).
std::set<int> permittedCpus(int configured) {
  std::set<int> cpus;
  onHelperThread([&] {
    cpu_set_t everything;
    CPU_ZERO(&everything);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) CPU_SET(cpu, &everything);
    if (::sched_setaffinity(0, sizeof everything, &everything) != 0) return;
    for (int cpu : affinityOf(0))
      if (cpu < configured) cpus.insert(cpu);
  });
  return cpus;
}

TEST(ThreadPriority, PinningFollowsTheUnionOfTheRanges) {
  const int cores = ThreadPriority::getCpuCore();
  ASSERT_GE(cores, 1);
  const std::set<int> started = affinityOf(0);
  ASSERT_FALSE(started.empty());
  const std::set<int> all = permittedCpus(cores);
  ASSERT_FALSE(all.empty());
  const int top = *all.rbegin();
  const uint16_t first = static_cast<uint16_t>(*all.begin());

  using List = std::list<ThreadPriority::Cpus>;
  struct Case {
    const char* what;
    List list;
    bool ok;
    std::set<int> expected;  // when ok
  };
  const Case cases[] = {
      {"one CPU", {{first, 1}}, true, {first}},
      {"overlapping ranges", {{first, 1}, {first, 1}}, true, {first}},
      {"last usable CPU plus ranges past the mask", {{1022, 5}, {static_cast<uint16_t>(top), 1}},
       true, {top}},
      {"empty list means every configured CPU", {}, true, all},
      {"range beyond the machine's CPUs", {{static_cast<uint16_t>(cores), 4}}, false, {}},
      {"range at the end of the mask", {{1022, 5}}, false, {}},
      {"only ranges that add nothing", {{1024, 1}, {0, 0}}, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    bool ok = !c.ok;
    std::set<int> before;
    std::set<int> got;
    onHelperThread([&] {
      const unsigned long self = ThreadPriority::getSelfThreadID();
      before = affinityOf(0);
      ok = ThreadPriority::setCpuThread(self, c.list);
      got = affinityOf(0);
    });
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(got, c.ok ? c.expected : before);
  }
  EXPECT_EQ(affinityOf(0), started);  // the runner's thread was not touched
}

}  // namespace
