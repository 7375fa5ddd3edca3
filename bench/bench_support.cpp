// Helpers shared by the benchmarks and the fault matrix.
#include "bench_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>
#include <utility>

#include "image/block_table.h"
#include "image/firmware_file.h"

extern char** environ;

namespace ql::bench {
namespace {

// A header whose first seven characters match the emulated device's model.
constexpr std::string_view kHeader = "QL480TX-V5 BENCH";
static_assert(kHeader.size() == image::kHeaderSize);

// The load counts six bytes more than the file holds after its header, so a
// file of whole blocks gives one more block. Six bytes fewer than whole
// blocks give exactly `blocks` blocks, the last six bytes of the last block
// being copies of the file's last byte; making those six the same byte
// already keeps the device's image and the file's bytes identical.
constexpr std::size_t kRepeatedTail = 6;

}  // namespace

std::optional<std::vector<std::uint8_t>> WriteFirmwareFile(const std::filesystem::path& path,
                                                           int blocks, std::uint32_t seed,
                                                           int erasedTail) {
  std::mt19937 random(seed);
  std::vector<std::uint8_t> image(static_cast<std::size_t>(blocks) * image::kBlockSize, 0xFF);
  const std::size_t randomBytes =
      static_cast<std::size_t>(std::max(0, blocks - erasedTail)) * image::kBlockSize;
  for (std::size_t i = 0; i < randomBytes; ++i) {
    image[i] = static_cast<std::uint8_t>(random());
  }
  if (image.size() >= kRepeatedTail) {
    std::fill(image.end() - kRepeatedTail, image.end(), image[image.size() - kRepeatedTail - 1]);
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(kHeader.data(), static_cast<std::streamsize>(kHeader.size()));
  const std::size_t written = image.size() >= kRepeatedTail ? image.size() - kRepeatedTail : 0;
  out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(written));
  out.close();
  if (!out) {
    return std::nullopt;
  }
  return image;
}

std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>());
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "ql-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::fprintf(stderr, "cannot make a temporary folder: %s\n", std::strerror(errno));
    std::exit(2);
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::optional<ChildProcess> ChildProcess::Start(const std::string& program,
                                                const std::vector<std::string>& args,
                                                const std::filesystem::path& errorLog,
                                                std::string& error) {
  int input[2] = {-1, -1};
  int output[2] = {-1, -1};
  if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) {
    error = std::string("cannot make pipes: ") + std::strerror(errno);
    return std::nullopt;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorLog.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);

  std::vector<std::string> argvText{program};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : argvText) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(input[0]);
  ::close(output[1]);
  if (rc != 0) {
    ::close(input[1]);
    ::close(output[0]);
    error = "cannot start " + program + ": " + std::strerror(rc);
    return std::nullopt;
  }
  return ChildProcess(pid, input[1], output[0]);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      input_(std::exchange(other.input_, -1)),
      output_(std::exchange(other.output_, -1)),
      pending_(std::move(other.pending_)),
      exited_(other.exited_),
      killed_(other.killed_) {}

ChildProcess::~ChildProcess() {
  CloseInput();
  if (pid_ > 0 && !exited_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (output_ >= 0) {
    ::close(output_);
  }
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (const auto newline = pending_.find('\n'); newline != std::string::npos) {
      std::string line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      return line;
    }
    if (output_ < 0) {
      return std::nullopt;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd pfd{output_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
      return std::nullopt;
    }
    char buffer[4096];
    const ssize_t n = ::read(output_, buffer, sizeof buffer);
    if (n <= 0) {
      ::close(output_);
      output_ = -1;
      continue;
    }
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

void ChildProcess::CloseInput() {
  if (input_ >= 0) {
    ::close(input_);
    input_ = -1;
  }
}

bool ChildProcess::WaitExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0 || exited_) {
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (true) {
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exited_ = true;
      return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      exited_ = true;
      killed_ = true;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void RecordingEvents::Show(const std::optional<upgrade::Status>& status) {
  Touch();
  if (status) {
    messages_.emplace_back(status->message, status->suffix);
  }
}

void RecordingEvents::Started(upgrade::Procedure procedure) {
  Show(status_.Started(procedure));
}
void RecordingEvents::LinkNotOpened(std::string_view) {
  Show(status_.LinkNotOpened());
}
void RecordingEvents::HandshakeFailed(int attempt, const upgrade::TryEnd&) {
  Show(status_.HandshakeFailed(attempt));
}
void RecordingEvents::DeviceNotFound(int, const upgrade::TryEnd&) {
  Show(status_.DeviceNotFound());
}
void RecordingEvents::ModelMatched() {
  Show(status_.ModelMatched());
}
void RecordingEvents::ModelMismatched(std::string_view, std::string_view) {
  Show(status_.ModelMismatched());
}
void RecordingEvents::ImageNotLoaded(upgrade::LoadFailure, int) {
  Show(status_.ImageNotLoaded());
}
void RecordingEvents::PhaseStarted(upgrade::Phase phase, int) {
  Show(status_.PhaseStarted(phase));
}
void RecordingEvents::PhaseEnded(const upgrade::PhaseEnd& end) {
  Show(status_.PhaseEnded(end));
}

bool RecordingEvents::Showed(int number) const {
  return std::any_of(messages_.begin(), messages_.end(),
                     [number](const auto& message) { return message.first == number; });
}

bool EmulatorTimes::Take(const std::string& line) {
  long long number = 0;
  long long ns = 0;
  char kind[16] = {};
  if (std::sscanf(line.c_str(), "reply %lld %15s %lld", &number, kind, &ns) == 3) {
    replies.push_back({.number = number, .kind = kind, .ns = ns});
    return true;
  }
  if (std::sscanf(line.c_str(), "request %lld %lld", &number, &ns) == 2) {
    requestNs.push_back(ns);
    return true;
  }
  return false;
}

BlockGaps ComputeBlockGaps(const EmulatorTimes& times) {
  BlockGaps gaps;
  // Every frame answered once: request i is the command of reply i.
  if (times.requestNs.size() != times.replies.size()) {
    return gaps;
  }
  for (std::size_t i = 0; i < times.replies.size(); ++i) {
    if (times.replies[i].number != static_cast<long long>(i + 1)) {
      return gaps;
    }
  }
  const auto isBlock = [](const std::string& kind) { return kind == "write" || kind == "verify"; };
  for (std::size_t i = 1; i < times.replies.size(); ++i) {
    if (!isBlock(times.replies[i].kind)) {
      continue;
    }
    const double us = static_cast<double>(times.requestNs[i] - times.replies[i - 1].ns) / 1000.0;
    (isBlock(times.replies[i - 1].kind) ? gaps.afterBlockUs : gaps.firstUs).push_back(us);
  }
  gaps.paired = true;
  return gaps;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  const auto rank =
      static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
  return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

std::filesystem::path ProgramFolder() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::current_path() : self.parent_path();
}

}  // namespace ql::bench
