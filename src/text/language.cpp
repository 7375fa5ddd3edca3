// Language flags and language fonts.
#include "text/language.h"

#include <array>

namespace ql::text {
namespace {

// Installed faces of the same script, tried in order when the designed face
// is missing (Debian: fonts-arphic-uming, fonts-wqy-microhei).
constexpr std::array<std::string_view, 4> kLatinFallbacks = {"Microsoft Sans Serif", "DejaVu Sans",
                                                             "Liberation Sans", "Sans Serif"};
constexpr std::array<std::string_view, 5> kSimplifiedFallbacks = {
    "SimSun", "AR PL UMing CN", "WenQuanYi Micro Hei", "Noto Sans CJK SC", "Sans Serif"};
constexpr std::array<std::string_view, 5> kTraditionalFallbacks = {
    "MingLiU", "AR PL UMing TW", "WenQuanYi Micro Hei", "Noto Sans CJK TC", "Sans Serif"};

const std::array<LanguageFont, kLanguageCount> kFonts = {{
    {"MS Sans Serif", 0, 10, kLatinFallbacks},
    {"宋体", 134, 12, kSimplifiedFallbacks},
    {"細明體", 136, 12, kTraditionalFallbacks},
}};

}  // namespace

std::string_view LanguageFlagOf(Language language) {
  switch (language) {
    case Language::Simplified:
      return "ChineseGB";
    case Language::Traditional:
      return "ChineseBIG5";
    case Language::English:
      break;
  }
  return "English";
}

Language LanguageFromFlag(std::string_view flag) {
  if (flag == "ChineseGB") {
    return Language::Simplified;
  }
  if (flag == "ChineseBIG5") {
    return Language::Traditional;
  }
  return Language::English;
}

const LanguageFont& FontOf(Language language) {
  const auto index = static_cast<std::size_t>(language);
  return kFonts[index < kFonts.size() ? index : 0];
}

}  // namespace ql::text
