// The station log (--log FILE): one JSON line per unit, so that a production
// line keeps a record of which unit got which firmware and how it ended.
//
// Each line is appended with a single write and synced to the disk before the
// next unit starts, so a crash, a stop or a power cut leaves every earlier
// line whole. A line left half by a power cut in the middle of a write is
// skipped when the log is read and never joined to the next one. Units are
// numbered per link; a log that already holds units of a link goes on from
// the last one.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "json_events.h"

namespace ql::flash {

class StationLog {
 public:
  // Opens `path` for appending, creating it, and reads the units it holds.
  // nullptr, with the system's reason in `why`, when it cannot be.
  static std::unique_ptr<StationLog> Open(const std::string& path, std::string& why);
  ~StationLog();
  StationLog(const StationLog&) = delete;
  StationLog& operator=(const StationLog&) = delete;

  // The number of the next unit on `link`: one more than the highest the log
  // holds for it, 1 for a link it does not know. Each call takes a number.
  int TakeUnitNumber(const std::string& link);

  // Appends `record` as one line and syncs it. False, with the reason in
  // `why`, when it could not be written whole.
  bool Append(const Json& record, std::string& why);

 private:
  StationLog(int fd, std::map<std::string, int> lastUnits, bool endsWithNewline);

  std::mutex mutex_;
  int fd_;
  std::map<std::string, int> lastUnits_;
  bool endsWithNewline_;
};

}  // namespace ql::flash
