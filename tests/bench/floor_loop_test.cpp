// The C loop the block pauses are measured against, run against the
// emulator on TCP 127.0.0.1 and on a pseudo-terminal: it pauses after every
// reply before the next request, reads replies on a raw terminal, and stops
// by itself when a reply never comes.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "link/frame.h"
#include "sim/emulator.h"
#include "support/child_process.h"

namespace ql::bench {
namespace {

using namespace std::chrono_literals;

std::string WriteFrames(const std::string& name, const std::vector<std::string>& payloads) {
  const std::string path = ::testing::TempDir() + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (const auto& payload : payloads) {
    const auto frame = link::BuildRequest(payload);
    out.write(reinterpret_cast<const char*>(frame.data()),
              static_cast<std::streamsize>(frame.size()));
  }
  return path;
}

testing_support::ChildSetup LoopSetup(const std::vector<std::string>& args) {
  return {.program = QL_FLOOR_LOOP,
          .args = args,
          .input = true,
          .errorFile = ::testing::TempDir() + "loop.log"};
}

class FloorLoopTest : public ::testing::TestWithParam<sim::LinkType> {
 protected:
  void SetUp() override {
    sim::SimConfig config;
    config.link.type = GetParam();
    sim::EmulatorHooks hooks;
    hooks.requestReceived = [this](const sim::RequestRecord& request) {
      const std::lock_guard lock(mutex_);
      requests_.push_back(request);
    };
    emulator_ = std::make_unique<sim::Emulator>(config, std::move(hooks));
    std::string error;
    ASSERT_TRUE(emulator_->Start(error)) << error;
  }

  std::vector<std::string> LinkArgs() const {
    if (GetParam() == sim::LinkType::Tcp) {
      return {"--tcp", "127.0.0.1:" + std::to_string(emulator_->Port())};
    }
    return {"--pty", emulator_->SlavePath()};
  }

  std::vector<sim::RequestRecord> Requests() {
    const std::lock_guard lock(mutex_);
    return requests_;
  }

  std::unique_ptr<sim::Emulator> emulator_;
  std::mutex mutex_;
  std::vector<sim::RequestRecord> requests_;
};

TEST_P(FloorLoopTest, PausesAfterEveryReplyBeforeTheNextRequest) {
  const auto frames =
      WriteFrames("loop-frames.bin", {"0001Zx5E2D", "0001Zv0000", "0001Zv0200", "0001Zv0400"});
  auto args = LinkArgs();
  args.insert(args.end(), {frames, "--pause-us", "20000", "--timeout-s", "10"});
  testing_support::ChildProcess loop(LoopSetup(args));
  ASSERT_TRUE(loop.Started()) << loop.Error();
  EXPECT_EQ(loop.ReadLine(60s), "4 frames answered");
  const auto ended = loop.Wait(30s);
  EXPECT_TRUE(ended && ended->code == 0);
  // The loop may read the last reply before the emulator has noted it.
  ASSERT_TRUE(emulator_->WaitUntil([](const sim::Counters& c) { return c.replies == 4; }, 30s));

  const auto requests = Requests();
  const auto replies = emulator_->Replies();
  ASSERT_EQ(requests.size(), 4U);
  ASSERT_EQ(replies.size(), 4U);
  for (std::size_t i = 1; i < requests.size(); ++i) {
    // By the emulator's own stamps, which a busy machine can only push
    // apart. How close to its pause the loop comes is the benchmark's figure.
    const auto gap = requests[i].firstByte - replies[i - 1].crWritten;
    EXPECT_GE(gap, 10ms) << "request " << i + 1;
  }
}

TEST_P(FloorLoopTest, EndsByItselfWhenNoReplyComes) {
  // Addressed to another device: the emulator does not answer.
  const auto frames = WriteFrames("loop-silent.bin", {"0002Zx5E2D"});
  auto args = LinkArgs();
  args.insert(args.end(), {frames, "--timeout-s", "1"});
  testing_support::ChildProcess loop(LoopSetup(args));
  ASSERT_TRUE(loop.Started()) << loop.Error();
  // Its time-out is a second; still running after a minute, it did not end
  // by itself (the helper kills it then).
  const auto ended = loop.Wait(60s);
  ASSERT_TRUE(ended) << "the loop did not end at its time-out";
  EXPECT_NE(ended->code, 0);
  EXPECT_TRUE(emulator_->WaitUntil([](const sim::Counters& c) { return c.otherDevice == 1; }, 30s));
}

INSTANTIATE_TEST_SUITE_P(BothLinks, FloorLoopTest,
                         ::testing::Values(sim::LinkType::Tcp, sim::LinkType::Pty),
                         [](const auto& info) {
                           return info.param == sim::LinkType::Tcp ? "Tcp" : "Pty";
                         });

}  // namespace
}  // namespace ql::bench
