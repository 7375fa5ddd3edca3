// Where ql480tx-flash writes: plain lines, a terminal with live status rows
// (one per device, kept at the bottom, each cut to the terminal's width), or
// JSON lines; errors on standard error. Shared by the threads of several
// devices; every call is one atomic piece of output.
//
// The device threads never write themselves: they queue what is to be
// written and one writer thread hands it to the system. A reader that stops
// reading (a full pipe) or has gone (a closed pipe) can then hold up or end
// nothing but the output; an upgrade in progress goes on.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace ql::flash {

// Columns `text` (UTF-8) takes on a terminal, counting every character
// outside ASCII as two: never less than it takes, so a cut line never wraps.
// `text` with every control character a terminal would act on (C0, DEL,
// C1) and every byte that is not part of a UTF-8 character as '?': a file
// name, header or stored setting holding an escape sequence never reaches
// the terminal as one.
std::string Printable(std::string_view text);

int DisplayWidth(std::string_view text);

// The longest start of `text` that takes at most `columns`, cut between
// characters.
std::string CutToWidth(std::string_view text, int columns);

class Console {
 public:
  // `live`: standard output is a terminal that can redraw status rows, of
  // `columns` columns.
  Console(int outFd, int errFd, bool live, int devices, int columns);
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // A finished line on standard output, printed above the status rows.
  void Line(const std::string& text);

  // A line on standard error, printed above the status rows.
  void Error(const std::string& text);

  // Replaces the status row of `device`; empty removes it (ignored when not
  // live).
  void Status(int device, const std::string& text);

  // Removes the status rows, e.g. before the summary.
  void ClearStatus();

  // The terminal now has `columns` columns: the status rows are drawn anew.
  void Resize(int columns);

  // Returns once everything queued has been written (or could not be), and
  // stops the writer. Nothing is written after it.
  void Finish();

  // Why standard output could not be written, empty while it could.
  std::string OutputError();

  bool live() const { return live_; }

 private:
  struct Chunk {
    int fd;
    std::string bytes;
  };

  void Queue(int fd, std::string bytes);
  void WriterLoop();
  std::string EraseStatusLocked();
  std::string DrawStatusLocked();
  std::string RedrawStatusLocked();
  void Put(int fd, std::string text);

  const int outFd_;
  const int errFd_;
  const bool live_;

  std::mutex mutex_;  // the status rows and the queue
  std::vector<std::string> status_;
  std::vector<int> drawnWidths_;  // display widths of the rows on screen
  int columns_;
  std::deque<Chunk> queue_;
  std::condition_variable queued_;
  bool finishing_ = false;
  std::string outputError_;
  bool outFailed_ = false;
  bool errFailed_ = false;
  std::thread writer_;
};

// The table after several devices: per device its status, the blocks
// programmed and verified, its time and its last message.
struct DeviceSummary {
  std::string device;
  int status = 0;
  int programmed = 0;
  int verified = 0;
  double seconds = 0;
  std::string lastMessage;
};
void PrintDeviceSummary(Console& console, const std::vector<DeviceSummary>& devices);

// The table after automatic mode: per link the units, how many ended ok and
// failed, and their mean time (from `unitSeconds`, their time together).
struct StationSummary {
  std::string device;
  int units = 0;
  int ok = 0;
  int failed = 0;
  double unitSeconds = 0;
};
void PrintStationSummary(Console& console, const std::vector<StationSummary>& stations);

}  // namespace ql::flash
