// The entries the port box offers.
#include "settings/port_list.h"

namespace ql::settings {
namespace {

constexpr int kFallbackPortCount = 16;

// Spaces and control characters: codes 0 to 32.
bool IsTrimmed(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

std::string Trim(const std::string& name) {
  std::size_t first = 0;
  std::size_t last = name.size();
  while (first < last && IsTrimmed(name[first])) {
    ++first;
  }
  while (last > first && IsTrimmed(name[last - 1])) {
    --last;
  }
  return name.substr(first, last - first);
}

}  // namespace

std::vector<std::string> BuildPortList(const std::vector<std::string>& names) {
  std::vector<std::string> entries;
  entries.reserve(names.empty() ? kFallbackPortCount : names.size());
  // Neither sorted nor deduplicated, and a name that trims to nothing is
  // still an entry: the box shows the ports as the system lists them.
  for (const std::string& name : names) {
    entries.push_back(Trim(name));
  }
  if (entries.empty()) {
    for (int n = 1; n <= kFallbackPortCount; ++n) {
      entries.push_back("COM" + std::to_string(n));
    }
  }
  return entries;
}

}  // namespace ql::settings
