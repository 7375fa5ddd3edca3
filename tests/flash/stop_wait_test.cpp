// The pause between a station's looks on the real clock: it lasts as long as
// asked, and a stop ends it at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "station.h"

namespace ql::flash {
namespace {

TEST(StopWait, AStopEndsAPauseAtOnce) {
  std::atomic<bool> stop{false};
  StopWait wait(stop);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(wait.PauseMs(20));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));

  std::thread stopper([&] {
    // Set while the pause is under way, or before it began: either way it ends.
    stop = true;
    wait.Wake();
  });
  // A pause the stop did not end would last its whole minute and say so.
  EXPECT_FALSE(wait.PauseMs(60000));
  stopper.join();
  EXPECT_FALSE(wait.PauseMs(60000)) << "a pause after the stop ends at once";
}

}  // namespace
}  // namespace ql::flash
