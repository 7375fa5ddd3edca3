// The tests' child-process helper, on system programs: what it passes in,
// what it collects, and that a child that will not end is ended.
#include "support/child_process.h"

#include <signal.h>

#include <gtest/gtest.h>

#include <fstream>

#include "support/temp_folder.h"

namespace ql::testing_support {
namespace {

using namespace std::chrono_literals;

// Reads everything the child writes until both its outputs end.
void Drain(ChildProcess& child) {
  for (int i = 0; i < 3000 && child.Pump(10ms); ++i) {
  }
}

TEST(ChildProcess, InputArgumentsAndEnvironmentGoInOutputsComeBack) {
  ChildProcess child({.program = "/bin/sh",
                      .args = {"-c", "cat; echo \"$0 [$ONLY] [$HOME]\" >&2; exit 7", "first"},
                      .environment = std::vector<std::string>{"ONLY=this"},
                      .input = true});
  ASSERT_TRUE(child.Started()) << child.Error();
  EXPECT_TRUE(child.WriteInput("one\ntwo"));
  child.CloseInput();
  EXPECT_EQ(child.ReadLine(30s), "one");
  Drain(child);
  EXPECT_EQ(child.Out(), "one\ntwo");
  // The environment given is the whole of it.
  EXPECT_EQ(child.Err(), "first [this] []\n");
  const auto ended = child.Wait(30s);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->code, 7);
  EXPECT_EQ(ended->signal, 0);
}

TEST(ChildProcess, AChildThatDoesNotEndIsKilledAndReaped) {
  ChildProcess child({.program = "/bin/sleep", .args = {"600"}});
  ASSERT_TRUE(child.Started());
  EXPECT_FALSE(child.Wait(0ms));
  EXPECT_EQ(child.Kill().signal, SIGKILL);
  // Reaped: nothing is left to wait for.
  EXPECT_EQ(child.Wait(0ms)->signal, SIGKILL);
}

TEST(ChildProcess, SignalsWritesToAGoneReaderAndMissingPrograms) {
  ChildProcess child({.program = "/bin/sleep", .args = {"600"}, .input = true});
  child.Signal(SIGTERM);
  const auto ended = child.Wait(30s);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->code, -1);
  EXPECT_EQ(ended->signal, SIGTERM);
  // Nobody reads its input any more: the write fails, the test goes on.
  EXPECT_FALSE(child.WriteInput(std::string(1 << 20, 'x')));

  ChildProcess missing({.program = "/nonexistent/program"});
  const auto gone = missing.Wait(30s);
  EXPECT_TRUE(!missing.Started() || (gone && gone->code == 127));
}

TEST(ChildProcess, ErrorsIntoAFileAndOutputOnATerminal) {
  const TempFolder folder;
  ChildProcess child({.program = "/bin/sh",
                      .args = {"-c", "stty size <&1; test -t 1 && echo tty; echo log >&2"},
                      .terminal = winsize{24, 60, 0, 0},
                      .errorFile = folder / "err"});
  Drain(child);
  EXPECT_EQ(child.Out(), "24 60\r\ntty\r\n");
  EXPECT_EQ(child.Err(), "");
  ASSERT_TRUE(child.Wait(30s));
  std::ifstream log(folder / "err");
  std::string line;
  EXPECT_TRUE(std::getline(log, line) && line == "log");
}

TEST(ChildProcess, ABodyRunsInACopyOfThisProcess) {
  int value = 5;
  ChildProcess child([&value] { return value + 1; });
  const auto ended = child.Wait(30s);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->code, 6);
}

}  // namespace
}  // namespace ql::testing_support
