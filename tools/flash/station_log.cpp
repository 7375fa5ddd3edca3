// Appending whole lines to the station log and reading the unit numbers back.
#include "station_log.h"

#include <cstdio>
#include <string_view>

#include "file_system.h"
#include "link/errno_text.h"

namespace ql::flash {
namespace {

// The highest unit number of every link among the whole lines of `text`.
std::map<std::string, int> LastUnits(std::string_view text) {
  std::map<std::string, int> last;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
      break;  // a line cut short: no record
    }
    const auto record = nlohmann::json::parse(text.substr(start, end - start), nullptr, false);
    start = end + 1;
    if (!record.is_object() || !record.contains("link") || !record["link"].is_string() ||
        !record.contains("unit") || !record["unit"].is_number_integer()) {
      continue;
    }
    int& highest = last[record["link"].get<std::string>()];
    highest = std::max(highest, record["unit"].get<int>());
  }
  return last;
}

bool ReadAll(int fd, std::string& text, int& error) {
  char buffer[65536];
  for (;;) {
    const long n = ReadSome(fd, buffer, sizeof buffer, error);
    if (n == 0) {
      return true;
    }
    if (n < 0) {
      return false;
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace

std::unique_ptr<StationLog> StationLog::Open(const std::string& path, std::string& why) {
  // Never blocks on a FIFO, and only a regular file is a log.
  int error = 0;
  const int fd = OpenAppendFile(path, error);
  if (fd < 0) {
    why = error != 0 ? link::ErrnoText(error) : "not a regular file";
    return nullptr;
  }
  std::string text;
  if (!ReadAll(fd, text, error)) {
    why = link::ErrnoText(error);
    CloseFile(fd);
    return nullptr;
  }
  const bool endsWithNewline = text.empty() || text.back() == '\n';
  return std::unique_ptr<StationLog>(new StationLog(fd, LastUnits(text), endsWithNewline));
}

StationLog::StationLog(int fd, std::map<std::string, int> lastUnits, bool endsWithNewline)
    : fd_(fd), lastUnits_(std::move(lastUnits)), endsWithNewline_(endsWithNewline) {}

StationLog::~StationLog() {
  CloseFile(fd_);
}

int StationLog::TakeUnitNumber(const std::string& link) {
  std::lock_guard lock(mutex_);
  return ++lastUnits_[link];
}

bool StationLog::Append(const Json& record, std::string& why) {
  std::lock_guard lock(mutex_);
  // A line cut short by a power cut is ended first, so that it never takes
  // the new record into it.
  const std::string line = (endsWithNewline_ ? "" : "\n") + JsonLine(record) + "\n";
  std::size_t written = 0;
  while (written < line.size()) {
    int error = 0;
    const long n = WriteSome(fd_, line.data() + written, line.size() - written, error);
    if (n <= 0) {
      why = n < 0 ? link::ErrnoText(error) : "nothing written";
      // What went out is not a whole line: the next record starts afresh.
      endsWithNewline_ = written == 0 && endsWithNewline_;
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  endsWithNewline_ = true;
  if (const int error = SyncFile(fd_); error != 0) {
    why = link::ErrnoText(error);
    return false;
  }
  return true;
}

}  // namespace ql::flash
