// What the Windows serial link does with the port's state record (DCB), for
// its tests: the line settings written into one, and the character time
// read from one. Wine accepts any record on a pseudo-terminal, so what a
// real port would be told is checked here rather than on a line.
#pragma once

#include <windows.h>

#include <chrono>
#include <string>

#include "link/line_settings.h"

namespace ql::link {

// Raw bytes and no handshake of any kind: binary mode, no flow control by
// CTS, DSR or XON/XOFF, no error or NUL replacement, no abort on errors, DTR
// and RTS raised and left alone.
void MakeRaw(DCB& dcb);

// Writes `settings` into `dcb`: the baud rate, and the parity, data bits and
// stop bits the text names (the others stay). Two stop bits of 5-bit
// characters, and 1.5 stop bits, are what a UART can send: 1.5 with 5 data
// bits, else 2. False, with `dcb` unchanged, for a baud rate that is none
// of the rates a port is set to on Linux either (50 to 4000000 baud, the
// termios speeds), so that a text means the same on both.
bool ApplyLineSettings(const LineSettings& settings, DCB& dcb);

// Why a port told `asked` does not run at its rate, now that it reports
// `inForce`: empty when it does. Drivers may keep the nearest rate they can
// without an error. The character format is not compared: Wine reports a
// pseudo-terminal's, which is always 8 bits without parity.
std::string LineRefusal(const DCB& asked, const DCB& inForce);

// How long one character lasts with the record's format and rate: start
// bit, data bits, parity bit and stop bits over the baud rate.
std::chrono::nanoseconds CharacterTimeOf(const DCB& dcb);

}  // namespace ql::link
