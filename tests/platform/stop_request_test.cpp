#include <gtest/gtest.h>

#include <csignal>

#include "platform/stop_request.h"

namespace {

// The dialog's case: work stopped on request, then another update chosen.
TEST(StopRequest, ASecondSignalStopsTheWorkAndTheNextWorkStartsUnstopped) {
  struct sigaction saved = {};
  ASSERT_EQ(::sigaction(SIGTERM, nullptr, &saved), 0);
  StopRequestResetForTests();
  StopSignalsInstall();
  StopGuardEnter();
  std::raise(SIGTERM);
  EXPECT_FALSE(StopRequested()) << "the first signal only warns";
  std::raise(SIGTERM);
  EXPECT_TRUE(StopRequested());
  StopGuardLeave();
  EXPECT_TRUE(StopRequested()) << "the run of switches must still see it";
  StopGuardEnter();
  EXPECT_FALSE(StopRequested());
  StopGuardLeave();
  ::sigaction(SIGTERM, &saved, nullptr);
  StopRequestResetForTests();
}

}  // namespace
