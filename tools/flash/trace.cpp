// Writing the trace of every frame, and watching each device's exchanges.
#include "trace.h"

#include <cerrno>

#include "file_system.h"
#include "link/errno_text.h"
#include "run_time.h"

namespace ql::flash {

std::string TraceBytes(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const std::uint8_t b : bytes) {
    if (b >= 0x20 && b < 0x7F && b != '\\') {
      out += static_cast<char>(b);
    } else {
      static constexpr char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    }
  }
  return out;
}

std::unique_ptr<TraceFile> TraceFile::Open(const std::string& path, std::string& why) {
  int error = 0;
  std::FILE* file = OpenStreamForWriting(path, error);
  if (file == nullptr) {
    why = link::ErrnoText(error);
    return nullptr;
  }
  return std::unique_ptr<TraceFile>(new TraceFile(file));
}

TraceFile::~TraceFile() {
  std::fclose(file_);
}

void TraceFile::Write(const std::string& link, const std::string& rest) {
  // The time is taken under the lock, so the lines of several devices stand
  // in the order of their times.
  std::lock_guard lock(mutex_);
  char time[32];
  std::snprintf(time, sizeof time, "%.3f ", SecondsSinceStart() * 1000.0);
  const std::string line = time + link + " " + rest + "\n";
  // Flushed line by line: the trace of a run that is cut short is still
  // whole up to its last line.
  if ((std::fputs(line.c_str(), file_) == EOF || std::fflush(file_) != 0) && error_.empty()) {
    error_ = link::ErrnoText(errno);
  }
}

std::string TraceFile::Error() {
  std::lock_guard lock(mutex_);
  return error_;
}

DeviceObserver::DeviceObserver(std::string label, TraceFile* trace) : trace_(trace) {
  // A label is one field of the line: its blanks (and anything else that is
  // not printable) are written as the bytes are.
  label_ = TraceBytes({reinterpret_cast<const std::uint8_t*>(label.data()), label.size()});
  for (std::size_t at = label_.find(' '); at != std::string::npos; at = label_.find(' ', at)) {
    label_.replace(at, 1, "\\x20");
  }
}

void DeviceObserver::FrameSent(std::span<const std::uint8_t> frame) {
  if (trace_ != nullptr) {
    trace_->Write(label_, "-> " + TraceBytes(frame));
  }
}

void DeviceObserver::BytesReceived(std::span<const std::uint8_t> bytes) {
  if (trace_ != nullptr && !bytes.empty()) {
    trace_->Write(label_, "<- " + TraceBytes(bytes));
  }
}

void DeviceObserver::ExchangeEnded(link::ExchangeVerdict verdict,
                                   const link::ExchangeNotes& notes) {
  if (trace_ == nullptr || verdict == link::ExchangeVerdict::LinkGone) {
    return;  // a lost link has its own line
  }
  std::string text = verdict == link::ExchangeVerdict::Accepted ? "= accepted"
                     : verdict == link::ExchangeVerdict::BadCrc ? "= bad CRC"
                                                                : "= no reply";
  if (notes.echoBytes > 0) {
    text += ", echo of the request removed";
  }
  if (notes.Disturbed()) {
    text += ", bytes left over: " + std::to_string(notes.strayBytes) + " stray, " +
            std::to_string(notes.droppedBytes) + " dropped";
    if (notes.otherFrame) {
      text += ", part of another reply among them";
    }
  }
  trace_->Write(label_, text);
}

void DeviceObserver::LinkResynced(std::span<const std::uint8_t> discarded, bool quiet) {
  if (trace_ == nullptr) {
    return;
  }
  if (!discarded.empty()) {
    trace_->Write(label_, "<- " + TraceBytes(discarded));
  }
  trace_->Write(label_, "= resync: " + std::to_string(discarded.size()) + " bytes discarded, " +
                            (quiet ? "link quiet" : "link never quiet"));
}

void DeviceObserver::LinkGone(std::string_view reason) {
  if (trace_ != nullptr) {
    trace_->Write(label_, "= link gone: " + std::string(reason));
  }
}

}  // namespace ql::flash
