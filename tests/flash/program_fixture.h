// The fixture of the tests that run ql480tx-flash itself: a temporary folder
// with the window's configuration folder, firmware files, and emulated
// devices on 127.0.0.1 or on a pseudo-terminal, started in-process.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "program_runner.h"
#include "sim/emulator.h"

namespace ql::flash {

class FlashProgramTest : public ::testing::Test {
 protected:
  FlashProgramTest() {
    std::random_device seed;
    dir_ = std::filesystem::temp_directory_path() / ("ql-flash-test-" + std::to_string(seed()));
    std::filesystem::create_directories(dir_ / "config");
  }
  ~FlashProgramTest() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // A firmware file of `imageBytes` random bytes after the header.
  std::filesystem::path Firmware(std::size_t imageBytes, std::string header = "QL480TX-V5") {
    std::vector<std::uint8_t> image(imageBytes);
    std::mt19937 random(static_cast<unsigned>(imageBytes));
    for (auto& b : image) {
      b = static_cast<std::uint8_t>(random());
    }
    return FirmwareOf(std::move(image), std::move(header));
  }

  std::filesystem::path FirmwareOf(std::vector<std::uint8_t> image,
                                   std::string header = "QL480TX-V5",
                                   const std::string& name = "image.QLB") {
    header.resize(16, '\0');
    image_ = std::move(image);
    const std::filesystem::path path = dir_ / name;
    std::ofstream out(path, std::ios::binary);
    out.write(header.data(), 16);
    out.write(reinterpret_cast<const char*>(image_.data()),
              static_cast<std::streamsize>(image_.size()));
    return path;
  }

  std::unique_ptr<sim::Emulator> Emulator(sim::SimConfig config = {}) {
    config.device.rebootSilence = std::chrono::milliseconds(200);
    auto emulator = std::make_unique<sim::Emulator>(config);
    std::string error;
    EXPECT_TRUE(emulator->Start(error)) << error;
    return emulator;
  }

  static std::string Tcp(const sim::Emulator& emulator) {
    return "127.0.0.1:" + std::to_string(emulator.Port());
  }

  // Whether the device's flash starts with the image (the last block is
  // padded as the block table pads it, so compare the file's bytes only).
  bool Holds(const sim::Emulator& emulator) const {
    const auto flash = emulator.Flash();
    return flash.size() >= image_.size() && std::equal(image_.begin(), image_.end(), flash.begin());
  }

  std::filesystem::path Config() const { return dir_ / "config"; }

  std::filesystem::path dir_;
  std::vector<std::uint8_t> image_;
};

}  // namespace ql::flash
