// Fonts of the window: each asks for its face by name and falls back to an
// installed face of the same script, keeping the size.
#pragma once

#include <QFont>
#include <QString>
#include <span>
#include <string_view>

#include "text/language.h"

namespace ql::app {

// The first of `family` and then `fallbacks` that is installed; `family`
// itself when none is (the font system then picks its own substitute).
QString InstalledFamily(std::string_view family, std::span<const std::string_view> fallbacks);

// The font of a language, sized in points as the language asks.
QFont LanguageFont(text::Language language);

// The font the window was designed with, before any language is applied.
QFont DesignFont();

// The font of the information panels: the Latin face at `pixelSize` pixels.
QFont PanelFont(int pixelSize);

}  // namespace ql::app
