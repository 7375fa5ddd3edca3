// The pseudo-terminal side of the emulator. The emulator keeps the master
// and also holds the slave open itself, so the utility can close and reopen
// the slave as often as it likes: the terminal keeps its raw settings, and
// the master never reports a hang-up that would make waiting on it spin.
//
// Because of that held slave the terminal never sees its last close, which
// on a real port drops unread input and ends an exclusive open (TIOCEXCL).
// The emulator watches the slave's device node for opens and closes instead
// (inotify reports them, also when a utility dies) and does both itself once
// the last utility has closed it. A hang-up fault closes both ends, which the
// utility's open slave sees as a hung-up line, and serves a fresh
// pseudo-terminal.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "link/errno_text.h"
#include "sim/endpoint.h"
#include "sim/unique_fd.h"

namespace ql::sim {
namespace {

std::string Errno(const std::string& what) {
  return what + ": " + link::ErrnoText(errno);
}

struct PtyPair {
  UniqueFd master;
  UniqueFd heldSlave;
  UniqueFd watch;  // opens and closes of the slave by others
  std::string slavePath;
};

bool CreatePair(PtyPair& pair, std::string& error) {
  UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master.Valid() || ::grantpt(master.Get()) != 0 || ::unlockpt(master.Get()) != 0) {
    error = Errno("cannot create a pseudo-terminal");
    return false;
  }
  char name[PATH_MAX] = {};
  if (::ptsname_r(master.Get(), name, sizeof name) != 0) {
    error = Errno("cannot name the pseudo-terminal");
    return false;
  }
  UniqueFd slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!slave.Valid()) {
    error = Errno(std::string("cannot open ") + name);
    return false;
  }
  // Raw both ways: no echo of what the utility sends, no CR/LF translation.
  termios settings{};
  ::tcgetattr(slave.Get(), &settings);
  ::cfmakeraw(&settings);
  ::tcsetattr(slave.Get(), TCSANOW, &settings);
  ::fcntl(master.Get(), F_SETFL, ::fcntl(master.Get(), F_GETFL) | O_NONBLOCK);

  // Added after the emulator's own open, so only the utility's are seen.
  UniqueFd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!watch.Valid() || ::inotify_add_watch(watch.Get(), name, IN_OPEN | IN_CLOSE) < 0) {
    error = Errno(std::string("cannot watch ") + name);
    return false;
  }

  pair.master = std::move(master);
  pair.heldSlave = std::move(slave);
  pair.watch = std::move(watch);
  pair.slavePath = name;
  return true;
}

class PtyEndpoint final : public Endpoint {
 public:
  explicit PtyEndpoint(std::string linkPath) : linkPath_(std::move(linkPath)) {}
  PtyEndpoint(const PtyEndpoint&) = delete;
  PtyEndpoint& operator=(const PtyEndpoint&) = delete;
  ~PtyEndpoint() override { RemoveLink(); }

  bool Renew(std::string& error) {
    PtyPair fresh;
    if (!CreatePair(fresh, error)) {
      return false;
    }
    pair_ = std::move(fresh);
    openers_ = 0;
    return linkPath_.empty() || Link(error);
  }

  int InputFd() const override { return pair_.master.Get(); }

  InputResult Read(std::span<std::uint8_t> into) override {
    const ssize_t n = ::read(pair_.master.Get(), into.data(), into.size());
    if (n > 0) {
      return {.event = InputEvent::Data, .count = static_cast<std::size_t>(n), .detail = {}};
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      return {};
    }
    // With the slave held open this does not happen; should the terminal
    // fail all the same, serve a fresh one rather than spin on a dead one.
    std::string why = Errno("pseudo-terminal failed");
    std::string error;
    if (!Renew(error)) {
      why += "; " + error;
    }
    return {.event = InputEvent::PeerClosed, .count = 0, .detail = why};
  }

  int EventFd() const override { return pair_.watch.Get(); }

