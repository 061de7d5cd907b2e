#pragma once
// The set-up of the target management tests (upload, information pages,
// settings, icons): a stand-in engine endpoint on [::1] that plays the
// target, a third endpoint for traffic from elsewhere, and the discovery
// client of FindTest, opened on [::1] when first used.

#include "sim/target/manage_fault.h"
#include "sim/target/target_sim.h"
#include "tests/discovery/find_fixture.h"

#include <gtest/gtest.h>

namespace disc_test {

using Kind = vsim::Fault::Kind;

class ManageTest : public FindTest {
 protected:
  void SetUp() override {
    FindTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ep = engine.addEndpoint(loopback(0));
    ASSERT_NE(ep, vsim::NO_ENDPOINT);
    third = engine.addEndpoint(loopback(0));
    ASSERT_NE(third, vsim::NO_ENDPOINT);
    target = engine.address(ep);
  }

  vsim::EndpointId ep = vsim::NO_ENDPOINT;     // the target
  vsim::EndpointId third = vsim::NO_ENDPOINT;  // someone else on the link
  KALMO::IPAddress target;                     // where the target answers
};

}  // namespace disc_test
