// Language flags: the stored text of each language, and which language a
// stored text selects.
#include "text/language.h"

#include <gtest/gtest.h>

#include <string>

namespace ql::text {
namespace {

TEST(LanguageFlag, EachLanguageRoundTripsThroughItsFlag) {
  struct Case {
    Language language;
    std::string_view flag;
  };
  const Case cases[] = {
      {Language::English, "English"},
      {Language::Simplified, "ChineseGB"},
      {Language::Traditional, "ChineseBIG5"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LanguageFlagOf(c.language), c.flag);
    EXPECT_EQ(LanguageFromFlag(c.flag), c.language) << c.flag;
  }
}

// Only the exact flags select Chinese; a flag that differs in letter case,
// spacing or anything else selects English.
TEST(LanguageFlag, AnyOtherTextSelectsEnglish) {
  const std::string_view flags[] = {"chinesegb",   "CHINESEGB",  "ChineseGb",    "ChineseBig5",
                                    "chinesebig5", "ChineseGB ", " ChineseBIG5", "ChineseGB\n",
                                    "Chinese",     "",           "german",       "1"};
  for (std::string_view flag : flags) {
    EXPECT_EQ(LanguageFromFlag(flag), Language::English) << '"' << flag << '"';
  }
  // A flag read from the store with its terminating NUL still counted.
  EXPECT_EQ(LanguageFromFlag(std::string_view("ChineseGB\0", 10)), Language::English);
}

}  // namespace
}  // namespace ql::text
