// Where ql480tx-flash writes: plain lines, a terminal with live progress
// lines (one per device, kept at the bottom), or JSON lines. Shared by the
// threads of several devices; every call is one atomic piece of output.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace ql::flash {

class Console {
 public:
  // `live`: standard output is a terminal that can redraw status lines.
  Console(std::FILE* out, bool live, int devices);

  // A finished line, printed above the status lines.
  void Line(const std::string& text);

  // Replaces the live status line of `device` (ignored when not live).
  void Status(int device, const std::string& text);

  // Removes the status lines, e.g. before the summary.
  void ClearStatus();

  bool live() const { return live_; }

 private:
  void EraseStatusLocked();
  void DrawStatusLocked();

  std::mutex mutex_;
  std::FILE* out_;
  bool live_;
  std::vector<std::string> status_;
  int drawn_ = 0;
};

}  // namespace ql::flash
