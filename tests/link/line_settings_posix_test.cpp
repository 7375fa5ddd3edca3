// The line-settings text translated into terminal settings and the character
// time it gives, and the mapping of port names to devices on Linux.
#include <gtest/gtest.h>

#include "link/line_settings.h"
#include "link/serial_port_posix.h"
#include "link/serial_reply_wait.h"
#include "link/serial_transport.h"

namespace ql::link {
namespace {

TEST(ApplyLineSettings, TerminalFlags) {
  struct Case {
    const char* text;
    speed_t speed;
    tcflag_t parity;  // PARENB | PARODD | CMSPAR bits expected
    tcflag_t size;
    bool twoStop;
  };
  const Case cases[] = {
      {"19200,e,8,1", B19200, PARENB, CS8, false},
      {"9600,o,7,2", B9600, PARENB | PARODD, CS7, true},
      {"921600,n,8,1", B921600, 0, CS8, false},
      {"4800,m,6,1", B4800, PARENB | PARODD | CMSPAR, CS6, false},
      {"1200,s,5,1.5", B1200, PARENB | CMSPAR, CS5, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    termios tio{};
    // Start from settings that every case must change.
    tio.c_cflag = CS8 | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS;
    tio.c_iflag = IXON | IXOFF;
    cfsetispeed(&tio, B300);
    cfsetospeed(&tio, B300);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    tio.c_cflag |= c.size == CS5 ? CS8 : CS5;
    ASSERT_TRUE(ApplyLineSettings(*ParseLineSettings(c.text), tio));
    EXPECT_EQ(cfgetospeed(&tio), c.speed);
    EXPECT_EQ(cfgetispeed(&tio), c.speed);
    EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), c.parity);
    EXPECT_EQ(tio.c_cflag & CSIZE, c.size);
    EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.twoStop);
    EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u);
  }
}

TEST(ApplyLineSettings, FieldsLeftOutKeepTheirValues) {
  termios tio{};
  tio.c_cflag = CS7 | CSTOPB | PARENB | PARODD;
  ASSERT_TRUE(ApplyLineSettings(*ParseLineSettings("57600"), tio));
  EXPECT_EQ(cfgetospeed(&tio), B57600);
  EXPECT_EQ(tio.c_cflag & (CSIZE | CSTOPB | PARENB | PARODD), CS7 | CSTOPB | PARENB | PARODD);
}

TEST(ApplyLineSettings, BaudWithoutASystemSpeedChangesNothing) {
  termios tio{};
  tio.c_cflag = CS7 | PARENB;
  cfsetospeed(&tio, B2400);
  const termios before = tio;
  EXPECT_FALSE(ApplyLineSettings(*ParseLineSettings("12345,n,8,1"), tio));
  EXPECT_EQ(tio.c_cflag, before.c_cflag);
  EXPECT_EQ(cfgetospeed(&tio), B2400);
}

// A driver may take a setting without an error and keep the nearest it can:
// the port is then compared with what it was told.
TEST(ApplyLineSettings, APortThatKeepsAnotherSettingIsCaught) {
  termios asked{};
  ASSERT_TRUE(ApplyLineSettings(*ParseLineSettings("230400,e,8,1"), asked));
  EXPECT_EQ(LineRefusal(asked, asked), "");
  termios slower = asked;
  cfsetospeed(&slower, B115200);
  EXPECT_EQ(LineRefusal(asked, slower), "it runs at 115200 baud");
  termios pseudoTerminal = asked;
  pseudoTerminal.c_cflag &= ~static_cast<tcflag_t>(PARENB);
  EXPECT_EQ(LineRefusal(asked, pseudoTerminal), "") << "no parity on a pseudo-terminal";
}

TEST(SerialCharacterTime, CountsStartDataParityAndStopBits) {
  struct Case {
    const char* text;
    std::uint32_t baud;
    double bits;
  };
  const Case cases[] = {
      {"19200,e,8,1", 19200, 11}, {"19200,n,8,1", 19200, 10},  {"921600,e,8,1", 921600, 11},
      {"1200,o,7,1", 1200, 10},   {"2400,n,5,1.5", 2400, 7.5}, {"2400,m,6,2", 2400, 10},
      {"4800,s,8,2", 4800, 12},   {"300,n,5,1", 300, 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    termios tio{};
    const auto settings = ParseLineSettings(c.text);
    ASSERT_TRUE(settings.has_value());
    ASSERT_TRUE(ApplyLineSettings(*settings, tio));
    EXPECT_EQ(CharacterTimeOf(tio), CharacterTimeAt(c.baud, c.bits));
  }
}

TEST(SerialDevicePath, WindowsNamesMapToSerialDevices) {
  struct Case {
    const char* name;
    const char* path;
  };
  const Case cases[] = {
      {"COM1", "/dev/ttyS0"},
      {"COM16", "/dev/ttyS15"},
      {"com3", "/dev/ttyS2"},
      {"/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"/dev/pts/7", "/dev/pts/7"},
      {"COM0", "COM0"},
      {"COM", "COM"},
      {"COM01", "COM01"},
      {"COM1x", "COM1x"},
      {"COM-1", "COM-1"},
      {"", ""},
      {"COM9999999", "COM9999999"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SerialDevicePath(c.name), c.path) << '"' << c.name << '"';
  }
}

}  // namespace
}  // namespace ql::link
