#pragma once
// A discovery client against stand-in targets on [::1], inside the test
// binary's private network namespace.

#include "discovery/find.h"
#include "sim/target/discovery.h"
#include "sim/target/target_sim.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <memory>
#include <string>

namespace disc_test {

using VELLORA::Find;

inline KALMO::IPAddress loopback(uint16_t port) { return vsim::ipv6("::1", port); }

// A target on ::1 at a port of the system's choice (not the discovery port).
inline vsim::TargetSpec elsewhere() {
  vsim::TargetSpec layout;
  layout.address = loopback(0);
  return layout;
}

// Milliseconds a call took.
template <class F>
long long timedMs(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

class FindTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VELLORA_REQUIRE_PRIVATE_NET();
    ASSERT_TRUE(engine.running());
    setting.name = "REZO ZOZU";
    setting.productID = 0;
    setting.loopback = true;
  }

  // A client opened on every interface (here: ::1 only).
  Find& client() {
    if (!find) {
      find = std::make_unique<Find>(setting);
      EXPECT_TRUE(find->open());
    }
    return *find;
  }

  // Adds a target and returns its id; fails the test when it cannot.
  int add(const vsim::TargetSpec& layout) {
    const int id = targets.addTarget(layout);
    EXPECT_GE(id, 0) << "stand-in target " << layout.name;
    return id;
  }

  // The found-targets map for targets the test placed itself.
  Find::TargetMap found(std::initializer_list<int> ids) {
    Find::TargetMap m;
    for (int id : ids) {
      Find::FindTargetSt t;
      t.productID = 1;
      t.targetName = "t" + std::to_string(id);
      m[targets.address(id)] = t;
    }
    return m;
  }

  // PORT_REQ / STATUSITEM_REQ for one index that the target received.
  size_t askedFor(int id, uint16_t code, uint16_t index) {
    size_t n = 0;
    for (const auto& d : engine.received(targets.endpoint(id), code)) n += d.option0() == index ? 1 : 0;
    return n;
  }

  vsim::TargetSim engine;
  vsim::DiscoverySim targets{engine};
  Find::Setting setting;
  std::unique_ptr<Find> find;
};

}  // namespace disc_test
