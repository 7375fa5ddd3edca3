// What the front ends add to the message table's texts: why a step failed
// ("127.0.0.1:5003: Connection refused", "block 23, address 2E00, 5 tries")
// and, after a stop request, what the device now holds. Each is worked out
// from what the procedure told; ql480tx-flash prints these words after the
// message, and the window shows the same words on its status panel.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "link/link_settings.h"
#include "upgrade/procedure_events.h"

namespace ql::upgrade {

// The byte address of `block` as the commands carry it: "2E00" for 23.
std::string BlockAddress(int block);

// The link as output lines name it: "127.0.0.1:5003", "/dev/ttyUSB0", "COM1".
std::string LinkLabel(const link::LinkSettings& link);

// `label` is the link as LinkLabel names it.
std::string LinkReason(const std::string& label, std::string_view why);
std::string NoDeviceReason(const std::string& label, int attempts, const TryEnd& last);
std::string MismatchReason(std::string_view deviceInfo, std::string_view fileHeader);
std::string LoadReason(LoadFailure why, int error);
// What is left out of a file of `imageBytes` after its header when the
// device takes fewer; empty when it takes them all.
std::string UnwrittenImageWarning(std::int64_t imageBytes);
// Why a phase failed; empty for one that did not.
std::string PhaseReason(const PhaseEnd& end);

// What the device holds after a stop request ended a procedure as `finish`
// says, `lastPhase` being the last phase it ended (none: it was still
// connecting), and what to do about it.
std::string StopExplanation(const Finish& finish, const std::optional<PhaseEnd>& lastPhase);

// What the device holds after a procedure that ended as `finish` says with a
// failed phase, `lastPhase` being that phase, and what to do about it: a
// partial image up to a block, a complete image that differs at a block,
// nothing written. Empty when there is nothing to tell (a connect). A front
// end gives it after the phase's reason, joined by "; ".
std::string FailureHoldings(const Finish& finish, const std::optional<PhaseEnd>& lastPhase);

}  // namespace ql::upgrade
