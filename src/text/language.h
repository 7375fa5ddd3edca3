// The three languages of the utility, the text under which each is stored,
// and the font each asks for.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace ql::text {

// Held as a 32-bit signed integer wherever it is stored or compared.
enum class Language : std::int32_t {
  English = 0,
  Simplified = 1,
  Traditional = 2,
};

inline constexpr int kLanguageCount = 3;

// "English", "ChineseGB" or "ChineseBIG5".
std::string_view LanguageFlagOf(Language language);

// The language a stored flag selects: an exact, case-sensitive match of
// "ChineseGB" or "ChineseBIG5", English for any other text.
Language LanguageFromFlag(std::string_view flag);

// The font a language asks for. `family` is the face the window was designed
// with; `fallbacks` are installed faces of the same script, tried in order
// when that face is missing.
struct LanguageFont {
  std::string_view family;
  int charset;  // 0 ANSI, 134 GB2312, 136 Big5: kept for a platform that uses it
  int pointSize;
  std::span<const std::string_view> fallbacks;
};

const LanguageFont& FontOf(Language language);

}  // namespace ql::text
