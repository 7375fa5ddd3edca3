// The far side of a real link in tests: a pseudo-terminal pair or a loopback
// listener, a thread that plays the device from a script, and helpers that
// never block past a deadline.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "link/transport.h"
#include "support/counting_transport.h"
#include "support/temp_folder.h"

namespace ql::testing_support {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;

// How long a peer waits for the test's side at most: only a test that has
// already failed ever reaches it, so it is generous for a busy machine.
inline constexpr milliseconds kPeerTimeout{30000};

// A pseudo-terminal pair whose slave is in raw mode. The test keeps its own
// slave descriptor open so the master stays usable between link opens.
class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  int master() const { return master_; }
  int slave() const { return slave_; }
  const std::string& slavePath() const { return path_; }
  // Hangs up the slave side, as an unplugged device would.
  void CloseMaster();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

// A TCP listener on 127.0.0.1 with a port of the system's choice.
class Listener {
 public:
  explicit Listener(int backlog = 4);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  std::uint16_t port() const { return port_; }
  // The accepted connection, or -1 when none came in time.
  int Accept(milliseconds timeout = kPeerTimeout);
  void Close();

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// Reads one request frame (through its CR). nullopt on time-out or hang-up.
std::optional<Bytes> ReadFrame(int fd, milliseconds timeout = kPeerTimeout);
void WriteAll(int fd, const Bytes& bytes);
void CloseFd(int& fd);

// A one-shot signal between the test and its peer thread.
class Gate {
 public:
  void Open();
  // False when the gate was not opened in time.
  bool Wait(milliseconds timeout = kPeerTimeout);

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};

// Runs the device script on its own thread; joins when it goes out of scope.
class PeerThread {
 public:
  explicit PeerThread(std::function<void()> script) : thread_(std::move(script)) {}
  ~PeerThread() { Join(); }
  void Join() {
    if (thread_.joinable()) {
      thread_.join();
    }
  }

 private:
  std::thread thread_;
};

// How many file descriptors the process has open, to show that a failed
// open leaves nothing behind.
int OpenFdCount();

// Milliseconds of real time since `start`: for checks that something waited
// at least as long as it must, which a busy machine can only lengthen.
inline long long MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace ql::testing_support
