// The console and arguments on Windows.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h.
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>

#include "console_system.h"
#include "link/system_text_win32.h"

// Older mingw-w64 headers may lack it; the value is the system's.
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace ql::flash {
namespace {

// The console as found, put back at exit.
struct ConsoleFound {
  UINT outputCodePage = 0;
  DWORD outputMode = 0;
  bool modeChanged = false;
  bool ansi = false;
};

ConsoleFound& Found() {
  static ConsoleFound found;
  return found;
}

void PutConsoleBack() {
  const ConsoleFound& found = Found();
  if (found.outputCodePage != 0) {
    ::SetConsoleOutputCP(found.outputCodePage);
  }
  if (found.modeChanged) {
    ::SetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), found.outputMode);
  }
}

}  // namespace

void PrepareStandardStreams() {
  // LF stays LF: the JSON lines and the trace are the same bytes as on Linux,
  // and a console takes a plain LF as a new line.
  ::_setmode(::_fileno(stdout), _O_BINARY);
  ::_setmode(::_fileno(stderr), _O_BINARY);
  ConsoleFound& found = Found();
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == INVALID_HANDLE_VALUE || out == nullptr || !::GetConsoleMode(out, &mode)) {
    return;  // a pipe or a file: bytes only
  }
  found.outputCodePage = ::GetConsoleOutputCP();
  ::SetConsoleOutputCP(CP_UTF8);
  found.outputMode = mode;
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) {
    found.ansi = true;
  } else if (::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
    found.ansi = true;
    found.modeChanged = true;
  }
  std::atexit(&PutConsoleBack);
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) {
    return std::vector<std::string>(argv + 1, argv + argc);
  }
  std::vector<std::string> args;
  for (int i = 1; i < count; ++i) {
    args.push_back(link::Narrow(wide[i]));
  }
  ::LocalFree(wide);
  return args;
}

bool StatusRowsPossible() {
  return Found().ansi;
}

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    return 0;
  }
  return info.srWindow.Right - info.srWindow.Left + 1;
}

}  // namespace ql::flash
