// The message table: completeness, the texts the window depends on, and the
// accelerator markers of menu and button captions.
#include "text/message_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace ql::text {
namespace {

constexpr Language kLanguages[] = {Language::English, Language::Simplified, Language::Traditional};

// A strict UTF-8 check: a text damaged by a code-page conversion fails it.
bool IsValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80           ? 1
                         : (lead >> 5) == 0x6  ? 2
                         : (lead >> 4) == 0xE  ? 3
                         : (lead >> 3) == 0x1E ? 4
                                               : 0;
    if (length == 0 || i + length > text.size()) {
      return false;
    }
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
        return false;
      }
    }
    i += length;
  }
  return true;
}

TEST(MessageTable, EveryMessageHasValidTextInEveryLanguage) {
  for (int number = 0; number < kMessageCount; ++number) {
    for (Language language : kLanguages) {
      const std::string_view text = Message(number, language);
      EXPECT_FALSE(text.empty()) << "message " << number << " language "
                                 << static_cast<int>(language);
      EXPECT_TRUE(IsValidUtf8(text)) << "message " << number;
    }
  }
}

TEST(MessageTable, NumbersOutsideTheTableGiveNoText) {
  for (int number : {-1, kMessageCount, 1000}) {
    EXPECT_TRUE(Message(number, Language::English).empty()) << number;
  }
  EXPECT_TRUE(Message(0, static_cast<Language>(3)).empty());
  EXPECT_TRUE(Message(0, static_cast<Language>(-1)).empty());
}

TEST(MessageTable, TextsTheWindowDependsOn) {
  struct Case {
    int number;
    Language language;
    std::string_view text;
  };
  const Case cases[] = {
      {0, Language::English, "QL480TX-V5 upgrade firmware utility V1.02"},
      {0, Language::Simplified, "QL480TX-V5 韧体更新程式 V1.02"},
      {0, Language::Traditional, "QL480TX-V5 韌體更新程式 V1.02"},
      {5, Language::English, "E&xit"},
      {5, Language::Simplified, "离开(&x)"},
      {5, Language::Traditional, "離開(&x)"},
      {6, Language::English, "&English"},
      {6, Language::Simplified, "&Simplified Chinese(简体)"},
      {6, Language::Traditional, "&Traditional Chinese(繁體)"},
      {26, Language::English, "2. &Connect device"},
      {26, Language::Simplified, "2. 连线装置(&C)"},
      {26, Language::Traditional, "2. 連線裝置(&C)"},
      {33, Language::English, "Port:"},
      {33, Language::Simplified, "连接阜:"},
      {33, Language::Traditional, "連接阜:"},
      {35, Language::English,
       "Upgrading the firmware of the Product will lost some data on the Product. To ensure data "
       "security, it is recommended that you back up your data before update."},
      {35, Language::Simplified,
       "注意：更新产品韧体会影响产品上的部分资料，为确保资料安全，建议您在更新韧体前先备份您的资料"
       "。"},
      {35, Language::Traditional,
       "注意：更新產品韌體會影響產品上的部分資料，為確保資料安全，建議您在更新韌體前先備份您的資料"
       "。"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Message(c.number, c.language), c.text)
        << "message " << c.number << " language " << static_cast<int>(c.language);
  }
  for (Language language : kLanguages) {
    EXPECT_TRUE(Message(msg::kCaption, language).ends_with(" V1.02"));
  }
}

// Menu and button captions carry exactly one accelerator marker; status and
// label texts carry none, so a panel never shows a stray "&".
TEST(MessageTable, AcceleratorMarkersOnlyInMenuAndButtonCaptions) {
  const int captions[] = {2, 3, 4, 5, 6, 25, 26, 27, 28};
  for (int number = 0; number < kMessageCount; ++number) {
    const bool isCaption =
        std::find(std::begin(captions), std::end(captions), number) != std::end(captions);
    for (Language language : kLanguages) {
      const auto markers =
          std::count(Message(number, language).begin(), Message(number, language).end(), '&');
      EXPECT_EQ(markers, isCaption ? 1 : 0)
          << "message " << number << " language " << static_cast<int>(language);
    }
  }
}

TEST(StripAccelerator, RemovesOnlyTheMarker) {
  struct Case {
    std::string_view caption;
    std::string_view shown;
  };
  const Case cases[] = {
      {"2. &Connect device", "2. Connect device"},
      {"2. 连线装置(&C)", "2. 连线装置(C)"},
      {"2. 連線裝置(&C)", "2. 連線裝置(C)"},
      {"E&xit", "Exit"},
      {"&&", "&"},
      {"Salt && &Pepper", "Salt & Pepper"},
      {"&&&x", "&x"},
      {"Connect device ok.", "Connect device ok."},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StripAccelerator(c.caption), c.shown) << c.caption;
  }
}

}  // namespace
}  // namespace ql::text
