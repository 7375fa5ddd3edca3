// What the fuzz targets share: a check that stops the run with a message,
// and a temporary folder for the files they write, removed at exit.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace ql::fuzz {

inline void Require(bool condition, const char* what = "invariant") {
  if (!condition) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
  }
}

// A fresh folder under `base` named after `prefix`, removed when the fuzzer
// exits.
inline const std::filesystem::path& TempFolder(const std::filesystem::path& base,
                                               const char* prefix) {
  struct Folder {
    std::filesystem::path path;
    ~Folder() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  };
  static const Folder folder{[&] {
    std::string name = (base / (std::string(prefix) + "-XXXXXX")).string();
    Require(::mkdtemp(name.data()) != nullptr, "temporary folder");
    return std::filesystem::path(name);
  }()};
  return folder.path;
}

inline void WriteFile(const std::filesystem::path& path, const std::uint8_t* data,
                      std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  Require(file != nullptr, "open for writing");
  Require(std::fwrite(data, 1, size, file) == size, "write");
  std::fclose(file);
}

}  // namespace ql::fuzz
