// Runs a fuzz target's body once over every file of the folders it is given,
// so the seed corpus and past findings stay checked by the test suite in the
// normal build, with any compiler and without libFuzzer. A failing check
// aborts the run; the input that did it is the last one named. Folders that
// do not exist are skipped with a note, but a run with no input at all fails:
// a corpus that went missing must not pass for a clean one.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::filesystem::path> InputsUnder(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> inputs;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) {
      inputs.push_back(entry.path());
    }
  }
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

bool ReadAll(const std::filesystem::path& path, std::vector<std::uint8_t>& bytes) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return false;
  }
  bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return !file.bad();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path folder(argv[i]);
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
      std::printf("no folder %s, skipped\n", folder.c_str());
      continue;
    }
    const auto found = InputsUnder(folder);
    inputs.insert(inputs.end(), found.begin(), found.end());
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "no inputs to run\n");
    return 1;
  }
  std::vector<std::uint8_t> bytes;
  for (const auto& input : inputs) {
    if (!ReadAll(input, bytes)) {
      std::fprintf(stderr, "cannot read %s\n", input.c_str());
      return 1;
    }
    std::printf("%s (%zu bytes)\n", input.c_str(), bytes.size());
    std::fflush(stdout);
    // A target may read past an empty vector's data(); give it a valid pointer.
    const std::uint8_t empty = 0;
    LLVMFuzzerTestOneInput(bytes.empty() ? &empty : bytes.data(), bytes.size());
  }
  std::printf("%zu inputs ran clean\n", inputs.size());
  return 0;
}
