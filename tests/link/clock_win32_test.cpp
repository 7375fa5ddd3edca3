// The Windows clock's pauses with each kind of timer. Wine has no 15.6 ms
// timer tick, so what the raised tick saves on Windows cannot show here;
// what can is that neither kind ever ends a pause early.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "link/clock_win32.h"

namespace ql::link {
namespace {

using Steady = std::chrono::steady_clock;
using std::chrono::microseconds;

int EarlyPauses(PauseTimer kind) {
  int early = 0;
  for (int round = 0; round < 30; ++round) {
    const auto deadline = Steady::now() + microseconds(1000 + 250 * (round % 13));
    PauseUntil(deadline, kind);
    early += Steady::now() < deadline ? 1 : 0;
  }
  return early;
}

TEST(WindowsClock, NeitherTimerEndsAPauseEarly) {
  EXPECT_EQ(EarlyPauses(PauseTimer::HighResolution), 0);
  EXPECT_EQ(EarlyPauses(PauseTimer::TickAtOneMs), 0);
}

TEST(WindowsClock, EachThreadHasItsOwnTimer) {
  // Pauses on several threads at once must not wake one another early.
  int early[3] = {};
  std::thread threads[3];
  for (int i = 0; i < 3; ++i) {
    threads[i] = std::thread([&early, i] { early[i] = EarlyPauses(ThreadPauseTimer()); });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(early[0] + early[1] + early[2], 0);
}

}  // namespace
}  // namespace ql::link
