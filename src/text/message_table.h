// Every operator-visible text that changes with the language, looked up by
// message number at the moment it is shown.
#pragma once

#include <string>
#include <string_view>

#include "text/language.h"

namespace ql::text {

inline constexpr int kMessageCount = 36;

// Message numbers the code refers to by name. Numbers 4, 9, 22, 23, 24 and 28
// are in the table but never shown.
namespace msg {
inline constexpr int kCaption = 0;
inline constexpr int kSelectFirmwareFile = 1;
inline constexpr int kMenuLanguage = 2;
inline constexpr int kMenuFile = 3;
inline constexpr int kMenuExit = 5;
inline constexpr int kMenuLanguageItem = 6;
inline constexpr int kLoadFileError = 7;
inline constexpr int kOpenPortError = 8;
inline constexpr int kConnecting = 10;
inline constexpr int kConnectError = 11;
inline constexpr int kConnectOk = 12;
inline constexpr int kFileTypeError = 13;
inline constexpr int kProgramming = 14;
inline constexpr int kProgramError = 15;
inline constexpr int kProgramOk = 16;
inline constexpr int kVerifying = 17;
inline constexpr int kVerifyError = 18;
inline constexpr int kVerifyOk = 19;
inline constexpr int kUpgrading = 20;
inline constexpr int kUpgradeOk = 21;
inline constexpr int kButtonSelect = 25;
inline constexpr int kButtonConnect = 26;
inline constexpr int kButtonUpgrade = 27;
inline constexpr int kDevice = 29;
inline constexpr int kTabCom = 30;
inline constexpr int kTabNet = 31;
inline constexpr int kSpeed = 32;
inline constexpr int kPort = 33;
inline constexpr int kNoteCaption = 34;
inline constexpr int kNoteText = 35;
}  // namespace msg

// The UTF-8 text of message `number` (0 to 35) in `language`; empty for a
// number outside the table.
std::string_view Message(int number, Language language);

// The text as a status panel shows it: the accelerator marker "&" removed
// ("2. &Connect device" -> "2. Connect device"); "&&" stands for one "&".
std::string StripAccelerator(std::string_view text);

}  // namespace ql::text
