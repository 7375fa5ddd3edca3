// The block pauses the benchmarks read from the emulator's lines: which
// gaps count, and that a run whose frames and replies do not pair up gives
// none rather than gaps measured against the wrong reply.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench_support.h"

namespace ql::bench {
namespace {

// The lines of an emulator that answered each of `kinds` in turn; request i
// comes `gapUs[i]` after the CR of reply i - 1, and its reply 1 ms later.
EmulatorTimes Answered(const std::vector<std::string>& kinds, const std::vector<int>& gapUs) {
  EmulatorTimes times;
  long long ns = 1'000'000'000;
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    ns += gapUs[i] * 1000LL;
    EXPECT_TRUE(times.Take("request " + std::to_string(i + 1) + " " + std::to_string(ns)));
    ns += 1'000'000;
    EXPECT_TRUE(
        times.Take("reply " + std::to_string(i + 1) + " " + kinds[i] + " " + std::to_string(ns)));
  }
  return times;
}

TEST(BlockGapsTest, ReadsRequestAndReplyLinesAndNothingElse) {
  EmulatorTimes times;
  EXPECT_FALSE(times.Take("listening 127.0.0.1:40123"));
  EXPECT_FALSE(times.Take("pty /dev/pts/3"));
  EXPECT_FALSE(times.Take("request"));
  EXPECT_TRUE(times.Take("request 7 123456789012"));
  EXPECT_TRUE(times.Take("reply 7 verify 123456799012"));
  ASSERT_EQ(times.requestNs.size(), 1U);
  EXPECT_EQ(times.requestNs[0], 123456789012LL);
  ASSERT_EQ(times.replies.size(), 1U);
  EXPECT_EQ(times.replies[0].number, 7);
  EXPECT_EQ(times.replies[0].kind, "verify");
  EXPECT_EQ(times.replies[0].ns, 123456799012LL);
}

TEST(BlockGapsTest, CountsBlocksOnlyAndKeepsTheFirstAfterAHandshakeApart) {
  const auto times = Answered(
      {"handshake", "handshake", "write", "write", "write", "handshake", "verify", "verify", "run"},
      {0, 100000, 54000, 4100, 4200, 100000, 54300, 4300, 50000});
  const BlockGaps gaps = ComputeBlockGaps(times);
  ASSERT_TRUE(gaps.paired);
  EXPECT_EQ(gaps.afterBlockUs, (std::vector<double>{4100, 4200, 4300}));
  EXPECT_EQ(gaps.firstUs, (std::vector<double>{54000, 54300}));
}

TEST(BlockGapsTest, GivesNoGapsWhenFramesAndRepliesDoNotPairUp) {
  // A frame the device ignored (a wrong CRC) has a request line and no reply.
  auto unanswered = Answered({"handshake", "write", "write"}, {0, 54000, 4000});
  unanswered.requestNs.push_back(unanswered.requestNs.back() + 5'000'000);
  EXPECT_FALSE(ComputeBlockGaps(unanswered).paired);
  EXPECT_TRUE(ComputeBlockGaps(unanswered).afterBlockUs.empty());

  // The same number of each, but a reply missing in the count.
  auto renumbered = Answered({"handshake", "write", "write"}, {0, 54000, 4000});
  renumbered.replies[1].number = 3;
  EXPECT_FALSE(ComputeBlockGaps(renumbered).paired);
}

TEST(BlockGapsTest, PercentilesByNearestRank) {
  const std::vector<double> values{5, 1, 4, 2, 3};
  EXPECT_EQ(Percentile(values, 0), 1);
  EXPECT_EQ(Percentile(values, 50), 3);
  EXPECT_EQ(Percentile(values, 99), 5);
  EXPECT_EQ(Percentile(values, 100), 5);
  EXPECT_EQ(Percentile({}, 50), 0);
  std::vector<double> hundred;
  for (int i = 1; i <= 100; ++i) {
    hundred.push_back(i);
  }
  EXPECT_EQ(Percentile(hundred, 99), 99);
}

}  // namespace
}  // namespace ql::bench
