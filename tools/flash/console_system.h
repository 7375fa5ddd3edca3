// What ql480tx-flash asks of the system about its console and arguments, one
// implementation per platform (console_posix.cpp, console_win32.cpp).
#pragma once

#include <string>
#include <vector>

namespace ql::flash {

inline constexpr int kStandardOutput = 1;
inline constexpr int kStandardError = 2;

// Readies standard output and standard error, before anything is written:
// on Linux a reader that has gone never ends the program (SIGPIPE is
// ignored; writes fail instead). On Windows the bytes are written as they
// are (no CR put before each LF), a console shows them as UTF-8, and takes
// the status rows' ANSI sequences where it can; what was changed on the
// console is put back at exit.
void PrepareStandardStreams();

// The arguments after the program's name, in UTF-8 (on Windows taken from
// the wide command line, so any file name comes through).
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// Whether standard output is a terminal that can redraw the status rows:
// a terminal on Linux, a console that takes ANSI sequences on Windows.
bool StatusRowsPossible();

// The width of the terminal or console on standard output in columns; 0
// when it is none.
int TerminalColumns();

}  // namespace ql::flash
