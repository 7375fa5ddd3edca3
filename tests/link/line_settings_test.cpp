// The line-settings text, its translation into terminal settings and the
// character time it gives, and the mapping of port names to devices.
#include "link/line_settings.h"

#include <gtest/gtest.h>

#include "link/serial_port_posix.h"
#include "link/serial_reply_wait.h"
#include "link/serial_transport.h"

namespace ql::link {
namespace {

TEST(ParseLineSettings, ReadableTexts) {
  struct Case {
    const char* text;
    LineSettings expected;
  };
  const Case cases[] = {
      {"19200,e,8,1", {19200, Parity::Even, 8, StopBits::One}},
      {"921600,n,8,1", {921600, Parity::None, 8, StopBits::One}},
      {"4800,N,8,1", {4800, Parity::None, 8, StopBits::One}},
      {"9600,o,7,2", {9600, Parity::Odd, 7, StopBits::Two}},
      {"110,m,5,1.5", {110, Parity::Mark, 5, StopBits::OneAndHalf}},
      {"300,S,6,1", {300, Parity::Space, 6, StopBits::One}},
      {" 19200 , e , 8 , 1 ", {19200, Parity::Even, 8, StopBits::One}},
      {"\t57600,\te,8,1\t", {57600, Parity::Even, 8, StopBits::One}},
      {"115200", {115200, std::nullopt, std::nullopt, std::nullopt}},
      {"38400,e", {38400, Parity::Even, std::nullopt, std::nullopt}},
      {"38400,e,7", {38400, Parity::Even, 7, std::nullopt}},
      {"4000000,n,8,1", {4000000, Parity::None, 8, StopBits::One}},
  };
  for (const auto& c : cases) {
    const auto parsed = ParseLineSettings(c.text);
    ASSERT_TRUE(parsed.has_value()) << '"' << c.text << '"';
    EXPECT_EQ(*parsed, c.expected) << '"' << c.text << '"';
  }
}

TEST(ParseLineSettings, UnreadableTexts) {
  const char* const texts[] = {
      "",
      " ",
      ",",
      "abc",
      "19200,x,8,1",
      "19200,e,9,1",
      "19200,e,4,1",
      "19200,e,8,3",
      "19200,e,8,1.0",
      "19200,e,8,1,x",
      "19200,,8,1",
      "19200,e,8,",
      "0,n,8,1",
      "-9600,n,8,1",
      "+9600,n,8,1",
      "4000001,n,8,1",
      "99999999999999999999",
      "19 200,e,8,1",
      "19200;e;8;1",
      "19200,ee,8,1",
      "19200,e,08,1",
      "0x4B00,n,8,1",
      "baud=19200 parity=E data=8 stop=1",
  };
  for (const char* text : texts) {
    EXPECT_FALSE(ParseLineSettings(text).has_value()) << '"' << text << '"';
  }
  EXPECT_FALSE(ParseLineSettings(std::string_view("19200\0,e,8,1", 12)).has_value());
}

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
