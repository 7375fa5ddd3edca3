// What the command-line program adds to the message table's texts: why a
// step failed ("127.0.0.1:5003: Connection refused", "block 23, address
// 2E00, 5 tries") and, after a stop request, what the device now holds.
#pragma once

#include <string>

#include "options.h"
#include "trace.h"
#include "upgrade/procedures.h"

namespace ql::flash {

struct ReasonInputs {
  std::string label;        // the link, as output lines name it
  bool openFailed = false;  // the last attempt to open the link failed
  std::string openError;    // and why
  upgrade::ProcedureReport report;
  LastExchange last;       // the device's last exchange
  std::string deviceText;  // the device information of the handshake
  std::string fileHeader;  // the firmware file's header text
  std::string fileError;   // why the firmware file could not be loaded
};

// The byte address of `block` as the commands carry it: "2E00" for 23.
std::string BlockAddress(int block);

// Why message `message` (one of the failures: 7, 8, 11, 13, 15, 18) was
// shown; empty when there is nothing to add.
std::string FailureReason(int message, const ReasonInputs& in);

// What the device holds after a stop request ended `mode` where `report`
// says, and what to do about it.
std::string StopExplanation(Mode mode, const upgrade::ProcedureReport& report, int blockCount);

// Whether message `number` tells of a failure, and so goes to standard error.
bool IsFailureMessage(int number);

}  // namespace ql::flash