  std::vector<InputResult> ReadEvents() override {
    std::vector<InputResult> results;
    alignas(inotify_event) char buffer[4096];
    const ssize_t n = ::read(pair_.watch.Get(), buffer, sizeof buffer);
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if ((event->mask & IN_OPEN) != 0 && ++openers_ == 1) {
        results.push_back({.event = InputEvent::Connected, .count = 0, .detail = "port opened"});
      }
      if ((event->mask & IN_CLOSE) != 0 && openers_ > 0 && --openers_ == 0) {
        results.push_back({.event = InputEvent::PeerClosed, .count = 0, .detail = "port closed"});
      }
    }
    if (openers_ == 0 && !results.empty()) {
      // What a real port does at its last close. Not when someone has opened
      // it again meanwhile: that open may be exclusive already.
      ::ioctl(pair_.heldSlave.Get(), TIOCNXCL);
      ::tcflush(pair_.heldSlave.Get(), TCIFLUSH);
    }
    return results;
  }

  int OutputFd() const override { return pair_.master.Get(); }

  OutputResult Write(std::span<const std::uint8_t> bytes) override {
    const ssize_t n = ::write(pair_.master.Get(), bytes.data(), bytes.size());
    lastWrite_ = std::chrono::steady_clock::now();
    if (n >= 0) {
      return {.status = OutputStatus::Written, .count = static_cast<std::size_t>(n)};
    }
    if (errno == EINTR) {
      return {.status = OutputStatus::Written, .count = 0};
    }
    if (errno == EAGAIN) {
      // The terminal's input queue is full: nobody has read it for a long
      // time. A serial line keeps nothing for a port that is not listening.
      ::tcflush(pair_.heldSlave.Get(), TCIFLUSH);
      return {.status = OutputStatus::Discarded, .count = bytes.size()};
    }
    return {.status = OutputStatus::PeerGone, .count = 0};
  }

  // Hanging up discards what the slave has not read yet, which a real line
  // would have delivered before it went dead. The terminal hands written
  // bytes on to the slave asynchronously, so an empty input queue right
  // after a write proves nothing: give it a moment first.
  bool Delivered() const override {
    if (openers_ == 0) {
      return true;  // nobody to deliver to
    }
    if (std::chrono::steady_clock::now() - lastWrite_ < kHandOverTime) {
      return false;
    }
    int unread = 0;
    return ::ioctl(pair_.heldSlave.Get(), FIONREAD, &unread) != 0 || unread == 0;
  }

  bool HangUp(std::string& error) override { return Renew(error); }

  std::string Describe() const override { return "pty " + pair_.slavePath; }

  std::string SlavePath() const override { return pair_.slavePath; }

 private:
  // Points the symlink at the current slave, replacing an older link in one step.
  bool Link(std::string& error) {
    struct stat existing {};
    if (::lstat(linkPath_.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
      error = linkPath_ + " exists and is not a symbolic link; not replacing it";
      return false;
    }
    const std::string temporary = linkPath_ + ".new." + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(pair_.slavePath.c_str(), temporary.c_str()) != 0) {
      error = Errno("cannot create the link " + linkPath_);
      return false;
    }
    if (::rename(temporary.c_str(), linkPath_.c_str()) != 0) {
      error = Errno("cannot create the link " + linkPath_);
      ::unlink(temporary.c_str());
      return false;
    }
    linked_ = true;
    return true;
  }

  // Removes the symlink, unless someone has pointed it elsewhere meanwhile.
  void RemoveLink() {
    if (!linked_) {
      return;
    }
    char target[PATH_MAX] = {};
    const ssize_t n = ::readlink(linkPath_.c_str(), target, sizeof target - 1);
    if (n > 0 && pair_.slavePath == std::string(target, static_cast<std::size_t>(n))) {
      ::unlink(linkPath_.c_str());
    }
  }

  static constexpr std::chrono::milliseconds kHandOverTime{50};

  std::string linkPath_;
  PtyPair pair_;
  bool linked_ = false;
  int openers_ = 0;  // open descriptors of the slave besides the emulator's own
  std::chrono::steady_clock::time_point lastWrite_;
};

}  // namespace

std::unique_ptr<Endpoint> OpenPtyEndpoint(const LinkConfig& config, std::string& error) {
  auto endpoint = std::make_unique<PtyEndpoint>(config.ptyLink);
  if (!endpoint->Renew(error)) {
    return nullptr;
  }
  return endpoint;
}

}  // namespace ql::sim
