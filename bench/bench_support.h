// What the benchmarks and the fault matrix share: a firmware file to upgrade
// with, the emulator program as a child process, a view that records what the
// procedures show, and simple statistics.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "upgrade/procedure_events.h"
#include "upgrade/status_line.h"

namespace ql::bench {

inline constexpr int kFullImageBlocks = 124;

// Writes a firmware file whose header names our model and whose image is
// `blocks` full blocks of pseudo-random bytes from `seed`, the last
// `erasedTail` of them all 0xFF as in an image padded to the flash's size;
// the load turns it into exactly `blocks` blocks. Returns the image bytes
// (blocks x 512), or nothing when the file cannot be written.
std::optional<std::vector<std::uint8_t>> WriteFirmwareFile(const std::filesystem::path& path,
                                                           int blocks, std::uint32_t seed,
                                                           int erasedTail = 0);

// Reads a whole file; nullopt when it cannot be read.
std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::filesystem::path& path);

// A temporary folder, removed with everything in it when this goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A program started with its standard input and output on pipes and its
// standard error in a file. Closing the input tells a program that watches
// for end of input to stop; the destructor kills it if it is still running.
class ChildProcess {
 public:
  static std::optional<ChildProcess> Start(const std::string& program,
                                           const std::vector<std::string>& args,
                                           const std::filesystem::path& errorLog,
                                           std::string& error);
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ~ChildProcess();

  pid_t Pid() const { return pid_; }

  // The next line of standard output, without its newline; nullopt at end of
  // output or when none is complete within `timeout`.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);

  // Closes standard input.
  void CloseInput();

  // Waits up to `timeout` for the program to end; kills it when it does not.
  // True when it ended by itself with status 0.
  bool WaitExit(std::chrono::milliseconds timeout);
  // Whether WaitExit had to kill it.
  bool Killed() const { return killed_; }

 private:
  ChildProcess(pid_t pid, int input, int output) : pid_(pid), input_(input), output_(output) {}

  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string pending_;
  bool exited_ = false;
  bool killed_ = false;
};

// What the procedures tell, for the checks and the table: the status
// messages in order, as both front ends show them.
class RecordingEvents : public upgrade::ProcedureEvents {
 public:
  void Started(upgrade::Procedure procedure) override;
  void LinkOpened() override { Touch(); }
  void LinkNotOpened(std::string_view) override;
  void HandshakeFailed(int attempt, const upgrade::TryEnd&) override;
  void DeviceNotFound(int, const upgrade::TryEnd&) override;
  void DeviceFound(std::string_view) override { Touch(); }
  void ModelMatched() override;
  void ModelMismatched(std::string_view, std::string_view) override;
  void ImageLoaded(int) override { Touch(); }
  void ImageNotLoaded(upgrade::LoadFailure, int) override;
  void PhaseStarted(upgrade::Phase phase, int) override;
  void BlocksBegin(upgrade::Phase, int) override { Touch(); }
  void BlockDone(upgrade::Phase, int) override { Touch(); }
  void PhaseEnded(const upgrade::PhaseEnd& end) override;
  void RunSent(std::uint32_t) override { Touch(); }
  void RunWaitLeft(int) override { Touch(); }
  void ToneStarted(const upgrade::Tone&) override { Touch(); }
  void Finished(const upgrade::Finish&) override { Touch(); }

  // The numbers of the messages shown, with their suffixes, in order.
  const std::vector<std::pair<int, std::string>>& Messages() const { return messages_; }
  bool Showed(int number) const;

 protected:
  // Called first by every event; the benchmark marks time here.
  virtual void Touch() {}

 private:
  void Show(const std::optional<upgrade::Status>& status);

  upgrade::StatusLine status_;
  std::vector<std::pair<int, std::string>> messages_;
};

// The emulator's "request N NS" and "reply N KIND NS" lines (--reply-times).
struct EmulatorTimes {
  struct Reply {
    long long number = 0;
    std::string kind;
    std::int64_t ns = 0;  // CLOCK_MONOTONIC of its CR
  };
  // CLOCK_MONOTONIC of each request frame's first byte, in the emulator's count.
  std::vector<std::int64_t> requestNs;
  std::vector<Reply> replies;

  // Takes one line of the emulator's standard output; false for any other.
  bool Take(const std::string& line);
};

// The pause before each block as the device saw it: from the CR of the
// previous reply to the first byte of the block's request, in microseconds.
struct BlockGaps {
  std::vector<double> afterBlockUs;  // blocks whose previous reply was a block's
  std::vector<double> firstUs;       // the first block after each handshake
  // False when the requests and replies do not pair up one to one (a frame
  // ignored, a reply missing); then there are no gaps.
  bool paired = false;
};
BlockGaps ComputeBlockGaps(const EmulatorTimes& times);

// The nearest-rank percentile `p` (0 to 100) of `values`; 0 when empty.
double Percentile(std::vector<double> values, double p);

// The folder of the running program (for finding its sibling programs).
std::filesystem::path ProgramFolder();

}  // namespace ql::bench
