// A fresh folder under the system's temporary folder for one test, removed
// with all it holds when the value goes out of scope.
#pragma once

#include <string>
#include <vector>

namespace ql::testing_support {

class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  // `name` inside the folder.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // The names of what the folder holds, sorted.
  std::vector<std::string> Entries() const;

 private:
  std::string path_;
};

}  // namespace ql::testing_support
