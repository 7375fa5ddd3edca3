// Terminal output shared by the device threads.
#include "console.h"

namespace ql::flash {

Console::Console(std::FILE* out, bool live, int devices)
    : out_(out), live_(live), status_(static_cast<std::size_t>(devices)) {}

void Console::Line(const std::string& text) {
  std::lock_guard lock(mutex_);
  EraseStatusLocked();
  std::fputs(text.c_str(), out_);
  std::fputc('\n', out_);
  DrawStatusLocked();
  std::fflush(out_);
}

void Console::Status(int device, const std::string& text) {
  if (!live_) {
    return;
  }
  std::lock_guard lock(mutex_);
  status_.at(static_cast<std::size_t>(device)) = text;
  EraseStatusLocked();
  DrawStatusLocked();
  std::fflush(out_);
}

void Console::ClearStatus() {
  std::lock_guard lock(mutex_);
  EraseStatusLocked();
  for (auto& line : status_) {
    line.clear();
  }
  std::fflush(out_);
}

void Console::EraseStatusLocked() {
  if (!live_ || drawn_ == 0) {
    return;
  }
  // Up to the first status line, then clear to the end of the screen.
  std::fprintf(out_, "\x1b[%dF\x1b[J", drawn_);
  drawn_ = 0;
}

void Console::DrawStatusLocked() {
  if (!live_) {
    return;
  }
  for (const auto& line : status_) {
    if (!line.empty()) {
      std::fputs(line.c_str(), out_);
      std::fputc('\n', out_);
      ++drawn_;
    }
  }
}

}  // namespace ql::flash
