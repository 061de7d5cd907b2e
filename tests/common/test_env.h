#pragma once
// What the test binaries know about the place they run in.
//
// Each test binary's main moves the whole process into a network namespace
// of its own (when it runs as root) and brings its loopback up, so fixed
// ports such as 19640 and 19642 never clash with another run and nothing
// reaches the machine's real links.

#include <gtest/gtest.h>

#include <string>

namespace vellora_test {

// True when main moved the process into its own network namespace with lo up.
bool privateNetwork();

// True when the process has root rights (namespaces, veth, SCHED_FIFO).
bool privileged();

// True when VELLORA_REQUIRE_PRIVILEGED=1: tests that cannot run then fail
// instead of skipping.
bool privilegeRequired();

// Why privateNetwork() is false, for the skip message.
std::string privateNetworkReason();

}  // namespace vellora_test

// Skips (or fails when privileges are required) a test that needs the
// private network namespace.
#define VELLORA_REQUIRE_PRIVATE_NET()                                               \
  do {                                                                              \
    if (!::vellora_test::privateNetwork()) {                                        \
      if (::vellora_test::privilegeRequired()) {                                    \
        FAIL() << "needs a private network namespace: "                             \
               << ::vellora_test::privateNetworkReason();                           \
      }                                                                             \
      GTEST_SKIP() << "needs a private network namespace: "                         \
                   << ::vellora_test::privateNetworkReason();                       \
    }                                                                               \
  } while (0)

// Skips (or fails when privileges are required) a test that needs root.
#define VELLORA_REQUIRE_ROOT()                                                      \
  do {                                                                              \
    if (!::vellora_test::privileged()) {                                            \
      if (::vellora_test::privilegeRequired()) FAIL() << "needs root";              \
      GTEST_SKIP() << "needs root";                                                 \
    }                                                                               \
  } while (0)
