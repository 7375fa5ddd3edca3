// Terminal output shared by the device threads, written by one writer thread.
#include "console.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "file_system.h"
#include "link/errno_text.h"

namespace ql::flash {
namespace {

// Bytes of the UTF-8 character that starts with `lead`.
std::size_t CharLength(unsigned char lead) {
  return lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
}

std::string Pad(std::string text, std::size_t width) {
  if (text.size() < width) {
    text.append(width - text.size(), ' ');
  }
  return text;
}

// The width of the first column: the longest device name, at least "device".
template <typename Row>
std::size_t DeviceColumn(const std::vector<Row>& rows) {
  std::size_t width = 6;
  for (const auto& row : rows) {
    width = std::max(width, row.device.size());
  }
  return width;
}

}  // namespace

std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      out += lead < 0x20 || lead == 0x7F ? '?' : static_cast<char>(lead);
      ++i;
      continue;
    }
    // A whole UTF-8 sequence passes unless it is a C1 control (U+0080 to
    // U+009F); a byte that starts none is one '?', as is each stray
    // continuation byte.
    const std::size_t length = CharLength(lead);
    bool whole = length > 1 && i + length <= text.size();
    for (std::size_t k = 1; whole && k < length; ++k) {
      whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    }
    const bool c1 = whole && lead == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
    if (!whole || c1) {
      out += '?';
      i += c1 ? 2 : 1;
      continue;
    }
    out.append(text.substr(i, length));
    i += length;
  }
  return out;
}

int DisplayWidth(std::string_view text) {
  int width = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    width += lead < 0x80 ? 1 : 2;
    i += CharLength(lead);
  }
  return width;
}

std::string CutToWidth(std::string_view text, int columns) {
  int width = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const int w = lead < 0x80 ? 1 : 2;
    if (width + w > columns) {
      break;
    }
    width += w;
    i = std::min(text.size(), i + CharLength(lead));
  }
  return std::string(text.substr(0, i));
}

Console::Console(int outFd, int errFd, bool live, int devices, int columns)
    : outFd_(outFd),
      errFd_(errFd),
      live_(live),
      status_(static_cast<std::size_t>(devices)),
      columns_(columns > 0 ? columns : 80),
      writer_([this] { WriterLoop(); }) {}

Console::~Console() {
  Finish();
}

void Console::Put(int fd, std::string text) {
  std::lock_guard lock(mutex_);
  if (finishing_) {
    return;
  }
  std::string bytes = EraseStatusLocked();
  if (fd == outFd_) {
    bytes += Printable(std::move(text)) + "\n";
    bytes += DrawStatusLocked();
    Queue(outFd_, std::move(bytes));
    return;
  }
  // The status rows are on standard output: take them away before the error
  // and put them back after it, in that order on the terminal.
  if (!bytes.empty()) {
    Queue(outFd_, std::move(bytes));
  }
  Queue(fd, Printable(std::move(text)) + "\n");
  if (std::string redraw = DrawStatusLocked(); !redraw.empty()) {
    Queue(outFd_, std::move(redraw));
  }
}

void Console::Line(const std::string& text) {
  Put(outFd_, text);
}

void Console::Error(const std::string& text) {
  Put(errFd_, text);
}

void Console::Status(int device, const std::string& text) {
  if (!live_) {
    return;
  }
  std::lock_guard lock(mutex_);
  if (finishing_) {
    return;
  }
  status_.at(static_cast<std::size_t>(device)) = text;
  Queue(outFd_, RedrawStatusLocked());
}

void Console::ClearStatus() {
  std::lock_guard lock(mutex_);
  for (auto& line : status_) {
    line.clear();
  }
  if (std::string erase = EraseStatusLocked(); !erase.empty()) {
    Queue(outFd_, std::move(erase));
  }
}

void Console::Resize(int columns) {
  if (!live_ || columns <= 0) {
    return;
  }
  std::lock_guard lock(mutex_);
  // Rows drawn at the old width are erased by the rows they take now: a
  // terminal that narrows re-wraps each of them over several rows.
  columns_ = columns;
  if (!finishing_) {
    Queue(outFd_, RedrawStatusLocked());
  }
}

