// The byte schedule of a reply.
#include "sim/reply_schedule.h"

#include <algorithm>

namespace ql::sim {

ReplySchedule::Time ReplySchedule::Due(std::size_t index) const {
  const Time origin = start + (index >= pauseAt ? pause : std::chrono::nanoseconds{0});
  return origin + byteTime * static_cast<long>(index + 1);
}

std::size_t ReplySchedule::DueCount(Time now) const {
  // How many bytes from the first up to `limit` are due on a schedule from `origin`.
  const auto dueFrom = [this, now](Time origin, std::size_t limit) -> std::size_t {
    if (now < origin) {
      return 0;
    }
    if (byteTime.count() == 0) {
      return limit;
    }
    return std::min<std::size_t>(limit, static_cast<std::size_t>((now - origin) / byteTime));
  };
  const std::size_t held = std::min(pauseAt, length);
  if (pause.count() == 0 || held == length) {
    return dueFrom(start, length);
  }
  const std::size_t beforePause = dueFrom(start, held);
  if (beforePause < held) {
    return beforePause;
  }
  return std::max(held, dueFrom(start + pause, length));
}

}  // namespace ql::sim
