// The real clock's pauses never end early: a pause that ends short lets
// the next request follow a reply sooner than the device takes it, and the
// procedures would still report success. What a pause may take longer is
// the machine's business and is not asserted here; benchmarks measure it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "link/clock.h"
#include "link/wait.h"

namespace ql::link {
namespace {

using Steady = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

TEST(SystemClock, PausesNeverEndEarly) {
  SystemClock clock;
  int shortPauses = 0;
  for (int round = 0; round < 20; ++round) {
    for (const std::uint32_t ms : {1u, 4u, 7u}) {
      const auto start = Steady::now();
      clock.SleepMs(ms);
      shortPauses += Steady::now() - start < milliseconds(ms) ? 1 : 0;
    }
  }
  EXPECT_EQ(shortPauses, 0);
}

TEST(SystemClock, APauseAfterTheMarkEndsNoSoonerThanItsTimeFromTheMark) {
  SystemClock clock;
  int shortPauses = 0;
  for (int round = 0; round < 20; ++round) {
    clock.MarkPauseStart();
    const auto mark = Steady::now();
    PauseUntil(mark + microseconds(1500));
    clock.SleepAfterMarkMs(4);
    shortPauses += Steady::now() - mark < milliseconds(4) ? 1 : 0;
  }
  EXPECT_EQ(shortPauses, 0);
}

TEST(SystemClock, TheCounterMovesWithTheMonotonicClock) {
  SystemClock clock;
  const std::uint32_t before = clock.NowMs();
  const auto start = Steady::now();
  PauseUntil(start + milliseconds(30));
  const std::uint32_t after = clock.NowMs();
  const auto passed = std::chrono::duration_cast<milliseconds>(Steady::now() - start).count();
  // Both counters may sit up to a millisecond apart in their rounding.
  EXPECT_GE(ElapsedMs(before, after) + 1, 30U);
  EXPECT_LE(ElapsedMs(before, after), static_cast<std::uint32_t>(passed) + 1);
}

TEST(Deadline, SleepingItOutNeverEndsEarly) {
  int early = 0;
  for (int round = 0; round < 30; ++round) {
    const Deadline deadline(microseconds(300 + 370 * round));
    deadline.SleepOut();
    early += deadline.Passed() ? 0 : 1;
  }
  EXPECT_EQ(early, 0);
}

// The pauses and deadlines are measured on the standard library's monotonic
// clock; one that moves in whole milliseconds or coarser would let a 4 ms
// pause end after 3 ms and some.
TEST(MonotonicClock, MovesInStepsFinerThanAMillisecond) {
  auto smallest = Steady::duration::max();
  for (int sample = 0; sample < 20; ++sample) {
    const auto first = Steady::now();
    auto next = first;
    while ((next = Steady::now()) == first) {
    }
    smallest = std::min(smallest, next - first);
  }
  EXPECT_LT(smallest, microseconds(100));
}

}  // namespace
}  // namespace ql::link