std::string Console::EraseStatusLocked() {
  if (!live_ || drawnWidths_.empty()) {
    return {};
  }
  int rows = 0;
  for (const int width : drawnWidths_) {
    rows += width <= columns_ ? 1 : (width + columns_ - 1) / columns_;
  }
  drawnWidths_.clear();
  // To the start of the first status row, then clear to the end of the screen.
  return "\x1b[" + std::to_string(rows) + "F\x1b[J";
}

std::string Console::RedrawStatusLocked() {
  // In this order: the erase counts the rows drawn before.
  std::string bytes = EraseStatusLocked();
  return bytes + DrawStatusLocked();
}

std::string Console::DrawStatusLocked() {
  if (!live_) {
    return {};
  }
  std::string bytes;
  for (const auto& line : status_) {
    if (line.empty()) {
      continue;
    }
    // One column short of the width: a row that fills the last column
    // leaves some terminals waiting to wrap, and the next row lands lower.
    const std::string row = CutToWidth(Printable(line), columns_ - 1);
    bytes += row + "\n";
    drawnWidths_.push_back(DisplayWidth(row));
  }
  return bytes;
}

void Console::Queue(int fd, std::string bytes) {
  if (bytes.empty()) {
    return;
  }
  if (!queue_.empty() && queue_.back().fd == fd) {
    queue_.back().bytes += bytes;
  } else {
    queue_.push_back({fd, std::move(bytes)});
  }
  queued_.notify_one();
}

void Console::WriterLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    queued_.wait(lock, [this] { return !queue_.empty() || finishing_; });
    if (queue_.empty()) {
      break;
    }
    Chunk chunk = std::move(queue_.front());
    queue_.pop_front();
    bool& failed = chunk.fd == outFd_ ? outFailed_ : errFailed_;
    if (failed) {
      continue;
    }
    lock.unlock();
    int error = 0;
    for (std::size_t done = 0; done < chunk.bytes.size();) {
      const long n =
          WriteSome(chunk.fd, chunk.bytes.data() + done, chunk.bytes.size() - done, error);
      if (n <= 0) {
        error = n < 0 ? error : EIO;
        break;
      }
      done += static_cast<std::size_t>(n);
    }
    lock.lock();
    if (error != 0) {
      // Once a write has failed the rest of that stream is dropped: the
      // reader has gone, and the upgrade goes on without it.
      failed = true;
      if (chunk.fd == outFd_ && outputError_.empty()) {
        outputError_ = link::ErrnoText(error);
      }
    }
  }
}

void Console::Finish() {
  {
    std::lock_guard lock(mutex_);
    finishing_ = true;
  }
  queued_.notify_one();
  if (writer_.joinable()) {
    writer_.join();
  }
}

std::string Console::OutputError() {
  std::lock_guard lock(mutex_);
  return outputError_;
}

void PrintDeviceSummary(Console& console, const std::vector<DeviceSummary>& devices) {
  const std::size_t width = DeviceColumn(devices);
  console.Line("");
  console.Line(Pad("device", width) + "  status  programmed  verified  seconds  last message");
  for (const auto& d : devices) {
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "  %6d  %10d  %8d  %7.1f  ", d.status, d.programmed,
                  d.verified, d.seconds);
    console.Line(Pad(d.device, width) + numbers + d.lastMessage);
  }
}

void PrintStationSummary(Console& console, const std::vector<StationSummary>& stations) {
  const std::size_t width = DeviceColumn(stations);
  console.Line("");
  console.Line(Pad("device", width) + "  units      ok  failed  mean s");
  for (const auto& s : stations) {
    char numbers[80];
    char mean[32] = "-";
    if (s.units > 0) {
      std::snprintf(mean, sizeof mean, "%.1f", s.unitSeconds / s.units);
    }
    std::snprintf(numbers, sizeof numbers, "  %5d  %6d  %6d  %6s", s.units, s.ok, s.failed, mean);
    console.Line(Pad(s.device, width) + numbers);
  }
}

}  // namespace ql::flash
