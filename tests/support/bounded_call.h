// A call that must come back, run where a hang cannot hold up the suite.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace ql::testing_support {

// Runs `body` on a thread of its own and returns what it returned. A body
// still running after `limit` is taken to block for ever (an open of a FIFO
// that no writer will ever open, say): the test program then ends at once,
// failed, as nothing can stop the thread. The limit is generous; only a
// broken build comes near it.
inline bool ReturnsTrue(const std::function<bool()>& body,
                        std::chrono::seconds limit = std::chrono::seconds(60)) {
  struct Outcome {
    std::mutex mutex;
    std::condition_variable done;
    std::optional<bool> result;
  };
  auto outcome = std::make_shared<Outcome>();
  std::thread([outcome, body] {
    const bool result = body();
    const std::lock_guard lock(outcome->mutex);
    outcome->result = result;
    outcome->done.notify_all();
  }).detach();
  std::unique_lock lock(outcome->mutex);
  if (!outcome->done.wait_for(lock, limit, [&] { return outcome->result.has_value(); })) {
    std::fprintf(stderr, "a call that must return still blocks after %lld s\n",
                 static_cast<long long>(limit.count()));
    std::fflush(stderr);
    std::_Exit(1);
  }
  return *outcome->result;
}

}  // namespace ql::testing_support
