// Benchmark: a paced reply as it arrives through a pseudo-terminal. The
// emulator puts a 1037-byte read-back reply on the line at the line rate
// (8E1), byte after byte as a UART does; the reader notes when each byte
// arrived. For each rate and round it reports the bytes that arrived before
// their last bit would have been on the line (the emulator's fault, if
// any), how late the last byte came, the longest pause between two bytes and
// how many pauses outlasted the quiet period that the utility's reply wait
// takes for the end of a reply; and, from the emulator's own stamps, how
// many writes it made and how late the latest one began after its bytes were
// due. A pseudo-terminal hands bytes to the reader through a kernel worker
// of ordinary priority, so on a busy machine a byte now and then comes
// late whatever the sender does: these are figures, not a verdict. The
// emulator's own schedule is checked by the suite (ReplyPacingTest).
//
//   pacing_bench [--rounds N] [--baud B]...    default: 3 rounds at 4800, 19200, 921600
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "common/command_options.h"
#include "link/frame.h"
#include "link/serial_reply_wait.h"
#include "sim/emulator.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kBitsPerCharacter = 11;
constexpr std::size_t kReplyLength = 1037;
// A reply judged "on time" in the last column: no byte early, the last one
// at most this late, and at most one pause in a hundred over the quiet period.
constexpr auto kLastByteLateAtMost = std::chrono::milliseconds(20);
constexpr double kMostPausesOverQuiet = 0.01;

struct Arrivals {
  std::vector<std::uint8_t> bytes;
  std::vector<Clock::time_point> at;
};

Arrivals ReadReply(int fd, Clock::time_point deadline) {
  Arrivals arrivals;
  std::vector<std::uint8_t> buffer(kReplyLength);
  while (arrivals.bytes.size() < kReplyLength) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{.fd = fd, .events = POLLIN, .revents = 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
      break;
    }
    const ssize_t n = ::read(fd, buffer.data(), kReplyLength - arrivals.bytes.size());
    if (n <= 0) {
      break;
    }
    const auto now = Clock::now();
    for (ssize_t i = 0; i < n; ++i) {
      arrivals.bytes.push_back(buffer[static_cast<std::size_t>(i)]);
      arrivals.at.push_back(now);
    }
  }
  return arrivals;
}

long long Us(Clock::duration d) {
  return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
}

// One reply at `baud`; prints its row. False when the reply could not be had.
bool MeasureOnce(std::uint32_t baud, int round) {
  ql::sim::SimConfig config;
  config.link.type = ql::sim::LinkType::Pty;
  config.faults.pacing = {.baud = baud, .bitsPerByte = kBitsPerCharacter, .requests = false};
  std::mutex mutex;
  std::vector<ql::sim::ReplyWrite> writes;
  ql::sim::EmulatorHooks hooks;
  hooks.replyWritten = [&](const ql::sim::ReplyWrite& write) {
    const std::lock_guard lock(mutex);
    writes.push_back(write);
  };
  ql::sim::Emulator emulator(config, std::move(hooks));
  std::string error;
  if (!emulator.Start(error)) {
    std::fprintf(stderr, "pacing_bench: %s\n", error.c_str());
    return false;
  }
  const int fd = ::open(emulator.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "pacing_bench: cannot open %s\n", emulator.SlavePath().c_str());
    return false;
  }
  ::tcflush(fd, TCIOFLUSH);

  const auto character = ql::link::CharacterTimeAt(baud, kBitsPerCharacter);
  const auto quiet = ql::link::QuietPeriod(character);
  const auto request = ql::link::BuildRequest("0001Zv0000");
  const auto sent = Clock::now();
  if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
    ::close(fd);
    return false;
  }
  const Arrivals reply =
      ReadReply(fd, sent + character * static_cast<long>(kReplyLength) + std::chrono::seconds(10));
  ::close(fd);
  emulator.WaitUntil([](const ql::sim::Counters& c) { return c.replies == 1; },
                     std::chrono::seconds(10));
  emulator.Stop();
  if (reply.bytes.size() != kReplyLength) {
    std::printf("| %u | %d | | | | | | | %zu of %zu bytes |\n", baud, round, reply.bytes.size(),
                kReplyLength);
    return false;
  }

  // Byte i is due once its last bit has arrived: (i + 1) character times
  // after the request was sent, which is before the emulator began.
  std::size_t early = 0;
  std::size_t overQuiet = 0;
  Clock::duration longest{};
  for (std::size_t i = 0; i < kReplyLength; ++i) {
    early += reply.at[i] < sent + character * static_cast<long>(i + 1) ? 1 : 0;
    if (i > 0) {
      const auto gap = reply.at[i] - reply.at[i - 1];
      longest = std::max(longest, gap);
      overQuiet += gap > quiet ? 1 : 0;
    }
  }
  const auto lastLate = reply.at.back() - (sent + character * static_cast<long>(kReplyLength));
  Clock::duration latestWrite{};
  {
    const std::lock_guard lock(mutex);
    for (const auto& write : writes) {
      latestWrite =
          std::max(latestWrite, write.began - write.schedule.Due(write.first + write.written - 1));
    }
  }
  const bool onTime =
      early == 0 && lastLate <= kLastByteLateAtMost &&
      static_cast<double>(overQuiet) <= kMostPausesOverQuiet * static_cast<double>(kReplyLength);
  std::printf("| %u | %d | %zu | %lld | %lld | %zu (%lld us) | %zu | %lld | %s |\n", baud, round,
              early, Us(lastLate), Us(longest), overQuiet, static_cast<long long>(quiet.count()),
              writes.size(), Us(latestWrite), onTime ? "on time" : "late or paused");
  std::fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 3;
  std::vector<std::uint32_t> rates;
  const std::vector<ql::command_options::Option> table = {
      {"--rounds", 0, true, ql::command_options::Into(rounds)},
      {"--baud", 0, true,
       [&rates](const std::string& value) {
         std::uint32_t baud = 0;
         const bool good = ql::command_options::Into(baud)(value);
         rates.push_back(baud);
         return good;
       }},
  };
  const auto parsed = ql::command_options::Parse(table, {argv + 1, argv + argc}, {});
  if (!parsed.error.empty() || rounds < 1) {
    std::fprintf(stderr, "pacing_bench: %s\nusage: pacing_bench [--rounds N] [--baud B]...\n",
                 parsed.error.empty() ? "--rounds takes 1 or more" : parsed.error.c_str());
    return 2;
  }
  if (rates.empty()) {
    rates = {4800, 19200, 921600};
  }
  // The reader at real-time priority where the system grants it, as the
  // emulator's pacing thread: what is measured is then the pseudo-terminal,
  // not how late an ordinary thread gets to look at it.
  const sched_param priority{.sched_priority = 1};
  const bool realTime = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &priority) == 0;
  std::printf("Reader %s real-time priority.\n\n", realTime ? "at" : "without");
  std::printf(
      "| baud | round | bytes early | last byte late us | longest pause us | pauses over the "
      "quiet period | emulator writes | latest write us | result |\n"
      "|---|---|---|---|---|---|---|---|---|\n");
  bool allMeasured = true;
  for (const std::uint32_t baud : rates) {
    for (int round = 1; round <= rounds; ++round) {
      allMeasured = MeasureOnce(baud, round) && allMeasured;
    }
  }
  return allMeasured ? 0 : 1;
}
