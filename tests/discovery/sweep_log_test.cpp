// What a discovery sweep logs for each datagram it receives, answers and
// datagrams that are not protocol datagrams alike.
#include "tests/base/syslog_test_util.h"
#include "tests/discovery/find_fixture.h"

#include <mutex>
#include <string>
#include <vector>

namespace disc_test {
namespace {

std::mutex gLogMu;
std::vector<std::string> gLog;
void capture(const char* record) {
  std::lock_guard<std::mutex> lock(gLogMu);
  gLog.emplace_back(record);
}
// Records whose body ends with the text.
size_t loggedLast(const std::string& text) {
  std::lock_guard<std::mutex> lock(gLogMu);
  size_t n = 0;
  for (const std::string& r : gLog) {
    n += r.size() >= text.size() && r.compare(r.size() - text.size(), text.size(), text) == 0 ? 1 : 0;
  }
  return n;
}

TEST_F(FindTest, EveryDatagramOfASweepIsLoggedWithItsSize) {
  vsim::Script shortHeader;
  shortHeader.action = vsim::Script::Action::MALFORMED;
  shortHeader.malformed = vsim::Malformed::SHORT;
  vsim::Script empty;  // no bytes at all
  empty.action = vsim::Script::Action::RAW;
  const struct {
    const char* what;
    vsim::Script bad;
    const char* line;
  } cases[] = {
      {"10 header bytes", shortHeader, "Find Multi Ack Rcv : 10"},
      {"no bytes", empty, "Find Multi Ack Rcv : 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    vsim::TargetSpec layout;  // [::1]:19642
    const int t = add(layout);
    vsim::Script bad = c.bad;
    bad.thenAnswer = true;
    engine.script(targets.endpoint(t), VELLORA::FIND_REQ, bad);
    logtest::resetLogger();
    {
      std::lock_guard<std::mutex> lock(gLogMu);
      gLog.clear();
    }
    ASSERT_TRUE(KALMO::SysLog::initialize(KALMO::SysLog::LOCAL0, &capture));
    KALMO::SysLog::threshold.store(KALMO::SysLog::DEBUG);
    Find::TargetMap found;
    const bool ok = client().findTarget(found);
    logtest::resetLogger();
    ASSERT_TRUE(ok);
    // The answer behind each invalid datagram is still taken.
    EXPECT_EQ(found.size(), 1u);
    // One invalid datagram in each of the three sweeps.
    EXPECT_EQ(loggedLast(c.line), 3u);
    EXPECT_EQ(loggedLast("Find Multi Ack Rcv : 16"), 3u);
    find.reset();
    engine.unscript(targets.endpoint(t), VELLORA::FIND_REQ);
  }
}

}  // namespace
}  // namespace disc_test
