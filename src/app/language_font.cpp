// Choosing installed faces for the language fonts.
#include "app/language_font.h"

#include <QFontDatabase>
#include <array>

namespace ql::app {
namespace {

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QFont FontFor(const text::LanguageFont& wanted) {
  QFont font(InstalledFamily(wanted.family, wanted.fallbacks));
  font.setBold(false);
  font.setItalic(false);
  return font;
}

}  // namespace

QString InstalledFamily(std::string_view family, std::span<const std::string_view> fallbacks) {
  if (QFontDatabase::hasFamily(FromUtf8(family))) {
    return FromUtf8(family);
  }
  for (const std::string_view candidate : fallbacks) {
    if (QFontDatabase::hasFamily(FromUtf8(candidate))) {
      return FromUtf8(candidate);
    }
  }
  return FromUtf8(family);
}

QFont LanguageFont(text::Language language) {
  const text::LanguageFont& wanted = text::FontOf(language);
  QFont font = FontFor(wanted);
  font.setPointSize(wanted.pointSize);
  return font;
}

QFont DesignFont() {
  // Designed with the Traditional Chinese face at a 16-pixel height.
  QFont font = FontFor(text::FontOf(text::Language::Traditional));
  font.setPixelSize(16);
  return font;
}

QFont PanelFont(int pixelSize) {
  // The panels are sized for the designed face; the fallbacks are faces of
  // about its width, so "Program/Download" still fits its 106-pixel panel.
  static constexpr std::array<std::string_view, 5> kNarrowLatin = {
      "Microsoft Sans Serif", "Liberation Sans", "Arimo", "DejaVu Sans Condensed", "DejaVu Sans"};
  QFont font(InstalledFamily(text::FontOf(text::Language::English).family, kNarrowLatin));
  font.setPixelSize(pixelSize);
  return font;
}

}  // namespace ql::app
