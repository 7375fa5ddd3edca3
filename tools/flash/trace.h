// The trace of --trace: every frame sent and every byte received on each
// device's link, one line each, with the verdict of every exchange and every
// time the link was brought back in step. Several devices write into one
// file; each line is written whole.
//
//   12.345 127.0.0.1:5003 -> \x010001Zx5E2D\x0263E8\x0D
//   12.461 127.0.0.1:5003 <- \x030001ZxQL480TX-V5      \x04A1B2\x0D
//   12.461 127.0.0.1:5003 = accepted
//
// The first field is the time since the program started in milliseconds,
// the second the link (blanks in it as \x20), the third "->" for a frame
// sent, "<-" for bytes received or "=" for a verdict; the rest of the line
// after one blank is the bytes or the verdict. Printable ASCII (the blank
// included) stands as it is except the backslash; every other byte is \xHH,
// so the rest decodes back into exactly the bytes on the link.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "link/exchange_observer.h"

namespace ql::flash {

// `bytes` as a trace line shows them.
std::string TraceBytes(std::span<const std::uint8_t> bytes);

class TraceFile {
 public:
  // Creates or empties `path`. nullptr, with the system's reason in `why`,
  // when it cannot be written.
  static std::unique_ptr<TraceFile> Open(const std::string& path, std::string& why);
  ~TraceFile();
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;

  // Appends "<ms> <link> <rest>" as one line. A failing write never stops a
  // procedure; the first failure is kept for the end of the run.
  void Write(const std::string& link, const std::string& rest);

  // Why a line could not be written, empty when every line was.
  std::string Error();

 private:
  explicit TraceFile(std::FILE* file) : file_(file) {}

  std::mutex mutex_;
  std::FILE* file_;
  std::string error_;
};

// Watches one device's link and writes what it sees into the trace.
class DeviceObserver final : public link::ExchangeObserver {
 public:
  DeviceObserver(std::string label, TraceFile* trace);

  void FrameSent(std::span<const std::uint8_t> frame) override;
  void BytesReceived(std::span<const std::uint8_t> bytes) override;
  void ExchangeEnded(link::ExchangeVerdict verdict, const link::ExchangeNotes& notes) override;
  void LinkResynced(std::span<const std::uint8_t> discarded, bool quiet) override;
  void LinkGone(std::string_view reason) override;

 private:
  std::string label_;  // as the trace shows it
  TraceFile* trace_;
};

}  // namespace ql::flash
