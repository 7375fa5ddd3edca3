// File names as the program keeps them, in UTF-8, and as the file system
// takes them. On Linux the bytes pass unchanged; on Windows a path made from
// a plain string would read it in the system's ANSI code page, so every name
// goes through these two.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace ql::image {

inline std::filesystem::path Utf8Path(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string PathUtf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace ql::image
