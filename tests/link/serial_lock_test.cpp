// Exclusive use of a serial port over pseudo-terminal pairs: the lock file
// that serial programs honour, the flock() that stops a second copy of this
// utility, and TIOCEXCL against plain opens. Every lock file lives in a
// folder of the test's own; the system's lock folder is never touched.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "link/serial_port_posix.h"
#include "link/uucp_lock.h"
#include "peer.h"
#include "support/child_process.h"

namespace ql::link {
namespace {

namespace fs = std::filesystem;
using namespace ql::testing_support;

constexpr uid_t kNobody = 65534;
// Far longer than any child here needs; only a failing test waits it out.
constexpr std::chrono::seconds kChildLimit{30};

std::string Hdb(pid_t pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
  return text;
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// A process that lives until the value goes out of scope: it reads its
// input until the end, which comes when that input is closed.
class LiveChild {
 public:
  LiveChild() { EXPECT_TRUE(child_.Started()) << child_.Error(); }
  ~LiveChild() {
    child_.CloseInput();
    EXPECT_TRUE(child_.Wait(kChildLimit));
  }
  LiveChild(const LiveChild&) = delete;
  LiveChild& operator=(const LiveChild&) = delete;

  pid_t pid() const { return child_.Pid(); }

 private:
  ChildProcess child_{{.program = "/bin/cat", .input = true}};
};

// The process ID of a process that has ended and been reaped.
pid_t EndedPid() {
  ChildProcess child({.program = "/bin/true"});
  EXPECT_TRUE(child.Wait(kChildLimit));
  return child.Pid();
}

// Runs `body` in a copy of this process and gives its exit status: 0 when
// its checks passed. With `unprivileged`, the child gives up root first (the
// suite may run as root, which permissions and TIOCEXCL do not bind).
int InChild(const std::function<bool()>& body, bool unprivileged = false) {
  ChildProcess child([&body, unprivileged] {
    if (unprivileged && ::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
      return 2;
    }
    return body() ? 0 : 1;
  });
  const auto ended = child.Wait(kChildLimit);
  return ended && ended->signal == 0 ? ended->code : 3;
}

TEST(UucpLockName, FollowsTheDeviceName) {
  const std::pair<const char*, const char*> cases[] = {
      {"/dev/ttyUSB0", "LCK..ttyUSB0"},
      {"/dev/ttyS0", "LCK..ttyS0"},
      {"/dev/pts/3", "LCK..pts_3"},
      {"/dev/serial/by-id/usb-FT232R-if00", "LCK..serial_by-id_usb-FT232R-if00"},
      {"/home/me/ports/ttyV0", "LCK..ttyV0"},
      {"ttyV1", "LCK..ttyV1"},
      {"/dev/", ""},
      {"", ""},
  };
  for (const auto& [path, name] : cases) {
    EXPECT_EQ(UucpLockName(path), name) << path;
  }
}

class SerialLock : public ::testing::Test {
 protected:
  std::unique_ptr<Transport> Open(const std::string& folder) const {
    return OpenSerialTransport(pty_.slavePath(), "19200,e,8,1", nullptr, folder);
  }
  std::unique_ptr<Transport> Open() const { return Open(locks_.path()); }

  // The lock file of the pseudo-terminal in the test's lock folder.
  fs::path LockPath() const {
    return fs::path(locks_.path()) / UucpLockName(fs::canonical(pty_.slavePath()).string());
  }

  PtyPair pty_;
  TempFolder locks_;
};

TEST_F(SerialLock, HoldsAnHdbLockWhileOpenAndRemovesItAtClose) {
  EXPECT_EQ(LockPath().filename().string().rfind("LCK..pts_", 0), 0u) << LockPath();
  auto link = Open();
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(ReadText(LockPath()), Hdb(::getpid()));
  EXPECT_EQ(ReadText(LockPath()).size(), 11u);
  EXPECT_EQ(fs::status(LockPath()).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::others_read);
  EXPECT_EQ(locks_.Entries(), std::vector<std::string>{LockPath().filename().string()})
      << "the temporary file must not stay";

  link->Close();
  EXPECT_TRUE(locks_.Entries().empty());

  link = Open();
  ASSERT_NE(link, nullptr);
  EXPECT_TRUE(fs::exists(LockPath()));
  link.reset();
  EXPECT_TRUE(locks_.Entries().empty()) << "the destructor removes the lock too";
}

TEST_F(SerialLock, SecondOpenByThisUtilityFails) {
  auto first = Open();
  ASSERT_NE(first, nullptr);
  const int fds = OpenFdCount();
  EXPECT_EQ(Open(), nullptr) << "from this process";
  EXPECT_EQ(OpenFdCount(), fds);

  // From another process: stopped by the lock file, and without one (a lock
  // folder of its own) by flock().
  TempFolder otherLocks;
  EXPECT_EQ(InChild([&] { return Open() == nullptr; }), 0) << "same lock folder";
  EXPECT_EQ(InChild([&] { return Open(otherLocks.path()) == nullptr; }), 0) << "no lock file";
  EXPECT_TRUE(otherLocks.Entries().empty());

  EXPECT_EQ(ReadText(LockPath()), Hdb(::getpid())) << "the refused opens left the lock alone";
  first.reset();
  EXPECT_NE(Open(), nullptr);
}

TEST_F(SerialLock, LockOfALiveProcessRefusesTheOpen) {
  LiveChild holder;
  const std::pair<const char*, std::string> cases[] = {
      {"ten-character form", Hdb(holder.pid())},
      {"the test's own parent", Hdb(::getppid())},
      {"number with name and host after it",
       std::to_string(holder.pid()) + "\nminiterm\nbench-pc\n"},
      // Not a process ID: possibly being written by its owner right now.
      {"empty file", ""},
      {"no number", "hello\n"},
  };
  for (const auto& [name, text] : cases) {
    SCOPED_TRACE(name);
    WriteText(LockPath(), text);
    EXPECT_EQ(Open(), nullptr);
    EXPECT_EQ(ReadText(LockPath()), text) << "someone else's lock must stay as it was";
    EXPECT_EQ(locks_.Entries().size(), 1u);
  }
}

TEST_F(SerialLock, StaleLockIsReplaced) {
  const pid_t ended = EndedPid();
  for (const std::string& text : {Hdb(ended), std::to_string(ended) + "\nminiterm\nbench-pc\n"}) {
    SCOPED_TRACE(text);
    WriteText(LockPath(), text);
    auto link = Open();
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(ReadText(LockPath()), Hdb(::getpid()));
    link.reset();
    EXPECT_TRUE(locks_.Entries().empty());
  }
}

TEST_F(SerialLock, CloseLeavesALockThatIsNoLongerOurs) {
  auto link = Open();
  ASSERT_NE(link, nullptr);
  // Someone removed the lock meanwhile and another process took it.
  LiveChild other;
  fs::remove(LockPath());
  WriteText(LockPath(), Hdb(other.pid()));
  link.reset();
  EXPECT_EQ(ReadText(LockPath()), Hdb(other.pid()));
}

TEST_F(SerialLock, FailedOpenLeavesNoLockBehind) {
  // A character device that is not a terminal: the lock is taken, then the
  // open is refused.
  EXPECT_EQ(OpenSerialTransport("/dev/null", "19200,e,8,1", nullptr, locks_.path()), nullptr);
  EXPECT_TRUE(locks_.Entries().empty());
}

TEST_F(SerialLock, OpenThroughALinkLocksTheDeviceItself) {
  TempFolder links;
  const fs::path link = fs::path(links.path()) / "ttyDevice";
  fs::create_symlink(pty_.slavePath(), link);
  auto port = OpenSerialTransport(link.string(), "19200,e,8,1", nullptr, locks_.path());
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(locks_.Entries(), std::vector<std::string>{LockPath().filename().string()});
  port.reset();

  LiveChild holder;
  WriteText(LockPath(), Hdb(holder.pid()));
  EXPECT_EQ(OpenSerialTransport(link.string(), "19200,e,8,1", nullptr, locks_.path()), nullptr);
}

TEST_F(SerialLock, MissingLockFolderDoesNotStopTheOpen) {
  const fs::path missing = fs::path(locks_.path()) / "absent";
  auto link = Open(missing.string());
  ASSERT_NE(link, nullptr);
  EXPECT_FALSE(fs::exists(missing));
}

// The checks an ordinary user meets: a lock folder it may not write to, and
// TIOCEXCL. The pseudo-terminal is handed to that user meanwhile.
class SerialLockUnprivileged : public SerialLock {
 protected:
  void SetUp() override {
    if (::geteuid() == 0) {
      ASSERT_EQ(::chown(pty_.slavePath().c_str(), kNobody, kNobody), 0);
    }
  }
  // A lock folder readable by everyone and writable by its owner only, who
  // is not the child when the suite runs as root. Otherwise the child is the
  // owner, and the folder is made read-only.
  void MakeFolderReadOnlyForTheChild() const {
    fs::permissions(locks_.path(), ::geteuid() == 0
                                       ? fs::perms::owner_all | fs::perms::group_read |
                                             fs::perms::group_exec | fs::perms::others_read |
                                             fs::perms::others_exec
                                       : fs::perms::owner_read | fs::perms::owner_exec);
  }
  void TearDown() override { fs::permissions(locks_.path(), fs::perms::owner_all); }
};

TEST_F(SerialLockUnprivileged, UnwritableLockFolderDoesNotStopTheOpen) {
  MakeFolderReadOnlyForTheChild();
  EXPECT_EQ(InChild([&] { return Open() != nullptr; }, true), 0);
  EXPECT_TRUE(locks_.Entries().empty());
}

TEST_F(SerialLockUnprivileged, UnwritableLockFolderStillHonoursALiveLock) {
  LiveChild holder;
  WriteText(LockPath(), Hdb(holder.pid()));
  MakeFolderReadOnlyForTheChild();
  EXPECT_EQ(InChild([&] { return Open() == nullptr; }, true), 0);
  EXPECT_EQ(ReadText(LockPath()), Hdb(holder.pid()));
}

TEST_F(SerialLockUnprivileged, StaleLockThatCannotBeRemovedDoesNotStopTheOpen) {
  WriteText(LockPath(), Hdb(EndedPid()));
  MakeFolderReadOnlyForTheChild();
  EXPECT_EQ(InChild([&] { return Open() != nullptr; }, true), 0);
}

TEST_F(SerialLockUnprivileged, PlainOpenIsRefusedWhileTheLinkIsOpen) {
  auto plainOpen = [&] {
    const int fd = ::open(pty_.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const bool opened = fd >= 0;
    if (opened) {
      ::close(fd);
    }
    return opened;
  };
  auto link = Open();
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(InChild([&] { return !plainOpen() && errno == EBUSY; }, true), 0);
  link->Close();
  EXPECT_EQ(InChild(plainOpen, true), 0) << "closing ends the exclusive use";
}

}  // namespace
}  // namespace ql::link
