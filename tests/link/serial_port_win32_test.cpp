// What the Windows serial link tells the port: the state record written from
// a settings text, the character time read from one, and the device names.
// Wine takes any record on a pseudo-terminal and does not refuse a second
// open of a port, so these rules are checked on the record and the names,
// and the exclusive open on a file, whose sharing rules Wine does keep; the
// end-to-end tests run the link itself against the emulator.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "link/serial_port_win32.h"
#include "link/serial_transport.h"

namespace ql::link {
namespace {

DCB Found() {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = 9600;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fOutxCtsFlow = TRUE;
  dcb.fOutX = TRUE;
  dcb.fInX = TRUE;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fAbortOnError = TRUE;
  dcb.fErrorChar = TRUE;
  dcb.fNull = TRUE;
  return dcb;
}

TEST(SerialRecord, EveryOfferedSettingIsWrittenWhole) {
  for (const char* text : kLineSettingChoices) {
    SCOPED_TRACE(text);
    const std::string setting(text);
    DCB dcb = Found();
    ASSERT_TRUE(ApplyLineSettings(*ParseLineSettings(setting), dcb));
    EXPECT_EQ(dcb.BaudRate, std::stoul(setting));
    const bool even = setting.find(",e,") != std::string::npos;
    EXPECT_EQ(dcb.Parity, even ? EVENPARITY : NOPARITY);
    EXPECT_EQ(dcb.fParity, even ? TRUE : FALSE);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  }
}

TEST(SerialRecord, FormatsAndWhatTheTextLeavesOut) {
  const struct {
    const char* text;
    DWORD baud;
    BYTE parity;
    BYTE dataBits;
    BYTE stopBits;
  } cases[] = {
      {"9600,o,7,2", 9600, ODDPARITY, 7, TWOSTOPBITS},
      {"1200,m,8,1", 1200, MARKPARITY, 8, ONESTOPBIT},
      {"2400,s,6,1", 2400, SPACEPARITY, 6, ONESTOPBIT},
      // A UART sends 1.5 stop bits after 5-bit characters and 2 otherwise;
      // the record takes no other pairing.
      {"300,n,5,1.5", 300, NOPARITY, 5, ONE5STOPBITS},
      {"300,n,5,2", 300, NOPARITY, 5, ONE5STOPBITS},
      {"300,n,7,1.5", 300, NOPARITY, 7, TWOSTOPBITS},
      // Fields left out keep the port's own.
      {"57600", 57600, NOPARITY, 8, ONESTOPBIT},
      {"57600,e", 57600, EVENPARITY, 8, ONESTOPBIT},
      {"921600,e,8", 921600, EVENPARITY, 8, ONESTOPBIT},
      {"4000000,n,8,1", 4000000, NOPARITY, 8, ONESTOPBIT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    DCB dcb = Found();
    const auto parsed = ParseLineSettings(c.text);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(LineSettingsApplicable(*parsed));
    ASSERT_TRUE(ApplyLineSettings(*parsed, dcb));
    EXPECT_EQ(dcb.BaudRate, c.baud);
    EXPECT_EQ(dcb.Parity, c.parity);
    EXPECT_EQ(dcb.ByteSize, c.dataBits);
    EXPECT_EQ(dcb.StopBits, c.stopBits);
  }
}

TEST(SerialRecord, ARateLinuxHasNoSpeedForIsNotAppliedEither) {
  for (const char* text : {"12345,e,8,1", "250000", "3999999"}) {
    SCOPED_TRACE(text);
    DCB dcb = Found();
    const auto parsed = ParseLineSettings(text);
    ASSERT_TRUE(parsed);
    EXPECT_FALSE(LineSettingsApplicable(*parsed));
    EXPECT_FALSE(ApplyLineSettings(*parsed, dcb));
    EXPECT_EQ(dcb.BaudRate, 9600U);
  }
}

// Wine keeps whatever it is told; a real driver may keep the nearest rate or
// format it can without an error.
TEST(SerialRecord, APortThatKeepsAnotherSettingIsCaught) {
  DCB asked = Found();
  ASSERT_TRUE(ApplyLineSettings(*ParseLineSettings("230400,e,8,1"), asked));
  EXPECT_EQ(LineRefusal(asked, asked), "");
  DCB slower = asked;
  slower.BaudRate = 115200;
  EXPECT_EQ(LineRefusal(asked, slower), "it runs at 115200 baud");
  DCB pseudoTerminal = asked;
  pseudoTerminal.Parity = NOPARITY;
  EXPECT_EQ(LineRefusal(asked, pseudoTerminal), "") << "no parity on a pseudo-terminal";
}

TEST(SerialRecord, RawBytesWithoutAnyHandshake) {
  DCB dcb = Found();
  MakeRaw(dcb);
  EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
  EXPECT_TRUE(dcb.fBinary);
  EXPECT_FALSE(dcb.fOutxCtsFlow);
  EXPECT_FALSE(dcb.fOutxDsrFlow);
  EXPECT_FALSE(dcb.fDsrSensitivity);
  EXPECT_FALSE(dcb.fOutX);
  EXPECT_FALSE(dcb.fInX);
  EXPECT_FALSE(dcb.fErrorChar);
  EXPECT_FALSE(dcb.fNull);
  EXPECT_FALSE(dcb.fAbortOnError);
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
  EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
  // The format is the settings text's business, not the raw mode's.
  EXPECT_EQ(dcb.BaudRate, 9600U);
  EXPECT_EQ(dcb.ByteSize, 8);
}

TEST(SerialRecord, CharacterTimeCountsStartDataParityAndStopBits) {
  DCB dcb = Found();
  ApplyLineSettings(*ParseLineSettings("19200,e,8,1"), dcb);
  EXPECT_EQ(CharacterTimeOf(dcb).count(), 572917);  // 11 bits
  ApplyLineSettings(*ParseLineSettings("115200,n,8,1"), dcb);
  EXPECT_EQ(CharacterTimeOf(dcb).count(), 86806);  // 10 bits
  ApplyLineSettings(*ParseLineSettings("300,n,5,2"), dcb);
  EXPECT_EQ(CharacterTimeOf(dcb).count(), 25000000);  // 7.5 bits
}

TEST(SerialNames, ComNamesReachEveryPortAndOneNameIsOnePort) {
  EXPECT_EQ(SerialDevicePath("COM1"), "\\\\.\\COM1");
  EXPECT_EQ(SerialDevicePath("com10"), "\\\\.\\COM10");
  EXPECT_EQ(SerialDevicePath("COM256"), "\\\\.\\COM256");
  EXPECT_EQ(SerialDevicePath("\\\\.\\COM3"), "\\\\.\\COM3");
  for (const char* asIs : {"COM0", "COM01", "COM", "COMX", "CNCA0", ""}) {
    EXPECT_EQ(SerialDevicePath(asIs), asIs);
  }
  EXPECT_EQ(SerialPortIdentity("com7"), SerialPortIdentity("COM7"));
  EXPECT_EQ(SerialPortIdentity("\\\\.\\com7"), SerialPortIdentity("COM7"));
  EXPECT_NE(SerialPortIdentity("COM7"), SerialPortIdentity("COM17"));
}

TEST(SerialOpen, APortThatCannotBeOpenedSaysWhy) {
  std::string why;
  EXPECT_EQ(OpenSerialTransport("COM250", "19200,e,8,1", &why), nullptr);
  EXPECT_EQ(why, "No such file or directory");
  EXPECT_EQ(OpenSerialTransport("", "19200,e,8,1", &why), nullptr);
  EXPECT_EQ(why, "not a port name");
  EXPECT_EQ(OpenSerialTransport("\\\\.\\NUL", "19200,e,8,1", &why), nullptr);
  EXPECT_EQ(why, "not a serial port");
}

// The port is opened with no sharing: while anything else holds it open the
// system refuses the open, and the user is told the port is in use.
TEST(SerialOpen, SomethingHeldOpenElsewhereIsInUse) {
  const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                     ("ql-held-" + std::to_string(::GetCurrentProcessId()));
  const HANDLE held =
      ::CreateFileW(file.wstring().c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  std::string why;
  EXPECT_EQ(OpenSerialTransport(file.string(), "19200,e,8,1", &why), nullptr);
  EXPECT_EQ(why, "in use by another program");
  ::CloseHandle(held);
  // Let go, it opens, and is then found to be no port.
  EXPECT_EQ(OpenSerialTransport(file.string(), "19200,e,8,1", &why), nullptr);
  EXPECT_EQ(why, "not a serial port");
  ::DeleteFileW(file.wstring().c_str());
}

}  // namespace
}  // namespace ql::link
