// The line-settings text as every platform reads it.
#include "link/line_settings.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace ql::link
